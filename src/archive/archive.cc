#include "archive/archive.h"

#include <cstring>
#include <new>

#include "base/bytes.h"
#include "base/heap.h"
#include "codec/crc32.h"
#include "codec/range_codec.h"

namespace zt4 {
namespace {

constexpr uint32_t kRecordFixedBytes = 16;
constexpr uint32_t kLargestCount = 0x7FFFFFFF;

}  // namespace

Archive::~Archive() { CloseStream(); }

void Archive::CloseStream() {
  if (stream) {
    stream->Close();
    delete stream;
    stream = nullptr;
  }
  streamSize = -1;
}

bool Archive::Open(const PoolString& path) {
  CloseStream();
  index.Clear();
  auto* file = new (std::nothrow) FileStream;
  if (!file) return false;
  if (!file->Open(path, ReadMode)) {
    delete file;
    return false;
  }
  return Open(file);
}

bool Archive::Open(Stream* source, IndexRecordSink sink, void* user) {
  CloseStream();
  index.Clear();
  stream = source;
  if (stream && ReadIndex(sink, user)) return true;
  CloseStream();
  index.Clear();
  return false;
}

bool Archive::ReadIndex(IndexRecordSink sink, void* user) {
  uint8_t raw[kArchiveHeaderSize];
  if (!stream->Seek(0, 0) || stream->Read(raw, kArchiveHeaderSize) != kArchiveHeaderSize) {
    return false;
  }
  ArchiveHeader header{GetU32(raw), GetU32(raw + 4), GetU32(raw + 8), GetU32(raw + 12)};
  // Offsets in the format are read as 31-bit counts: a larger file is not an archive.
  const int64_t signedSize = stream->Size();
  if (signedSize < 0 || signedSize > INT32_MAX) return false;
  streamSize = static_cast<int32_t>(signedSize);
  uint32_t fileSize = static_cast<uint32_t>(signedSize);
  if (header.magic != kArchiveMagic || header.indexOffset >= fileSize ||
      header.indexSize >= fileSize) {
    return false;
  }
  uint32_t n = fileSize - header.indexOffset;
  if (!stream->Seek(static_cast<int32_t>(header.indexOffset), 0)) return false;
  uint8_t* coded = AllocBlock(n);
  if (!coded) return false;
  bool ok = false;
  if (stream->Read(coded, static_cast<int32_t>(n)) == static_cast<int32_t>(n)) {
    RangeCodec codec;
    uint8_t* decoded = codec.DecompressAlloc(coded, static_cast<int32_t>(n),
                                             static_cast<int32_t>(header.indexSize));
    if (decoded) {
      ok = Crc32(decoded, header.indexSize, 0) == header.indexCrc &&
           ParseIndex(decoded, header.indexSize, sink, user);
      FreeBlock(decoded);
    }
  }
  FreeBlock(coded);
  return ok;
}

bool Archive::ParseIndex(const uint8_t* bytes, uint32_t n, IndexRecordSink sink, void* user) {
  if (n <= 4) return false;
  uint32_t count = GetU32(bytes);
  const uint8_t* at = bytes + 4;
  n -= 4;
  for (uint32_t i = 0; i < count; ++i) {
    const void* zero = std::memchr(at, 0, n);
    if (!zero) return false;
    uint32_t nameLength = static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - at);
    PoolString name(reinterpret_cast<const char*>(at), static_cast<int32_t>(nameLength));
    at += nameLength + 1;
    n -= nameLength + 1;
    if (n < kRecordFixedBytes) return false;
    ArchiveEntry entry;
    entry.storedSize = GetU32(at);
    entry.contentSize = GetU32(at + 4);
    entry.offset = GetU32(at + 8);
    entry.crc = GetU32(at + 12);
    at += kRecordFixedBytes;
    n -= kRecordFixedBytes;
    if (!index.Set(name, entry)) return false;
    if (sink && !sink(name, entry, user)) return false;
  }
  return n == 0 && count != 0;
}

const ArchiveEntry* Archive::Find(const PoolString& name) const {
  auto* node = index.Find(name);
  return node ? &node->payload : nullptr;
}

