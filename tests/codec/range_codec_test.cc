#include "codec/range_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/literal_codec.h"
#include "codec/range_codec_internal.h"

namespace zt4 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes EncodeFast(const Bytes& in) {
  RangeCodec codec;
  Bytes out(2 * in.size() + 1024);
  const int32_t n = codec.Encode(in.data(), static_cast<int32_t>(in.size()), out.data(),
                                 static_cast<int32_t>(out.size()));
  EXPECT_GE(n, 5);
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

Bytes EncodeLiteral(const Bytes& in) {
  Bytes out(2 * in.size() + 1024);
  const int32_t n = zt4test::LiteralEncode(in.data(), static_cast<int32_t>(in.size()), out.data(),
                                           static_cast<int32_t>(out.size()));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

Bytes FromString(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct NamedWalk {
  RangeDecoder::Walk walk;
  const char* name;
};
// A walk this processor lacks runs as the portable one.
constexpr NamedWalk kWalks[] = {{RangeDecoder::Walk::kPortable, "portable"},
                                {RangeDecoder::Walk::kVector256, "256-bit"},
                                {RangeDecoder::Walk::kVector512, "512-bit"}};

// Decodes with the literal decoder and with every walk of ours from an exactly
// sized copy of the stream (so a read past its end is caught by the sanitizers)
// into exactly sized outputs, and expects the same result and bytes written.
void ExpectSameDecode(const uint8_t* stream, size_t len, int32_t cap, const char* what) {
  const Bytes src(stream, stream + len);
  const int32_t srcLen = static_cast<int32_t>(src.size());
  const size_t room = cap > 0 ? static_cast<size_t>(cap) : 0;
  Bytes literal(room, 0xA5);
  const int32_t want = zt4test::LiteralDecode(src.data(), srcLen, literal.data(), cap);
  for (const NamedWalk& walk : kWalks) {
    Bytes ours(room, 0xA5);
    const int32_t got =
        codec_internal::DecodeWhole(src.data(), srcLen, ours.data(), cap, walk.walk);
    ASSERT_EQ(got, want) << what << " len=" << len << " cap=" << cap << " " << walk.name;
    ASSERT_TRUE(ours == literal) << what << " len=" << len << " cap=" << cap << " " << walk.name;
  }
  // Decoded a symbol of each in turn beside a good string, and beside itself: the same
  // result for each side as alone.
  static const Bytes kOtherContent = FromString(std::string(3000, 'x') + "and a tail of text");
  static const Bytes kOther = EncodeFast(kOtherContent);
  Bytes pairedOther(kOtherContent.size());
  Bytes paired[2] = {Bytes(room, 0xA5), Bytes(room, 0xA5)};
  int32_t results[2];
  codec_internal::DecodeTwoWhole({src.data(), srcLen, paired[0].data(), cap},
                                 {kOther.data(), static_cast<int32_t>(kOther.size()),
                                  pairedOther.data(), static_cast<int32_t>(pairedOther.size())},
                                 results, 37);
  ASSERT_EQ(results[0], want) << what << " len=" << len << " cap=" << cap << " beside another";
  ASSERT_TRUE(paired[0] == literal) << what << " len=" << len << " cap=" << cap;
  ASSERT_EQ(results[1], static_cast<int32_t>(kOtherContent.size())) << what;
  ASSERT_EQ(pairedOther, kOtherContent) << what;
  codec_internal::DecodeTwoWhole({src.data(), srcLen, paired[0].data(), cap},
                                 {src.data(), srcLen, paired[1].data(), cap}, results);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(results[i], want) << what << " len=" << len << " cap=" << cap << " beside itself";
    ASSERT_TRUE(paired[i] == literal) << what << " len=" << len << " cap=" << cap;
  }
}

// ---- Worked values -------------------------------------------------------

TEST(RangeCodec, EmptyInputIsFiveFixedBytes) {
  const Bytes coded = EncodeFast({});
  EXPECT_EQ(coded, (Bytes{0xFF, 0x00, 0xFF, 0x00, 0x00}));
  RangeCodec codec;
  uint8_t out[1];
  EXPECT_EQ(codec.Decode(coded.data(), 5, out, 0), 0);
}

TEST(RangeCodec, Abc) {
  const Bytes coded = EncodeFast(FromString("abc"));
  EXPECT_EQ(coded, (Bytes{0x61, 0x01, 0x9D, 0x95, 0x33, 0xBA, 0x00}));
  RangeCodec codec;
  uint8_t out[3];
  ASSERT_EQ(codec.Decode(coded.data(), 7, out, 3), 3);
  EXPECT_EQ(std::memcmp(out, "abc", 3), 0);
}

TEST(RangeCodec, ThousandZeros) {
  const Bytes in(1000, 0);
  const Bytes coded = EncodeFast(in);
  EXPECT_EQ(coded.size(), 119u);
  RangeCodec codec;
  uint8_t* out = codec.DecompressAlloc(coded.data(), static_cast<int32_t>(coded.size()), 1000);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::memcmp(out, in.data(), 1000), 0);
  std::free(out);
}

TEST(RangeCodec, SeventyThousandFFPassesTheFirstRescale) {
  const Bytes in(70000, 0xFF);
  const Bytes coded = EncodeFast(in);
  EXPECT_EQ(coded.size(), 320u);
  EXPECT_EQ(coded, EncodeLiteral(in));
  RangeCodec codec;
  Bytes out(70000);
  ASSERT_EQ(codec.Decode(coded.data(), static_cast<int32_t>(coded.size()), out.data(), 70000),
            70000);
  EXPECT_EQ(out, in);
}

TEST(RangeCodec, EncodeCapacityOneShortFails) {
  RangeCodec codec;
  const std::vector<Bytes> inputs = {{},
                                     FromString("abc"),
                                     Bytes(1000, 0),
                                     Bytes(70000, 0xFF),
                                     FromString("the quick brown fox jumps over the lazy dog")};
  for (const Bytes& in : inputs) {
    const Bytes coded = EncodeFast(in);
    const int32_t len = static_cast<int32_t>(coded.size());
    Bytes out(coded.size());
    EXPECT_EQ(codec.Encode(in.data(), static_cast<int32_t>(in.size()), out.data(), len), len);
    EXPECT_EQ(out, coded);
    EXPECT_EQ(codec.Encode(in.data(), static_cast<int32_t>(in.size()), out.data(), len - 1), -1);
  }
}

TEST(RangeCodec, EncodeFailsForEverySmallerCapacity) {
  RangeCodec codec;
  std::mt19937 rng(7);
  Bytes in(300);
  for (auto& b : in) b = static_cast<uint8_t>(rng() % 40);
  const Bytes coded = EncodeFast(in);
  for (int32_t cap = -1; cap < static_cast<int32_t>(coded.size()); ++cap) {
    Bytes out(cap > 0 ? static_cast<size_t>(cap) : 0);
    EXPECT_EQ(codec.Encode(in.data(), static_cast<int32_t>(in.size()), out.data(), cap), -1) << cap;
    EXPECT_TRUE(std::equal(out.begin(), out.end(), coded.begin())) << cap;
  }
}

TEST(RangeCodec, DecodeCapacity) {
  RangeCodec codec;
  for (size_t n : {1u, 3u, 1000u, 70000u}) {
    Bytes in(n);
    for (size_t i = 0; i < n; ++i) in[i] = static_cast<uint8_t>(i * 7 % 13);
    const Bytes coded = EncodeFast(in);
    Bytes out(n);
    const int32_t len = static_cast<int32_t>(coded.size());
    EXPECT_EQ(codec.Decode(coded.data(), len, out.data(), static_cast<int32_t>(n) - 1), -1);
    EXPECT_EQ(codec.Decode(coded.data(), len, out.data(), static_cast<int32_t>(n)),
              static_cast<int32_t>(n));
    EXPECT_EQ(out, in);
  }
}

TEST(RangeCodec, BytesAfterTheStreamChangeNothing) {
  RangeCodec codec;
  std::mt19937 rng(11);
  for (size_t n : {0u, 1u, 3u, 100u, 5000u}) {
    Bytes in(n);
    for (auto& b : in) b = static_cast<uint8_t>(rng());
    Bytes coded = EncodeFast(in);
    for (int extra = 0; extra < 40; ++extra) coded.push_back(static_cast<uint8_t>(rng()));
    Bytes out(n + 8);
    EXPECT_EQ(codec.Decode(coded.data(), static_cast<int32_t>(coded.size()), out.data(),
                           static_cast<int32_t>(out.size())),
              static_cast<int32_t>(n));
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
  }
}

TEST(RangeCodec, DecoderReadsNoMoreThanItNeeds) {
  RangeCodec codec;
  const Bytes abc = EncodeFast(FromString("abc"));
  uint8_t out[3];
  EXPECT_EQ(codec.Decode(abc.data(), 6, out, 3), 3);
  EXPECT_EQ(std::memcmp(out, "abc", 3), 0);
  EXPECT_EQ(codec.Decode(abc.data(), 5, out, 3), -1);
  const Bytes empty = EncodeFast({});
  EXPECT_EQ(codec.Decode(empty.data(), 4, out, 3), 0);
  EXPECT_EQ(codec.Decode(empty.data(), 3, out, 3), -1);
  for (int32_t n = 0; n < 4; ++n) EXPECT_EQ(codec.Decode(empty.data(), n, out, 3), -1);
  EXPECT_EQ(codec.Decode(nullptr, 0, out, 3), -1);
}

TEST(RangeCodec, CompressAlloc) {
  RangeCodec codec;
  const Bytes in = FromString("abc");
  int32_t len = 123;
  uint8_t* block = codec.CompressAlloc(in.data(), 3, &len);
  ASSERT_NE(block, nullptr);
  ASSERT_EQ(len, 7);
  EXPECT_EQ(Bytes(block, block + len), EncodeFast(in));
  std::free(block);

  block = codec.CompressAlloc(nullptr, 0, &len);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(Bytes(block, block + len), (Bytes{0xFF, 0x00, 0xFF, 0x00, 0x00}));
  std::free(block);

  len = 5;
  EXPECT_EQ(codec.CompressAlloc(in.data(), -1, &len), nullptr);
  EXPECT_EQ(len, 0);
}

TEST(RangeCodec, DecompressAllocWantsTheExactLength) {
  RangeCodec codec;
  Bytes in(1000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i % 251);
  const Bytes coded = EncodeFast(in);
  const int32_t len = static_cast<int32_t>(coded.size());
  uint8_t* block = codec.DecompressAlloc(coded.data(), len, 1000);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::memcmp(block, in.data(), 1000), 0);
  std::free(block);
  EXPECT_EQ(codec.DecompressAlloc(coded.data(), len, 1001), nullptr);
  EXPECT_EQ(codec.DecompressAlloc(coded.data(), len, 999), nullptr);
  // The end symbol's bytes and the flush are never read; five fewer bytes
  // cut into the data itself.
  EXPECT_EQ(codec.DecompressAlloc(coded.data(), len - 5, 1000), nullptr);
  EXPECT_EQ(codec.DecompressAlloc(coded.data(), len, -1), nullptr);

