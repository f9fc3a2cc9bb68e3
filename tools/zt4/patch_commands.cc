// patch-info and patch-check: what a patch archive describes, and whether an install can
// take it. Both only read: the patch, and for patch-check the target folder. patch-info
// --json says the same to build pipelines, names converted as the lines show them.
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
#include "codec/reference_codec.h"
#include "codec/sha1.h"
#include "common/quiet_platform.h"
#include "platform/platform.h"
#include "update/delta.h"
#include "update/journal.h"
#include "update/content_method.h"
#include "update/operations.h"
#include "update/phases.h"
#include "update/preflight.h"
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
// that has no old name to carry over; of a compact patch only for a zstd frame.
bool NeedsPayload(const PatchEntry* entry, bool child) {
  if (entry->method != ContentMethod::kNone) {
    const MethodRow* row = FindMethod(entry->method);
    return row && row->IsFrame();
  }
  if (child) return entry->oldName[0] == 0;
  EntryKind kind = KindOf(entry);
  return kind == EntryKind::KindChanged || kind == EntryKind::KindAdded;
}

const char* KindName(EntryKind kind) {
  static const char* const kNames[] = {"none", "removed", "changed", "added", "group"};
  return kNames[static_cast<int>(kind)];
}

// --- patch-info ---

std::vector<const PatchEntry*> FileOrder(const PatchEntry* head) {
  std::vector<const PatchEntry*> entries;
  for (const PatchEntry* e = head; e; e = e->next) entries.push_back(e);
  return {entries.rbegin(), entries.rend()};
}

// "name (size, digest)", or "-" for a side the entry does not have.
std::string Side(const char* name, int64_t size, const char* digest) {
  if (name[0] == 0 && size == 0 && digest[0] == 0) return "-";
  std::string out = name[0] != 0 ? Shown(name) : "\"\"";
  out += " (" + std::to_string(size) + ", " + (digest[0] != 0 ? Shown(digest) : "-") + ")";
  return out;
}

// How the new content is made, or null for an entry that makes none itself (a removed
// file of a strict patch, a group). A strict patch says it through the kind alone.
const char* MethodName(const PatchEntry* entry, bool child, bool compact) {
  if (compact) {
    const MethodRow* row = FindMethod(entry->method);
    return row ? row->name : nullptr;
  }
  if (child) return entry->oldName[0] == 0 ? "whole" : "carried";
  switch (KindOf(entry)) {
    case EntryKind::KindChanged:
      return "delta";
    case EntryKind::KindAdded:
      return "whole";
    default:
      return nullptr;
  }
}

struct InfoTotals {
  std::map<EntryKind, int> kinds;
  std::map<std::string, int> methods;
  int members = 0;
  int carried = 0;
  std::set<int32_t> neededIds;
  std::set<int32_t> missingIds;
  int64_t payloadBytes = 0;
  int64_t storedBytes = 0;
};

// What patch-info says of one entry or member, for the lines and for --json alike.
struct EntryView {
  const PatchEntry* entry = nullptr;
  bool child = false;
  const char* method = nullptr;
  std::string payload;                   // "/<id>" when the entry reads one
  const ArchiveEntry* stored = nullptr;  // its index entry; null when missing
};

EntryView ViewOf(const Archive& archive, const PatchEntry* entry, bool child, bool compact,
                 InfoTotals* totals) {
  EntryView view;
  view.entry = entry;
  view.child = child;
  view.method = MethodName(entry, child, compact);
  if (view.method) ++totals->methods[view.method];
  if (!NeedsPayload(entry, child)) return view;
  view.payload = PayloadMember(entry->id);
  view.stored = archive.Find(PoolString(view.payload.c_str()));
  // Entries may share a payload; it is counted once.
  bool first = totals->neededIds.insert(entry->id).second;
  if (!view.stored) {
    totals->missingIds.insert(entry->id);
  } else if (first) {
    totals->payloadBytes += view.stored->contentSize;
    totals->storedBytes += view.stored->storedSize;
  }
  return view;
}

std::string PayloadColumn(const EntryView& view) {
  if (view.payload.empty()) {
    return view.child && view.entry->method == ContentMethod::kNone
               ? "carried from the old install"
               : "payload -";
  }
  if (!view.stored) return "payload " + view.payload + " missing";
  return "payload " + view.payload + " " + std::to_string(view.stored->contentSize) + " bytes";
}

