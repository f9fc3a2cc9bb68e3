// Range codec, CRC-32 and SHA-1 against the literal coder and the system
// libraries, over deterministic text-like and executable-like data made here.
//
//   zt4_bench --benchmark_filter='Encode|Decode'   the codec only
//   zt4_bench --benchmark_format=json              machine-readable
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if ZT4_HAVE_ISAL
#include <isa-l/crc.h>
#endif

#include "codec/crc32.h"
#include "codec/literal_codec.h"
#include "codec/range_codec.h"
#include "codec/range_codec_internal.h"
#include "codec/sha1.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kCodecSize = size_t{16} << 20;
constexpr size_t kDigestSize = size_t{64} << 20;

enum class Kind { kText, kBinary };

// splitmix64: fast, and the same sequence everywhere.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(((Next() >> 32) * n) >> 32); }

 private:
  uint64_t state_;
};

// Prose-like text: a Zipf-distributed vocabulary of syllable words, with
// capitals after full stops, commas and line breaks.
Bytes MakeText(size_t n) {
  Rng rng(1);
  static const char* const kSyllables[] = {
      "th", "e",  "an", "in", "er", "on", "re", "at", "en", "nd", "st", "or", "te", "es", "is",
      "ha", "ou", "it", "to", "ed", "ti", "ng", "ar", "se", "al", "nt", "as", "le", "ve", "of",
      "me", "de", "co", "ro", "li", "ra", "io", "ne", "ri", "ma", "si", "pa", "ca", "la"};
  constexpr int kSyllableCount = sizeof kSyllables / sizeof kSyllables[0];
  std::vector<std::string> words(20000);
  for (auto& w : words) {
    const int parts = 1 + static_cast<int>(rng.Below(3)) + (rng.Below(4) == 0);
    for (int i = 0; i < parts; ++i) w += kSyllables[rng.Below(kSyllableCount)];
  }
  // Zipf weights folded into a 64 Ki-entry lookup table.
  std::vector<double> cum(words.size());
  double total = 0;
  for (size_t i = 0; i < words.size(); ++i) cum[i] = (total += 1.0 / static_cast<double>(i + 1));
  std::vector<uint16_t> pick(65536);
  size_t w = 0;
  for (size_t i = 0; i < pick.size(); ++i) {
    const double u = (static_cast<double>(i) + 0.5) / 65536.0 * total;
    while (cum[w] < u) ++w;
    pick[i] = static_cast<uint16_t>(w);
  }
  Bytes out;
  out.reserve(n + 64);
  bool capital = true;
  int column = 0;
  while (out.size() < n) {
    const std::string& word = words[pick[rng.Below(65536)]];
    for (size_t i = 0; i < word.size(); ++i) {
      char c = word[i];
      if (i == 0 && capital) c = static_cast<char>(c - 'a' + 'A');
      out.push_back(static_cast<uint8_t>(c));
    }
    capital = false;
    column += static_cast<int>(word.size()) + 1;
    const uint32_t r = rng.Below(100);
    if (r < 6) {
      out.push_back('.');
      capital = true;
    } else if (r < 12) {
      out.push_back(',');
    }
    if (column > 72) {
      out.push_back('\n');
      column = 0;
    } else {
      out.push_back(' ');
    }
  }
  out.resize(n);
  return out;
}

// Executable-like: stretches of x86-ish code (frequent opcodes, ModRM bytes,
// small displacements, rel32 calls), tables of pointers and small integers,
// zero padding and NUL-separated symbol names.
Bytes MakeBinary(size_t n) {
  Rng rng(2);
  static const uint8_t kOpcodes[] = {0x48, 0x89, 0x8B, 0xE8, 0x0F, 0x83, 0xC7, 0x45,
                                     0x85, 0x74, 0x75, 0xEB, 0x31, 0xC0, 0x4C, 0x8D,
                                     0x44, 0x24, 0x5D, 0xC3, 0x41, 0x39, 0xFF, 0x84};
  static const char* const kNames[] = {"Archive", "Member", "Open",  "Close",  "Read",
                                       "Write",   "Stream", "Pool",  "String", "Name",
                                       "Table",   "Patch",  "Entry", "Verify", "Backup",
                                       "Apply",   "Update", "Crc",   "Sha",    "Codec"};
  Bytes out;
  out.reserve(n + 4096);
  while (out.size() < n) {
    const uint32_t kind = rng.Below(10);
    const size_t len = 256 + rng.Below(8192);
    const size_t end = out.size() + len;
    if (kind < 5) {
      while (out.size() < end) {
        out.push_back(kOpcodes[rng.Below(sizeof kOpcodes)]);
        const uint32_t r = rng.Below(8);
        if (r < 3) {
          out.push_back(static_cast<uint8_t>(0xC0 | rng.Below(64)));
        } else if (r < 5) {
          out.push_back(static_cast<uint8_t>(rng.Below(32) * 8));
        } else if (r == 5) {
          const uint32_t rel = rng.Below(0x20000) - 0x10000;
          for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(rel >> (8 * i)));
        }
      }
    } else if (kind < 7) {
      const uint64_t base = 0x140000000ull + (static_cast<uint64_t>(rng.Below(0x100)) << 12);
      while (out.size() < end) {
        const uint64_t v = rng.Below(4) == 0 ? rng.Below(300) : base + rng.Below(0x40000);
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
      }
    } else if (kind < 9) {
      while (out.size() < end) {
        const int parts = 1 + static_cast<int>(rng.Below(3));
        for (int i = 0; i < parts; ++i) {
          const char* name = kNames[rng.Below(sizeof kNames / sizeof kNames[0])];
          out.insert(out.end(), name, name + std::strlen(name));
        }
        out.push_back(0);
      }
    } else {
      out.insert(out.end(), len, 0);
    }
  }
  out.resize(n);
  return out;
}