bool Archive::ReadStored(const ArchiveEntry& entry, uint8_t** outData) {
  *outData = nullptr;
  if (!stream || entry.storedSize > kLargestCount || entry.offset > kLargestCount) return false;
  // The checks of several threads read members of one archive: the stream's calls go
  // together.
  std::lock_guard<std::mutex> lock(streamLock);
  // A record that claims bytes beyond the end of the file is refused before anything is
  // allocated for it.
  int32_t fileSize = streamSize;
  if (fileSize < 0 || uint64_t{entry.offset} + entry.storedSize > static_cast<uint32_t>(fileSize)) {
    return false;
  }
  uint8_t* stored = AllocBlock(entry.storedSize);
  if (!stored) return false;
  // An empty member has nothing to read.
  if (entry.storedSize > 0 &&
      (!stream->Seek(static_cast<int32_t>(entry.offset), 0) ||
       stream->Read(stored, static_cast<int32_t>(entry.storedSize)) !=
           static_cast<int32_t>(entry.storedSize))) {
    FreeBlock(stored);
    return false;
  }
  *outData = stored;
  return true;
}

bool Archive::Extract(const PoolString& name, uint8_t** outData, int32_t* outSize) {
  *outData = nullptr;
  *outSize = 0;
  const ArchiveEntry* entry = Find(name);
  if (!entry || entry->contentSize > kLargestCount) return false;
  // A member of 0 bytes has no coded bytes at all: its content is the empty block.
  if (entry->contentSize == 0 && entry->storedSize == 0 && entry->crc == 0) {
    *outData = AllocBlock(0);
    return *outData != nullptr;
  }
  uint8_t* stored = nullptr;
  if (!ReadStored(*entry, &stored)) return false;
  RangeCodec codec;
  uint8_t* content = codec.DecompressAlloc(stored, static_cast<int32_t>(entry->storedSize),
                                           static_cast<int32_t>(entry->contentSize));
  FreeBlock(stored);
  if (!content) return false;
  if (Crc32(content, entry->contentSize, 0) != entry->crc) {
    FreeBlock(content);
    return false;
  }
  *outData = content;
  *outSize = static_cast<int32_t>(entry->contentSize);
  return true;
}

bool Archive::ExtractInPieces(const PoolString& name, PieceSink sink, void* user) {
  const ArchiveEntry* entry = Find(name);
  return entry && ExtractInPieces(*entry, sink, user);
}

namespace {

// One member's content going to its sink a piece at a time as it is decoded, its coded
// bytes read a piece at a time too. Decoded alone (Step) or beside another (Pair).
class MemberReading {
 public:
  MemberReading(Archive* archive, std::mutex* streamLock, Stream* stream, int64_t streamSize,
                const ArchiveEntry& entry, Archive::PieceSink sink, void* user)
      : entry_(entry),
        sink_(sink),
        user_(user),
        coded_{archive, streamLock, stream, entry.offset, entry.storedSize},
        decoder_(ReadCoded, &coded_) {
    if (entry.contentSize > kLargestCount) return;
    if (entry.contentSize == 0 && entry.storedSize == 0 && entry.crc == 0) {
      verdict_ = Verdict::kWhole;
      return;
    }
    if (!stream || entry.storedSize > kLargestCount || entry.offset > kLargestCount) return;
    if (streamSize < 0 || uint64_t{entry.offset} + entry.storedSize > static_cast<uint32_t>(streamSize)) {
      return;
    }
    // A small member takes a small piece: no block of the largest size for a few bytes.
    constexpr int32_t kLargestPiece = 1 << 18;
    pieceSize_ = entry.contentSize < static_cast<uint32_t>(kLargestPiece)
                     ? static_cast<int32_t>(entry.contentSize) + 1
                     : kLargestPiece;
    piece_.data = AllocBlock(static_cast<size_t>(pieceSize_));
    if (piece_.data) verdict_ = Verdict::kDecoding;
  }
  MemberReading(const MemberReading&) = delete;
  MemberReading& operator=(const MemberReading&) = delete;

  bool Decoding() const { return verdict_ == Verdict::kDecoding; }
  // What ExtractInPieces returns, once no longer decoding.
  bool Whole() const { return verdict_ == Verdict::kWhole; }

  // Decodes on alone up to `most` bytes (the rest of the piece without a bound).
  void Step(int32_t most = INT32_MAX) {
    const int32_t room = pieceSize_ - filled_ < most ? pieceSize_ - filled_ : most;
    Took(decoder_.Next(piece_.data + filled_, room));
  }

