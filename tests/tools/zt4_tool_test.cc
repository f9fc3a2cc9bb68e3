// The zt4 tool end to end: the built program is run as a subprocess with its standard
// output and error sent to files, exactly as a script would use it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "archive/archive.h"
#include "base/bytes.h"
#include "base/heap.h"
#include "base/name_table.h"
#include "base/pool_string.h"
#include "codec/crc32.h"
#include "codec/range_codec.h"
#include "platform/platform.h"
#include "support/patch_writer.h"
#include "support/program_run.h"
#include "tools/tool_fixture.h"
#include "support/test_files.h"

#include <fstream>

namespace zt4::test {
namespace {

// CP932 names used below: 日本語.txt, and 表 and ソ, whose trail byte is 0x5C ('\').
const std::string kJapaneseName = "\x93\xFA\x96\x7B\x8C\xEA.txt";
const std::string kTrailFolder = "\x95\x5C";
const std::string kTrailFile = "\x83\x5C.bin";

using Zt4Tool = test::ToolTest;

using test::Members;

void WriteArchive(const std::string& path, const Members& members) {
  ASSERT_TRUE(test::WriteFile(path, test::ArchiveBytes(members)));
}

std::string ReadAll(const std::string& path) {
  std::string bytes;
  EXPECT_TRUE(test::ReadFile(path, &bytes)) << path;
  return bytes;
}

const test::Tree kSourceTree = {
    {"a", "abc"},
    {"empty", ""},
    {"sub/", ""},
    {"sub/x.txt", "hello, world\n"},
    {"sub/deeper/", ""},
    {"sub/deeper/zeros.bin", std::string("\0\0\x01\xFF\0", 5)},
    {kJapaneseName, "\x82\xA0\x82\xA2\x82\xA4"},
    {kTrailFolder + "/", ""},
    {kTrailFolder + "/" + kTrailFile, std::string(3000, 'q') + "tail"},
};

// The member names of kSourceTree's files, in ascending bytewise order.
std::vector<std::string> SortedMembers() {
  std::vector<std::string> names;
  for (const auto& [path, content] : kSourceTree) {
    if (path.back() != '/') names.push_back("/" + path);
  }
  std::sort(names.begin(), names.end());  // char_traits<char> compares as unsigned
  return names;
}

bool CollectName(const PoolString& key, int& /*payload*/, void* user) {
  static_cast<std::vector<std::string>*>(user)->push_back(key.Text());
  return true;
}

// The index order the writer gives members added in `added` order.
std::vector<std::string> IndexOrder(const std::vector<std::string>& added) {
  NameTable<int> table;
  for (const std::string& name : added) table.Set(PoolString(name.c_str()), 0);
  std::vector<std::string> order;
  table.ForEachEntry(CollectName, &order);
  return order;
}

// A backup cut after its first move, as a user's folder shows it: a.txt in BACKUP_FILES,
// the user's own config.ini (which the new version adds) still in the install. The update
// wrote nothing, so restore removes nothing: config.ini stays whole.
TEST_F(Zt4Tool, RestoreAfterACutBackupKeepsTheUsersFile) {
  ASSERT_TRUE(WriteTree(Path("OLD"), {{"a.txt", "v1\n"}}));
  ASSERT_TRUE(WriteTree(Path("NEW"), {{"a.txt", "v2\n"}, {"config.ini", "defaults\n"}}));
  Result made = RunProgram(BuiltProgram(ZT4MKPATCH_PATH),
                           {Arg("OLD"), Arg("NEW"), Arg("patch.zt4"), "--check"}, folder_.Path());
  ASSERT_EQ(made.status, 0) << made.err;
  ASSERT_TRUE(WriteTree(Path("INSTALL"), {{"config.ini", "mine\n"}, {"BACKUP_FILES/a.txt", "v1\n"}}));
  Result restored = Run({"restore", Arg("INSTALL"), Arg("patch.zt4")});
  EXPECT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(ReadTree(Path("INSTALL")), (Tree{{"a.txt", "v1\n"}, {"config.ini", "mine\n"}}));
}

TEST_F(Zt4Tool, CreateListVerifyExtractGivesBackTheTree) {
  ASSERT_TRUE(test::WriteTree(Path("src"), kSourceTree));
  ASSERT_EQ(test::ReadTree(Path("src")), kSourceTree);

  Result created = Run({"create", Arg("tree.zt4"), Arg("src")});
  ASSERT_EQ(created.status, 0) << created.err;
  EXPECT_EQ(created.err, "");

  // The file is exactly what the writer makes of the members in bytewise name order.
  Members sorted;
  for (const std::string& name : SortedMembers())
    sorted.emplace_back(name, kSourceTree.at(name.substr(1)));
  WriteArchive(Path("expected.zt4"), sorted);
  EXPECT_EQ(ReadAll(Path("tree.zt4")), ReadAll(Path("expected.zt4")));

  Result listed = Run({"list", Arg("tree.zt4")});
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.err, "");
  Archive archive;
  ASSERT_TRUE(archive.Open(PoolString(Path("tree.zt4").c_str())));
  std::vector<std::string> expectedLines;
  for (const std::string& name : IndexOrder(SortedMembers())) {
    const ArchiveEntry* entry = archive.Find(PoolString(name.c_str()));
    ASSERT_NE(entry, nullptr) << name;
    const std::string& content = kSourceTree.at(name.substr(1));
    EXPECT_EQ(entry->contentSize, content.size());
    EXPECT_EQ(entry->crc, content.empty() ? 0u : Crc32(content.data(), content.size(), 0));
    char fields[64];
    std::snprintf(fields, sizeof fields, "%u %u %u %08x ", static_cast<unsigned>(entry->offset),
                  static_cast<unsigned>(entry->storedSize),
                  static_cast<unsigned>(entry->contentSize), static_cast<unsigned>(entry->crc));
    expectedLines.push_back(fields + Native(name));
  }
  EXPECT_EQ(Lines(listed.out), expectedLines);