  const Bytes empty = EncodeFast({});
  block = codec.DecompressAlloc(empty.data(), 5, 0);
  EXPECT_NE(block, nullptr);
  std::free(block);
  EXPECT_EQ(codec.DecompressAlloc(empty.data(), 5, 1), nullptr);
  EXPECT_EQ(codec.DecompressAlloc(coded.data(), len, 0), nullptr);
}

TEST(RangeCodec, WorksThroughTheInterface) {
  RangeCodec range;
  Codec& codec = range;
  const Bytes in = FromString("abc");
  uint8_t coded[16];
  ASSERT_EQ(codec.Encode(in.data(), 3, coded, 16), 7);
  uint8_t out[3];
  EXPECT_EQ(codec.Decode(coded, 7, out, 3), 3);
}

// ---- Reciprocal in place of the division ---------------------------------

// The total is 257..65535 whenever a symbol is coded. The multiply can only go
// wrong just below a multiple of the total, and the more so the larger the
// range, so every total is checked at both ends of the range scale and next
// to each of its largest multiples.
TEST(RangeCodecReciprocal, MatchesTheDivisionAtEveryBoundary) {
  using codec_internal::DivideByReciprocal;
  using codec_internal::Reciprocal;
  uint64_t checked = 0;
  for (uint32_t total = 257; total <= 65535; ++total) {
    const uint64_t c = Reciprocal(total);
    auto check = [&](uint32_t range) {
      ++checked;
      if (DivideByReciprocal(range, c) != range / total) {
        ADD_FAILURE() << "range " << range << " total " << total;
        return false;
      }
      return true;
    };
    const uint32_t qMax = 0xFFFFFFFFu / total;
    bool ok =
        check(0xFFFFFFFFu) && check(0xFFFFFFFEu) && check(0x10000) && check(0xFFFF) && check(0);
    for (uint32_t q = 1; ok && q <= 64; ++q) {
      ok = check(q * total - 1) && check(q * total) && check(q * total + 1);
    }
    for (uint32_t q = qMax; ok && q > qMax - 192 && q > 0; --q) {
      ok = check(q * total - 1) && check(q * total) && check(q * total + 1);
    }
    if (!ok) break;
  }
  EXPECT_GT(checked, 20000000u);
}

