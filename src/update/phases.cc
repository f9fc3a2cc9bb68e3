#include "update/phases.h"

#include "archive/mount.h"
#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "platform/platform.h"
#include "update/delta.h"
#include "update/operations.h"

namespace zt4 {
namespace {

void ConsoleLine(const char* text) {
  Os().ConsoleWrite(text);
  Os().ConsoleWrite("\n");
}

// The payload of an entry is there, decodes with the right CRC, and its delta records
// (for a changed file) lie within the new size.
Stop CheckPayload(const PatchEntry* e, bool delta) {
  uint8_t* payload = nullptr;
  int32_t size = 0;
  Stop stop = LoadPayload(e->id, &payload, &size);
  if (stop == Stop::kNone && delta && !ValidateDeltaRecords(payload, size, e->newSize)) {
    stop = Stop::kPatchDamaged;
  }
  FreeBlock(payload);
  return stop;
}

// A path the later passes will form below `folder`; `tooLong` is the stop they would meet.
Stop Fits(const char* folder, const char* name, Stop tooLong) {
  char path[kMaxPath];
  return JoinPath(path, folder, name) ? Stop::kNone : tooLong;
}

// What applying one top-level entry needs, checked before the backup; the bytes it
// writes are added to *newBytes.
Stop CheckEntryNeeds(const PatchEntry* e, const char* target, const char* backup,
                     uint64_t* newBytes) {
  EntryKind kind = KindOf(e);
  if (kind == KindRemoved) return Stop::kNone;
  *newBytes += static_cast<uint32_t>(e->newSize);
  if (Stop stop = Fits(target, e->newName, Stop::kWriteFailed); stop != Stop::kNone) return stop;
  if (kind == KindChanged) {
    if (Stop stop = Fits(backup, e->oldName, Stop::kSourceMissing); stop != Stop::kNone) {
      return stop;
    }
  }
  if (kind != KindGroup) return CheckPayload(e, kind == KindChanged);
  for (const PatchEntry* child = e->firstChild; child; child = child->next) {
    Stop stop = child->oldName[0] != 0 ? Fits(backup, child->oldName, Stop::kSourceMissing)
                                       : CheckPayload(child, false);
    if (stop != Stop::kNone) return stop;
  }
  return Stop::kNone;
}

Stop CheckUpdateNeeds(const PatchEntry* tree, const char* target, const char* backup) {
  uint64_t newBytes = 0;
  for (const PatchEntry* e = tree; e; e = e->next) {
    if (Stop stop = CheckEntryNeeds(e, target, backup, &newBytes); stop != Stop::kNone) {
      return stop;
    }
  }
  // The old install only moves within its volume: the new one needs room of its own.
  int64_t free = Os().FreeSpace(target);
  if (free >= 0 && newBytes > static_cast<uint64_t>(free)) return Stop::kWriteFailed;
  return Stop::kNone;
}

}  // namespace

PatchEntry* LoadPatch(const PoolString& patchPath, uint8_t** description) {
  *description = nullptr;
  int32_t size = 0;
  if (!Mount(patchPath, PoolString(kPatchMountName)) ||
      !LoadWholeFile(PoolString::Formatted("%s/list", kPatchMountName), description, &size)) {
    return nullptr;
  }
  return ParsePatchList(*description, size);
}

Stop VerifyTarget(const PatchEntry* tree, const char* target, const char* backup) {
  ConsoleLine(kConsoleCheckingTarget);
  Stop stop = VerifyTree(tree, target, true);
  // The backup moves these files next: an archive held open could not be moved.
  ReleaseArchiveCache();
  return stop != Stop::kNone ? stop : CheckUpdateNeeds(tree, target, backup);
}

Stop UpdateTarget(const PatchEntry* tree, const char* target, const char* backup, Phase* phase) {
  *phase = Phase::kBackup;
  ConsoleLine(kConsoleMakingBackup);
  BackupRecord record;
  if (!BackupFolder(target, backup, &record)) {
    // A partial or refused backup is put back: nothing is applied over a stale or
    // incomplete copy of the old install.
    UndoBackup(target, backup, &record);
    return Stop::kAborted;
  }
  FreeFolderItems(record.moved);

  *phase = Phase::kApply;
  ConsoleLine(kConsoleApplying);
  if (Stop stop = ApplyTree(tree, backup, target); stop != Stop::kNone) return stop;

  *phase = Phase::kCheck;
  ConsoleLine(kConsoleCheckingResult);
  return CheckTree(tree, target);
}

}  // namespace zt4
