// The range codec against the literal coder on arbitrary input.
//
// Input: byte 0 holds flags, bytes 1..2 a little-endian output capacity, to
// which flag 2 adds 65536 (room to pass the first rescale, at a cost: damaged
// streams may decode until the output is full), the rest is the payload. The payload is decoded as
// a stream into that capacity by both decoders, which must agree on the result and on every byte
// written; then it is coded by both encoders, which must give the same bytes (and the same failure
// for a tight capacity), and the fast decoder must give the payload back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "fuzz_check.h"
#include "codec/literal_codec.h"
#include "codec/range_codec.h"
#include "codec/range_codec_internal.h"

namespace {

using zt4::fuzz::Check;

uint8_t* Block(size_t n, uint8_t fill) {
  uint8_t* p = static_cast<uint8_t*>(std::malloc(n > 0 ? n : 1));
  Check(p != nullptr, "out of memory");
  std::memset(p, fill, n > 0 ? n : 1);
  return p;
}

// The output blocks of the fast coder and of the literal one, filled alike, so that any
// byte written differently shows.
struct Outputs {
  Outputs(int32_t cap, uint8_t fill)
      : fast(Block(static_cast<size_t>(cap), fill)), literal(Block(static_cast<size_t>(cap), fill)) {}
  ~Outputs() {
    std::free(literal);
    std::free(fast);
  }
  Outputs(const Outputs&) = delete;
  Outputs& operator=(const Outputs&) = delete;

