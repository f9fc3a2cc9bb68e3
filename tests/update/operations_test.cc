// The update operations on real folders, in-process. A stop ends the process, so every
// failing case is a death test that checks which of the six messages it ended with.
#include "update/operations.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/mount.h"
#include "base/texts.h"
#include "support/patch_writer.h"
#include "support/sample_install.h"
#include "support/scripted_platform.h"
#include "support/test_files.h"
#include "update/journal.h"
#include "update/ordered_run.h"
#include "update/patch_list_writer.h"
#include "update/verify.h"

namespace zt4 {
namespace {

const uint8_t kDigest[20] = {};

using test::ListBuilder;
using test::Tree;

// A target folder, its backup folder and a mounted patch, with a scripted user.
class UpdateFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = folder_ / "target";
    backup_ = target_ + "/BACKUP_FILES";
    ASSERT_NE(Os().CreateFolderTree(target_.c_str()), FolderResult::kFailed);
  }
  std::string Target() const { return test::DialogPath(target_); }
  std::string Backup() const { return test::DialogPath(target_) + "\\BACKUP_FILES"; }

  // Parses the description (kept alive by the fixture) and mounts a patch with payloads.
  PatchEntry* Prepare(const ListBuilder& list, const std::map<int32_t, std::string>& payloads = {}) {
    list_ = list.Bytes();
    // A new file each time: the mounted one stays open until the next mount replaces it.
    std::string patch = folder_ / ("patch" + std::to_string(++patches_) + ".zt4");
    EXPECT_TRUE(test::WritePatch(patch, list_, payloads));
    EXPECT_TRUE(Mount(PoolString(patch.c_str()), PoolString("patch")));
    PatchEntry* tree = ParsePatchList(reinterpret_cast<const uint8_t*>(list_.data()),
                                      static_cast<int32_t>(list_.size()));
    EXPECT_NE(tree, nullptr);
    trees_.push_back(tree);
    return tree;
  }
  void TearDown() override {
    ReleaseArchiveCache();
    for (PatchEntry* tree : trees_) FreePatchList(tree);
  }

  test::TempFolder folder_;
  std::string target_;
  std::string backup_;
  std::string list_;
  int patches_ = 0;
  std::vector<PatchEntry*> trees_;  // every tree Prepare made, freed at the end
  test::ScriptedPlatform user_;
  ScopedPlatform scope_{&user_};
};

// --- verification -----------------------------------------------------------------------

using VerifyTest = UpdateFixture;

TEST_F(VerifyTest, ProgressLinesAndCompletionLine) {
  ASSERT_TRUE(test::WriteFile(target_ + "/a", "A"));
  ASSERT_TRUE(test::WriteFile(target_ + "/b", "BB"));
  PatchEntry* tree = Prepare(ListBuilder()
                                 .Plain(0, "a", "A", "a", "A2")
                                 .Removed("b", "BB")
                                 .Plain(1, "", "", "c", "C"));
  EXPECT_EQ(VerifyTree(tree, Target().c_str(), true), Stop::kNone);
  EXPECT_EQ(user_.console, std::string("\r  0/  3 (0%)\r  1/  3 (33%)\r  2/  3 (66%)") +
                               "\r>> \x83`\x83" "F\x83" "b\x83N\x8A\xAE\x97\xB9." +
                               "\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40\x81\x40\n");
  EXPECT_EQ(std::string(kCheckDoneLine).substr(0, 4), "\r>> ");
}

// Checks on every core end as the checks one after the other do: the same console bytes,
// the same debugger lines, the same stop, whatever later check fails first in time: a big
// file differs in content while one after it in the chain (the description's entries
// come in reverse) is missing, which a worker finds first.
TEST_F(VerifyTest, EveryCoreGivesTheRunOfOneCore) {
  ListBuilder list;
  test::Members members;
  std::string bigOld(6 << 20, 'b');
  for (int i = 0; i < 60; ++i) {
    std::string name = "f" + std::to_string(100 + i);
    std::string content = name + std::string(static_cast<size_t>(i) * 97, 'x');
    list.Removed(name, content);
    if (i == 20) list.Removed("big", bigOld);
    ASSERT_TRUE(test::WriteFile(target_ + "/" + name, content));
    members.push_back({"/m" + std::to_string(i), content});
  }
  list.GroupBegin("pack.zt4", "");
  for (const auto& [member, content] : members) {
    list.Plain(0, "pack" + member, content, member.substr(1), content);
  }
  list.GroupEnd();
  ASSERT_TRUE(test::WriteFile(target_ + "/pack.zt4", test::ArchiveBytes(members)));
  PatchEntry* tree = Prepare(list);

  struct Run {
    Stop stop;
    std::string console;
    std::string debug;
  };
  auto run = [&](int threads) {
    SetWorkerThreads(threads);
    user_.console.clear();
    user_.debug.clear();
    Run result{VerifyTree(tree, Target().c_str(), true), user_.console, user_.debug};
    ReleaseArchiveCache();
    return result;
  };
  // Whole; then the big file differs and a later file is gone (found first in time);
  // then only the later file is gone.
  for (int variant = 0; variant < 3; ++variant) {
    const std::string big = variant == 1 ? std::string(6 << 20, 'B') : bigOld;
    ASSERT_TRUE(test::WriteFile(target_ + "/big", big));
    if (variant == 1) {
      ASSERT_TRUE(Os().DeleteFile((target_ + "/f105").c_str()));
    }
    Run one = run(1);
    for (int threads : {2, 4, 8}) {
      Run many = run(threads);
      EXPECT_EQ(many.stop, one.stop) << variant << " with " << threads;
      EXPECT_EQ(many.console, one.console) << variant << " with " << threads;
      EXPECT_EQ(many.debug, one.debug) << variant << " with " << threads;
    }
    const Stop expected[] = {Stop::kNone, Stop::kVersionMismatch, Stop::kSourceMissing};
    EXPECT_EQ(one.stop, expected[variant]) << variant;
  }
  SetWorkerThreads(0);
}

