#include "codec/sha1.h"

#include <cstring>

#include "codec/sha1_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#define ZT4_SHA_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define ZT4_SHA_X86 0
#endif

namespace zt4 {
namespace {

using BlockFunction = void (*)(uint32_t h[5], const uint8_t* p, size_t blocks);

inline uint32_t Rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline uint32_t LoadBig32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// Portable compression, fully unrolled: the five working variables rotate
// through the macro arguments instead of being shuffled every round, and the
// schedule lives in a 16-word ring.
#define ZT4_SHA_W(t) \
  (w[(t)&15] = Rotl(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1))
#define ZT4_SHA_R0(a, b, c, d, e, t)                          \
  e += Rotl(a, 5) + (d ^ (b & (c ^ d))) + 0x5A827999u + w[t]; \
  b = Rotl(b, 30)
#define ZT4_SHA_R1(a, b, c, d, e, t)                                  \
  e += Rotl(a, 5) + (d ^ (b & (c ^ d))) + 0x5A827999u + ZT4_SHA_W(t); \
  b = Rotl(b, 30)
#define ZT4_SHA_R2(a, b, c, d, e, t)                          \
  e += Rotl(a, 5) + (b ^ c ^ d) + 0x6ED9EBA1u + ZT4_SHA_W(t); \
  b = Rotl(b, 30)
#define ZT4_SHA_R3(a, b, c, d, e, t)                                        \
  e += Rotl(a, 5) + ((b & c) | (d & (b | c))) + 0x8F1BBCDCu + ZT4_SHA_W(t); \
  b = Rotl(b, 30)
#define ZT4_SHA_R4(a, b, c, d, e, t)                          \
  e += Rotl(a, 5) + (b ^ c ^ d) + 0xCA62C1D6u + ZT4_SHA_W(t); \
  b = Rotl(b, 30)
#define ZT4_SHA_FIVE(R, t)   \
  R(a, b, c, d, e, (t));     \
  R(e, a, b, c, d, (t) + 1); \
  R(d, e, a, b, c, (t) + 2); \
  R(c, d, e, a, b, (t) + 3); \
  R(b, c, d, e, a, (t) + 4)

void BlocksPortable(uint32_t h[5], const uint8_t* p, size_t blocks) {
  for (; blocks > 0; --blocks, p += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBig32(p + 4 * i);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    ZT4_SHA_FIVE(ZT4_SHA_R0, 0);
    ZT4_SHA_FIVE(ZT4_SHA_R0, 5);
    ZT4_SHA_FIVE(ZT4_SHA_R0, 10);
    ZT4_SHA_R0(a, b, c, d, e, 15);
    ZT4_SHA_R1(e, a, b, c, d, 16);
    ZT4_SHA_R1(d, e, a, b, c, 17);
    ZT4_SHA_R1(c, d, e, a, b, 18);
    ZT4_SHA_R1(b, c, d, e, a, 19);
    ZT4_SHA_FIVE(ZT4_SHA_R2, 20);
    ZT4_SHA_FIVE(ZT4_SHA_R2, 25);
    ZT4_SHA_FIVE(ZT4_SHA_R2, 30);
    ZT4_SHA_FIVE(ZT4_SHA_R2, 35);
    ZT4_SHA_FIVE(ZT4_SHA_R3, 40);
    ZT4_SHA_FIVE(ZT4_SHA_R3, 45);
    ZT4_SHA_FIVE(ZT4_SHA_R3, 50);
    ZT4_SHA_FIVE(ZT4_SHA_R3, 55);
    ZT4_SHA_FIVE(ZT4_SHA_R4, 60);
    ZT4_SHA_FIVE(ZT4_SHA_R4, 65);
    ZT4_SHA_FIVE(ZT4_SHA_R4, 70);
    ZT4_SHA_FIVE(ZT4_SHA_R4, 75);
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
}

#undef ZT4_SHA_FIVE
#undef ZT4_SHA_R4
#undef ZT4_SHA_R3
#undef ZT4_SHA_R2
#undef ZT4_SHA_R1
#undef ZT4_SHA_R0
#undef ZT4_SHA_W

#if ZT4_SHA_X86

#define ZT4_SHANI_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Message words M[g] (four rounds' worth) rotate through m[g % 4]; group g
// of four rounds needs E derived from the state two groups back.
template <int G>
ZT4_SHANI_TARGET inline void ShaGroup(__m128i& abcd, __m128i& prev, __m128i (&m)[4], __m128i e0) {
  if constexpr (G >= 4) {
    m[G % 4] = _mm_sha1msg2_epu32(
        _mm_xor_si128(_mm_sha1msg1_epu32(m[G % 4], m[(G + 1) % 4]), m[(G + 2) % 4]),
        m[(G + 3) % 4]);
  }
  __m128i e;
  if constexpr (G == 0) {
    e = _mm_add_epi32(e0, m[0]);
  } else {
    e = _mm_sha1nexte_epu32(prev, m[G % 4]);
  }
  prev = abcd;
  abcd = _mm_sha1rnds4_epu32(abcd, e, G / 5);
}

template <int... G>
ZT4_SHANI_TARGET inline void ShaGroups(__m128i& abcd, __m128i& prev, __m128i (&m)[4], __m128i e0) {
  (ShaGroup<G>(abcd, prev, m, e0), ...);
}

ZT4_SHANI_TARGET void BlocksShaNi(uint32_t h[5], const uint8_t* p, size_t blocks) {
  // Whole 16-byte reversal: big-endian words, W0 in the top lane.
  const __m128i reverse = _mm_set_epi64x(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
  for (; blocks > 0; --blocks, p += 64) {
    const __m128i abcdSave = abcd;
    const __m128i eSave = e0;
    __m128i m[4];
    for (int i = 0; i < 4; ++i) {
      m[i] =
          _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), reverse);
    }
    __m128i prev = abcd;
    ShaGroups<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19>(abcd, prev, m,
                                                                                    e0);
    e0 = _mm_sha1nexte_epu32(prev, eSave);
    abcd = _mm_add_epi32(abcd, abcdSave);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_shuffle_epi32(abcd, 0x1B));
  h[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

// Asked of cpuid directly: not every compiler knows "sha" as a feature name.
bool CpuHasSha() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool ssse3 = (c >> 9) & 1;
  const bool sse41 = (c >> 19) & 1;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  const bool sha = (b >> 29) & 1;
  return ssse3 && sse41 && sha;
}

#endif  // ZT4_SHA_X86

bool HaveSha() {
#if ZT4_SHA_X86
  static const bool have = CpuHasSha();
  return have;
#else
  return false;
#endif
}

BlockFunction ShaNiOrPortable() {
#if ZT4_SHA_X86
  if (HaveSha()) return BlocksShaNi;
#endif
  return BlocksPortable;
}

void Digest(BlockFunction blocksFn, const void* data, size_t len, uint8_t out[20]) {
  Sha1 sha(blocksFn);
  sha.Update(data, len);
  sha.Finish(out);
}

}  // namespace

namespace sha1_internal {

void Sha1DigestPortable(const void* data, size_t len, uint8_t out[20]) {
  Digest(BlocksPortable, data, len, out);
}

bool HaveShaInstructions() { return HaveSha(); }

void Sha1DigestShaNi(const void* data, size_t len, uint8_t out[20]) {
  Digest(ShaNiOrPortable(), data, len, out);
}

}  // namespace sha1_internal

Sha1::Sha1() : Sha1(ShaNiOrPortable()) {}

Sha1::Sha1(void (*blocks)(uint32_t h[5], const uint8_t* p, size_t blocks)) : blocks_(blocks) {}

void Sha1::Update(const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (p == nullptr) return;
  length_ += len;
  if (buffered_ > 0) {
    size_t take = len < 64 - buffered_ ? len : 64 - buffered_;
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    len -= take;
    if (buffered_ < 64) return;
    blocks_(h_, buffer_, 1);
    buffered_ = 0;
  }
  const size_t whole = len / 64;
  blocks_(h_, p, whole);
  buffered_ = len % 64;
  if (buffered_ > 0) std::memcpy(buffer_, p + whole * 64, buffered_);
}

void Sha1::Finish(uint8_t out[20]) {
  uint8_t block[64] = {};
  std::memcpy(block, buffer_, buffered_);
  block[buffered_] = 0x80;
  if (buffered_ >= 56) {
    blocks_(h_, block, 1);
    std::memset(block, 0, sizeof block);
  }
  const uint64_t bits = length_ * 8;
  for (int i = 0; i < 8; ++i) block[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  blocks_(h_, block, 1);
  for (int i = 0; i < 5; ++i) {
    for (int k = 0; k < 4; ++k) out[4 * i + k] = static_cast<uint8_t>(h_[i] >> (24 - 8 * k));
  }
}

void Sha1::FinishHex(char out[41]) {
  uint8_t digest[20];
  Finish(digest);
  DigestHex(digest, out);
}

void HexDigits(const uint8_t* bytes, size_t count, char* out) {
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 15];
  }
  out[2 * count] = '\0';
}

void DigestHex(const uint8_t digest[20], char out[41]) { HexDigits(digest, 20, out); }

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool BytesFromHex(const char* hex, size_t count, uint8_t* out) {
  for (size_t i = 0; i < count; ++i) {
    const int high = HexValue(hex[2 * i]);
    const int low = high < 0 ? -1 : HexValue(hex[2 * i + 1]);
    if (low < 0) return false;
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

bool DigestFromHex(const char* hex, uint8_t out[20]) {
  return BytesFromHex(hex, 20, out) && hex[40] == 0;
}

void Sha1Digest(const void* data, size_t len, uint8_t out[20]) {
  Digest(ShaNiOrPortable(), data, len, out);
}

int Sha1Hex(const void* data, size_t len, char out[41]) {
  uint8_t digest[20];
  Sha1Digest(data, len, digest);
  DigestHex(digest, out);
  return 40;
}

}  // namespace zt4
