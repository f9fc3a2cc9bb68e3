#include "update/preflight.h"

#include <cstdio>
#include <cstring>

#include <new>

#include "archive/mount.h"
#include "base/heap.h"
#include "base/key_index.h"
#include "base/shift_jis.h"
#include "base/texts.h"
#include "codec/reference_codec.h"
#include "codec/segment_codec.h"
#include "codec/sha1.h"
#include "platform/edge_text.h"
#include "platform/platform.h"
#include "update/apply.h"
#include "update/backup.h"
#include "update/content.h"
#include "update/content_method.h"
#include "update/delta.h"
#include "update/journal.h"
#include "update/paths.h"
#include "update/payload_facts.h"

namespace zt4 {
namespace {

using Kind = PreflightFinding::Kind;

PreflightFinding Make(Kind kind, Stop stop, Phase phase) {
  PreflightFinding finding;
  finding.kind = kind;
  finding.stop = stop;
  finding.phase = phase;
  return finding;
}

// The names the entries checked so far write, each a file or a folder, and the old files
// the verification found only inside an archive.
class NameIndex {
 public:
  enum class What : uint8_t { kNone, kFile, kFolder, kInArchive };

  What Find(const PoolString& name, const PatchEntry** entry = nullptr) const {
    const Named* named = names_.Find(name.Text(), static_cast<size_t>(name.Length()));
    if (entry) *entry = named ? named->entry : nullptr;
    return named ? named->what : What::kNone;
  }
  // Sets what is at the name; false without the memory for it.
  bool Set(const PoolString& name, What what, const PatchEntry* entry) {
    const Named named{what, entry};
    Named* at = names_.Insert(name.Text(), static_cast<size_t>(name.Length()), named);
    if (at) *at = named;
    return at != nullptr;
  }
  void Clear() { names_.Clear(); }

 private:
  struct Named {
    What what = What::kNone;
    const PatchEntry* entry = nullptr;
  };
  KeyIndex<Named> names_;
};

// Hears the old files' checks and hands each failure on as a finding; keeps the old
// files found only inside an archive, which the apply pass reads as plain files.
class OldFileFindings final : public CheckResults {
 public:
  OldFileFindings(PreflightReporter* reporter, NameIndex* inArchive)
      : reporter_(reporter), inArchive_(inArchive) {}
  bool Checked(const PatchEntry* entry, const PatchEntry* group, const ContentReference* reference,
               Stop stop, const FileReport& report) override {
    reporter_->FileChecked();
    if (stop == Stop::kNone) {
      // A member of a group is read from its archive anyway.
      const bool plain = reference ? reference->member[0] == 0 : group == nullptr;
      if (report.inArchive && plain && !group) {
        inArchive_->Set(PoolString(reference ? reference->file : entry->oldName),
                        NameIndex::What::kInArchive, entry);
      }
      return true;
    }
    PreflightFinding finding =
        Make(reference ? Kind::kOldContent : Kind::kOldFile, stop, Phase::kVerify);
    finding.entry = entry;
    finding.group = group;
    finding.reference = reference;
    finding.report.finding = report.finding;
    finding.report.inArchive = report.inArchive;
    finding.report.foundSize = report.foundSize;
    finding.report.archivePath = report.archivePath;
    finding.report.member = report.member;
    ++failures_;
    goOn_ = reporter_->Report(finding);
    return goOn_;
  }
  // A pass that could not be made at all (no memory for it) is one finding.
  bool Ended(Stop stop) {
    if (stop == Stop::kNone || failures_ > 0) return goOn_;
    PreflightFinding finding = Make(Kind::kOldFile, stop, Phase::kVerify);
    finding.report.finding = Finding::kNoMemory;
    return reporter_->Report(finding);
  }

 private:
  PreflightReporter* reporter_;
  NameIndex* inArchive_;
  bool goOn_ = true;
  int32_t failures_ = 0;
};

// The checks of what the apply pass and the final check meet, entry by entry in chain
// order and, within an entry, in the order the pass meets them: what its content is made
// from, then the name it is written under. The first finding the applier stops on is the
// stop the chain itself would reach first.
class Needs {
 public:
  Needs(const char* target, const char* backup, const NameIndex& inArchive,
        PreflightReporter* reporter)
      : target_(target), backup_(backup), inArchive_(inArchive), reporter_(reporter) {}

  // The work folder every new file is written in first.
  bool WorkFolder(const PatchEntry* tree) {
    char work[kMaxPath];
    char file[kMaxPath];
    if (WorkFolderPath(work, tree, target_) && WorkFilePath(file, work, CountEntries(tree), true)) {
      return true;
    }
    return reporter_->Report(Make(Kind::kWorkPathTooLong, Stop::kWriteFailed, Phase::kVerify));
  }

