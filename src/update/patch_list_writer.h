// Writes the update description's byte format (read back by ParsePatchList), record by
// record in file order: int32 little-endian, texts followed by their zero byte.
#pragma once

#include <cstdint>

#include "base/stream.h"
#include "update/patch_list.h"

namespace zt4 {

class PatchListWriter {
 public:
  PatchListWriter();
  PatchListWriter(const PatchListWriter&) = delete;
  PatchListWriter& operator=(const PatchListWriter&) = delete;

  // A plain record; a group's members are written the same way.
  PatchListWriter& Record(int32_t id, const char* oldName, int64_t oldSize, const char* oldDigest,
                          const char* newName, int64_t newSize, const char* newDigest);
  // A group: the archive's new name, size and digest, then its members, then the end.
  PatchListWriter& GroupBegin(const char* newName, int64_t newSize, const char* newDigest);
  PatchListWriter& GroupEnd();

  // A compact description: after each record (and member), how its content is made and
  // that many references.
  PatchListWriter& Content(ContentMethod method, int32_t referenceCount);
  PatchListWriter& Reference(const ContentReference& reference);
  // A digest run of contents unchanged (compact_format.h): members carried from `archive`,
  // or with an empty one plain files, each its own old file. Digests are 40 hexadecimal
  // digits.
  struct RunItem {
    const char* name;
    int64_t size;
    const char* digest;
  };
  PatchListWriter& Run(const char* archive, const RunItem* items, int32_t count);
  // The same with the run's digest given: the items' digests may be their tags alone.
  PatchListWriter& Run(const char* archive, const RunItem* items, int32_t count,
                       const uint8_t digest[20]);
  // The head of a compact description followed by the records (written by another
  // writer, whose Version() this is) in one zstd frame.
  PatchListWriter& CompactHead(int32_t budget, const uint8_t* records, int32_t size,
                               int32_t version = kCompactVersion);

  // The pieces, for descriptions made wrong on purpose.
  PatchListWriter& Int(int32_t value);
  // An int32, or past 2 GiB kWideSize and the int64 (a compact description's wide form).
  PatchListWriter& Size(int64_t value);
  PatchListWriter& Text(const char* text);  // with its zero byte
  PatchListWriter& Raw(const void* bytes, int32_t count);

  // False when memory ran out on the way (the bytes are then incomplete).
  bool Ok() const { return ok_; }
  // The least compact version that reads what was written: runs, sizes past 2 GiB.
  int32_t Version() const {
    return runs_ ? kRunCompactVersion : wideSizes_ ? kWideCompactVersion : kCompactVersion;
  }
  const uint8_t* Data() const { return bytes_.Data(); }
  int32_t Size() { return static_cast<int32_t>(bytes_.Size()); }  // a memory stream's size is 32-bit

 private:
  MemoryStream bytes_;
  bool ok_;
  bool wideSizes_ = false;
  bool runs_ = false;
};

}  // namespace zt4
