// Pieces of the range codec that the tests check on their own.
#pragma once

#include <cstdint>

#include "codec/range_codec.h"

namespace zt4::codec_internal {

// The model total is always in 257..65535 when a symbol is coded, so
// range / total can be computed as a multiply by c = ceil(2^64 / total).
// With c*total = 2^64 + e, 0 <= e < total, the product range*c/2^64 exceeds
// range/total by range*e/(total*2^64) < 1/total, which is too little to
// cross the next integer. c = floor((2^64 - 1) / total) + 1 equals the
// ceiling for every total > 1, powers of two included.
inline uint64_t Reciprocal(uint32_t total) { return UINT64_MAX / total + 1; }

inline uint32_t DivideByReciprocal(uint32_t range, uint64_t reciprocal) {
  return static_cast<uint32_t>((static_cast<unsigned __int128>(range) * reciprocal) >> 64);
}

// Whether this processor has the walk.
bool HaveWalk(RangeDecoder::Walk walk);

// RangeCodec::Decode with the walk chosen.
int32_t DecodeWhole(const uint8_t* src, int32_t srcLen, uint8_t* dst, int32_t dstCap,
                    RangeDecoder::Walk walk);

// RangeCodec::Decode of two strings at once through RangeDecoder::NextTwo: results[i]
// is what Decode gives for string i. The second decodes `headStart` bytes alone first, so
// that the two models are at different counts.
struct DecodeJob {
  const uint8_t* src;
  int32_t srcLen;
  uint8_t* dst;
  int32_t dstCap;
};
void DecodeTwoWhole(const DecodeJob& a, const DecodeJob& b, int32_t results[2],
                    int32_t headStart = 0);

}  // namespace zt4::codec_internal
