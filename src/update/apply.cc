#include <cstdio>
#include <cstring>

#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "update/delta.h"
#include "update/operations.h"
#include "update/phases.h"

namespace zt4 {

// The piece of a changed file's new content held at a time.
constexpr int32_t kDeltaWindow = 1 << 20;

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
  FileStream old;
  int32_t oldSize = old.Open(PoolString(oldPath), ReadMode) ? old.Size() : -1;
  if (oldSize < 0) return Stop::kSourceMissing;
  // Every record is checked before anything is written: a damaged payload leaves no
  // file for the entry.
  if (!ValidateDeltaRecords(payload, payloadSize, newSize)) return Stop::kPatchDamaged;
  char part[kMaxPath];
  if (!PartPath(part, newPath) || !MakeParentDirs(newPath)) return Stop::kWriteFailed;
  ScopedBlock window;
  window.data = AllocBlock(static_cast<size_t>(newSize < kDeltaWindow ? newSize : kDeltaWindow));
  if (!window.data) return Stop::kNoMemory;
  // The new content a window at a time: the old file's bytes (zero beyond its end) with
  // the records' bytes over them, written under the part name and renamed when whole.
  FileStream out;
  if (!out.Open(PoolString(part), CreateMode)) return Stop::kWriteFailed;
  for (int32_t start = 0; start < newSize; start += kDeltaWindow) {
    int32_t size = newSize - start < kDeltaWindow ? newSize - start : kDeltaWindow;
    int32_t fromOld = oldSize - start < size ? oldSize - start : size;
    if (fromOld < 0) fromOld = 0;
    // An empty old file reads nothing and is no failure; a short read is.
    if (fromOld > 0 && old.Read(window.data, fromOld) != fromOld) return Stop::kSourceMissing;
    std::memset(window.data + fromOld, 0, static_cast<size_t>(size - fromOld));
    WindowSink sink(window.data, static_cast<uint32_t>(start), static_cast<uint32_t>(size));
    ApplyDeltaRecords(payload, payloadSize, newSize, sink);
    if (!out.Write(window.data, size)) return Stop::kWriteFailed;
  }
  // On the disk itself before the update can say it is complete.
  if (!out.Flush()) return Stop::kWriteFailed;
  out.Close();
  old.Close();
  return Os().MoveItem(part, newPath) ? Stop::kNone : Stop::kWriteFailed;
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
