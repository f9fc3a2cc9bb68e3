#include <cstring>

#include "archive/archive.h"
#include "archive/mount.h"
#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "codec/sha1.h"
#include "driver/fatal_stop.h"
#include "update/operations.h"

namespace zt4 {
namespace {

// Where a carried-over member's old content lies: a plain file under the old path, or
// else the member that the path addresses in the old archive beside it.
struct OldMember {
  Archive* archive = nullptr;
  PoolString memberName;
};

// Loads the plain old file into *content, or finds the old archive member.
void LocateOldContent(const char* backupFolder, const char* oldName, uint8_t** content,
                      int32_t* size, OldMember* member) {
  char oldPath[kMaxPath];
  if (!JoinPath(oldPath, backupFolder, oldName)) FatalStop(StopSourceMissing);
  *content = nullptr;
  *size = 0;
  FileStream file;
  if (file.Open(PoolString(oldPath), ReadMode)) {
    *size = file.Size();
    *content = ReadWhole(file);
    file.Close();
    if (!*content) FatalStop(StopSourceMissing);
    return;
  }
  PoolString whole(oldPath);
  int32_t slash = whole.FindLast('/');
  PoolString archivePath = whole.Slice(0, slash);
  archivePath.Append(".zt4");
  if (archivePath.Length() >= kMaxPath) FatalStop(StopSourceMissing);
  member->archive = OpenCached(archivePath.Text());
  member->memberName = whole.Tail(slash);
}

// Writes the archive of the group's children, in their order. With `copyCoded`, members
// carried over from an old archive keep their coded bytes and CRC instead of being
// decoded and coded again. True when some member was copied that way.
bool WriteArchive(const PatchEntry* group, const char* backupFolder, const char* archivePath,
                  bool copyCoded, bool showProgress) {
  ArchiveWriter writer;
  if (!writer.Create(PoolString(archivePath))) FatalStop(StopWriteFailed);
  bool copiedAny = false;
  for (const PatchEntry* child = group->firstChild; child; child = child->next) {
    if (showProgress) Os().ConsoleWrite(".");
    // x.bin and /x.bin name the same member /x.bin.
    const char* newName = child->newName[0] == '/' ? child->newName + 1 : child->newName;
    PoolString memberName = PoolString::Formatted("/%s", newName);
    uint8_t* content = nullptr;
    int32_t size = 0;
    if (child->oldName[0] == 0) {
      if (!LoadWholeFile(PoolString::Formatted("patch/%d", child->id), &content, &size)) {
        FatalStop(StopPatchDamaged);
      }
    } else {
      OldMember old;
      LocateOldContent(backupFolder, child->oldName, &content, &size, &old);
      if (old.archive && copyCoded) {
        const ArchiveEntry* entry = old.archive->Find(old.memberName);
        if (!entry) FatalStop(StopVersionMismatch);
        uint8_t* coded = nullptr;
        if (!old.archive->ReadStored(*entry, &coded)) FatalStop(StopVersionMismatch);
        bool added = writer.AddCoded(coded, entry->storedSize, entry->contentSize, entry->crc,
                                     memberName);
        FreeBlock(coded);
        if (!added) FatalStop(StopWriteFailed);
        copiedAny = true;
        continue;
      }
      if (old.archive && !old.archive->Extract(old.memberName, &content, &size)) {
        FatalStop(StopVersionMismatch);
      }
    }
    if (!writer.Add(content, static_cast<uint32_t>(size), memberName)) FatalStop(StopWriteFailed);
    FreeBlock(content);
  }
  // A failure to write the index is a write failure, not a version mismatch later.
  if (!writer.Finish()) FatalStop(StopWriteFailed);
  return copiedAny;
}

bool FileMatches(const char* path, int32_t size, const char* digest) {
  FileStream file;
  if (!file.Open(PoolString(path), ReadMode) || file.Size() != size) return false;
  uint8_t* content = ReadWhole(file);
  if (!content) return false;
  char computed[41];
  Sha1Hex(content, static_cast<size_t>(size), computed);
  FreeBlock(content);
  return std::strcmp(computed, digest) == 0;
}

}  // namespace

void RebuildArchive(const PatchEntry* group, const char* backupFolder, const char* targetFolder) {
  char archivePath[kMaxPath];
  if (!JoinPath(archivePath, targetFolder, group->newName)) FatalStop(StopWriteFailed);
  // The target folder is empty after the backup: the archive's folders may not exist yet.
  if (!MakeParentDirs(archivePath)) FatalStop(StopWriteFailed);
  // Copied coded bytes are the bytes this coder writes only if the old archive was written
  // by it; when the result is not the expected archive, it is written once more the
  // plain way, decoding and coding every member.
  if (WriteArchive(group, backupFolder, archivePath, true, true) &&
      !FileMatches(archivePath, group->newSize, group->newDigest)) {
    WriteArchive(group, backupFolder, archivePath, false, false);
  }
}

}  // namespace zt4
