#include <cstdio>
#include <cstring>

#include "archive/mount.h"
#include "base/heap.h"
#include "base/name_table.h"
#include "base/stream.h"
#include "base/texts.h"
#include "codec/sha1.h"
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

bool ArchiveMemberOf(const char* path, PoolString* archivePath, PoolString* member) {
  PoolString whole(path);
  // '/' is never the trail byte of a double-byte character: a plain search is exact.
  int32_t slash = whole.FindLast('/');
  if (slash < 0) return false;
  *archivePath = whole.Slice(0, slash);
  archivePath->Append(".zt4");
  *member = whole.Tail(slash);
  return true;
}

void Progress::Next() {
  char line[64];
  std::snprintf(line, sizeof line, "\r%3d/%3d (%d%%)", index_, total_,
                total_ > 0 ? percentSum_ / total_ : 0);
  Os().ConsoleWrite(line);
  ++index_;
  percentSum_ += 100;
}

namespace {

Stop Found(FileReport* report, Finding finding, Stop stop) {
  if (report) report->finding = finding;
  return stop;
}

// The content of the member that a path without a plain file addresses.
Stop LoadMember(const char* path, int32_t expectedSize, uint8_t** content, FileReport* report) {
  PoolString archivePath;
  PoolString member;
  if (!ArchiveMemberOf(path, &archivePath, &member)) {
    return Found(report, Finding::kMissing, Stop::kSourceMissing);
  }
  if (report) {
    report->inArchive = true;
    report->archivePath = archivePath;
    report->member = member;
  }
  if (archivePath.Length() >= kMaxPath) {
    return Found(report, Finding::kPathTooLong, Stop::kSourceMissing);
  }
  CacheMiss miss;
  Archive* archive = OpenCached(archivePath.Text(), &miss);
  if (!archive) {
    if (miss == CacheMiss::kNoMemory) return Found(report, Finding::kNoMemory, Stop::kNoMemory);
    return Found(report, miss == CacheMiss::kNoFile ? Finding::kNoArchiveFile : Finding::kNotAnArchive,
                 Stop::kSourceMissing);
  }
  if (!archive->Find(member)) return Found(report, Finding::kMemberMissing, Stop::kVersionMismatch);
  int32_t size = 0;
  if (!archive->Extract(member, content, &size)) {
    return Found(report, Finding::kMemberDamaged, Stop::kVersionMismatch);
  }
  if (report) report->foundSize = size;
  if (size != expectedSize) return Found(report, Finding::kSizeDiffers, Stop::kVersionMismatch);
  return Stop::kNone;
}

// Every path the passes check lies below the folder; one that does not fit the path
// buffer cannot be the old or new file.
Stop VerifyEntryFile(const char* folder, const char* name, const char* digest, int32_t size) {
  char path[kMaxPath];
  if (!JoinPath(path, folder, name)) return Stop::kSourceMissing;
  return VerifyFile(path, digest, size);
}

// A plain file is hashed as it is read, a piece at a time: memory does not grow with it.
constexpr int32_t kHashPiece = 1 << 20;

bool HashWhileReading(FileStream& file, int32_t size, char digest[41]) {
  ScopedBlock piece;
  piece.data = AllocBlock(static_cast<size_t>(size < kHashPiece ? size : kHashPiece));
  if (!piece.data) return false;
  Sha1 sha;
  for (int32_t done = 0; done < size;) {
    int32_t want = size - done < kHashPiece ? size - done : kHashPiece;
    if (file.Read(piece.data, want) != want) return false;
    sha.Update(piece.data, static_cast<size_t>(want));
    done += want;
  }
  sha.FinishHex(digest);
  return true;
}

}  // namespace

Stop VerifyFile(const char* path, const char* expectedDigest, int32_t expectedSize,
                FileReport* report) {
  if (report) *report = FileReport{};
  char digest[41];
  FileStream file;
  if (file.Open(PoolString(path), ReadMode)) {
    // The size is compared before anything is read.
    int32_t size = file.Size();
    if (report) report->foundSize = size;
    if (size != expectedSize) return Found(report, Finding::kSizeDiffers, Stop::kVersionMismatch);
    if (!HashWhileReading(file, size, digest)) {
      return Found(report, Finding::kUnreadable, Stop::kNoMemory);
    }
  } else {
    uint8_t* content = nullptr;
    if (Stop stop = LoadMember(path, expectedSize, &content, report); stop != Stop::kNone) {
      FreeBlock(content);
      return stop;
    }
    Sha1Hex(content, static_cast<size_t>(expectedSize), digest);
    FreeBlock(content);
  }
  if (std::strcmp(digest, expectedDigest) != 0) {
    Os().DebugOutput(expectedDigest);
    Os().DebugOutput("\n");
    Os().DebugOutput(digest);
    Os().DebugOutput("\n");
    return Found(report, Finding::kContentDiffers, Stop::kVersionMismatch);
  }
  return Stop::kNone;
}

namespace {

// An old content that frames of several entries are made from is verified once.
using VerifiedContents = NameTable<bool>;

Stop VerifyReferences(const PatchEntry* e, const char* folder, VerifiedContents* verified) {
  for (int32_t i = 0; i < e->referenceCount; ++i) {
    const ContentReference& reference = e->references[i];
    if (reference.side != ReferenceSide::kOld || IsOwnOldFile(e, reference)) continue;
    PoolString key = PoolString::Formatted("%s\n%s\n%s", reference.file, reference.member,
                                           reference.digest);
    if (verified->Find(key)) continue;
    if (Stop stop = VerifyReference(reference, folder); stop != Stop::kNone) return stop;
    // Without room to remember it, it is only verified again.
    verified->Set(key, true);
  }
  return Stop::kNone;
}

Stop VerifyChain(const PatchEntry* first, const char* folder, bool top, VerifiedContents* verified) {
  if (!first) return Stop::kNone;
  Progress progress(CountEntries(first));
  for (const PatchEntry* e = first; e; e = e->next) {
    if (top) {
      progress.Next();
    } else {
      Os().ConsoleWrite(".");
    }
    Stop stop = Stop::kNone;
    if (e->firstChild) {
      stop = VerifyChain(e->firstChild, folder, false, verified);
    } else if (KindOf(e) == KindRemoved || KindOf(e) == KindChanged) {
      stop = VerifyEntryFile(folder, e->oldName, e->oldDigest, e->oldSize);
    }
    // The old contents a compact entry is made from are old files like any other.
    if (stop == Stop::kNone) stop = VerifyReferences(e, folder, verified);
    if (stop != Stop::kNone) return stop;
  }
  if (top) Os().ConsoleWrite(kCheckDoneLine);
  return Stop::kNone;
}

}  // namespace

Stop VerifyTree(const PatchEntry* first, const char* folder, bool top) {
  VerifiedContents verified;
  return VerifyChain(first, folder, top, &verified);
}

Stop CheckTree(const PatchEntry* first, const char* folder) {
  Progress progress(CountEntries(first));
  for (const PatchEntry* e = first; e; e = e->next) {
    progress.Next();
    if (e->method == ContentMethod::kFolder) {
      char path[kMaxPath];
      if (!JoinPath(path, folder, e->newName) || !ItemExists(path)) return Stop::kVersionMismatch;
    } else if (KindOf(e) == KindGroup || e->newName[0] != 0) {
      DumpEntry(e);
      if (Stop stop = VerifyEntryFile(folder, e->newName, e->newDigest, e->newSize);
          stop != Stop::kNone) {
        return stop;
      }
    }
  }
  Os().ConsoleWrite(kCheckDoneLine);
  return Stop::kNone;
}

}  // namespace zt4
