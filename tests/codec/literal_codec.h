// A plain, deliberately naive coder written line by line from the format's
// description: 32-bit tables, a linear update pass and a binary search. The
// tests, the fuzz target and the benchmarks compare the fast codec with it.
#pragma once

#include <cstdint>

namespace zt4test {

int32_t LiteralEncode(const uint8_t* src, int32_t srcLen, uint8_t* dst, int32_t dstCap);
int32_t LiteralDecode(const uint8_t* src, int32_t srcLen, uint8_t* dst, int32_t dstCap);

}  // namespace zt4test
