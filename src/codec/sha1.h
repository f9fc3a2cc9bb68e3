// SHA-1 over a whole buffer in memory, as the digest text the update
// description states for every file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt4 {

// Writes the 40 lowercase hexadecimal digits and a NUL into out; returns 40.
int Sha1Hex(const void* data, size_t len, char out[41]);

// The same digest as 20 raw bytes.
void Sha1Digest(const void* data, size_t len, uint8_t out[20]);

}  // namespace zt4
