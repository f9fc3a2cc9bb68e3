// SHA-1, as the digest text the update description states for every file: over a whole
// buffer in memory, or over a content handed over piece by piece.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt4 {

// Writes the 40 lowercase hexadecimal digits and a NUL into out; returns 40.
int Sha1Hex(const void* data, size_t len, char out[41]);

// The same digest as 20 raw bytes.
void Sha1Digest(const void* data, size_t len, uint8_t out[20]);

// The 40 lowercase hexadecimal digits of a raw digest, and a NUL.
void DigestHex(const uint8_t digest[20], char out[41]);
// The lowercase hexadecimal digits of `count` bytes, and a NUL.
void HexDigits(const uint8_t* bytes, size_t count, char* out);
// `count` bytes from the first 2 * `count` hexadecimal digits (either case) of `hex`;
// false when one is not a digit.
bool BytesFromHex(const char* hex, size_t count, uint8_t* out);
// The raw digest of 40 hexadecimal digits that end the text; false for any other text.
bool DigestFromHex(const char* hex, uint8_t out[20]);

// A digest of pieces: Update with each in turn, then Finish once.
class Sha1 {
 public:
  Sha1();
  // With a block function of its own (the tests choose the portable one).
  explicit Sha1(void (*blocks)(uint32_t h[5], const uint8_t* p, size_t blocks));
  void Update(const void* data, size_t len);
  void Finish(uint8_t out[20]);
  void FinishHex(char out[41]);

 private:
  void (*blocks_)(uint32_t h[5], const uint8_t* p, size_t blocks);
  uint32_t h_[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  uint8_t buffer_[64] = {};
  size_t buffered_ = 0;
  uint64_t length_ = 0;
};

}  // namespace zt4
