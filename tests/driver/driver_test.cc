// The whole applier in-process, with a scripted user in place of the dialogs. A stop ends
// the process, so those runs are death tests; the folders they leave are checked after.
#include "driver/update_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "archive/mount.h"
#include "base/heap.h"
#include "base/texts.h"
#include "support/patch_writer.h"
#include "support/sample_install.h"
#include "support/scripted_platform.h"
#include "support/test_files.h"
#include "update/phases.h"

namespace zt4 {
namespace {

using test::BoxPattern;
using test::ListBuilder;
using test::Tree;

class DriverTest : public test::SampleLayoutTest {
 protected:
  void SetUp() override {
    SampleLayoutTest::SetUp();
    user_.executable = test::DialogPath(program_) + "\\zt4patch.exe";
    user_.folder = test::DialogPath(target_);
  }
  test::ScriptedPlatform user_;
  ScopedPlatform scope_{&user_};
};

TEST_F(DriverTest, CompleteRun) {
  user_.answers.push_back(kAnswerYes);
  EXPECT_EQ(UpdateDriver(), 0);
  EXPECT_EQ(test::ReadTree(target_), Updated());
  // The confirmation, then the completion.
  EXPECT_EQ(user_.boxes, test::HexOf(kConfirmText) + "\n" + test::HexOf(kDoneText) + "\n");
  // The five status lines in order, each on its own line, around the passes' output.
  const std::string& console = user_.console;
  size_t at = 0;
  for (const char* line : {kConsoleCheckingPatch, kConsoleCheckingTarget, kConsoleMakingBackup,
                           kConsoleApplying, kConsoleCheckingResult}) {
    size_t found = console.find(std::string(line) + "\n", at);
    ASSERT_NE(found, std::string::npos) << test::HexOf(line);
    at = found + 1;
  }
  EXPECT_EQ(console.find(std::string(kConsoleCheckingPatch) + "\n" + kConsoleCheckingTarget), 0u);
  EXPECT_NE(console.find(std::string(kApplyDoneLine) + kConsoleCheckingResult), std::string::npos);
  EXPECT_EQ(console.substr(console.size() - std::string(kCheckDoneLine).size()), kCheckDoneLine);
}

// Items whose names Shift-JIS cannot write (made with the OS's own Unicode names) go into
// the backup with the rest, under the same names.
TEST_F(DriverTest, ItemsNamedInAnyScriptAreBackedUpUnderTheirOwnNames) {
  std::filesystem::path install(target_);
  std::filesystem::create_directory(install / u8"한국어");
  ASSERT_TRUE(std::ofstream(install / u8"Café.txt", std::ios::binary) << "cafe");
  ASSERT_TRUE(std::ofstream(install / u8"한국어" / u8"表.txt", std::ios::binary) << "table");
  user_.answers.push_back(kAnswerYes);
  EXPECT_EQ(UpdateDriver(), 0);
  std::filesystem::path backup = install / "BACKUP_FILES";
  EXPECT_TRUE(std::filesystem::exists(backup / u8"Café.txt"));
  EXPECT_TRUE(std::filesystem::exists(backup / u8"한국어" / u8"表.txt"));
  // Inside, the listing carries the characters in the edge's form (0xFF and a UTF-16 unit).
  const std::string korean = "\xFF" "D55C\xFF" "AD6D\xFF" "C5B4";
  Tree expected = Updated();
  expected["BACKUP_FILES/Caf\xFF" "00E9.txt"] = "cafe";
  expected["BACKUP_FILES/" + korean + "/"] = "";
  expected["BACKUP_FILES/" + korean + "/\x95\x5C.txt"] = "table";
  EXPECT_EQ(test::ReadTree(target_), expected);
}

TEST_F(DriverTest, MissingPatchStopsBeforeTheDialog) {
  ASSERT_TRUE(Os().DeleteFile((program_ + "/patch.zt4").c_str()));
  EXPECT_EXIT(UpdateDriver(), testing::ExitedWithCode(0), "^" + BoxPattern(StopPatchDamaged));
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

TEST_F(DriverTest, DamagedListStopsBeforeTheDialog) {
  std::string list = sample_.list.substr(0, sample_.list.size() - 3);
  ASSERT_TRUE(test::WritePatch(program_ + "/patch.zt4", list, sample_.payloads));
  EXPECT_EXIT(UpdateDriver(), testing::ExitedWithCode(0), "^" + BoxPattern(StopPatchDamaged));
  ASSERT_TRUE(test::WritePatch(program_ + "/patch.zt4", "", sample_.payloads));
  EXPECT_EXIT(UpdateDriver(), testing::ExitedWithCode(0), "^" + BoxPattern(StopPatchDamaged));
}

TEST_F(DriverTest, CancelledDialogTouchesNothing) {
  user_.folder.clear();
  EXPECT_EXIT(UpdateDriver(), testing::ExitedWithCode(0), "^dialog\n" + BoxPattern(StopAborted));
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

TEST_F(DriverTest, TamperedFileStopsBeforeTheConfirmation) {
  ASSERT_TRUE(test::WriteFile(target_ + "/readme.txt", "tampered"));
  Tree tampered = test::ReadTree(target_);
  EXPECT_EXIT(UpdateDriver(), testing::ExitedWithCode(0),
              "^dialog\n" + BoxPattern(StopVersionMismatch));
  EXPECT_EQ(test::ReadTree(target_), tampered);
}

TEST_F(DriverTest, EarlierBackupStopsBeforeVerifying) {
  // A folder or a file of that name: either way before the confirmation is asked for.
  for (const char* earlier : {"BACKUP_FILES/from-before", "BACKUP_FILES"}) {
    ASSERT_TRUE(test::WriteFile(target_ + "/" + earlier, "old backup"));
    Tree before = test::ReadTree(target_);
    user_.answers.push_back(kAnswerYes);
    EXPECT_EXIT(UpdateDriver(), testing::ExitedWithCode(0), "^dialog\n" + BoxPattern(StopAborted))
        << earlier;
    EXPECT_EQ(test::ReadTree(target_), before);
    std::filesystem::remove_all(target_ + "/BACKUP_FILES");
  }
}

TEST_F(DriverTest, OnlyAnExplicitYesGoesOn) {
  // 0: the box could not be shown; 2: cancelled.
  for (int answer : {kAnswerNo, 0, 2, kAnswerOk}) {
    user_.answers.assign(1, answer);
    EXPECT_EXIT(UpdateDriver(), testing::ExitedWithCode(0),
                "^dialog\nbox:" + test::HexOf(kConfirmText) + "\n" + BoxPattern(StopAborted))
        << answer;
    EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
  }
}

TEST_F(DriverTest, TargetTooLongForTheBackupPathStopsFirst) {
  user_.folder = test::DialogPath(target_) + "\\" + std::string(250, 'd');
  EXPECT_EXIT(UpdateDriver(), testing::ExitedWithCode(0), "^dialog\n" + BoxPattern(StopAborted));
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

// A volume with little room left.
class SmallVolume : public test::ScriptedPlatform {
 public:
  int64_t free = -1;
  int64_t FreeSpace(const char* /*path*/) override { return free; }
};

// What the apply pass would fail on is found before the confirmation, with the stop that
// pass would give, and nothing moves: a new path that does not fit, an old path that does
// not fit once in BACKUP_FILES, a damaged payload, no room for the new files.
TEST_F(DriverTest, WhatTheUpdateWouldFailOnStopsBeforeTheConfirmation) {
  const size_t room = kMaxPath - 1 - test::DialogPath(target_).size();  // for "/name"
  const std::string longNew(room, 'n');
  const std::string longOld(room - 1 - std::string("/BACKUP_FILES").size() + 1, 'o');
  ASSERT_TRUE(test::WriteFile(target_ + "/" + longOld, "old"));
  struct Case {
    const char* what;
    std::string list;
    std::map<int32_t, std::string> payloads;
    int64_t free;
    const char* stop;
  } cases[] = {
      {"new path too long", ListBuilder().Plain(0, "", "", longNew, "x").Bytes(), {{0, "x"}}, -1,
       StopWriteFailed},
      {"old path too long in the backup",
       ListBuilder().Plain(0, longOld, "old", "short", "new").Bytes(),
       {{0, test::Delta({{0, "new"}})}}, -1, StopSourceMissing},
      {"delta past the new size",
       ListBuilder().Plain(0, "readme.txt", sample_.oldTree.at("readme.txt"), "readme.txt", "ab")
           .Bytes(),
       {{0, test::Delta({{1, "xyz"}})}}, -1, StopPatchDamaged},
      {"no room", sample_.list, sample_.payloads, 10, StopWriteFailed},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(test::WritePatch(program_ + "/patch.zt4", c.list, c.payloads));
    Tree before = test::ReadTree(target_);
    SmallVolume user;
    user.executable = user_.executable;
    user.folder = user_.folder;
    user.answers.push_back(kAnswerYes);
    user.free = c.free;
    ScopedPlatform scope(&user);
    EXPECT_EXIT(UpdateDriver(), testing::ExitedWithCode(0), "^dialog\n" + BoxPattern(c.stop))
        << c.what;
    EXPECT_EQ(test::ReadTree(target_), before) << c.what;
  }
}

// A move that fails halfway: the items already moved go back, nothing is applied.
class FailingMove : public test::ScriptedPlatform {
 public:
  int moves = 0;
  bool MoveItem(const char* from, const char* to) override {
    if (++moves == 3) return false;
    return ScriptedPlatform::MoveItem(from, to);
  }
};

TEST_F(DriverTest, FailedBackupIsUndone) {
  FailingMove user;
  user.executable = user_.executable;
  user.folder = user_.folder;
  user.answers.push_back(kAnswerYes);
  ScopedPlatform scope(&user);
  EXPECT_EXIT(UpdateDriver(), testing::ExitedWithCode(0), BoxPattern(StopAborted));
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

// An update stopped after its backup (every new file fails to be moved to its name).
class FailingReplace : public test::ScriptedPlatform {
 public:
  bool ReplaceFile(const char* /*from*/, const char* /*to*/) override { return false; }
};

// Run again on what a stopped update left, the program asks whether to finish it: only a
// Yes goes on, and it ends as a complete run; a journal of another patch is an earlier
// backup. (A death test's child makes the stopped update again in a folder of its own.)
TEST_F(DriverTest, AStoppedUpdateIsFinishedAfterAYes) {
  {
    FailingReplace failing;
    ScopedPlatform scope(&failing);
    uint8_t* description = nullptr;
    uint8_t digest[20];
    PatchEntry* tree = LoadPatch(PoolString((program_ + "/patch.zt4").c_str()), &description, digest);
    ASSERT_NE(tree, nullptr);
    const std::string target = test::DialogPath(target_);
    const std::string backup = target + "\\BACKUP_FILES";
    Phase phase;
    EXPECT_EQ(VerifyTarget(tree, target.c_str(), backup.c_str()), Stop::kNone);
    EXPECT_EQ(UpdateTarget(tree, digest, target.c_str(), backup.c_str(), &phase), Stop::kWriteFailed);
    Unmount(PoolString(kPatchMountName));
    FreePatchList(tree);
    FreeBlock(description);
  }
  ASSERT_EQ(test::ReadTree(target_).count("BACKUP_FILES/zt4journal"), 1u);
  for (int answer : {kAnswerNo, 0}) {
    user_.answers.assign(1, answer);
    EXPECT_EXIT(UpdateDriver(), testing::ExitedWithCode(0),
                "^dialog\nbox:" + test::HexOf(kResumeText) + "\n" + BoxPattern(StopAborted))
        << answer;
  }
  // Another patch (its description differs) finds an earlier backup.
  const std::string program = program_ + "/patch.zt4";
  std::string original;
  ASSERT_TRUE(test::ReadFile(program, &original));
  test::SampleInstall other = test::MakeSampleInstall(true);
  ASSERT_TRUE(test::WritePatch(program, other.list, other.payloads));
  user_.answers.assign(1, kAnswerYes);
  EXPECT_EXIT(UpdateDriver(), testing::ExitedWithCode(0), "^dialog\n" + BoxPattern(StopAborted));
  ASSERT_TRUE(test::WriteFile(program, original));

  EXPECT_EQ(UpdateDriver(), 0);
  EXPECT_EQ(test::ReadTree(target_), Updated());
  EXPECT_EQ(user_.boxes, test::HexOf(kResumeText) + "\n" + test::HexOf(kDoneText) + "\n");
  size_t at = 0;
  for (const char* line : {kConsoleCheckingPatch, kConsoleUnfinishedUpdate, kConsoleMakingBackup,
                           kConsoleCheckingTarget, kConsoleApplying, kConsoleCheckingResult}) {
    const size_t found = user_.console.find(std::string(line) + "\n", at);
    ASSERT_NE(found, std::string::npos) << test::HexOf(line);
    at = found + 1;
  }
}

}  // namespace
}  // namespace zt4