// A plain file is judged by its size first, then by its digest; only a digest mismatch
// shows the two digests on the debug channel.
TEST_F(VerifyTest, PlainFilesBySizeThenDigest) {
  struct Case {
    std::string found;
    std::string expected;
    Stop stop;
    std::string debug;
  };
  const Case cases[] = {
      {"", "", Stop::kNone, ""},  // the empty file has the empty digest
      {"ABC", "ABC", Stop::kNone, ""},
      {"XYZ", "ABC", Stop::kVersionMismatch, test::Sha1Of("ABC") + "\n" + test::Sha1Of("XYZ") + "\n"},
      {"ABCD", "ABC", Stop::kVersionMismatch, ""},  // stopped before reading
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(test::WriteFile(target_ + "/a", c.found));
    user_.debug.clear();
    PatchEntry* tree = Prepare(ListBuilder().Removed("a", c.expected));
    EXPECT_EQ(VerifyTree(tree, Target().c_str(), true), c.stop) << c.found;
    EXPECT_EQ(user_.debug, c.debug) << c.found;
  }
}

// Unchanged contents stated in digest runs: each is held to its tag where it is checked,
// the run to its digest at its last check (a content of another digest that shares the
// tag is caught there), and once confirmed the whole digests found replace the tags.
TEST_F(VerifyTest, ADigestRunHoldsEachContentToItsTagAndTheRunToItsDigest) {
  const std::string stated[] = {"alpha", "beta", "gamma", "member one", "member two"};
  // Of the size of "beta" and with the first bytes of its digest, found by trying.
  std::string sameTag = "zzzz";
  for (uint32_t i = 0; test::Sha1Of(sameTag).substr(0, 2 * kRunTagBytes) !=
                       test::Sha1Of("beta").substr(0, 2 * kRunTagBytes);
       ++i) {
    for (int b = 0; b < 4; ++b) sameTag[b] = static_cast<char>('a' + (i >> (5 * b)) % 32);
  }
  struct Told final : CheckResults {
    bool Checked(const PatchEntry* entry, const PatchEntry*, const ContentReference*, Stop stop,
                 const FileReport&) override {
      if (stop != Stop::kNone) names += std::string(entry->newName) + " ";
      return true;
    }
    std::string names;
  };
  struct Case {
    std::string b;        // the content found for "b"
    std::string member1;  // for "/m1"
    std::string member2;  // and for "/m2" (the two members are decoded together)
    Stop stop;
    std::string told;
  };
  const Case cases[] = {
      {"beta", "member one", "member two", Stop::kNone, ""},
      {"BETA", "member one", "member two", Stop::kVersionMismatch, "b "},
      {"beta", "member one", "member TWO", Stop::kVersionMismatch, "m2 "},
      {"beta", "member ONE", "member two", Stop::kVersionMismatch, "m1 "},
      // The top-level run is checked last place first, as the chain comes: "a" is its last.
      {sameTag, "member one", "member two", Stop::kVersionMismatch, "a "},
  };
  for (const Case& c : cases) {
    const std::string found[] = {"alpha", c.b, "gamma"};
    std::string digests[5];
    for (int i = 0; i < 5; ++i) digests[i] = test::Sha1Of(stated[i]);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(test::WriteFile(target_ + "/" + "abc"[i], found[i]));
    ASSERT_TRUE(test::WriteFile(target_ + "/pack.zt4",
                                test::ArchiveBytes({{"/m1", c.member1}, {"/m2", c.member2}})));
    const PatchListWriter::RunItem files[] = {
        {"a", 5, digests[0].c_str()}, {"b", 4, digests[1].c_str()}, {"c", 5, digests[2].c_str()}};
    const PatchListWriter::RunItem members[] = {{"m1", 10, digests[3].c_str()},
                                                {"m2", 10, digests[4].c_str()}};
    PatchListWriter records;
    records.Run("", files, 3)
        .GroupBegin("new.zt4", 99, digests[0].c_str())
        .Run("pack.zt4", members, 2)
        .GroupEnd();
    PatchListWriter whole;
    whole.CompactHead(1000, records.Data(), records.Size(), records.Version());
    list_.assign(reinterpret_cast<const char*>(whole.Data()), static_cast<size_t>(whole.Size()));
    PatchEntry* tree = ParsePatchList(reinterpret_cast<const uint8_t*>(list_.data()),
                                      static_cast<int32_t>(list_.size()));
    ASSERT_NE(tree, nullptr);
    trees_.push_back(tree);
    Told told;
    EXPECT_EQ(VerifyTree(tree, Target().c_str(), true, &told), c.stop) << c.b << c.member1 << c.member2;
    EXPECT_EQ(told.names, c.told) << c.b << c.member1 << c.member2;
    ReleaseArchiveCache();
    if (c.stop != Stop::kNone) continue;
    // Confirmed: every digest text is whole, and a second pass compares whole digests.
    std::string texts;
    for (const PatchEntry* e = tree; e; e = e->next) {
      for (const PatchEntry* m = e->firstChild; m; m = m->next)
        texts += std::string(m->newDigest) + " ";
      if (!e->firstChild) texts += std::string(e->oldDigest) + " ";
    }
    EXPECT_EQ(texts, digests[3] + " " + digests[4] + " " + digests[2] + " " + digests[1] + " " +
                         digests[0] + " ");
    EXPECT_EQ(VerifyTree(tree, Target().c_str(), true), Stop::kNone);
    ReleaseArchiveCache();
  }
}

