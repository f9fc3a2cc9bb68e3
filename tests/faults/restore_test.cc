// zt4 restore on the states an update can leave: none at all (refused, nothing changed),
// a finished backup with the new version partly or wholly written, a backup cut short,
// and an empty backup folder. The old install always comes back whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "zt4/commands.h"
#include "fault_harness.h"
#include "support/patch_writer.h"

namespace zt4 {
namespace {

using test::Tree;

class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sample_ = test::MakeSampleInstall();
    target_ = folder_ / "install";
    ASSERT_TRUE(test::WriteTree(target_, sample_.oldTree));
    patch_ = folder_ / "patch.zt4";
    ASSERT_TRUE(test::WritePatch(patch_, sample_.list, sample_.payloads));
  }
  // Moves one top-level item into BACKUP_FILES, as the backup does.
  void MoveToBackup(const std::string& name) {
    Os().CreateFolderTree(test::DialogPath(target_ + "/BACKUP_FILES").c_str());
    ASSERT_TRUE(Os().MoveItem(test::DialogPath(target_ + "/" + name).c_str(),
                              test::DialogPath(target_ + "/BACKUP_FILES/" + name).c_str()));
  }
  void MoveAllToBackup() {
    for (const auto& [path, content] : sample_.oldTree) {
      if (path.find('/') == std::string::npos || path.find('/') == path.size() - 1) {
        MoveToBackup(path.back() == '/' ? path.substr(0, path.size() - 1) : path);
      }
    }
  }
  bool Restore() { return tool::RestoreCommand({target_, patch_}); }

  test::SampleInstall sample_;
  test::TempFolder folder_;
  std::string target_;
  std::string patch_;
};

TEST_F(RestoreTest, WithoutBackupFolderRefusesAndChangesNothing) {
  EXPECT_FALSE(Restore());
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
  EXPECT_FALSE(tool::RestoreCommand({folder_ / "no-such-folder"}));
}

TEST_F(RestoreTest, AfterTheWholeNewVersionWasWritten) {
  MoveAllToBackup();
  ASSERT_TRUE(test::WriteTree(target_, sample_.newTree));
  ASSERT_EQ(test::ReadTree(target_), test::UpdatedTree(sample_.oldTree, sample_.newTree));
  EXPECT_TRUE(Restore());
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

TEST_F(RestoreTest, AfterPartOfTheNewVersionWasWritten) {
  MoveAllToBackup();
  ASSERT_TRUE(test::WriteFile(target_ + "/.hidden", "half wri"));
  ASSERT_TRUE(test::WriteFile(target_ + "/new/added.bin", "added file"));
  EXPECT_TRUE(Restore());
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

// A folder that a failed move split in two is joined again; its unmoved half is old,
// however the rest looks, and is never removed.
TEST_F(RestoreTest, ASplitFolderIsJoinedAndNothingOfItIsLost) {
  ASSERT_TRUE(test::WriteFile(target_ + "/sub/keep.txt", "old, not moved"));
  Tree old = test::ReadTree(target_);
  ASSERT_NE(Os().CreateFolderTree(test::DialogPath(target_ + "/BACKUP_FILES/sub").c_str()),
            FolderResult::kFailed);
  ASSERT_TRUE(Os().MoveItem(test::DialogPath(target_ + "/sub/more.zt4").c_str(),
                            test::DialogPath(target_ + "/BACKUP_FILES/sub/more.zt4").c_str()));
  MoveToBackup("readme.txt");
  for (bool withPatch : {false, true}) {
    Tree split = test::ReadTree(target_);
    std::vector<std::string> arguments = {target_};
    if (withPatch) arguments.push_back(patch_);
    EXPECT_TRUE(tool::RestoreCommand(arguments)) << withPatch;
    EXPECT_EQ(test::ReadTree(target_), old) << withPatch;
    // The same split again for the second round.
    ASSERT_TRUE(test::WriteTree(target_, {}));
    std::filesystem::remove_all(target_);
    ASSERT_TRUE(test::WriteTree(target_, split));
  }
}

// Without the patch, a file on both sides may be the update's or an old one: neither is
// removed, the command says what stayed, and every old file is still in one place.
TEST_F(RestoreTest, WithoutThePatchNothingIsRemoved) {
  MoveAllToBackup();
  ASSERT_TRUE(test::WriteTree(target_, sample_.newTree));
  EXPECT_FALSE(tool::RestoreCommand({target_}));
  Tree after = test::ReadTree(target_);
  for (const auto& [path, content] : sample_.newTree) EXPECT_EQ(after[path], content) << path;
  // Nothing moved either: the old install is still whole in BACKUP_FILES.
  EXPECT_EQ(test::Subtree(after, "BACKUP_FILES/"), sample_.oldTree);
  // With the patch it goes the whole way.
  EXPECT_TRUE(Restore());
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

TEST_F(RestoreTest, BackupCutShortKeepsWhatItHadNotMoved) {
  MoveToBackup("readme.txt");
  MoveToBackup("bin");
  EXPECT_TRUE(Restore());
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

TEST_F(RestoreTest, EmptyBackupFolderIsRemoved) {
  ASSERT_NE(Os().CreateFolderTree(test::DialogPath(target_ + "/BACKUP_FILES").c_str()),
            FolderResult::kFailed);
  EXPECT_TRUE(Restore());
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

TEST_F(RestoreTest, TrailingSeparatorAndBackslashesAreAccepted) {
  MoveAllToBackup();
  ASSERT_TRUE(test::WriteTree(target_, sample_.newTree));
  EXPECT_TRUE(tool::RestoreCommand({test::DialogPath(target_) + "\\", patch_}));
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

}  // namespace
}  // namespace zt4
