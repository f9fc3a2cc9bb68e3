// The two old contents the segment fuzz target decodes against, the same for the target
// and its seed program: 64 KiB of text-like lines and 32 KiB of pseudo-random bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace zt4::fuzz {

inline const std::string& SegmentSource(int index) {
  static const std::array<std::string, 2> sources = [] {
    std::string text;
    uint64_t state = 7;
    while (text.size() < (64u << 10)) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      text += "line " + std::to_string((state >> 33) % 500) + " of the old file\n";
    }
    text.resize(64u << 10);
    std::string random(32u << 10, '\0');
    for (char& c : random) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      c = static_cast<char>(state >> 33);
    }
    return std::array<std::string, 2>{text, random};
  }();
  return sources[static_cast<size_t>(index)];
}

}  // namespace zt4::fuzz