TEST_F(VerifyTest, PlainFileIsPreferredOverTheArchiveMember) {
  ASSERT_TRUE(test::WriteFile(target_ + "/data/b.bin", "plain"));
  // The archive is damaged beyond opening: it must not even be looked at.
  ASSERT_TRUE(test::WriteFile(target_ + "/data.zt4", "not an archive"));
  PatchEntry* tree = Prepare(ListBuilder().Removed("data/b.bin", "plain"));
  EXPECT_EQ(VerifyTree(tree, Target().c_str(), true), Stop::kNone);
  EXPECT_EQ(ArchiveCacheSize(), 0);
}

TEST_F(VerifyTest, MemberOfTheArchiveNamedAfterTheFolder) {
  ASSERT_TRUE(test::WriteFile(target_ + "/data.zt4",
                              test::ArchiveBytes({{"/b.bin", "member"}, {"/c.bin", "other"}})));
  PatchEntry* tree = Prepare(ListBuilder().Removed("data/b.bin", "member"));
  EXPECT_EQ(VerifyTree(tree, Target().c_str(), true), Stop::kNone);
  EXPECT_EQ(ArchiveCacheSize(), 1);
}

TEST_F(VerifyTest, MissingMemberAndMissingArchiveStopDifferently) {
  ASSERT_TRUE(test::WriteFile(target_ + "/data.zt4", test::ArchiveBytes({{"/c.bin", "other"}})));
  PatchEntry* tree = Prepare(ListBuilder().Removed("data/b.bin", "member"));
  EXPECT_EQ(VerifyTree(tree, Target().c_str(), true), Stop::kVersionMismatch);
  PatchEntry* other = Prepare(ListBuilder().Removed("none/b.bin", "member"));
  EXPECT_EQ(VerifyTree(other, Target().c_str(), true), Stop::kSourceMissing);
}

TEST_F(VerifyTest, GroupChildrenPrintDotsAndAreCheckedBeforeTheUpdateOnly) {
  ASSERT_TRUE(test::WriteFile(target_ + "/d.zt4",
                              test::ArchiveBytes({{"/1", "one"}, {"/2", "two"}})));
  std::string newArchive = test::ArchiveBytes({{"/1", "one"}});
  PatchEntry* tree = Prepare(ListBuilder()
                                 .GroupBegin("d.zt4", newArchive)
                                 .Plain(0, "d/1", "one", "1", "one")
                                 .Plain(1, "", "", "x", "new")
                                 .Plain(2, "d/2", "two", "", "")
                                 .Plain(3, "", "", "y", "new")
                                 .Plain(4, "", "", "z", "new")
                                 .GroupEnd());
  EXPECT_EQ(VerifyTree(tree, Target().c_str(), true), Stop::kNone);
  EXPECT_EQ(user_.console.substr(0, 18), "\r  0/  1 (0%).....");
}

// --- backup -----------------------------------------------------------------------------

using BackupTest = UpdateFixture;

TEST_F(BackupTest, MovesEveryItemHiddenOnesAndSubfoldersIncluded) {
  Tree old = {{".hidden", "h"}, {"sub/", ""}, {"sub/deep/", ""}, {"sub/deep/f", "f"},
              {"top.bin", "t"}, {"\x83\x5C.txt", "so"}};
  ASSERT_TRUE(test::WriteTree(target_, old));
  BackupRecord record;
  Journal journal;
  ASSERT_TRUE(BackupFolder(Target().c_str(), Backup().c_str(), &record, &journal, kDigest));
  int moved = 0;
  for (FolderItem* item = record.moved; item; item = item->next) ++moved;
  EXPECT_EQ(moved, 4);
  FreeFolderItems(record.moved);
  // Beside the old items, the journal the update keeps until it is complete.
  Tree backedUp = test::ReadTree(backup_);
  EXPECT_EQ(backedUp.erase(journal.Name()), 1u);
  EXPECT_EQ(backedUp, old);
  EXPECT_EQ(test::ReadTree(target_).size(), 2 + old.size());  // BACKUP_FILES/ and below
}

