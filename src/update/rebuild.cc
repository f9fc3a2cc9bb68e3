#include "archive/archive.h"
#include "archive/mount.h"
#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "driver/fatal_stop.h"
#include "update/operations.h"

namespace zt4 {
namespace {

// The old content of a carried-over member: the plain file under the old path, or the
// member that the path addresses in the old archive beside it.
uint8_t* LoadOldContent(const char* backupFolder, const char* oldName, int32_t* size) {
  char oldPath[kMaxPath];
  if (!JoinPath(oldPath, backupFolder, oldName)) FatalStop(StopSourceMissing);
  uint8_t* content = nullptr;
  *size = 0;
  FileStream file;
  if (file.Open(PoolString(oldPath), ReadMode)) {
    *size = file.Size();
    content = ReadWhole(file);
    file.Close();
  } else {
    PoolString whole(oldPath);
    int32_t slash = whole.FindLast('/');
    PoolString archivePath = whole.Slice(0, slash);
    archivePath.Append(".zt4");
    if (archivePath.Length() >= kMaxPath) FatalStop(StopSourceMissing);
    Archive* archive = OpenCached(archivePath.Text());
    if (!archive->Extract(whole.Tail(slash), &content, size)) FatalStop(StopVersionMismatch);
  }
  if (!content) FatalStop(StopSourceMissing);
  return content;
}

}  // namespace

void RebuildArchive(const PatchEntry* group, const char* backupFolder, const char* targetFolder) {
  char archivePath[kMaxPath];
  if (!JoinPath(archivePath, targetFolder, group->newName)) FatalStop(StopWriteFailed);
  // The target folder is empty after the backup: the archive's folders may not exist yet.
  if (!MakeParentDirs(archivePath)) FatalStop(StopWriteFailed);
  ArchiveWriter writer;
  if (!writer.Create(PoolString(archivePath))) FatalStop(StopWriteFailed);
  for (const PatchEntry* child = group->firstChild; child; child = child->next) {
    Os().ConsoleWrite(".");
    uint8_t* content = nullptr;
    int32_t size = 0;
    if (child->oldName[0] == 0) {
      if (!LoadWholeFile(PoolString::Formatted("patch/%d", child->id), &content, &size)) {
        FatalStop(StopPatchDamaged);
      }
    } else {
      content = LoadOldContent(backupFolder, child->oldName, &size);
    }
    // x.bin and /x.bin name the same member /x.bin.
    const char* name = child->newName[0] == '/' ? child->newName + 1 : child->newName;
    if (!writer.Add(content, static_cast<uint32_t>(size), PoolString::Formatted("/%s", name))) {
      FatalStop(StopWriteFailed);
    }
    FreeBlock(content);
  }
  // A failure to write the index is a write failure, not a version mismatch later.
  if (!writer.Finish()) FatalStop(StopWriteFailed);
}

}  // namespace zt4
