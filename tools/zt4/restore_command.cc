// zt4 restore TARGET [PATCH]: after an update that stopped, puts the old install back from
// TARGET\BACKUP_FILES, where the update moved it before writing anything.
//
// It never deletes what it cannot put back. Every item of BACKUP_FILES moves back; a
// folder that is in both places (one that a failed move split) is joined item by item. A
// file is removed from the target only when the patch's description shows it was written
// by the update: the update writes only after its backup is complete, so the files it
// names are the update's only when every old file it names is in BACKUP_FILES. Without the
// patch nothing is removed, and when an item of BACKUP_FILES meets one of its name in the
// target that is not a folder to join, nothing moves at all: the command names them, and
// a restore with the patch can still tell them apart.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "update/operations.h"
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

// Every old file the description names is in the backup folder: as a plain file, or as
// a member's archive.
bool BackupHoldsEveryOldFile(const PatchEntry* tree, const std::string& backup) {
  auto holds = [&backup](const char* oldName) {
    std::string path = Join(backup, oldName);
    PoolString archive;
    PoolString member;
    return ItemExists(path.c_str()) || (ArchiveMemberOf(path.c_str(), &archive, &member) &&
                                        ItemExists(archive.Text()));
  };
  for (const PatchEntry* e = tree; e; e = e->next) {
    if (e->oldName[0] != 0 && !holds(e->oldName)) return false;
    for (const PatchEntry* child = e->firstChild; child; child = child->next) {
      if (child->oldName[0] != 0 && !holds(child->oldName)) return false;
    }
  }
  return true;
}

// Removes the files the update writes (top-level new names, rebuilt archives, the files of
// its work folder), then the folders it made once they are empty. Returns how many files
// went.
int RemoveWrittenFiles(const PatchEntry* tree, const std::string& target) {
  int removed = 0;
  std::set<std::string> folders;
  for (const PatchEntry* e = tree; e; e = e->next) {
    if (e->newName[0] == 0) continue;
    const std::string name = e->newName;
    if (e->method == ContentMethod::kFolder) {
      folders.insert(name);  // made empty by the update
    } else if (Os().DeleteFile(Join(target, name).c_str())) {
      ++removed;
    }
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
      folders.insert(name.substr(0, slash));
    }
  }
  // Each file is written in the work folder first, under its place in the chain: a cut
  // there left it.
  char work[kMaxPath];
  if (WorkFolderPath(work, tree, target.c_str())) {
    const int32_t count = CountEntries(tree);
    for (int32_t i = 0; i < count; ++i) {
      for (bool archive : {false, true}) {
        char file[kMaxPath];
        if (WorkFilePath(file, work, i, archive)) Os().DeleteFile(file);
      }
    }
    Os().RemoveFolder(work);
  }
  // Deepest first: a folder empties once those below it went.
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    Os().RemoveFolder(Join(target, *folder).c_str());
  }
  return removed;
}

// The items below `from` that meet an item of the same name below `to` other than a
// folder to join into: a file on both sides, or a file on one and a folder on the other.
void FindClashes(const std::string& from, const std::string& to, std::vector<std::string>* clashes) {
  FolderItems items;
  std::string error;
  if (!ListItems(from, &items, &error)) return;
  for (const auto& [name, kind] : items) {
    const std::string there = Join(to, name);
    if (!ItemExists(there.c_str())) continue;
    FolderItems inner;
    if (kind == ItemKind::kFolder && ListItems(there, &inner, &error)) {
      FindClashes(Join(from, name), there, clashes);
    } else {
      clashes->push_back(Join(from, name));
    }
  }
}

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
  for (const auto& item : backedUp) {
    if (!Fits(Join(backup, item.first)) || !Fits(Join(target, item.first))) {
      return Fail(shown + ": a path is too long");
    }
  }

  int removed = 0;
  if (arguments.size() > 1) {
    Patch patch;
    if (!OpenPatch(arguments[1], &patch)) return false;
    if (BackupHoldsEveryOldFile(patch.tree, backup)) {
      removed = RemoveWrittenFiles(patch.tree, target);
    } else {
      Warn(shown + ": the update had not finished its backup, so it wrote nothing; nothing "
                   "beside " + kBackupFolderName + " is removed");
    }
  }

  std::vector<std::string> clashes;
  FindClashes(backup, target, &clashes);
  if (!clashes.empty()) {
    for (const std::string& clash : clashes) {
      Warn(Shown(clash) + ": the install holds an item of that name");
    }
    return Fail(shown + ": " + std::to_string(clashes.size()) + " item(s) of " + kBackupFolderName +
                " meet an item of the install, so nothing was moved" +
                (arguments.size() > 1 ? ""
                                      : "; give the patch (zt4 restore TARGET PATCH) so that the "
                                        "files the update wrote can be told apart and removed"));
  }
  int restored = 0;
  bool whole = true;
  for (const auto& item : backedUp) {
    if (MoveBack(Join(backup, item.first).c_str(), Join(target, item.first).c_str())) {
      ++restored;
    } else {
      whole = Fail(Shown(Join(backup, item.first)) + ": cannot be moved back (" +
                   Os().LastFailure() + ")");
    }
  }
  if (!whole) return false;
  if (!Os().RemoveFolder(backup.c_str())) {
    return Fail(Shown(backup) + ": the emptied folder cannot be removed (" + Os().LastFailure() +
                ")");
  }
  std::printf("restored %d item(s) into %s, removed %d file(s) of the update\n", restored,
              shown.c_str(), removed);
  return true;
}

}  // namespace zt4::tool
