// The whole applier in-process, with a scripted user in place of the dialogs. A stop ends
// the process, so those runs are death tests; the folders they leave are checked after.
#include "driver/update_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/texts.h"
#include "support/patch_writer.h"
#include "support/sample_install.h"
#include "support/scripted_platform.h"
#include "support/test_files.h"

namespace zt4 {
namespace {

using test::BoxPattern;
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

}  // namespace
}  // namespace zt4