const Bytes& Data(Kind kind) {
  static const Bytes text = MakeText(kDigestSize);
  static const Bytes binary = MakeBinary(kDigestSize);
  return kind == Kind::kText ? text : binary;
}

const Bytes& Coded(Kind kind) {
  auto make = [](Kind k) {
    const Bytes& in = Data(k);
    Bytes out(2 * kCodecSize + 1024);
    zt4::RangeCodec codec;
    const int32_t n = codec.Encode(in.data(), static_cast<int32_t>(kCodecSize), out.data(),
                                   static_cast<int32_t>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
  };
  static const Bytes text = make(Kind::kText);
  static const Bytes binary = make(Kind::kBinary);
  return kind == Kind::kText ? text : binary;
}

void ReportSizes(benchmark::State& state, size_t bytes, Kind kind) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
  if (bytes == kCodecSize) {
    state.counters["ratio"] =
        static_cast<double>(Coded(kind).size()) / static_cast<double>(kCodecSize);
  }
}

template <typename EncodeFn>
void RunEncode(benchmark::State& state, Kind kind, EncodeFn encode) {
  const Bytes& in = Data(kind);
  Bytes out(2 * kCodecSize + 1024);
  const Bytes& want = Coded(kind);
  for (auto _ : state) {
    const int32_t n = encode(in.data(), static_cast<int32_t>(kCodecSize), out.data(),
                             static_cast<int32_t>(out.size()));
    benchmark::DoNotOptimize(n);
    if (n != static_cast<int32_t>(want.size())) state.SkipWithError("wrong coded length");
  }
  if (std::memcmp(out.data(), want.data(), want.size()) != 0)
    state.SkipWithError("wrong coded bytes");
  ReportSizes(state, kCodecSize, kind);
}

template <typename DecodeFn>
void RunDecode(benchmark::State& state, Kind kind, DecodeFn decode) {
  const Bytes& coded = Coded(kind);
  Bytes out(kCodecSize);
  for (auto _ : state) {
    const int32_t n = decode(coded.data(), static_cast<int32_t>(coded.size()), out.data(),
                             static_cast<int32_t>(out.size()));
    benchmark::DoNotOptimize(n);
    if (n != static_cast<int32_t>(kCodecSize)) state.SkipWithError("wrong decoded length");
  }
  if (std::memcmp(out.data(), Data(kind).data(), kCodecSize) != 0)
    state.SkipWithError("wrong decoded bytes");
  ReportSizes(state, kCodecSize, kind);
}

void Encode(benchmark::State& state, Kind kind) {
  zt4::RangeCodec codec;
  RunEncode(state, kind, [&](const uint8_t* s, int32_t n, uint8_t* d, int32_t c) {
    return codec.Encode(s, n, d, c);
  });
}

void Decode(benchmark::State& state, Kind kind) {
  zt4::RangeCodec codec;
  RunDecode(state, kind, [&](const uint8_t* s, int32_t n, uint8_t* d, int32_t c) {
    return codec.Decode(s, n, d, c);
  });
}

// One walk of the model named, to set the ones this processor does not pick beside it.
void DecodeWalk(benchmark::State& state, Kind kind, zt4::RangeDecoder::Walk walk) {
  if (!zt4::codec_internal::HaveWalk(walk)) {
    state.SkipWithError("this processor lacks the walk");
    for (auto _ : state) {
    }
    return;
  }
  RunDecode(state, kind, [&](const uint8_t* s, int32_t n, uint8_t* d, int32_t c) {
    return zt4::codec_internal::DecodeWhole(s, n, d, c, walk);
  });
}

void DecodePortable(benchmark::State& state, Kind kind) {
  DecodeWalk(state, kind, zt4::RangeDecoder::Walk::kPortable);
}

