// Writes the seed corpus of archive_fuzz into the folder named on the command line:
// archives made by ArchiveWriter (in memory), each also
// cut short and with single bits flipped in its header, member data and index, and
// archives whose index was rewritten by hand: a repeated name, extra or missing bytes, a
// count of 0, records pointing past the end or stating wrong sizes.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "seed_corpus.h"
#include "archive/archive.h"
#include "base/bytes.h"
#include "base/heap.h"
#include "base/pool_string.h"
#include "base/stream.h"
#include "codec/crc32.h"
#include "codec/range_codec.h"
#include "driver/process_objects.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Members = std::vector<std::pair<std::string, std::string>>;

int seedCount = 0;
bool failed = false;
std::filesystem::path folder;

void Write(const Bytes& file) {
  if (!zt4::fuzz::WriteSeedFile(folder, file.data(), file.size(), &seedCount)) failed = true;
}

// What the writer makes of the members, added in this order.
Bytes Written(const Members& members) {
  zt4::MemoryStream bytes;
  zt4::ArchiveWriter writer;
  if (!bytes.CreateBlock(4096, true) || !writer.Create(&bytes)) failed = true;
  for (const auto& [name, content] : members) {
    writer.Add(reinterpret_cast<const uint8_t*>(content.data()),
               static_cast<uint32_t>(content.size()), zt4::PoolString(name.c_str()));
  }
  writer.Finish();
  return Bytes(bytes.Data(), bytes.Data() + bytes.Size());
}

Bytes Encode(const Bytes& in) {
  zt4::RangeCodec codec;
  int32_t n = 0;
  uint8_t* coded = codec.CompressAlloc(in.data(), static_cast<int32_t>(in.size()), &n);
  if (!coded) {
    failed = true;
    return {};
  }
  Bytes out(coded, coded + n);
  zt4::FreeBlock(coded);
  return out;
}

// The archive's index before coding (empty when it cannot be decoded).
Bytes IndexOf(const Bytes& file) {
  if (file.size() < 16) return {};
  uint32_t indexOffset = zt4::GetU32(file.data() + 4);
  uint32_t indexSize = zt4::GetU32(file.data() + 8);
  if (indexOffset >= file.size()) return {};
  zt4::RangeCodec codec;
  uint8_t* index = codec.DecompressAlloc(file.data() + indexOffset,
                                         static_cast<int32_t>(file.size() - indexOffset),
                                         static_cast<int32_t>(indexSize));
  if (!index) return {};
  Bytes out(index, index + indexSize);
  zt4::FreeBlock(index);
  return out;
}

// `file`'s header and member data with `index` coded in place of its own index.
Bytes WithIndex(const Bytes& file, const Bytes& index) {
  uint32_t indexOffset = zt4::GetU32(file.data() + 4);
  Bytes out(file.begin(), file.begin() + indexOffset);
  zt4::PutU32(out.data() + 8, static_cast<uint32_t>(index.size()));
  zt4::PutU32(out.data() + 12, zt4::Crc32(index.data(), index.size(), 0));
  Bytes coded = Encode(index);
  out.insert(out.end(), coded.begin(), coded.end());
  return out;
}

Bytes Record(const std::string& name, uint32_t stored, uint32_t content, uint32_t offset,
             uint32_t crc) {
  Bytes out(name.begin(), name.end());
  out.push_back(0);
  for (uint32_t value : {stored, content, offset, crc}) {
    uint8_t field[4];
    zt4::PutU32(field, value);
    out.insert(out.end(), field, field + 4);
  }
  return out;
}

void WriteVariants(const Bytes& file, std::mt19937& rng) {
  Write(file);
  if (file.size() < 24) return;
  Write(Bytes(file.begin(), file.end() - 1));
  Write(Bytes(file.begin(), file.begin() + static_cast<long>(file.size() / 2)));
  Write(Bytes(file.begin(), file.begin() + 16));
  uint32_t indexOffset = zt4::GetU32(file.data() + 4);
  // One flipped bit in the header, in the member data (when there is any), in the index.
  std::vector<size_t> spots = {rng() % 16, indexOffset + rng() % (file.size() - indexOffset)};
  if (indexOffset > 16) spots.push_back(16 + rng() % (indexOffset - 16));
  for (size_t spot : spots) {
    Bytes flipped = file;
    flipped[spot] ^= static_cast<uint8_t>(1u << (rng() % 8));
    Write(flipped);
  }
}

