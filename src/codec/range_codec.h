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

}  // namespace zt4
