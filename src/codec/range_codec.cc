#include "codec/range_codec.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/range_codec_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__x86_64__) || defined(__i386__)
#define ZT4_VECTOR_WALKS 1
#include <cpuid.h>
#include <immintrin.h>
#define ZT4_TARGET_512 __attribute__((target("avx512f,avx512bw,popcnt,lzcnt,bmi,bmi2")))
#define ZT4_TARGET_256 __attribute__((target("avx2,popcnt,lzcnt,bmi,bmi2")))
#else
#define ZT4_VECTOR_WALKS 0
#endif

// The coded bytes are fixed by the archive format, but the way to reach them
// is free. Instead of a 32-bit cumulative table updated by a linear pass, the
// model keeps 16-bit counts in 16 blocks of 16 symbols: the cumulative count of
// symbol s is the start of its block plus its offset inside the block, so an
// update touches one block of offsets and the 16 block starts (two short
// vector adds each). Every cumulative count below the total stays under 65536;
// only the total itself is kept at 32 bits.

namespace zt4 {
namespace {

using codec_internal::DivideByReciprocal;
using codec_internal::Reciprocal;

constexpr uint32_t kTotalLimit = 0x10000;
constexpr uint32_t kEndSymbol = 256;

// kSuffix[k][i] is 1 for the lanes i >= k.
struct SuffixTable {
  alignas(32) uint16_t row[17][16];
  constexpr SuffixTable() : row() {
    for (int k = 0; k <= 16; ++k) {
      for (int i = 0; i < 16; ++i) row[k][i] = i >= k ? 1 : 0;
    }
  }
};
constexpr SuffixTable kSuffix;

struct alignas(64) Model {
  // off[b][j] = cum[16b + j] - cum[16b].
  alignas(32) uint16_t off[16][16];
  // starts[15 + b] = cum[16b] for b = 0..16 (starts[15] stays 0, starts[31]
  // is cum[256]); starts[16..31] is one 32-byte vector.
  alignas(32) uint16_t starts[32];
  uint16_t freq[257];
  uint32_t total;

  void Init() {
    for (int b = 0; b < 16; ++b) {
      for (int j = 0; j < 16; ++j) off[b][j] = static_cast<uint16_t>(j);
    }
    for (int i = 0; i < 32; ++i) starts[i] = static_cast<uint16_t>(i < 15 ? 0 : 16 * (i - 15));
    for (int i = 0; i < 257; ++i) freq[i] = 1;
    total = 257;
  }

  uint32_t Cum(uint32_t s) const { return starts[15 + (s >> 4)] + off[s >> 4][s & 15]; }
  uint32_t Freq(uint32_t s) const { return freq[s]; }

  // The update after a byte symbol (the end symbol is never followed by
  // another symbol, so its update is never needed).
  void Update(uint32_t s) {
    const uint32_t b = s >> 4;
    const uint32_t j = s & 15;
#if defined(__SSE2__)
    __m128i* o = reinterpret_cast<__m128i*>(off[b]);
    const __m128i* inc = reinterpret_cast<const __m128i*>(kSuffix.row[j + 1]);
    _mm_store_si128(o, _mm_add_epi16(_mm_load_si128(o), _mm_load_si128(inc)));
    _mm_store_si128(o + 1, _mm_add_epi16(_mm_load_si128(o + 1), _mm_load_si128(inc + 1)));
    __m128i* st = reinterpret_cast<__m128i*>(starts + 16);
    const __m128i* incb = reinterpret_cast<const __m128i*>(kSuffix.row[b]);
    _mm_store_si128(st, _mm_add_epi16(_mm_load_si128(st), _mm_load_si128(incb)));
    _mm_store_si128(st + 1, _mm_add_epi16(_mm_load_si128(st + 1), _mm_load_si128(incb + 1)));
#else
    for (int i = 0; i < 16; ++i) {
      off[b][i] = static_cast<uint16_t>(off[b][i] + kSuffix.row[j + 1][i]);
      starts[16 + i] = static_cast<uint16_t>(starts[16 + i] + kSuffix.row[b][i]);
    }
#endif
    freq[s] = static_cast<uint16_t>(freq[s] + 1);
    if (++total == kTotalLimit) Rescale();
  }

