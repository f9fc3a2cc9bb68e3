// The adaptive order-0 range codec that codes every byte string stored in an
// archive. The output is part of the archive format: every byte is fixed.
#pragma once

#include <cstdint>

namespace zt4 {

class Codec {
 public:
  // Both return the number of bytes written, or -1.
  virtual int32_t Encode(const uint8_t* src, int32_t srcLen, uint8_t* dst, int32_t dstCap) = 0;
  virtual int32_t Decode(const uint8_t* src, int32_t srcLen, uint8_t* dst, int32_t dstCap) = 0;

  // A std::malloc block of 2*n + 1024 bytes holding the coded bytes, or null.
  // *outLen receives the coded length (0 on failure). The caller frees it.
  uint8_t* CompressAlloc(const uint8_t* src, int32_t n, int32_t* outLen);
  // A std::malloc block of exactly `expected` decoded bytes, or null when the
  // stream is damaged or decodes to any other length. The caller frees it.
  uint8_t* DecompressAlloc(const uint8_t* src, int32_t srcLen, int32_t expected);

 protected:
  Codec() = default;
  Codec(const Codec&) = default;
  Codec& operator=(const Codec&) = default;
  // Codecs are never deleted through this interface.
  ~Codec() = default;
};

// Stateless: one object may be used for any number of calls.
class RangeCodec final : public Codec {
 public:
  int32_t Encode(const uint8_t* src, int32_t srcLen, uint8_t* dst, int32_t dstCap) override;
  int32_t Decode(const uint8_t* src, int32_t srcLen, uint8_t* dst, int32_t dstCap) override;
};

// Decodes one coded string a piece at a time, so that neither its coded nor its decoded
// bytes need be held whole: the coded bytes come whole or from a source in pieces, the
// decoded bytes go out in pieces of any size. The bytes and the verdict are those of
// RangeCodec::Decode, which is this decoder over the whole string.
class RangeDecoder {
 public:
  // Puts up to `capacity` more coded bytes into `buffer`: their count, 0 at the end of
  // the string, -1 when they cannot be had.
  using Source = int32_t (*)(uint8_t* buffer, int32_t capacity, void* user);

  // How the model is searched: the fastest way this processor has, or one named (the
  // tests hold each to the others). All give the same bytes and verdicts; a vector walk
  // the processor lacks is the portable one.
  enum class Walk { kFastest, kPortable, kVector256, kVector512 };

  RangeDecoder(const uint8_t* coded, int32_t size, Walk walk = Walk::kFastest);
  RangeDecoder(Source source, void* user, Walk walk = Walk::kFastest);
  ~RangeDecoder();
  RangeDecoder(const RangeDecoder&) = delete;
  RangeDecoder& operator=(const RangeDecoder&) = delete;

  // Up to `capacity` decoded bytes into `out`: their count, which is less than asked only
  // where the string ends; -1 once the coded bytes are found damaged or cut short.
  int32_t Next(uint8_t* out, int32_t capacity);
  // The end of the string has been decoded (after a call that returned fewer bytes than
  // asked, or none with a capacity of 0).
  bool Ended() const { return ended_; }

  // Decodes two strings at once, a symbol of each in turn, so that one core works on both:
  // each symbol waits only on the one before it in its own string. Stops where either
  // needs what only Next does (to start, its next coded piece, its last few bytes, its end,
  // more room) and leaves that to Next; *countA and *countB receive the bytes written.
  static void NextTwo(RangeDecoder& a, uint8_t* outA, int32_t capacityA, int32_t* countA,
                      RangeDecoder& b, uint8_t* outB, int32_t capacityB, int32_t* countB);

 private:
  static constexpr int32_t kInputBytes = 1 << 16;

  bool Refill();
  bool Start();
  void StartModel(Walk walk);
  template <class Model>
  int32_t NextWith(uint8_t* out, int32_t capacity);
  int32_t NextVector256(uint8_t* out, int32_t capacity);
  int32_t NextVector512(uint8_t* out, int32_t capacity);
  template <class Model>
  static void TwoWith(RangeDecoder& a, uint8_t* outA, int32_t capacityA, int32_t* countA,
                      RangeDecoder& b, uint8_t* outB, int32_t capacityB, int32_t* countB);
  static void TwoVector256(RangeDecoder& a, uint8_t* outA, int32_t capacityA, int32_t* countA,
                           RangeDecoder& b, uint8_t* outB, int32_t capacityB, int32_t* countB);
  static void TwoVector512(RangeDecoder& a, uint8_t* outA, int32_t capacityA, int32_t* countA,
                           RangeDecoder& b, uint8_t* outB, int32_t capacityB, int32_t* countB);

  alignas(64) unsigned char model_[1216];  // the adaptive model, laid out in range_codec.cc
  Walk walk_ = Walk::kPortable;            // never kFastest: it tells model_'s layout
  Source source_ = nullptr;
  void* user_ = nullptr;
  const uint8_t* in_ = nullptr;
  const uint8_t* inEnd_ = nullptr;
  uint32_t code_ = 0;
  uint32_t low_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
  bool started_ = false;
  bool ended_ = false;
  bool failed_ = false;
  bool sourceDone_ = false;
  uint8_t* buffer_ = nullptr;  // the pieces from a source, kInputBytes
};

}  // namespace zt4
