// The most a description may ask: its bytes, its records (members counted) and the
// contents its entries are made from. Each limit is met exactly and passed by one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "base/heap.h"
#include "codec/reference_codec.h"
#include "update/patch_list.h"
#include "update/patch_list_writer.h"
#include "update/parsed_list.h"

namespace zt4 {
namespace {

std::string Bytes(PatchListWriter& writer) {
  EXPECT_TRUE(writer.Ok());
  return std::string(reinterpret_cast<const char*>(writer.Data()), static_cast<size_t>(writer.Size()));
}

// The compact head around the records' frame (a fast level: the records are large).
std::string Compact(const std::string& records, int32_t budget = 1) {
  size_t frameSize = 0;
  uint8_t* frame = EncodeWithReference(reinterpret_cast<const uint8_t*>(records.data()),
                                       records.size(), nullptr, 0, 1, &frameSize);
  EXPECT_NE(frame, nullptr);
  PatchListWriter head;
  head.Int(kGroupMark).Text(kCompactMarker).Int(kCompactVersion).Int(budget);
  head.Int(static_cast<int32_t>(records.size()));
  if (frame) head.Raw(frame, static_cast<int32_t>(frameSize));
  FreeBlock(frame);
  return Bytes(head);
}

// Removed files, top-level: `records` of them.
std::string TopLevel(int32_t records) {
  PatchListWriter list;
  for (int32_t i = 0; i < records; ++i) list.Record(0, "a", 0, "", "", 0, "");
  return Bytes(list);
}

// One group of `members` members: with the group's own record, one more.
std::string Group(int32_t members) {
  PatchListWriter list;
  list.GroupBegin("p.zt4", 0, "");
  for (int32_t i = 0; i < members; ++i) list.Record(1, "", 0, "", "m", 0, "");
  list.GroupEnd();
  return Bytes(list);
}

// Compact entries naming `references` contents: sixteen to an entry, then the rest, and
// with `ownOldFile` one copy more that names its own old file without writing it.
std::string References(int32_t references, bool ownOldFile) {
  PatchListWriter records;
  ContentReference reference;
  reference.file = "a";
  reference.digest = "d";
  for (int32_t left = references; left > 0; left -= kMaxReferences) {
    const int32_t count = left < kMaxReferences ? left : kMaxReferences;
    records.Record(1, "", 0, "", "n", 0, "").Content(ContentMethod::kZstd, count);
    for (int32_t r = 0; r < count; ++r) records.Reference(reference);
  }
  if (ownOldFile) records.Record(0, "o", 0, "d", "o", 0, "d").Content(ContentMethod::kCopy, 0);
  return Compact(Bytes(records));
}

// The bytes of one record whose name field (old for a removed file, new for a folder)
// is `nameBytes` long, written directly: the name is too large to pass as a text.
std::string LongNamed(size_t nameBytes, bool folder) {
  std::string bytes;
  bytes.reserve(nameBytes + 40);
  auto integer = [&bytes](int32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
  };
  auto empty = [&bytes] { bytes.push_back('\0'); };
  auto name = [&bytes, nameBytes] { bytes.append(nameBytes, 'a').push_back('\0'); };
  integer(0);
  if (folder) {
    empty(), integer(0), empty(), name(), integer(0), empty();
    integer(static_cast<int32_t>(ContentMethod::kFolder)), integer(0);
  } else {
    name(), integer(0), empty(), empty(), integer(0), empty();
  }
  return bytes;
}

// A strict description of exactly `size` bytes: one removed file of a long name.
std::string StrictOfSize(int32_t size) {
  constexpr int32_t kFixed = 4 + 1 + 4 + 1 + 1 + 4 + 1;  // every field but the name's bytes
  return LongNamed(static_cast<size_t>(size - kFixed), false);
}

// A compact description whose records and own bytes together come to `total`: one
// folder of a long name; the frame's size is found by coding until it stays the same.
std::string CompactOfTotal(int64_t total) {
  constexpr int32_t kFixed = 4 + 1 + 4 + 1 + 1 + 4 + 1 + 4 + 4;
  std::string bytes;
  int64_t head = 64;
  for (int round = 0; round < 8; ++round) {
    bytes = Compact(LongNamed(static_cast<size_t>(total - head - kFixed), true));
    if (static_cast<int64_t>(bytes.size()) == head) return bytes;
    head = static_cast<int64_t>(bytes.size());
  }
  ADD_FAILURE() << "the frame's size did not settle";
  return bytes;
}

struct LimitCase {
  const char* name;
  std::string (*make)();
  bool accepted;
};

class DescriptionLimits : public testing::TestWithParam<LimitCase> {};

TEST_P(DescriptionLimits, AtTheLimitReadPastItRefused) {
  const LimitCase& c = GetParam();
  test::ParsedList parsed(c.make());
  EXPECT_EQ(parsed.head() != nullptr, c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DescriptionLimits,
    testing::Values(
        LimitCase{"RecordsAtTheLimit", [] { return TopLevel(kMostRecords); }, true},
        LimitCase{"RecordsPastTheLimit", [] { return TopLevel(kMostRecords + 1); }, false},
        LimitCase{"MembersAndTheirGroupAtTheLimit", [] { return Group(kMostRecords - 1); }, true},
        LimitCase{"MembersAndTheirGroupPastTheLimit", [] { return Group(kMostRecords); }, false},
        LimitCase{"ReferencesAtTheLimit", [] { return References(kMostReferences, false); }, true},
        LimitCase{"OwnOldFileCountsAsAReference",
                  [] { return References(kMostReferences - 1, true); }, true},
        LimitCase{"OwnOldFilePastTheLimit", [] { return References(kMostReferences, true); },
                  false},
        LimitCase{"StrictBytesPastTheLimit",
                  [] { return StrictOfSize(kMostDescriptionBytes + 1); }, false},
        LimitCase{"CompactBytesAndRecordsPastTheLimit",
                  [] { return CompactOfTotal(int64_t{kMostDescriptionBytes} + 1); }, false}),
    [](const testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zt4