TEST_F(BackupTest, ExistingBackupFolderMovesNothing) {
  Tree old = {{"BACKUP_FILES/", ""}, {"BACKUP_FILES/old", "o"}, {"a", "a"}};
  ASSERT_TRUE(test::WriteTree(target_, old));
  BackupRecord record;
  Journal journal;
  EXPECT_FALSE(BackupFolder(Target().c_str(), Backup().c_str(), &record, &journal, kDigest));
  EXPECT_EQ(record.moved, nullptr);
  EXPECT_FALSE(record.createdFolder);
  EXPECT_TRUE(UndoBackup(Target().c_str(), Backup().c_str(), &record, &journal));
  EXPECT_EQ(test::ReadTree(target_), old);  // the earlier backup is left as it was
}

TEST_F(BackupTest, EmptyTargetMovesNothingAndCreatesNothing) {
  BackupRecord record;
  Journal journal;
  EXPECT_FALSE(BackupFolder(Target().c_str(), Backup().c_str(), &record, &journal, kDigest));
  EXPECT_FALSE(test::Exists(backup_));
}

class FailingMove : public test::ScriptedPlatform {
 public:
  int failAt = 0;
  int moves = 0;
  bool MoveItem(const char* from, const char* to) override {
    if (++moves == failAt) return false;
    return ScriptedPlatform::MoveItem(from, to);
  }
};

TEST_F(BackupTest, FailedMoveIsPutBackWhole) {
  Tree old = {{"a", "1"}, {"b/", ""}, {"b/c", "2"}, {"d", "3"}, {"e", "4"}, {"f", "5"}};
  ASSERT_TRUE(test::WriteTree(target_, old));
  FailingMove platform;
  platform.failAt = 3;
  ScopedPlatform scope(&platform);
  BackupRecord record;
  Journal journal;
  EXPECT_FALSE(BackupFolder(Target().c_str(), Backup().c_str(), &record, &journal, kDigest));
  int moved = 0;
  for (FolderItem* item = record.moved; item; item = item->next) ++moved;
  EXPECT_EQ(moved, 2);
  EXPECT_TRUE(UndoBackup(Target().c_str(), Backup().c_str(), &record, &journal));
  EXPECT_EQ(test::ReadTree(target_), old);
}

// --- applying plain entries ---------------------------------------------------------------

using ApplyTest = UpdateFixture;

std::string Read(const std::string& path) {
  std::string content;
  EXPECT_TRUE(test::ReadFile(path, &content)) << path;
  return content;
}

TEST_F(ApplyTest, LaterRecordWinsAndTheTailIsZero) {
  ASSERT_TRUE(test::WriteFile(backup_ + "/f", "abcdef"));
  std::string expected = std::string("aXYZef") + std::string(4, '\0');
  PatchEntry* tree = Prepare(ListBuilder().Plain(4, "f", "abcdef", "f", expected),
                             {{4, test::Delta({{1, "QQQ"}, {1, "XYZ"}})}});
  EXPECT_EQ(ApplyTree(tree, Backup().c_str(), Target().c_str()), Stop::kNone);
  EXPECT_EQ(Read(target_ + "/f"), expected);
  EXPECT_NE(user_.console.find("\r>> \x8DX\x90V\x8A\xAE\x97\xB9.\x81\x40    "), std::string::npos);
}

TEST_F(ApplyTest, EmptyPayloadCutsOrExtends) {
  ASSERT_TRUE(test::WriteFile(backup_ + "/long", "0123456789"));
  ASSERT_TRUE(test::WriteFile(backup_ + "/short", "01"));
  PatchEntry* tree = Prepare(ListBuilder()
                                 .Plain(1, "long", "0123456789", "long", "0123")
                                 .Plain(2, "short", "01", "short", std::string("01\0\0", 4)),
                             {{1, ""}, {2, ""}});
  EXPECT_EQ(ApplyTree(tree, Backup().c_str(), Target().c_str()), Stop::kNone);
  EXPECT_EQ(Read(target_ + "/long"), "0123");
  EXPECT_EQ(Read(target_ + "/short"), std::string("01\0\0", 4));
}

TEST_F(ApplyTest, FilesBecomeEmptyAndComeFromEmpty) {
  ASSERT_TRUE(test::WriteFile(backup_ + "/was-empty", ""));
  ASSERT_TRUE(test::WriteFile(backup_ + "/gets-empty", "content"));
  PatchEntry* tree = Prepare(ListBuilder()
                                 .Plain(1, "was-empty", "", "was-empty", "new")
                                 .Plain(2, "gets-empty", "content", "gets-empty", ""),
                             {{1, test::Delta({{0, "new"}})}, {2, ""}});
  EXPECT_EQ(ApplyTree(tree, Backup().c_str(), Target().c_str()), Stop::kNone);
  EXPECT_EQ(Read(target_ + "/was-empty"), "new");
  EXPECT_EQ(Read(target_ + "/gets-empty"), "");
}

