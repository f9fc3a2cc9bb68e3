// CRC-32 of ISO-HDLC / IEEE 802.3 (the one of zip and gzip), over a whole
// buffer in memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt4 {

// seed is 0 to start, or an earlier result to continue over the next part.
// A null data pointer gives 0 whatever len and seed are.
uint32_t Crc32(const void* data, size_t len, uint32_t seed);

}  // namespace zt4
