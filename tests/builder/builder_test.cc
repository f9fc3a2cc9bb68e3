// The builder's pieces: the member order of an archive, names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cstring>

#include "base/heap.h"
#include "base/stream.h"
#include "builder/builder_fixture.h"
#include "common/files.h"
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

// Files copied and compared a piece at a time (4 MiB): contents with runs of zeros at the
// start, across pieces and at the end (skipped over when copied) come out the same, and
// a single byte changed anywhere, or a byte more, is a difference.
TEST(FilePieces, CopiesAndComparesAnySize) {
  test::TempFolder folder;
  const size_t piece = size_t{4} << 20;
  std::string mixed(2 * piece + 100, '\0');
  for (size_t i = piece; i < piece + 5000; ++i) mixed[i] = static_cast<char>(i * 31);
  const struct {
    const char* name;
    std::string content;
  } cases[] = {
      {"empty", ""},
      {"zeros", std::string(piece + 7, '\0')},
      {"mixed", mixed},
      {"text", std::string(piece - 1, 'x')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string from = folder / (std::string(c.name) + ".in");
    const std::string to = folder / (std::string("copies/") + c.name);
    ASSERT_TRUE(test::WriteFile(from, c.content));
    std::string error;
    ASSERT_TRUE(tool::CopyFile(from, to, &error)) << error;
    std::string copied;
    ASSERT_TRUE(test::ReadFile(to, &copied));
    EXPECT_TRUE(copied == c.content);
    bool same = false;
    ASSERT_TRUE(tool::SameFiles(from, to, &same, &error)) << error;
    EXPECT_TRUE(same);
    for (const std::string& other : {c.content + "x", c.content.empty() ? "y" : "y" + c.content.substr(1)}) {
      ASSERT_TRUE(test::WriteFile(to, other));
      ASSERT_TRUE(tool::SameFiles(from, to, &same, &error)) << error;
      EXPECT_FALSE(same);
    }
  }
  bool same = true;
  std::string error;
  EXPECT_FALSE(tool::SameFiles(folder / "missing", folder / "empty.in", &same, &error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

}  // namespace
}  // namespace zt4