  Result verified = Run({"verify", Arg("tree.zt4")});
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_EQ(verified.err, "");

  Result extracted = Run({"extract", Arg("tree.zt4"), Arg("out/nested")});
  ASSERT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(extracted.err, "");
  EXPECT_EQ(test::ReadTree(Path("out/nested")), kSourceTree);
}

TEST_F(Zt4Tool, ExtractWritesOnlyTheNamedMembers) {
  ASSERT_TRUE(test::WriteTree(Path("src"), kSourceTree));
  ASSERT_EQ(Run({"create", Arg("tree.zt4"), Arg("src")}).status, 0);

  // A name with or without its leading '/'; the Japanese one in the system's text.
  Result result = Run({"extract", Arg("tree.zt4"), Arg("out"), "sub/x.txt",
                       Native("/" + kJapaneseName), Native(kTrailFolder + "/" + kTrailFile)});
  ASSERT_EQ(result.status, 0) << result.err;
  test::Tree expected = {
      {"sub/", ""},
      {"sub/x.txt", kSourceTree.at("sub/x.txt")},
      {kJapaneseName, kSourceTree.at(kJapaneseName)},
      {kTrailFolder + "/", ""},
      {kTrailFolder + "/" + kTrailFile, kSourceTree.at(kTrailFolder + "/" + kTrailFile)},
  };
  EXPECT_EQ(test::ReadTree(Path("out")), expected);

  Result missing = Run({"extract", Arg("tree.zt4"), Arg("out2"), "no-such-member"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("no-such-member"), std::string::npos) << missing.err;
  EXPECT_FALSE(test::Exists(Path("out2")));
}

TEST_F(Zt4Tool, RelativePathsAreTakenFromTheCurrentFolder) {
  ASSERT_TRUE(test::WriteTree(Path("src"), {{"a", "abc"}, {"sub/b", "b"}}));
  // The archive code alone would resolve a relative path against the program's folder.
  std::error_code error;
  const std::filesystem::path previous = std::filesystem::current_path(error);
  std::filesystem::current_path(std::filesystem::path(folder_.Path()), error);
  ASSERT_FALSE(error) << error.message();
  Result created = Run({"create", "rel.zt4", "src"});
  Result listed = Run({"list", "rel.zt4"});
  Result extracted = Run({"extract", "rel.zt4", "out"});
  std::filesystem::current_path(previous, error);
  EXPECT_EQ(created.status, 0) << created.err;
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(Lines(listed.out).size(), 2u) << listed.out;
  EXPECT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(test::ReadTree(Path("out")), test::ReadTree(Path("src")));
}

TEST_F(Zt4Tool, ListShowsEveryRecordInIndexOrder) {
  WriteArchive(Path("one.zt4"), {{"/a", "abc"}});
  Result one = Run({"list", Arg("one.zt4")});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out, "16 7 3 352441c2 /a\n");

  WriteArchive(Path("order.zt4"), {{"/b", "bbbb"}, {"/12", ""}, {"/a", "a"}, {"/30", "thirty"}});
  Result order = Run({"list", Arg("order.zt4")});
  ASSERT_EQ(order.status, 0) << order.err;
  std::vector<std::string> lines = Lines(order.out);
  ASSERT_EQ(lines.size(), 4u) << order.out;
  const char* expectedNames[] = {"/30", "/12", "/a", "/b"};
  std::map<std::string, std::vector<unsigned>> fieldsOf;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::istringstream fields(lines[i]);
    unsigned offset = 0, stored = 0, content = 0;
    std::string crc, name;
    fields >> offset >> stored >> content >> crc >> name;
    EXPECT_EQ(name, expectedNames[i]);
    EXPECT_EQ(crc.size(), 8u) << lines[i];
    EXPECT_EQ(crc.find_first_not_of("0123456789abcdef"), std::string::npos) << lines[i];
    fieldsOf[name] = {offset, stored, content};
  }
  // Data in the order added: /b, the empty /12 (no bytes), /a, /30.
  EXPECT_EQ(fieldsOf["/b"][0], 16u);
  EXPECT_EQ(fieldsOf["/b"][2], 4u);
  EXPECT_EQ(fieldsOf["/12"], (std::vector<unsigned>{16u + fieldsOf["/b"][1], 0u, 0u}));
  EXPECT_EQ(lines[1].substr(lines[1].size() - 13), " 00000000 /12");
  EXPECT_EQ(fieldsOf["/a"][0], fieldsOf["/12"][0]);
  EXPECT_EQ(fieldsOf["/30"][0], fieldsOf["/a"][0] + fieldsOf["/a"][1]);
  EXPECT_EQ(fieldsOf["/30"][2], 6u);
}

