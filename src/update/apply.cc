#include <cstdio>
#include <cstring>

#include <new>

#include "archive/mount.h"
#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "update/apply.h"
#include "update/content.h"
#include "update/content_method.h"
#include "update/decoded_members.h"
#include "update/delta.h"
#include "update/memory_plan.h"
#include "update/ordered_run.h"
#include "update/paths.h"
#include "update/phases.h"
#include "update/progress.h"
#include "update/rebuild.h"

namespace zt4 {

// The piece of a changed file's new content held at a time.
constexpr int32_t kDeltaWindow = 1 << 20;

Stop LoadPayload(int32_t id, uint8_t** block, int32_t* size) {
  return LoadWholeFile(PoolString::Formatted("%s/%d", kPatchMountName, id), block, size)
             ? Stop::kNone
             : Stop::kPatchDamaged;
}

namespace {

Stop ApplyEntry(const PatchEntry* e, const char* backupFolder, const char* targetFolder,
                MemberDots* dots) {
  switch (KindOf(e)) {
    case EntryKind::KindGroup:
      return RebuildArchive(e, backupFolder, targetFolder, dots);
    case EntryKind::KindChanged:
    case EntryKind::KindAdded:
      break;
    default:
      return Stop::kNone;  // removed: the old file stays in the backup only
  }
  char newPath[kMaxPath];
  if (!JoinPath(newPath, targetFolder, e->newName)) return Stop::kWriteFailed;
  if (MadeBy(*e, MethodRow::Making::kFolder)) {
    return MakeParentDirs(newPath) && Os().CreateFolder(newPath) != FolderResult::kFailed
               ? Stop::kNone
               : Stop::kWriteFailed;
  }
  if (e->method != ContentMethod::kNone) {
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
  if (KindOf(e) == EntryKind::KindChanged) {
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

int64_t PayloadMemory(int32_t id) {
  Archive* patch = MountedArchive(PoolString(kPatchMountName));
  const ArchiveEntry* entry = patch ? patch->Find(PoolString::Formatted("/%d", id)) : nullptr;
  return entry ? int64_t{entry->storedSize} + entry->contentSize : 0;
}

namespace {

// What applying an entry holds at most, as its description tells: its payload (coded
// and decoded), the contents it is made from, what it makes and, in a rebuilt archive,
// members coded and the earlier members kept for later ones. An estimate on the safe
// side: it only decides what may run at once.
int64_t EntryMemory(const PatchEntry* e) {
  if (KindOf(e) == EntryKind::KindGroup) {
    int64_t most = 0;
    for (const PatchEntry* child = e->firstChild; child; child = child->next) {
      int64_t memory = MemberMemory(child);
      if (memory > most) most = memory;
    }
    // Members are made on every core, beside what earlier members keep.
    return MostKept(e) + AheadAllowance(most);
  }
  if (KindOf(e) != EntryKind::KindChanged && KindOf(e) != EntryKind::KindAdded) return 0;
  if (e->method != ContentMethod::kNone) return MakingMemory(*e, PayloadMemory(e->id));
  int64_t window = KindOf(e) == EntryKind::KindChanged ? (e->newSize < kDeltaWindow ? e->newSize : kDeltaWindow) : 0;
  return PayloadMemory(e->id) + window;
}

// An entry made from a new file that an earlier entry writes waits for it.
bool ReadsNewFiles(const PatchEntry* e) {
  for (int32_t i = 0; i < e->referenceCount; ++i) {
    if (e->references[i].side == ReferenceSide::kNew && e->references[i].earlier < 0) return true;
  }
  for (const PatchEntry* child = e->firstChild; child; child = child->next) {
    if (ReadsNewFiles(child)) return true;
  }
  return false;
}

class EntryApplications final : public TaskList {
 public:
  EntryApplications(const PatchEntry* first, int32_t count, const char* backupFolder,
                    const char* targetFolder)
      : backupFolder_(backupFolder), targetFolder_(targetFolder) {
    size_t places = static_cast<size_t>(count > 0 ? count : 1);
    entries_ = new (std::nothrow) const PatchEntry*[places];
    memory_ = new (std::nothrow) int64_t[places];
    mayRunAhead_ = new (std::nothrow) bool[places];
    stops_ = new (std::nothrow) Stop[places];
    dots_ = new (std::nothrow) MemberDots[places];
    if (!Ready()) return;
    int32_t i = 0;
    for (const PatchEntry* e = first; e; e = e->next, ++i) {
      entries_[i] = e;
      memory_[i] = EntryMemory(e);
      mayRunAhead_[i] = !ReadsNewFiles(e);
      if (memory_[i] > largest_) largest_ = memory_[i];
      stops_[i] = Stop::kNone;
    }
  }
  ~EntryApplications() {
    delete[] entries_;
    delete[] memory_;
    delete[] mayRunAhead_;
    delete[] stops_;
    delete[] dots_;
  }
  EntryApplications(const EntryApplications&) = delete;
  EntryApplications& operator=(const EntryApplications&) = delete;

  bool Ready() const { return entries_ && memory_ && mayRunAhead_ && stops_ && dots_; }
  int64_t Allowance() const { return AheadAllowance(largest_); }

  void Run(int32_t index, bool inOrder) override {
    dots_[index] = MemberDots(inOrder);
    stops_[index] = ApplyEntry(entries_[index], backupFolder_, targetFolder_, &dots_[index]);
  }
  int64_t MemoryOf(int32_t index) const override { return memory_[index]; }
  bool MayRunAhead(int32_t index) const override { return mayRunAhead_[index]; }

  // The outcome of a taken entry, its held dots written first.
  Stop Outcome(int32_t index) {
    dots_[index].WriteHeld();
    return stops_[index];
  }

 private:
  const char* backupFolder_;
  const char* targetFolder_;
  const PatchEntry** entries_ = nullptr;
  int64_t* memory_ = nullptr;
  bool* mayRunAhead_ = nullptr;
  Stop* stops_ = nullptr;
  MemberDots* dots_ = nullptr;
  int64_t largest_ = 0;
};

}  // namespace

int64_t MemberMemory(const PatchEntry* child) {
  int64_t source = child->method != ContentMethod::kNone ? MakingMemory(*child, PayloadMemory(child->id))
                   : child->oldName[0] == 0                ? PayloadMemory(child->id)
                                                           : 2 * int64_t{child->oldSize};
  // The content and its coded bytes.
  return source + 2 * int64_t{child->newSize};
}

int64_t AheadAllowance(int64_t largest) {
  // Work ahead on the other cores holds this much each beyond the largest task.
  constexpr int64_t kAheadMemoryPerWorker = int64_t{8} << 20;
  return largest + kAheadMemoryPerWorker * (WorkerThreads() > 1 ? WorkerThreads() - 1 : 0);
}

Stop ApplyTree(const PatchEntry* first, const char* backupFolder, const char* targetFolder) {
  const int32_t count = CountEntries(first);
  EntryApplications applications(first, count, backupFolder, targetFolder);
  if (!applications.Ready()) return Stop::kNoMemory;
  Progress progress(count);
  Stop stop = Stop::kNone;
  {
    OrderedRun run(&applications, count, applications.Allowance());
    for (int32_t i = 0; i < count && stop == Stop::kNone; ++i) {
      progress.Next();
      run.Take(i);
      stop = applications.Outcome(i);
    }
  }
  // The old members kept from the verification have served their entries.
  DecodedMembers::Instance().Release();
  if (stop == Stop::kNone) Os().ConsoleWrite(kApplyDoneLine);
  return stop;
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


Stop SaveByRename(const uint8_t* data, int32_t size, const char* path) {
  char part[kMaxPath];
  if (!PartPath(part, path)) return Stop::kWriteFailed;
  if (Stop stop = SaveWholeFile(data, size, part); stop != Stop::kNone) return stop;
  return Os().MoveItem(part, path) ? Stop::kNone : Stop::kWriteFailed;
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
