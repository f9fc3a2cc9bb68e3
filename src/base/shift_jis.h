// Shift-JIS (CP932) character boundaries. A lead byte and the trail byte after it form
// one character, and a trail byte may be 0x5C ('\'): ソ is 83 5C. Code that looks for
// separators steps over whole characters. '/' (0x2F) is never a trail byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt4 {

inline bool IsLeadByte(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
inline bool IsTrailByte(uint8_t c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC); }
inline bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

// The length of the character at text[i] of a text of `size` bytes: 2 for a lead byte
// with a valid trail byte after it, else 1. A lead byte without a valid trail stands
// alone, so whatever follows it is judged on its own.
inline size_t CharLength(const char* text, size_t size, size_t i) {
  return i + 1 < size && IsLeadByte(static_cast<uint8_t>(text[i])) &&
                 IsTrailByte(static_cast<uint8_t>(text[i + 1]))
             ? 2
             : 1;
}

// The position of the last '/' or '\' that is a separator (not a trail byte), or -1.
inline int64_t LastSeparator(const char* text, size_t size) {
  int64_t last = -1;
  for (size_t i = 0; i < size; i += CharLength(text, size, i)) {
    if (IsPathSeparator(text[i])) last = static_cast<int64_t>(i);
  }
  return last;
}

}  // namespace zt4
