#include "update/phases.h"

#include <cstring>

#include "archive/mount.h"
#include "base/heap.h"
#include "base/shift_jis.h"
#include "base/stream.h"
#include "base/texts.h"
#include "codec/reference_codec.h"
#include "codec/sha1.h"
#include "platform/platform.h"
#include "update/apply.h"
#include "update/backup.h"
#include "update/content_method.h"
#include "update/delta.h"
#include "update/journal.h"
#include "update/paths.h"
#include "update/preflight.h"
#include "update/verify.h"

namespace zt4 {

void ConsoleLine(const char* text) {
  Os().ConsoleWrite(text);
  Os().ConsoleWrite("\n");
}

namespace {

bool FlushFolder(const char* target, const PoolString& folder) {
  char path[kMaxPath];
  return JoinPath(path, target, folder.Text()) && Os().FlushFolder(path);
}

// The folders the update changed: the target, the backup folder, and every folder it
// made for a new file, each level ('\' divides levels as '/' does, outside double-byte
// characters). Names come sorted, so the files of one folder stand together.
bool FlushFolders(const PatchEntry* tree, const char* target, const char* backup) {
  bool ok = Os().FlushFolder(backup) && Os().FlushFolder(target);
  PoolString flushed;
  for (const PatchEntry* e = tree; e && ok; e = e->next) {
    const char* name = e->newName;
    const size_t size = std::strlen(name);
    size_t levels[kMaxPath];
    int32_t levelCount = 0;
    for (size_t i = 0; i < size && levelCount < kMaxPath; i += CharLength(name, size, i)) {
      if (i > 0 && IsPathSeparator(name[i])) levels[levelCount++] = i;
    }
    if (levelCount == 0) continue;
    PoolString parent(name, static_cast<int32_t>(levels[levelCount - 1]));
    if (parent == flushed) continue;
    for (int32_t level = 0; level + 1 < levelCount && ok; ++level) {
      ok = FlushFolder(target, PoolString(name, static_cast<int32_t>(levels[level])));
    }
    ok = ok && FlushFolder(target, parent);
    flushed = parent;
  }
  return ok;
}

}  // namespace

PatchEntry* LoadPatch(const PoolString& patchPath, uint8_t** description, uint8_t digest[20]) {
  *description = nullptr;
  int32_t size = 0;
  if (!Mount(patchPath, PoolString(kPatchMountName))) return nullptr;
  // A description larger than the applier takes is refused before it is decoded.
  const Archive* patch = MountedArchive(PoolString(kPatchMountName));
  const ArchiveEntry* list = patch ? patch->Find(PoolString("/list")) : nullptr;
  if (list && list->contentSize > static_cast<uint32_t>(kMostDescriptionBytes)) return nullptr;
  if (!LoadWholeFile(PoolString::Formatted("%s/list", kPatchMountName), description, &size)) {
    return nullptr;
  }
  Sha1Digest(*description, static_cast<size_t>(size), digest);
  return ParsePatchList(*description, size);
}

Stop VerifyTarget(const PatchEntry* tree, const char* target, const char* backup) {
  FirstStop first;
  if (CheckBackupFolder(target, backup, &first)) CheckTarget(tree, target, target, backup, &first);
  return first.Decided();
}

namespace {

// From a complete backup on: the apply pass, the final check, the folders on the disk,
// and the journal removed last.
Stop ApplyAndCheck(const PatchEntry* tree, const char* target, const char* backup,
                   Journal* journal, Phase* phase) {
  *phase = Phase::kApply;
  ConsoleLine(kConsoleApplying);
  if (Stop stop = ApplyTree(tree, backup, target, journal); stop != Stop::kNone) return stop;

  *phase = Phase::kCheck;
  ConsoleLine(kConsoleCheckingResult);
  if (Stop stop = CheckTree(tree, target); stop != Stop::kNone) return stop;
  // The files are on the disk; the folders that received them, and the moves of the
  // backup, go there too before the update is called complete, and only then does the
  // journal go.
  if (!FlushFolders(tree, target, backup) || !journal->Remove() || !Os().FlushFolder(backup)) {
    return Stop::kWriteFailed;
  }
  return Stop::kNone;
}

}  // namespace

Stop UpdateTarget(const PatchEntry* tree, const uint8_t* digest, const char* target,
                  const char* backup, Phase* phase) {
  *phase = Phase::kBackup;
  ConsoleLine(kConsoleMakingBackup);
  BackupRecord record;
  Journal journal;
  char workFolder[40];
  if (!BackupFolder(target, backup, &record, &journal, digest) ||
      !WorkFolderName(workFolder, sizeof workFolder, tree) ||
      !journal.NoteBackupComplete(workFolder)) {
    // A partial or refused backup is put back: nothing is applied over a stale or
    // incomplete copy of the old install.
    UndoBackup(target, backup, &record, &journal);
    return Stop::kAborted;
  }
  FreeFolderItems(record.moved);
  return ApplyAndCheck(tree, target, backup, &journal, phase);
}

namespace {

// Items that stay where they were: the resume goes no further, and a diagnostic names them.
void NoteLeftItem(const char* path, void* /*user*/) {
  Os().DebugOutput(PoolString::Formatted("not moved into the backup: %s\n", path).Text());
}

}  // namespace

Stop ResumeTarget(const PatchEntry* tree, const char* target, const char* backup,
                  Journal* journal, Phase* phase) {
  *phase = Phase::kBackup;
  ConsoleLine(kConsoleMakingBackup);
  // What the update wrote goes, then whatever is left beside the backup joins it, as the
  // backup would have moved it.
  char workFolder[40];
  if (!RemoveWrittenItems(target, *journal) ||
      !MoveItemsInto(target, backup, kBackupFolderName, NoteLeftItem, nullptr) ||
      !WorkFolderName(workFolder, sizeof workFolder, tree) ||
      (!journal->BackupComplete() && !journal->NoteBackupComplete(workFolder))) {
    return Stop::kAborted;
  }
  *phase = Phase::kVerify;
  FirstStop first;
  CheckTarget(tree, backup, target, backup, &first);
  if (Stop stop = first.Decided(); stop != Stop::kNone) return stop;
  return ApplyAndCheck(tree, target, backup, journal, phase);
}

}  // namespace zt4
