#include <cstdio>
#include <cstring>

#include "base/bytes.h"
#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "driver/fatal_stop.h"
#include "update/operations.h"

namespace zt4 {

bool ApplyTree(const PatchEntry* first, const char* backupFolder, const char* targetFolder) {
  Progress progress(CountEntries(first));
  for (const PatchEntry* e = first; e; e = e->next) {
    progress.Next();
    if (e->id == -1) {
      RebuildArchive(e, backupFolder, targetFolder);
      continue;
    }
    if (e->newName[0] == 0) continue;  // removed: the old file stays in the backup only
    char newPath[kMaxPath];
    if (!JoinPath(newPath, targetFolder, e->newName)) FatalStop(StopWriteFailed);
    uint8_t* payload = nullptr;
    int32_t payloadSize = 0;
    if (!LoadWholeFile(PoolString::Formatted("patch/%d", e->id), &payload, &payloadSize)) {
      FatalStop(StopPatchDamaged);
    }
    if (e->oldName[0] != 0) {
      char oldPath[kMaxPath];
      if (!JoinPath(oldPath, backupFolder, e->oldName)) FatalStop(StopSourceMissing);
      ApplyDelta(payload, payloadSize, oldPath, newPath, e->newSize);
    } else {
      SaveWholeFile(payload, payloadSize, newPath);
    }
    FreeBlock(payload);
  }
  Os().ConsoleWrite(kApplyDoneLine);
  return true;
}

bool ValidateDeltaRecords(const uint8_t* payload, int32_t payloadSize, int32_t newSize) {
  if (newSize < 0 || payloadSize < 0) return false;
  int64_t remaining = payloadSize;
  const uint8_t* at = payload;
  while (remaining > 0) {
    remaining -= 8;
    if (remaining < 0) return false;  // the record header is cut
    uint32_t offset = GetU32(at);
    uint32_t length = GetU32(at + 4);
    remaining -= length;
    if (remaining < 0) return false;  // the data runs past the payload
    if (uint64_t{offset} + length > static_cast<uint64_t>(newSize)) return false;
    at += 8 + uint64_t{length};
  }
  return true;
}

bool ApplyDelta(const uint8_t* payload, int32_t payloadSize, const char* oldPath,
                const char* newPath, int32_t newSize) {
  if (newSize < 0) FatalStop(StopPatchDamaged);
  uint8_t* block = LoadPadded(oldPath, newSize);
  // Every record is checked before anything is written: a damaged payload leaves no
  // file for the entry.
  if (!ValidateDeltaRecords(payload, payloadSize, newSize)) FatalStop(StopPatchDamaged);
  const uint8_t* at = payload;
  const uint8_t* end = payload + payloadSize;
  while (at < end) {
    uint32_t offset = GetU32(at);
    uint32_t length = GetU32(at + 4);
    if (length > 0) std::memcpy(block + offset, at + 8, length);
    at += 8 + uint64_t{length};
  }
  SaveWholeFile(block, newSize, newPath);
  FreeBlock(block);
  return true;
}

uint8_t* LoadPadded(const char* path, int32_t size) {
  if (size < 0) FatalStop(StopPatchDamaged);
  uint8_t* block = AllocBlock(static_cast<size_t>(size));
  if (!block) FatalStop(StopNoMemory);
  FileStream file;
  if (!file.Open(PoolString(path), ReadMode)) FatalStop(StopSourceMissing);
  int32_t fileSize = file.Size();
  if (fileSize < 0) FatalStop(StopSourceMissing);
  int32_t n = fileSize < size ? fileSize : size;
  // An empty file or an empty new size reads nothing and is no failure; a short read is.
  if (n > 0 && file.Read(block, n) != n) FatalStop(StopSourceMissing);
  if (size > n) std::memset(block + n, 0, static_cast<size_t>(size - n));
  return block;
}

bool MakeParentDirs(const char* path) {
  char parent[kMaxPath];
  size_t length = std::strlen(path);
  if (length >= sizeof parent) return false;
  std::memcpy(parent, path, length + 1);
  // '/' is never the second byte of a Shift-JIS character: a plain search is safe.
  char* slash = std::strrchr(parent, '/');
  if (!slash) return true;
  *slash = 0;
  if (!MakeParentDirs(parent)) FatalStop(StopWriteFailed);
  return Os().CreateFolder(parent) != FolderResult::kFailed;
}

bool SaveWholeFile(const uint8_t* data, int32_t size, const char* path) {
  if (!MakeParentDirs(path)) FatalStop(StopWriteFailed);
  FileStream file;
  if (!file.Open(PoolString(path), CreateMode)) FatalStop(StopWriteFailed);
  if (!file.Write(data, size)) FatalStop(StopWriteFailed);
  file.Close();
  return true;
}

}  // namespace zt4
