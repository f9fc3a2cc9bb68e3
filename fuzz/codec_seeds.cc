// Writes the seed corpus of codec_fuzz into the folder named on the command
// line: real coded streams (whole, cut short and with a tight capacity) and
// plain payloads for the round trip, each behind the three-byte header that
// codec_fuzz reads (flags, then a 16-bit capacity; flag 2 adds 65536).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "seed_corpus.h"
#include "codec/range_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

int seedCount = 0;
bool failed = false;

void Write(const std::filesystem::path& folder, uint8_t flags, uint32_t cap, const Bytes& payload) {
  if (cap >= 0x10000) {
    flags |= 2;
    cap -= 0x10000;
  }
  if (cap > 0xFFFF) cap = 0xFFFF;
  Bytes file = {flags, static_cast<uint8_t>(cap), static_cast<uint8_t>(cap >> 8)};
  file.insert(file.end(), payload.begin(), payload.end());
  if (!zt4::fuzz::WriteSeedFile(folder, file.data(), file.size(), &seedCount)) failed = true;
}

Bytes Encode(const Bytes& in) {
  zt4::RangeCodec codec;
  Bytes out(2 * in.size() + 1024);
  const int32_t n = codec.Encode(in.data(), static_cast<int32_t>(in.size()), out.data(),
                                 static_cast<int32_t>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path folder;
  if (int status = zt4::fuzz::OpenCorpusFolder(argc, argv, "codec_seeds", &folder)) return status;

  std::mt19937 rng(2024);
  std::vector<Bytes> inputs;
  inputs.push_back({});
  inputs.push_back({'a', 'b', 'c'});
  inputs.push_back(Bytes(1000, 0));
  inputs.push_back(Bytes(70000, 0xFF));  // passes the first rescale
  const std::string text =
      "An archive member is coded on its own; the model starts afresh for every string.\n";
  Bytes words;
  while (words.size() < 3000) words.insert(words.end(), text.begin(), text.end());
  inputs.push_back(words);
  Bytes noise(2000);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  inputs.push_back(noise);
  Bytes binary;
  while (binary.size() < 4000) {
    binary.insert(binary.end(), rng() % 24, 0);
    for (int i = rng() % 12; i > 0; --i) binary.push_back(static_cast<uint8_t>(rng() % 80));
  }
  inputs.push_back(binary);

  for (const Bytes& in : inputs) {
    const Bytes coded = Encode(in);
    const uint32_t n = static_cast<uint32_t>(in.size());
    Write(folder, 1, n, coded);                  // decodes exactly
    Write(folder, 1, n > 0 ? n - 1 : 0, coded);  // one byte short of room
    Write(folder, 1, n + 10,
          Bytes(coded.begin(), coded.end() - static_cast<long>(coded.size() / 3)));
    Bytes flipped = coded;
    flipped[rng() % flipped.size()] ^= 0x10;
    Write(folder, 1, n + 10, flipped);  // damaged
    if (in.size() <= 5000) {
      Write(folder, 0, static_cast<uint32_t>(coded.size()), in);      // round trip, exact room
      Write(folder, 0, static_cast<uint32_t>(coded.size()) - 1, in);  // round trip, one short
    }
  }
  if (failed) {
    std::fprintf(stderr, "cannot write the seeds\n");
    return 1;
  }
  std::printf("%d seeds written\n", seedCount);
  return 0;
}