// A content of several MiB is written a window at a time: records across a window's
// edge, overlapping ones, a tail past the old end; checked against the whole block made
// the plain way, and no part file is left.
TEST_F(ApplyTest, BigFilesAreWrittenWindowByWindowAsTheWholeBlockWouldBe) {
  const int32_t mib = 1 << 20;
  std::string old(mib * 2 + 12345, '\0');
  for (size_t i = 0; i < old.size(); ++i) old[i] = static_cast<char>((i * 131) >> 7);
  ASSERT_TRUE(test::WriteFile(backup_ + "/big", old));
  std::vector<std::pair<uint32_t, std::string>> records = {
      {mib - 3, "across the first edge"},
      {10, std::string(mib * 2, 'w')},  // spans every window
      {2 * mib - 1, "xy"},
      {5, "later wins"},
      {3 * mib + 7, "past the old end"}};
  const int32_t newSize = 3 * mib + 100;
  std::string expected = old.substr(0, static_cast<size_t>(newSize));
  expected.resize(static_cast<size_t>(newSize), '\0');
  for (const auto& [offset, bytes] : records) expected.replace(offset, bytes.size(), bytes);
  PatchEntry* tree = Prepare(ListBuilder().Plain(1, "big", old, "big", expected),
                             {{1, test::Delta(records)}});
  EXPECT_EQ(ApplyTree(tree, Backup().c_str(), Target().c_str()), Stop::kNone);
  EXPECT_TRUE(Read(target_ + "/big") == expected);
  EXPECT_FALSE(test::Exists(target_ + "/zt4work"));
}

TEST_F(ApplyTest, DamagedDeltasStopWithoutWritingTheFile) {
  ASSERT_TRUE(test::WriteFile(backup_ + "/f", "abc"));
  auto run = [&](const std::string& payload) {
    PatchEntry* tree = Prepare(ListBuilder().Plain(1, "f", "abc", "f", "abc"), {{1, payload}});
    return ApplyTree(tree, Backup().c_str(), Target().c_str());
  };
  std::string overlong = test::Delta({{0, "ab"}});
  overlong.pop_back();
  for (const std::string& damaged : {std::string(7, '\0'), overlong, test::Delta({{2, "xy"}}),
                                     test::Delta({{0xFFFFFFFF, "x"}})}) {
    EXPECT_EQ(run(damaged), Stop::kPatchDamaged) << test::HexOf(damaged);
  }
  EXPECT_FALSE(test::Exists(target_ + "/f"));
}

TEST_F(ApplyTest, AddedFileCreatesItsFoldersAndReplacesWhatIsThere) {
  ASSERT_TRUE(test::WriteFile(target_ + "/x", "stale content that is longer"));
  PatchEntry* tree = Prepare(ListBuilder()
                                 .Plain(7, "", "", "a/b/c.bin", "deep")
                                 .Plain(8, "", "", "x", "fresh"),
                             {{7, "deep"}, {8, "fresh"}});
  EXPECT_EQ(ApplyTree(tree, Backup().c_str(), Target().c_str()), Stop::kNone);
  EXPECT_EQ(Read(target_ + "/a/b/c.bin"), "deep");
  EXPECT_EQ(Read(target_ + "/x"), "fresh");
}

TEST_F(ApplyTest, MissingPayloadOrOldFileStop) {
  PatchEntry* added = Prepare(ListBuilder().Plain(9, "", "", "n", "n"));
  EXPECT_EQ(ApplyTree(added, Backup().c_str(), Target().c_str()), Stop::kPatchDamaged);
  PatchEntry* changed = Prepare(ListBuilder().Plain(1, "gone", "g", "gone", "g"), {{1, ""}});
  EXPECT_EQ(ApplyTree(changed, Backup().c_str(), Target().c_str()), Stop::kSourceMissing);
}

TEST_F(ApplyTest, RemovedEntryWritesNothing) {
  ASSERT_TRUE(test::WriteFile(backup_ + "/old", "o"));
  PatchEntry* tree = Prepare(ListBuilder().Removed("old", "o"));
  EXPECT_EQ(ApplyTree(tree, Backup().c_str(), Target().c_str()), Stop::kNone);
  EXPECT_FALSE(test::Exists(target_ + "/old"));
}

// --- archive rebuild ----------------------------------------------------------------------

using RebuildTest = UpdateFixture;

TEST_F(RebuildTest, ChildrenFromPlainFileArchiveMemberAndPayload) {
  ASSERT_TRUE(test::WriteFile(backup_ + "/data/b.bin", "plain old"));
  ASSERT_TRUE(test::WriteFile(backup_ + "/data.zt4",
                              test::ArchiveBytes({{"/b.bin", "member old"}, {"/c.bin", "c"}})));
  std::string expected = test::ArchiveBytes(
      {{"/b.bin", "plain old"}, {"/c.bin", "c"}, {"/n.bin", "payload"}, {"/e", ""}});
  PatchEntry* tree = Prepare(ListBuilder()
                                 .GroupBegin("sub/data.zt4", expected)
                                 .Plain(0, "data/b.bin", "plain old", "b.bin", "plain old")
                                 .Plain(0, "data/c.bin", "c", "/c.bin", "c")
                                 .Plain(5, "", "", "n.bin", "payload")
                                 .Plain(6, "", "", "e", "")
                                 .GroupEnd(),
                             {{5, "payload"}, {6, ""}});
  EXPECT_EQ(ApplyTree(tree, Backup().c_str(), Target().c_str()), Stop::kNone);
  EXPECT_EQ(Read(target_ + "/sub/data.zt4"), expected);  // its folder was created first
  EXPECT_EQ(user_.console.substr(0, 16), "\r  0/  1 (0%)...");
  EXPECT_EQ(CheckTree(tree, Target().c_str()), Stop::kNone);
}