void WriteIndexVariants(const Bytes& file) {
  Bytes index = IndexOf(file);
  if (index.size() <= 4) return;
  uint32_t count = zt4::GetU32(index.data());
  Bytes extra = index;
  extra.push_back(0);
  Write(WithIndex(file, extra));
  Write(WithIndex(file, Bytes(index.begin(), index.end() - 1)));
  Bytes zeroCount = index;
  zt4::PutU32(zeroCount.data(), 0);
  Write(WithIndex(file, zeroCount));
  Bytes moreCount = index;
  zt4::PutU32(moreCount.data(), count + 1);
  Write(WithIndex(file, moreCount));

  // The first record repeated at the end with other values: the later one counts.
  size_t firstEnd = 4;
  while (firstEnd < index.size() && index[firstEnd] != 0) ++firstEnd;
  firstEnd += 17;
  if (firstEnd <= index.size()) {
    Bytes repeated = index;
    zt4::PutU32(repeated.data(), count + 1);
    repeated.insert(repeated.end(), index.begin() + 4, index.begin() + static_cast<long>(firstEnd));
    repeated[repeated.size() - 1] ^= 0x40;  // the repeated record's CRC is wrong
    Write(WithIndex(file, repeated));
  }

  // Records of a hand-made index over the same member data.
  uint32_t fileSize = static_cast<uint32_t>(file.size());
  std::vector<Bytes> records = {
      Record("/past-end", 64, 10, fileSize + 100, 0),
      Record("/huge", 0x7FFFFFF0, 0x7FFFFFF0, 16, 0),
      Record("/wrong-size", 7, 2, 16, 0x352441C2),
      Record("/empty", 0, 0, 16, 0),
      Record("/empty-with-crc", 0, 0, 16, 1),
      Record("", 7, 3, 16, 0x352441C2),
      Record("/overlaps-header", 16, 3, 0, 0),
  };
  Bytes handMade(4);
  zt4::PutU32(handMade.data(), static_cast<uint32_t>(records.size()));
  for (const Bytes& record : records) handMade.insert(handMade.end(), record.begin(), record.end());
  Write(WithIndex(file, handMade));
}

}  // namespace

int main(int argc, char** argv) {
  zt4::StartProcessObjects();
  if (int status = zt4::fuzz::OpenCorpusFolder(argc, argv, "archive_seeds", &folder)) return status;

  std::mt19937 rng(4242);
  std::string text;
  while (text.size() < 3000) text += "Each member is coded on its own, behind the one before.\n";
  std::string noise(1500, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  Members random;
  for (int i = 0; i < 12; ++i) {
    std::string name = "/r" + std::to_string(rng() % 1000);
    for (int j = static_cast<int>(rng() % 3); j > 0; --j) name += "/\x82\xA0" + std::to_string(j);
    std::string content(rng() % 200, '\0');
    for (char& c : content) c = static_cast<char>('a' + rng() % 4);
    random.emplace_back(name, content);
  }

  const std::vector<Members> archives = {
      {{"/a", "abc"}},
      {{"/b", "bbbb"}, {"/12", ""}, {"/a", "a"}, {"/30", "thirty"}},
      {{"/empty", ""}},
      {{"/text.txt", text},
       {"/bin/noise.bin", noise},
       {"/\x93\xFA\x96\x7B\x8C\xEA.txt", "\x82\xA0\x82\xA2"},
       {"/\x95\x5C/\x83\x5C", "trail bytes 0x5C"},
       {"/zero", ""}},
      random,
      {},
      {{"@HEADER@", "the index's own name"}},
  };
  for (const Members& members : archives) {
    Bytes file = Written(members);
    WriteVariants(file, rng);
    WriteIndexVariants(file);
  }
  if (failed) {
    std::fprintf(stderr, "cannot write the seeds\n");
    return 1;
  }
  std::printf("%d seeds written\n", seedCount);
  return 0;
}
