// The delta records' writer: golden records, the windowed scanner against the plain
// way, and round trips through the applier's own reader.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/heap.h"
#include "codec/range_codec.h"
#include "update/delta_writer.h"

namespace zt4 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Delta(const std::string& oldText, const std::string& newText) {
  Bytes o = B(oldText);
  Bytes n = B(newText);
  return DeltaPayload(o.data(), o.size(), n.data(), n.size());
}

// (offset, length) of each record.
std::vector<std::pair<uint32_t, uint32_t>> Records(const Bytes& payload) {
  std::vector<std::pair<uint32_t, uint32_t>> records;
  size_t at = 0;
  while (at + 8 <= payload.size()) {
    uint32_t offset = GetU32(payload.data() + at);
    uint32_t length = GetU32(payload.data() + at + 4);
    records.emplace_back(offset, length);
    at += 8 + length;
  }
  EXPECT_EQ(at, payload.size());
  return records;
}

using Runs = std::vector<std::pair<uint32_t, uint32_t>>;

TEST(DeltaPayload, AnUnchangedFileIsOneEmptyRecord) {
  EXPECT_EQ(Delta("same content", "same content"), Bytes(8, 0));
  EXPECT_EQ(Delta("", ""), Bytes(8, 0));
}

TEST(DeltaPayload, AFileBecomingEmptyOrCutShortNeedsNoData) {
  EXPECT_EQ(Delta("abc", ""), Bytes(8, 0));
  EXPECT_EQ(Delta("abcdef", "abc"), Bytes(8, 0));
}

TEST(DeltaPayload, ZerosBeyondTheOldEndNeedNoRecord) {
  EXPECT_EQ(Records(Delta("ab", std::string("ab\0\0\0", 5))), (Runs{{0, 0}}));
  EXPECT_EQ(Records(Delta("ab", std::string("ab\0\0x", 5))), (Runs{{4, 1}}));
}

TEST(DeltaPayload, RunsCloserThanARecordHeaderAreMerged) {
  std::string base(40, 'a');
  std::string seven = base;
  seven[5] = 'X';
  seven[13] = 'X';  // 7 equal bytes between the runs
  EXPECT_EQ(Records(Delta(base, seven)), (Runs{{5, 9}}));
  std::string eight = base;
  eight[5] = 'X';
  eight[14] = 'X';  // 8 equal bytes: two records cost the same, kept apart
  EXPECT_EQ(Records(Delta(base, eight)), (Runs{{5, 1}, {14, 1}}));
}

TEST(DeltaPayload, RandomEditsApplyBackToTheNewContent) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    Bytes o(random() % 3000);
    for (uint8_t& c : o) c = static_cast<uint8_t>(random() % 4);
    Bytes n = o;
    n.resize(random() % 3000, static_cast<uint8_t>(random() % 2));
    int edits = static_cast<int>(random() % 20);
    for (int e = 0; e < edits && !n.empty(); ++e)
      n[random() % n.size()] = static_cast<uint8_t>(random());
    Bytes payload = DeltaPayload(o.data(), o.size(), n.data(), n.size());
    Bytes applied;
    ASSERT_TRUE(ApplyDeltaPayload(payload, o.data(), o.size(), n.size(), &applied));
    ASSERT_EQ(applied, n) << "round " << round;
    EXPECT_LE(payload.size(), n.size() + 8 * (edits + 2));
  }
}

// The runs of differing bytes, merged when fewer than `gap` equal bytes apart, found the
// plain way: the reference the windowed scanner is checked against.
Bytes PlainDelta(const Bytes& o, const Bytes& n, size_t gap) {
  auto differs = [&](size_t i) { return (i < o.size() ? o[i] : 0) != n[i]; };
  std::vector<std::pair<size_t, size_t>> runs;
  for (size_t i = 0; i < n.size();) {
    if (!differs(i)) {
      ++i;
      continue;
    }
    size_t begin = i;
    while (i < n.size() && differs(i)) ++i;
    if (!runs.empty() && begin - runs.back().second < gap) {
      runs.back().second = i;
    } else {
      runs.emplace_back(begin, i);
    }
  }
  Bytes out;
  for (const auto& [begin, end] : runs) {
    uint8_t header[8];
    PutU32(header, static_cast<uint32_t>(begin));
    PutU32(header + 4, static_cast<uint32_t>(end - begin));
    out.insert(out.end(), header, header + 8);
    out.insert(out.end(), n.begin() + static_cast<std::ptrdiff_t>(begin),
               n.begin() + static_cast<std::ptrdiff_t>(end));
  }
  if (out.empty()) out.assign(8, 0);
  return out;
}

// A big file is scanned a window at a time: windows of any size, runs and merge gaps
// across their edges, give the records of the whole contents.
TEST(DeltaScanner, WindowsOfAnySizeGiveThePlainRecords) {
  std::mt19937 random(11);
  for (int round = 0; round < 300; ++round) {
    Bytes o(random() % 6000);
    for (uint8_t& c : o) c = static_cast<uint8_t>(random() % 3);
    Bytes n = o;
    n.resize(random() % 6000, static_cast<uint8_t>(random() % 2));
    for (int e = static_cast<int>(random() % 30); e > 0 && !n.empty(); --e) {
      n[random() % n.size()] = static_cast<uint8_t>(random());
    }
    for (size_t gap : {size_t{1}, size_t{8}, size_t{32}}) {
      DeltaScanner scanner(o.size(), gap);
      for (size_t at = 0; at < n.size();) {
        size_t window = std::min<size_t>(1 + random() % 700, n.size() - at);
        scanner.Feed(o.data() + std::min(at, o.size()), n.data() + at, window);
        at += window;
      }
      ASSERT_EQ(scanner.Finish(), PlainDelta(o, n, gap)) << "round " << round << " gap " << gap;
    }
  }
}

int32_t CodedSize(const Bytes& payload) {
  RangeCodec codec;
  int32_t coded = 0;
  FreeBlock(codec.CompressAlloc(payload.data(), static_cast<int32_t>(payload.size()), &coded));
  return coded;
}

TEST(DeltaPayload, TheSmallestCodesNoLargerAndAppliesBack) {
  std::mt19937 random(3);
  for (int round = 0; round < 20; ++round) {
    Bytes o(20000);
    for (uint8_t& c : o) c = static_cast<uint8_t>(random() % 8);
    Bytes n = o;
    // Edits a few bytes apart, as a rebuilt table's offsets are.
    for (size_t at = random() % 64; at < n.size(); at += 12 + random() % 20) n[at] ^= 0x40;
    Bytes plain = DeltaPayload(o.data(), o.size(), n.data(), n.size());
    Bytes smallest = SmallestDeltaPayload(o.data(), o.size(), n.data(), n.size());
    EXPECT_LE(CodedSize(smallest), CodedSize(plain)) << round;
    Bytes applied;
    ASSERT_TRUE(ApplyDeltaPayload(smallest, o.data(), o.size(), n.size(), &applied));
    EXPECT_EQ(applied, n) << round;
  }
}

}  // namespace
}  // namespace zt4
