// The contents of compact entries: made in memory from their references (old files and
// members, or new files written before them) and a zstd frame, and checked against the
// entry's size and digest before anything is written.
#include <cstring>
#include <mutex>

#include "archive/mount.h"
#include "base/heap.h"
#include "base/name_table.h"
#include "base/stream.h"
#include "codec/approximate_diff.h"
#include "codec/reference_codec.h"
#include "codec/sha1.h"
#include "update/operations.h"

namespace zt4 {

namespace {

// Old members decoded while they were verified, kept for the entries made from them so
// that each is decoded once; together at most kKeptDecodedBytes.
constexpr int64_t kKeptDecodedBytes = int64_t{16} << 20;

struct KeptContent {
  uint8_t* data = nullptr;
  int32_t size = 0;
};

std::mutex gKeptLock;
NameTable<KeptContent>* gKept = nullptr;
int64_t gKeptBytes = 0;

PoolString KeptKey(const ContentReference& reference) {
  return PoolString::Formatted("%s\n%s\n%s", reference.file, reference.member, reference.digest);
}

}  // namespace

uint8_t* ReserveDecodedReference(int32_t size) {
  {
    std::lock_guard<std::mutex> lock(gKeptLock);
    if (size <= 0 || size > kKeptDecodedBytes - gKeptBytes) return nullptr;
    gKeptBytes += size;
  }
  uint8_t* block = AllocBlock(static_cast<size_t>(size));
  if (!block) DropDecodedReference(nullptr, size);
  return block;
}

void DropDecodedReference(uint8_t* block, int32_t size) {
  FreeBlock(block);
  std::lock_guard<std::mutex> lock(gKeptLock);
  gKeptBytes -= size;
}

void KeepDecodedReference(const ContentReference& reference, uint8_t* block) {
  PoolString key = KeptKey(reference);
  std::lock_guard<std::mutex> lock(gKeptLock);
  if (!gKept) gKept = new (std::nothrow) NameTable<KeptContent>;
  if (!gKept || gKept->Find(key) || !gKept->Set(key, KeptContent{block, reference.size})) {
    FreeBlock(block);
    gKeptBytes -= reference.size;
  }
}

void ReleaseDecodedReferences() {
  std::lock_guard<std::mutex> lock(gKeptLock);
  if (!gKept) return;
  gKept->ForEachEntry(
      [](const PoolString&, KeptContent& kept, void*) {
        FreeBlock(kept.data);
        return true;
      },
      nullptr);
  delete gKept;
  gKept = nullptr;
  gKeptBytes = 0;
}

namespace {

bool CopyKeptContent(const ContentReference& reference, uint8_t* into) {
  PoolString key = KeptKey(reference);
  std::lock_guard<std::mutex> lock(gKeptLock);
  const auto* node = gKept ? gKept->Find(key) : nullptr;
  if (!node || node->payload.size != reference.size) return false;
  std::memcpy(into, node->payload.data, static_cast<size_t>(reference.size));
  return true;
}

}  // namespace

Stop LoadReference(const ContentReference& reference, const char* backupFolder,
                   const char* targetFolder, uint8_t* into, const uint8_t* const* earlier) {
  if (reference.earlier >= 0) {
    if (!earlier || !earlier[reference.earlier]) return Stop::kPatchDamaged;
    if (reference.size > 0) std::memcpy(into, earlier[reference.earlier], static_cast<size_t>(reference.size));
    return Stop::kNone;
  }
  char path[kMaxPath];
  const char* folder = reference.side == ReferenceSide::kOld ? backupFolder : targetFolder;
  if (!JoinPath(path, folder, reference.file)) return Stop::kSourceMissing;
  if (reference.member[0] == 0) {
    FileStream file;
    if (!file.Open(PoolString(path), ReadMode)) return Stop::kSourceMissing;
    if (file.Size() != reference.size) return Stop::kVersionMismatch;
    if (reference.size > 0 && file.Read(into, reference.size) != reference.size) {
      return Stop::kSourceMissing;
    }
    return Stop::kNone;
  }
  // An old member verified and kept is the same content, already decoded.
  if (reference.side == ReferenceSide::kOld && CopyKeptContent(reference, into)) return Stop::kNone;
  CacheMiss miss;
  Archive* archive = OpenCached(path, &miss);
  if (!archive) return miss == CacheMiss::kNoMemory ? Stop::kNoMemory : Stop::kSourceMissing;
  ScopedBlock member;
  if (!archive->Extract(PoolString(reference.member), &member.data, &member.size) ||
      member.size != reference.size) {
    return Stop::kVersionMismatch;
  }
  if (member.size > 0) std::memcpy(into, member.data, static_cast<size_t>(member.size));
  return Stop::kNone;
}

bool IsOwnOldFile(const PatchEntry* e, const ContentReference& reference) {
  return reference.side == ReferenceSide::kOld && reference.member[0] == 0 &&
         std::strcmp(reference.file, e->oldName) == 0;
}

namespace {

bool DigestIs(const uint8_t* content, int32_t size, const char* digest) {
  char computed[41];
  Sha1Hex(content, static_cast<size_t>(size), computed);
  return std::strcmp(computed, digest) == 0;
}

}  // namespace

Stop MakeContent(const PatchEntry* e, const char* backupFolder, const char* targetFolder,
                 uint8_t** block, const uint8_t* const* earlier) {
  *block = nullptr;
  ScopedBlock made;
  made.data = AllocBlock(static_cast<size_t>(e->newSize));
  if (!made.data) return Stop::kNoMemory;
  // What the references hold is not the patch's to vouch for; what the frame makes of
  // them is.
  Stop wrongContent = Stop::kVersionMismatch;
  if (e->method == ContentMethod::kCopy) {
    Stop stop = LoadReference(e->references[0], backupFolder, targetFolder, made.data, earlier);
    if (stop != Stop::kNone) return stop;
  } else if (IsFrameMethod(e->method)) {
    wrongContent = Stop::kPatchDamaged;
    size_t referenceBytes = 0;
    for (int32_t i = 0; i < e->referenceCount; ++i) {
      referenceBytes += static_cast<size_t>(e->references[i].size);
    }
    ScopedBlock references;
    references.data = AllocBlock(referenceBytes);
    if (!references.data) return Stop::kNoMemory;
    size_t at = 0;
    for (int32_t i = 0; i < e->referenceCount; ++i) {
      Stop stop = LoadReference(e->references[i], backupFolder, targetFolder, references.data + at,
                                earlier);
      if (stop != Stop::kNone) return stop;
      at += static_cast<size_t>(e->references[i].size);
    }
    ScopedBlock payload;
    if (Stop stop = LoadPayload(e->id, &payload.data, &payload.size); stop != Stop::kNone) {
      return stop;
    }
    const uint8_t* reference = e->referenceCount > 0 ? references.data : nullptr;
    if (e->method == ContentMethod::kZstd) {
      if (!DecodeWithReference(payload.data, static_cast<size_t>(payload.size), reference,
                               referenceBytes, made.data, static_cast<size_t>(e->newSize))) {
        return Stop::kPatchDamaged;
      }
    } else {
      int64_t streamSize = ReferenceFrameContentSize(payload.data, static_cast<size_t>(payload.size));
      if (streamSize < 0 || streamSize > DiffStreamLimit(e->newSize)) return Stop::kPatchDamaged;
      ScopedBlock stream;
      stream.data = AllocBlock(static_cast<size_t>(streamSize));
      if (!stream.data) return Stop::kNoMemory;
      if (!DecodeWithReference(payload.data, static_cast<size_t>(payload.size), reference,
                               referenceBytes, stream.data, static_cast<size_t>(streamSize)) ||
          !ApplyApproximateDiff(stream.data, static_cast<size_t>(streamSize), reference,
                                referenceBytes, made.data, static_cast<size_t>(e->newSize))) {
        return Stop::kPatchDamaged;
      }
    }
  } else {
    return Stop::kPatchDamaged;
  }
  if (!DigestIs(made.data, e->newSize, e->newDigest)) return wrongContent;
  *block = made.data;
  made.data = nullptr;
  return Stop::kNone;
}

bool PartPath(char* out, const char* path) {
  size_t length = std::strlen(path);
  if (length + sizeof kPartSuffix > static_cast<size_t>(kMaxPath)) return false;
  std::memcpy(out, path, length);
  std::memcpy(out + length, kPartSuffix, sizeof kPartSuffix);
  return true;
}

Stop SaveByRename(const uint8_t* data, int32_t size, const char* path) {
  char part[kMaxPath];
  if (!PartPath(part, path)) return Stop::kWriteFailed;
  if (Stop stop = SaveWholeFile(data, size, part); stop != Stop::kNone) return stop;
  return Os().MoveItem(part, path) ? Stop::kNone : Stop::kWriteFailed;
}

}  // namespace zt4
