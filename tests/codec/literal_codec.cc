#include "codec/literal_codec.h"

namespace zt4test {
namespace {

struct LiteralModel {
  uint32_t freq[257];
  uint32_t cum[258];

  LiteralModel() {
    for (int i = 0; i < 257; ++i) freq[i] = 1;
    for (int i = 0; i < 258; ++i) cum[i] = static_cast<uint32_t>(i);
  }

  void Update(int s) {
    freq[s] += 1;
    for (int i = s + 1; i <= 257; ++i) cum[i] += 1;
    if (cum[257] >= 0x10000) {
      cum[0] = 0;
      for (int i = 0; i <= 256; ++i) {
        freq[i] = (freq[i] >> 1) | 1;
        cum[i + 1] = cum[i] + freq[i];
      }
    }
  }
};

}  // namespace

int32_t LiteralEncode(const uint8_t* src, int32_t srcLen, uint8_t* dst, int32_t dstCap) {
  LiteralModel m;
  uint32_t low = 0;
  uint32_t range = 0xFFFFFFFFu;
  int32_t in = 0;
  int32_t out = 0;
  for (;;) {
    uint32_t r = range / m.cum[257];
    int s = in < srcLen ? src[in++] : 256;
    low = low + m.cum[s] * r;
    range = m.freq[s] * r;
    m.Update(s);
    while ((low >> 24) == ((low + range) >> 24)) {
      if (out >= dstCap) return -1;
      dst[out++] = static_cast<uint8_t>(low >> 24);
      low <<= 8;
      range <<= 8;
    }
    while (range < 0x10000) {
      range = (0x10000 - (low & 0xFFFF)) << 8;
      if (out >= dstCap) return -1;
      dst[out++] = static_cast<uint8_t>(low >> 24);
      low <<= 8;
    }
    if (s == 256) break;
  }
  for (int i = 0; i < 4; ++i) {
    if (out >= dstCap) return -1;
    dst[out++] = static_cast<uint8_t>(low >> 24);
    low <<= 8;
  }
  return out;
}

int32_t LiteralDecode(const uint8_t* src, int32_t srcLen, uint8_t* dst, int32_t dstCap) {
  LiteralModel m;
  if (srcLen < 4) return -1;
  uint32_t code = (static_cast<uint32_t>(src[0]) << 24) | (static_cast<uint32_t>(src[1]) << 16) |
                  (static_cast<uint32_t>(src[2]) << 8) | src[3];
  int32_t in = 4;
  uint32_t low = 0;
  uint32_t range = 0xFFFFFFFFu;
  int32_t out = 0;
  for (;;) {
    uint32_t r = range / m.cum[257];
    uint32_t v = (code - low) / r;
    // Binary search for cum[s] <= v < cum[s+1]; the first probe is 128.
    int lo = 0;
    int hi = 257;
    while (hi - lo > 1) {
      int mid = (lo + hi) / 2;
      if (m.cum[mid] <= v) {
        lo = mid;
      } else {
        hi = mid;
      }
    }
    int s = lo;
    if (s == 256) return out;
    if (out >= dstCap) return -1;
    dst[out++] = static_cast<uint8_t>(s);
    low = low + m.cum[s] * r;
    range = m.freq[s] * r;
    m.Update(s);
    while ((low >> 24) == ((low + range) >> 24)) {
      if (in == srcLen) return -1;
      low <<= 8;
      range <<= 8;
      code = (code << 8) | src[in++];
    }
    while (range < 0x10000) {
      if (in == srcLen) return -1;
      code = (code << 8) | src[in++];
      range = (0x10000 - (low & 0xFFFF)) << 8;
      low <<= 8;
    }
  }
}

}  // namespace zt4test
