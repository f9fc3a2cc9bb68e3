#include "codec/crc32.h"

#include "codec/crc32_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#define ZT4_CRC_X86 1
#include <immintrin.h>
#else
#define ZT4_CRC_X86 0
#endif

// The register is kept bit-reflected (the first bit of the message is the
// lowest bit), as with the reflected polynomial 0xEDB88320.

namespace zt4 {
namespace {

constexpr uint32_t kReflectedPoly = 0xEDB88320u;
constexpr uint32_t kPoly = 0x04C11DB7u;

struct Tables {
  uint32_t t[8][256];
  constexpr Tables() : t() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kReflectedPoly : c >> 1;
      t[0][i] = c;
    }
    for (int s = 1; s < 8; ++s) {
      for (uint32_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
  }
};
constexpr Tables kTables;

inline uint32_t LoadLittle32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Slicing by 8: eight bytes per step through eight tables, then byte by byte.
uint32_t UpdateTable(uint32_t reg, const uint8_t* p, size_t n) {
  const auto& t = kTables.t;
  while (n >= 8) {
    const uint32_t a = LoadLittle32(p) ^ reg;
    const uint32_t b = LoadLittle32(p + 4);
    reg = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^
          t[3][b & 0xFF] ^ t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) reg = t[0][(reg ^ *p++) & 0xFF] ^ (reg >> 8);
  return reg;
}

#if ZT4_CRC_X86

// x^e mod P in the plain bit order (bit i is the coefficient of x^i).
constexpr uint32_t PowerModPoly(uint32_t e) {
  uint32_t v = 1;
  for (uint32_t i = 0; i < e; ++i) v = (v << 1) ^ ((v & 0x80000000u) ? kPoly : 0);
  return v;
}

constexpr uint32_t Reverse32(uint32_t v) {
  uint32_t r = 0;
  for (int i = 0; i < 32; ++i) r |= ((v >> i) & 1u) << (31 - i);
  return r;
}

// A 64-bit lane of reflected data holds the coefficients of x^63 .. x^0 in
// bits 0 .. 63; the carry-less product of two such lanes lands one bit short
// of the 128-bit alignment, and a constant written as bit j <-> x^(32-j)
// makes the product come out multiplied by x^32. Folding a 128-bit lane over
// d bits is then lo * K(d + 32) + hi * K(d - 32).
constexpr uint64_t FoldConstant(uint32_t e) {
  return static_cast<uint64_t>(Reverse32(PowerModPoly(e))) << 1;
}

struct FoldPair {
  uint64_t lo;  // multiplies the lower 64 bits (the earlier bytes)
  uint64_t hi;
};
constexpr FoldPair FoldBy(uint32_t bits) {
  return {FoldConstant(bits + 32), FoldConstant(bits - 32)};
}

constexpr FoldPair kFold128 = FoldBy(128);
constexpr FoldPair kFold512 = FoldBy(512);
constexpr FoldPair kFold2048 = FoldBy(2048);

#define ZT4_CLMUL_TARGET __attribute__((target("pclmul,sse2")))
#define ZT4_WIDE_TARGET __attribute__((target("pclmul,sse2,avx2,avx512f,avx512vl,vpclmulqdq")))

ZT4_CLMUL_TARGET inline __m128i Pair128(FoldPair k) {
  return _mm_set_epi64x(static_cast<long long>(k.hi), static_cast<long long>(k.lo));
}

ZT4_CLMUL_TARGET inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

ZT4_CLMUL_TARGET inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Goes on from four lanes holding the folded state of everything before p.
ZT4_CLMUL_TARGET uint32_t ClmulContinue(__m128i x0, __m128i x1, __m128i x2, __m128i x3,
                                        const uint8_t* p, size_t n) {
  const __m128i k512 = Pair128(kFold512);
  while (n >= 64) {
    x0 = _mm_xor_si128(Fold(x0, k512), Load(p));
    x1 = _mm_xor_si128(Fold(x1, k512), Load(p + 16));
    x2 = _mm_xor_si128(Fold(x2, k512), Load(p + 32));
    x3 = _mm_xor_si128(Fold(x3, k512), Load(p + 48));
    p += 64;
    n -= 64;
  }
  const __m128i k128 = Pair128(kFold128);
  __m128i x = _mm_xor_si128(Fold(x0, k128), x1);
  x = _mm_xor_si128(Fold(x, k128), x2);
  x = _mm_xor_si128(Fold(x, k128), x3);
  while (n >= 16) {
    x = _mm_xor_si128(Fold(x, k128), Load(p));
    p += 16;
    n -= 16;
  }
  // The remainder of the folded 128 bits is what the table gives for those
  // 16 bytes from a zero register.
  alignas(16) uint8_t last[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(last), x);
  return UpdateTable(UpdateTable(0, last, 16), p, n);
}

ZT4_CLMUL_TARGET uint32_t UpdateClmul(uint32_t reg, const uint8_t* p, size_t n) {
  if (n < 64) return UpdateTable(reg, p, n);
  const __m128i x0 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
  return ClmulContinue(x0, Load(p + 16), Load(p + 32), Load(p + 48), p + 64, n - 64);
}

ZT4_WIDE_TARGET inline __m512i Fold512(__m512i x, __m512i k) {
  return _mm512_xor_si512(_mm512_clmulepi64_epi128(x, k, 0x00),
                          _mm512_clmulepi64_epi128(x, k, 0x11));
}

ZT4_WIDE_TARGET inline __m512i Pair512(FoldPair k) {
  const long long lo = static_cast<long long>(k.lo);
  const long long hi = static_cast<long long>(k.hi);
  return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
}

ZT4_WIDE_TARGET inline __m512i Load512(const uint8_t* p) { return _mm512_loadu_si512(p); }

ZT4_WIDE_TARGET uint32_t UpdateWideClmul(uint32_t reg, const uint8_t* p, size_t n) {
  if (n < 512) return UpdateClmul(reg, p, n);
  // A 64-byte load that straddles two cache lines costs a fifth of the rate
  // from memory, so the bytes before the first line boundary go by table.
  const size_t head = (64 - (reinterpret_cast<uintptr_t>(p) & 63)) & 63;
  reg = UpdateTable(reg, p, head);
  p += head;
  n -= head;
  if (n < 512) return UpdateClmul(reg, p, n);
  const __m512i k2048 = Pair512(kFold2048);
  __m512i z0 = _mm512_xor_si512(
      Load512(p),
      _mm512_inserti32x4(_mm512_setzero_si512(), _mm_cvtsi32_si128(static_cast<int>(reg)), 0));
  __m512i z1 = Load512(p + 64);
  __m512i z2 = Load512(p + 128);
  __m512i z3 = Load512(p + 192);
  p += 256;
  n -= 256;
  while (n >= 256) {
    z0 = _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(z0, k2048, 0x00),
                                   _mm512_clmulepi64_epi128(z0, k2048, 0x11), Load512(p), 0x96);
    z1 =
        _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(z1, k2048, 0x00),
                                  _mm512_clmulepi64_epi128(z1, k2048, 0x11), Load512(p + 64), 0x96);
    z2 = _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(z2, k2048, 0x00),
                                   _mm512_clmulepi64_epi128(z2, k2048, 0x11), Load512(p + 128),
                                   0x96);
    z3 = _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(z3, k2048, 0x00),
                                   _mm512_clmulepi64_epi128(z3, k2048, 0x11), Load512(p + 192),
                                   0x96);
    p += 256;
    n -= 256;
  }
  // Four 512-bit accumulators 64 bytes apart become one.
  const __m512i k512 = Pair512(kFold512);
  z1 = _mm512_xor_si512(Fold512(z0, k512), z1);
  z2 = _mm512_xor_si512(Fold512(z1, k512), z2);
  z3 = _mm512_xor_si512(Fold512(z2, k512), z3);
  alignas(64) uint8_t lanes[64];
  _mm512_storeu_si512(lanes, z3);
  return ClmulContinue(Load(lanes), Load(lanes + 16), Load(lanes + 32), Load(lanes + 48), p, n);
}

