// The archive container: a 16-byte header, the coded bytes of every member back to back,
// and the coded index at the end. The writer's output is fully determined by the members
// added and their order, so a rebuilt archive can be checked by its digest.
//
//   offset  size  field
//   0       4     magic "TRV6"
//   4       4     indexOffset: where the coded index starts (it runs to the end of file)
//   8       4     indexSize: length of the index before coding
//   12      4     indexCrc: CRC-32 of the index before coding
//   16      ...   member data, in the order the members were added
//
// Index before coding: count (4), then per record: name bytes, 0, storedSize (4),
// contentSize (4), offset (4), crc (4). Records follow the name table's visiting order.
// All integers are unsigned 32-bit little-endian.
#pragma once

#include <cstdint>
#include <mutex>

#include "base/name_table.h"
#include "base/pool_string.h"
#include "base/stream.h"

namespace zt4 {

inline constexpr uint32_t kArchiveMagic = 0x36565254;  // "TRV6" read little-endian
inline constexpr int32_t kArchiveHeaderSize = 16;
inline constexpr char kIndexMemberName[] = "@HEADER@";

struct ArchiveHeader {
  uint32_t magic;
  uint32_t indexOffset;
  uint32_t indexSize;
  uint32_t indexCrc;
};

struct ArchiveEntry {
  uint32_t offset;
  uint32_t storedSize;
  uint32_t contentSize;
  uint32_t crc;
};

using ArchiveIndex = NameTable<ArchiveEntry>;

// Called for each record of an index in the order the file lists them, repeated names
// included (the name table keeps the later one); false stops the reading as a failure.
using IndexRecordSink = bool (*)(const PoolString& name, const ArchiveEntry& entry, void* user);

class Archive {
 public:
  Archive() = default;
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;
  virtual ~Archive();  // virtual: tests count destructions through a derived archive

  // Opens the archive file (a relative path is resolved against the program's folder);
  // whatever was open before is closed first. False leaves the archive closed.
  bool Open(const PoolString& path);
  // The same over any stream (a file, or bytes in memory), which the archive then owns
  // and deletes. An index that is refused leaves the archive closed, the stream deleted.
  // `sink`, when given, sees every record as the index is read.
  bool Open(Stream* stream, IndexRecordSink sink = nullptr, void* user = nullptr);
  // A new heap block with the member's whole content, checked by its CRC. On failure
  // *outData is null and *outSize 0.
  bool Extract(const PoolString& name, uint8_t** outData, int32_t* outSize);
  // The same content handed to `sink` a piece at a time as it is decoded, its coded bytes
  // read a piece at a time too, so that neither is ever held whole. True when the whole
  // content decoded with its size and CRC; after false, the pieces given are worth nothing.
  using PieceSink = void (*)(const uint8_t* data, int32_t size, void* user);
  bool ExtractInPieces(const PoolString& name, PieceSink sink, void* user);
  // The same for an entry of this archive's index, already found.
  bool ExtractInPieces(const ArchiveEntry& entry, PieceSink sink, void* user);
  // Two members (of one archive or two) extracted at once, decoded a symbol of each in
  // turn so that one core works on both; *okA and *okB are what ExtractInPieces gives.
  struct PieceTarget {
    Archive* archive;
    const ArchiveEntry* entry;
    PieceSink sink;
    void* user;
  };
  static void ExtractTwoInPieces(const PieceTarget& a, const PieceTarget& b, bool* okA,
                                 bool* okB);

  bool IsOpen() const { return stream != nullptr; }
  const ArchiveIndex& Index() const { return index; }
  // The entry of a member, or null.
  const ArchiveEntry* Find(const PoolString& name) const;
  // The member's coded bytes as stored, without decoding them.
  bool ReadStored(const ArchiveEntry& entry, uint8_t** outData);

 private:
  bool ReadIndex(IndexRecordSink sink, void* user);
  bool ParseIndex(const uint8_t* bytes, uint32_t n, IndexRecordSink sink, void* user);
  void CloseStream();

  ArchiveIndex index;
  Stream* stream = nullptr;
  int32_t streamSize = -1;  // as the index was read: members are refused beyond it
  std::mutex streamLock;  // the stream's position is shared by every reader
};

class ArchiveWriter {
 public:
  ArchiveWriter() = default;
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;
  // Finishes the archive if anything was written.
  ~ArchiveWriter();

  // Creates (or replaces) the file and writes the placeholder header.
  bool Create(const PoolString& path);
  // The same into a stream the caller owns (a MemoryStream, to hash or keep the bytes).
  bool Create(Stream* out);
  // Codes the content and appends it behind the members added so far.
  bool Add(const uint8_t* data, uint32_t size, const PoolString& name);
  // Codes a content as Add does, on any thread, for AddCoded: *coded (the caller frees
  // it; null for an empty content), its size and the content's CRC.
  static bool Code(const uint8_t* data, uint32_t size, uint8_t** coded, uint32_t* storedSize,
                   uint32_t* crc);
  // Appends a member whose coded bytes are already at hand (copied from another archive
  // written by this coder), with its content size and CRC as that archive records them.
  bool AddCoded(const uint8_t* coded, uint32_t storedSize, uint32_t contentSize, uint32_t crc,
                const PoolString& name);
  // Writes the index and the header and closes the file; true only if all of it was
  // written. The destructor does the same for a writer not finished before.
  bool Finish();
  // Leaves the archive as far as it was written, without an index or a valid header, and
  // closes the file: what a stopped rebuild leaves behind.
  void Abandon();

 private:
  bool Append(const uint8_t* coded, ArchiveEntry entry, const PoolString& name);
  bool BuildIndex(uint8_t** outBlock, uint32_t* outSize);
  bool WriteIndex();
  bool Start();
  void Close();

  ArchiveIndex index;
  FileStream file;
  Stream* out = nullptr;  // &file, or the caller's stream
};

}  // namespace zt4