TEST_F(Zt4Tool, ListShowsARepeatedRecordTwice) {
  // An index naming /a twice: the reader keeps the later record, the list shows both.
  WriteArchive(Path("base.zt4"), {{"/a", "abc"}});
  std::string file = ReadAll(Path("base.zt4")).substr(0, 23);
  std::string index("\x02\0\0\0", 4);
  const std::string record1 = std::string("/a\0", 3) +
                              std::string("\x07\0\0\0\x03\0\0\0\x10\0\0\0", 12) +
                              std::string("\xC2\x41\x24\x35", 4);
  const std::string record2 = std::string("/a\0", 3) +
                              std::string("\x07\0\0\0\x03\0\0\0\x10\0\0\0", 12) +
                              std::string("\0\0\0\0", 4);
  index += record1 + record2;
  RangeCodec codec;
  int32_t codedSize = 0;
  uint8_t* coded = codec.CompressAlloc(reinterpret_cast<const uint8_t*>(index.data()),
                                       static_cast<int32_t>(index.size()), &codedSize);
  ASSERT_NE(coded, nullptr);
  file += std::string(reinterpret_cast<char*>(coded), static_cast<size_t>(codedSize));
  FreeBlock(coded);
  auto* header = reinterpret_cast<uint8_t*>(file.data());
  PutU32(header + 8, static_cast<uint32_t>(index.size()));
  PutU32(header + 12, Crc32(index.data(), index.size(), 0));
  ASSERT_TRUE(test::WriteFile(Path("twice.zt4"), file));

  Result listed = Run({"list", Arg("twice.zt4")});
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out, "16 7 3 352441c2 /a\n16 7 3 00000000 /a\n");
  // The later record, with its wrong CRC, is the one that counts.
  Result verified = Run({"verify", Arg("twice.zt4")});
  EXPECT_EQ(verified.status, 1);
  EXPECT_NE(verified.err.find("/a"), std::string::npos) << verified.err;
}

