#include "zt4mkpatch/block_matcher.h"

#include <cstring>
#include <new>

namespace zt4::builder {
namespace {

// The rolling hash: the bytes of a window as the digits of a number in this odd base,
// modulo 2^64. A window moves one byte by taking off its first digit's share and adding
// the next byte.
constexpr uint64_t kBase = 0x100000001B3ull;

// Spreads a hash over the table's slots (the low bits of a polynomial hash of text are
// poor on their own).
uint64_t Spread(uint64_t hash) {
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDull;
  hash ^= hash >> 33;
  return hash;
}

}  // namespace

BlockMatcher::BlockMatcher(std::vector<OldSpan> sources, size_t mostBlocks, size_t leastBlock)
    : sources_(std::move(sources)) {
  uint64_t total = 0;
  for (const OldSpan& source : sources_) total += source.size;
  if (mostBlocks == 0 || leastBlock == 0 || sources_.size() >= (size_t{1} << (64 - kOffsetBits))) {
    return;
  }
  // The narrowest block that keeps the count of blocks under the ceiling.
  block_ = leastBlock;
  while (total / block_ > mostBlocks) block_ *= 2;
  for (size_t i = 1; i < block_; ++i) outFactor_ *= kBase;

  size_t blocks = 0;
  for (const OldSpan& source : sources_) blocks += static_cast<size_t>(source.size / block_);
  size_t capacity = 16;
  while (capacity < 2 * blocks) capacity *= 2;
  slots_.resize(capacity);
  for (size_t s = 0; s < sources_.size(); ++s) {
    const OldSpan& source = sources_[s];
    if (source.size >= (uint64_t{1} << kOffsetBits)) return;
    for (uint64_t at = 0; at + block_ <= source.size; at += block_) {
      const uint64_t hash = HashOf(source.data + at);
      // Equal blocks (runs of zeros, repeated lines) keep the first: any of them will do.
      for (size_t i = Spread(hash) & (capacity - 1);; i = (i + 1) & (capacity - 1)) {
        if (slots_[i].place == kEmpty) {
          slots_[i] = {hash, uint64_t{s} << kOffsetBits | at};
          break;
        }
        if (slots_[i].hash == hash) break;
      }
    }
  }
  ready_ = true;
}

uint64_t BlockMatcher::HashOf(const uint8_t* block) const {
  uint64_t hash = 0;
  for (size_t i = 0; i < block_; ++i) hash = hash * kBase + block[i];
  return hash;
}

const BlockMatcher::Slot* BlockMatcher::Find(uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t i = Spread(hash) & mask;; i = (i + 1) & mask) {
    if (slots_[i].place == kEmpty) return nullptr;
    if (slots_[i].hash == hash) return &slots_[i];
  }
}

std::vector<BlockMatch> BlockMatcher::Match(const uint8_t* data, uint64_t size) const {
  std::vector<BlockMatch> matches;
  if (!ready_ || size < block_) return matches;
  uint64_t done = 0;  // the new bytes before this are matched or passed over
  uint64_t at = 0;
  uint64_t hash = HashOf(data);
  while (at + block_ <= size) {
    const Slot* slot = Find(hash);
    if (slot) {
      const OldSpan& source = sources_[slot->place >> kOffsetBits];
      const uint64_t oldAt = slot->place & ((uint64_t{1} << kOffsetBits) - 1);
      if (std::memcmp(data + at, source.data + oldAt, block_) == 0) {
        // Grown back over what no match took, and forward as far as both agree.
        uint64_t back = 0;
        while (at - back > done && oldAt - back > 0 &&
               data[at - back - 1] == source.data[oldAt - back - 1]) {
          ++back;
        }
        uint64_t ahead = block_;
        while (at + ahead < size && oldAt + ahead < source.size &&
               data[at + ahead] == source.data[oldAt + ahead]) {
          ++ahead;
        }
        matches.push_back({at - back, static_cast<int32_t>(slot->place >> kOffsetBits),
                           oldAt - back, back + ahead});
        done = at + ahead;
        at = done;
        if (at + block_ > size) break;
        hash = HashOf(data + at);
        continue;
      }
    }
    if (at + block_ < size) hash = (hash - data[at] * outFactor_) * kBase + data[at + block_];
    ++at;
  }
  return matches;
}

}  // namespace zt4::builder