  void Rescale() {
    uint32_t cum = 0;
    for (uint32_t i = 0; i < 256; ++i) {
      if ((i & 15) == 0) starts[15 + (i >> 4)] = static_cast<uint16_t>(cum);
      off[i >> 4][i & 15] = static_cast<uint16_t>(cum - starts[15 + (i >> 4)]);
      const uint32_t f = (static_cast<uint32_t>(freq[i]) >> 1) | 1;
      freq[i] = static_cast<uint16_t>(f);
      cum += f;
    }
    starts[31] = static_cast<uint16_t>(cum);
    const uint32_t f = (static_cast<uint32_t>(freq[256]) >> 1) | 1;
    freq[256] = static_cast<uint16_t>(f);
    total = cum + f;
  }

  // The number of entries of the 16 at p that are <= v (all of them are
  // increasing, so they form a prefix).
  static uint32_t CountNotAbove(const uint16_t* p, uint32_t v) {
#if defined(__SSE2__)
    const __m128i vv = _mm_set1_epi16(static_cast<short>(v));
    const __m128i zero = _mm_setzero_si128();
    const __m128i* q = reinterpret_cast<const __m128i*>(p);
    const __m128i lo = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_load_si128(q), vv), zero);
    const __m128i hi = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_load_si128(q + 1), vv), zero);
    const uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(lo, hi)));
    return static_cast<uint32_t>(__builtin_ctz(~mask));
#else
    uint32_t n = 0;
    for (int i = 0; i < 16; ++i) n += p[i] <= v;
    return n;
#endif
  }

  // The symbol s with cum[s] <= v < cum[s+1], or the end symbol for every v
  // at or above cum[256], including values at or above the total.
  uint32_t Find(uint32_t v) const {
    // Every cum[1..256] is below 65536, so clamping keeps each comparison.
    const uint32_t vc = v < 0xFFFF ? v : 0xFFFF;
    const uint32_t b = CountNotAbove(starts + 16, vc);
    if (b == 16) return kEndSymbol;
    return 16 * b + CountNotAbove(off[b], vc - starts[15 + b]) - 1;
  }
};

#if ZT4_VECTOR_WALKS

struct LaneTable {
  alignas(64) uint16_t index[256];
  constexpr LaneTable() : index() {
    for (int i = 0; i < 256; ++i) index[i] = static_cast<uint16_t>(i);
  }
};
constexpr LaneTable kLanes;

// With 256- or 512-bit vectors the decoder keeps every cumulative count whole:
// one compare of the value against all 256 and a population count give the
// symbol, where the blocks above take two searches, the second waiting on the
// first. The encoder, which never searches, keeps the blocks.
struct alignas(64) WholeCounts {
  alignas(64) uint16_t cum[256];  // cum[s] for s = 0..255; cum[0] stays 0
  uint16_t freq[257];
  uint32_t end;  // cum[256]
  uint32_t total;

  void Init() {
    for (int i = 0; i < 256; ++i) cum[i] = static_cast<uint16_t>(i);
    for (int i = 0; i < 257; ++i) freq[i] = 1;
    end = 256;
    total = 257;
  }

  uint32_t Cum(uint32_t s) const { return cum[s]; }
  uint32_t Freq(uint32_t s) const { return freq[s]; }

  // The rest of an update, once cum[s+1..255] have their 1 added.
  void Counted(uint32_t s) {
    freq[s] = static_cast<uint16_t>(freq[s] + 1);
    ++end;
    if (++total == kTotalLimit) Rescale();
  }

  void Rescale() {
    uint32_t c = 0;
    for (uint32_t i = 0; i < 256; ++i) {
      cum[i] = static_cast<uint16_t>(c);
      freq[i] = static_cast<uint16_t>((static_cast<uint32_t>(freq[i]) >> 1) | 1);
      c += freq[i];
    }
    end = c;
    freq[256] = static_cast<uint16_t>((static_cast<uint32_t>(freq[256]) >> 1) | 1);
    total = c + freq[256];
  }

