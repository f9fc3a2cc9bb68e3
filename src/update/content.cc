#include "update/content.h"

#include <cstring>
#include <new>

#include "archive/mount.h"
#include "base/heap.h"
#include "base/stream.h"
#include "codec/segment_codec.h"
#include "codec/sha1.h"
#include "update/apply.h"
#include "update/content_method.h"
#include "update/decoded_members.h"
#include "update/paths.h"
#include "update/phases.h"

namespace zt4 {
namespace {

// A reference's plain file opened where it stands (an old one in the backup folder), of
// the size the patch names.
Stop OpenPlainReference(const ContentReference& reference, const char* backupFolder,
                        const char* targetFolder, FileStream* file) {
  char path[kMaxPath];
  const char* folder = reference.side == ReferenceSide::kOld ? backupFolder : targetFolder;
  if (!JoinPath(path, folder, reference.file) || !file->Open(PoolString(path), ReadMode)) {
    return Stop::kSourceMissing;
  }
  return file->Size() == reference.size ? Stop::kNone : Stop::kVersionMismatch;
}

}  // namespace

Stop LoadReference(const ContentReference& reference, const char* backupFolder,
                   const char* targetFolder, uint8_t* into, const uint8_t* const* earlier) {
  if (reference.earlier >= 0) {
    if (!earlier || !earlier[reference.earlier]) return Stop::kPatchDamaged;
    if (reference.size > 0) std::memcpy(into, earlier[reference.earlier], static_cast<size_t>(reference.size));
    return Stop::kNone;
  }
  if (reference.member[0] == 0) {
    FileStream file;
    if (Stop stop = OpenPlainReference(reference, backupFolder, targetFolder, &file);
        stop != Stop::kNone) {
      return stop;
    }
    // Held whole only within a budget, which is an int32.
    if (reference.size > INT32_MAX) return Stop::kNoMemory;
    const auto size = static_cast<int32_t>(reference.size);
    if (size > 0 && file.Read(into, size) != size) return Stop::kSourceMissing;
    return Stop::kNone;
  }
  // An old member verified and kept is the same content, already decoded.
  if (reference.side == ReferenceSide::kOld && DecodedMembers::Instance().CopyTo(reference, into)) {
    return Stop::kNone;
  }
  char path[kMaxPath];
  const char* folder = reference.side == ReferenceSide::kOld ? backupFolder : targetFolder;
  if (!JoinPath(path, folder, reference.file)) return Stop::kSourceMissing;
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

// The ranges an entry's segments are decoded against: a plain file is read where the
// range lies, from its place (an old one in the backup folder); a member, or an earlier
// member of the group being rebuilt, is had whole once.
class ReferenceRanges final : public SegmentSource {
 public:
  ReferenceRanges(const PatchEntry* e, const char* backupFolder, const char* targetFolder,
                  const uint8_t* const* earlier)
      : e_(e), backupFolder_(backupFolder), targetFolder_(targetFolder), earlier_(earlier) {}
  ~ReferenceRanges() {
    for (int32_t i = 0; i < kMaxReferences; ++i) {
      delete files_[i];
      FreeBlock(wholes_[i]);
    }
  }
  ReferenceRanges(const ReferenceRanges&) = delete;
  ReferenceRanges& operator=(const ReferenceRanges&) = delete;

  bool Read(uint16_t source, uint64_t offset, uint32_t length, uint8_t* into) override {
    const ContentReference& reference = e_->references[source];
    if (reference.earlier >= 0 || reference.member[0] != 0) {
      if (!wholes_[source] && !LoadWhole(source)) return false;
      std::memcpy(into, wholes_[source] + offset, length);
      return true;
    }
    if (!files_[source] && !Open(source)) return false;
    if (!files_[source]->Seek(static_cast<int64_t>(offset), 0) ||
        files_[source]->Read(into, static_cast<int32_t>(length)) != static_cast<int32_t>(length)) {
      failure = Stop::kSourceMissing;
      return false;
    }
    return true;
  }

  // The sizes the segments are checked against, by reference.
  void Sizes(uint64_t* sizes) const {
    for (int32_t i = 0; i < e_->referenceCount; ++i) {
      sizes[i] = static_cast<uint64_t>(e_->references[i].size);
    }
  }

  Stop failure = Stop::kSourceMissing;  // why the last read failed

 private:
  bool LoadWhole(uint16_t source) {
    const ContentReference& reference = e_->references[source];
    wholes_[source] = AllocBlock(static_cast<size_t>(reference.size > 0 ? reference.size : 1));
    if (!wholes_[source]) {
      failure = Stop::kNoMemory;
      return false;
    }
    failure = LoadReference(reference, backupFolder_, targetFolder_, wholes_[source], earlier_);
    return failure == Stop::kNone;
  }
  bool Open(uint16_t source) {
    auto* file = new (std::nothrow) FileStream;
    if (!file) {
      failure = Stop::kNoMemory;
      return false;
    }
    failure = OpenPlainReference(e_->references[source], backupFolder_, targetFolder_, file);
    if (failure != Stop::kNone) {
      delete file;
      return false;
    }
    files_[source] = file;
    return true;
  }

  const PatchEntry* e_;
  const char* backupFolder_;
  const char* targetFolder_;
  const uint8_t* const* earlier_;
  FileStream* files_[kMaxReferences] = {};
  uint8_t* wholes_[kMaxReferences] = {};
};

// The new content into a block of its size.
class BlockSink final : public SegmentSink {
 public:
  explicit BlockSink(uint8_t* block) : block_(block) {}
  bool Take(const uint8_t* piece, size_t size) override {
    std::memcpy(block_ + at_, piece, size);
    at_ += size;
    return true;
  }

 private:
  uint8_t* block_;
  size_t at_ = 0;
};

// The new content into a file as it is made, its digest taken on the way, a dot shown
// for every kStreamDotBytes: a large file is most of an update's time.
class FileSink final : public SegmentSink {
 public:
  FileSink(FileStream* file, MemberDots* dots) : file_(file), dots_(dots) {}
  bool Take(const uint8_t* piece, size_t size) override {
    digest.Update(piece, size);
    const int64_t before = written_;
    written_ += static_cast<int64_t>(size);
    if (dots_) {
      for (int64_t n = written_ / kStreamDotBytes - before / kStreamDotBytes; n > 0; --n) {
        dots_->Next();
      }
    }
    return file_->Write(piece, static_cast<int32_t>(size));
  }
  Sha1 digest;

 private:
  FileStream* file_;
  MemberDots* dots_;
  int64_t written_ = 0;
};

// Hands the entry's payload to the stream a piece at a time, as it is decoded out of the
// patch: it is never held whole. False when the payload cannot be read whole.
bool StreamPayload(int32_t id, SegmentStream* stream) {
  Archive* patch = MountedArchive(PoolString(kPatchMountName));
  struct Feeding {
    SegmentStream* stream;
    bool refused;
  } feeding{stream, false};
  // The archive reads on to the end (checking the CRC); a refused piece ends the feeding.
  auto feed = [](const uint8_t* piece, int32_t size, void* user) {
    auto* f = static_cast<Feeding*>(user);
    if (!f->refused) f->refused = !f->stream->Feed(piece, static_cast<size_t>(size));
  };
  return patch && patch->ExtractInPieces(PoolString::Formatted("/%d", id), feed, &feeding);
}

Stop DecodeSegmentsOf(const PatchEntry* e, const char* backupFolder, const char* targetFolder,
                      const uint8_t* const* earlier, SegmentSink* sink) {
  ReferenceRanges ranges(e, backupFolder, targetFolder, earlier);
  uint64_t sizes[kMaxReferences] = {};
  ranges.Sizes(sizes);
  SegmentStream stream(static_cast<uint16_t>(e->referenceCount), sizes,
                       static_cast<uint64_t>(e->newSize), &ranges, sink);
  const bool read = StreamPayload(e->id, &stream);
  switch (stream.Finish()) {
    case SegmentResult::kDone:
      return read ? Stop::kNone : Stop::kPatchDamaged;
    case SegmentResult::kDamaged:
      return Stop::kPatchDamaged;
    case SegmentResult::kNoMemory:
      return Stop::kNoMemory;
    case SegmentResult::kSourceFailed:
      return ranges.failure;
    case SegmentResult::kSinkFailed:
      return Stop::kWriteFailed;
  }
  return Stop::kPatchDamaged;
}

bool DigestIs(const uint8_t* content, int64_t size, const char* digest) {
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
  Stop stop = Stop::kNone;
  if (row->IsFrame()) {
    stop = MakeFromFrame(*row, e, backupFolder, targetFolder, earlier, made.data);
  } else if (row->making == MethodRow::Making::kSegments) {
    BlockSink sink(made.data);
    stop = DecodeSegmentsOf(e, backupFolder, targetFolder, earlier, &sink);
  } else {
    stop = LoadReference(e->references[0], backupFolder, targetFolder, made.data, earlier);
  }
  if (stop != Stop::kNone) return stop;
  // What the references hold is not the patch's to vouch for; what a frame makes of them
  // is.
  if (!DigestIs(made.data, e->newSize, e->newDigest)) {
    return row->making == MethodRow::Making::kCopy ? Stop::kVersionMismatch : Stop::kPatchDamaged;
  }
  *block = made.data;
  made.data = nullptr;
  return Stop::kNone;
}

namespace {

// A plain file copied to the sink a piece at a time.
Stop CopyPlainFile(const ContentReference& reference, const char* backupFolder,
                   const char* targetFolder, SegmentSink* sink) {
  FileStream file;
  if (Stop stop = OpenPlainReference(reference, backupFolder, targetFolder, &file);
      stop != Stop::kNone) {
    return stop;
  }
  ScopedBlock piece;
  // A small file takes a block of its size, not of the largest piece.
  piece.data = AllocBlock(static_cast<size_t>(
      reference.size < kCopyPiece ? (reference.size > 0 ? reference.size : 1) : kCopyPiece));
  if (!piece.data) return Stop::kNoMemory;
  for (int64_t done = 0; done < reference.size;) {
    const auto want = static_cast<int32_t>(
        reference.size - done < kCopyPiece ? reference.size - done : kCopyPiece);
    if (file.Read(piece.data, want) != want) return Stop::kSourceMissing;
    if (!sink->Take(piece.data, static_cast<size_t>(want))) return Stop::kWriteFailed;
    done += want;
  }
  return Stop::kNone;
}

}  // namespace

bool SegmentPayloadFits(const PatchEntry* e, bool* readable) {
  uint64_t sizes[kMaxReferences] = {};
  for (int32_t i = 0; i < e->referenceCount; ++i) {
    sizes[i] = static_cast<uint64_t>(e->references[i].size);
  }
  SegmentStream layout(static_cast<uint16_t>(e->referenceCount), sizes,
                       static_cast<uint64_t>(e->newSize), nullptr, nullptr);
  *readable = StreamPayload(e->id, &layout);
  return *readable && e->newSize >= 0 && layout.Finish() == SegmentResult::kDone;
}

bool StreamsToFile(const PatchEntry& e) {
  if (MadeBy(e, MethodRow::Making::kSegments)) return true;
  return MadeBy(e, MethodRow::Making::kCopy) && e.referenceCount == 1 &&
         e.references[0].member[0] == 0 && e.references[0].earlier < 0;
}

Stop WriteStreamedContent(const PatchEntry* e, const char* backupFolder,
                          const char* targetFolder, const char* path, MemberDots* dots) {
  FileStream file;
  if (!file.Open(PoolString(path), CreateMode)) return Stop::kWriteFailed;
  FileSink sink(&file, dots);
  const bool copied = MadeBy(*e, MethodRow::Making::kCopy);
  Stop stop = copied ? CopyPlainFile(e->references[0], backupFolder, targetFolder, &sink)
                     : DecodeSegmentsOf(e, backupFolder, targetFolder, nullptr, &sink);
  if (stop != Stop::kNone) return stop;
  char made[41];
  sink.digest.FinishHex(made);
  // What a copied file holds is not the patch's to vouch for; what segments make is.
  if (std::strcmp(made, e->newDigest) != 0) {
    return copied ? Stop::kVersionMismatch : Stop::kPatchDamaged;
  }
  // On the disk itself before the update can say it is complete.
  return file.Flush() ? Stop::kNone : Stop::kWriteFailed;
}

}  // namespace zt4
