#include "codec/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "codec/crc32_internal.h"

#if ZT4_HAVE_SYSTEM_DIGESTS
#include <zlib.h>
#endif

namespace zt4 {
namespace {

using Crc32Path = uint32_t (*)(const void*, size_t, uint32_t);

struct NamedPath {
  const char* name;
  Crc32Path fn;
};

// Every path the tests can force, plus the one chosen at run time.
std::vector<NamedPath> Paths() {
  std::vector<NamedPath> paths = {{"Crc32", Crc32}, {"portable", crc32_internal::Crc32Portable}};
  if (crc32_internal::HaveClmul()) paths.push_back({"clmul", crc32_internal::Crc32Clmul});
  if (crc32_internal::HaveWideClmul())
    paths.push_back({"wide clmul", crc32_internal::Crc32WideClmul});
  return paths;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Lengths on both sides of every block size the paths use: 8 for the
// tables, 16 and 64 for the 128-bit folding, 256 and 512 for the wide one.
std::vector<size_t> BoundaryLengths() {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 1100; ++n) lengths.push_back(n);
  for (size_t block : {64u, 256u, 512u, 4096u}) {
    for (size_t k = 2; k <= 12; ++k) {
      for (size_t d = 0; d < 3; ++d) {
        lengths.push_back(k * block + d);
        lengths.push_back(k * block - 1 - d);
      }
      lengths.push_back(k * block + 15);
      lengths.push_back(k * block + 17);
    }
  }
  return lengths;
}

TEST(Crc32, CheckValues) {
  for (const NamedPath& p : Paths()) {
    EXPECT_EQ(p.fn("123456789", 9, 0), 0xCBF43926u) << p.name;
    EXPECT_EQ(p.fn("The quick brown fox jumps over the lazy dog", 43, 0), 0x414FA339u) << p.name;
    EXPECT_EQ(p.fn("a", 1, 0), 0xE8B7BE43u) << p.name;
    const std::vector<uint8_t> zeros(4096, 0);
    EXPECT_EQ(p.fn(zeros.data(), 32, 0), 0x190A55ADu) << p.name;
    const std::vector<uint8_t> ones(32, 0xFF);
    EXPECT_EQ(p.fn(ones.data(), 32, 0), 0xFF6CAB0Bu) << p.name;
  }
}

TEST(Crc32, EmptyGivesBackTheSeed) {
  for (const NamedPath& p : Paths()) {
    EXPECT_EQ(p.fn("", 0, 0), 0u) << p.name;
    EXPECT_EQ(p.fn("x", 0, 0x12345678u), 0x12345678u) << p.name;
    EXPECT_EQ(p.fn("x", 0, 0xFFFFFFFFu), 0xFFFFFFFFu) << p.name;
  }
}

TEST(Crc32, NullDataIsZero) {
  for (const NamedPath& p : Paths()) {
    EXPECT_EQ(p.fn(nullptr, 0, 0), 0u) << p.name;
    EXPECT_EQ(p.fn(nullptr, 100, 0x12345678u), 0u) << p.name;
    EXPECT_EQ(p.fn(nullptr, SIZE_MAX, 7), 0u) << p.name;
  }
}

TEST(Crc32, SeedContinuesOverTheNextPart) {
  const std::vector<uint8_t> data = RandomBytes(3000, 1);
  for (const NamedPath& p : Paths()) {
    const uint32_t whole = p.fn(data.data(), data.size(), 0);
    for (size_t cut = 0; cut <= data.size(); cut += (cut < 600 ? 1 : 97)) {
      const uint32_t first = p.fn(data.data(), cut, 0);
      ASSERT_EQ(p.fn(data.data() + cut, data.size() - cut, first), whole)
          << p.name << " cut " << cut;
    }
  }
}

TEST(Crc32, AllPathsAgreeAroundEveryBlockBoundary) {
  const std::vector<uint8_t> data = RandomBytes(64 * 1024 + 128, 2);
  // Offsets from a cache-line boundary, as the wide path starts at the first one.
  const uint8_t* line = data.data() + ((64 - reinterpret_cast<uintptr_t>(data.data()) % 64) % 64);
  const std::vector<NamedPath> paths = Paths();
  for (size_t n : BoundaryLengths()) {
    for (size_t offset : {0u, 1u, 3u, 13u, 63u}) {
      const uint8_t* p = line + offset;
      const uint32_t seed = static_cast<uint32_t>(n * 2654435761u);
      const uint32_t want = crc32_internal::Crc32Portable(p, n, seed);
#if ZT4_HAVE_SYSTEM_DIGESTS
      ASSERT_EQ(want, static_cast<uint32_t>(crc32(seed, p, static_cast<uInt>(n)))) << n;
#endif
      for (const NamedPath& path : paths)
        ASSERT_EQ(path.fn(p, n, seed), want) << path.name << " n=" << n;
    }
  }
}

TEST(Crc32, LargeBuffer) {
  std::vector<uint8_t> data = RandomBytes((3u << 20) + 123, 3);
  // Runs of equal bytes as well as noise.
  std::memset(data.data() + 100000, 0, 500000);
  std::memset(data.data() + 900000, 0xFF, 300000);
  const uint32_t want = crc32_internal::Crc32Portable(data.data(), data.size(), 0);
#if ZT4_HAVE_SYSTEM_DIGESTS
  EXPECT_EQ(want, static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
#endif
  for (const NamedPath& p : Paths()) EXPECT_EQ(p.fn(data.data(), data.size(), 0), want) << p.name;
}

TEST(Crc32, PathsAreReported) {
  // Only informative on a machine without the instructions; where the
  // processor has them the forced paths above really ran.
  if (!crc32_internal::HaveClmul()) GTEST_SKIP() << "no PCLMULQDQ here";
  if (!crc32_internal::HaveWideClmul()) GTEST_SKIP() << "no VPCLMULQDQ with AVX-512 here";
  SUCCEED();
}

}  // namespace
}  // namespace zt4
