#include "driver/update_driver.h"

#include <cstdio>
#include <cstring>

#include "archive/mount.h"
#include "base/stream.h"
#include "base/texts.h"
#include "driver/fatal_stop.h"
#include "platform/platform.h"
#include "update/operations.h"
#include "update/patch_list.h"

namespace zt4 {
namespace {

// The description's block and the tree that points into it live until the process ends;
// held here, they stay reachable to the end rather than being lost with the frame.
uint8_t* gDescription = nullptr;
PatchEntry* gTree = nullptr;

void ConsoleLine(const char* text) {
  Os().ConsoleWrite(text);
  Os().ConsoleWrite("\n");
}

}  // namespace

int UpdateDriver() {
  Os().OpenConsole();
  ConsoleLine(kConsoleCheckingPatch);

  if (!Mount(PoolString(PatchArchive), PoolString("patch"))) FatalStop(StopPatchDamaged);
  int32_t descriptionSize = 0;
  if (!LoadWholeFile(PoolString("patch/list"), &gDescription, &descriptionSize)) {
    FatalStop(StopPatchDamaged);
  }
  gTree = ParsePatchList(gDescription, descriptionSize);
  if (!gTree) FatalStop(StopPatchDamaged);
  const PatchEntry* tree = gTree;

  char target[kMaxPath] = {};
  if (!Os().ChooseFolder(kFolderDialogTitle, target)) FatalStop(StopAborted);
  // The backup folder's path must fit its buffer whole: refused before anything is read.
  char backup[kMaxPath];
  int backupLength = std::snprintf(backup, sizeof backup, "%s\\%s", target, kBackupFolderName);
  if (backupLength < 0 || backupLength >= kMaxPath) FatalStop(StopAborted);

  ConsoleLine(kConsoleCheckingTarget);
  VerifyTree(tree, target, true);
  ReleaseArchiveCache();

  if (Os().MessageBox(kConfirmText, kConfirmCaption, kBoxConfirm) == kAnswerNo) {
    FatalStop(StopAborted);
  }

  ConsoleLine(kConsoleMakingBackup);
  BackupRecord record;
  if (!BackupFolder(target, backup, &record)) {
    // A partial or refused backup is put back: nothing is applied over a stale or
    // incomplete copy of the old install.
    UndoBackup(target, backup, &record);
    FatalStop(StopAborted);
  }
  FreeFolderItems(record.moved);

  ConsoleLine(kConsoleApplying);
  ApplyTree(tree, backup, target);

  ConsoleLine(kConsoleCheckingResult);
  CheckTree(tree, target);

  Os().MessageBox(kDoneText, kDoneCaption, kBoxOk);
  return 0;
}

}  // namespace zt4
