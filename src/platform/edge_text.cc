#include "platform/edge_text.h"

#include <cstdint>
#include <cstring>


namespace zt4 {
namespace {

constexpr size_t kFormLength = 5;  // the mark and four hex digits
constexpr char kDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The unit of the form at text[i] (a mark), or -1 when no whole form starts there.
int32_t FormAt(const char* text, size_t size, size_t i) {
  if (i + kFormLength > size) return -1;
  int32_t unit = 0;
  for (size_t k = 1; k < kFormLength; ++k) {
    int digit = HexValue(text[i + k]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// A byte that is not part of valid UTF-8 travels as this lone surrogate plus the byte.
constexpr uint32_t kStrayByteBase = 0xDC00;

// The units as CP932 bytes when they have a form that reads back as the same units; some
// characters map one way only (U+301C and U+FF5E both to 81 60), and only a text that
// reads back as itself names the same item. The length, or -1.
int ExactCp932(const char16_t* units, int count, char* out, int capacity) {
  if (count > kEdgeUnits) return -1;
  int n = UnitsToCp932Run(units, count, out, capacity);
  if (n < 0) return -1;
  char16_t back[kEdgeUnits];
  int backCount = Cp932RunToUnits(out, n, back, kEdgeUnits);
  bool same = backCount == count &&
              std::memcmp(back, units, static_cast<size_t>(count) * sizeof(char16_t)) == 0;
  return same ? n : -1;
}

}  // namespace

int EdgeToUnits(const char* text, char16_t* out, int capacity) {
  if (capacity <= 0) return -1;
  const size_t size = std::strlen(text);
  int written = 0;
  size_t runStart = 0;
  // The mark is never a trail byte, so a plain byte scan finds every form.
  for (size_t i = 0;; ++i) {
    bool atEnd = i == size;
    if (!atEnd && static_cast<uint8_t>(text[i]) != kForeignMark) continue;
    if (i > runStart) {
      int n = Cp932RunToUnits(text + runStart, static_cast<int>(i - runStart), out + written,
                              capacity - 1 - written);
      if (n < 0) return -1;
      written += n;
    }
    if (atEnd) break;
    int32_t unit = FormAt(text, size, i);
    if (unit < 0 || written + 1 >= capacity) return -1;
    out[written++] = static_cast<char16_t>(unit);
    i += kFormLength - 1;
    runStart = i + 1;
  }
  out[written] = 0;
  return written;
}

int EdgeFromUnits(const char16_t* units, int count, char* out, int capacity) {
  if (capacity <= 0 || count < 0) return -1;
  // Nearly every name converts whole; only one with a foreign character goes unit by unit.
  int whole = ExactCp932(units, count, out, capacity - 1);
  if (whole >= 0) {
    out[whole] = 0;
    return whole;
  }
  int written = 0;
  for (int i = 0; i < count; ++i) {
    char bytes[2];
    int n = ExactCp932(units + i, 1, bytes, sizeof bytes);
    if (n > 0) {
      if (written + n >= capacity) return -1;
      std::memcpy(out + written, bytes, static_cast<size_t>(n));
      written += n;
      continue;
    }
    if (written + static_cast<int>(kFormLength) >= capacity) return -1;
    uint32_t unit = units[i];
    out[written++] = static_cast<char>(kForeignMark);
    for (int shift = 12; shift >= 0; shift -= 4) out[written++] = kDigits[(unit >> shift) & 0xF];
  }
  out[written] = 0;
  return written;
}

int Utf8ToUnits(const char* text, char16_t* out, int capacity) {
  if (capacity <= 0) return -1;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  const size_t size = std::strlen(text);
  int written = 0;
  auto put = [&](uint32_t unit) {
    if (written + 1 >= capacity) return false;
    out[written++] = static_cast<char16_t>(unit);
    return true;
  };
  for (size_t i = 0; i < size;) {
    uint8_t lead = bytes[i];
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    uint32_t point = length == 1   ? lead
                     : length == 2 ? lead & 0x1F
                     : length == 3 ? lead & 0x0F
                                   : lead & 0x07;
    bool valid = length != 0 && i + length <= size;
    for (size_t k = 1; valid && k < length; ++k) {
      valid = (bytes[i + k] & 0xC0) == 0x80;
      point = (point << 6) | (bytes[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and points past Unicode are not UTF-8 either.
    if (valid && ((length == 3 && point < 0x800) || (length == 4 && point < 0x10000) ||
                  (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF)) {
      valid = false;
    }
    if (!valid) {
      if (!put(kStrayByteBase + lead)) return -1;
      ++i;
      continue;
    }
    if (point >= 0x10000) {
      point -= 0x10000;
      if (!put(0xD800 + (point >> 10)) || !put(0xDC00 + (point & 0x3FF))) return -1;
    } else if (!put(point)) {
      return -1;
    }
    i += length;
  }
  out[written] = 0;
  return written;
}

int UnitsToUtf8(const char16_t* units, int count, char* out, int capacity) {
  if (capacity <= 0 || count < 0) return -1;
  int written = 0;
  for (int i = 0; i < count; ++i) {
    uint32_t point = units[i];
    char encoded[4];
    int length;
    if (point >= kStrayByteBase + 0x80 && point <= kStrayByteBase + 0xFF) {
      encoded[0] = static_cast<char>(point - kStrayByteBase);
      length = 1;
    } else if (IsHighSurrogate(point) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
      point = 0x10000 + ((point - 0xD800) << 10) + (units[++i] - 0xDC00);
      encoded[0] = static_cast<char>(0xF0 | (point >> 18));
      encoded[1] = static_cast<char>(0x80 | ((point >> 12) & 0x3F));
      encoded[2] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      encoded[3] = static_cast<char>(0x80 | (point & 0x3F));
      length = 4;
    } else if (IsHighSurrogate(point) || IsLowSurrogate(point) || point == 0) {
      return -1;
    } else if (point < 0x80) {
      encoded[0] = static_cast<char>(point);
      length = 1;
    } else if (point < 0x800) {
      encoded[0] = static_cast<char>(0xC0 | (point >> 6));
      encoded[1] = static_cast<char>(0x80 | (point & 0x3F));
      length = 2;
    } else {
      encoded[0] = static_cast<char>(0xE0 | (point >> 12));
      encoded[1] = static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      encoded[2] = static_cast<char>(0x80 | (point & 0x3F));
      length = 3;
    }
    if (written + length >= capacity) return -1;
    std::memcpy(out + written, encoded, static_cast<size_t>(length));
    written += length;
  }
  out[written] = 0;
  return written;
}

}  // namespace zt4
