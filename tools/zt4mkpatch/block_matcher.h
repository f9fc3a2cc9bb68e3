// Finds, in a new content, the stretches that old contents hold too, wherever they lie in
// them: moved, reordered, with bytes inserted or deleted around them. The old contents are
// indexed by a fingerprint of each block at a block boundary; the new content is hashed
// at every byte with a rolling hash of the same width, and each hit is checked byte for
// byte and grown both ways. The index has one slot per block, and the block widens with
// the old data so that the index never passes its ceiling: its memory is bounded whatever
// the size of the data. Old bytes are read through a Ranges reader, a piece at a time, so
// the old contents need not be held either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace zt4::builder {

// Hands out byte ranges of the old contents (numbered from 0) and of the new content
// (kNewContent). One reader serves one thread.
class Ranges {
 public:
  static constexpr int32_t kNewContent = -1;
  virtual ~Ranges() = default;
  // `length` bytes of `source` from `offset` on into `into`; false when they cannot be read.
  virtual bool Read(int32_t source, uint64_t offset, size_t length, uint8_t* into) = 0;
};

// Contents held in memory.
struct OldSpan {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
};
class SpanRanges final : public Ranges {
 public:
  SpanRanges(std::vector<OldSpan> old, OldSpan content)
      : old_(std::move(old)), content_(content) {}
  bool Read(int32_t source, uint64_t offset, size_t length, uint8_t* into) override;

 private:
  std::vector<OldSpan> old_;
  OldSpan content_;
};

// New bytes [newOffset, newOffset + length) equal old source `source`'s bytes from
// oldOffset on.
struct BlockMatch {
  uint64_t newOffset = 0;
  int32_t source = 0;
  uint64_t oldOffset = 0;
  uint64_t length = 0;

  bool operator==(const BlockMatch&) const = default;
};

class BlockMatcher {
 public:
  // Indexes the sources of these sizes, read through `ranges`, in at most `mostBlocks`
  // blocks of at least `leastBlock` bytes.
  BlockMatcher(std::vector<uint64_t> sourceSizes, Ranges& ranges,
               size_t mostBlocks = size_t{1} << 22, size_t leastBlock = 32);

  // False when the sources cannot be indexed: more of them, or a larger one, than a place
  // in the index names (2^24 sources, 2^40 bytes each), no room for a block, or a source
  // that could not be read.
  bool Ready() const { return ready_; }
  size_t BlockSize() const { return block_; }
  // What the index holds, in bytes.
  size_t IndexBytes() const { return slots_.size() * sizeof(Slot); }

  // The stretches of the new bytes [data, data + size), which lie at `newOffset` of the
  // new content, found in the sources: in new order, none overlapping another, each at
  // least a block long (or reaching an end of the bytes given) and equal byte for byte.
  // False when an old range cannot be read.
  bool Match(const uint8_t* data, uint64_t size, uint64_t newOffset, Ranges& ranges,
             std::vector<BlockMatch>* matches) const;

 private:
  struct Slot {
    uint64_t hash = 0;
    uint64_t place = kEmpty;  // source << kOffsetBits | offset of the block
  };
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  static constexpr int kOffsetBits = 40;

  uint64_t HashOf(const uint8_t* block) const;
  const Slot* Find(uint64_t hash) const;

  std::vector<uint64_t> sizes_;
  size_t block_ = 0;
  uint64_t outFactor_ = 1;  // the multiplier's power that leaves the window
  uint64_t laneFactor_ = 1;  // the multiplier to the power of kLanes
  std::vector<Slot> slots_;
  bool ready_ = false;
};

}  // namespace zt4::builder