std::string ReferenceText(const ContentReference& reference) {
  std::string text = reference.side == ReferenceSide::kOld ? "old " : "new ";
  text += Shown(reference.file);
  if (reference.member[0] != 0) text += " member " + Shown(reference.member);
  return text + " (" + std::to_string(reference.size) + ")";
}

void PrintEntry(const EntryView& view) {
  const PatchEntry* entry = view.entry;
  const bool group = !view.child && KindOf(entry) == EntryKind::KindGroup;
  std::string line = view.child ? "    member" : KindName(KindOf(entry));
  line += " id " + std::to_string(entry->id) + ": ";
  line += Side(entry->oldName, entry->oldSize, entry->oldDigest) + " -> ";
  line += Side(entry->newName, entry->newSize, entry->newDigest) + ", ";
  if (group) {
    int count = 0;
    for (const PatchEntry* c = entry->firstChild; c; c = c->next) ++count;
    line += std::to_string(count) + (count == 1 ? " member" : " members");
  } else {
    line += PayloadColumn(view);
  }
  std::printf("%s\n", line.c_str());
  if (group) return;
  // The details below the line, indented under it.
  const std::string indent = view.child ? "      " : "  ";
  std::string details = indent + "method " + (view.method ? view.method : "-") + ", ";
  if (view.payload.empty()) {
    details += "no payload";
  } else if (!view.stored) {
    details += "payload " + view.payload + " missing";
  } else {
    details += "payload " + view.payload + " " + std::to_string(view.stored->storedSize) +
               " bytes stored, " + std::to_string(view.stored->contentSize) + " bytes content";
  }
  std::printf("%s\n", details.c_str());
  for (int32_t i = 0; i < entry->referenceCount; ++i) {
    std::printf("%sreference %s\n", indent.c_str(), ReferenceText(entry->references[i]).c_str());
  }
}

std::string Counted(int count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string MiB(int64_t bytes) {
  char text[32];
  if (bytes % (int64_t{1} << 20) == 0) {
    std::snprintf(text, sizeof text, "%lld MiB", static_cast<long long>(bytes >> 20));
  } else {
    std::snprintf(text, sizeof text, "%.2f MiB", static_cast<double>(bytes) / (1 << 20));
  }
  return text;
}

// --- patch-info --json ---

// A JSON string of UTF-8 text: quotes, backslashes and control characters escaped.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// A CP932 text of the patch as the lines show it.
std::string JsonName(const char* cp932) { return JsonString(Shown(cp932)); }

std::string JsonOrNull(const char* text) { return text ? JsonString(text) : "null"; }

std::string JsonEntry(const EntryView& view, const std::vector<EntryView>& members) {
  const PatchEntry* e = view.entry;
  std::string out = "{\"kind\":";
  out += JsonString(view.child ? "member" : KindName(KindOf(e)));
  out += ",\"method\":" + JsonOrNull(view.method);
  out += ",\"id\":" + std::to_string(e->id);
  out += ",\"oldName\":" + JsonName(e->oldName);
  out += ",\"oldSize\":" + std::to_string(e->oldSize);
  out += ",\"oldDigest\":" + JsonName(e->oldDigest);
  out += ",\"newName\":" + JsonName(e->newName);
  out += ",\"newSize\":" + std::to_string(e->newSize);
  out += ",\"newDigest\":" + JsonName(e->newDigest);
  out += ",\"references\":[";
  for (int32_t i = 0; i < e->referenceCount; ++i) {
    const ContentReference& r = e->references[i];
    if (i > 0) out += ",";
    out += std::string("{\"side\":") + (r.side == ReferenceSide::kOld ? "\"old\"" : "\"new\"");
    out += ",\"file\":" + JsonName(r.file) + ",\"member\":" + JsonName(r.member);
    out += ",\"size\":" + std::to_string(r.size) + ",\"digest\":" + JsonName(r.digest) + "}";
  }
  out += "],\"payload\":" + JsonOrNull(view.payload.empty() ? nullptr : view.payload.c_str());
  out += std::string(",\"payloadMissing\":") +
         (!view.payload.empty() && !view.stored ? "true" : "false");
  out += ",\"payloadStoredSize\":" +
         (view.stored ? std::to_string(view.stored->storedSize) : std::string("null"));
  out += ",\"payloadSize\":" +
         (view.stored ? std::to_string(view.stored->contentSize) : std::string("null"));
  if (!view.child && KindOf(e) == EntryKind::KindGroup) {
    out += ",\"members\":[";
    for (size_t i = 0; i < members.size(); ++i) {
      out += (i > 0 ? "," : "") + JsonEntry(members[i], {});
    }
    out += "]";
  }
  return out + "}";
}

}  // namespace