  // Decodes both while both can, then each alone for a few bytes where it needs that
  // (its next coded piece, its end): never more than a few bytes ahead of the other.
  static void Pair(MemberReading& a, MemberReading& b) {
    constexpr int32_t kAlone = 16;
    while (a.Decoding() && b.Decoding()) {
      int32_t countA = 0;
      int32_t countB = 0;
      RangeDecoder::NextTwo(a.decoder_, a.piece_.data + a.filled_, a.pieceSize_ - a.filled_,
                            &countA, b.decoder_, b.piece_.data + b.filled_,
                            b.pieceSize_ - b.filled_, &countB);
      a.Took(countA);
      b.Took(countB);
      if (countA == 0 && a.Decoding()) a.Step(kAlone);
      if (countB == 0 && b.Decoding()) b.Step(kAlone);
    }
    while (a.Decoding()) a.Step();
    while (b.Decoding()) b.Step();
  }

 private:
  enum class Verdict { kRefused, kDecoding, kWhole };

  // The coded bytes, read where the decoder asks for more; seek and read go together.
  struct Coded {
    Archive* archive;
    std::mutex* lock;
    Stream* stream;
    uint32_t offset;
    uint32_t left;
  };
  static int32_t ReadCoded(uint8_t* buffer, int32_t capacity, void* from) {
    Coded& c = *static_cast<Coded*>(from);
    int32_t n = c.left < static_cast<uint32_t>(capacity) ? static_cast<int32_t>(c.left) : capacity;
    if (n == 0) return 0;
    std::lock_guard<std::mutex> lock(*c.lock);
    if (!c.stream->Seek(static_cast<int32_t>(c.offset), 0) || c.stream->Read(buffer, n) != n) {
      return -1;
    }
    c.offset += static_cast<uint32_t>(n);
    c.left -= static_cast<uint32_t>(n);
    return n;
  }

  // Counts n bytes decoded into the piece; a full piece, or the last one, goes to the sink.
  void Took(int32_t n) {
    if (n < 0) {
      verdict_ = Verdict::kRefused;
      return;
    }
    filled_ += n;
    total_ += static_cast<uint32_t>(n);
    if (total_ > entry_.contentSize) {
      verdict_ = Verdict::kRefused;
      return;
    }
    const bool ended = decoder_.Ended();
    if (filled_ > 0 && (filled_ == pieceSize_ || ended)) {
      crc_ = Crc32(piece_.data, static_cast<size_t>(filled_), crc_);
      sink_(piece_.data, filled_, user_);
      filled_ = 0;
    }
    if (ended) {
      verdict_ = total_ == entry_.contentSize && crc_ == entry_.crc ? Verdict::kWhole
                                                                    : Verdict::kRefused;
    }
  }

  const ArchiveEntry& entry_;
  Archive::PieceSink sink_;
  void* user_;
  Coded coded_;
  RangeDecoder decoder_;
  ScopedBlock piece_;
  int32_t pieceSize_ = 0;
  int32_t filled_ = 0;
  uint64_t total_ = 0;
  uint32_t crc_ = 0;
  Verdict verdict_ = Verdict::kRefused;
};

}  // namespace

bool Archive::ExtractInPieces(const ArchiveEntry& entry, PieceSink sink, void* user) {
  MemberReading reading(this, &streamLock, stream, streamSize, entry, sink, user);
  while (reading.Decoding()) reading.Step();
  return reading.Whole();
}

void Archive::ExtractTwoInPieces(const PieceTarget& a, const PieceTarget& b, bool* okA,
                                 bool* okB) {
  MemberReading readingA(a.archive, &a.archive->streamLock, a.archive->stream,
                         a.archive->streamSize, *a.entry, a.sink, a.user);
  MemberReading readingB(b.archive, &b.archive->streamLock, b.archive->stream,
                         b.archive->streamSize, *b.entry, b.sink, b.user);
  MemberReading::Pair(readingA, readingB);
  *okA = readingA.Whole();
  *okB = readingB.Whole();
}

ArchiveWriter::~ArchiveWriter() { Finish(); }

bool ArchiveWriter::Create(const PoolString& path) {
  Close();
  if (file.Open(path, CreateMode)) out = &file;
  return Start();
}

bool ArchiveWriter::Create(Stream* stream) {
  Close();
  out = stream;
  return Start();
}

bool ArchiveWriter::Start() {
  static const uint8_t kPlaceholder[kArchiveHeaderSize] = {};
  if (out && out->Write(kPlaceholder, kArchiveHeaderSize)) return true;
  if (out && out->Tell() != 0) WriteIndex();
  Close();
  return false;
}

void ArchiveWriter::Close() {
  if (out == &file) file.Close();
  out = nullptr;
  index.Clear();
}

void ArchiveWriter::Abandon() { Close(); }

