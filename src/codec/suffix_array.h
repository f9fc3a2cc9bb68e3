// The suffix array of a byte string, built in linear time by induced sorting: every
// suffix's start, in the order of the suffixes (a suffix that is a prefix of another sorts
// first). Four bytes per byte of the string, and about one bit per byte while it is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zt4 {

// Empty when the string is larger than an int32 indexes.
std::vector<int32_t> SuffixArray(const uint8_t* text, size_t size);

// The longest prefix of `key` that begins a suffix of `text` (through its suffix array):
// its length, and where it begins in `position`. Compares at most `keySize` bytes.
size_t LongestMatch(const uint8_t* text, size_t size, const std::vector<int32_t>& suffixes,
                    const uint8_t* key, size_t keySize, size_t* position);

}  // namespace zt4
