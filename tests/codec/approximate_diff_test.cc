// The approximate-match diff: the builder's encoder against the applier's decoder, on
// contents like compiled code (a block moved, addresses shifted all over), and what the
// decoder refuses.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/approximate_diff.h"
#include "codec/approximate_diff_encoder.h"

namespace zt4 {
namespace {

using Bytes = std::vector<uint8_t>;

// "Code": random instructions with a 4-byte address in every 16 bytes.
Bytes Program(std::mt19937& random, size_t size) {
  Bytes bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random() % 7 == 0 ? 0 : random());
  return bytes;
}

// The next version: a block inserted near the front, so that every address after it
// grows by the block's size, and a few bytes changed.
Bytes NextVersion(const Bytes& old, std::mt19937& random) {
  Bytes next(old.begin(), old.begin() + 1000);
  for (int i = 0; i < 300; ++i) next.push_back(static_cast<uint8_t>(random()));
  next.insert(next.end(), old.begin() + 1000, old.end());
  for (size_t at = 1300; at + 4 <= next.size(); at += 16) next[at] = static_cast<uint8_t>(next[at] + 44);
  next[next.size() / 2] ^= 0xFF;
  return next;
}

Bytes Apply(const Bytes& stream, const Bytes& reference, size_t size, bool* ok) {
  Bytes out(size);
  *ok = ApplyApproximateDiff(stream.data(), stream.size(), reference.data(), reference.size(),
                             out.data(), out.size());
  return out;
}

// The content a stream of the sparse form makes; empty when it is refused.
Bytes ApplySparse(const Bytes& sparse, const Bytes& reference, size_t size) {
  Bytes out(size);
  if (!ApplySparseDiff(sparse.data(), sparse.size(), reference.data(), reference.size(), out.data(),
                       out.size())) {
    return {};
  }
  return out;
}

TEST(ApproximateDiff, ShiftedCodeRoundTripsAsMostlyZeroDifferences) {
  std::mt19937 random(5);
  Bytes old = Program(random, 200000);
  Bytes next = NextVersion(old, random);
  Bytes stream = ApproximateDiff(old.data(), old.size(), next.data(), next.size());
  bool ok = false;
  EXPECT_EQ(Apply(stream, old, next.size(), &ok), next);
  EXPECT_TRUE(ok);
  // The shifted stretches are followed byte by byte: few controls, the inserted block
  // (and little more) as new bytes.
  uint32_t controls = stream[0] | stream[1] << 8 | stream[2] << 16 | stream[3] << 24;
  EXPECT_LT(controls, 20u);
  size_t zeros = 0;
  for (size_t i = kDiffHeaderBytes + kDiffControlBytes * controls; i < stream.size(); ++i) zeros += stream[i] == 0;
  EXPECT_GT(zeros, next.size() * 8 / 10);
}

TEST(ApproximateDiff, EdgeContentsRoundTrip) {
  std::mt19937 random(9);
  Bytes some = Program(random, 5000);
  const std::vector<std::pair<Bytes, Bytes>> cases = {
      {{}, {}}, {{}, some}, {some, {}}, {some, some}, {Bytes(3, 1), Bytes(7, 1)},
      {Bytes(100000, 0), Bytes(100003, 0)}, {some, Bytes(some.rbegin(), some.rend())}};
  for (const auto& [reference, content] : cases) {
    Bytes stream = ApproximateDiff(reference.data(), reference.size(), content.data(),
                                            content.size());
    bool ok = false;
    EXPECT_EQ(Apply(stream, reference, content.size(), &ok), content);
    EXPECT_TRUE(ok) << reference.size() << " -> " << content.size();
    EXPECT_EQ(ApplySparse(SparseDiff(stream), reference, content.size()), content);
  }
}

// The sparse form: stretches of zeros as LEB128 lengths, each followed by its byte.
TEST(ApproximateDiff, TheSparseFormStandsForTheDiff) {
  std::mt19937 random(3);
  Bytes old = Program(random, 100000);
  Bytes next = NextVersion(old, random);
  Bytes stream = ApproximateDiff(old.data(), old.size(), next.data(), next.size());
  Bytes sparse = SparseDiff(stream);
  EXPECT_EQ(ApplySparse(sparse, old, next.size()), next);
  EXPECT_LT(sparse.size(), stream.size() / 4);
  // One run of 200 bytes: 130 zeros, 0x05, 69 zeros; then the new bytes "xy".
  Bytes control = {1, 0, 0, 0, 200, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
  Bytes one = control;
  one.insert(one.end(), 130, 0);
  one.push_back(5);
  one.insert(one.end(), 69, 0);
  one.push_back('x');
  one.push_back('y');
  Bytes golden = control;
  for (uint8_t b : {0x82, 0x01, 0x05, 0x45, 0x78, 0x79}) golden.push_back(b);
  EXPECT_EQ(SparseDiff(one), golden);
  const Bytes reference(200, 7);
  bool ok = false;
  const Bytes made = Apply(one, reference, 202, &ok);
  EXPECT_EQ(made[130], 12);
  EXPECT_EQ(ApplySparse(golden, reference, 202), made);
  // Refused: a stretch past the runs, a byte of zero after a stretch, a length wider than
  // 32 bits, cut inside a length.
  auto with = [&](size_t at, std::initializer_list<uint8_t> bytes) {
    Bytes changed(golden.begin(), golden.begin() + static_cast<std::ptrdiff_t>(at));
    changed.insert(changed.end(), bytes);
    return changed;
  };
  for (const Bytes& refused : {with(16, {0xC9, 0x01}), with(16, {0x82, 0x01, 0x00, 0x45}),
                               with(16, {0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), with(16, {0x82})}) {
    EXPECT_EQ(ApplySparse(refused, reference, 202), Bytes());
  }
}

TEST(ApproximateDiff, AStreamOutOfShapeIsRefused) {
  std::mt19937 random(7);
  Bytes old = Program(random, 20000);
  Bytes next = NextVersion(old, random);
  Bytes stream = ApproximateDiff(old.data(), old.size(), next.data(), next.size());
  bool ok = true;
  Apply(stream, old, next.size() + 1, &ok);  // another size
  EXPECT_FALSE(ok);
  Apply(Bytes(stream.begin(), stream.end() - 1), old, next.size(), &ok);  // cut short
  EXPECT_FALSE(ok);
  Apply(stream, Bytes(old.begin(), old.begin() + old.size() / 2), next.size(), &ok);
  EXPECT_FALSE(ok);  // reaches past a shorter reference
  Bytes huge = stream;
  huge[0] = huge[1] = huge[2] = huge[3] = 0xFF;  // more controls than bytes
  Apply(huge, old, next.size(), &ok);
  EXPECT_FALSE(ok);
  Apply(Bytes{0, 0}, old, 0, &ok);
  EXPECT_FALSE(ok);
}

}  // namespace
}  // namespace zt4
