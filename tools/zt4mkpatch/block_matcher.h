// Finds, in a new content, the stretches that old contents hold too, wherever they lie in
// them: moved, reordered, with bytes inserted or deleted around them. The old contents are
// indexed by a fingerprint of each block at a block boundary; the new content is hashed
// at every byte with a rolling hash of the same width, and each hit is checked byte for
// byte and grown both ways. The index has one slot per block, and the block widens with
// the old data so that the index never passes its ceiling: its memory is bounded whatever
// the size of the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace zt4::builder {

struct OldSpan {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
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
  // Indexes the sources (which stay alive and unchanged while the matcher is used) in at
  // most `mostBlocks` blocks of at least `leastBlock` bytes.
  explicit BlockMatcher(std::vector<OldSpan> sources, size_t mostBlocks = size_t{1} << 22,
                        size_t leastBlock = 32);

  // False when the sources cannot be indexed: more of them, or a larger one, than a place
  // in the index names (2^24 sources, 2^40 bytes each), or no room for a block.
  bool Ready() const { return ready_; }
  size_t BlockSize() const { return block_; }
  // What the index holds, in bytes.
  size_t IndexBytes() const { return slots_.size() * sizeof(Slot); }

  // The stretches of the new content found in the sources, in new order, none
  // overlapping another, each at least a block long and equal byte for byte.
  std::vector<BlockMatch> Match(const uint8_t* data, uint64_t size) const;

 private:
  struct Slot {
    uint64_t hash = 0;
    uint64_t place = kEmpty;  // source << kOffsetBits | offset of the block
  };
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  static constexpr int kOffsetBits = 40;

  uint64_t HashOf(const uint8_t* block) const;
  const Slot* Find(uint64_t hash) const;

  std::vector<OldSpan> sources_;
  size_t block_ = 0;
  uint64_t outFactor_ = 1;  // the multiplier's power that leaves the window
  std::vector<Slot> slots_;
  bool ready_ = false;
};

}  // namespace zt4::builder