  // The symbol, given how many of cum[0..255] are not above the clamped value vc.
  uint32_t Symbol(uint32_t notAbove, uint32_t vc) const {
    // cum[0] = 0, so at least one count is not above the value.
    const uint32_t s = notAbove - 1;
    return s == 255 && vc >= end ? kEndSymbol : s;
  }

  // Every cum[1..256] is below 65536, so clamping keeps each comparison.
  static uint32_t Clamp(uint32_t v) { return v < 0xFFFF ? v : 0xFFFF; }
};

struct Counts512 : WholeCounts {
  ZT4_TARGET_512 void Update(uint32_t s) {
    const __m512i symbol = _mm512_set1_epi16(static_cast<short>(s));
    const __m512i one = _mm512_set1_epi16(1);
#pragma GCC unroll 8
    for (int i = 0; i < 256; i += 32) {
      const __mmask32 above = _mm512_cmpgt_epu16_mask(_mm512_load_si512(kLanes.index + i), symbol);
      const __m512i c = _mm512_load_si512(cum + i);
      _mm512_store_si512(cum + i, _mm512_mask_add_epi16(c, above, c, one));
    }
    Counted(s);
  }

  // As Model::Find.
  ZT4_TARGET_512 uint32_t Find(uint32_t v) const {
    const uint32_t vc = Clamp(v);
    const __m512i value = _mm512_set1_epi16(static_cast<short>(vc));
    uint32_t counts[4];
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      const __m512i lo = _mm512_load_si512(cum + 64 * i);
      const __m512i hi = _mm512_load_si512(cum + 64 * i + 32);
      const __mmask64 notAboveMask = _mm512_kunpackd(_mm512_cmple_epu16_mask(hi, value),
                                                     _mm512_cmple_epu16_mask(lo, value));
      counts[i] = static_cast<uint32_t>(__builtin_popcountll(_cvtmask64_u64(notAboveMask)));
    }
    return Symbol((counts[0] + counts[1]) + (counts[2] + counts[3]), vc);
  }
};

struct Counts256 : WholeCounts {
  ZT4_TARGET_256 void Update(uint32_t s) {
    // Lane indices and s are below 32768, so the signed compare serves; its -1
    // lanes are the ones to add 1 to.
    const __m256i symbol = _mm256_set1_epi16(static_cast<short>(s));
#pragma GCC unroll 16
    for (int i = 0; i < 256; i += 16) {
      const __m256i above = _mm256_cmpgt_epi16(
          _mm256_load_si256(reinterpret_cast<const __m256i*>(kLanes.index + i)), symbol);
      __m256i* c = reinterpret_cast<__m256i*>(cum + i);
      _mm256_store_si256(c, _mm256_sub_epi16(_mm256_load_si256(c), above));
    }
    Counted(s);
  }

  // As Model::Find. c <= v is min(c, v) == c, as the compares are signed.
  ZT4_TARGET_256 uint32_t Find(uint32_t v) const {
    const uint32_t vc = Clamp(v);
    const __m256i value = _mm256_set1_epi16(static_cast<short>(vc));
    uint32_t counts[8];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
      const __m256i lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(cum + 32 * i));
      const __m256i hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(cum + 32 * i + 16));
      // The pack mixes the halves' order, which the count does not see.
      const __m256i notAbove = _mm256_packs_epi16(_mm256_cmpeq_epi16(_mm256_min_epu16(lo, value), lo),
                                                  _mm256_cmpeq_epi16(_mm256_min_epu16(hi, value), hi));
      counts[i] = static_cast<uint32_t>(
          __builtin_popcount(static_cast<uint32_t>(_mm256_movemask_epi8(notAbove))));
    }
    return Symbol(((counts[0] + counts[1]) + (counts[2] + counts[3])) +
                      ((counts[4] + counts[5]) + (counts[6] + counts[7])),
                  vc);
  }
};

// Not every compiler's __builtin_cpu_supports knows "lzcnt": CPUID leaf
// 0x80000001 tells it in bit 5 of ECX.
bool HaveLzcnt() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(0x80000001u, &a, &b, &c, &d) != 0 && (c & (1u << 5)) != 0;
}

bool HaveBitInstructions() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2") && HaveLzcnt();
}

