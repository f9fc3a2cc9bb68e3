#include "zt4mkpatch/block_matcher.h"

#include <algorithm>
#include <cstring>

namespace zt4::builder {
namespace {

// The rolling hash: the bytes of a window as the digits of a number in this odd base,
// modulo 2^64. A window moves one byte by taking off its first digit's share and adding
// the next byte.
constexpr uint64_t kBase = 0x100000001B3ull;
// A block is hashed as this many interleaved lanes, which the processor works on at once.
constexpr size_t kLanes = 4;

// Spreads a hash over the table's slots (the low bits of a polynomial hash of text are
// poor on their own).
uint64_t Spread(uint64_t hash) {
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDull;
  hash ^= hash >> 33;
  return hash;
}

// How many bytes from the start the two agree on.
size_t CommonPrefix(const uint8_t* a, const uint8_t* b, size_t n) {
  size_t i = 0;
  while (i + 64 <= n && std::memcmp(a + i, b + i, 64) == 0) i += 64;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// How many bytes before the ends the two agree on.
size_t CommonSuffix(const uint8_t* aEnd, const uint8_t* bEnd, size_t n) {
  size_t i = 0;
  while (i + 64 <= n && std::memcmp(aEnd - i - 64, bEnd - i - 64, 64) == 0) i += 64;
  while (i < n && aEnd[-1 - static_cast<ptrdiff_t>(i)] == bEnd[-1 - static_cast<ptrdiff_t>(i)]) ++i;
  return i;
}

// Old bytes are compared a piece of this size at a time.
constexpr size_t kComparePiece = size_t{64} << 10;
// The sources are indexed a piece of about this size at a time.
constexpr size_t kIndexPiece = size_t{4} << 20;

}  // namespace

bool SpanRanges::Read(int32_t source, uint64_t offset, size_t length, uint8_t* into) {
  if (source != kNewContent && (source < 0 || static_cast<size_t>(source) >= old_.size())) {
    return false;
  }
  const OldSpan& span = source == kNewContent ? content_ : old_[static_cast<size_t>(source)];
  if (offset > span.size || length > span.size - offset) return false;
  if (length > 0) std::memcpy(into, span.data + offset, length);
  return true;
}

BlockMatcher::BlockMatcher(std::vector<uint64_t> sourceSizes, Ranges& ranges, size_t mostBlocks,
                           size_t leastBlock)
    : sizes_(std::move(sourceSizes)) {
  uint64_t total = 0;
  for (uint64_t size : sizes_) {
    if (size >= (uint64_t{1} << kOffsetBits)) return;
    total += size;
  }
  if (mostBlocks == 0 || leastBlock == 0 || sizes_.size() >= (size_t{1} << (64 - kOffsetBits))) {
    return;
  }
  // The narrowest block that keeps the count of blocks under the ceiling, whole lanes.
  block_ = std::max(leastBlock, kLanes);
  block_ = (block_ + kLanes - 1) / kLanes * kLanes;
  while (total / block_ > mostBlocks) block_ *= 2;
  for (size_t i = 1; i < block_; ++i) outFactor_ *= kBase;
  for (size_t i = 0; i < kLanes; ++i) laneFactor_ *= kBase;

  size_t blocks = 0;
  for (uint64_t size : sizes_) blocks += static_cast<size_t>(size / block_);
  size_t capacity = 16;
  while (capacity < 2 * blocks) capacity *= 2;
  slots_.resize(capacity);
  const size_t piece = std::max<size_t>(1, kIndexPiece / block_) * block_;
  std::vector<uint8_t> bytes(piece);
  for (size_t s = 0; s < sizes_.size(); ++s) {
    const uint64_t usable = sizes_[s] / block_ * block_;
    for (uint64_t start = 0; start < usable; start += piece) {
      const size_t length = static_cast<size_t>(std::min<uint64_t>(piece, usable - start));
      if (!ranges.Read(static_cast<int32_t>(s), start, length, bytes.data())) return;
      for (size_t at = 0; at < length; at += block_) {
        const uint64_t hash = HashOf(bytes.data() + at);
        // Equal blocks (runs of zeros, repeated lines) keep the first: any of them will do.
        for (size_t i = Spread(hash) & (capacity - 1);; i = (i + 1) & (capacity - 1)) {
          if (slots_[i].place == kEmpty) {
            slots_[i] = {hash, uint64_t{s} << kOffsetBits | (start + at)};
            break;
          }
          if (slots_[i].hash == hash) break;
        }
      }
    }
  }
  ready_ = true;
}

uint64_t BlockMatcher::HashOf(const uint8_t* block) const {
  // The polynomial of the whole block, as kLanes interleaved ones in the base's kLanes-th
  // power, joined at the end.
  uint64_t lane[kLanes] = {};
  for (size_t i = 0; i < block_; i += kLanes) {
    for (size_t j = 0; j < kLanes; ++j) lane[j] = lane[j] * laneFactor_ + block[i + j];
  }
  uint64_t hash = 0;
  for (size_t j = 0; j < kLanes; ++j) hash = hash * kBase + lane[j];
  return hash;
}

const BlockMatcher::Slot* BlockMatcher::Find(uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t i = Spread(hash) & mask;; i = (i + 1) & mask) {
    if (slots_[i].place == kEmpty) return nullptr;
    if (slots_[i].hash == hash) return &slots_[i];
  }
}

bool BlockMatcher::Match(const uint8_t* data, uint64_t size, uint64_t newOffset, Ranges& ranges,
                         std::vector<BlockMatch>* matches) const {
  matches->clear();
  if (!ready_ || size < block_) return ready_;
  std::vector<uint8_t> old(std::max(kComparePiece, block_));
  uint64_t done = 0;  // the new bytes before this are matched or passed over
  uint64_t at = 0;
  uint64_t hash = HashOf(data);
  while (at + block_ <= size) {
    if (const Slot* slot = Find(hash)) {
      const auto source = static_cast<int32_t>(slot->place >> kOffsetBits);
      const uint64_t oldSize = sizes_[static_cast<size_t>(source)];
      const uint64_t oldAt = slot->place & ((uint64_t{1} << kOffsetBits) - 1);
      if (!ranges.Read(source, oldAt, block_, old.data())) return false;
      if (std::memcmp(data + at, old.data(), block_) == 0) {
        // Grown back over what no match took, and forward as far as both agree.
        uint64_t back = 0;
        for (;;) {
          const size_t want = static_cast<size_t>(
              std::min<uint64_t>({kComparePiece, at - back - done, oldAt - back}));
          if (want == 0) break;
          if (!ranges.Read(source, oldAt - back - want, want, old.data())) return false;
          const size_t same = CommonSuffix(data + at - back, old.data() + want, want);
          back += same;
          if (same < want) break;
        }
        uint64_t ahead = block_;
        for (;;) {
          const size_t want = static_cast<size_t>(
              std::min<uint64_t>({kComparePiece, size - at - ahead, oldSize - oldAt - ahead}));
          if (want == 0) break;
          if (!ranges.Read(source, oldAt + ahead, want, old.data())) return false;
          const size_t same = CommonPrefix(data + at + ahead, old.data(), want);
          ahead += same;
          if (same < want) break;
        }
        matches->push_back({newOffset + at - back, source, oldAt - back, back + ahead});
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
  return true;
}

}  // namespace zt4::builder
