#include <cstdio>
#include <cstring>

#include "archive/mount.h"
#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "codec/sha1.h"
#include "driver/fatal_stop.h"
#include "update/operations.h"

namespace zt4 {

bool JoinPathWith(char* out, const char* folder, char separator, const char* name) {
  size_t folderLength = std::strlen(folder);
  size_t nameLength = std::strlen(name);
  if (folderLength + 1 + nameLength >= static_cast<size_t>(kMaxPath)) return false;
  std::memmove(out, folder, folderLength);
  out[folderLength] = separator;
  std::memmove(out + folderLength + 1, name, nameLength + 1);
  return true;
}

bool JoinPath(char* out, const char* folder, const char* name) {
  return JoinPathWith(out, folder, '/', name);
}

void Progress::Next() {
  char line[64];
  std::snprintf(line, sizeof line, "\r%3d/%3d (%d%%)", index_, total_,
                total_ > 0 ? percentSum_ / total_ : 0);
  Os().ConsoleWrite(line);
  ++index_;
  percentSum_ += 100;
}

void VerifyFile(const char* path, const char* expectedDigest, int32_t expectedSize) {
  uint8_t* content = nullptr;
  FileStream file;
  if (file.Open(PoolString(path), ReadMode)) {
    // The size is compared before anything is read.
    if (file.Size() != expectedSize) FatalStop(StopVersionMismatch);
    content = ReadWhole(file);
    if (!content) FatalStop(StopNoMemory);
  } else {
    // No plain file: the path addresses member "/name" of the archive "folder.zt4".
    PoolString whole(path);
    int32_t slash = whole.FindLast('/');
    if (slash < 0) FatalStop(StopSourceMissing);
    PoolString archivePath = whole.Slice(0, slash);
    archivePath.Append(".zt4");
    if (archivePath.Length() >= kMaxPath) FatalStop(StopSourceMissing);
    Archive* archive = OpenCached(archivePath.Text());
    int32_t size = 0;
    if (!archive->Extract(whole.Tail(slash), &content, &size)) FatalStop(StopVersionMismatch);
    if (size != expectedSize) FatalStop(StopVersionMismatch);
  }
  char digest[41];
  Sha1Hex(content, static_cast<size_t>(expectedSize), digest);
  if (std::strcmp(digest, expectedDigest) != 0) {
    Os().DebugOutput(expectedDigest);
    Os().DebugOutput("\n");
    Os().DebugOutput(digest);
    Os().DebugOutput("\n");
    FatalStop(StopVersionMismatch);
  }
  FreeBlock(content);
}

namespace {

// Every path the passes check lies below the folder; one that does not fit the path
// buffer cannot be the old or new file.
void VerifyEntryFile(const char* folder, const char* name, const char* digest, int32_t size) {
  char path[kMaxPath];
  if (!JoinPath(path, folder, name)) FatalStop(StopSourceMissing);
  VerifyFile(path, digest, size);
}

}  // namespace

bool VerifyTree(const PatchEntry* first, const char* folder, bool top) {
  if (!first) return false;
  Progress progress(CountEntries(first));
  for (const PatchEntry* e = first; e; e = e->next) {
    if (top) {
      progress.Next();
    } else {
      Os().ConsoleWrite(".");
    }
    if (e->firstChild) {
      if (!VerifyTree(e->firstChild, folder, false)) return false;
    } else if (e->id != -1 && e->oldName[0] != 0) {
      VerifyEntryFile(folder, e->oldName, e->oldDigest, e->oldSize);
    }
  }
  if (top) Os().ConsoleWrite(kCheckDoneLine);
  return true;
}

bool CheckTree(const PatchEntry* first, const char* folder) {
  Progress progress(CountEntries(first));
  for (const PatchEntry* e = first; e; e = e->next) {
    progress.Next();
    if (e->id == -1 || e->newName[0] != 0) {
      DumpEntry(e);
      VerifyEntryFile(folder, e->newName, e->newDigest, e->newSize);
    }
  }
  Os().ConsoleWrite(kCheckDoneLine);
  return true;
}

}  // namespace zt4
