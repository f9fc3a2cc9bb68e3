// The update operations: verification before and after, the backup of the target
// folder, writing plain files and rebuilding archives. Except for the backup, they do
// not return failures: the first problem ends the process through FatalStop.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "update/patch_list.h"

namespace zt4 {

// --- verification -----------------------------------------------------------------------

// Returns only when the file (or, when no plain file exists, the archive member that its
// path addresses) has the expected size and SHA-1 digest.
void VerifyFile(const char* path, const char* expectedDigest, int32_t expectedSize);
// The old side of every entry, descending into groups; `top` prints the progress lines.
bool VerifyTree(const PatchEntry* first, const char* folder, bool top);
// The new side of every top-level entry, a rebuilt archive as one whole file.
bool CheckTree(const PatchEntry* first, const char* folder);

// --- backup -----------------------------------------------------------------------------

struct FolderItem {
  char name[kMaxPath];
  FolderItem* next;
};

// The folder's items but "." and "..", last listed first; null when there are none or
// the folder cannot be listed. The caller frees the chain.
FolderItem* ListFolder(const char* folder);
void FreeFolderItems(FolderItem* items);
// True only when this call created the folder (with any missing parents).
bool MakeDirTree(const char* path);
// What a backup did, so that a partial one can be put back: the items moved, in the
// order they were moved, and whether the backup folder was created by it.
struct BackupRecord {
  FolderItem* moved = nullptr;
  bool createdFolder = false;
};
// Moves every item of `target` into `backup`, which it creates. True when all moved.
bool BackupFolder(const char* target, const char* backup, BackupRecord* record);
// Moves the recorded items back from `backup` to `target`, last moved first, removes the
// backup folder if the backup created it, and frees the record. True when all went back.
bool UndoBackup(const char* target, const char* backup, BackupRecord* record);

// --- applying ---------------------------------------------------------------------------

bool ApplyTree(const PatchEntry* first, const char* backupFolder, const char* targetFolder);
// True when the payload is a whole sequence of records that all lie within `newSize`
// bytes; looks at nothing but the bytes given.
bool ValidateDeltaRecords(const uint8_t* payload, int32_t payloadSize, int32_t newSize);
bool ApplyDelta(const uint8_t* payload, int32_t payloadSize, const char* oldPath,
                const char* newPath, int32_t newSize);
// A block of exactly `size` bytes: the file's first bytes, zero beyond its end.
uint8_t* LoadPadded(const char* path, int32_t size);
bool SaveWholeFile(const uint8_t* data, int32_t size, const char* path);
bool MakeParentDirs(const char* path);
void RebuildArchive(const PatchEntry* group, const char* backupFolder, const char* targetFolder);

// --- shared helpers ---------------------------------------------------------------------

// "%s/%s" into a kMaxPath buffer; false when it does not fit.
bool JoinPath(char* out, const char* folder, const char* name);
// The same with another separator.
bool JoinPathWith(char* out, const char* folder, char separator, const char* name);

// Progress display over a chain of N entries: "\r%3d/%3d (%d%%)" before each.
class Progress {
 public:
  explicit Progress(int32_t total) : total_(total) {}
  void Next();

 private:
  int32_t total_;
  int32_t index_ = 0;
  int32_t percentSum_ = 0;
};

}  // namespace zt4
