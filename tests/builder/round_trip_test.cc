// Old install -> patch -> the applier's passes on a copy of the old install: the result
// equals the new install and the backup folder equals the old one.
#include <gtest/gtest.h>

#include "platform/platform.h"

#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "builder/builder_fixture.h"
#include "builder/install_generator.h"
#include "codec/crc32.h"
#include "codec/range_codec.h"
#include "support/sample_install.h"
#include "update/operations.h"
#include "archive/mount.h"
#include "support/scripted_platform.h"
#include "update/phases.h"
#include "support/test_files.h"
#include "common/files.h"
#include "common/index_records.h"
#include "base/heap.h"

namespace zt4 {
namespace {

using test::ArchiveBytes;
using test::BuildCase;
using test::Members;
using test::Tree;

using test::kData;
using test::kHyou;
using test::kNouryoku;
using test::kSoft;
using test::Text;

// A summary's counts in one row: changed (unchanged among them), added, removed,
// archives rebuilt, members carried over, archives shipped as files, warnings.
std::vector<int> Counts(const builder::BuildSummary& s) {
  return {s.changed,        s.unchanged,       s.added, s.removed, s.groups,
          s.membersCarried, s.archivesAsFiles, static_cast<int>(s.warnings.size())};
}

// Every round trip is made with both forms of patch: the parameter says strict.
class RoundTrip : public testing::TestWithParam<bool> {
 protected:
  bool Strict() const { return GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(Formats, RoundTrip, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Strict" : "Compact";
                         });

TEST_P(RoundTrip, PlainFilesOfEveryKind) {
  Tree oldTree = {
      {"same.txt", "unchanged"},
      {"changed.txt", "the quick brown fox"},
      {"grows.bin", "abc"},
      {"shrinks.bin", "abcdefghij"},
      {"becomes-empty", "something"},
      {"was-empty", ""},
      {"stays-empty", ""},
      {"removed.txt", "bye"},
      {Text(kSoft, "/") + kHyou + ".txt", "sjis"},
      {"sub/deeper/file", "deep"},
  };
  Tree newTree = {
      {"same.txt", "unchanged"},
      {"changed.txt", "the quick green fox"},
      {"grows.bin", std::string("abcdef\0\0\0x", 10)},
      {"shrinks.bin", "abcd"},
      {"becomes-empty", ""},
      {"was-empty", "now full"},
      {"stays-empty", ""},
      {"added/new.txt", "hello"},
      {Text(kSoft, "/") + kHyou + ".txt", "sjis 2"},
      {Text(kNouryoku, "/") + kData, ""},
      {"sub/deeper/file", "deep"},
  };
  BuildCase c(oldTree, newTree, Strict());
  c.RoundTrip();
  EXPECT_EQ(Counts(c.Summary()), (std::vector<int>{9, 3, 2, 1, 0, 0, 0, 0}));
}

// The install the driver and Wine tests run on: its patch made by the builder this time.
TEST_P(RoundTrip, TheBundledSample) {
  test::SampleInstall sample = test::MakeSampleInstall();
  BuildCase c(sample.oldTree, sample.newTree, Strict());
  c.RoundTrip();
  EXPECT_TRUE(c.Summary().warnings.empty());
}

TEST_P(RoundTrip, ArchivesWithMembersAddedRemovedChangedAndReordered) {
  Members v1 = {{"/a.bin", "alpha"},
                {"/b.bin", "bravo"},
                {"/empty", ""},
                {Text("/", kHyou), "hyou"},
                {"/c.bin", std::string(5000, 'c')}};
  Members v2 = {
      {"/c.bin", std::string(5000, 'c')}, {"/new", "n"}, {"/empty", ""}, {"/a.bin", "ALPHA"},
      {Text("/", kHyou), "hyou"},         {"/zero2", ""}};
  Tree oldTree = {
      {"pack.zt4", ArchiveBytes(v1)},
      {"same.zt4", ArchiveBytes(v1)},
      {"gone.zt4", ArchiveBytes({{"/x", "x"}})},
      {Text(kSoft, "/inner.zt4"), ArchiveBytes(v1)},
      {"plain.txt", "p"},
  };
  Tree newTree = {
      {"pack.zt4", ArchiveBytes(v2)},
      {"same.zt4", ArchiveBytes(v1)},
      {"fresh.zt4", ArchiveBytes({{"/f", "fresh"}, {"/g", ""}})},
      {Text(kSoft, "/inner.zt4"), ArchiveBytes(v2)},
      {"sub/deep/archive.zt4", ArchiveBytes(v1)},
      {"plain.txt", "p"},
  };
  BuildCase c(oldTree, newTree, Strict());
  c.RoundTrip();
  // Carried: same.zt4 all 5, pack.zt4 and inner.zt4 3 each (/c.bin, /empty, /hyou).
  // A compact patch also copies the members of an archive new in this version, and
  // empty ones from any empty content.
  EXPECT_EQ(Counts(c.Summary()), (std::vector<int>{1, 1, 0, 1, 5, Strict() ? 11 : 19, 0, 0}));
}

TEST_P(RoundTrip, AnUnchangedArchiveNeedsNoPayload) {
  Members members = {{"/a", "a"}, {"/b", ""}, {"/c", "c"}};
  BuildCase c({{"data.zt4", ArchiveBytes(members)}}, {{"data.zt4", ArchiveBytes(members)}}, Strict());
  c.RoundTrip();
  EXPECT_EQ(c.Summary().membersCarried, 3);
  EXPECT_EQ(c.Summary().payloads, 0);
}

TEST_P(RoundTrip, APlainFileAtTheMemberAddressDecidesTheCarryOver) {
  // The applier looks for data/a as a plain file first: different content there means
  // the member must come from the patch; the same content may be carried over.
  Members members = {{"/a", "member a"}, {"/b", "member b"}};
  Tree oldTree = {
      {"data.zt4", ArchiveBytes(members)}, {"data/a", "plain a"}, {"data/b", "member b"}};
  Tree newTree = {{"data.zt4", ArchiveBytes(members)}};
  BuildCase c(oldTree, newTree, Strict());
  c.RoundTrip();
  // A compact patch names the member itself, whatever plain file shares its address.
  EXPECT_EQ(c.Summary().membersCarried, Strict() ? 1 : 2);
  EXPECT_EQ(c.Summary().membersFromPatch, Strict() ? 1 : 0);
}

// The address of a strict carry-over cannot name them; a compact patch names the member.
TEST_P(RoundTrip, MembersInsideFoldersComeFromThePatchOrAreNamed) {
  Members members = {{"/dir/x", "x"}, {"//y", "y"}, {"/", "root"}, {"/z", "z"}};
  BuildCase c({{"a.zt4", ArchiveBytes(members)}}, {{"a.zt4", ArchiveBytes(members)}}, Strict());
  c.RoundTrip();
  EXPECT_EQ(c.Summary().membersCarried, Strict() ? 1 : 4);
  EXPECT_EQ(c.Summary().membersFromPatch, Strict() ? 3 : 0);
}

TEST_P(RoundTrip, AnArchiveWithoutMembersIsRebuiltToo) {
  BuildCase c({{"keep.txt", "k"}}, {{"keep.txt", "k"}, {"none.zt4", ArchiveBytes({})}}, Strict());
  c.RoundTrip();
  EXPECT_EQ(c.Summary().groups, 1);
}

// A file moved, renamed or copied is rebuilt from its old file: a change record, not the
// whole content again.
TEST_P(RoundTrip, MovedRenamedAndCopiedFilesComeFromTheirOldFile) {
  std::string big;
  std::mt19937 random(11);
  for (int i = 0; i < 100000; ++i) big += static_cast<char>(random());
  std::string edited = big;
  edited.replace(500, 5, "EDIT!");
  BuildCase c({{"keep", "k"}, {"data/big.bin", big}, {"data/level.dat", big.substr(0, 50000)}},
              {{"keep", "k"},
               {"renamed.bin", big},                           // same content, other name
               {"copy/big.bin", big},                          // and a second copy of it
               {"moved/level.dat", edited.substr(0, 50000)}}, Strict());  // moved and edited
  c.RoundTrip();
  if (Strict()) {
    EXPECT_EQ(c.Summary().rebased, 3);
    EXPECT_EQ(c.Summary().added, 0);
  } else {
    EXPECT_EQ(c.Summary().copies, 3);  // "keep", the renamed and the copied file
    EXPECT_EQ(c.Summary().frames, 1);  // the moved and edited one, against its old file
    EXPECT_GE(c.Summary().references, 1);
  }
  EXPECT_LT(c.Summary().payloadBytes, 1000u);
}

// Compiled code whose addresses all shifted: a compact patch carries it as an
// approximate-match diff, in a plain file and in an archive member alike.
TEST_P(RoundTrip, ShiftedBinaryCodeIsCarriedAsADiff) {
  std::mt19937 random(3);
  std::string old(120000, '\0');
  for (char& c : old) c = static_cast<char>(random() % 5 == 0 ? 0 : random());
  std::string next = old.substr(0, 500) + std::string(64, 'N') + old.substr(500);
  for (size_t at = 600; at < next.size(); at += 16) next[at] = static_cast<char>(next[at] + 64);
  BuildCase c({{"game.exe", old}, {"data.zt4", ArchiveBytes({{"/code.bin", old}})}},
              {{"game.exe", next}, {"data.zt4", ArchiveBytes({{"/code.bin", next}})}}, Strict());
  c.RoundTrip();
  if (!Strict()) {
    EXPECT_EQ(c.Summary().diffs, 1);  // one payload serves both
    EXPECT_LT(c.Summary().patchBytes, 20000u);
  }
}

// A program (PE x86-64) whose code moved in a new build: its calls into code that stayed
// change their relative bytes; a compact patch codes it with the targets made absolute,
// and the applier makes it back byte for byte, as a file and as an archive member.
TEST_P(RoundTrip, AProgramIsCodedWithItsBranchTargetsMadeAbsolute) {
  auto build = [](size_t moved) {
    std::string exe(256, '\0');
    exe.replace(0, 2, "MZ");
    exe[60] = static_cast<char>(0x80);
    exe.replace(0x80, 6, std::string("PE\0\0\x64\x86", 6));
    std::mt19937 same(9);  // the code is the same but for where it stands
    exe += std::string(moved, '\xCC');
    for (int n = 0; n < 6000; ++n) {
      const uint32_t target = 0x30000 + (same() % 64) * 0x100;
      const auto rel = target - static_cast<uint32_t>(exe.size() + 5);
      exe += '\xE8';
      for (int i = 0; i < 4; ++i) exe += static_cast<char>(rel >> (8 * i));
      for (int i = 0; i < 3; ++i) exe += static_cast<char>(same());
    }
    exe.resize(0x30000 + 0x4000, '\xC3');
    return exe;
  };
  const std::string old = build(0);
  const std::string next = build(40);
  BuildCase c({{"game.exe", old}, {"data.zt4", ArchiveBytes({{"/game.exe", old}})}},
              {{"game.exe", next}, {"data.zt4", ArchiveBytes({{"/game.exe", next}})}}, Strict());
  c.RoundTrip();
  if (!Strict()) {
    EXPECT_EQ(c.Summary().branches, 1);  // one payload serves both
    EXPECT_LT(c.Summary().payloadBytes, 2000u);
  }
}

// Bundles that share their new code, in one archive, or in two archives and a plain file:
// a compact patch makes the later ones from the earlier (kept by the rebuild, or read from
// the archive written before).
TEST_P(RoundTrip, BundlesAreMadeFromTheNewCodeOfEarlierOnes) {
  std::mt19937 random(21);
  auto text = [&random](size_t size) {
    std::string t;
    while (t.size() < size) t += "function f" + std::to_string(random() % 100000) + "() {}\n";
    return t;
  };
  const std::string shared = text(60000);
  // New in this version, in every bundle: 20 kB that code to little less.
  std::string fresh;
  while (fresh.size() < 40000) fresh += "0123456789abcdef"[random() % 16];
  // Each bundle takes it at another place, so that no two frames are the same.
  auto bundle = [&](const char* name, bool next) {
    const size_t at = static_cast<size_t>(name[0] - 'a') * 20000;
    return std::string("// ") + name + "\n" + shared.substr(0, at) + (next ? fresh : "") +
           shared.substr(at);
  };
  for (bool oneArchive : {true, false}) {
    SCOPED_TRACE(oneArchive ? "one archive" : "two archives and a file");
    auto install = [&](bool next) -> Tree {
      if (oneArchive) {
        return {{"lib.zt4",
                 ArchiveBytes({{"/a.js", bundle("a", next)}, {"/b.js", bundle("b", next)}})}};
      }
      return {{"lib.zt4", ArchiveBytes({{"/a.js", bundle("a", next)}})},
              {"more.zt4", ArchiveBytes({{"/b.js", bundle("b", next)}})},
              {"c.js", bundle("c", next)}};
    };
    BuildCase c(install(false), install(true), Strict());
    c.RoundTrip();
    if (Strict()) continue;
    EXPECT_EQ(c.Summary().earlierMembers, oneArchive ? 1 : 0);
    // The new code once: well under what two copies of it code to alone.
    EXPECT_LT(c.Summary().patchBytes, 30000u) << c.Summary().patchBytes;
  }
}

TEST_P(RoundTrip, IdenticalPayloadsShareOneMember) {
  std::string big(3000, 'q');
  BuildCase c({{"keep", "k"}},
              {{"keep", "k"}, {"one", big}, {"two", big}, {"p.zt4", ArchiveBytes({{"/m", big}})}}, Strict());
  c.RoundTrip();
  // Strict: the big content, and the empty record of "keep"; compact: one frame, the
  // other copies made from the first file written.
  EXPECT_EQ(c.Summary().payloads, Strict() ? 2 : 1);
}

// --- archives the group cannot reproduce ---------------------------------------------------

std::string WithIndexReversed(const std::string& archive) {
  // The same members and data, but the index records in the opposite order: every
  // reader accepts it, the writer never makes it.
  std::vector<uint8_t> bytes(archive.begin(), archive.end());
  uint32_t indexOffset = GetU32(bytes.data() + 4);
  uint32_t indexSize = GetU32(bytes.data() + 8);
  RangeCodec codec;
  uint8_t* index = codec.DecompressAlloc(bytes.data() + indexOffset,
                                         static_cast<int32_t>(bytes.size() - indexOffset),
                                         static_cast<int32_t>(indexSize));
  EXPECT_NE(index, nullptr);
  std::vector<std::string> records;
  size_t at = 4;
  while (at < indexSize) {
    size_t end = at;
    while (index[end] != 0) ++end;
    records.emplace_back(reinterpret_cast<char*>(index + at), end + 17 - at);
    at = end + 17;
  }
  std::string reordered(reinterpret_cast<char*>(index), 4);
  for (auto it = records.rbegin(); it != records.rend(); ++it) reordered += *it;
  std::free(index);
  int32_t codedSize = 0;
  uint8_t* coded = codec.CompressAlloc(reinterpret_cast<const uint8_t*>(reordered.data()),
                                       static_cast<int32_t>(reordered.size()), &codedSize);
  EXPECT_NE(coded, nullptr);
  std::string out = archive.substr(0, indexOffset);
  out.append(reinterpret_cast<char*>(coded), static_cast<size_t>(codedSize));
  std::free(coded);
  PutU32(reinterpret_cast<uint8_t*>(out.data()) + 12, Crc32(reordered.data(), reordered.size(), 0));
  return out;
}

TEST_P(RoundTrip, AnArchiveFromAnotherWriterShipsAsAFile) {
  Members members = {{"/a", "aaaa"}, {"/b", "bbbb"}, {"/c", "cccc"}};
  std::string foreign = WithIndexReversed(ArchiveBytes(members));
  ASSERT_NE(foreign, ArchiveBytes(members));
  BuildCase c({{"x.zt4", ArchiveBytes(members)}}, {{"x.zt4", foreign}, {"y.zt4", foreign}}, Strict());
  c.RoundTrip();
  EXPECT_EQ(c.Summary().archivesAsFiles, 2);
  EXPECT_EQ(c.Summary().groups, 0);
  EXPECT_EQ(c.Summary().changed, 1);
  EXPECT_EQ(c.Summary().added, 1);
  ASSERT_EQ(c.Summary().warnings.size(), 2u);
  // Described in the order the applier takes them: a compact patch names y.zt4 first.
  const std::string& warning = c.Summary().warnings[Strict() ? 0 : 1];
  EXPECT_NE(warning.find("x.zt4"), std::string::npos);
  EXPECT_NE(warning.find("shipped as an ordinary file"), std::string::npos);
}

TEST_P(RoundTrip, AnArchiveWithTrailingBytesShipsAsAFile) {
  std::string archive = ArchiveBytes({{"/a", "aaaa"}}) + "trailing garbage";
  BuildCase c({{"keep", "k"}},
              {{"keep", "k"}, {"g.zt4", archive}, {"not-an-archive.zt4", "plain"}}, Strict());
  c.RoundTrip();
  EXPECT_EQ(c.Summary().archivesAsFiles, 2);
  EXPECT_EQ(c.Summary().warnings.size(), 2u);
}

// --- generated installs ----------------------------------------------------------------------

using test::Generator;

TEST_P(RoundTrip, GeneratedInstalls) {
  builder::BuildSummary total;
  for (unsigned seed = 1; seed <= 30; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    auto [oldTree, newTree] = Generator(seed).Pair();
    BuildCase c(oldTree, newTree, Strict());
    c.RoundTrip();
    if (HasFatalFailure()) return;
    const builder::BuildSummary& s = c.Summary();
    EXPECT_TRUE(s.warnings.empty());
    total.changed += s.changed;
    total.unchanged += s.unchanged;
    total.added += s.added;
    total.removed += s.removed;
    total.groups += s.groups;
    total.membersCarried += s.membersCarried;
    total.membersFromPatch += s.membersFromPatch;
  }
  // The generated pairs reach every kind of entry.
  EXPECT_GT(total.changed, total.unchanged);
  EXPECT_GT(total.unchanged, 0);
  EXPECT_GT(total.added, 0);
  EXPECT_GT(total.removed, 0);
  EXPECT_GT(total.groups, 5);
  EXPECT_GT(total.membersCarried, 5);
  EXPECT_GT(total.membersFromPatch, 5);
}

TEST(Determinism, TheSameInputsGiveTheSamePatchBytes) {
  auto [oldTree, newTree] = Generator(99).Pair();
  newTree["extra.zt4"] = ArchiveBytes({{"/a", "a"}, {"/b", "b"}});
  newTree["twin1"] = "same payload";
  newTree["twin2"] = "same payload";
  BuildCase first(oldTree, newTree);
  BuildCase second(oldTree, newTree);
  std::string error;
  ASSERT_TRUE(first.Build(&error)) << error;
  ASSERT_TRUE(second.Build(&error)) << error;
  std::string a;
  std::string b;
  ASSERT_TRUE(test::ReadFile(first.Patch(), &a));
  ASSERT_TRUE(test::ReadFile(second.Patch(), &b));
  EXPECT_EQ(a, b);
  // And again over the same folders.
  ASSERT_TRUE(first.Build(&error)) << error;
  ASSERT_TRUE(test::ReadFile(first.Patch(), &b));
  EXPECT_EQ(a, b);
}

// --- refusals ------------------------------------------------------------------------------

TEST(Refusal, TheBackupFolderNameIsRefused) {
  BuildCase c({{"a", "a"}}, {{"a", "a"}, {"BACKUP_FILES/x", "x"}});
  std::string error;
  EXPECT_FALSE(c.Build(&error));
  EXPECT_NE(error.find("BACKUP_FILES"), std::string::npos) << error;
  EXPECT_FALSE(test::Exists(c.Patch()));
}

// A compact patch makes the new install's empty folders: their names keep the rules of a
// file's name there; a strict patch leaves them out and only warns of them.
TEST(Refusal, AnEmptyFolderTheApplierWouldRefuseGivesNoCompactPatch) {
  std::vector<const char*> folders = {"BACKUP~2/"};
  // Windows opens a device for these names: no such folder stands in an install there.
  if (!OsIsWindows()) folders.insert(folders.end(), {"aux/", "sub/con.d/"});
  for (const char* folder : folders) {
    SCOPED_TRACE(folder);
    BuildCase compact({{"a", "a"}}, {{"a", "a"}, {folder, ""}});
    std::string error;
    EXPECT_FALSE(compact.Build(&error));
    EXPECT_FALSE(test::Exists(compact.Patch()));
    BuildCase strict({{"a", "a"}}, {{"a", "a"}, {folder, ""}}, true);
    EXPECT_EQ(strict.Build(&error), std::string(folder) != "BACKUP~2/") << error;
  }
}

TEST(Refusal, AnEmptyOldInstallIsRefused) {
  BuildCase c({}, {{"a", "a"}});
  ASSERT_EQ(Os().CreateFolder(c.Old().c_str()), FolderResult::kCreated);
  std::string error;
  EXPECT_FALSE(c.Build(&error));
  EXPECT_NE(error.find("empty"), std::string::npos) << error;
}

// The strict form's sizes are int32: a file of 2 GiB is named before anything is read
// (the default form takes it in segments).
TEST(Refusal, AFilePastTheStrictFormsSizesIsNamed) {
  if (OsIsWindows()) GTEST_SKIP() << "a sparse file of 2 GiB is a real one there";
  BuildCase c({{"a", "a"}}, {{"a", "a"}, {"huge.bin", ""}}, true);
  // Sparse: 2 GiB that take no room on the disk.
  std::filesystem::resize_file(c.New() + "/huge.bin", std::uintmax_t{1} << 31);
  std::string error;
  EXPECT_FALSE(c.Build(&error));
  EXPECT_NE(error.find("huge.bin: 2 GiB or larger, more than the strict form's sizes hold"),
            std::string::npos)
      << error;
  EXPECT_FALSE(test::Exists(c.Patch()));
}

TEST(Refusal, EveryLinkIsNamedAndNoneIsFollowed) {
  if (OsIsWindows()) GTEST_SKIP() << "links are made with the POSIX calls here";
  BuildCase c({{"a", "a"}}, {{"a", "a"}, {"sub/b", "b"}});
  test::TempFolder outside;
  ASSERT_TRUE(test::WriteFile(outside / "secret", "not for the public"));
  namespace fs = std::filesystem;
  fs::create_symlink(outside / "secret", c.New() + "/to-a-file");
  fs::create_symlink(outside / "nothing-here", c.New() + "/sub/dangling");
  fs::create_directory_symlink(outside.Path(), c.New() + "/to-a-folder");
  std::string error;
  EXPECT_FALSE(c.Build(&error));
  for (const char* link : {"/to-a-file", "/sub/dangling", "/to-a-folder"}) {
    EXPECT_NE(error.find(c.New() + link), std::string::npos) << link << "\n" << error;
  }
  EXPECT_NE(error.find("links are refused"), std::string::npos) << error;
  EXPECT_FALSE(test::Exists(c.Patch()));
}

TEST(Refusal, APatchInsideTheInstallIsRefused) {
  BuildCase c({{"a", "a"}}, {{"a", "b"}});
  builder::BuildOptions options;
  options.oldDir = c.Old();
  options.newDir = c.New();
  options.outPath = c.New() + "/patch.zt4";
  builder::BuildSummary summary;
  std::string error;
  EXPECT_FALSE(builder::BuildPatch(options, &summary, &error));
}

TEST(Refusal, ANameOutsideShiftJisIsNamed) {
  if (OsIsWindows()) GTEST_SKIP() << "every name the ANSI calls give converts";
  BuildCase c({{"a", "a"}}, {{"a", "a"}});
  // An emoji has no CP932 form; the file is made by the OS under its UTF-8 name.
  std::string native = c.New() + "/smile-\xF0\x9F\x98\x80.txt";
  ASSERT_TRUE(test::WriteFile(c.New() + "/placeholder", ""));
  std::FILE* file = std::fopen(native.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  std::string error;
  EXPECT_FALSE(c.Build(&error));
  EXPECT_NE(error.find("smile-"), std::string::npos) << error;
  EXPECT_NE(error.find("CP932"), std::string::npos) << error;
}

TEST(Refusal, NamesThatDifferOnlyInCaseAreRefused) {
  if (OsFoldsNameCase()) GTEST_SKIP() << "such names cannot both exist here";
  BuildCase c({{"a", "a"}}, {{"Sub/File.txt", "1"}, {"sub/file.TXT", "2"}});
  std::string error;
  EXPECT_FALSE(c.Build(&error));
  EXPECT_NE(error.find("only in case"), std::string::npos) << error;
}

TEST(Refusal, ANameWithABackslashIsNamed) {
  if (OsIsWindows()) GTEST_SKIP() << "a backslash is a separator here";
  BuildCase c({{"a", "a"}}, {{"a", "a"}});
  std::FILE* file = std::fopen((c.New() + "/back\\slash").c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  std::string error;
  EXPECT_FALSE(c.Build(&error));
  EXPECT_NE(error.find("back\\slash"), std::string::npos) << error;
}

// --- the check -------------------------------------------------------------------------------

// Builds the case's patch and checks it in a temporary folder, which must be empty after.
builder::TreeDifferences Checked(BuildCase& c) {
  std::string error;
  EXPECT_TRUE(c.Build(&error)) << error;
  test::TempFolder temp;
  builder::TreeDifferences found;
  EXPECT_TRUE(builder::CheckPatch(c.Old(), c.New(), c.Patch(), temp.Path(), nullptr, &found, &error))
      << error;
  EXPECT_TRUE(test::FilesOf(test::ReadTree(temp.Path())).empty());  // the copy is gone
  return found;
}

TEST(Check, APatchThatAppliesPasses) {
  auto [oldTree, newTree] = Generator(5).Pair();
  BuildCase c(oldTree, newTree);
  builder::TreeDifferences found = Checked(c);
  EXPECT_TRUE(found.differences.empty());
  EXPECT_TRUE(found.emptyFoldersMissing.empty());
}

TEST(Check, EmptyFoldersAreMadeByACompactPatch) {
  BuildCase c({{"a", "a"}, {"kept/x", "x"}}, {{"a", "b"}, {"kept/", ""}, {"deep/er/", ""}});
  builder::TreeDifferences found = Checked(c);
  EXPECT_EQ(found.differences, std::vector<std::string>{});
  EXPECT_EQ(found.emptyFoldersMissing, std::vector<std::string>{});
  EXPECT_EQ(c.Summary().folders, 2);
}

TEST(Check, EmptyFoldersAreNamedNotClaimedEqual) {
  BuildCase c({{"a", "a"}, {"kept/x", "x"}},
              {{"a", "b"}, {"kept/", ""}, {"saves/", ""}, {"deep/er/", ""}}, true);
  builder::TreeDifferences found = Checked(c);
  EXPECT_EQ(found.differences, std::vector<std::string>{});
  EXPECT_EQ(found.emptyFoldersMissing,
            (std::vector<std::string>{c.New() + "/deep/er", c.New() + "/kept", c.New() + "/saves"}));
}

TEST(Check, AChangeOfNewAfterTheBuildIsADifference) {
  BuildCase c({{"a", "a"}}, {{"a", "b"}, {"c", "c"}});
  std::string error;
  ASSERT_TRUE(c.Build(&error)) << error;
  ASSERT_TRUE(test::WriteFile(c.New() + "/c", "changed"));
  test::TempFolder temp;
  builder::TreeDifferences found;
  ASSERT_TRUE(builder::CheckPatch(c.Old(), c.New(), c.Patch(), temp.Path(), nullptr, &found, &error))
      << error;
  ASSERT_EQ(found.differences.size(), 1u);
  EXPECT_NE(found.differences[0].find("differs"), std::string::npos);
}

TEST(Check, AStopOfTheApplierIsReportedAndTheCopyRemoved) {
  BuildCase c(Tree{{"a", "old a"}, {"b", "b"}}, Tree{{"a", "new a"}});
  std::string error;
  ASSERT_TRUE(c.Build(&error)) << error;
  ASSERT_TRUE(tool::RemoveTree(c.Old() + "/a"));
  test::TempFolder temp;
  builder::TreeDifferences found;
  EXPECT_FALSE(builder::CheckPatch(c.Old(), c.New(), c.Patch(), temp.Path(), nullptr, &found, &error));
  EXPECT_NE(error.find("verifying the old files: a file to update from is missing"),
            std::string::npos)
      << error;
  EXPECT_TRUE(test::ReadTree(temp.Path()).empty());
  // The patch is free again, so it can be written anew.
  EXPECT_TRUE(c.Build(&error)) << error;
}

}  // namespace
}  // namespace zt4

namespace zt4 {
namespace {

// A frame whose archive member is whole (its CRC holds) but whose zstd data is not:
// the applier stops as for any damaged patch, and the entry leaves no file behind, not
// even its temporary one.
TEST(CompactApply, ADamagedFrameStopsAndLeavesNothingForItsEntry) {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + "\n";
  std::string edited = text;
  edited.replace(3000, 10, "0123456789");
  test::BuildCase c({{"a.txt", text}, {"b.txt", "b"}}, {{"a.txt", edited}, {"b.txt", "b"}});
  std::string error;
  ASSERT_TRUE(c.Build(&error)) << error;
  ASSERT_EQ(c.Summary().frames, 1);
  test::Members members = test::MembersOf(c.Patch());
  bool damaged = false;
  for (auto& [name, content] : members) {
    if (name != "/list") {
      content[content.size() / 2] = static_cast<char>(content[content.size() / 2] ^ 0x55);
      damaged = true;
    }
  }
  ASSERT_TRUE(damaged);
  ASSERT_TRUE(test::WriteFile(c.Patch(), test::ArchiveBytes(members)));
  ASSERT_EQ(Os().CreateFolder(c.Work().c_str()), FolderResult::kCreated);
  Stop stop = Stop::kNone;
  EXPECT_FALSE(builder::ApplyPatchToCopy(c.Old(), c.Patch(), c.Work(), &stop, &error));
  EXPECT_EQ(stop, Stop::kPatchDamaged);
  test::Tree result = test::ReadTree(c.Work());
  EXPECT_EQ(result.count("a.txt"), 0u);
  EXPECT_EQ(result.count("zt4work/"), 0u);
  // The old install, and the journal a stopped update keeps beside it.
  test::Tree backedUp = test::FilesOf(test::Below(result, "BACKUP_FILES"));
  EXPECT_EQ(backedUp.erase("zt4journal"), 1u);
  EXPECT_EQ(backedUp, (test::Tree{{"a.txt", text}, {"b.txt", "b"}}));
}

// An old member a changed member is made from is decoded once, when it is verified, and
// the entry is made from that verified content: replacing the member in the old archive
// after the verification (same size, other bytes) changes nothing in the result.
TEST(CompactApply, AnOldMemberIsMadeFromAsItWasVerified) {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "entry " + std::to_string(i * 7919 % 1000) + "\n";
  std::string edited = text;
  edited.replace(5000, 10, "0123456789");
  std::string other = text;
  other.replace(100, 10, "##########");
  Members oldMembers = {{"/keep.bin", "kept as it was"}, {"/script.txt", text}};
  Members newMembers = {{"/keep.bin", "kept as it was"}, {"/script.txt", edited}};
  test::BuildCase c({{"data.zt4", ArchiveBytes(oldMembers)}}, {{"data.zt4", ArchiveBytes(newMembers)}});
  std::string error;
  ASSERT_TRUE(c.Build(&error)) << error;
  ASSERT_EQ(c.Summary().frames, 1);
  ASSERT_TRUE(test::WriteTree(c.Work(), {{"data.zt4", ArchiveBytes(oldMembers)}}));
  test::ScriptedPlatform quiet;
  ScopedPlatform scope(&quiet);
  const auto [verified, updated] = c.UpdateWork([&] {
    EXPECT_TRUE(test::WriteFile(
        c.Work() + "/data.zt4",
        ArchiveBytes({{"/keep.bin", "kept as it was"}, {"/script.txt", other}})));
  });
  EXPECT_EQ(verified, Stop::kNone);
  EXPECT_EQ(updated, Stop::kNone);
  std::string result;
  ASSERT_TRUE(test::ReadFile(c.Work() + "/data.zt4", &result));
  EXPECT_TRUE(result == ArchiveBytes(newMembers));
}

// Big changed files are read a window at a time: the patch is the one made from the
// whole files, byte for byte, and applies back. Files grown, cut, changed across window
// edges and unchanged, a few MiB each (windows of 1 MiB).
TEST(WindowedFiles, GiveThePatchOfWholeFiles) {
  std::string base(5 << 19, '\0');
  for (size_t i = 0; i < base.size(); ++i) base[i] = static_cast<char>((i * 7) >> 5);
  std::string edited = base;
  for (size_t at : {size_t{100}, size_t{(1 << 20) - 3}, size_t{2 << 20}}) {
    edited.replace(at, 9, "CHANGED..");
  }
  Tree oldTree = {{"same.bin", base}, {"edited.bin", base}, {"grown.bin", base},
                  {"cut.bin", base}, {"small.txt", "small"}};
  Tree newTree = {{"same.bin", base}, {"edited.bin", edited},
                  {"grown.bin", edited + std::string(300000, 'g')},
                  {"cut.bin", base.substr(0, (1 << 20) + 17)}, {"small.txt", "smaller"}};
  test::BuildCase whole(oldTree, newTree, true);
  test::BuildCase windowed(oldTree, newTree, true);
  windowed.SetWindowedFileBytes(1);
  std::string error;
  ASSERT_TRUE(whole.Build(&error)) << error;
  windowed.RoundTrip();
  std::string wholeBytes;
  std::string windowedBytes;
  ASSERT_TRUE(test::ReadFile(whole.Patch(), &wholeBytes));
  ASSERT_TRUE(test::ReadFile(windowed.Patch(), &windowedBytes));
  EXPECT_TRUE(wholeBytes == windowedBytes);
  EXPECT_EQ(windowed.Summary().unchanged, 1);
}

}  // namespace
}  // namespace zt4
