#include "update/content.h"

#include <cstring>

#include "archive/mount.h"
#include "base/heap.h"
#include "base/stream.h"
#include "codec/sha1.h"
#include "update/apply.h"
#include "update/content_method.h"
#include "update/decoded_members.h"
#include "update/paths.h"

namespace zt4 {

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
  if (reference.side == ReferenceSide::kOld && DecodedMembers::Instance().CopyTo(reference, into)) {
    return Stop::kNone;
  }
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

namespace {

bool DigestIs(const uint8_t* content, int32_t size, const char* digest) {
  char computed[41];
  Sha1Hex(content, static_cast<size_t>(size), computed);
  return std::strcmp(computed, digest) == 0;
}

// A frame's content: the references laid end to end, the payload decoded against them.
Stop MakeFromFrame(const MethodRow& row, const PatchEntry* e, const char* backupFolder,
                   const char* targetFolder, const uint8_t* const* earlier, uint8_t* out) {
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
  return row.decode(payload.data, static_cast<size_t>(payload.size),
                    e->referenceCount > 0 ? references.data : nullptr, referenceBytes, out,
                    static_cast<size_t>(e->newSize));
}

}  // namespace

Stop MakeContent(const PatchEntry* e, const char* backupFolder, const char* targetFolder,
                 uint8_t** block, const uint8_t* const* earlier) {
  *block = nullptr;
  const MethodRow* row = FindMethod(e->method);
  if (!row || row->making == MethodRow::Making::kFolder) return Stop::kPatchDamaged;
  ScopedBlock made;
  made.data = AllocBlock(static_cast<size_t>(e->newSize));
  if (!made.data) return Stop::kNoMemory;
  Stop stop = row->IsFrame()
                  ? MakeFromFrame(*row, e, backupFolder, targetFolder, earlier, made.data)
                  : LoadReference(e->references[0], backupFolder, targetFolder, made.data, earlier);
  if (stop != Stop::kNone) return stop;
  // What the references hold is not the patch's to vouch for; what a frame makes of them
  // is.
  if (!DigestIs(made.data, e->newSize, e->newDigest)) {
    return row->IsFrame() ? Stop::kPatchDamaged : Stop::kVersionMismatch;
  }
  *block = made.data;
  made.data = nullptr;
  return Stop::kNone;
}

}  // namespace zt4