void DecodeVector256(benchmark::State& state, Kind kind) {
  DecodeWalk(state, kind, zt4::RangeDecoder::Walk::kVector256);
}

// Two strings decoded at once on one core (the text and the binary one): the bytes of
// both per second, to set beside Decode of each.
void DecodeTwo(benchmark::State& state) {
  const Bytes& codedA = Coded(Kind::kText);
  const Bytes& codedB = Coded(Kind::kBinary);
  Bytes outA(kCodecSize);
  Bytes outB(kCodecSize);
  for (auto _ : state) {
    int32_t results[2];
    zt4::codec_internal::DecodeTwoWhole(
        {codedA.data(), static_cast<int32_t>(codedA.size()), outA.data(),
         static_cast<int32_t>(kCodecSize)},
        {codedB.data(), static_cast<int32_t>(codedB.size()), outB.data(),
         static_cast<int32_t>(kCodecSize)},
        results);
    if (results[0] != static_cast<int32_t>(kCodecSize) ||
        results[1] != static_cast<int32_t>(kCodecSize)) {
      state.SkipWithError("wrong decoded length");
    }
  }
  if (std::memcmp(outA.data(), Data(Kind::kText).data(), kCodecSize) != 0 ||
      std::memcmp(outB.data(), Data(Kind::kBinary).data(), kCodecSize) != 0)
    state.SkipWithError("wrong decoded bytes");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 *
                          static_cast<int64_t>(kCodecSize));
}

void EncodeLiteral(benchmark::State& state, Kind kind) {
  RunEncode(state, kind, zt4test::LiteralEncode);
}

void DecodeLiteral(benchmark::State& state, Kind kind) {
  RunDecode(state, kind, zt4test::LiteralDecode);
}

void Sha1(benchmark::State& state, Kind kind) {
  const Bytes& in = Data(kind);
  char hex[41];
  for (auto _ : state) {
    zt4::Sha1Hex(in.data(), in.size(), hex);
    benchmark::DoNotOptimize(hex);
  }
  ReportSizes(state, in.size(), kind);
}

void Sha1OpenSSL(benchmark::State& state, Kind kind) {
  const Bytes& in = Data(kind);
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  for (auto _ : state) {
    EVP_Digest(in.data(), in.size(), digest, &len, EVP_sha1(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  uint8_t ours[20];
  zt4::Sha1Digest(in.data(), in.size(), ours);
  if (len != 20 || std::memcmp(ours, digest, 20) != 0) state.SkipWithError("digests differ");
  ReportSizes(state, in.size(), kind);
}

void Crc32(benchmark::State& state, Kind kind) {
  const Bytes& in = Data(kind);
  for (auto _ : state) benchmark::DoNotOptimize(zt4::Crc32(in.data(), in.size(), 0));
  ReportSizes(state, in.size(), kind);
}

void Crc32Zlib(benchmark::State& state, Kind kind) {
  const Bytes& in = Data(kind);
  uLong crc = 0;
  for (auto _ : state) benchmark::DoNotOptimize(crc = crc32_z(0, in.data(), in.size()));
  if (static_cast<uint32_t>(crc) != zt4::Crc32(in.data(), in.size(), 0))
    state.SkipWithError("CRCs differ");
  ReportSizes(state, in.size(), kind);
}

void Crc32Isal(benchmark::State& state, Kind kind) {
#if ZT4_HAVE_ISAL
  const Bytes& in = Data(kind);
  uint32_t crc = 0;
  for (auto _ : state) benchmark::DoNotOptimize(crc = crc32_gzip_refl(0, in.data(), in.size()));
  if (crc != zt4::Crc32(in.data(), in.size(), 0)) state.SkipWithError("CRCs differ");
  ReportSizes(state, in.size(), kind);
#else
  (void)kind;
  state.SkipWithError("built without ISA-L");
  for (auto _ : state) {
  }
#endif
}

#define ZT4_BENCH_BOTH(fn)                                                 \
  BENCHMARK_CAPTURE(fn, text, Kind::kText)->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(fn, binary, Kind::kBinary)->Unit(benchmark::kMillisecond)

ZT4_BENCH_BOTH(Encode);
ZT4_BENCH_BOTH(EncodeLiteral);
ZT4_BENCH_BOTH(Decode);
ZT4_BENCH_BOTH(DecodePortable);
ZT4_BENCH_BOTH(DecodeVector256);
ZT4_BENCH_BOTH(DecodeLiteral);
BENCHMARK(DecodeTwo)->Unit(benchmark::kMillisecond);
ZT4_BENCH_BOTH(Sha1);
ZT4_BENCH_BOTH(Sha1OpenSSL);
ZT4_BENCH_BOTH(Crc32);
ZT4_BENCH_BOTH(Crc32Zlib);
ZT4_BENCH_BOTH(Crc32Isal);

}  // namespace