bool Have512() {
  static const bool have = HaveBitInstructions() && __builtin_cpu_supports("avx512f") &&
                           __builtin_cpu_supports("avx512bw");
  return have;
}

bool Have256() {
  static const bool have = HaveBitInstructions() && __builtin_cpu_supports("avx2");
  return have;
}

#endif  // ZT4_VECTOR_WALKS

// range / total by a multiply for every total the model can reach, so that
// no symbol waits on a 64-bit division: filled once, on first use.
const uint64_t* Reciprocals() {
  static const struct Table {
    uint64_t of[kTotalLimit];
    Table() : of() {
      for (uint32_t t = 1; t < kTotalLimit; ++t) of[t] = Reciprocal(t);
    }
  } table;
  return table.of;
}

inline uint32_t LeadingEqualBytes(uint32_t low, uint32_t range) {
  // range is never 0, so low and low + range always differ somewhere.
  return static_cast<uint32_t>(__builtin_clz(low ^ (low + range))) >> 3;
}

inline void StoreBig32(uint8_t* p, uint32_t v) {
  const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                        static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  std::memcpy(p, b, 4);
}

inline uint32_t LoadBig32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// The symbol the registers point at, or kEndSymbol; *r receives range / total.
template <class M>
inline uint32_t PeekSymbol(const M& m, uint32_t code, uint32_t low, uint32_t range,
                           uint64_t recip, uint32_t* r) {
  *r = DivideByReciprocal(range, recip);
  return m.Find((code - low) / *r);
}

// Narrows low and range to symbol s and counts it; the format orders the model's update
// before the normalisation.
template <class M>
inline void TakeSymbol(M& m, uint32_t s, uint32_t r, const uint64_t* reciprocals, uint32_t* low,
                       uint32_t* range, uint64_t* recip) {
  *low += m.Cum(s) * r;
  *range = m.Freq(s) * r;
  m.Update(s);
  *recip = reciprocals[m.total];
}

// The normalisation after a symbol, with at least kReadyBytes coded bytes at `in`: it takes
// at most 3 at once and 2 more one at a time.
constexpr int32_t kReadyBytes = 8;
inline void NormaliseReady(const uint8_t** in, uint32_t* code, uint32_t* low, uint32_t* range) {
  const uint32_t k = LeadingEqualBytes(*low, *range);
  // A 64-bit shift keeps k = 0 well defined.
  *code = static_cast<uint32_t>((static_cast<uint64_t>(*code) << (8 * k)) |
                                (static_cast<uint64_t>(LoadBig32(*in)) >> (32 - 8 * k)));
  *in += k;
  *low <<= 8 * k;
  *range <<= 8 * k;
  while (*range < 0x10000) {
    *code = (*code << 8) | *(*in)++;
    *range = (0x10000 - (*low & 0xFFFF)) << 8;
    *low <<= 8;
  }
}

class Writer {
 public:
  Writer(uint8_t* dst, int32_t cap) : pos_(dst), end_(dst + (cap > 0 ? cap : 0)), begin_(dst) {}

  // Emits the top `count` bytes (0..3) of v, most significant first.
  bool PutTop(uint32_t v, uint32_t count) {
    if (end_ - pos_ >= 4) {
      StoreBig32(pos_, v);
      pos_ += count;
      return true;
    }
    for (uint32_t i = 0; i < count; ++i) {
      if (!Put(static_cast<uint8_t>(v >> 24))) return false;
      v <<= 8;
    }
    return true;
  }

  bool Put(uint8_t byte) {
    if (pos_ >= end_) return false;
    *pos_++ = byte;
    return true;
  }

  int32_t Count() const { return static_cast<int32_t>(pos_ - begin_); }

 private:
  uint8_t* pos_;
  uint8_t* end_;
  uint8_t* begin_;
};

// Codes one symbol whose cumulative count and frequency are taken from the
// model before its update; the caller updates the model in between, as the
// format orders the update before the normalisation.
struct EncoderState {
  uint32_t low = 0;
  uint32_t range = 0xFFFFFFFFu;

