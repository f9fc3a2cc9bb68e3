// Writes the seed corpus of reference_codec_fuzz into the folder named on the command
// line: the reference length (2 bytes, little-endian; 0xFFFF for none), the reference and
// a frame made by EncodeWithReference: contents without a reference, with an empty one,
// equal to the reference, edited from it, empty, and one longer than the smallest window,
// at a fast and at the highest level. Each frame is decoded first: one that does not give
// its content back fails the program. Then a few a step from valid: the frame cut, a
// byte after it, and a frame given without the reference it was coded against.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/heap.h"
#include "codec/reference_codec.h"
#include "seed_corpus.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kNoReference = 0xFFFF;

int seedCount = 0;
bool failed = false;

// Text-like bytes that repeat with small differences, as files of an install do.
Bytes Sample(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = (x >> 24) % 7 == 0 ? static_cast<uint8_t>('a' + (x >> 16) % 26)
                                : static_cast<uint8_t>("record "[i % 7]);
  }
  return out;
}

Bytes Edited(Bytes content) {
  for (size_t i = 0; i < content.size(); i += 97) content[i] ^= 0x20;
  const auto middle = static_cast<std::ptrdiff_t>(content.size() / 2);
  content.insert(content.begin() + middle, 'X');
  return content;
}

void WriteInput(const std::filesystem::path& folder, uint16_t split, const Bytes& reference,
                const Bytes& frame) {
  Bytes input{static_cast<uint8_t>(split), static_cast<uint8_t>(split >> 8)};
  input.insert(input.end(), reference.begin(), reference.end());
  input.insert(input.end(), frame.begin(), frame.end());
  if (!zt4::fuzz::WriteSeedFile(folder, input.data(), input.size(), &seedCount)) failed = true;
}

// The frame of `content` against `reference` (null for none), checked to decode back.
Bytes Frame(const Bytes& content, const Bytes* reference, int level) {
  size_t frameSize = 0;
  uint8_t* frame = zt4::EncodeWithReference(content.data(), content.size(),
                                            reference ? reference->data() : nullptr,
                                            reference ? reference->size() : 0, level, &frameSize);
  if (frame == nullptr) {
    std::fprintf(stderr, "cannot code seed %d\n", seedCount);
    failed = true;
    return {};
  }
  Bytes out(frame, frame + frameSize);
  zt4::FreeBlock(frame);
  Bytes back(content.size() + 1);
  if (zt4::ReferenceFrameContentSize(out.data(), out.size()) !=
          static_cast<int64_t>(content.size()) ||
      !zt4::DecodeWithReference(out.data(), out.size(), reference ? reference->data() : nullptr,
                                reference ? reference->size() : 0, back.data(), content.size()) ||
      !std::equal(content.begin(), content.end(), back.begin())) {
    std::fprintf(stderr, "seed %d does not decode to its content\n", seedCount);
    failed = true;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path folder;
  if (int status = zt4::fuzz::OpenCorpusFolder(argc, argv, "reference_codec_seeds", &folder)) {
    return status;
  }
  const Bytes small = Sample(300, 1);
  const Bytes medium = Sample(4000, 2);
  const Bytes wide = Sample(3000, 3);  // its content reaches past a 4 KiB window
  Bytes wideContent = Edited(wide);
  wideContent.insert(wideContent.end(), wide.begin(), wide.end());
  const Bytes empty;
  const Bytes text = {'h', 'e', 'l', 'l', 'o', ' ', 'h', 'e', 'l',
                      'l', 'o', ' ', 'h', 'e', 'l', 'l', 'o', '\n'};

  for (int level : {1, zt4::MaxReferenceLevel()}) {
    WriteInput(folder, kNoReference, {}, Frame(text, nullptr, level));
    WriteInput(folder, kNoReference, {}, Frame(medium, nullptr, level));
    WriteInput(folder, 0, {}, Frame(text, &empty, level));
    WriteInput(folder, static_cast<uint16_t>(small.size()), small, Frame(small, &small, level));
    WriteInput(folder, static_cast<uint16_t>(small.size()), small,
               Frame(Edited(small), &small, level));
    WriteInput(folder, static_cast<uint16_t>(medium.size()), medium,
               Frame(Edited(medium), &medium, level));
    WriteInput(folder, static_cast<uint16_t>(small.size()), small, Frame(empty, &small, level));
    WriteInput(folder, static_cast<uint16_t>(wide.size()), wide, Frame(wideContent, &wide, level));
  }
  WriteInput(folder, kNoReference, {}, Frame(empty, nullptr, 1));

  const Bytes edited = Frame(Edited(small), &small, 3);
  const uint16_t split = static_cast<uint16_t>(small.size());
  WriteInput(folder, split, small, Bytes(edited.begin(), edited.end() - 1));
  Bytes longer = edited;
  longer.push_back(0);
  WriteInput(folder, split, small, longer);
  WriteInput(folder, kNoReference, {}, edited);
  Bytes other = small;  // another reference of the same size
  other[other.size() / 2] ^= 0x20;
  WriteInput(folder, split, other, edited);

  if (failed) {
    std::fprintf(stderr, "cannot write the seeds as meant\n");
    return 1;
  }
  std::printf("%d seeds written\n", seedCount);
  return 0;
}