  bool Entry(const PatchEntry* e) {
    const EntryKind kind = KindOf(e);
    if (kind != EntryKind::KindGroup && kind != EntryKind::KindChanged &&
        kind != EntryKind::KindAdded) {
      return true;
    }
    if (kind == EntryKind::KindGroup) {
      newBytes_ += static_cast<uint32_t>(e->newSize);
      if (!Members(e)) return false;
    } else if (e->method != ContentMethod::kNone) {
      newBytes_ += static_cast<uint32_t>(e->newSize);
      if (!Content(e, nullptr)) return false;
    } else if (!Payload(e, nullptr, kind)) {
      return false;
    }
    return NewName(e);
  }

  // The old install only moves within its volume: the new one needs room of its own.
  bool Room() {
    int64_t free = Os().FreeSpace(target_);
    if (free < 0 || newBytes_ <= static_cast<uint64_t>(free)) return true;
    PreflightFinding finding = Make(Kind::kNoRoom, Stop::kWriteFailed, Phase::kVerify);
    finding.needed = newBytes_;
    finding.room = free;
    return reporter_->Report(finding);
  }

 private:
  static bool Fits(const char* folder, const char* name) {
    char path[kMaxPath];
    return JoinPath(path, folder, name);
  }

  bool Tell(Kind kind, Stop stop, const PatchEntry* e, const PatchEntry* group,
            Phase phase = Phase::kVerify, const PatchEntry* other = nullptr) {
    PreflightFinding finding = Make(kind, stop, phase);
    finding.entry = e;
    finding.group = group;
    finding.other = other;
    finding.payloadId = e->id;
    return reporter_->Report(finding);
  }

  // An archive's members in order, each under a name of its own.
  bool Members(const PatchEntry* group) {
    members_.Clear();
    for (const PatchEntry* child = group->firstChild; child; child = child->next) {
      bool goOn = true;
      if (child->method != ContentMethod::kNone) {
        goOn = Content(child, group);
      } else if (child->oldName[0] != 0) {
        if (!Fits(backup_, child->oldName)) {
          goOn = Tell(Kind::kOldPathTooLong, Stop::kSourceMissing, child, group);
        }
      } else {
        goOn = Payload(child, group, EntryKind::KindGroup);
      }
      if (!goOn) return false;
      PoolString name = MemberNameOf(child->newName);
      const PatchEntry* earlier = nullptr;
      if (members_.Find(name, &earlier) != NameIndex::What::kNone) {
        if (!Tell(Kind::kSameMemberTwice, Stop::kWriteFailed, child, group, Phase::kVerify,
                  earlier)) {
          return false;
        }
      } else if (!members_.Set(name, NameIndex::What::kFile, child)) {
        return Tell(Kind::kNoMemory, Stop::kNoMemory, child, group);
      }
    }
    return true;
  }

  // The name an entry is written under: its path fits and converts, no earlier file
  // stands where one of its folders goes, and no earlier folder where its file goes. A
  // name written twice is replaced by the later entry, and the final check of the
  // earlier one then fails unless both are the same.
  bool NewName(const PatchEntry* e) {
    const bool folder = MadeBy(*e, MethodRow::Making::kFolder);
    char16_t units[kEdgeUnits];
    if (!Fits(target_, e->newName)) return Tell(Kind::kNewPathTooLong, Stop::kWriteFailed, e, nullptr);
    if (EdgeToUnits(e->newName, units, kEdgeUnits) < 0) {
      return Tell(Kind::kNameDoesNotConvert, Stop::kWriteFailed, e, nullptr);
    }
    PoolString name = OsName(e->newName);
    const PatchEntry* earlier = nullptr;
    for (int32_t i = 1; i < name.Length(); ++i) {
      if (name.CharAt(i) != '/') continue;
      if (written_.Find(name.Slice(0, i), &earlier) == NameIndex::What::kFile) {
        return Tell(Kind::kPathBlocked, Stop::kWriteFailed, e, nullptr, Phase::kVerify, earlier);
      }
    }
    const NameIndex::What there = written_.Find(name, &earlier);
    if (!folder && there == NameIndex::What::kFolder) {
      return Tell(Kind::kPathBlocked, Stop::kWriteFailed, e, nullptr, Phase::kVerify, earlier);
    }
    const bool replaced =
        there == NameIndex::What::kFile &&
        (folder || earlier->newSize != e->newSize || std::strcmp(earlier->newDigest, e->newDigest) != 0);
    if (replaced &&
        !Tell(Kind::kWrittenTwice, Stop::kVersionMismatch, e, nullptr, Phase::kCheck, earlier)) {
      return false;
    }
    // A folder made over a file leaves the file.
    bool noted = there == NameIndex::What::kFile && folder
                     ? true
                     : written_.Set(name, folder ? NameIndex::What::kFolder : NameIndex::What::kFile, e);
    for (int32_t i = 1; i < name.Length() && noted; ++i) {
      if (name.CharAt(i) == '/' && written_.Find(name.Slice(0, i)) == NameIndex::What::kNone) {
        noted = written_.Set(name.Slice(0, i), NameIndex::What::kFolder, e);
      }
    }
    return noted || Tell(Kind::kNoMemory, Stop::kNoMemory, e, nullptr);
  }