  bool Normalise(Writer& w) {
    const uint32_t k = LeadingEqualBytes(low, range);
    if (!w.PutTop(low, k)) return false;
    low <<= 8 * k;
    range <<= 8 * k;
    while (range < 0x10000) {
      range = (0x10000 - (low & 0xFFFF)) << 8;
      if (!w.Put(static_cast<uint8_t>(low >> 24))) return false;
      low <<= 8;
    }
    return true;
  }
};

}  // namespace

int32_t RangeCodec::Encode(const uint8_t* src, int32_t srcLen, uint8_t* dst, int32_t dstCap) {
  Model m;
  m.Init();
  EncoderState e;
  Writer w(dst, dstCap);
  uint64_t recip = Reciprocal(m.total);
  for (int32_t i = 0; i < srcLen; ++i) {
    const uint32_t s = src[i];
    const uint32_t r = DivideByReciprocal(e.range, recip);
    e.low += m.Cum(s) * r;
    e.range = m.freq[s] * r;
    m.Update(s);
    recip = Reciprocal(m.total);
    if (!e.Normalise(w)) return -1;
  }
  const uint32_t r = DivideByReciprocal(e.range, recip);
  e.low += m.starts[31] * r;
  e.range = m.freq[kEndSymbol] * r;
  if (!e.Normalise(w)) return -1;
  for (int i = 0; i < 4; ++i) {
    if (!w.Put(static_cast<uint8_t>(e.low >> 24))) return -1;
    e.low <<= 8;
  }
  return w.Count();
}

namespace codec_internal {

bool HaveWalk(RangeDecoder::Walk walk) {
  switch (walk) {
    case RangeDecoder::Walk::kFastest:
    case RangeDecoder::Walk::kPortable:
      return true;
#if ZT4_VECTOR_WALKS
    case RangeDecoder::Walk::kVector256:
      return Have256();
    case RangeDecoder::Walk::kVector512:
      return Have512();
#else
    default:
      return false;
#endif
  }
  return false;
}

int32_t DecodeWhole(const uint8_t* src, int32_t srcLen, uint8_t* dst, int32_t dstCap,
                    RangeDecoder::Walk walk) {
  RangeDecoder decoder(src, srcLen, walk);
  const int32_t n = decoder.Next(dst, dstCap > 0 ? dstCap : 0);
  if (n < 0) return -1;
  // Every byte of the room was taken: the string must end right there.
  if (!decoder.Ended()) {
    uint8_t none = 0;
    if (decoder.Next(&none, 0) < 0 || !decoder.Ended()) return -1;
  }
  return n;
}

void DecodeTwoWhole(const DecodeJob& a, const DecodeJob& b, int32_t results[2],
                    int32_t headStart) {
  RangeDecoder decoders[2] = {RangeDecoder(a.src, a.srcLen), RangeDecoder(b.src, b.srcLen)};
  const DecodeJob* jobs[2] = {&a, &b};
  int32_t done[2] = {0, 0};
  bool failed[2] = {false, false};
  if (headStart > 0 && b.dstCap > 0) {
    const int32_t n = decoders[1].Next(b.dst, headStart < b.dstCap ? headStart : b.dstCap);
    failed[1] = n < 0;
    done[1] = n > 0 ? n : 0;
  }
  const auto busy = [&](int i) { return !failed[i] && !decoders[i].Ended(); };
  while (busy(0) || busy(1)) {
    int32_t counts[2] = {0, 0};
    RangeDecoder::NextTwo(decoders[0], a.dst + done[0], a.dstCap - done[0], &counts[0],
                          decoders[1], b.dst + done[1], b.dstCap - done[1], &counts[1]);
    for (int i = 0; i < 2; ++i) {
      done[i] += counts[i];
      if (counts[i] > 0 || !busy(i)) continue;
      // What only Next does, a few bytes at a time; with no room left, whether the string
      // ends right there.
      const int32_t room = jobs[i]->dstCap > done[i] ? jobs[i]->dstCap - done[i] : 0;
      uint8_t none = 0;
      const int32_t n = room > 0 ? decoders[i].Next(jobs[i]->dst + done[i], room < 16 ? room : 16)
                                 : decoders[i].Next(&none, 0);
      failed[i] = n < 0 || (room == 0 && !decoders[i].Ended());
      done[i] += n > 0 ? n : 0;
    }
  }
  for (int i = 0; i < 2; ++i) results[i] = failed[i] ? -1 : done[i];
}

}  // namespace codec_internal

