// zt4 restore on the states an update can leave, each made as the update makes it (its
// journal begun before the first move, the backup complete, names noted before they are
// written): the old install comes back, and nothing the update cannot be shown to have
// written is removed. The user's own config.ini, which the new version also has, is the
// file at risk.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "codec/sha1.h"
#include "fault_harness.h"
#include "support/patch_writer.h"
#include "update/journal.h"
#include "zt4/commands.h"

namespace zt4 {
namespace {

using test::Tree;

class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sample_ = test::MakeSampleInstall(true);
    target_ = folder_ / "install";
    ASSERT_TRUE(test::WriteTree(target_, sample_.oldTree));
    patch_ = folder_ / "patch.zt4";
    ASSERT_TRUE(test::WritePatch(patch_, sample_.list, sample_.payloads));
    Sha1Digest(sample_.list.data(), sample_.list.size(), digest_);
  }
  std::string Backup() const { return test::DialogPath(target_ + "/BACKUP_FILES"); }
  // What the backup does before its first move: the folder and the journal in it.
  void BeginJournal(const uint8_t* digest) {
    FolderItem* items = ListFolder(test::DialogPath(target_).c_str());
    ASSERT_EQ(Os().CreateFolderTree(Backup().c_str()), FolderResult::kCreated);
    ASSERT_TRUE(journal_.Begin(Backup().c_str(), items, digest));
    FreeFolderItems(items);
  }
  void MoveToBackup(const std::string& name) {
    Os().CreateFolderTree(Backup().c_str());
    ASSERT_TRUE(Os().MoveItem(test::DialogPath(target_ + "/" + name).c_str(),
                              (Backup() + "\\" + name).c_str()));
  }
  void MoveAllToBackup() {
    for (const auto& [path, content] : sample_.oldTree) {
      if (path.find('/') == std::string::npos || path.find('/') == path.size() - 1) {
        MoveToBackup(path.back() == '/' ? path.substr(0, path.size() - 1) : path);
      }
    }
  }
  // The backup complete, and these new files noted and written as the apply pass does.
  void WriteNewFiles(const std::vector<std::string>& names) {
    ASSERT_TRUE(journal_.NoteBackupComplete("zt4work"));
    for (const std::string& name : names) ASSERT_TRUE(journal_.NoteWritten(name.c_str()));
    ASSERT_TRUE(journal_.Flush());
    for (const std::string& name : names) {
      ASSERT_TRUE(test::WriteFile(target_ + "/" + name, sample_.newTree.at(name)));
    }
  }
  bool Restore() { return tool::RestoreCommand({target_, patch_}); }

  test::SampleInstall sample_;
  test::TempFolder folder_;
  std::string target_;
  std::string patch_;
  uint8_t digest_[kPatchDigestSize] = {};
  Journal journal_;
};

TEST_F(RestoreTest, WithoutBackupFolderRefusesAndChangesNothing) {
  EXPECT_FALSE(Restore());
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
  EXPECT_FALSE(tool::RestoreCommand({folder_ / "no-such-folder"}));
}

// Cut during the backup: the update wrote nothing, and the user's config.ini, still in the
// install, is not the new version's, whatever the patch names. With the journal begun or
// without one (the state made by hand), with the patch or without it.
TEST_F(RestoreTest, CutDuringTheBackupKeepsTheUsersFile) {
  for (bool journaled : {true, false}) {
    for (bool withPatch : {true, false}) {
      SCOPED_TRACE(std::string(journaled ? "journal" : "no journal") +
                   (withPatch ? ", patch" : ", no patch"));
      if (journaled) BeginJournal(digest_);
      MoveToBackup("readme.txt");
      MoveToBackup("bin");
      std::vector<std::string> arguments = {target_};
      if (withPatch) arguments.push_back(patch_);
      EXPECT_TRUE(tool::RestoreCommand(arguments));
      EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
    }
  }
}

