// The delta records' check on its own: the bytes of a payload and the new size decide,
// before anything is read from the disk or copied.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "support/patch_writer.h"
#include "update/delta.h"

namespace zt4 {
namespace {

bool Valid(const std::string& payload, int32_t newSize) {
  return ValidateDeltaRecords(reinterpret_cast<const uint8_t*>(payload.data()),
                              static_cast<int32_t>(payload.size()), newSize);
}

std::string Header(uint32_t offset, uint32_t length) {
  std::string out(8, '\0');
  PutU32(reinterpret_cast<uint8_t*>(out.data()), offset);
  PutU32(reinterpret_cast<uint8_t*>(out.data()) + 4, length);
  return out;
}

TEST(DeltaRecords, EmptyPayloadIsValidForAnySize) {
  EXPECT_TRUE(ValidateDeltaRecords(nullptr, 0, 0));
  EXPECT_TRUE(Valid("", 100));
}

TEST(DeltaRecords, RecordsWithinTheNewSize) {
  EXPECT_TRUE(Valid(test::Delta({{4, "NEW"}, {165, "tail"}}), 169));
  EXPECT_TRUE(Valid(test::Delta({{0, "12345678"}}), 8));         // exactly to the end
  EXPECT_TRUE(Valid(test::Delta({{8, ""}, {0, ""}}), 8));        // empty records, one at the end
  EXPECT_TRUE(Valid(test::Delta({{0, "abcd"}, {2, "XY"}}), 4));  // overlapping
}

TEST(DeltaRecords, RecordPastTheNewSizeIsRefused) {
  EXPECT_FALSE(Valid(test::Delta({{0, "123456789"}}), 8));
  EXPECT_FALSE(Valid(test::Delta({{9, ""}}), 8));
  EXPECT_FALSE(Valid(test::Delta({{0xFFFFFFFFu, "a"}}), 8));  // offset + length wraps
  EXPECT_FALSE(Valid(Header(0xFFFFFFF8u, 8) + "12345678", 0x7FFFFFFF));
}

TEST(DeltaRecords, CutHeaderIsRefused) {
  std::string good = test::Delta({{0, "ab"}});
  for (size_t cut = 1; cut < 8; ++cut) {
    EXPECT_FALSE(Valid(good + std::string(cut, '\0'), 16)) << cut;
    EXPECT_FALSE(Valid(good.substr(0, cut), 16)) << cut;
  }
}

TEST(DeltaRecords, DataPastThePayloadIsRefused) {
  EXPECT_FALSE(Valid(Header(0, 5) + "abcd", 16));
  EXPECT_FALSE(Valid(Header(0, 0x7FFFFFFF) + "abcd", 0x7FFFFFFF));
  EXPECT_FALSE(Valid(Header(0, 0x80000000u) + "abcd", 0x7FFFFFFF));
  EXPECT_FALSE(Valid(Header(0, 0xFFFFFFFFu) + "abcd", 0x7FFFFFFF));
}

TEST(DeltaRecords, NegativeSizesAreRefused) {
  EXPECT_FALSE(Valid("", -1));
  EXPECT_FALSE(Valid(test::Delta({{0, "a"}}), INT32_MIN));
  std::string payload = test::Delta({{0, "a"}});
  EXPECT_FALSE(ValidateDeltaRecords(reinterpret_cast<const uint8_t*>(payload.data()), -1, 8));
}

// Where the records end, learnt once per payload, answers the check for every new size
// as the check itself does: each payload of the table against sizes around its end.
TEST(DeltaRecords, WhereTheRecordsEndAnswersTheCheckForEverySize) {
  const std::vector<std::pair<std::string, int64_t>> payloads = {
      {"", 0},
      {test::Delta({{4, "NEW"}, {165, "tail"}}), 169},
      {test::Delta({{8, ""}, {0, ""}}), 8},
      {test::Delta({{0, "abcd"}, {2, "XY"}}), 4},
      {test::Delta({{10, "late"}, {0, "early"}}), 14},
      {test::Delta({{0xFFFFFFFFu, "a"}}), int64_t{0xFFFFFFFFu} + 1},
      {Header(0xFFFFFFF8u, 8) + "12345678", int64_t{0x100000000}},
      {Header(0, 5) + "abcd", -1},
      {test::Delta({{0, "ab"}}) + std::string(3, '\0'), -1},
      {Header(0, 0xFFFFFFFFu) + "abcd", -1},
  };
  for (const auto& [payload, end] : payloads) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(payload.data());
    const auto size = static_cast<int32_t>(payload.size());
    EXPECT_EQ(DeltaRecordsEnd(bytes, size), end) << payload.size();
    for (int64_t newSize : {int64_t{INT32_MIN}, int64_t{-1}, int64_t{0}, end - 1, end, end + 1,
                            int64_t{INT32_MAX}}) {
      if (newSize < INT32_MIN || newSize > INT32_MAX) continue;
      const auto n = static_cast<int32_t>(newSize);
      const int64_t found = DeltaRecordsEnd(bytes, size);
      EXPECT_EQ(found >= 0 && found <= n, ValidateDeltaRecords(bytes, size, n))
          << payload.size() << " " << n;
    }
  }
  EXPECT_EQ(DeltaRecordsEnd(nullptr, -1), -1);
}

// What the applier's loop hands on: every record in payload order, or none at all.
class Recorder final : public DeltaSink {
 public:
  void Put(uint32_t offset, const uint8_t* data, uint32_t length) override {
    puts.emplace_back(offset, std::string(reinterpret_cast<const char*>(data), length));
  }
  std::vector<std::pair<uint32_t, std::string>> puts;
};

TEST(DeltaRecords, AppliedInPayloadOrderOrNotAtAll) {
  const std::vector<std::pair<uint32_t, std::string>> records = {{2, "late"}, {0, "ab"}, {3, ""}};
  std::string payload = test::Delta(records);
  auto apply = [&](const std::string& bytes, int32_t newSize, Recorder* recorder) {
    return ApplyDeltaRecords(reinterpret_cast<const uint8_t*>(bytes.data()),
                             static_cast<int32_t>(bytes.size()), newSize, *recorder);
  };
  Recorder whole;
  EXPECT_TRUE(apply(payload, 6, &whole));
  EXPECT_EQ(whole.puts, records);
  Recorder refused;  // the first record fits, the payload is cut in the last header
  EXPECT_FALSE(apply(payload.substr(0, payload.size() - 1), 6, &refused));
  EXPECT_TRUE(refused.puts.empty());
  Recorder tooSmall;
  EXPECT_FALSE(apply(payload, 5, &tooSmall));
  EXPECT_TRUE(tooSmall.puts.empty());
}

}  // namespace
}  // namespace zt4
