#include "codec/approximate_diff.h"

#include <cstring>

namespace zt4 {
namespace {

uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

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
