#include "update/phases.h"

#include "archive/mount.h"
#include "base/stream.h"
#include "base/texts.h"
#include "platform/platform.h"
#include "update/operations.h"

namespace zt4 {
namespace {

void ConsoleLine(const char* text) {
  Os().ConsoleWrite(text);
  Os().ConsoleWrite("\n");
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

Stop VerifyTarget(const PatchEntry* tree, const char* target) {
  ConsoleLine(kConsoleCheckingTarget);
  Stop stop = VerifyTree(tree, target, true);
  // The backup moves these files next: an archive held open could not be moved.
  ReleaseArchiveCache();
  return stop;
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