TEST_F(RebuildTest, TwoChildrenNamingTheSameMemberStop) {
  PatchEntry* tree = Prepare(ListBuilder()
                                 .GroupBegin("a.zt4", "")
                                 .Plain(1, "", "", "x.bin", "1")
                                 .Plain(2, "", "", "/x.bin", "2")
                                 .GroupEnd(),
                             {{1, "1"}, {2, "2"}});
  EXPECT_EQ(ApplyTree(tree, Backup().c_str(), Target().c_str()), Stop::kWriteFailed);
}

TEST_F(RebuildTest, ReversedChildrenGiveAnotherFileThatFailsTheCheck) {
  std::string forward = test::ArchiveBytes({{"/p", "first"}, {"/q", "second"}});
  std::string reversed = test::ArchiveBytes({{"/q", "second"}, {"/p", "first"}});
  EXPECT_NE(forward, reversed);
  PatchEntry* tree = Prepare(ListBuilder()
                                 .GroupBegin("a.zt4", forward)
                                 .Plain(2, "", "", "q", "second")
                                 .Plain(1, "", "", "p", "first")
                                 .GroupEnd(),
                             {{1, "first"}, {2, "second"}});
  EXPECT_EQ(ApplyTree(tree, Backup().c_str(), Target().c_str()), Stop::kNone);
  EXPECT_EQ(Read(target_ + "/a.zt4"), reversed);
  EXPECT_EQ(CheckTree(tree, Target().c_str()), Stop::kVersionMismatch);
}

TEST_F(RebuildTest, MissingOldMemberStops) {
  ASSERT_TRUE(test::WriteFile(backup_ + "/data.zt4", test::ArchiveBytes({{"/c.bin", "c"}})));
  PatchEntry* tree = Prepare(ListBuilder()
                                 .GroupBegin("data.zt4", "")
                                 .Plain(0, "data/b.bin", "b", "b.bin", "b")
                                 .GroupEnd());
  EXPECT_EQ(ApplyTree(tree, Backup().c_str(), Target().c_str()), Stop::kVersionMismatch);
}

// Entries applied on every core end as the entries one after the other do: the same
// console bytes (a rebuild's dots written in their place), the same stop, the same files
// when whole. Then a changed file's old file is gone while an entry after it in the chain
// (the description's entries come in reverse) has no payload, which a worker meets first.
TEST_F(RebuildTest, EveryCoreGivesTheRunOfOneCore) {
  test::Members oldMembers;
  test::Members newMembers;
  for (int k = 0; k < 30; ++k) {
    oldMembers.push_back({"/m" + std::to_string(k), std::string(static_cast<size_t>(k) * 301, 'm')});
  }
  newMembers = oldMembers;
  for (int k = 0; k < 5; ++k) newMembers.push_back({"/n" + std::to_string(k), "new " + std::to_string(k)});
  auto describe = [&](bool withEveryPayload) {
    ListBuilder list;
    std::map<int32_t, std::string> payloads;
    for (int i = 0; i < 40; ++i) {
      std::string name = "f" + std::to_string(i);
      if (i == 10) {
        list.GroupBegin("pack.zt4", test::ArchiveBytes(newMembers));
        for (const auto& [member, content] : oldMembers) {
          list.Plain(0, "pack" + member, content, member.substr(1), content);
        }
        for (int k = 0; k < 5; ++k) {
          list.Plain(100 + k, "", "", "n" + std::to_string(k), newMembers[30 + static_cast<size_t>(k)].second);
          payloads[100 + k] = newMembers[30 + static_cast<size_t>(k)].second;
        }
        list.GroupEnd();
      }
      std::string content = name + std::string(static_cast<size_t>(i) * 1000, 'c');
      if (i % 2 == 1) {
        std::string changed = content;
        changed.replace(1, 3, "XYZ");
        list.Plain(i + 1, name, content, name, changed);
        payloads[i + 1] = test::Delta({{1, "XYZ"}});
      } else {
        list.Plain(i + 1, "", "", "sub/" + name, content);
        if (withEveryPayload || i != 4) payloads[i + 1] = content;
      }
    }
    return Prepare(list, payloads);
  };
  auto lay = [&](bool withOldFileOf31) {
    std::filesystem::remove_all(target_);
    ASSERT_TRUE(test::WriteFile(backup_ + "/pack.zt4", test::ArchiveBytes(oldMembers)));
    for (int i = 1; i < 40; i += 2) {
      std::string name = "f" + std::to_string(i);
      if (i == 31 && !withOldFileOf31) continue;
      ASSERT_TRUE(test::WriteFile(backup_ + "/" + name, name + std::string(static_cast<size_t>(i) * 1000, 'c')));
    }
  };
  struct Run {
    Stop stop;
    std::string console;
    test::Tree tree;
  };
  auto run = [&](PatchEntry* tree, bool whole, int threads) {
    lay(whole);
    SetWorkerThreads(threads);
    user_.console.clear();
    Run result{ApplyTree(tree, Backup().c_str(), Target().c_str()), user_.console, test::ReadTree(target_)};
    ReleaseArchiveCache();
    return result;
  };
  for (bool whole : {true, false}) {
    PatchEntry* tree = describe(whole);
    Run one = run(tree, whole, 1);
    EXPECT_EQ(one.stop, whole ? Stop::kNone : Stop::kSourceMissing);
    EXPECT_EQ(one.console.find("..............................") != std::string::npos, whole);
    for (int threads : {2, 4, 8}) {
      Run many = run(tree, whole, threads);
      EXPECT_EQ(many.stop, one.stop) << whole << " with " << threads;
      EXPECT_EQ(many.console, one.console) << whole << " with " << threads;
      if (whole) {
        EXPECT_EQ(many.tree, one.tree) << threads;
      }
    }
    if (whole) {
      EXPECT_EQ(CheckTree(tree, Target().c_str()), Stop::kNone);
    }
  }
  SetWorkerThreads(0);
}

}  // namespace
}  // namespace zt4

