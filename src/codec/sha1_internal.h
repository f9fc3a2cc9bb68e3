// The separate SHA-1 paths, so the tests can run each one whatever the
// processor would choose.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt4::sha1_internal {

void Sha1DigestPortable(const void* data, size_t len, uint8_t out[20]);

// The processor's SHA instructions; falls back to the portable path where
// they are missing.
bool HaveShaInstructions();
void Sha1DigestShaNi(const void* data, size_t len, uint8_t out[20]);

}  // namespace zt4::sha1_internal