int32_t RangeCodec::Decode(const uint8_t* src, int32_t srcLen, uint8_t* dst, int32_t dstCap) {
  return codec_internal::DecodeWhole(src, srcLen, dst, dstCap, RangeDecoder::Walk::kFastest);
}

static_assert(sizeof(Model) <= 1216 && alignof(Model) <= 64, "the decoder's room for its model");
#if ZT4_VECTOR_WALKS
static_assert(sizeof(WholeCounts) <= 1216 && alignof(WholeCounts) <= 64,
              "the decoder's room for its model");
#endif

RangeDecoder::RangeDecoder(const uint8_t* coded, int32_t size, Walk walk)
    : in_(coded), inEnd_(coded + (size > 0 ? size : 0)), sourceDone_(true) {
  StartModel(walk);
}

RangeDecoder::RangeDecoder(Source source, void* user, Walk walk) : source_(source), user_(user) {
  StartModel(walk);
}

void RangeDecoder::StartModel(Walk walk) {
  if (walk == Walk::kFastest) {
    walk = codec_internal::HaveWalk(Walk::kVector512)   ? Walk::kVector512
           : codec_internal::HaveWalk(Walk::kVector256) ? Walk::kVector256
                                                        : Walk::kPortable;
  }
  walk_ = codec_internal::HaveWalk(walk) ? walk : Walk::kPortable;
#if ZT4_VECTOR_WALKS
  if (walk_ != Walk::kPortable) {
    new (model_) WholeCounts;
    reinterpret_cast<WholeCounts*>(model_)->Init();
    return;
  }
#endif
  new (model_) Model;
  reinterpret_cast<Model*>(model_)->Init();
}

RangeDecoder::~RangeDecoder() { std::free(buffer_); }

bool RangeDecoder::Refill() {
  if (sourceDone_ || failed_) return !failed_;
  if (!buffer_) {
    buffer_ = static_cast<uint8_t*>(std::malloc(kInputBytes));
    if (!buffer_) return false;
  }
  // What is left moves to the front; the source fills the rest until a symbol's worth is
  // ready.
  const int32_t left = static_cast<int32_t>(inEnd_ - in_);
  if (left > 0) std::memmove(buffer_, in_, static_cast<size_t>(left));
  int32_t have = left;
  while (have < kReadyBytes && !sourceDone_) {
    const int32_t n = source_(buffer_ + have, kInputBytes - have, user_);
    if (n < 0) return false;
    if (n == 0) sourceDone_ = true;
    have += n;
  }
  in_ = buffer_;
  inEnd_ = buffer_ + have;
  return true;
}

bool RangeDecoder::Start() {
  if (inEnd_ - in_ < 4 && !Refill()) return false;
  if (inEnd_ - in_ < 4) return false;
  code_ = LoadBig32(in_);
  in_ += 4;
  started_ = true;
  return true;
}

int32_t RangeDecoder::Next(uint8_t* out, int32_t capacity) {
  if (failed_) return -1;
  if (ended_) return 0;
  if (!started_ && !Start()) {
    failed_ = true;
    return -1;
  }
  switch (walk_) {
    case Walk::kVector512:
      return NextVector512(out, capacity);
    case Walk::kVector256:
      return NextVector256(out, capacity);
    default:
      return NextWith<Model>(out, capacity);
  }
}

#if ZT4_VECTOR_WALKS
// flatten takes the loop and the model's vector code into one function, where
// the wider instructions are allowed.
ZT4_TARGET_512 __attribute__((flatten)) int32_t RangeDecoder::NextVector512(uint8_t* out,
                                                                             int32_t capacity) {
  return NextWith<Counts512>(out, capacity);
}

ZT4_TARGET_256 __attribute__((flatten)) int32_t RangeDecoder::NextVector256(uint8_t* out,
                                                                             int32_t capacity) {
  return NextWith<Counts256>(out, capacity);
}
#else
int32_t RangeDecoder::NextVector512(uint8_t* out, int32_t capacity) {
  return NextWith<Model>(out, capacity);
}

