// The builder's pieces: the member order of an archive, names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cstring>

#include "base/heap.h"
#include "base/stream.h"
#include "builder/builder_fixture.h"
#include "common/index_records.h"
#include "common/names.h"
#include "zt4mkpatch/patch_builder.h"

namespace zt4 {
namespace {

builder::IndexRecord R(const char* name, uint32_t stored, uint32_t offset) {
  builder::IndexRecord record;
  record.name = name;
  record.storedSize = stored;
  record.offset = offset;
  return record;
}

std::vector<std::string> Names(const std::vector<builder::IndexRecord>& records) {
  std::vector<std::string> names;
  for (const auto& record : records) names.push_back(record.name);
  return names;
}

TEST(DataOrder, FollowsTheDataOffsets) {
  auto order = builder::DataOrder({R("/c", 5, 30), R("/a", 7, 16), R("/b", 7, 23)});
  EXPECT_EQ(Names(order), (std::vector<std::string>{"/a", "/b", "/c"}));
}

TEST(DataOrder, EmptyMembersStandBeforeTheDataAtTheirOffset) {
  // Index order lists a bucket newest first: "/e2" was added after "/e1".
  auto order = builder::DataOrder({R("/d", 5, 16), R("/e2", 0, 16), R("/e1", 0, 16)});
  EXPECT_EQ(Names(order), (std::vector<std::string>{"/e1", "/e2", "/d"}));
}

// The records of an archive held in memory, in file order.
bool RecordsOf(const std::string& bytes, std::vector<tool::IndexRecord>* records) {
  uint8_t* copy = AllocBlock(bytes.size());
  std::memcpy(copy, bytes.data(), bytes.size());
  auto* stream = new MemoryStream;
  stream->Attach(copy, static_cast<uint32_t>(bytes.size()), true);
  Archive archive;
  return tool::OpenWithRecords(stream, &archive, records);
}

TEST(IndexRecords, ReadTheRecordsInFileOrder) {
  // /b, /12, /a and /30 added in this order are listed /30, /12, /a, /b.
  std::string bytes = test::ArchiveBytes({{"/b", "bb"}, {"/12", "x"}, {"/a", ""}, {"/30", "3"}});
  std::vector<builder::IndexRecord> records;
  ASSERT_TRUE(RecordsOf(bytes, &records));
  EXPECT_EQ(Names(records), (std::vector<std::string>{"/30", "/12", "/a", "/b"}));
  EXPECT_EQ(Names(builder::DataOrder(records)),
            (std::vector<std::string>{"/b", "/12", "/a", "/30"}));
  EXPECT_FALSE(RecordsOf("not an archive at all", &records));
  EXPECT_TRUE(records.empty());
  // A memberless archive is refused, as the applier refuses it.
  EXPECT_FALSE(RecordsOf(test::ArchiveBytes({}), &records));
}

TEST(NameProblem, RefusesWhatTheApplierOrWindowsCannotHold) {
  EXPECT_EQ(tool::NameProblem("a/b.txt"), "");
  EXPECT_EQ(tool::NameProblem("\x83\x5C\x83\x74\x83\x67/\x95\x5C.bin"), "");  // 0x5C trails
  for (const char* bad :
       {"", "/abs", "a/../b", "c:x", "a\\b", "a/CON.txt", "dot./x", "x ", "a//b", "q?", "t\x01"}) {
    EXPECT_NE(tool::NameProblem(bad), "") << bad;
  }
}

TEST(FoldCase, FoldsAsciiLettersButNotTrailBytes) {
  EXPECT_EQ(tool::FoldCase("Data/PACK.zt4"), "data/pack.zt4");
  // 0x83 0x41 is one character ("ア"): its trail byte is not the letter A.
  EXPECT_EQ(tool::FoldCase("\x83\x41"
                              "A"),
            "\x83\x41"
            "a");
}

}  // namespace
}  // namespace zt4
