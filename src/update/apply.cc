#include <cstdio>
#include <cstring>

#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "update/delta.h"
#include "update/operations.h"
#include "update/phases.h"

namespace zt4 {

Stop LoadPayload(int32_t id, uint8_t** block, int32_t* size) {
  return LoadWholeFile(PoolString::Formatted("%s/%d", kPatchMountName, id), block, size)
             ? Stop::kNone
             : Stop::kPatchDamaged;
}

namespace {

Stop ApplyEntry(const PatchEntry* e, const char* backupFolder, const char* targetFolder) {
  switch (KindOf(e)) {
    case KindGroup:
      return RebuildArchive(e, backupFolder, targetFolder);
    case KindChanged:
    case KindAdded:
      break;
    default:
      return Stop::kNone;  // removed: the old file stays in the backup only
  }
  char newPath[kMaxPath];
  if (!JoinPath(newPath, targetFolder, e->newName)) return Stop::kWriteFailed;
  if (e->method == ContentMethod::kFolder) {
    return MakeParentDirs(newPath) && Os().CreateFolder(newPath) != FolderResult::kFailed
               ? Stop::kNone
               : Stop::kWriteFailed;
  }
  if (e->method != ContentMethod::kStrict) {
    ScopedBlock content;
    if (Stop stop = MakeContent(e, backupFolder, targetFolder, &content.data); stop != Stop::kNone) {
      return stop;
    }
    return SaveByRename(content.data, e->newSize, newPath);
  }
  uint8_t* payload = nullptr;
  int32_t payloadSize = 0;
  if (Stop stop = LoadPayload(e->id, &payload, &payloadSize); stop != Stop::kNone) return stop;
  Stop stop = Stop::kSourceMissing;
  if (KindOf(e) == KindChanged) {
    char oldPath[kMaxPath];
    if (JoinPath(oldPath, backupFolder, e->oldName)) {
      stop = ApplyDelta(payload, payloadSize, oldPath, newPath, e->newSize);
    }
  } else {
    stop = SaveWholeFile(payload, payloadSize, newPath);
  }
  FreeBlock(payload);
  return stop;
}

}  // namespace

Stop ApplyTree(const PatchEntry* first, const char* backupFolder, const char* targetFolder) {
  Progress progress(CountEntries(first));
  for (const PatchEntry* e = first; e; e = e->next) {
    progress.Next();
    if (Stop stop = ApplyEntry(e, backupFolder, targetFolder); stop != Stop::kNone) return stop;
  }
  Os().ConsoleWrite(kApplyDoneLine);
  return Stop::kNone;
}

Stop ApplyDelta(const uint8_t* payload, int32_t payloadSize, const char* oldPath,
                const char* newPath, int32_t newSize) {
  uint8_t* block = nullptr;
  if (Stop stop = LoadPadded(oldPath, newSize, &block); stop != Stop::kNone) return stop;
  // Every record is checked before anything is written: a damaged payload leaves no
  // file for the entry.
  BlockSink sink(block);
  Stop stop = ApplyDeltaRecords(payload, payloadSize, newSize, sink)
                  ? SaveWholeFile(block, newSize, newPath)
                  : Stop::kPatchDamaged;
  FreeBlock(block);
  return stop;
}

Stop LoadPadded(const char* path, int32_t size, uint8_t** block) {
  *block = nullptr;
  if (size < 0) return Stop::kPatchDamaged;
  uint8_t* padded = AllocBlock(static_cast<size_t>(size));
  if (!padded) return Stop::kNoMemory;
  FileStream file;
  int32_t fileSize = file.Open(PoolString(path), ReadMode) ? file.Size() : -1;
  int32_t n = fileSize < size ? fileSize : size;
  // An empty file or an empty new size reads nothing and is no failure; a short read is.
  if (fileSize < 0 || (n > 0 && file.Read(padded, n) != n)) {
    FreeBlock(padded);
    return Stop::kSourceMissing;
  }
  if (size > n) std::memset(padded + n, 0, static_cast<size_t>(size - n));
  *block = padded;
  return Stop::kNone;
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
  return MakeParentDirs(parent) && Os().CreateFolder(parent) != FolderResult::kFailed;
}

Stop SaveWholeFile(const uint8_t* data, int32_t size, const char* path) {
  if (!MakeParentDirs(path)) return Stop::kWriteFailed;
  FileStream file;
  // On the disk itself before the update can say it is complete.
  if (!file.Open(PoolString(path), CreateMode) || !file.Write(data, size) || !file.Flush()) {
    return Stop::kWriteFailed;
  }
  return Stop::kNone;
}

}  // namespace zt4
