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

#include "commands.h"
#include "platform/platform.h"
#include "tool_common.h"

namespace zt4::tool {
namespace {

constexpr char kBackupName[] = "BACKUP_FILES";

using Items = std::vector<std::pair<std::string, bool>>;  // name, is a folder

void CollectItem(const char* name, bool isFolder, void* user) {
  std::string text(name);
  if (isFolder && (text == "." || text == "..")) return;
  static_cast<Items*>(user)->emplace_back(text, isFolder);
}

bool List(const std::string& folder, Items* items) {
  items->clear();
  return Os().ListFolder(folder.c_str(), CollectItem, items);
}

// '\' throughout: the shell's move wants it, and POSIX reads it as '/'.
std::string Join(const std::string& folder, const std::string& name) {
  return folder + "\\" + name;
}

bool Fits(const std::string& path) { return path.size() < static_cast<size_t>(kMaxPath); }

// A file, or a folder with everything in it.
bool RemoveTree(const std::string& path, bool isFolder) {
  if (!isFolder) return Os().DeleteFile(path.c_str());
  Items items;
  if (!List(path, &items)) return false;
  for (const auto& [name, folder] : items) {
    if (!RemoveTree(Join(path, name), folder)) return false;
  }
  return Os().RemoveFolder(path.c_str());
}

}  // namespace

bool RestoreCommand(const Arguments& arguments) {
  std::string target;
  if (!ArgumentPath(arguments[0], &target)) return false;
  for (char& c : target) {
    if (c == '/') c = '\\';  // never a Shift-JIS trail byte
  }
  while (target.size() > 1 && target.back() == '\\' && target[target.size() - 2] != ':') {
    target.pop_back();
  }
  const std::string shown = arguments[0];  // as the user wrote it
  const std::string backup = Join(target, kBackupName);
  Items backedUp;
  if (!Fits(backup) || !List(backup, &backedUp)) {
    return Fail(shown + ": there is no " + kBackupName + " folder here: nothing to restore");
  }
  Items present;
  if (!List(target, &present)) return Fail(shown + ": the folder cannot be listed");

  std::set<std::string> backedUpNames;
  for (const auto& item : backedUp) backedUpNames.insert(item.first);
  Items written;
  bool backupFinished = false;
  for (const auto& item : present) {
    if (item.first == kBackupName) continue;
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
    for (const auto& [name, isFolder] : written) {
      if (!RemoveTree(Join(target, name), isFolder)) {
        return Fail(Shown(Join(target, name)) + ": cannot be removed; nothing was moved back yet");
      }
      ++removed;
    }
  } else if (!written.empty()) {
    Warn(shown + ": the update had not finished its backup; the " + std::to_string(written.size()) +
         " item(s) beside " + kBackupName + " are kept");
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
