// zt4 restore TARGET [PATCH]: after an update that stopped or was cut short, puts the old
// install back from TARGET\BACKUP_FILES, where the update moved it before writing anything.
//
// It never deletes what it cannot prove the update wrote. The update keeps a journal in
// BACKUP_FILES until it completes: once it shows the backup complete, the files under the
// names it was about to make visible, its work folder and the folders it made (once
// empty) are removed, never through a link. Then every item of BACKUP_FILES moves back
// where the install has no item of that name; a folder in both places (one that a move
// split) is joined item by item. Whatever stays is named and the command fails, with
// BACKUP_FILES and the journal kept. Without a journal (an update that completed, or one
// cut before its backup began) nothing is removed. PATCH, when given, must be the patch
// the journal was written by.
#include <cstdio>
#include <string>
#include <vector>

#include "codec/sha1.h"
#include "platform/platform.h"
#include "update/journal.h"
#include "update/operations.h"
#include "update/patch_list.h"
#include "zt4/commands.h"
#include "zt4/tool_common.h"

namespace zt4::tool {
namespace {

bool Fits(const std::string& path) { return path.size() < static_cast<size_t>(kMaxPath); }

// As the OS writes it: the paths are formed with '\\', which POSIX reads as '/' (in the
// UTF-8 shown, 0x5C is never part of a character).
void CollectLeft(const char* path, void* user) {
  std::string shown = Shown(path);
  if (!OsIsWindows()) {
    for (char& c : shown) c = c == '\\' ? '/' : c;
  }
  static_cast<std::vector<std::string>*>(user)->push_back(shown);
}

}  // namespace

bool RestoreCommand(const Arguments& arguments) {
  std::string target;
  std::string error;
  if (!ArgumentFolder(arguments[0], &target, &error)) return Fail(error);
  const std::string shown = arguments[0];  // as the user wrote it
  // '\' throughout: the shell's move wants it, and POSIX reads it as '/'.
  const std::string backup = target + "\\" + kBackupFolderName;
  if (!Fits(backup) || !FolderExists(backup.c_str())) {
    return Fail(shown + ": there is no " + kBackupFolderName + " folder here: nothing to restore");
  }
  Journal journal;
  const bool journaled = journal.Read(backup.c_str());
  // Cut before the backup's first move: nothing of the install is in the folder.
  if (!journaled && BackupNeverBegun(backup.c_str())) {
    if (!RemoveBackupNeverBegun(backup.c_str())) {
      return Fail(Shown(backup) + ": the folder cannot be removed (" + Os().LastFailure() + ")");
    }
    std::printf("%s: the update had not begun its backup; its empty %s folder was removed\n",
                shown.c_str(), kBackupFolderName);
    return true;
  }
  if (arguments.size() > 1) {
    Patch patch;
    if (!OpenPatch(arguments[1], &patch)) return false;
    uint8_t digest[kPatchDigestSize];
    Sha1Digest(patch.list.data, static_cast<size_t>(patch.list.size), digest);
    if (journaled && !journal.IsOf(digest)) {
      return Fail(shown + ": the update recorded in " + kBackupFolderName + " was made by another " +
                  "patch than " + arguments[1] + "; nothing was changed");
    }
  }

  const bool removes = journaled && journal.BackupComplete();
  if (removes && !RemoveWrittenItems(target.c_str(), journal)) {
    return Fail(shown + ": a file the update wrote cannot be removed (" + Os().LastFailure() +
                "); nothing was moved back");
  }
  int items = 0;
  if (FolderItem* listed = ListFolder(backup.c_str())) {
    for (const FolderItem* item = listed; item; item = item->next) ++items;
    FreeFolderItems(listed);
  }
  if (journaled) --items;
  std::vector<std::string> left;
  const bool whole = MoveItemsInto(backup.c_str(), target.c_str(), journaled ? journal.Name() : nullptr,
                                   CollectLeft, &left);
  if (!whole) {
    for (const std::string& path : left) {
      Warn(path + ": stays: the install holds an item of that name, or it does not move");
    }
    return Fail(shown + ": " + std::to_string(left.size()) + " item(s) stay in " +
                kBackupFolderName + "; every other item was moved back" +
                (journaled ? ""
                           : ". Without the update's journal nothing the update may have written "
                             "is removed: take the install's items of those names away and "
                             "restore again"));
  }
  if (journaled && !journal.Remove()) {
    return Fail(shown + ": the update's journal in " + kBackupFolderName + " cannot be removed (" +
                Os().LastFailure() + ")");
  }
  if (!Os().RemoveFolder(backup.c_str())) {
    return Fail(Shown(backup) + ": the emptied folder cannot be removed (" + Os().LastFailure() +
                ")");
  }
  std::printf("restored %d item(s) into %s%s\n", items, shown.c_str(),
              removes ? ", after removing what the update wrote" : "");
  return true;
}

}  // namespace zt4::tool