// After the backup only what the journal names goes: the files written, the work folder,
// the folders made for them. A file that appeared after the cut under another name stays.
TEST_F(RestoreTest, AfterTheBackupOnlyWhatTheJournalNamesIsRemoved) {
  BeginJournal(digest_);
  MoveAllToBackup();
  WriteNewFiles({"readme.txt", "new/added.bin", "config.ini"});
  ASSERT_TRUE(test::WriteFile(target_ + "/zt4work/5", "written ahead"));
  ASSERT_TRUE(test::WriteFile(target_ + "/save.dat", "the user's, made after the cut"));
  EXPECT_TRUE(Restore());
  Tree expected = sample_.oldTree;
  expected["save.dat"] = "the user's, made after the cut";
  EXPECT_EQ(test::ReadTree(target_), expected);
}

// Without a journal (an update that completed) nothing is removed: what meets no item of
// its name goes back, the rest is named and stays in BACKUP_FILES.
TEST_F(RestoreTest, WithoutAJournalNothingIsRemoved) {
  MoveAllToBackup();
  ASSERT_TRUE(test::WriteTree(target_, sample_.newTree));
  EXPECT_FALSE(Restore());
  Tree after = test::ReadTree(target_);
  for (const auto& [path, content] : sample_.newTree) EXPECT_EQ(after[path], content) << path;
  EXPECT_EQ(after["gone.txt"], sample_.oldTree["gone.txt"]);  // nothing of its name there
  EXPECT_EQ(after["BACKUP_FILES/config.ini"], "mine");
}

// A folder that a failed move split in two is joined again; its unmoved half is old,
// however the rest looks, and is never removed.
TEST_F(RestoreTest, ASplitFolderIsJoinedAndNothingOfItIsLost) {
  ASSERT_TRUE(test::WriteFile(target_ + "/sub/keep.txt", "old, not moved"));
  Tree old = test::ReadTree(target_);
  BeginJournal(digest_);
  ASSERT_NE(Os().CreateFolderTree((Backup() + "\\sub").c_str()), FolderResult::kFailed);
  ASSERT_TRUE(Os().MoveItem(test::DialogPath(target_ + "/sub/more.zt4").c_str(),
                            (Backup() + "\\sub\\more.zt4").c_str()));
  MoveToBackup("readme.txt");
  EXPECT_TRUE(Restore());
  EXPECT_EQ(test::ReadTree(target_), old);
}

TEST_F(RestoreTest, AJournalOfAnotherPatchChangesNothing) {
  const uint8_t other[kPatchDigestSize] = {1};
  BeginJournal(other);
  MoveAllToBackup();
  Tree before = test::ReadTree(target_);
  EXPECT_FALSE(Restore());
  EXPECT_EQ(test::ReadTree(target_), before);
}

TEST_F(RestoreTest, EmptyBackupFolderAndTrailingSeparator) {
  ASSERT_NE(Os().CreateFolderTree(Backup().c_str()), FolderResult::kFailed);
  EXPECT_TRUE(Restore());
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
  BeginJournal(digest_);
  MoveAllToBackup();
  WriteNewFiles({"readme.txt"});
  EXPECT_TRUE(tool::RestoreCommand({test::DialogPath(target_) + "\\", patch_}));
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

#ifndef _WIN32
// A link in the install is moved as itself and never entered: a name the journal shows
// written, met through a link the user made, is not removed where the link points.
TEST_F(RestoreTest, NothingIsRemovedThroughALink) {
  const std::string outside = folder_ / "outside";
  ASSERT_TRUE(test::WriteFile(outside + "/x.txt", "outside the install"));
  std::filesystem::create_directory_symlink(outside, target_ + "/mods");
  Tree old = test::ReadTree(target_);
  BeginJournal(digest_);
  MoveAllToBackup();
  MoveToBackup("mods");
  ASSERT_TRUE(journal_.NoteBackupComplete("zt4work"));
  ASSERT_TRUE(journal_.NoteWritten("mods/x.txt"));
  ASSERT_TRUE(journal_.Flush());
  std::filesystem::create_directory_symlink(outside, target_ + "/mods");
  EXPECT_FALSE(Restore());  // the old link meets the new one, and stays named
  EXPECT_EQ(test::ReadTree(outside), (Tree{{"x.txt", "outside the install"}}));
  std::filesystem::remove(target_ + "/mods");
  EXPECT_TRUE(Restore());
  EXPECT_EQ(test::ReadTree(target_), old);
  EXPECT_EQ(test::ReadTree(outside), (Tree{{"x.txt", "outside the install"}}));
}
#endif

}  // namespace
}  // namespace zt4
