// Windows: a file held open by someone else for a moment (a virus scanner, an indexer)
// is waited for. The test holds a file open for reading only, through the platform, and
// lets it go from another thread after 300 ms; an open for writing and a new file in its
// place must then succeed, late. A file held for good fails after about a second. A move
// is tried once: the shell's move of a held file fails and leaves it where it was.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/patch_writer.h"
#include "support/test_files.h"

namespace zt4 {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class LockRetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = test::DialogPath(folder_ / "held.bin");
    ASSERT_TRUE(test::WriteFile(path_, "content"));
    holder_ = Os().OpenFile(path_.c_str(), kOpenRead);  // shared with readers only
    ASSERT_NE(holder_, kNoFile);
  }
  void TearDown() override {
    if (release_.joinable()) release_.join();
    if (holder_ != kNoFile) Os().CloseFile(holder_);
  }
  void ReleaseAfter(int milliseconds) {
    FileHandle held = holder_;
    holder_ = kNoFile;
    release_ = std::thread([held, milliseconds] {
      std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
      Os().CloseFile(held);
    });
  }

  test::TempFolder folder_;
  std::string path_;
  FileHandle holder_ = kNoFile;
  std::thread release_;
};

TEST_F(LockRetryTest, OpenForWritingWaitsForAHeldFile) {
  ReleaseAfter(300);
  Clock::time_point start = Clock::now();
  FileHandle file = Os().OpenFile(path_.c_str(), kOpenAppend);
  double waited = SecondsSince(start);
  ASSERT_NE(file, kNoFile);
  Os().CloseFile(file);
  EXPECT_GE(waited, 0.2);
}

TEST_F(LockRetryTest, NewFileInPlaceOfAHeldOneWaits) {
  ReleaseAfter(300);
  FileHandle file = Os().OpenFile(path_.c_str(), kOpenCreate);
  ASSERT_NE(file, kNoFile);
  EXPECT_TRUE(Os().WriteFile(file, "new", 3));
  Os().CloseFile(file);
  std::string content;
  release_.join();
  ASSERT_TRUE(test::ReadFile(path_, &content));
  EXPECT_EQ(content, "new");
}

TEST_F(LockRetryTest, MoveOfAHeldFileFailsAndLeavesIt) {
  // A file open without delete sharing cannot be renamed until it is closed.
  std::string moved = test::DialogPath(folder_ / "moved.bin");
  EXPECT_FALSE(Os().MoveItem(path_.c_str(), moved.c_str()));
  EXPECT_FALSE(test::Exists(moved));
  EXPECT_TRUE(test::Exists(path_)) << "source gone";
  // Once let go, the same move goes through.
  Os().CloseFile(holder_);
  holder_ = kNoFile;
  EXPECT_TRUE(Os().MoveItem(path_.c_str(), moved.c_str()));
  EXPECT_TRUE(test::Exists(moved));
  EXPECT_FALSE(test::Exists(path_));
}

TEST_F(LockRetryTest, OpenOfAFileHeldForGoodFailsAfterAboutASecond) {
  Clock::time_point start = Clock::now();
  EXPECT_EQ(Os().OpenFile(path_.c_str(), kOpenAppend), kNoFile);
  double waited = SecondsSince(start);
  EXPECT_GE(waited, 0.7);
  EXPECT_LE(waited, 5.0);
}

TEST_F(LockRetryTest, MissingFileFailsAtOnce) {
  Clock::time_point start = Clock::now();
  EXPECT_EQ(Os().OpenFile(test::DialogPath(folder_ / "missing.bin").c_str(), kOpenRead), kNoFile);
  EXPECT_LT(SecondsSince(start), 0.5);
}

}  // namespace
}  // namespace zt4