bool ArchiveWriter::Code(const uint8_t* data, uint32_t size, uint8_t** coded,
                         uint32_t* storedSize, uint32_t* crc) {
  *coded = nullptr;
  *storedSize = 0;
  *crc = 0;
  if (size > kLargestCount) return false;
  if (size == 0) return true;
  RangeCodec codec;
  int32_t stored = 0;
  *coded = codec.CompressAlloc(data, static_cast<int32_t>(size), &stored);
  if (!*coded) return false;
  *storedSize = static_cast<uint32_t>(stored);
  *crc = Crc32(data, size, 0);
  return true;
}

bool ArchiveWriter::Add(const uint8_t* data, uint32_t size, const PoolString& name) {
  if (name.Empty() || index.Find(name)) return false;
  uint8_t* coded = nullptr;
  uint32_t storedSize = 0;
  uint32_t crc = 0;
  bool ok = Code(data, size, &coded, &storedSize, &crc) &&
            Append(coded, ArchiveEntry{0, storedSize, size, crc}, name);
  FreeBlock(coded);
  return ok;
}

bool ArchiveWriter::AddCoded(const uint8_t* coded, uint32_t storedSize, uint32_t contentSize,
                             uint32_t crc, const PoolString& name) {
  if (name.Empty() || index.Find(name) || storedSize > kLargestCount) return false;
  return Append(coded, ArchiveEntry{0, storedSize, contentSize, crc}, name);
}

// Writes the coded bytes where the data written so far ends and records the member.
bool ArchiveWriter::Append(const uint8_t* coded, ArchiveEntry entry, const PoolString& name) {
  // A position that cannot be had would put a wrong offset into the index.
  const int64_t at = out ? out->Tell() : -1;
  if (at < 0 || at > UINT32_MAX) return false;
  entry.offset = static_cast<uint32_t>(at);
  if (entry.storedSize > 0 && !out->Write(coded, static_cast<int32_t>(entry.storedSize))) {
    return false;
  }
  return index.Set(name, entry);
}

namespace {

bool WriteRecord(const PoolString& name, ArchiveEntry& entry, void* user) {
  auto* stream = static_cast<MemoryStream*>(user);
  uint8_t fields[17];
  fields[0] = 0;
  PutU32(fields + 1, entry.storedSize);
  PutU32(fields + 5, entry.contentSize);
  PutU32(fields + 9, entry.offset);
  PutU32(fields + 13, entry.crc);
  return stream->Write(name.Text(), name.Length()) && stream->Write(fields, sizeof fields);
}

}  // namespace

bool ArchiveWriter::BuildIndex(uint8_t** outBlock, uint32_t* outSize) {
  *outBlock = nullptr;
  *outSize = 0;
  MemoryStream stream;
  if (!stream.CreateBlock(4096, false)) return false;
  uint8_t count[4];
  PutU32(count, index.EntryCount());
  bool ok = stream.Write(count, 4) && index.ForEachEntry(WriteRecord, &stream) == index.EntryCount();
  if (!ok) {
    FreeBlock(stream.Data());
    return false;
  }
  *outBlock = stream.Data();
  *outSize = static_cast<uint32_t>(stream.Size());
  return true;
}

bool ArchiveWriter::WriteIndex() {
  uint8_t* indexBlock = nullptr;
  uint32_t indexSize = 0;
  if (!BuildIndex(&indexBlock, &indexSize)) return false;
  const int64_t end = out->Seek(0, 2) ? out->Tell() : -1;
  bool ok = end >= 0 && end <= UINT32_MAX;
  ArchiveHeader header{kArchiveMagic, static_cast<uint32_t>(end), indexSize,
                       Crc32(indexBlock, indexSize, 0)};
  // The header goes over the placeholder last, so a torn write leaves no valid header.
  ok = ok && Add(indexBlock, indexSize, PoolString(kIndexMemberName)) && out->Seek(0, 0);
  if (ok) {
    uint8_t raw[kArchiveHeaderSize];
    PutU32(raw, header.magic);
    PutU32(raw + 4, header.indexOffset);
    PutU32(raw + 8, header.indexSize);
    PutU32(raw + 12, header.indexCrc);
    ok = out->Write(raw, kArchiveHeaderSize);
  }
  FreeBlock(indexBlock);
  return ok;
}

bool ArchiveWriter::Finish() {
  if (!out) return false;
  bool ok = out->Tell() > 0 && WriteIndex() && out->Flush();
  Close();
  return ok;
}

}  // namespace zt4