TEST_F(Zt4Tool, DamagedMemberFailsVerifyByName) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i) + "\n";
  WriteArchive(Path("d.zt4"),
               {{"/good", text}, {"/bad", text + "more"}, {"/" + kJapaneseName, text}});
  std::string file = ReadAll(Path("d.zt4"));
  uint32_t badOffset = 0, badStored = 0;
  {
    Archive archive;
    ASSERT_TRUE(archive.Open(PoolString(Path("d.zt4").c_str())));
    const ArchiveEntry* bad = archive.Find(PoolString("/bad"));
    ASSERT_NE(bad, nullptr);
    badOffset = bad->offset;
    badStored = bad->storedSize;
  }
  file[badOffset + badStored / 2] ^= 0x20;
  ASSERT_TRUE(test::WriteFile(Path("d.zt4"), file));

  Result verified = Run({"verify", Arg("d.zt4")});
  EXPECT_EQ(verified.status, 1);
  EXPECT_NE(verified.err.find("member /bad"), std::string::npos) << verified.err;
  EXPECT_EQ(verified.err.find("member /good"), std::string::npos) << verified.err;
  EXPECT_EQ(verified.err.find(Native("member /" + kJapaneseName)), std::string::npos);
  EXPECT_NE(verified.err.find("1 of 3 members damaged"), std::string::npos) << verified.err;

  // Extracting everything still writes the good members and fails for the bad one.
  Result extracted = Run({"extract", Arg("d.zt4"), Arg("out")});
  EXPECT_EQ(extracted.status, 1);
  EXPECT_NE(extracted.err.find("member /bad"), std::string::npos) << extracted.err;
  test::Tree expected = {{"good", text}, {kJapaneseName, text}};
  EXPECT_EQ(test::ReadTree(Path("out")), expected);
}

