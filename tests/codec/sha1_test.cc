#include "codec/sha1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/sha1_internal.h"

#if ZT4_HAVE_SYSTEM_DIGESTS
#include <openssl/evp.h>
#endif

namespace zt4 {
namespace {

using DigestFn = void (*)(const void*, size_t, uint8_t*);

struct NamedPath {
  const char* name;
  DigestFn fn;
};

std::vector<NamedPath> Paths() {
  std::vector<NamedPath> paths = {{"Sha1Digest", Sha1Digest},
                                  {"portable", sha1_internal::Sha1DigestPortable}};
  if (sha1_internal::HaveShaInstructions())
    paths.push_back({"sha-ni", sha1_internal::Sha1DigestShaNi});
  return paths;
}

std::string Hex(const uint8_t d[20]) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < 20; ++i) {
    s += kHex[d[i] >> 4];
    s += kHex[d[i] & 15];
  }
  return s;
}

std::string HexOf(DigestFn fn, const void* data, size_t len) {
  uint8_t d[20];
  fn(data, len, d);
  return Hex(d);
}

std::string Sha1HexString(const void* data, size_t len) {
  char out[41];
  std::memset(out, 'X', sizeof out);
  EXPECT_EQ(Sha1Hex(data, len, out), 40);
  EXPECT_EQ(out[40], '\0');
  return std::string(out);
}

#if ZT4_HAVE_SYSTEM_DIGESTS
std::string LibraryHex(const void* data, size_t len) {
  uint8_t d[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EXPECT_EQ(EVP_Digest(data, len, d, &n, EVP_sha1(), nullptr), 1);
  EXPECT_EQ(n, 20u);
  return Hex(d);
}
#endif

TEST(Sha1, PublishedVectors) {
  const std::string million(1000000, 'a');
  const struct {
    std::string in;
    const char* want;
  } cases[] = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"The quick brown fox jumps over the lazy dog", "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12"},
      {million, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sha1HexString(c.in.data(), c.in.size()), c.want);
    for (const NamedPath& p : Paths())
      EXPECT_EQ(HexOf(p.fn, c.in.data(), c.in.size()), c.want) << p.name;
  }
}

TEST(Sha1, NullWithZeroLength) {
  EXPECT_EQ(Sha1HexString(nullptr, 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1, PathsAgreeAroundEveryBlockBoundary) {
  std::mt19937 rng(1);
  std::vector<uint8_t> data(64 * 40 + 16);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 64 * 6; ++n) lengths.push_back(n);
  for (size_t k = 7; k <= 40; ++k) {
    for (size_t d : {0u, 1u, 55u, 56u, 63u}) lengths.push_back(k * 64 - 64 + d);
  }
  const std::vector<NamedPath> paths = Paths();
  for (size_t n : lengths) {
    for (size_t offset : {0u, 3u}) {
      const uint8_t* p = data.data() + offset;
      const std::string want = HexOf(sha1_internal::Sha1DigestPortable, p, n);
#if ZT4_HAVE_SYSTEM_DIGESTS
      ASSERT_EQ(want, LibraryHex(p, n)) << n;
#endif
      ASSERT_EQ(Sha1HexString(p, n), want) << n;
      for (const NamedPath& path : paths)
        ASSERT_EQ(HexOf(path.fn, p, n), want) << path.name << " n=" << n;
    }
  }
}

// A content handed over in pieces of every awkward size gives the one-shot digest.
TEST(Sha1, PiecesGiveTheWholeDigest) {
  std::mt19937 rng(2);
  std::vector<uint8_t> data(64 * 9 + 7);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t n : {size_t{0}, size_t{55}, size_t{64}, size_t{119}, data.size()}) {
    const std::string want = HexOf(sha1_internal::Sha1DigestPortable, data.data(), n);
    for (size_t piece : {size_t{1}, size_t{7}, size_t{63}, size_t{64}, size_t{65}, size_t{200}}) {
      Sha1 sha;
      for (size_t at = 0; at < n; at += piece) sha.Update(data.data() + at, std::min(piece, n - at));
      char out[41];
      sha.FinishHex(out);
      ASSERT_EQ(std::string(out), want) << n << " in pieces of " << piece;
    }
  }
}

TEST(Sha1, PaddingEdges) {
  // 55 bytes leave room for the length in the last block; 56 to 63 need
  // another block.
  const std::string s55(55, 'a');
  const std::string s56(56, 'a');
  const std::string s63(63, 'a');
  const std::string s64(64, 'a');
  EXPECT_EQ(Sha1HexString(s55.data(), 55), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
  EXPECT_EQ(Sha1HexString(s56.data(), 56), "c2db330f6083854c99d4b5bfb6e8f29f201be699");
  EXPECT_EQ(Sha1HexString(s63.data(), 63), "03f09f5b158a7a8cdad920bddc29b81c18a551f5");
  EXPECT_EQ(Sha1HexString(s64.data(), 64), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
}

TEST(Sha1, LengthWithAHighWord) {
  // 2^29 bytes are 2^32 bits: the high word of the length field becomes 1.
  const size_t n = size_t{1} << 29;
  uint8_t* zeros = static_cast<uint8_t*>(std::calloc(n + 1, 1));
  ASSERT_NE(zeros, nullptr);
  EXPECT_EQ(Sha1HexString(zeros, n), "5b088492c9f4778f409b7ae61477dec124c99033");
  EXPECT_EQ(Sha1HexString(zeros, n + 1), "3e1bb536d18494c32e66ef9f479d65bbe0d863de");
  std::free(zeros);
}

}  // namespace
}  // namespace zt4