  // A payload is told of once, however many entries read it.
  bool Seen(int32_t id) {
    for (int32_t i = 0; i < toldCount_; ++i) {
      if (told_[i] == id) return true;
    }
    if (toldCount_ < kToldRemembered) told_[toldCount_++] = id;
    return false;
  }

  // A payload that cannot be had: not in the patch, or damaged there.
  bool Unreadable(const PatchEntry* e, const PatchEntry* group) {
    if (Seen(e->id)) return true;
    Archive* patch = MountedArchive(PoolString(kPatchMountName));
    const bool listed = patch && patch->Find(PoolString::Formatted("/%d", e->id));
    return Tell(listed ? Kind::kPayloadDamaged : Kind::kPayloadMissing, Stop::kPatchDamaged, e,
                group);
  }

  // The payload is there and decodes; a changed file's old file is a plain file and its
  // records fit its new size, in the order the pass meets them.
  bool Payload(const PatchEntry* e, const PatchEntry* group, EntryKind kind) {
    const bool added = kind == EntryKind::KindAdded && reporter_->TakesLaterFindings();
    const PayloadFacts* payload = payloads_.Of(e->id, added);
    if (!payload || !payload->readable) {
      if (!group) newBytes_ += static_cast<uint32_t>(e->newSize);
      return Unreadable(e, group);
    }
    if (kind == EntryKind::KindAdded) {
      // An added file is its payload, whatever size the description records.
      newBytes_ += static_cast<uint64_t>(payload->size);
    } else if (kind == EntryKind::KindChanged) {
      newBytes_ += static_cast<uint32_t>(e->newSize);
      if (e->newSize < 0) return Tell(Kind::kNewSizeNegative, Stop::kNoMemory, e, group);
      if (!Fits(backup_, e->oldName)) {
        return Tell(Kind::kOldPathTooLong, Stop::kSourceMissing, e, group);
      }
      if (inArchive_.Find(PoolString(e->oldName)) == NameIndex::What::kInArchive) {
        return Tell(Kind::kOldFileInArchive, Stop::kSourceMissing, e, group);
      }
      if (!(payload->recordsEnd >= 0 && payload->recordsEnd <= e->newSize)) {
        return Tell(Kind::kPayloadDoesNotFit, Stop::kPatchDamaged, e, group);
      }
    }
    if (added) {
      // Written as it is: the final check finds whether it is the new file.
      if (payload->size != e->newSize || std::strcmp(payload->digest, e->newDigest) != 0) {
        return Tell(Kind::kPayloadNotNewFile, Stop::kVersionMismatch, e, group, Phase::kCheck);
      }
    }
    return true;
  }

  // A compact entry: the contents it is made from (a new one written by an earlier entry,
  // an old one a plain file where the pass reads a plain file, every path fitting), and a
  // frame that is there and states a size its method takes.
  bool Content(const PatchEntry* e, const PatchEntry* group) {
    for (int32_t i = 0; i < e->referenceCount; ++i) {
      const ContentReference& reference = e->references[i];
      if (reference.earlier >= 0) continue;
      Kind kind = Kind::kOldPathTooLong;
      const bool oldSide = reference.side == ReferenceSide::kOld;
      if (!Fits(oldSide ? backup_ : target_, reference.file)) {
        kind = Kind::kOldPathTooLong;
      } else if (oldSide && reference.member[0] == 0 &&
                 inArchive_.Find(PoolString(reference.file)) == NameIndex::What::kInArchive) {
        kind = Kind::kOldFileInArchive;
      } else if (!oldSide && written_.Find(OsName(reference.file)) != NameIndex::What::kFile) {
        kind = Kind::kNewFileNotWritten;
      } else {
        continue;
      }
      PreflightFinding finding = Make(kind, Stop::kSourceMissing, Phase::kVerify);
      finding.entry = e;
      finding.group = group;
      finding.reference = &reference;
      if (!reporter_->Report(finding)) return false;
    }
    const MethodRow* row = FindMethod(e->method);
    if (row && row->making == MethodRow::Making::kSegments) return Segments(e, group);
    if (!row || !row->IsFrame()) return true;
    const PayloadFacts* payload = payloads_.Of(e->id);
    if (!payload || !payload->readable) return Unreadable(e, group);
    if (row->statedSizeFits(payload->frameContentSize, e->newSize)) return true;
    return Tell(Kind::kPayloadDoesNotFit, Stop::kPatchDamaged, e, group);
  }