int32_t RangeDecoder::NextVector256(uint8_t* out, int32_t capacity) {
  return NextWith<Model>(out, capacity);
}
#endif

void RangeDecoder::NextTwo(RangeDecoder& a, uint8_t* outA, int32_t capacityA, int32_t* countA,
                           RangeDecoder& b, uint8_t* outB, int32_t capacityB,
                           int32_t* countB) {
  *countA = 0;
  *countB = 0;
  const auto busy = [](const RangeDecoder& d) { return d.started_ && !d.ended_ && !d.failed_; };
  if (!busy(a) || !busy(b) || a.walk_ != b.walk_ || &a == &b) return;
  switch (a.walk_) {
    case Walk::kVector512:
      return TwoVector512(a, outA, capacityA, countA, b, outB, capacityB, countB);
    case Walk::kVector256:
      return TwoVector256(a, outA, capacityA, countA, b, outB, capacityB, countB);
    default:
      return TwoWith<Model>(a, outA, capacityA, countA, b, outB, capacityB, countB);
  }
}

#if ZT4_VECTOR_WALKS
ZT4_TARGET_512 __attribute__((flatten)) void RangeDecoder::TwoVector512(
    RangeDecoder& a, uint8_t* outA, int32_t capacityA, int32_t* countA, RangeDecoder& b,
    uint8_t* outB, int32_t capacityB, int32_t* countB) {
  TwoWith<Counts512>(a, outA, capacityA, countA, b, outB, capacityB, countB);
}

ZT4_TARGET_256 __attribute__((flatten)) void RangeDecoder::TwoVector256(
    RangeDecoder& a, uint8_t* outA, int32_t capacityA, int32_t* countA, RangeDecoder& b,
    uint8_t* outB, int32_t capacityB, int32_t* countB) {
  TwoWith<Counts256>(a, outA, capacityA, countA, b, outB, capacityB, countB);
}
#else
void RangeDecoder::TwoVector512(RangeDecoder& a, uint8_t* outA, int32_t capacityA,
                                int32_t* countA, RangeDecoder& b, uint8_t* outB,
                                int32_t capacityB, int32_t* countB) {
  TwoWith<Model>(a, outA, capacityA, countA, b, outB, capacityB, countB);
}

void RangeDecoder::TwoVector256(RangeDecoder& a, uint8_t* outA, int32_t capacityA,
                                int32_t* countA, RangeDecoder& b, uint8_t* outB,
                                int32_t capacityB, int32_t* countB) {
  TwoWith<Model>(a, outA, capacityA, countA, b, outB, capacityB, countB);
}
#endif

template <class M>
inline void RangeDecoder::TwoWith(RangeDecoder& a, uint8_t* outA, int32_t capacityA,
                                  int32_t* countA, RangeDecoder& b, uint8_t* outB,
                                  int32_t capacityB, int32_t* countB) {
  // One string's registers, taken from its decoder and given back at the end.
  struct Lane {
    RangeDecoder& d;
    M& m;
    const uint8_t* in;
    uint32_t code, low, range;
    uint64_t recip;
    uint8_t* o;
    uint8_t* oEnd;

    bool Ready() const { return d.inEnd_ - in >= kReadyBytes && o != oEnd; }
    // False at the end symbol, which is left for Next.
    bool Step(const uint64_t* reciprocals) {
      uint32_t r = 0;
      const uint32_t s = PeekSymbol(m, code, low, range, recip, &r);
      if (s == kEndSymbol) return false;
      *o++ = static_cast<uint8_t>(s);
      TakeSymbol(m, s, r, reciprocals, &low, &range, &recip);
      NormaliseReady(&in, &code, &low, &range);
      return true;
    }
    int32_t Done(uint8_t* out) {
      d.in_ = in;
      d.code_ = code;
      d.low_ = low;
      d.range_ = range;
      return static_cast<int32_t>(o - out);
    }
  };
  const uint64_t* const reciprocals = Reciprocals();
  M& ma = *reinterpret_cast<M*>(a.model_);
  M& mb = *reinterpret_cast<M*>(b.model_);
  Lane one{a, ma, a.in_, a.code_, a.low_, a.range_, reciprocals[ma.total], outA,
           outA + (capacityA > 0 ? capacityA : 0)};
  Lane two{b, mb, b.in_, b.code_, b.low_, b.range_, reciprocals[mb.total], outB,
           outB + (capacityB > 0 ? capacityB : 0)};
  while (one.Ready() && two.Ready() && one.Step(reciprocals) && two.Step(reciprocals)) {
  }
  *countA = one.Done(outA);
  *countB = two.Done(outB);
}

