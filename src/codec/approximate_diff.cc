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

// The controls at the head of a stream, and what the runs and new bytes they name add up
// to; false when the stream cannot hold them.
struct Controls {
  const uint8_t* first = nullptr;
  uint64_t count = 0;
  uint64_t runBytes = 0;
  uint64_t newBytes = 0;
  size_t end = 0;  // where the sections after them begin

  bool Read(const uint8_t* stream, size_t size) {
    if (size < kDiffHeaderBytes) return false;
    count = U32(stream);
    if (count > (size - kDiffHeaderBytes) / kDiffControlBytes) return false;
    first = stream + kDiffHeaderBytes;
    for (uint64_t i = 0; i < count; ++i) {
      runBytes += Run(i);
      newBytes += Fresh(i);
    }
    end = kDiffHeaderBytes + static_cast<size_t>(count) * kDiffControlBytes;
    return true;
  }
  uint32_t Run(uint64_t i) const { return U32(first + i * kDiffControlBytes); }
  uint32_t Fresh(uint64_t i) const { return U32(first + i * kDiffControlBytes + 4); }
  int32_t Move(uint64_t i) const {
    return static_cast<int32_t>(U32(first + i * kDiffControlBytes + 8));
  }
};

// Each control's run made from the reference by `makeRun(from, to, length)`, then its new
// bytes copied from `added`; false when a run reaches outside the reference.
template <typename MakeRun>
bool ApplyControls(const Controls& controls, const uint8_t* added, const uint8_t* reference,
                   size_t referenceSize, uint8_t* out, size_t outSize, MakeRun makeRun) {
  int64_t position = 0;
  size_t written = 0;
  for (uint64_t i = 0; i < controls.count; ++i) {
    const uint32_t run = controls.Run(i);
    const uint32_t fresh = controls.Fresh(i);
    if (position < 0 || static_cast<uint64_t>(position) + run > referenceSize) return false;
    makeRun(reference + position, out + written, run);
    written += run;
    position += run;
    if (fresh > 0) std::memcpy(out + written, added, fresh);
    added += fresh;
    written += fresh;
    position += controls.Move(i);
  }
  return written == outSize;
}

}  // namespace

bool ApplySparseDiff(const uint8_t* sparse, size_t sparseSize, const uint8_t* reference,
                     size_t referenceSize, uint8_t* out, size_t outSize) {
  Controls controls;
  if (!controls.Read(sparse, sparseSize)) return false;
  const uint64_t runBytes = controls.runBytes;
  if (runBytes + controls.newBytes != outSize) return false;
  // The stretches are checked whole first, so that nothing is written from a stream out of
  // shape: where they end, the new bytes begin.
  const size_t sections = controls.end;
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
  if (sparseSize - at != controls.newBytes) return false;
  const uint8_t* added = sparse + at;
  // Every stretch but the last is followed by its byte, and every byte by a stretch.
  size_t cursor = sections;
  uint64_t zeros = 0;
  ReadStretch(sparse, sparseSize, &cursor, &zeros);
  return ApplyControls(controls, added, reference, referenceSize, out, outSize,
                       [&](const uint8_t* from, uint8_t* to, uint32_t run) {
                         for (uint32_t k = 0; k < run;) {
                           const auto same =
                               static_cast<uint32_t>(zeros < run - k ? zeros : run - k);
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
                       });
}

bool ApplyApproximateDiff(const uint8_t* stream, size_t streamSize, const uint8_t* reference,
                          size_t referenceSize, uint8_t* out, size_t outSize) {
  // The sections' sizes first, so that nothing is written from a stream cut short.
  Controls controls;
  if (!controls.Read(stream, streamSize)) return false;
  const uint64_t runBytes = controls.runBytes;
  const uint64_t newBytes = controls.newBytes;
  if (runBytes + newBytes != outSize || controls.end + runBytes + newBytes != streamSize) {
    return false;
  }
  const uint8_t* differences = stream + controls.end;
  const uint8_t* added = differences + runBytes;
  return ApplyControls(controls, added, reference, referenceSize, out, outSize,
                       [&](const uint8_t* from, uint8_t* to, uint32_t run) {
                         for (uint32_t k = 0; k < run; ++k) {
                           to[k] = static_cast<uint8_t>(from[k] + differences[k]);
                         }
                         differences += run;
                       });
}

}  // namespace zt4
