// patch-info and patch-check: what a patch archive describes, and whether an install can
// take it. Both only read: the patch, and for patch-check the target folder.
//
// patch-check makes the applier's own check before its confirmation (the old side of
// every entry, a group's children one by one), with the same addressing: the path is
// the folder, '/', the old name; when it does not open as a plain file, it is split at
// its last '/' into archive "before.zt4" and member "/after". Where the applier stops at
// the first problem, this goes on and lists every one, in the order the applier meets
// them, followed by what the applier would refuse later: a BACKUP_FILES folder already
// there, a path too long for it, a payload that is missing or unusable.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/mount.h"
#include "base/heap.h"
#include "base/pool_string.h"
#include "codec/sha1.h"
#include "common/quiet_platform.h"
#include "platform/platform.h"
#include "update/delta.h"
#include "update/operations.h"
#include "update/patch_list.h"
#include "zt4/commands.h"
#include "zt4/tool_common.h"

namespace zt4::tool {
namespace {

std::string PayloadMember(int32_t id) {
  char name[16];
  std::snprintf(name, sizeof name, "/%d", static_cast<int>(id));
  return name;
}

// The applier reads a payload for a changed or added entry, and for a group's child
// that has no old name to carry over.
bool NeedsPayload(const PatchEntry* entry, bool child) {
  if (child) return entry->oldName[0] == 0;
  EntryKind kind = KindOf(entry);
  return kind == KindChanged || kind == KindAdded;
}

const char* KindName(EntryKind kind) {
  static const char* const kNames[] = {"none", "removed", "changed", "added", "group"};
  return kNames[kind];
}

// --- patch-info ---

std::vector<const PatchEntry*> FileOrder(const PatchEntry* head) {
  std::vector<const PatchEntry*> entries;
  for (const PatchEntry* e = head; e; e = e->next) entries.push_back(e);
  return {entries.rbegin(), entries.rend()};
}

// "name (size, digest)", or "-" for a side the entry does not have.
std::string Side(const char* name, int32_t size, const char* digest) {
  if (name[0] == 0 && size == 0 && digest[0] == 0) return "-";
  std::string out = name[0] != 0 ? Shown(name) : "\"\"";
  out += " (" + std::to_string(size) + ", " + (digest[0] != 0 ? Shown(digest) : "-") + ")";
  return out;
}

struct InfoTotals {
  std::map<EntryKind, int> kinds;
  int members = 0;
  int carried = 0;
  std::set<int32_t> neededIds;
  std::set<int32_t> missingIds;
  int64_t payloadBytes = 0;
};

std::string PayloadColumn(const Archive& archive, const PatchEntry* entry, bool child,
                          InfoTotals* totals) {
  if (!NeedsPayload(entry, child)) return child ? "carried from the old install" : "payload -";
  std::string member = PayloadMember(entry->id);
  const ArchiveEntry* found = archive.Find(PoolString(member.c_str()));
  bool first = totals->neededIds.insert(entry->id).second;
  if (!found) {
    totals->missingIds.insert(entry->id);
    return "payload " + member + " missing";
  }
  if (first) totals->payloadBytes += found->contentSize;
  return "payload " + member + " " + std::to_string(found->contentSize) + " bytes";
}

void PrintEntry(const Archive& archive, const PatchEntry* entry, bool child, InfoTotals* totals) {
  std::string line = child ? "    member" : KindName(KindOf(entry));
  line += " id " + std::to_string(entry->id) + ": ";
  line += Side(entry->oldName, entry->oldSize, entry->oldDigest) + " -> ";
  line += Side(entry->newName, entry->newSize, entry->newDigest) + ", ";
  if (!child && KindOf(entry) == KindGroup) {
    int count = 0;
    for (const PatchEntry* c = entry->firstChild; c; c = c->next) ++count;
    line += std::to_string(count) + (count == 1 ? " member" : " members");
  } else {
    line += PayloadColumn(archive, entry, child, totals);
  }
  std::printf("%s\n", line.c_str());
}

std::string Counted(int count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

bool PatchInfoCommand(const Arguments& arguments) {
  Patch patch;
  if (!OpenPatch(arguments[0], &patch)) return false;
  std::vector<const PatchEntry*> entries = FileOrder(patch.tree);
  std::printf("%s: %s in file order (the applier takes them from the last one up)\n",
              arguments[0].c_str(),
              Counted(static_cast<int>(entries.size()), "entry", "entries").c_str());
  InfoTotals totals;
  for (const PatchEntry* entry : entries) {
    ++totals.kinds[KindOf(entry)];
    PrintEntry(patch.archive, entry, false, &totals);
    for (const PatchEntry* child = entry->firstChild; child; child = child->next) {
      ++totals.members;
      if (!NeedsPayload(child, true)) ++totals.carried;
      PrintEntry(patch.archive, child, true, &totals);
    }
  }
  std::string summary = Counted(static_cast<int>(entries.size()), "entry", "entries") + ": " +
                        std::to_string(totals.kinds[KindChanged]) + " changed, " +
                        std::to_string(totals.kinds[KindRemoved]) + " removed, " +
                        std::to_string(totals.kinds[KindAdded]) + " added, " +
                        Counted(totals.kinds[KindGroup], "group", "groups") + " of " +
                        Counted(totals.members, "member", "members") + " (" +
                        std::to_string(totals.carried) + " carried, " +
                        std::to_string(totals.members - totals.carried) + " from payloads); " +
                        Counted(static_cast<int>(totals.neededIds.size()), "payload", "payloads") +
                        " needed, " + std::to_string(totals.payloadBytes) + " bytes";
  if (!totals.missingIds.empty()) {
    summary += ", " + std::to_string(totals.missingIds.size()) + " missing";
  }
  std::printf("%s\n", summary.c_str());
  return true;
}

// --- patch-check ---

namespace {

// One line of the report. Lines about one archive that cannot be opened gather the
// names that needed it, so a missing archive is one problem, not one per member.
struct Problem {
  std::string text;
  std::vector<std::string> names;
};

class TargetCheck {
 public:
  TargetCheck(const std::string& target, const std::string& shownTarget, Archive& patch)
      : target_(target), shownTarget_(shownTarget), patch_(patch) {}

  // What the backup needs of the folder before anything moves.
  bool CheckFolder() {
    FolderItems items;
    std::string error;
    if (!ListItems(target_, &items, &error)) {
      return Fail(shownTarget_ + ": cannot list the folder (" + Os().LastFailure() + ")");
    }
    if (items.empty())
      Add("empty target folder: the update's backup refuses a folder with nothing in it");
    const std::string backup = target_ + "\\" + kBackupFolderName;
    for (const auto& item : items) {
      if (SamePath(item.first, kBackupFolderName)) {
        Add(std::string("backup folder present: ") + kBackupFolderName +
            " (an earlier update left it: zt4 restore puts that install back; the update "
            "refuses to start while it is there)");
      }
    }
    if (backup.size() >= static_cast<size_t>(kMaxPath)) {
      Add(std::string("path too long: ") + kBackupFolderName + " (the update's backup folder)");
      return true;
    }
    char from[kMaxPath];
    char to[kMaxPath];
    for (const auto& item : items) {
      if (!JoinPathWith(from, target_.c_str(), '\\', item.first.c_str()) ||
          !JoinPathWith(to, backup.c_str(), '\\', item.first.c_str())) {
        Add("path too long: " + Shown(item.first) + " (once moved into " + kBackupFolderName + ")");
      }
    }
    return true;
  }

  // The old side of every entry, in the applier's order.
  void CheckOldFiles(const PatchEntry* first) {
    for (const PatchEntry* e = first; e; e = e->next) {
      for (const PatchEntry* child = e->firstChild; child; child = child->next) {
        if (KindOf(child) == KindRemoved || KindOf(child) == KindChanged) CheckOld(child, true);
      }
      if (KindOf(e) == KindRemoved || KindOf(e) == KindChanged) CheckOld(e, false);
    }
  }

  // Every payload the update reads, in the same order.
  void CheckPayloads(const PatchEntry* first) {
    for (const PatchEntry* e = first; e; e = e->next) {
      if (NeedsPayload(e, false)) CheckPayload(e, Shown(e->newName), KindOf(e));
      for (const PatchEntry* child = e->firstChild; child; child = child->next) {
        if (!NeedsPayload(child, true)) continue;
        CheckPayload(child, Shown(child->newName) + " in " + Shown(e->newName), KindGroup);
      }
    }
  }

  int Checked() const { return checked_; }

  int Report() const {
    for (const Problem& problem : problems_) {
      std::string line = problem.text;
      for (size_t i = 0; i < problem.names.size(); ++i) {
        line += (i == 0 ? " (for " : ", ") + problem.names[i];
      }
      if (!problem.names.empty()) line += ")";
      std::printf("%s\n", line.c_str());
    }
    return static_cast<int>(problems_.size());
  }

 private:
  void Add(const std::string& text) { problems_.push_back({text, {}}); }

  // One problem per archive that cannot be opened, naming every old file that needed it.
  void AddForArchive(const std::string& text, const std::string& name) {
    auto [at, added] = archiveProblems_.emplace(text, problems_.size());
    if (added) problems_.push_back({text, {}});
    problems_[at->second].names.push_back(name);
  }

  // The archive the applier looked in, as the report names it: relative to the target
  // when it lies inside.
  std::string ArchiveShown(const FileReport& report) const {
    const std::string archive = report.archivePath.Text();
    const std::string inside = target_ + "/";
    if (archive.compare(0, inside.size(), inside) != 0) return shownTarget_ + ".zt4";
    return Shown(archive.substr(inside.size()));
  }

  // The applier's own check of the file, worded.
  void CheckOld(const PatchEntry* e, bool child) {
    ++checked_;
    const std::string shown = Shown(e->oldName);
    char path[kMaxPath];
    if (!JoinPath(path, target_.c_str(), e->oldName)) {
      Add("path too long: " + shown);
      return;
    }
    FileReport report;
    if (VerifyFile(path, e->oldDigest, e->oldSize, &report) == Stop::kNone) return;
    const std::string archiveShown = ArchiveShown(report);
    const std::string memberShown = Shown(report.member.Text()) + " in " + archiveShown;
    const std::string expected = "expected " + std::to_string(e->oldSize) + ", found " +
                                 std::to_string(report.foundSize);
    switch (report.finding) {
      case Finding::kMatches:
        break;
      case Finding::kPathTooLong:
        Add("path too long: " + archiveShown + " (for " + shown + ")");
        break;
      case Finding::kMissing:
        Add("missing: " + shown);
        break;
      case Finding::kNoArchiveFile:
      case Finding::kNotAnArchive:
        if (!child) {
          Add("missing: " + shown);
        } else {
          AddForArchive((report.finding == Finding::kNoArchiveFile ? "missing archive: "
                                                                   : "unreadable archive: ") +
                            archiveShown,
                        shown);
        }
        break;
      case Finding::kMemberMissing:
        Add(child ? "missing member: " + memberShown
                  : "missing: " + shown + " (nor is there member " + memberShown + ")");
        break;
      case Finding::kMemberDamaged:
        Add("damaged member: " + memberShown + " (it does not decode or fails its CRC check)");
        break;
      case Finding::kSizeDiffers:
        Add("size differs: " + shown +
            (report.inArchive ? " (member " + memberShown + "; " : " (") + expected + ")");
        break;
      case Finding::kUnreadable:
        Add("unreadable: " + shown);
        break;
      case Finding::kContentDiffers:
        Add("content differs: " + shown + (report.inArchive ? " (member " + memberShown + ")" : ""));
        break;
      case Finding::kNoMemory:
        Add("out of memory: " + shown);
        break;
    }
  }

  void CheckPayload(const PatchEntry* e, const std::string& shownName, EntryKind kind) {
    const std::string member = PayloadMember(e->id);
    if (unusable_.count(e->id)) return;  // said once per payload
    if (!patch_.Find(PoolString(member.c_str()))) {
      unusable_.insert(e->id);
      Add("missing payload: " + member + " (for " + shownName + ")");
      return;
    }
    ScopedBlock payload;
    if (!patch_.Extract(PoolString(member.c_str()), &payload.data, &payload.size)) {
      unusable_.insert(e->id);
      Add("damaged payload: " + member + " (for " + shownName +
          "; it does not decode or fails its CRC check)");
      return;
    }
    if (kind == KindChanged && !ValidateDeltaRecords(payload.data, payload.size, e->newSize)) {
      Add("bad payload: " + member + " (for " + shownName +
          "; its change records do not fit the new size " + std::to_string(e->newSize) + ")");
      return;
    }
    if (kind == KindAdded) {
      // Written as it is, then checked against the new size and digest after the update.
      char digest[41];
      Sha1Hex(payload.data, static_cast<size_t>(payload.size), digest);
      if (payload.size != e->newSize || std::strcmp(digest, e->newDigest) != 0) {
        Add("bad payload: " + member + " (for " + shownName +
            "; it is not the new file the update checks for afterwards)");
      }
    }
  }

  const std::string target_;       // CP932, '\' separators, as the folder dialog gives it
  const std::string shownTarget_;  // as the user wrote it
  Archive& patch_;
  std::vector<Problem> problems_;
  std::map<std::string, size_t> archiveProblems_;
  std::set<int32_t> unusable_;
  int checked_ = 0;
};

}  // namespace

bool PatchCheckCommand(const Arguments& arguments) {
  Patch patch;
  if (!OpenPatch(arguments[0], &patch)) return false;
  // The folder dialog hands the applier '\' separators and no trailing one; names are
  // joined to it with '/', so the last '/' of a path is always inside the name.
  std::string target;
  std::string error;
  if (!ArgumentFolder(arguments[1], &target, &error)) return Fail(error);
  std::string shownTarget = arguments[1];
  while (shownTarget.size() > 1 && (shownTarget.back() == '/' || shownTarget.back() == '\\')) {
    shownTarget.pop_back();
  }
  TargetCheck check(target, shownTarget, patch.archive);
  if (!check.CheckFolder()) return false;
  {
    // The applier's check speaks to the debugger channel; the report says it all.
    QuietPlatform quiet;
    ScopedPlatform scope(&quiet);
    check.CheckOldFiles(patch.tree);
    ReleaseArchiveCache();
  }
  check.CheckPayloads(patch.tree);
  int problems = check.Report();
  std::printf("%d files checked, %d problems\n", check.Checked(), problems);
  return problems == 0;
}

}  // namespace zt4::tool