namespace zt4 {
namespace {

TEST_F(UpdateFixture, WholeSequenceOverASampleInstall) {
  test::SampleInstall sample = test::MakeSampleInstall();
  ASSERT_TRUE(test::WriteTree(target_, sample.oldTree));
  PatchEntry* tree = nullptr;
  {
    list_ = sample.list;
    std::string patch = folder_ / "patch.zt4";
    ASSERT_TRUE(test::WritePatch(patch, list_, sample.payloads));
    ASSERT_TRUE(Mount(PoolString(patch.c_str()), PoolString("patch")));
    tree = ParsePatchList(reinterpret_cast<const uint8_t*>(list_.data()),
                          static_cast<int32_t>(list_.size()));
    ASSERT_NE(tree, nullptr);
    trees_.push_back(tree);
  }
  EXPECT_EQ(VerifyTree(tree, Target().c_str(), true), Stop::kNone);
  EXPECT_GT(ArchiveCacheSize(), 0);
  ReleaseArchiveCache();
  BackupRecord record;
  Journal journal;
  ASSERT_TRUE(BackupFolder(Target().c_str(), Backup().c_str(), &record, &journal, kDigest));
  FreeFolderItems(record.moved);
  ASSERT_TRUE(journal.Remove());
  EXPECT_EQ(test::ReadTree(backup_), sample.oldTree);
  EXPECT_EQ(ApplyTree(tree, Backup().c_str(), Target().c_str()), Stop::kNone);
  {
    Tree mid = test::ReadTree(target_);
    for (const auto& [path, content] : sample.newTree) {
      EXPECT_EQ(test::HexOf(mid[path]), test::HexOf(content)) << path;
    }
  }
  EXPECT_EQ(CheckTree(tree, Target().c_str()), Stop::kNone);
  Tree result = test::ReadTree(target_);
  Tree expected = sample.newTree;
  expected["BACKUP_FILES/"] = "";
  for (const auto& [path, content] : sample.oldTree) expected["BACKUP_FILES/" + path] = content;
  EXPECT_EQ(result, expected);
}

}  // namespace
}  // namespace zt4