TEST(RangeCodecReciprocal, MatchesTheDivisionOverWholeStretches) {
  using codec_internal::DivideByReciprocal;
  using codec_internal::Reciprocal;
  for (uint32_t total : {257u, 258u, 4096u, 65521u, 65534u, 65535u}) {
    const uint64_t c = Reciprocal(total);
    for (uint32_t range = 0xFFFFFFFFu; range >= 0xFFFFFFFFu - (1u << 20); --range) {
      ASSERT_EQ(DivideByReciprocal(range, c), range / total) << range << " " << total;
    }
  }
}

// ---- Fast against literal --------------------------------------------------

void ExpectSameAsLiteral(const Bytes& in, const char* what) {
  const Bytes fast = EncodeFast(in);
  const Bytes literal = EncodeLiteral(in);
  ASSERT_EQ(fast, literal) << what << " n=" << in.size();
  for (const NamedWalk& walk : kWalks) {
    Bytes out(in.size());
    ASSERT_EQ(codec_internal::DecodeWhole(fast.data(), static_cast<int32_t>(fast.size()),
                                          out.data(), static_cast<int32_t>(out.size()), walk.walk),
              static_cast<int32_t>(in.size()))
        << what << " " << walk.name;
    ASSERT_EQ(out, in) << what << " " << walk.name;
  }
  // Beside a shorter string of its own bytes, which ends first.
  const Bytes shortIn(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(in.size() / 3));
  const Bytes shortCoded = EncodeFast(shortIn);
  Bytes outs[2] = {Bytes(in.size()), Bytes(shortIn.size())};
  int32_t results[2];
  codec_internal::DecodeTwoWhole(
      {fast.data(), static_cast<int32_t>(fast.size()), outs[0].data(),
       static_cast<int32_t>(outs[0].size())},
      {shortCoded.data(), static_cast<int32_t>(shortCoded.size()), outs[1].data(),
       static_cast<int32_t>(outs[1].size())},
      results, static_cast<int32_t>(in.size() % 97));
  ASSERT_EQ(results[0], static_cast<int32_t>(in.size())) << what << " beside another";
  ASSERT_EQ(results[1], static_cast<int32_t>(shortIn.size())) << what << " beside another";
  ASSERT_EQ(outs[0], in) << what;
  ASSERT_EQ(outs[1], shortIn) << what;
}

