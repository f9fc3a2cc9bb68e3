#include "driver/update_driver.h"

#include <cstdio>
#include <cstring>

#include "base/heap.h"
#include "base/texts.h"
#include "driver/fatal_stop.h"
#include "platform/platform.h"
#include "update/journal.h"
#include "update/operations.h"
#include "update/patch_list.h"
#include "update/phases.h"

namespace zt4 {
namespace {

// Ends the run with the stop's box, or returns when there is none.
void StopOn(Stop stop) {
  if (stop != Stop::kNone) FatalStop(StopText(stop));
}

// The description's block and the tree that points into it live until the process ends;
// held here, they stay reachable to the end rather than being lost with the frame.
uint8_t* gDescription = nullptr;
PatchEntry* gTree = nullptr;

}  // namespace

int UpdateDriver() {
  Os().OpenConsole();
  ConsoleLine(kConsoleCheckingPatch);

  // A run before this one in the same process (the in-process tests) leaves its own.
  FreePatchList(gTree);
  FreeBlock(gDescription);
  uint8_t digest[kPatchDigestSize];
  gTree = LoadPatch(PoolString(PatchArchive), &gDescription, digest);
  if (!gTree) FatalStop(StopPatchDamaged);
  const PatchEntry* tree = gTree;

  char target[kMaxPath] = {};
  if (!Os().ChooseFolder(kFolderDialogTitle, target)) FatalStop(StopAborted);
  // Formed whole, so that the checks can refuse a backup path too long for the passes.
  char backup[kMaxPath + sizeof kBackupFolderName + 1];
  std::snprintf(backup, sizeof backup, "%s\\%s", target, kBackupFolderName);

  Phase phase;
  // An update of this patch that was cut short is finished where it stands.
  Journal journal;
  if (std::strlen(backup) < static_cast<size_t>(kMaxPath) && journal.Read(backup) &&
      journal.IsOf(digest)) {
    ConsoleLine(kConsoleUnfinishedUpdate);
    // Only an explicit Yes goes on: a box that could not be shown answers 0.
    if (Os().MessageBox(kResumeText, kConfirmCaption, kBoxConfirm) != kAnswerYes) {
      FatalStop(StopAborted);
    }
    StopOn(ResumeTarget(tree, target, backup, &journal, &phase));
  } else {
    StopOn(VerifyTarget(tree, target, backup));
    if (Os().MessageBox(kConfirmText, kConfirmCaption, kBoxConfirm) != kAnswerYes) {
      FatalStop(StopAborted);
    }
    StopOn(UpdateTarget(tree, digest, target, backup, &phase));
  }

  Os().MessageBox(kDoneText, kDoneCaption, kBoxOk);
  return 0;
}

}  // namespace zt4
