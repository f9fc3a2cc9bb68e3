// The separate CRC-32 paths, so the tests can run each one whatever the
// processor would choose. All take and return the same values as Crc32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt4::crc32_internal {

// Slicing-by-8 tables; runs everywhere.
uint32_t Crc32Portable(const void* data, size_t len, uint32_t seed);

// Carry-less multiply folding, 128-bit vectors (PCLMULQDQ + SSE4.1).
bool HaveClmul();
uint32_t Crc32Clmul(const void* data, size_t len, uint32_t seed);

// The same folding on 512-bit vectors (VPCLMULQDQ + AVX-512).
bool HaveWideClmul();
uint32_t Crc32WideClmul(const void* data, size_t len, uint32_t seed);

}  // namespace zt4::crc32_internal
