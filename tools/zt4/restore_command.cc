// zt4 restore TARGET: after an update that stopped, puts the old install back from
// TARGET\BACKUP_FILES, where the update moved it before writing anything.
//
// The update moves every item of the target into BACKUP_FILES, one by one, and only then
// writes the new version. So when an item of the target has a namesake in BACKUP_FILES,
// the backup had finished and everything in the target but BACKUP_FILES is the update's:
// it is removed. When none has, the items still in the target may be old ones that a cut
// backup had not moved yet; they are kept, since removing them could lose the install.
// Either way the items of BACKUP_FILES then move back and the empty folder goes.
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "update/patch_list.h"
#include "zt4/commands.h"
#include "zt4/tool_common.h"

namespace zt4::tool {
namespace {

// '\' throughout: the shell's move wants it, and POSIX reads it as '/'.
std::string Join(const std::string& folder, const std::string& name) {
  return folder + "\\" + name;
}

bool Fits(const std::string& path) { return path.size() < static_cast<size_t>(kMaxPath); }

}  // namespace

bool RestoreCommand(const Arguments& arguments) {
  std::string target;
  std::string error;
  if (!ArgumentFolder(arguments[0], &target, &error)) return Fail(error);
  const std::string shown = arguments[0];  // as the user wrote it
  const std::string backup = Join(target, kBackupFolderName);
  FolderItems backedUp;
  if (!Fits(backup) || !ListItems(backup, &backedUp, &error)) {
    return Fail(shown + ": there is no " + kBackupFolderName + " folder here: nothing to restore");
  }
  FolderItems present;
  if (!ListItems(target, &present, &error)) return Fail(error);

  std::set<std::string> backedUpNames;
  for (const auto& item : backedUp) backedUpNames.insert(item.first);
  FolderItems written;
  bool backupFinished = false;
  for (const auto& item : present) {
    if (item.first == kBackupFolderName) continue;
    written.push_back(item);
    if (backedUpNames.count(item.first)) backupFinished = true;
  }
  // Every path must fit before anything changes, so a long name cannot stop it halfway.
  for (const auto& item : written) {
    if (!Fits(Join(target, item.first))) return Fail(shown + ": a path is too long");
  }
  for (const auto& item : backedUp) {
    if (!Fits(Join(backup, item.first)) || !Fits(Join(target, item.first))) {
      return Fail(shown + ": a path is too long");
    }
  }

  int removed = 0;
  if (backupFinished) {
    for (const auto& item : written) {
      const std::string& name = item.first;
      if (!RemoveTree(Join(target, name))) {
        return Fail(Shown(Join(target, name)) + ": cannot be removed; nothing was moved back yet");
      }
      ++removed;
    }
  } else if (!written.empty()) {
    Warn(shown + ": the update had not finished its backup; the " + std::to_string(written.size()) +
         " item(s) beside " + kBackupFolderName + " are kept");
  }
  int restored = 0;
  for (const auto& item : backedUp) {
    const std::string from = Join(backup, item.first);
    if (!Os().MoveItem(from.c_str(), Join(target, item.first).c_str())) {
      return Fail(Shown(from) + ": cannot be moved back (" + std::to_string(restored) + " of " +
                  std::to_string(backedUp.size()) + " moved)");
    }
    ++restored;
  }
  if (!Os().RemoveFolder(backup.c_str())) {
    return Fail(Shown(backup) + ": the emptied folder cannot be removed");
  }
  std::printf("restored %d item(s) into %s, removed %d item(s) of the update\n", restored,
              shown.c_str(), removed);
  return true;
}

}  // namespace zt4::tool