struct CpuPaths {
  bool clmul;
  bool wide;
  CpuPaths() {
    __builtin_cpu_init();
    clmul = __builtin_cpu_supports("pclmul");
    wide = clmul && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("vpclmulqdq");
  }
};

const CpuPaths& Cpu() {
  static const CpuPaths paths;
  return paths;
}

#endif  // ZT4_CRC_X86

}  // namespace

namespace crc32_internal {

uint32_t Crc32Portable(const void* data, size_t len, uint32_t seed) {
  if (data == nullptr) return 0;
  return ~UpdateTable(~seed, static_cast<const uint8_t*>(data), len);
}

bool HaveClmul() {
#if ZT4_CRC_X86
  return Cpu().clmul;
#else
  return false;
#endif
}

bool HaveWideClmul() {
#if ZT4_CRC_X86
  return Cpu().wide;
#else
  return false;
#endif
}

uint32_t Crc32Clmul(const void* data, size_t len, uint32_t seed) {
#if ZT4_CRC_X86
  if (data != nullptr && HaveClmul())
    return ~UpdateClmul(~seed, static_cast<const uint8_t*>(data), len);
#endif
  return Crc32Portable(data, len, seed);
}

uint32_t Crc32WideClmul(const void* data, size_t len, uint32_t seed) {
#if ZT4_CRC_X86
  if (data != nullptr && HaveWideClmul()) {
    return ~UpdateWideClmul(~seed, static_cast<const uint8_t*>(data), len);
  }
#endif
  return Crc32Clmul(data, len, seed);
}

}  // namespace crc32_internal

uint32_t Crc32(const void* data, size_t len, uint32_t seed) {
  if (data == nullptr) return 0;
  const uint8_t* p = static_cast<const uint8_t*>(data);
#if ZT4_CRC_X86
  const CpuPaths& cpu = Cpu();
  if (cpu.wide) return ~UpdateWideClmul(~seed, p, len);
  if (cpu.clmul) return ~UpdateClmul(~seed, p, len);
#endif
  return ~UpdateTable(~seed, p, len);
}

}  // namespace zt4
