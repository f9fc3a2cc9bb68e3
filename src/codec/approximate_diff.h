// An approximate-match diff: the new content as runs that follow a stretch of a reference
// byte by byte (storing the byte differences, mostly zeros where code only moved) and runs
// of new bytes. Coded by zstd afterwards, it beats plain matching where small changes are
// sprinkled over long similar stretches, as in compiled code whose addresses shifted.
//
//   count (uint32), then `count` controls: run length, new bytes after it (uint32 each),
//   and the move of the reference position after them (int32); then every run's
//   differences, then every run's new bytes. Little-endian; the reference position
//   starts at 0 and advances with each run.
//
// In the sparse form the differences, mostly zeros with a few bytes between, are instead
// the length of each stretch of zeros (an unsigned LEB128 of at most 32 bits) followed by
// the byte other than zero after it; the last stretch reaches the end of the runs and has
// no byte after it. zstd codes the sparse form of a program's diff a sixth smaller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt4 {

// The count before the controls, and one control, in bytes.
inline constexpr size_t kDiffHeaderBytes = 4;
inline constexpr size_t kDiffControlBytes = 12;

// Writes exactly `outSize` bytes into `out`; false when the stream is not whole, does not
// make exactly that many bytes, or reaches outside the reference.
bool ApplyApproximateDiff(const uint8_t* stream, size_t streamSize, const uint8_t* reference,
                          size_t referenceSize, uint8_t* out, size_t outSize);

// The same from a stream of the sparse form.
bool ApplySparseDiff(const uint8_t* sparse, size_t sparseSize, const uint8_t* reference,
                     size_t referenceSize, uint8_t* out, size_t outSize);

}  // namespace zt4