Bytes Random(std::mt19937& rng, size_t n, uint32_t alphabet) {
  Bytes v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng() % alphabet);
  return v;
}

// Word-like text with a skewed vocabulary.
Bytes Text(std::mt19937& rng, size_t n) {
  static const char* const kWords[] = {"the", "of",   "and",  "archive", "member", "patch", "file",
                                       "a",   "to",   "is",   "range",   "coder",  "byte",  "in",
                                       "zt4", "data", "list", "update",  "folder", "old",   "new"};
  Bytes v;
  while (v.size() < n) {
    const uint32_t u = rng() % 1000;
    const char* w = kWords[(u * u / 50000) % 21];
    v.insert(v.end(), w, w + std::strlen(w));
    v.push_back(rng() % 9 == 0 ? '\n' : ' ');
  }
  v.resize(n);
  return v;
}

// Executable-like: zero runs, small little-endian numbers, opcode-ish bytes.
Bytes Binary(std::mt19937& rng, size_t n) {
  Bytes v;
  while (v.size() < n) {
    switch (rng() % 5) {
      case 0:
        v.insert(v.end(), rng() % 40, 0);
        break;
      case 1: {
        const uint32_t x = rng() % 70000;
        for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
        break;
      }
      case 2:
        for (int i = rng() % 16; i > 0; --i) v.push_back(static_cast<uint8_t>(0x40 + rng() % 64));
        break;
      case 3:
        v.push_back(0xFF);
        v.push_back(static_cast<uint8_t>(rng()));
        break;
      default:
        for (int i = rng() % 8; i > 0; --i) v.push_back(static_cast<uint8_t>(rng()));
        break;
    }
  }
  v.resize(n);
  return v;
}

TEST(RangeCodecDifferential, EveryShortLength) {
  std::mt19937 rng(1);
  for (size_t n = 0; n <= 600; ++n) {
    ExpectSameAsLiteral(Random(rng, n, 256), "random");
    ExpectSameAsLiteral(Random(rng, n, 1 + n % 17), "small alphabet");
  }
}

