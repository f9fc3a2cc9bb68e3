// The update operations: verification before and after, the backup of the target
// folder, writing plain files and rebuilding archives. The first problem an operation
// meets ends it and is handed back as a Stop; the caller (the driver, or a tool that
// runs the same passes) decides what the user sees.
#pragma once

#include <cstdint>

#include "base/pool_string.h"
#include "base/stop.h"
#include "platform/platform.h"
#include "update/patch_list.h"

namespace zt4 {

// --- verification -----------------------------------------------------------------------

// What a check of one file found, in more detail than the stop it leads to: a report
// that lists every problem (zt4 patch-check) words it from this.
enum class Finding {
  kMatches,         // the expected size and digest
  kPathTooLong,     // the path, or the path of the archive that would hold it, does not fit
  kMissing,         // no plain file, and no '/' to look for an archive member by
  kNoArchiveFile,   // no plain file, and no archive file that would hold it
  kNotAnArchive,    // no plain file, and that archive's header or index is refused
  kMemberMissing,   // the archive holds no such member
  kMemberDamaged,   // the member does not decode or fails its CRC
  kSizeDiffers,     // found with another size (`foundSize`)
  kUnreadable,      // the plain file could not be read whole
  kContentDiffers,  // the right size, another digest
  kNoMemory,
};
struct FileReport {
  Finding finding = Finding::kMatches;
  bool inArchive = false;  // found (or looked for) as an archive member
  int64_t foundSize = -1;
  PoolString archivePath;  // with inArchive: the archive and the member looked in
  PoolString member;
};

// Checks that the file (or, when no plain file exists, the archive member that its path
// addresses) has the expected size and SHA-1 digest. `report`, when given, says what
// was found.
Stop VerifyFile(const char* path, const char* expectedDigest, int32_t expectedSize,
                FileReport* report = nullptr);
// True when the plain file at `path` has the size and digest (hashed as it is read).
bool PlainFileMatches(const char* path, const char* expectedDigest, int32_t expectedSize);
// The old side of every entry, descending into groups; `top` prints the progress lines.
Stop VerifyTree(const PatchEntry* first, const char* folder, bool top);
// The new side of every top-level entry, a rebuilt archive as one whole file.
Stop CheckTree(const PatchEntry* first, const char* folder);

// A path that does not open as a plain file names a member of an archive: the part
// before its last '/' with ".zt4" appended is the archive, the part from that '/' on is
// the member. False when the path has no '/'.
bool ArchiveMemberOf(const char* path, PoolString* archivePath, PoolString* member);

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
// True when a file or a folder is there (as far as the OS lets it be seen).
bool ItemExists(const char* path);
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
// Moves an item back from the backup. When an item of that name is there too (a folder
// that a failed move split in two), what was moved is joined into it item by item; what
// cannot be moved (a file of the same name on both sides) stays where it is. True when
// nothing stayed.
bool MoveBack(const char* from, const char* to);

// --- applying ---------------------------------------------------------------------------

// Applies every top-level entry. Entries run ahead on every core, within a memory
// allowance, and are taken in chain order: the console shows what one core would, and
// the first failure in chain order is the stop (entries after it may be written).
Stop ApplyTree(const PatchEntry* first, const char* backupFolder, const char* targetFolder);
// What making a member of a rebuilt archive holds at most, as the description tells.
int64_t MemberMemory(const PatchEntry* child);
// The memory tasks on every core may hold together: the largest task's and a share for
// each other core.
int64_t AheadAllowance(int64_t largest);
// Rebuilds a changed file: the old file's first bytes (zero beyond its end) with the
// payload's delta records written over them, a window at a time, under the part name and
// renamed into place when whole. A payload whose records do not all fit is refused
// before anything is written.
Stop ApplyDelta(const uint8_t* payload, int32_t payloadSize, const char* oldPath,
                const char* newPath, int32_t newSize);
Stop SaveWholeFile(const uint8_t* data, int32_t size, const char* path);
// Creates the folders above a '/'-separated path, level by level.
bool MakeParentDirs(const char* path);
// The dots a rebuild shows, one per member as it is begun: written as they come when the
// rebuild runs in chain order, held and written when the chain reaches a rebuild that
// ran ahead.
class MemberDots {
 public:
  explicit MemberDots(bool live = false) : live_(live) {}
  void Next();
  void WriteHeld();

 private:
  bool live_ = false;
  int32_t held_ = 0;
};
Stop RebuildArchive(const PatchEntry* group, const char* backupFolder, const char* targetFolder,
                    MemberDots* dots);

// --- contents of compact entries ---------------------------------------------------------

// Reads a reference's content (exactly its size) into `into`: an old one from the backup
// folder, a new one from the target folder.
// `earlier`: the contents of the earlier members of the group being rebuilt, by place.
Stop LoadReference(const ContentReference& reference, const char* backupFolder,
                   const char* targetFolder, uint8_t* into,
                   const uint8_t* const* earlier = nullptr);
// An old reference in `folder` has its size and digest. With `keepDecoded`, an archive
// member's content, once verified, is kept (within a bound) for the entry made from it.
Stop VerifyReference(const ContentReference& reference, const char* folder,
                     bool keepDecoded = false);
// The kept contents of old members: room for one (null when the bound is reached), given
// back unused, or kept once verified; all let go once the entries are applied.
uint8_t* ReserveDecodedReference(int32_t size);
void DropDecodedReference(uint8_t* block, int32_t size);
void KeepDecodedReference(const ContentReference& reference, uint8_t* block);
void ReleaseDecodedReferences();
// True when the reference is the entry's own old file, verified with the entry.
bool IsOwnOldFile(const PatchEntry* e, const ContentReference& reference);
// The new content of a compact entry, made in memory; a content without the entry's
// size and digest is never handed over. The caller frees *block.
Stop MakeContent(const PatchEntry* e, const char* backupFolder, const char* targetFolder,
                 uint8_t** block, const uint8_t* const* earlier = nullptr);
// Writes the file under its name with kPartSuffix appended and renames it into place, so
// that no torn file ever stands under the new name.
Stop SaveByRename(const uint8_t* data, int32_t size, const char* path);
// The path with kPartSuffix appended; false when it does not fit.
bool PartPath(char* out, const char* path);

// --- shared helpers ---------------------------------------------------------------------

// "%s/%s" into a kMaxPath buffer; false when it does not fit.
bool JoinPath(char* out, const char* folder, const char* name);
// The same with another separator.
bool JoinPathWith(char* out, const char* folder, char separator, const char* name);
// The payload "patch/<id>" of an entry, whole; kPatchDamaged when it cannot be had.
Stop LoadPayload(int32_t id, uint8_t** block, int32_t* size);

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