namespace zt4 {
namespace {

// Counts how often the rebuilt archive is created: once when the coded bytes copied from
// the old archive give the expected file, twice when it has to be written the plain way.
class CountingCreates : public test::ScriptedPlatform {
 public:
  int creates = 0;
  // The rebuilt archive is written in the work folder under a name of its own kind.
  FileHandle OpenFile(const char* path, int mode) override {
    std::string name(path);
    if (mode == kOpenCreate && name.size() > 4 && name.compare(name.size() - 4, 4, ".zt4") == 0) {
      ++creates;
    }
    return ScriptedPlatform::OpenFile(path, mode);
  }
};

class CarriedMembers : public UpdateFixture {
 protected:
  // The old archive holds /m whose stored bytes are `coded`; the new one carries it over.
  // The group's digest is that of `expected` when given, else of the plainly written one.
  void Rebuild(const std::string& oldArchive, const std::string& expected = std::string()) {
    ASSERT_TRUE(test::WriteFile(backup_ + "/old.zt4", oldArchive));
    expected_ = !expected.empty() ? expected
                                  : test::ArchiveBytes({{"/p", "from the patch"}, {"/m", content_}});
    PatchEntry* tree = Prepare(ListBuilder()
                                   .GroupBegin("new.zt4", expected_)
                                   .Plain(1, "", "", "p", "from the patch")
                                   .Plain(0, "old/m", content_, "m", content_)
                                   .GroupEnd(),
                               {{1, "from the patch"}});
    ScopedPlatform scope(&counter_);
    EXPECT_EQ(ApplyTree(tree, Backup().c_str(), Target().c_str()), Stop::kNone);
  }
  const std::string content_ = std::string(3000, 'm') + "end";
  std::string expected_;
  CountingCreates counter_;
};

TEST_F(CarriedMembers, CodedBytesAreCopiedFromAnArchiveOfThisCoder) {
  Rebuild(test::ArchiveBytes({{"/m", content_}, {"/other", "o"}}));
  EXPECT_EQ(Read(target_ + "/new.zt4"), expected_);
  EXPECT_EQ(counter_.creates, 1);
  EXPECT_EQ(counter_.console.substr(0, 15), "\r  0/  1 (0%)..");
}

// An old member coded by another writer: bytes after a coded stream do not change what it
// decodes to, so it reads back the same, but its stored bytes are not what this coder
// writes. Returns the old archive holding it; `coded` receives its stored bytes.
std::string OtherCoderArchive(const std::string& folder, const std::string& content,
                              std::string* coded, ArchiveEntry* facts) {
  std::string old = test::ArchiveBytes({{"/m", content}});
  Archive reader;
  EXPECT_TRUE(test::WriteFile(folder + "/probe.zt4", old));
  EXPECT_TRUE(reader.Open(PoolString((folder + "/probe.zt4").c_str())));
  const ArchiveEntry* entry = reader.Find(PoolString("/m"));
  if (entry == nullptr) {
    ADD_FAILURE() << "no /m in the probe";
    return std::string();
  }
  *facts = *entry;
  *coded = old.substr(entry->offset, entry->storedSize) + "other coder";
  ArchiveWriter writer;
  std::string path = folder + "/other-coder.zt4";
  EXPECT_TRUE(writer.Create(PoolString(path.c_str())));
  EXPECT_TRUE(writer.AddCoded(reinterpret_cast<const uint8_t*>(coded->data()),
                              static_cast<uint32_t>(coded->size()), entry->contentSize, entry->crc,
                              PoolString("/m")));
  EXPECT_TRUE(writer.Finish());
  std::string bytes;
  EXPECT_TRUE(test::ReadFile(path, &bytes));
  return bytes;
}

TEST_F(CarriedMembers, AnotherCodersBytesAreKeptWhenTheGroupDigestNamesThem) {
  std::string coded;
  ArchiveEntry facts;
  std::string otherCoder = OtherCoderArchive(folder_.Path(), content_, &coded, &facts);
  // The new archive as its publisher made it: /p written, /m copied as stored.
  std::string path = folder_ / "published.zt4";
  ArchiveWriter writer;
  ASSERT_TRUE(writer.Create(PoolString(path.c_str())));
  const std::string p = "from the patch";
  ASSERT_TRUE(writer.Add(reinterpret_cast<const uint8_t*>(p.data()),
                         static_cast<uint32_t>(p.size()), PoolString("/p")));
  ASSERT_TRUE(writer.AddCoded(reinterpret_cast<const uint8_t*>(coded.data()),
                              static_cast<uint32_t>(coded.size()), facts.contentSize, facts.crc,
                              PoolString("/m")));
  ASSERT_TRUE(writer.Finish());
  std::string published;
  ASSERT_TRUE(test::ReadFile(path, &published));
  ASSERT_NE(published, test::ArchiveBytes({{"/p", p}, {"/m", content_}}));

  Rebuild(otherCoder, published);
  EXPECT_EQ(Read(target_ + "/new.zt4"), published);
  EXPECT_EQ(counter_.creates, 1);
}

TEST_F(CarriedMembers, ArchiveOfAnotherCoderIsWrittenAgainThePlainWay) {
  // Bytes after a coded stream do not change what it decodes to, so this old member
  // reads back the same, but its stored bytes are not what this coder writes.
  std::string old = test::ArchiveBytes({{"/m", content_}});
  Archive reader;
  ASSERT_TRUE(test::WriteFile(folder_ / "probe.zt4", old));
  ASSERT_TRUE(reader.Open(PoolString((folder_ / "probe.zt4").c_str())));
  const ArchiveEntry* entry = reader.Find(PoolString("/m"));
  ASSERT_NE(entry, nullptr);
  std::string coded = old.substr(entry->offset, entry->storedSize) + "other coder";
  ArchiveWriter writer;
  std::string oldPath = folder_ / "other-coder.zt4";
  ASSERT_TRUE(writer.Create(PoolString(oldPath.c_str())));
  ASSERT_TRUE(writer.AddCoded(reinterpret_cast<const uint8_t*>(coded.data()),
                              static_cast<uint32_t>(coded.size()), entry->contentSize,
                              entry->crc, PoolString("/m")));
  ASSERT_TRUE(writer.Finish());
  std::string otherCoder;
  ASSERT_TRUE(test::ReadFile(oldPath, &otherCoder));

  Rebuild(otherCoder);
  EXPECT_EQ(Read(target_ + "/new.zt4"), expected_);
  EXPECT_EQ(counter_.creates, 2);
  // The second writing prints no further dots.
  EXPECT_EQ(counter_.console.substr(0, 16), "\r  0/  1 (0%)..\r");
}

}  // namespace
}  // namespace zt4