TEST_F(Zt4Tool, ExtractRefusesNamesOutsideTheFolder) {
  const std::vector<std::string> refused = {
      "/../evil", "/sub/../../evil2", "//abs", "/C:/drive", "/x:stream", "/sub\\..\\..\\evil3",
      "/..",      "/sub/./x",         "/dir/", "/...",      "/",
      // Device names, which Windows opens whatever folder and extension they stand in.
      "/CON",     "/sub/nul.txt",     "/LPT1.dat", "/conout$"};
  Members members = {{"/ok", "fine"}};
  // Contents long enough that the index stays shorter than the file, which readers need.
  for (const std::string& name : refused) members.emplace_back(name, std::string(40, 'b'));
  WriteArchive(Path("evil.zt4"), members);

  Result result = Run({"extract", Arg("evil.zt4"), Arg("out/inner")});
  EXPECT_EQ(result.status, 1);
  for (const std::string& name : refused) {
    EXPECT_NE(result.err.find("member " + name + ": refused"), std::string::npos) << name << "\n"
                                                                                  << result.err;
  }
  // Nothing is written when any name is refused.
  EXPECT_FALSE(test::Exists(Path("out/evil")));
  EXPECT_FALSE(test::Exists(Path("evil")));
  EXPECT_FALSE(test::Exists(Path("out/inner/ok")));
  EXPECT_TRUE(test::ReadTree(Path("out")).empty());

  // The safe member alone extracts.
  Result ok = Run({"extract", Arg("evil.zt4"), Arg("out/inner"), "/ok"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(test::ReadTree(Path("out/inner")), (test::Tree{{"ok", "fine"}}));
  Result evil = Run({"extract", Arg("evil.zt4"), Arg("out/inner"), "/../evil"});
  EXPECT_EQ(evil.status, 1);
  EXPECT_FALSE(test::Exists(Path("out/evil")));
}

TEST_F(Zt4Tool, MissingOrBrokenArchiveIsNamed) {
  for (const char* command : {"list", "verify"}) {
    Result result = Run({command, Arg("missing.zt4")});
    EXPECT_EQ(result.status, 1) << command;
    EXPECT_NE(result.err.find("missing.zt4"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
  Result extract = Run({"extract", Arg("missing.zt4"), Arg("out")});
  EXPECT_EQ(extract.status, 1);
  EXPECT_NE(extract.err.find("missing.zt4"), std::string::npos) << extract.err;
  EXPECT_FALSE(test::Exists(Path("out")));

  ASSERT_TRUE(test::WriteFile(Path("text.zt4"), "this is not an archive at all"));
  Result broken = Run({"list", Arg("text.zt4")});
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("text.zt4: not a readable archive"), std::string::npos) << broken.err;

  Result noFolder = Run({"create", Arg("new.zt4"), Arg("no-such-folder")});
  EXPECT_EQ(noFolder.status, 1);
  EXPECT_NE(noFolder.err.find("no-such-folder"), std::string::npos) << noFolder.err;
  EXPECT_FALSE(test::Exists(Path("new.zt4")));
}

TEST_F(Zt4Tool, CreateSkipsTheArchiveInsideItsFolder) {
  ASSERT_TRUE(test::WriteTree(Path("src"), {{"a", "abc"}}));
  ASSERT_EQ(Run({"create", Arg("src/self.zt4"), Arg("src")}).status, 0);
  Result again = Run({"create", Arg("src/self.zt4"), Arg("src")});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.err.find("self.zt4: skipped"), std::string::npos) << again.err;
  Result listed = Run({"list", Arg("src/self.zt4")});
  EXPECT_EQ(listed.out, "16 7 3 352441c2 /a\n");
}

TEST_F(Zt4Tool, CreateOfAnEmptyFolderWritesTheMemberlessArchive) {
  ASSERT_TRUE(test::WriteTree(folder_.Path(), {{"src/", ""}, {"src/nothing/", ""}}));
  Result result = Run({"create", Arg("e.zt4"), Arg("src")});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("no members"), std::string::npos) << result.err;
  EXPECT_EQ(ReadAll(Path("e.zt4")).size(), 23u);
}

TEST_F(Zt4Tool, CreateNamesAFileWhoseNameDoesNotConvert) {
  if (OsIsWindows()) GTEST_SKIP() << "every name the ANSI calls give converts";
  ASSERT_TRUE(test::WriteTree(Path("src"), {{"a", "abc"}}));
  // Bytes that are not UTF-8 at all: written with the OS's own names, not the platform.
  std::ofstream(std::filesystem::path(Path("src")) / "bad\xFFname") << "x";
  Result result = Run({"create", Arg("n.zt4"), Arg("src")});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("bad\\xFFname"), std::string::npos) << result.err;
  EXPECT_FALSE(test::Exists(Path("n.zt4")));
}

// A name in UTF-8 whose character Shift-JIS lacks: named by its own text, and refused.
TEST_F(Zt4Tool, CreateNamesAFileWhoseNameHasNoShiftJisForm) {
  if (OsIsWindows()) GTEST_SKIP() << "the name is written with the POSIX calls";
  ASSERT_TRUE(test::WriteTree(Path("src"), {{"a", "abc"}}));
  std::ofstream(std::filesystem::path(Path("src")) / "Caf\xC3\xA9") << "x";
  Result result = Run({"create", Arg("n.zt4"), Arg("src")});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("src/Caf\xC3\xA9: the name has a character without a Shift-JIS"),
            std::string::npos)
      << result.err;
  EXPECT_FALSE(test::Exists(Path("n.zt4")));
}

TEST_F(Zt4Tool, HelpAndUsage) {
  Result help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* command : {"list", "extract", "create", "verify"}) {
    EXPECT_NE(help.out.find(std::string("zt4 ") + command + " "), std::string::npos) << command;
  }
  Result bare = Run({});
  EXPECT_EQ(bare.status, 1);
  EXPECT_NE(bare.err.find("usage"), std::string::npos);
  Result unknown = Run({"frobnicate"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("frobnicate"), std::string::npos);
  Result wrongCount = Run({"list"});
  EXPECT_EQ(wrongCount.status, 1);
  EXPECT_NE(wrongCount.err.find("usage: zt4 list ARCHIVE"), std::string::npos) << wrongCount.err;
}

}  // namespace
}  // namespace zt4::test