TEST(RangeCodecDifferential, StructuredInputs) {
  std::mt19937 rng(2);
  for (size_t n : {1000u, 4095u, 4096u, 4097u, 20000u, 50000u}) {
    ExpectSameAsLiteral(Text(rng, n), "text");
    ExpectSameAsLiteral(Binary(rng, n), "binary");
    ExpectSameAsLiteral(Random(rng, n, 256), "random");
    ExpectSameAsLiteral(Bytes(n, static_cast<uint8_t>(rng())), "run");
    Bytes saw(n);
    for (size_t i = 0; i < n; ++i) saw[i] = static_cast<uint8_t>(i);
    ExpectSameAsLiteral(saw, "sawtooth");
    Bytes blocks(n);
    for (size_t i = 0; i < n; ++i) blocks[i] = static_cast<uint8_t>((i / 997) * 37);
    ExpectSameAsLiteral(blocks, "blocks");
  }
}

TEST(RangeCodecDifferential, AroundTheFirstRescale) {
  // The 65,279th symbol takes the total from 257 to 65536; the end symbol
  // itself may be that symbol.
  std::mt19937 rng(3);
  for (size_t n : {65276u, 65277u, 65278u, 65279u, 65280u, 65281u}) {
    ExpectSameAsLiteral(Bytes(n, 0), "zeros");
    ExpectSameAsLiteral(Bytes(n, 0xFF), "ff");
    ExpectSameAsLiteral(Random(rng, n, 256), "random");
    ExpectSameAsLiteral(Text(rng, n), "text");
  }
}

TEST(RangeCodecDifferential, ManyRescales) {
  std::mt19937 rng(4);
  ExpectSameAsLiteral(Text(rng, 400000), "text");
  ExpectSameAsLiteral(Binary(rng, 400000), "binary");
  ExpectSameAsLiteral(Random(rng, 300000, 256), "random");
  ExpectSameAsLiteral(Random(rng, 300000, 3), "three symbols");
  // A skew that moves: the halving must keep odd frequencies exact.
  Bytes shifting(500000);
  for (size_t i = 0; i < shifting.size(); ++i) {
    shifting[i] = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : (i / 30000) * 17);
  }
  ExpectSameAsLiteral(shifting, "shifting");
  ExpectSameAsLiteral(Bytes(300000, 0x80), "long run");
}

// ---- Decoding in pieces ----------------------------------------------------

struct Pieces {
  const Bytes* coded;
  size_t at = 0;
  std::mt19937* rng;
};

int32_t NextPiece(uint8_t* buffer, int32_t capacity, void* user) {
  auto* pieces = static_cast<Pieces*>(user);
  size_t n = std::min<size_t>({static_cast<size_t>(capacity), pieces->coded->size() - pieces->at,
                               1 + (*pieces->rng)() % 9});
  std::memcpy(buffer, pieces->coded->data() + pieces->at, n);
  pieces->at += n;
  return static_cast<int32_t>(n);
}

// Coded bytes handed over a few at a time and decoded bytes taken in pieces of any size
// give the whole decode's bytes, and fail where it fails: cut short, or damaged. Two
// strings go at once, through NextTwo where both can and Next where one cannot.
TEST(RangeDecoder, PiecesGiveTheWholeDecode) {
  std::mt19937 rng(12);
  struct Side {
    Bytes coded;
    Bytes whole;
    int32_t wholeCount = 0;
    Bytes out;
    bool failed = false;
  };
  for (int round = 0; round < 300; ++round) {
    Side sides[2];
    for (Side& side : sides) {
      const size_t n = rng() % 5000;
      side.coded = EncodeFast(rng() % 2 ? Text(rng, n) : Binary(rng, n));
      if (round % 3 == 1) side.coded.resize(rng() % (side.coded.size() + 1));
      if (round % 3 == 2) side.coded[rng() % side.coded.size()] ^= 0x10;
      side.whole.resize(n + 64);
      side.wholeCount = RangeCodec().Decode(side.coded.data(), static_cast<int32_t>(side.coded.size()),
                                            side.whole.data(), static_cast<int32_t>(side.whole.size()));
    }
    Pieces pieces[2] = {{&sides[0].coded, 0, &rng}, {&sides[1].coded, 0, &rng}};
    RangeDecoder decoders[2] = {RangeDecoder(NextPiece, &pieces[0], kWalks[round % 3].walk),
                                RangeDecoder(NextPiece, &pieces[1], kWalks[round % 3].walk)};
    const auto busy = [&](int i) { return !decoders[i].Ended() && !sides[i].failed; };
    while (busy(0) || busy(1)) {
      uint8_t piece[2][700];
      const int32_t rooms[2] = {static_cast<int32_t>(rng() % sizeof piece[0]),
                                static_cast<int32_t>(rng() % sizeof piece[1])};
      int32_t counts[2] = {0, 0};
      RangeDecoder::NextTwo(decoders[0], piece[0], rooms[0], &counts[0], decoders[1], piece[1],
                            rooms[1], &counts[1]);
      for (int i = 0; i < 2; ++i) {
        if (counts[i] == 0 && busy(i)) counts[i] = decoders[i].Next(piece[i], rooms[i]);
        sides[i].failed = sides[i].failed || counts[i] < 0;
        if (counts[i] > 0) sides[i].out.insert(sides[i].out.end(), piece[i], piece[i] + counts[i]);
        // More than the whole decode had room for.
        sides[i].failed = sides[i].failed || sides[i].out.size() > sides[i].whole.size();
      }
    }
    for (const Side& side : sides) {
      if (side.wholeCount < 0) {
        EXPECT_TRUE(side.failed) << "round " << round;
      } else {
        ASSERT_FALSE(side.failed) << "round " << round;
        EXPECT_EQ(side.out, Bytes(side.whole.begin(), side.whole.begin() + side.wholeCount))
            << "round " << round;
      }
    }
  }
}

