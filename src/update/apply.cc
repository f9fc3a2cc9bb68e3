#include <cstdio>
#include <cstring>

#include <atomic>
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
#include "update/journal.h"
#include "update/memory_plan.h"
#include "update/ordered_run.h"
#include "update/paths.h"
#include "update/phases.h"
#include "update/progress.h"
#include "update/rebuild.h"

namespace zt4 {

// The piece of a changed file's new content held at a time.
constexpr int32_t kDeltaWindow = 1 << 20;
// Entries whose names the journal takes in one flush. A name noted but not yet made
// visible is harmless: nothing stands under it but what the update writes.
constexpr int32_t kNotedAtOnce = 64;

Stop LoadPayload(int32_t id, uint8_t** block, int32_t* size) {
  return LoadWholeFile(PoolString::Formatted("%s/%d", kPatchMountName, id), block, size)
             ? Stop::kNone
             : Stop::kPatchDamaged;
}

namespace {

// Writes the file of a top-level entry as `into`, a name of the work folder; the caller
// moves it to its own name when the chain reaches it.
Stop WriteEntry(const PatchEntry* e, const char* backupFolder, const char* targetFolder,
                const char* into, MemberDots* dots) {
  if (KindOf(e) == EntryKind::KindGroup) {
    return RebuildArchive(e, backupFolder, targetFolder, into, dots);
  }
  if (StreamsToFile(*e)) return WriteStreamedContent(e, backupFolder, targetFolder, into, dots);
  if (e->method != ContentMethod::kNone) {
    ScopedBlock content;
    if (Stop stop = MakeContent(e, backupFolder, targetFolder, &content.data); stop != Stop::kNone) {
      return stop;
    }
    return SaveWholeFile(content.data, e->newSize, into);
  }
  uint8_t* payload = nullptr;
  int32_t payloadSize = 0;
  if (Stop stop = LoadPayload(e->id, &payload, &payloadSize); stop != Stop::kNone) return stop;
  Stop stop = Stop::kSourceMissing;
  if (KindOf(e) == EntryKind::KindChanged) {
    char oldPath[kMaxPath];
    if (JoinPath(oldPath, backupFolder, e->oldName)) {
      // An entry without a method has the int32 sizes of the first form.
      stop = ApplyDelta(payload, payloadSize, oldPath, into, static_cast<int32_t>(e->newSize));
    }
  } else {
    stop = SaveWholeFile(payload, payloadSize, into);
  }
  FreeBlock(payload);
  return stop;
}

// Whether the entry writes a file of its own (an archive, a changed or an added file).
bool WritesFile(const PatchEntry* e) {
  const EntryKind kind = KindOf(e);
  if (kind == EntryKind::KindGroup) return true;
  if (kind != EntryKind::KindChanged && kind != EntryKind::KindAdded) return false;
  return !MadeBy(*e, MethodRow::Making::kFolder);
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
  // Written a piece at a time: its size is not held.
  if (MadeBy(*e, MethodRow::Making::kSegments)) {
    return MakingMemory(*e, PayloadMemory(e->id)) - e->newSize;
  }
  if (StreamsToFile(*e)) return kCopyPiece;
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

// Work ahead is invisible until its turn: each entry writes its file into the work folder
// under its place in the chain, and the caller moves it to its name when the chain reaches
// it. A stop leaves the entries before it written and nothing of those after it, however
// many ran ahead, and entries whose paths meet cannot overtake each other.
class EntryApplications final : public TaskList {
 public:
  EntryApplications(const PatchEntry* first, int32_t count, const char* backupFolder,
                    const char* targetFolder)
      : backupFolder_(backupFolder), targetFolder_(targetFolder) {
    size_t places = static_cast<size_t>(count > 0 ? count : 1);
    entries_ = new (std::nothrow) const PatchEntry*[places];
    memory_ = new (std::nothrow) int64_t[places];
    mayRunAhead_ = new (std::nothrow) bool[places];
    written_ = new (std::nothrow) std::atomic<bool>[places];
    stops_ = new (std::nothrow) Stop[places];
    dots_ = new (std::nothrow) MemberDots[places];
    if (!Ready()) return;
    int32_t i = 0;
    for (const PatchEntry* e = first; e; e = e->next, ++i) {
      entries_[i] = e;
      memory_[i] = EntryMemory(e);
      mayRunAhead_[i] = !ReadsNewFiles(e);
      if (memory_[i] > largest_) largest_ = memory_[i];
      written_[i] = false;
      stops_[i] = Stop::kNone;
    }
  }
  ~EntryApplications() {
    delete[] entries_;
    delete[] memory_;
    delete[] mayRunAhead_;
    delete[] written_;
    delete[] stops_;
    delete[] dots_;
  }
  EntryApplications(const EntryApplications&) = delete;
  EntryApplications& operator=(const EntryApplications&) = delete;

  bool Ready() const {
    return entries_ && memory_ && mayRunAhead_ && written_ && stops_ && dots_;
  }
  int64_t Allowance() const { return AheadAllowance(largest_); }

  // Makes the work folder; false when it cannot be made or a file in it would not fit.
  bool MakeWorkFolder(const PatchEntry* first, int32_t count) {
    char last[kMaxPath];
    if (!WorkFolderPath(workFolder_, first, targetFolder_) ||
        !WorkFilePath(last, workFolder_, count, true)) {
      return false;
    }
    workFolderMade_ = Os().CreateFolder(workFolder_) == FolderResult::kCreated;
    return workFolderMade_;
  }

  void Run(int32_t index, bool inOrder) override {
    dots_[index] = MemberDots(inOrder);
    const PatchEntry* e = entries_[index];
    if (!WritesFile(e)) return;
    char into[kMaxPath];
    WorkFileOf(index, into);
    written_[index] = true;
    stops_[index] = WriteEntry(e, backupFolder_, targetFolder_, into, &dots_[index]);
  }
  int64_t MemoryOf(int32_t index) const override { return memory_[index]; }
  bool MayRunAhead(int32_t index) const override { return mayRunAhead_[index]; }

  // The outcome of a taken entry, its held dots written first: its file moved to its
  // name, or its folder made.
  Stop Outcome(int32_t index) {
    dots_[index].WriteHeld();
    if (stops_[index] != Stop::kNone) return stops_[index];
    const PatchEntry* e = entries_[index];
    char newPath[kMaxPath];
    if (MadeBy(*e, MethodRow::Making::kFolder)) {
      return JoinPath(newPath, targetFolder_, e->newName) && MakeFoldersOf(targetFolder_, e->newName) &&
                     Os().CreateFolder(newPath) != FolderResult::kFailed
                 ? Stop::kNone
                 : Stop::kWriteFailed;
    }
    if (!written_[index]) return Stop::kNone;  // removed: the old file stays in the backup only
    char into[kMaxPath];
    WorkFileOf(index, into);
    if (!JoinPath(newPath, targetFolder_, e->newName) || !MakeFoldersOf(targetFolder_, e->newName) ||
        !Os().ReplaceFile(into, newPath)) {
      return Stop::kWriteFailed;
    }
    written_[index] = false;
    return Stop::kNone;
  }

  // Puts the names the entries from `first` to before `end` make visible in the journal,
  // on the disk.
  bool Note(Journal* journal, int32_t first, int32_t end) const {
    bool ok = true;
    for (int32_t i = first; i < end && ok; ++i) {
      if (entries_[i]->newName[0] != 0) ok = journal->NoteWritten(entries_[i]->newName);
    }
    return ok && journal->Flush();
  }

  // Once no task runs: what was written ahead of a stop goes with the work folder. False
  // when the folder stays.
  bool RemoveWorkFolder(int32_t count) {
    if (!workFolderMade_) return true;
    for (int32_t i = 0; i < count; ++i) {
      if (!written_[i]) continue;
      char into[kMaxPath];
      WorkFileOf(i, into);
      Os().DeleteFile(into);
    }
    return Os().RemoveFolder(workFolder_);
  }

 private:
  // Its length was checked when the folder was made.
  void WorkFileOf(int32_t index, char* into) const {
    WorkFilePath(into, workFolder_, index, KindOf(entries_[index]) == EntryKind::KindGroup);
  }

  const char* backupFolder_;
  const char* targetFolder_;
  char workFolder_[kMaxPath] = {};
  bool workFolderMade_ = false;
  const PatchEntry** entries_ = nullptr;
  int64_t* memory_ = nullptr;
  bool* mayRunAhead_ = nullptr;
  std::atomic<bool>* written_ = nullptr;  // a file in the work folder, not yet moved
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

Stop ApplyTree(const PatchEntry* first, const char* backupFolder, const char* targetFolder,
               Journal* journal) {
  const int32_t count = CountEntries(first);
  EntryApplications applications(first, count, backupFolder, targetFolder);
  if (!applications.Ready()) return Stop::kNoMemory;
  if (!applications.MakeWorkFolder(first, count)) return Stop::kWriteFailed;
  Progress progress(count);
  Stop stop = Stop::kNone;
  {
    OrderedRun run(&applications, count, applications.Allowance());
    int32_t noted = 0;
    for (int32_t i = 0; i < count && stop == Stop::kNone; ++i) {
      progress.Next();
      if (journal && i == noted) {
        // The names of the next few entries at once: one flush of the journal for them.
        noted = i + kNotedAtOnce < count ? i + kNotedAtOnce : count;
        if (!applications.Note(journal, i, noted)) {
          stop = Stop::kWriteFailed;
          break;
        }
      }
      run.Take(i);
      stop = applications.Outcome(i);
    }
  }
  // A complete pass leaves nothing but the new files beside the backup.
  if (!applications.RemoveWorkFolder(count) && stop == Stop::kNone) stop = Stop::kWriteFailed;
  // The old members kept from the verification have served their entries.
  DecodedMembers::Instance().Release();
  if (stop == Stop::kNone) Os().ConsoleWrite(kApplyDoneLine);
  return stop;
}

Stop ApplyDelta(const uint8_t* payload, int32_t payloadSize, const char* oldPath,
                const char* newPath, int32_t newSize) {
  // No block of a negative size can be had.
  if (newSize < 0) return Stop::kNoMemory;
  FileStream old;
  const int64_t oldSize = old.Open(PoolString(oldPath), ReadMode) ? old.Size() : -1;
  if (oldSize < 0) return Stop::kSourceMissing;
  // Every record is checked before anything is written: a damaged payload leaves no
  // file for the entry.
  if (!ValidateDeltaRecords(payload, payloadSize, newSize)) return Stop::kPatchDamaged;
  ScopedBlock window;
  window.data = AllocBlock(static_cast<size_t>(newSize < kDeltaWindow ? newSize : kDeltaWindow));
  if (!window.data) return Stop::kNoMemory;
  // The new content a window at a time: the old file's bytes (zero beyond its end) with
  // the records' bytes over them.
  FileStream out;
  if (!out.Open(PoolString(newPath), CreateMode)) return Stop::kWriteFailed;
  for (int32_t start = 0; start < newSize; start += kDeltaWindow) {
    int32_t size = newSize - start < kDeltaWindow ? newSize - start : kDeltaWindow;
    const int64_t oldLeft = oldSize - start;
    const int32_t fromOld = oldLeft <= 0 ? 0 : oldLeft < size ? static_cast<int32_t>(oldLeft) : size;
    // An empty old file reads nothing and is no failure; a short read is.
    if (fromOld > 0 && old.Read(window.data, fromOld) != fromOld) return Stop::kSourceMissing;
    std::memset(window.data + fromOld, 0, static_cast<size_t>(size - fromOld));
    WindowSink sink(window.data, static_cast<uint32_t>(start), static_cast<uint32_t>(size));
    ApplyDeltaRecords(payload, payloadSize, newSize, sink);
    if (!out.Write(window.data, size)) return Stop::kWriteFailed;
  }
  // On the disk itself before the update can say it is complete.
  return out.Flush() ? Stop::kNone : Stop::kWriteFailed;
}

Stop SaveWholeFile(const uint8_t* data, int64_t size, const char* path) {
  FileStream file;
  if (!file.Open(PoolString(path), CreateMode)) return Stop::kWriteFailed;
  constexpr int64_t kMostAtOnce = int64_t{1} << 30;
  for (int64_t done = 0; done < size;) {
    const auto count = static_cast<int32_t>(size - done < kMostAtOnce ? size - done : kMostAtOnce);
    if (!file.Write(data + done, count)) return Stop::kWriteFailed;
    done += count;
  }
  // On the disk itself before the update can say it is complete.
  return file.Flush() ? Stop::kNone : Stop::kWriteFailed;
}

}  // namespace zt4
