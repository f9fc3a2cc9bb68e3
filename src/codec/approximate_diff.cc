#include "codec/approximate_diff.h"

#include <cstring>

namespace zt4 {
namespace {

uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// An unsigned LEB128 of at most 32 bits at `*at`, which it passes; false when cut short
// or wider.
bool ReadStretch(const uint8_t* bytes, size_t size, size_t* at, uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 35; shift += 7) {
    if (*at >= size) return false;
    const uint8_t byte = bytes[(*at)++];
    *value |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return *value <= UINT32_MAX;
  }
  return false;
}

}  // namespace

bool ApplySparseDiff(const uint8_t* sparse, size_t sparseSize, const uint8_t* reference,
                     size_t referenceSize, uint8_t* out, size_t outSize) {
  constexpr size_t kControl = kDiffControlBytes;
  if (sparseSize < kDiffHeaderBytes) return false;
  const uint64_t count = U32(sparse);
  if (count > (sparseSize - kDiffHeaderBytes) / kControl) return false;
  const uint8_t* control = sparse + kDiffHeaderBytes;
  uint64_t runBytes = 0;
  uint64_t newBytes = 0;
  for (uint64_t i = 0; i < count; ++i) {
    runBytes += U32(control + i * kControl);
    newBytes += U32(control + i * kControl + 4);
  }
  if (runBytes + newBytes != outSize) return false;
  // The stretches are checked whole first, so that nothing is written from a stream out of
  // shape: where they end, the new bytes begin.
  const size_t sections = kDiffHeaderBytes + static_cast<size_t>(count) * kControl;
  size_t at = sections;
  for (uint64_t made = 0;;) {
    uint64_t zeros = 0;
    if (!ReadStretch(sparse, sparseSize, &at, &zeros) || zeros > runBytes - made) return false;
    made += zeros;
    if (made == runBytes) break;
    if (at >= sparseSize || sparse[at] == 0) return false;
    ++at;
    ++made;
  }
  if (sparseSize - at != newBytes) return false;
  const uint8_t* added = sparse + at;
  // Every stretch but the last is followed by its byte, and every byte by a stretch.
  size_t cursor = sections;
  uint64_t zeros = 0;
  ReadStretch(sparse, sparseSize, &cursor, &zeros);
  int64_t position = 0;
  size_t written = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t run = U32(control + i * kControl);
    const uint32_t fresh = U32(control + i * kControl + 4);
    const auto move = static_cast<int32_t>(U32(control + i * kControl + 8));
    if (position < 0 || static_cast<uint64_t>(position) + run > referenceSize) return false;
    const uint8_t* from = reference + position;
    uint8_t* to = out + written;
    for (uint32_t k = 0; k < run;) {
      const auto same = static_cast<uint32_t>(zeros < run - k ? zeros : run - k);
      if (same > 0) {
        std::memcpy(to + k, from + k, same);
        k += same;
        zeros -= same;
        continue;
      }
      to[k] = static_cast<uint8_t>(from[k] + sparse[cursor++]);
      ++k;
      ReadStretch(sparse, sparseSize, &cursor, &zeros);
    }
    written += run;
    position += run;
    if (fresh > 0) std::memcpy(out + written, added, fresh);
    added += fresh;
    written += fresh;
    position += move;
  }
  return written == outSize;
}

bool ApplyApproximateDiff(const uint8_t* stream, size_t streamSize, const uint8_t* reference,
                          size_t referenceSize, uint8_t* out, size_t outSize) {
  constexpr size_t kControl = kDiffControlBytes;
  if (streamSize < kDiffHeaderBytes) return false;
  const uint64_t count = U32(stream);
  if (count > (streamSize - kDiffHeaderBytes) / kControl) return false;
  const uint8_t* control = stream + kDiffHeaderBytes;
  // The sections' sizes first, so that nothing is written from a stream cut short.
  uint64_t runBytes = 0;
  uint64_t newBytes = 0;
  for (uint64_t i = 0; i < count; ++i) {
    runBytes += U32(control + i * kControl);
    newBytes += U32(control + i * kControl + 4);
  }
  const uint64_t sections = kDiffHeaderBytes + count * kControl;
  if (runBytes + newBytes != outSize || sections + runBytes + newBytes != streamSize) return false;
  const uint8_t* differences = stream + sections;
  const uint8_t* added = differences + runBytes;
  int64_t position = 0;
  size_t written = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t run = U32(control + i * kControl);
    const uint32_t fresh = U32(control + i * kControl + 4);
    const auto move = static_cast<int32_t>(U32(control + i * kControl + 8));
    if (position < 0 || static_cast<uint64_t>(position) + run > referenceSize) return false;
    for (uint32_t k = 0; k < run; ++k) {
      out[written + k] = static_cast<uint8_t>(reference[position + k] + differences[k]);
    }
    differences += run;
    written += run;
    position += run;
    if (fresh > 0) std::memcpy(out + written, added, fresh);
    added += fresh;
    written += fresh;
    position += move;
  }
  return written == outSize;
}

}  // namespace zt4