// ---- Damaged and truncated streams -----------------------------------------

TEST(RangeCodecDamaged, EveryTruncation) {
  std::mt19937 rng(5);
  for (size_t n : {0u, 1u, 2u, 10u, 200u, 3000u}) {
    const Bytes coded = EncodeFast(Text(rng, n));
    for (size_t len = 0; len <= coded.size(); ++len) {
      ExpectSameDecode(coded.data(), len, static_cast<int32_t>(n), "truncated");
    }
  }
}

TEST(RangeCodecDamaged, EveryCapacity) {
  std::mt19937 rng(6);
  const Bytes in = Binary(rng, 700);
  const Bytes coded = EncodeFast(in);
  for (int32_t cap = -1; cap <= 702; ++cap)
    ExpectSameDecode(coded.data(), coded.size(), cap, "capacity");
}

TEST(RangeCodecDamaged, FlippedBits) {
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    const size_t n = rng() % 3000;
    Bytes coded = EncodeFast(round % 2 ? Text(rng, n) : Binary(rng, n));
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int f = 0; f < flips; ++f)
      coded[rng() % coded.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
    const size_t len = round % 3 == 0 ? rng() % (coded.size() + 1) : coded.size();
    const int32_t cap =
        round % 4 == 0 ? static_cast<int32_t>(rng() % (n + 1)) : static_cast<int32_t>(n + 64);
    ExpectSameDecode(coded.data(), len, cap, "flipped");
  }
}

TEST(RangeCodecDamaged, ArbitraryBytes) {
  std::mt19937 rng(8);
  for (int round = 0; round < 1500; ++round) {
    const size_t len = rng() % 200;
    const uint32_t alphabet = round % 3 == 0 ? 256 : 1 + rng() % 4;
    Bytes junk = Random(rng, len, alphabet);
    if (round % 5 == 0) {
      for (auto& b : junk) b = static_cast<uint8_t>(0xFF - b);
    }
    ExpectSameDecode(junk.data(), junk.size(), static_cast<int32_t>(rng() % 5000), "junk");
  }
  // Streams that never end on their own: they stop when the output is full.
  const Bytes zeros(100000, 0);
  ExpectSameDecode(zeros.data(), zeros.size(), 70000, "zeros");
  const Bytes ones(100000, 0xFF);
  ExpectSameDecode(ones.data(), ones.size(), 70000, "ones");
}

TEST(RangeCodecDamaged, SpliceOfTwoStreams) {
  std::mt19937 rng(9);
  for (int round = 0; round < 100; ++round) {
    const Bytes a = EncodeFast(Text(rng, 2000 + rng() % 2000));
    const Bytes b = EncodeFast(Binary(rng, 2000 + rng() % 2000));
    Bytes mixed(a.begin(), a.begin() + static_cast<long>(rng() % a.size()));
    mixed.insert(mixed.end(), b.begin() + static_cast<long>(rng() % b.size()), b.end());
    ExpectSameDecode(mixed.data(), mixed.size(), 10000, "splice");
  }
}

}  // namespace
}  // namespace zt4