template <class M>
inline int32_t RangeDecoder::NextWith(uint8_t* out, int32_t capacity) {
  M& m = *reinterpret_cast<M*>(model_);
  const uint64_t* const reciprocals = Reciprocals();
  const uint8_t* in = in_;
  const uint8_t* inEnd = inEnd_;
  uint32_t code = code_;
  uint32_t low = low_;
  uint32_t range = range_;
  uint8_t* o = out;
  uint8_t* const oEnd = out + (capacity > 0 ? capacity : 0);
  uint64_t recip = reciprocals[m.total];
  // A source's next piece, taken where fewer than a symbol's worth of coded bytes are ready.
  auto refill = [&] {
    in_ = in;
    inEnd_ = inEnd;
    if (!Refill()) return false;
    in = in_;
    inEnd = inEnd_;
    return true;
  };
  bool damaged = false;
  for (;;) {
    uint32_t r = 0;
    const uint32_t s = PeekSymbol(m, code, low, range, recip, &r);
    if (s == kEndSymbol) {
      ended_ = true;
      break;
    }
    if (o == oEnd) break;  // the symbol is decoded again by the next call
    *o++ = static_cast<uint8_t>(s);
    TakeSymbol(m, s, r, reciprocals, &low, &range, &recip);
    if (inEnd - in < kReadyBytes && !sourceDone_ && !refill()) {
      damaged = true;
      break;
    }
    if (inEnd - in >= kReadyBytes) {
      NormaliseReady(&in, &code, &low, &range);
      continue;
    }
    // The last few coded bytes: one at a time, each looked for.
    const uint32_t k = LeadingEqualBytes(low, range);
    for (uint32_t i = 0; i < k && !damaged; ++i) {
      if (in == inEnd) {
        damaged = true;
      } else {
        code = (code << 8) | *in++;
      }
    }
    if (damaged) break;
    low <<= 8 * k;
    range <<= 8 * k;
    while (range < 0x10000) {
      if (in == inEnd) {
        damaged = true;
        break;
      }
      code = (code << 8) | *in++;
      range = (0x10000 - (low & 0xFFFF)) << 8;
      low <<= 8;
    }
    if (damaged) break;
  }
  if (damaged) {
    failed_ = true;
    return -1;
  }
  in_ = in;
  inEnd_ = inEnd;
  code_ = code;
  low_ = low;
  range_ = range;
  return static_cast<int32_t>(o - out);
}

uint8_t* Codec::CompressAlloc(const uint8_t* src, int32_t n, int32_t* outLen) {
  if (outLen != nullptr) *outLen = 0;
  if (n < 0) return nullptr;
  const int64_t want = 2 * static_cast<int64_t>(n) + 1024;
  const int32_t cap = want > INT32_MAX ? INT32_MAX : static_cast<int32_t>(want);
  uint8_t* block = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(cap)));
  if (block == nullptr) return nullptr;
  const int32_t len = Encode(src, n, block, cap);
  if (len < 0) {
    std::free(block);
    return nullptr;
  }
  if (outLen != nullptr) *outLen = len;
  return block;
}

uint8_t* Codec::DecompressAlloc(const uint8_t* src, int32_t srcLen, int32_t expected) {
  if (expected < 0) return nullptr;
  // malloc(0) may give null; one spare byte keeps the empty result a block.
  uint8_t* block =
      static_cast<uint8_t*>(std::malloc(expected > 0 ? static_cast<size_t>(expected) : 1));
  if (block == nullptr) return nullptr;
  if (Decode(src, srcLen, block, expected) != expected) {
    std::free(block);
    return nullptr;
  }
  return block;
}

}  // namespace zt4
