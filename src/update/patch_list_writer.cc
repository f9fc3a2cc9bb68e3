#include "update/patch_list_writer.h"

#include <cstring>

#include "base/bytes.h"
#include "base/heap.h"
#include "codec/reference_codec.h"
#include "codec/sha1.h"

namespace zt4 {

PatchListWriter::PatchListWriter() : ok_(bytes_.CreateBlock(4096, true)) {}

PatchListWriter& PatchListWriter::Raw(const void* bytes, int32_t count) {
  ok_ = ok_ && bytes_.Write(bytes, count);
  return *this;
}

PatchListWriter& PatchListWriter::Int(int32_t value) {
  uint8_t raw[4];
  PutU32(raw, static_cast<uint32_t>(value));
  return Raw(raw, 4);
}

PatchListWriter& PatchListWriter::Size(int64_t value) {
  if (value <= INT32_MAX) return Int(static_cast<int32_t>(value));
  wideSizes_ = true;
  return Int(kWideSize)
      .Int(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value))))
      .Int(static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32)));
}

PatchListWriter& PatchListWriter::Text(const char* text) {
  return Raw(text, static_cast<int32_t>(std::strlen(text) + 1));
}

PatchListWriter& PatchListWriter::Record(int32_t id, const char* oldName, int64_t oldSize,
                                         const char* oldDigest, const char* newName,
                                         int64_t newSize, const char* newDigest) {
  return Int(id).Text(oldName).Size(oldSize).Text(oldDigest).Text(newName).Size(newSize).Text(
      newDigest);
}

PatchListWriter& PatchListWriter::GroupBegin(const char* newName, int64_t newSize,
                                             const char* newDigest) {
  return Int(kGroupMark).Text(kGroupMarker).Text(newName).Size(newSize).Text(newDigest);
}

PatchListWriter& PatchListWriter::GroupEnd() { return Int(kGroupMark).Text(kEndMarker); }

PatchListWriter& PatchListWriter::Content(ContentMethod method, int32_t referenceCount) {
  return Int(static_cast<int32_t>(method)).Int(referenceCount);
}

PatchListWriter& PatchListWriter::Reference(const ContentReference& reference) {
  return Int(static_cast<int32_t>(reference.side))
      .Text(reference.file)
      .Text(reference.member)
      .Size(reference.size)
      .Text(reference.digest);
}

PatchListWriter& PatchListWriter::Run(const char* archive, const RunItem* items, int32_t count) {
  Sha1 runDigest;
  for (int32_t i = 0; i < count; ++i) {
    uint8_t digest[20] = {};
    ok_ = ok_ && DigestFromHex(items[i].digest, digest);
    runDigest.Update(digest, sizeof digest);
  }
  uint8_t digest[20];
  runDigest.Finish(digest);
  return Run(archive, items, count, digest);
}

PatchListWriter& PatchListWriter::Run(const char* archive, const RunItem* items, int32_t count,
                                      const uint8_t digest[20]) {
  runs_ = true;
  Int(kRunMark).Text(archive).Int(count);
  const char* previous = "";
  for (int32_t i = 0; i < count; ++i) {
    size_t shared = 0;
    while (shared < 255 && previous[shared] != 0 && previous[shared] == items[i].name[shared]) {
      ++shared;
    }
    const auto byte = static_cast<uint8_t>(shared);
    Raw(&byte, 1).Text(items[i].name + shared);
    previous = items[i].name;
  }
  for (int32_t i = 0; i < count; ++i) Size(items[i].size);
  for (int32_t i = 0; i < count; ++i) {
    uint8_t tag[kRunTagBytes] = {};
    ok_ = ok_ && BytesFromHex(items[i].digest, kRunTagBytes, tag);
    Raw(tag, kRunTagBytes);
  }
  return Raw(digest, 20);
}

PatchListWriter& PatchListWriter::CompactHead(int32_t budget, const uint8_t* records, int32_t size,
                                              int32_t version) {
  size_t frameSize = 0;
  uint8_t* frame = EncodeWithReference(records, static_cast<size_t>(size), nullptr, 0,
                                       MaxReferenceLevel(), &frameSize);
  ok_ = ok_ && frame && frameSize <= INT32_MAX;
  Int(kGroupMark).Text(kCompactMarker).Int(version).Int(budget).Int(size);
  if (frame) Raw(frame, static_cast<int32_t>(frameSize));
  FreeBlock(frame);
  return *this;
}

}  // namespace zt4
