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

int64_t ExpandSparseDiff(const uint8_t* sparse, size_t sparseSize, uint8_t* out) {
  if (sparseSize < kDiffHeaderBytes) return -1;
  const uint64_t count = U32(sparse);
  if (count > (sparseSize - kDiffHeaderBytes) / kDiffControlBytes) return -1;
  const size_t sections = kDiffHeaderBytes + static_cast<size_t>(count) * kDiffControlBytes;
  uint64_t runBytes = 0;
  for (uint64_t i = 0; i < count; ++i) runBytes += U32(sparse + kDiffHeaderBytes + i * kDiffControlBytes);
  if (out) std::memcpy(out, sparse, sections);
  // Stretches of zeros, each but the last followed by its byte, up to the runs' length.
  size_t at = sections;
  uint64_t made = 0;
  for (;;) {
    uint64_t zeros = 0;
    if (!ReadStretch(sparse, sparseSize, &at, &zeros) || zeros > runBytes - made) return -1;
    if (out) std::memset(out + sections + made, 0, static_cast<size_t>(zeros));
    made += zeros;
    if (made == runBytes) break;
    if (at >= sparseSize || sparse[at] == 0) return -1;
    if (out) out[sections + made] = sparse[at];
    ++at;
    ++made;
  }
  // The new bytes as they are.
  if (out) std::memcpy(out + sections + made, sparse + at, sparseSize - at);
  return static_cast<int64_t>(sections + runBytes + (sparseSize - at));
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
