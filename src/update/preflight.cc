#include "update/preflight.h"

#include <cstdio>
#include <cstring>

#include "archive/mount.h"
#include "base/heap.h"
#include "base/texts.h"
#include "codec/reference_codec.h"
#include "codec/sha1.h"
#include "platform/platform.h"
#include "update/apply.h"
#include "update/backup.h"
#include "update/content_method.h"
#include "update/delta.h"
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

// Hears the old files' checks and hands each failure on as a finding.
class OldFileFindings final : public CheckResults {
 public:
  explicit OldFileFindings(PreflightReporter* reporter) : reporter_(reporter) {}
  bool Checked(const PatchEntry* entry, const PatchEntry* group, const ContentReference* reference,
               Stop stop, const FileReport& report) override {
    reporter_->FileChecked();
    if (stop == Stop::kNone) return true;
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
  bool goOn_ = true;
  int32_t failures_ = 0;
};

// The checks of what the later passes need, each finding told to the reporter.
class Needs {
 public:
  Needs(const char* target, const char* backup, PreflightReporter* reporter)
      : target_(target), backup_(backup), reporter_(reporter) {}

  bool Entry(const PatchEntry* e) {
    const EntryKind kind = KindOf(e);
    if (kind == EntryKind::KindRemoved) return true;
    newBytes_ += static_cast<uint32_t>(e->newSize);
    const bool newFits = Fits(target_, e->newName);
    if (!newFits) {
      if (!Tell(Kind::kNewPathTooLong, Stop::kWriteFailed, e, nullptr)) return false;
    } else if (kind == EntryKind::KindChanged && !Fits(backup_, e->oldName)) {
      if (!Tell(Kind::kOldPathTooLong, Stop::kSourceMissing, e, nullptr)) return false;
    }
    if (e->method != ContentMethod::kNone) return Content(e, nullptr, newFits);
    if (kind != EntryKind::KindGroup) return Payload(e, nullptr, kind);
    for (const PatchEntry* child = e->firstChild; child; child = child->next) {
      bool goOn = true;
      if (child->method != ContentMethod::kNone) {
        goOn = Content(child, e, false);
      } else if (child->oldName[0] != 0) {
        if (!Fits(backup_, child->oldName)) {
          goOn = Tell(Kind::kOldPathTooLong, Stop::kSourceMissing, child, e);
        }
      } else {
        goOn = Payload(child, e, EntryKind::KindGroup);
      }
      if (!goOn) return false;
    }
    return true;
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
            Phase phase = Phase::kVerify) {
    PreflightFinding finding = Make(kind, stop, phase);
    finding.entry = e;
    finding.group = group;
    finding.payloadId = e->id;
    return reporter_->Report(finding);
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

  // The payload is there and decodes; a changed file's records fit its new size.
  bool Payload(const PatchEntry* e, const PatchEntry* group, EntryKind kind) {
    const bool added = kind == EntryKind::KindAdded && reporter_->TakesLaterFindings();
    const PayloadFacts* payload = payloads_.Of(e->id, added);
    if (!payload || !payload->readable) return Unreadable(e, group);
    if (kind == EntryKind::KindChanged &&
        !(payload->recordsEnd >= 0 && payload->recordsEnd <= e->newSize)) {
      return Tell(Kind::kPayloadDoesNotFit, Stop::kPatchDamaged, e, group);
    }
    if (added) {
      // Written as it is: the final check finds whether it is the new file.
      if (payload->size != e->newSize || std::strcmp(payload->digest, e->newDigest) != 0) {
        return Tell(Kind::kPayloadNotNewFile, Stop::kVersionMismatch, e, group, Phase::kCheck);
      }
    }
    return true;
  }

  // A compact entry: its file's temporary name, the paths of its references, and a frame
  // that is there and states a size its method takes.
  bool Content(const PatchEntry* e, const PatchEntry* group, bool ownFile) {
    char path[kMaxPath];
    char part[kMaxPath];
    if (ownFile && !MadeBy(*e, MethodRow::Making::kFolder) &&
        (!JoinPath(path, target_, e->newName) || !PartPath(part, path))) {
      if (!Tell(Kind::kNewPathTooLong, Stop::kWriteFailed, e, group)) return false;
    }
    for (int32_t i = 0; i < e->referenceCount; ++i) {
      const ContentReference& reference = e->references[i];
      const char* folder = reference.side == ReferenceSide::kOld ? backup_ : target_;
      if (Fits(folder, reference.file)) continue;
      PreflightFinding finding = Make(Kind::kOldPathTooLong, Stop::kSourceMissing, Phase::kVerify);
      finding.entry = e;
      finding.group = group;
      finding.reference = &reference;
      if (!reporter_->Report(finding)) return false;
    }
    const MethodRow* row = FindMethod(e->method);
    if (!row || !row->IsFrame()) return true;
    const PayloadFacts* payload = payloads_.Of(e->id);
    if (!payload || !payload->readable) return Unreadable(e, group);
    if (row->statedSizeFits(payload->frameContentSize, e->newSize)) return true;
    return Tell(Kind::kPayloadDoesNotFit, Stop::kPatchDamaged, e, group);
  }

  static constexpr int32_t kToldRemembered = 64;
  const char* target_;
  const char* backup_;
  PreflightReporter* reporter_;
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
  if (ItemExists(backup) &&
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
    if (JoinPathWith(from, target, '\\', item->name) && JoinPathWith(to, backup, '\\', item->name)) {
      continue;
    }
    PreflightFinding finding = Make(Kind::kItemPathTooLong, Stop::kAborted, Phase::kBackup);
    finding.item = item->name;
    goOn = reporter->Report(finding);
  }
  FreeFolderItems(items);
  return goOn;
}

bool CheckTarget(const PatchEntry* tree, const char* target, const char* backup,
                 PreflightReporter* reporter) {
  ConsoleLine(kConsoleCheckingTarget);
  OldFileFindings oldFiles(reporter);
  Stop stop = VerifyTree(tree, target, true, &oldFiles);
  // The backup moves these files next: an archive held open could not be moved.
  ReleaseArchiveCache();
  if (!oldFiles.Ended(stop)) return false;
  Needs needs(target, backup, reporter);
  for (const PatchEntry* e = tree; e; e = e->next) {
    if (!needs.Entry(e)) return false;
  }
  return needs.Room();
}

bool FirstStop::Report(const PreflightFinding& finding) {
  if (finding.phase != Phase::kVerify) return true;
  if (finding.kind == Kind::kEarlierBackup) ConsoleLine(kConsoleEarlierBackup);
  stop = finding.stop;
  return false;
}

}  // namespace zt4
