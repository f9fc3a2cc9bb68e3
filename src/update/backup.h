// The backup: every item of the target folder moved into its backup folder, and what
// puts a partial one back.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zt4 {

struct FolderItem {
  char name[kMaxPath];
  ItemKind kind;
  FolderItem* next;
};

// The folder, '\' and the name into a kMaxPath buffer: the shell's paths use the
// folder's own separator. False when it does not fit.
bool JoinBackslash(char* out, const char* folder, const char* name);

// The folder's items but "." and "..", last listed first; null when there are none or
// the folder cannot be listed. The caller frees the chain.
FolderItem* ListFolder(const char* folder);
// The same, false when the folder cannot be listed (or a name of it had no room).
bool ListFolderItems(const char* folder, FolderItem** items);
void FreeFolderItems(FolderItem* items);
// True only when this call created the folder (with any missing parents).
bool MakeDirTree(const char* path);
// True when a file or a folder is there (as far as the OS lets it be seen).
bool ItemExists(const char* path);
// Whether a folder (not a file) is at the path.
bool FolderExists(const char* path);
// What a backup did, so that a partial one can be put back: the items moved, in the
// order they were moved, and whether the backup folder was created by it.
struct BackupRecord {
  FolderItem* moved = nullptr;
  bool createdFolder = false;
};
class Journal;
// Moves every item of `target` into `backup`, which it creates, with the update's journal
// begun there (for the patch of that digest) before the first move. True when all moved.
bool BackupFolder(const char* target, const char* backup, BackupRecord* record, Journal* journal,
                  const uint8_t* patchDigest);
// Moves the recorded items back from `backup` to `target`, last moved first, removes the
// journal and the backup folder if the backup created it, and frees the record. True when
// all went back.
bool UndoBackup(const char* target, const char* backup, BackupRecord* record, Journal* journal);
// Moves an item back from the backup. When an item of that name is there too (a folder
// that a failed move split in two), what was moved is joined into it item by item; what
// cannot be moved (a file of the same name on both sides) stays where it is. True when
// nothing stayed.
bool MoveBack(const char* from, const char* to);

}  // namespace zt4
