// Writes the seed corpus of segment_fuzz into the folder named on the command line: the
// new size (4 bytes) and a payload in segments over the two fixed sources: valid ones
// (no segment, one without stretches, several with stretches of both sources, one whose
// stretches are its content without a frame) and ones a step from valid (cut anywhere, a
// stretch past its source, lengths that do not add up).
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/heap.h"
#include "codec/reference_codec.h"
#include "codec/segment_codec.h"
#include "seed_corpus.h"
#include "segment_sources.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Stretch {
  uint16_t source;
  uint64_t offset;
  uint32_t length;
};

void Put(Bytes* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A payload of these segments: each its content and its stretches.
Bytes Payload(const std::vector<std::pair<std::string, std::vector<Stretch>>>& segments,
              uint64_t statedSize) {
  Bytes out(zt4::kSegmentMark, zt4::kSegmentMark + sizeof zt4::kSegmentMark);
  Put(&out, statedSize, 8);
  Put(&out, segments.size(), 4);
  for (const auto& [content, stretches] : segments) {
    std::string reference;
    Put(&out, content.size(), 4);
    Put(&out, stretches.size(), 2);
    for (const Stretch& s : stretches) {
      Put(&out, s.source, 2);
      Put(&out, s.offset, 8);
      Put(&out, s.length, 4);
      reference += zt4::fuzz::SegmentSource(s.source).substr(s.offset, s.length);
    }
    size_t frameSize = 0;
    uint8_t* frame = zt4::EncodeWithReference(
        reinterpret_cast<const uint8_t*>(content.data()), content.size(),
        reference.empty() ? nullptr : reinterpret_cast<const uint8_t*>(reference.data()),
        reference.size(), 3, &frameSize);
    Put(&out, frameSize, 4);
    if (frame) out.insert(out.end(), frame, frame + frameSize);
    zt4::FreeBlock(frame);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path folder;
  if (int status = zt4::fuzz::OpenCorpusFolder(argc, argv, "segment_seeds", &folder)) return status;
  int count = 0;
  bool ok = true;
  auto write = [&](uint32_t newSize, const Bytes& payload) {
    Bytes input;
    Put(&input, newSize, 4);
    input.insert(input.end(), payload.begin(), payload.end());
    ok = zt4::fuzz::WriteSeedFile(folder, input.data(), input.size(), &count) && ok;
  };
  const std::string& text = zt4::fuzz::SegmentSource(0);
  const std::string& random = zt4::fuzz::SegmentSource(1);
  write(0, Payload({}, 0));
  write(5, Payload({{"fresh", {}}}, 5));
  const std::string first = text.substr(100, 3000) + "new words" + random.substr(50, 2000);
  const std::string second = random.substr(9000, 4000) + text.substr(60000, 5000);
  const Bytes two = Payload({{first, {{0, 100, 3000}, {1, 50, 2000}}},
                             {second, {{1, 9000, 4000}, {0, 60000, 5000}}}},
                            first.size() + second.size());
  const uint32_t twoSize = static_cast<uint32_t>(first.size() + second.size());
  write(twoSize, two);
  for (size_t cut = 1; cut < two.size(); cut += two.size() / 23 + 1) {
    write(twoSize, Bytes(two.begin(), two.end() - static_cast<std::ptrdiff_t>(cut)));
  }
  write(twoSize + 1, two);                                      // another size stated
  // A segment without a frame: its stretches are its content, and must add up to it.
  for (uint32_t stretchLength : {3000u, 2999u}) {
    Bytes frameless(zt4::kSegmentMark, zt4::kSegmentMark + sizeof zt4::kSegmentMark);
    Put(&frameless, 3000, 8);
    Put(&frameless, 1, 4);
    Put(&frameless, 3000, 4);
    Put(&frameless, 1, 2);
    Put(&frameless, 0, 2);
    Put(&frameless, 100, 8);
    Put(&frameless, stretchLength, 4);
    Put(&frameless, 0, 4);
    write(3000, frameless);
  }
  write(3000, Payload({{text.substr(0, 3000), {{0, 65000, 3000}}}}, 3000));  // past the source
  write(3000, Payload({{text.substr(0, 3000), {{2, 0, 3000}}}}, 3000));      // no such source
  if (!ok) {
    std::fprintf(stderr, "could not write every seed\n");
    return 1;
  }
  std::printf("%d seeds written\n", count);
  return 0;
}
