#include "update/phases.h"

#include "archive/mount.h"
#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "codec/reference_codec.h"
#include "platform/platform.h"
#include "update/delta.h"
#include "update/operations.h"

namespace zt4 {

void ConsoleLine(const char* text) {
  Os().ConsoleWrite(text);
  Os().ConsoleWrite("\n");
}

namespace {

// The payload of an entry is there, decodes with the right CRC, and its delta records
// (for a changed file) lie within the new size.
Stop CheckPayload(const PatchEntry* e, bool delta) {
  uint8_t* payload = nullptr;
  int32_t size = 0;
  Stop stop = LoadPayload(e->id, &payload, &size);
  if (stop == Stop::kNone && delta && !ValidateDeltaRecords(payload, size, e->newSize)) {
    stop = Stop::kPatchDamaged;
  }
  FreeBlock(payload);
  return stop;
}

// A path the later passes will form below `folder`; `tooLong` is the stop they would meet.
Stop Fits(const char* folder, const char* name, Stop tooLong) {
  char path[kMaxPath];
  return JoinPath(path, folder, name) ? Stop::kNone : tooLong;
}

// A compact entry: the paths of its references, its file's temporary name (`ownFile`),
// and a frame that is there and states the entry's size.
Stop CheckContentNeeds(const PatchEntry* e, const char* target, const char* backup, bool ownFile) {
  char path[kMaxPath];
  char part[kMaxPath];
  if (ownFile && e->method != ContentMethod::kFolder &&
      (!JoinPath(path, target, e->newName) || !PartPath(part, path))) {
    return Stop::kWriteFailed;
  }
  for (int32_t i = 0; i < e->referenceCount; ++i) {
    const ContentReference& reference = e->references[i];
    const char* folder = reference.side == ReferenceSide::kOld ? backup : target;
    if (Stop stop = Fits(folder, reference.file, Stop::kSourceMissing); stop != Stop::kNone) {
      return stop;
    }
  }
  if (!IsFrameMethod(e->method)) return Stop::kNone;
  ScopedBlock payload;
  if (Stop stop = LoadPayload(e->id, &payload.data, &payload.size); stop != Stop::kNone) {
    return stop;
  }
  int64_t stated = ReferenceFrameContentSize(payload.data, static_cast<size_t>(payload.size));
  bool fits = e->method == ContentMethod::kZstd
                  ? stated == e->newSize
                  : stated >= 0 && stated <= DiffStreamLimit(e->newSize);
  return fits ? Stop::kNone : Stop::kPatchDamaged;
}

// What applying one top-level entry needs, checked before the backup; the bytes it
// writes are added to *newBytes.
Stop CheckEntryNeeds(const PatchEntry* e, const char* target, const char* backup,
                     uint64_t* newBytes) {
  EntryKind kind = KindOf(e);
  if (kind == KindRemoved) return Stop::kNone;
  *newBytes += static_cast<uint32_t>(e->newSize);
  if (Stop stop = Fits(target, e->newName, Stop::kWriteFailed); stop != Stop::kNone) return stop;
  if (kind == KindChanged) {
    if (Stop stop = Fits(backup, e->oldName, Stop::kSourceMissing); stop != Stop::kNone) {
      return stop;
    }
  }
  if (e->method != ContentMethod::kStrict) return CheckContentNeeds(e, target, backup, true);
  if (kind != KindGroup) return CheckPayload(e, kind == KindChanged);
  for (const PatchEntry* child = e->firstChild; child; child = child->next) {
    Stop stop = child->method != ContentMethod::kStrict
                    ? CheckContentNeeds(child, target, backup, false)
                    : child->oldName[0] != 0 ? Fits(backup, child->oldName, Stop::kSourceMissing)
                                             : CheckPayload(child, false);
    if (stop != Stop::kNone) return stop;
  }
  return Stop::kNone;
}

Stop CheckUpdateNeeds(const PatchEntry* tree, const char* target, const char* backup) {
  uint64_t newBytes = 0;
  for (const PatchEntry* e = tree; e; e = e->next) {
    if (Stop stop = CheckEntryNeeds(e, target, backup, &newBytes); stop != Stop::kNone) {
      return stop;
    }
  }
  // The old install only moves within its volume: the new one needs room of its own.
  int64_t free = Os().FreeSpace(target);
  if (free >= 0 && newBytes > static_cast<uint64_t>(free)) return Stop::kWriteFailed;
  return Stop::kNone;
}

bool FlushFolder(const char* target, const PoolString& folder) {
  char path[kMaxPath];
  return JoinPath(path, target, folder.Text()) && Os().FlushFolder(path);
}

// The folders the update changed: the target, the backup folder, and every folder it
// made for a new file, each level ('/' is never a trail byte). Names come sorted, so the
// files of one folder stand together.
bool FlushFolders(const PatchEntry* tree, const char* target, const char* backup) {
  bool ok = Os().FlushFolder(backup) && Os().FlushFolder(target);
  PoolString flushed;
  for (const PatchEntry* e = tree; e && ok; e = e->next) {
    PoolString name(e->newName);
    int32_t slash = name.FindLast('/');
    if (slash <= 0) continue;
    PoolString parent = name.Slice(0, slash);
    if (parent == flushed) continue;
    for (int32_t i = 1; i < parent.Length() && ok; ++i) {
      if (parent.CharAt(i) == '/') ok = FlushFolder(target, parent.Slice(0, i));
    }
    ok = ok && FlushFolder(target, parent);
    flushed = parent;
  }
  return ok;
}

}  // namespace

PatchEntry* LoadPatch(const PoolString& patchPath, uint8_t** description) {
  *description = nullptr;
  int32_t size = 0;
  if (!Mount(patchPath, PoolString(kPatchMountName)) ||
      !LoadWholeFile(PoolString::Formatted("%s/list", kPatchMountName), description, &size)) {
    return nullptr;
  }
  return ParsePatchList(*description, size);
}

Stop VerifyTarget(const PatchEntry* tree, const char* target, const char* backup) {
  ConsoleLine(kConsoleCheckingTarget);
  Stop stop = VerifyTree(tree, target, true);
  // The backup moves these files next: an archive held open could not be moved.
  ReleaseArchiveCache();
  return stop != Stop::kNone ? stop : CheckUpdateNeeds(tree, target, backup);
}

Stop UpdateTarget(const PatchEntry* tree, const char* target, const char* backup, Phase* phase) {
  *phase = Phase::kBackup;
  ConsoleLine(kConsoleMakingBackup);
  BackupRecord record;
  if (!BackupFolder(target, backup, &record)) {
    // A partial or refused backup is put back: nothing is applied over a stale or
    // incomplete copy of the old install.
    UndoBackup(target, backup, &record);
    return Stop::kAborted;
  }
  FreeFolderItems(record.moved);

  *phase = Phase::kApply;
  ConsoleLine(kConsoleApplying);
  if (Stop stop = ApplyTree(tree, backup, target); stop != Stop::kNone) return stop;

  *phase = Phase::kCheck;
  ConsoleLine(kConsoleCheckingResult);
  if (Stop stop = CheckTree(tree, target); stop != Stop::kNone) return stop;
  // The files are on the disk; the folders that received them, and the moves of the
  // backup, go there too before the update is called complete.
  return FlushFolders(tree, target, backup) ? Stop::kNone : Stop::kWriteFailed;
}

}  // namespace zt4