  // A content in segments: its payload is there, and its segments lie within the sizes
  // and the ranges of its references and add up to its new size.
  bool Segments(const PatchEntry* e, const PatchEntry* group) {
    bool readable = false;
    if (SegmentPayloadFits(e, &readable)) return true;
    if (!readable) return Unreadable(e, group);
    return Tell(Kind::kPayloadDoesNotFit, Stop::kPatchDamaged, e, group);
  }

  static constexpr int32_t kToldRemembered = 64;
  const char* target_;
  const char* backup_;
  const NameIndex& inArchive_;
  PreflightReporter* reporter_;
  NameIndex written_;
  NameIndex members_;
  PayloadFactsCache payloads_;  // each payload decoded once
  uint64_t newBytes_ = 0;
  int32_t told_[kToldRemembered] = {};
  int32_t toldCount_ = 0;
};

}  // namespace

bool CheckBackupFolder(const char* target, const char* backup, PreflightReporter* reporter) {
  // The backup folder's path must fit its buffer whole: refused before anything is read.
  if (std::strlen(backup) >= static_cast<size_t>(kMaxPath)) {
    return reporter->Report(Make(Kind::kBackupPathTooLong, Stop::kAborted, Phase::kVerify));
  }
  // An earlier update's backup would be mixed with this one's: said before any work.
  // One that holds nothing of an install (a cut came before its first move) is taken
  // over by the backup.
  if (ItemExists(backup) && !BackupNeverBegun(backup) &&
      !reporter->Report(Make(Kind::kEarlierBackup, Stop::kAborted, Phase::kVerify))) {
    return false;
  }
  if (!reporter->TakesLaterFindings()) return true;
  // What the backup itself refuses, once the user has confirmed: a folder with nothing
  // to move, or an item whose path does not fit once moved.
  FolderItem* items = ListFolder(target);
  bool goOn = items || reporter->Report(Make(Kind::kEmptyTarget, Stop::kAborted, Phase::kBackup));
  for (const FolderItem* item = items; item && goOn; item = item->next) {
    char from[kMaxPath];
    char to[kMaxPath];
    if (JoinBackslash(from, target, item->name) && JoinBackslash(to, backup, item->name)) {
      continue;
    }
    PreflightFinding finding = Make(Kind::kItemPathTooLong, Stop::kAborted, Phase::kBackup);
    finding.item = item->name;
    goOn = reporter->Report(finding);
  }
  FreeFolderItems(items);
  return goOn;
}

bool CheckTarget(const PatchEntry* tree, const char* oldFolder, const char* target,
                 const char* backup, PreflightReporter* reporter) {
  ConsoleLine(kConsoleCheckingTarget);
  NameIndex inArchive;
  OldFileFindings oldFiles(reporter, &inArchive);
  Stop stop = VerifyTree(tree, oldFolder, true, &oldFiles);
  // The backup moves these files next: an archive held open could not be moved.
  ReleaseArchiveCache();
  if (!oldFiles.Ended(stop)) return false;
  Needs needs(target, backup, inArchive, reporter);
  if (!needs.WorkFolder(tree)) return false;
  for (const PatchEntry* e = tree; e; e = e->next) {
    if (!needs.Entry(e)) return false;
  }
  return needs.Room();
}

bool FirstStop::Report(const PreflightFinding& finding) {
  // The final check runs after every entry is applied: what it would find decides only
  // when nothing before it stops.
  if (finding.phase == Phase::kCheck && later == Stop::kNone) later = finding.stop;
  if (finding.phase != Phase::kVerify) return true;
  if (finding.kind == Kind::kEarlierBackup) ConsoleLine(kConsoleEarlierBackup);
  stop = finding.stop;
  return false;
}

}  // namespace zt4