bool PatchInfoCommand(const Arguments& arguments) {
  bool json = false;
  std::vector<std::string> paths;
  for (const std::string& argument : arguments) {
    if (argument == "--json") {
      json = true;
    } else {
      paths.push_back(argument);
    }
  }
  if (paths.size() != 1)
    return Fail("patch-info: name one patch (usage: zt4 patch-info [--json] PATCH)");
  Patch patch;
  if (!OpenPatch(paths[0], &patch)) return false;
  const bool compact = IsCompact(patch.tree);
  std::vector<const PatchEntry*> entries = FileOrder(patch.tree);
  const int count = static_cast<int>(entries.size());
  if (!json) {
    std::printf("%s: %s in file order (the applier takes them from the last one up)\n",
                paths[0].c_str(), Counted(count, "entry", "entries").c_str());
    if (compact) {
      std::printf("format compact, memory budget %lld bytes (%s)\n",
                  static_cast<long long>(patch.tree->budget), MiB(patch.tree->budget).c_str());
    } else {
      std::printf("format strict\n");
    }
  }
  InfoTotals totals;
  std::string jsonEntries;
  for (const PatchEntry* entry : entries) {
    ++totals.kinds[KindOf(entry)];
    EntryView view = ViewOf(patch.archive, entry, false, compact, &totals);
    if (!json) PrintEntry(view);
    std::vector<EntryView> members;
    for (const PatchEntry* child = entry->firstChild; child; child = child->next) {
      ++totals.members;
      if (!NeedsPayload(child, true)) ++totals.carried;
      members.push_back(ViewOf(patch.archive, child, true, compact, &totals));
      if (!json) PrintEntry(members.back());
    }
    if (json) jsonEntries += (jsonEntries.empty() ? "" : ",") + JsonEntry(view, members);
  }
  if (json) {
    std::string out = "{\"format\":";
    out += compact ? "\"compact\"" : "\"strict\"";
    out += ",\"budget\":" + (compact ? std::to_string(patch.tree->budget) : std::string("null"));
    out += ",\"entries\":[" + jsonEntries + "]";
    out += ",\"totals\":{\"entries\":" + std::to_string(count) +
           ",\"members\":" + std::to_string(totals.members) +
           ",\"payloads\":" + std::to_string(totals.neededIds.size()) +
           ",\"missingPayloads\":" + std::to_string(totals.missingIds.size()) +
           ",\"payloadStoredBytes\":" + std::to_string(totals.storedBytes) +
           ",\"payloadBytes\":" + std::to_string(totals.payloadBytes) + "}}";
    std::printf("%s\n", out.c_str());
    return true;
  }
  std::string summary =
      Counted(count, "entry", "entries") + ": " + std::to_string(totals.kinds[EntryKind::KindChanged]) +
      " changed, " + std::to_string(totals.kinds[EntryKind::KindRemoved]) + " removed, " +
      std::to_string(totals.kinds[EntryKind::KindAdded]) + " added, " +
      Counted(totals.kinds[EntryKind::KindGroup], "group", "groups") + " of " +
      Counted(totals.members, "member", "members") + " (" + std::to_string(totals.carried) +
      " carried, " + std::to_string(totals.members - totals.carried) + " from payloads); " +
      Counted(static_cast<int>(totals.neededIds.size()), "payload", "payloads") + " needed, " +
      std::to_string(totals.payloadBytes) + " bytes";
  if (!totals.missingIds.empty()) {
    summary += ", " + std::to_string(totals.missingIds.size()) + " missing";
  }
  std::printf("%s\n", summary.c_str());
  std::vector<const char*> names = {"delta", "whole", "carried"};
  if (compact) {
    names.clear();
    for (int32_t i = 0; i < MethodCount(); ++i) names.push_back(MethodAt(i).name);
  }
  std::string methods = "methods:";
  for (size_t i = 0; i < names.size(); ++i) {
    methods += std::string(i == 0 ? " " : ", ") + std::to_string(totals.methods[names[i]]) + " " +
               names[i];
  }
  std::printf("%s\n", methods.c_str());
  std::printf("payloads: %lld bytes stored, %lld bytes content\n",
              static_cast<long long>(totals.storedBytes),
              static_cast<long long>(totals.payloadBytes));
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

// The applier's own checks before its backup, every finding worded.
class WordedFindings final : public PreflightReporter {
 public:
  WordedFindings(const std::string& target, const std::string& shownTarget)
      : target_(target), shownTarget_(shownTarget) {}

  bool Report(const PreflightFinding& finding) override {
    using Kind = PreflightFinding::Kind;
    switch (finding.kind) {
      case Kind::kBackupPathTooLong:
        Add(std::string("path too long: ") + kBackupFolderName + " (the update's backup folder)");
        break;
      case Kind::kEarlierBackup:
        Add(std::string("backup folder present: ") + kBackupFolderName +
            " (an earlier update left it, complete or by another patch: zt4 restore puts "
            "that install back; the update refuses to start while it is there)");
        break;
      case Kind::kEmptyTarget:
        Add("empty target folder: the update's backup refuses a folder with nothing in it");
        break;
      case Kind::kItemPathTooLong:
        Add("path too long: " + Shown(finding.item) + " (once moved into " + kBackupFolderName +
            ")");
        break;
      case Kind::kOldFile:
        OldFile(finding);
        break;
      case Kind::kOldContent:
        OldContent(finding);
        break;
      case Kind::kWorkPathTooLong:
        Add("path too long: the update's work folder (each new file is written in it first)");
        break;
      case Kind::kNewPathTooLong:
        Add("path too long: " + Shown(finding.entry->newName) + " (a file the update writes)");
        break;
      case Kind::kNameDoesNotConvert:
        Add("bad name: " + Shown(finding.entry->newName) +
            " (not Shift-JIS text: the update cannot write a file of that name)");
        break;
      case Kind::kPathBlocked:
        Add("blocked path: " + Shown(finding.entry->newName) + " (the earlier entry " +
            Shown(finding.other->newName) + " writes a file where a folder goes, or a folder "
            "where a file goes)");
        break;
      case Kind::kWrittenTwice:
        Add("written twice: " + Shown(finding.entry->newName) + " (it replaces what the earlier "
            "entry of that name wrote, which then fails its final check)");
        break;
      case Kind::kSameMemberTwice:
        Add("same member twice: " + For(finding) + " (an earlier member, " +
            Shown(finding.other->newName) + ", is stored under that name)");
        break;
      case Kind::kOldFileInArchive:
        Add("not a plain file: " +
            Shown(finding.reference ? finding.reference->file : finding.entry->oldName) +
            " (the update reads it from " + kBackupFolderName +
            " as a file; the install has it only inside an archive)");
        break;
      case Kind::kNewFileNotWritten:
        Add("missing new file: " + Shown(finding.reference->file) + " (for " + For(finding) +
            "; no earlier entry writes it)");
        break;
      case Kind::kNewSizeNegative:
        Add("bad new size: " + For(finding) + " (" + std::to_string(finding.entry->newSize) + ")");
        break;
      case Kind::kNoMemory:
        Add("not enough memory to check " + For(finding));
        break;
      case Kind::kOldPathTooLong:
        Add("path too long: " +
            Shown(finding.reference ? finding.reference->file : finding.entry->oldName) +
            " (once moved into " + kBackupFolderName + ")");
        break;
      case Kind::kPayloadMissing:
        Add("missing payload: " + PayloadMember(finding.payloadId) + " (for " + For(finding) + ")");
        break;
      case Kind::kPayloadDamaged:
        Add("damaged payload: " + PayloadMember(finding.payloadId) + " (for " + For(finding) +
            "; it does not decode or fails its CRC check)");
        break;
      case Kind::kPayloadDoesNotFit:
        Add("bad payload: " + PayloadMember(finding.payloadId) + " (for " + For(finding) +
            (finding.entry->method == ContentMethod::kNone
                 ? "; its change records do not fit the new size "
                 : "; its frame does not state a size that fits the new size ") +
            std::to_string(finding.entry->newSize) + ")");
        break;
      case Kind::kPayloadNotNewFile:
        Add("bad payload: " + PayloadMember(finding.payloadId) + " (for " + For(finding) +
            "; it is not the new file the update checks for afterwards)");
        break;
      case Kind::kNoRoom:
        Add("no room: the new files take " + std::to_string(finding.needed) +
            " bytes, the volume has " + std::to_string(finding.room) + " free");
        break;
    }
    return true;
  }
  void FileChecked() override { ++checked_; }

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

  // The entry a payload is read for: a member named with its archive.
  static std::string For(const PreflightFinding& finding) {
    std::string shown = Shown(finding.entry->newName);
    return finding.group ? shown + " in " + Shown(finding.group->newName) : shown;
  }

  // The archive the applier looked in, as the report names it: relative to the target
  // when it lies inside.
  std::string ArchiveShown(const FileReport& report) const {
    const std::string archive = report.archivePath.Text();
    const std::string inside = target_ + "/";
    if (archive.compare(0, inside.size(), inside) != 0) return shownTarget_ + ".zt4";
    return Shown(archive.substr(inside.size()));
  }

  void OldContent(const PreflightFinding& finding) {
    const ContentReference& reference = *finding.reference;
    std::string shown = Shown(reference.file);
    if (reference.member[0] != 0) shown = Shown(reference.member) + " in " + shown;
    switch (finding.stop) {
      case Stop::kSourceMissing:
        Add("missing: " + shown + " (a new file is made from it)");
        break;
      case Stop::kNoMemory:
        Add("out of memory: " + shown);
        break;
      default:
        Add("content differs: " + shown + " (a new file is made from it; size " +
            std::to_string(reference.size) + " expected)");
    }
  }

  // The applier's own check of an old file, worded.
  void OldFile(const PreflightFinding& finding) {
    const FileReport& report = finding.report;
    if (!finding.entry) {
      Add("out of memory: the old files could not be checked");
      return;
    }
    const PatchEntry* e = finding.entry;
    const bool child = finding.group != nullptr;
    const std::string shown = Shown(e->oldName);
    const std::string archiveShown = ArchiveShown(report);
    const std::string memberShown = Shown(report.member.Text()) + " in " + archiveShown;
    const std::string expected = "expected " + std::to_string(e->oldSize) + ", found " +
                                 std::to_string(report.foundSize);
    switch (report.finding) {
      case Finding::kMatches:
        break;
      case Finding::kPathTooLong:
        Add(report.inArchive ? "path too long: " + archiveShown + " (for " + shown + ")"
                             : "path too long: " + shown);
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
        Add("content differs: " + shown +
            (report.inArchive ? " (member " + memberShown + ")" : ""));
        break;
      case Finding::kNoMemory:
        Add("out of memory: " + shown);
        break;
    }
  }

  const std::string target_;       // CP932, '\' separators, as the folder dialog gives it
  const std::string shownTarget_;  // as the user wrote it
  std::vector<Problem> problems_;
  std::map<std::string, size_t> archiveProblems_;
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
  FolderItems items;
  if (!ListItems(target, &items, &error)) {
    return Fail(shownTarget + ": cannot list the folder (" + Os().LastFailure() + ")");
  }
  // The checks read payloads as the applier does, from the patch mounted under its name.
  std::string patchPath;
  if (!ArgumentPath(arguments[0], &patchPath, &error)) return Fail(error);
  if (!Mount(PoolString(patchPath.c_str()), PoolString(kPatchMountName))) {
    return Fail(arguments[0] + ": not a readable archive");
  }
  const std::string backup = target + "\\" + kBackupFolderName;
  // An update of this patch that was cut short is finished by the applier run again,
  // from the old files in BACKUP_FILES: those are the ones checked.
  uint8_t digest[kPatchDigestSize];
  Sha1Digest(patch.list.data, static_cast<size_t>(patch.list.size), digest);
  Journal journal;
  const bool cutShort = journal.Read(backup.c_str()) && journal.IsOf(digest);
  if (cutShort) {
    std::printf("an update by this patch was cut short here: run again, the applier offers to "
                "finish it; the old files are checked in %s\n", kBackupFolderName);
  }
  WordedFindings findings(target, shownTarget);
  {
    // The applier's checks speak to the console and the debugger channel; the report
    // says it all.
    QuietPlatform quiet;
    ScopedPlatform scope(&quiet);
    if (!cutShort) CheckBackupFolder(target.c_str(), backup.c_str(), &findings);
    CheckTarget(patch.tree, cutShort ? backup.c_str() : target.c_str(), target.c_str(),
                backup.c_str(), &findings);
  }
  Unmount(PoolString(kPatchMountName));
  int problems = findings.Report();
  std::printf("%d files checked, %d problems\n", findings.Checked(), problems);
  return problems == 0;
}

}  // namespace zt4::tool
