// The journal on the disk: what is read back is what was noted, a torn end loses only the
// records it cut (and notes made after it replace them), the start of a journal cut
// before its header is told apart from one, and its name is none of the install's.
#include "update/journal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/patch_writer.h"
#include "support/scripted_platform.h"
#include "support/test_files.h"

namespace zt4 {
namespace {

std::vector<std::string> Written(const Journal& journal) {
  std::vector<std::string> names;
  journal.ForEachWritten([&names](const char* name) { names.emplace_back(name); });
  return names;
}

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backup_ = folder_ / "BACKUP_FILES";
    ASSERT_EQ(Os().CreateFolderTree(test::DialogPath(backup_).c_str()), FolderResult::kCreated);
  }
  std::string Backup() const { return test::DialogPath(backup_); }

  const uint8_t digest_[kPatchDigestSize] = {1, 2, 3};
  test::TempFolder folder_;
  std::string backup_;
};

TEST_F(JournalTest, ATornEndLosesOnlyTheRecordsItCut) {
  const std::vector<std::string> names = {"readme.txt", "\x83\x5C/\x83\x66\x81\x5B\x83\x5E.bin",
                                          "new/added.bin"};
  std::string whole;
  std::vector<size_t> ends;  // where each record ends: the backup's, then each name's
  {
    Journal journal;
    ASSERT_TRUE(journal.Begin(Backup().c_str(), nullptr, digest_));
    ASSERT_TRUE(journal.NoteBackupComplete("zt4work"));
    ASSERT_TRUE(test::ReadFile(backup_ + "/zt4journal", &whole));
    ends.push_back(whole.size());
    for (const std::string& name : names) {
      ASSERT_TRUE(journal.NoteWritten(name.c_str()));
      ASSERT_TRUE(journal.Flush());
      ASSERT_TRUE(test::ReadFile(backup_ + "/zt4journal", &whole));
      ends.push_back(whole.size());
    }
  }
  // Cut at every byte from the end of the header on, and with zeros after the whole.
  for (size_t length = Journal::kHeaderSize; length <= whole.size() + 16; ++length) {
    SCOPED_TRACE(length);
    std::string torn = whole.substr(0, length);
    torn.resize(length, '\0');
    ASSERT_TRUE(test::WriteFile(backup_ + "/zt4journal", torn));
    Journal read;
    ASSERT_TRUE(read.Read(Backup().c_str()));
    EXPECT_TRUE(read.IsOf(digest_));
    size_t whole_records = 0;
    while (whole_records < ends.size() && ends[whole_records] <= length) ++whole_records;
    EXPECT_EQ(read.BackupComplete(), whole_records > 0);
    std::vector<std::string> expected(names.begin(),
                                      names.begin() + (whole_records > 0 ? whole_records - 1 : 0));
    EXPECT_EQ(Written(read), expected);
    // A note after the tear follows the last whole record.
    ASSERT_TRUE(read.NoteWritten("later.txt"));
    ASSERT_TRUE(read.Flush());
    Journal again;
    ASSERT_TRUE(again.Read(Backup().c_str()));
    expected.push_back("later.txt");
    EXPECT_EQ(Written(again), expected);
  }
}

TEST_F(JournalTest, AJournalCutBeforeItsHeaderIsNoJournal) {
  const std::string mark = "ZT4JRNL";
  const struct {
    std::string content;
    bool neverBegun;
  } cases[] = {{"", true},      {mark.substr(0, 3), true}, {std::string(32, '\0'), true},
               {"other", false}, {mark + std::string(40, 'x'), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(test::HexOf(c.content));
    ASSERT_TRUE(test::WriteFile(backup_ + "/zt4journal", c.content));
    Journal journal;
    EXPECT_FALSE(journal.Read(Backup().c_str()));
    EXPECT_EQ(BackupNeverBegun(Backup().c_str()), c.neverBegun);
  }
  // Beside an item of the install, it is an earlier backup.
  ASSERT_TRUE(test::WriteFile(backup_ + "/zt4journal", ""));
  ASSERT_TRUE(test::WriteFile(backup_ + "/readme.txt", "old"));
  EXPECT_FALSE(BackupNeverBegun(Backup().c_str()));
  EXPECT_FALSE(RemoveBackupNeverBegun(Backup().c_str()));
  ASSERT_TRUE(Os().DeleteFile((Backup() + "\\readme.txt").c_str()));
  EXPECT_TRUE(RemoveBackupNeverBegun(Backup().c_str()));
  EXPECT_FALSE(test::Exists(backup_));
}

// The journal takes a name no item of the install has (case aside), and is found again
// as the highest numbered one.
TEST_F(JournalTest, ItsNameIsNoneOfTheInstallsItems) {
  FolderItem taken[] = {{"zt4journal", ItemKind::kFile, nullptr},
                        {"ZT4JOURNAL3", ItemKind::kFolder, nullptr},
                        {"zt4journalx", ItemKind::kFile, nullptr}};
  taken[0].next = &taken[1];
  taken[1].next = &taken[2];
  Journal journal;
  ASSERT_TRUE(journal.Begin(Backup().c_str(), taken, digest_));
  EXPECT_STREQ(journal.Name(), "zt4journal4");
  ASSERT_TRUE(test::WriteFile(backup_ + "/zt4journal", "an old item"));
  Journal read;
  ASSERT_TRUE(read.Read(Backup().c_str()));
  EXPECT_STREQ(read.Name(), "zt4journal4");
  EXPECT_TRUE(read.IsOf(digest_));
}

}  // namespace
}  // namespace zt4