  uint8_t* fast;
  uint8_t* literal;
};

struct Trickle {
  const uint8_t* src;
  int32_t len;
  int32_t at;
};

int32_t TrickleBytes(uint8_t* buffer, int32_t capacity, void* user) {
  auto* t = static_cast<Trickle*>(user);
  int32_t n = 1 + (t->at * 7 + t->len) % 5;  // a few bytes at a time, varying
  if (n > capacity) n = capacity;
  if (n > t->len - t->at) n = t->len - t->at;
  std::memcpy(buffer, t->src + t->at, static_cast<size_t>(n));
  t->at += n;
  return n;
}

// The same stream decoded in pieces, its coded bytes handed over a few at a time: the
// whole decode's bytes where it succeeded (`whole` of them), a failure or more than `cap`
// bytes where it failed.
void DecodeInPieces(const uint8_t* src, int32_t len, int32_t cap, int32_t whole,
                    const uint8_t* expected) {
  Trickle trickle{src, len, 0};
  zt4::RangeDecoder decoder(TrickleBytes, &trickle);
  uint8_t* out = Block(static_cast<size_t>(cap) + 1, 0);
  int32_t count = 0;
  bool failed = false;
  for (int32_t step = 1; !decoder.Ended() && !failed && count <= cap; ++step) {
    const int32_t room = cap + 1 - count < step % 11 ? cap + 1 - count : step % 11;
    const int32_t n = decoder.Next(out + count, room);
    failed = n < 0;
    if (n > 0) count += n;
  }
  if (whole >= 0) {
    Check(!failed && count == whole, "the decode in pieces differs in length");
    Check(whole == 0 || std::memcmp(out, expected, static_cast<size_t>(whole)) == 0,
          "the decode in pieces differs in bytes");
  } else {
    Check(failed || count > cap, "the decode in pieces takes a stream the whole decode refuses");
  }
  std::free(out);
}

void DecodeBoth(const uint8_t* payload, int32_t len, int32_t cap) {
  // Exactly sized copies, so reads or writes outside them are caught.
  uint8_t* src = Block(static_cast<size_t>(len), 0);
  if (len > 0) std::memcpy(src, payload, static_cast<size_t>(len));
  Outputs out(cap, 0x5A);
  uint8_t* fast = out.fast;
  zt4::RangeCodec codec;
  const int32_t a = codec.Decode(src, len, fast, cap);
  const int32_t b = zt4test::LiteralDecode(src, len, out.literal, cap);
  Check(a == b, "decoders disagree on the result");
  Check(a >= -1 && a <= cap, "decoded count out of range");
  Check(cap == 0 || std::memcmp(fast, out.literal, static_cast<size_t>(cap)) == 0,
        "decoders wrote different bytes");
  // Every walk the processor has, beside the fastest one.
  for (zt4::RangeDecoder::Walk walk : {zt4::RangeDecoder::Walk::kPortable,
                                       zt4::RangeDecoder::Walk::kVector256,
                                       zt4::RangeDecoder::Walk::kVector512}) {
    if (cap > 0) std::memset(out.literal, 0x5A, static_cast<size_t>(cap));
    const int32_t c = zt4::codec_internal::DecodeWhole(src, len, out.literal, cap, walk);
    Check(c == a, "the walks disagree on the result");
    Check(cap == 0 || std::memcmp(fast, out.literal, static_cast<size_t>(cap)) == 0,
          "the walks wrote different bytes");
  }
  // Beside itself, a symbol of each in turn, one side a few bytes ahead.
  Outputs twice(cap, 0x5A);
  int32_t results[2];
  zt4::codec_internal::DecodeTwoWhole({src, len, twice.fast, cap}, {src, len, twice.literal, cap},
                                      results, len % 23);
  Check(results[0] == a && results[1] == a, "two at once disagree on the result");
  Check(cap == 0 || (std::memcmp(fast, twice.fast, static_cast<size_t>(cap)) == 0 &&
                     std::memcmp(fast, twice.literal, static_cast<size_t>(cap)) == 0),
        "two at once wrote different bytes");
  DecodeInPieces(src, len, cap, a, fast);
  if (a >= 0) {
    // A stream that decoded is exactly what DecompressAlloc accepts.
    uint8_t* again = codec.DecompressAlloc(src, len, a);
    Check(again != nullptr, "DecompressAlloc rejects a good stream");
    Check(a == 0 || std::memcmp(again, fast, static_cast<size_t>(a)) == 0,
          "DecompressAlloc differs");
    std::free(again);
  }
  std::free(src);
}

void RoundTrip(const uint8_t* payload, int32_t len, int32_t tightCap) {
  const int32_t cap = 2 * len + 1024;
  Outputs out(cap, 0);
  uint8_t* fast = out.fast;
  zt4::RangeCodec codec;
  const int32_t a = codec.Encode(payload, len, fast, cap);
  Check(a == zt4test::LiteralEncode(payload, len, out.literal, cap),
        "encoders disagree on the length");
  Check(a >= 5, "coded stream too short");
  Check(std::memcmp(fast, out.literal, static_cast<size_t>(a)) == 0,
        "encoders wrote different bytes");

  // A tight output buffer: both fail, or both give the same bytes.
  const int32_t tight = tightCap < cap ? tightCap : cap;
  uint8_t* small = Block(static_cast<size_t>(tight), 0);
  const int32_t c = codec.Encode(payload, len, small, tight);
  Check(c == (a <= tight ? a : -1), "capacity failure differs");
  Check(c < 0 || std::memcmp(small, fast, static_cast<size_t>(c)) == 0, "tight encode differs");
  std::free(small);

  uint8_t* back = Block(static_cast<size_t>(len), 0);
  Check(codec.Decode(fast, a, back, len) == len, "round trip length");
  Check(len == 0 || std::memcmp(back, payload, static_cast<size_t>(len)) == 0, "round trip bytes");
  if (len > 0) Check(codec.Decode(fast, a, back, len - 1) == -1, "decode into one byte less");
  std::free(back);

  int32_t outLen = -1;
  uint8_t* block = codec.CompressAlloc(payload, len, &outLen);
  Check(block != nullptr && outLen == a && std::memcmp(block, fast, static_cast<size_t>(a)) == 0,
        "CompressAlloc differs");
  std::free(block);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3 || size > (1u << 20)) return 0;
  const uint8_t flags = data[0];
  const int32_t cap = (data[1] | (data[2] << 8)) + ((flags & 2) ? 0x10000 : 0);
  const uint8_t* payload = data + 3;
  const int32_t len = static_cast<int32_t>(size - 3);
  DecodeBoth(payload, len, cap);
  if ((flags & 1) == 0) RoundTrip(payload, len, cap);
  return 0;
}
