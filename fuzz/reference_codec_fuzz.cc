// DecodeWithReference on arbitrary frames and references: the payload reader of compact
// patches.
//
// Input: bytes 0..1 the reference length (uint16 little-endian; 0xFFFF for no reference
// at all, a length past the input takes what there is), then the reference, then the
// frame. Reference, frame and output are each an exactly sized heap block, so a
// sanitizer sees any access outside them. The output takes the content size the frame
// states (up to 1 MiB). A decode must give the same answer and the same bytes twice, leave
// the reference and the frame as they were, and refuse an output of any other size and a
// frame with anything after it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "codec/approximate_diff.h"
#include "codec/reference_codec.h"
#include "fuzz_check.h"

namespace {

using zt4::fuzz::Check;

constexpr uint16_t kNoReference = 0xFFFF;
constexpr int64_t kMaxContent = int64_t{1} << 20;

// A heap block of exactly n bytes (malloc(0) still gives one that nothing may touch).
struct Block {
  Block(const uint8_t* from, size_t n, uint8_t fill = 0) : size(n) {
    data = static_cast<uint8_t*>(std::malloc(n));
    if (data == nullptr && n == 0) data = static_cast<uint8_t*>(std::malloc(1));
    Check(data != nullptr, "out of memory");
    if (n == 0) return;
    if (from) {
      std::memcpy(data, from, n);
    } else {
      std::memset(data, fill, n);
    }
  }
  ~Block() { std::free(data); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  uint8_t* data;
  size_t size;
};

bool Decode(const Block& frame, const Block* reference, Block& out) {
  return zt4::DecodeWithReference(frame.data, frame.size, reference ? reference->data : nullptr,
                                  reference ? reference->size : 0, out.data, out.size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint16_t split = static_cast<uint16_t>(data[0] | data[1] << 8);
  const uint8_t* rest = data + 2;
  const size_t restSize = size - 2;
  const bool hasReference = split != kNoReference;
  const size_t referenceSize = hasReference ? (split < restSize ? split : restSize) : 0;

  Block referenceBlock(rest, referenceSize);
  const Block* reference = hasReference ? &referenceBlock : nullptr;
  Block frame(rest + referenceSize, restSize - referenceSize);

  // The frame's bytes read directly as an approximate-match diff: the decoder of kDiff
  // entries, reached without zstd having to accept the bytes first.
  if (frame.size >= zt4::kDiffHeaderBytes) {
    const uint64_t controls = frame.data[0] | frame.data[1] << 8 | frame.data[2] << 16 |
                              static_cast<uint64_t>(frame.data[3]) << 24;
    if (controls <= (frame.size - zt4::kDiffHeaderBytes) / zt4::kDiffControlBytes) {
      const size_t made =
          frame.size - zt4::kDiffHeaderBytes - static_cast<size_t>(controls) * zt4::kDiffControlBytes;
      Block direct(nullptr, made, 0x33);
      zt4::ApplyApproximateDiff(frame.data, frame.size, reference ? reference->data : nullptr,
                                referenceSize, direct.data, made);
      // And as a diff in the sparse form, of the content its controls add up to.
      uint64_t sparseMade = 0;
      for (uint64_t i = 0; i < controls; ++i) {
        const uint8_t* c = frame.data + zt4::kDiffHeaderBytes + i * zt4::kDiffControlBytes;
        sparseMade += static_cast<uint64_t>(c[0] | c[1] << 8 | c[2] << 16) +
                      (uint64_t{c[3]} << 24) +
                      static_cast<uint64_t>(c[4] | c[5] << 8 | c[6] << 16) + (uint64_t{c[7]} << 24);
      }
      if (sparseMade <= static_cast<uint64_t>(kMaxContent)) {
        Block sparse(nullptr, static_cast<size_t>(sparseMade), 0x44);
        zt4::ApplySparseDiff(frame.data, frame.size, reference ? reference->data : nullptr,
                             referenceSize, sparse.data, static_cast<size_t>(sparseMade));
      }
    }
  }

  const int64_t contentSize = zt4::ReferenceFrameContentSize(frame.data, frame.size);
  Check(contentSize >= -1, "content size below -1");
  if (contentSize < 0) {
    // Without a stated size there is nothing the output could match.
    Block none(nullptr, 0);
    Check(!Decode(frame, reference, none), "frame without a content size decoded");
    return 0;
  }
  if (contentSize > kMaxContent) return 0;

  const auto outSize = static_cast<size_t>(contentSize);
  Block first(nullptr, outSize, 0xA5);
  Block second(nullptr, outSize, 0x5A);
  const bool ok = Decode(frame, reference, first);
  Check(Decode(frame, reference, second) == ok, "second decode answers otherwise");
  if (ok && outSize > 0) {
    Check(std::memcmp(first.data, second.data, outSize) == 0, "second decode gives other bytes");
  }
  Check(referenceSize == 0 || std::memcmp(referenceBlock.data, rest, referenceSize) == 0,
        "reference written to");
  Check(frame.size == 0 || std::memcmp(frame.data, rest + referenceSize, frame.size) == 0,
        "frame written to");

  Block larger(nullptr, outSize + 1);
  Check(!Decode(frame, reference, larger), "output larger than the content accepted");
  if (outSize > 0) {
    Block smaller(nullptr, outSize - 1);
    Check(!Decode(frame, reference, smaller), "output smaller than the content accepted");
  }
  if (ok && outSize >= zt4::kDiffHeaderBytes) {
    // The decoded bytes read as the approximate-match diff of a kDiff entry, against the
    // same reference: whatever they hold, the diff stays within its blocks.
    const uint64_t controls = first.data[0] | first.data[1] << 8 | first.data[2] << 16 |
                              static_cast<uint64_t>(first.data[3]) << 24;
    if (controls <= (outSize - zt4::kDiffHeaderBytes) / zt4::kDiffControlBytes) {
      const size_t made =
          outSize - zt4::kDiffHeaderBytes - static_cast<size_t>(controls) * zt4::kDiffControlBytes;
      Block diffOut(nullptr, made, 0x11);
      Block again(nullptr, made, 0x22);
      const uint8_t* ref = reference ? reference->data : nullptr;
      bool applied = zt4::ApplyApproximateDiff(first.data, outSize, ref, referenceSize,
                                               diffOut.data, made);
      Check(zt4::ApplyApproximateDiff(first.data, outSize, ref, referenceSize, again.data, made) ==
                applied,
            "second diff answers otherwise");
      if (applied && made > 0) {
        Check(std::memcmp(diffOut.data, again.data, made) == 0, "second diff gives other bytes");
      }
    }
  }
  if (ok) {
    // A stray byte, and an empty skippable frame, which zstd itself would pass over.
    static const uint8_t kStray[] = {0};
    static const uint8_t kSkippable[] = {0x50, 0x2A, 0x4D, 0x18, 0, 0, 0, 0};
    for (const auto& [tail, tailSize] :
         {std::pair{kStray, sizeof kStray}, std::pair{kSkippable, sizeof kSkippable}}) {
      Block longer(nullptr, frame.size + tailSize);
      std::memcpy(longer.data, frame.data, frame.size);
      std::memcpy(longer.data + frame.size, tail, tailSize);
      Check(!Decode(longer, reference, first), "frame with bytes after it accepted");
    }
  }
  return 0;
}
