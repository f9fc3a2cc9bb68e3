#include "base/stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "base/heap.h"
#include "platform/forwarding_platform.h"
#include "support/test_files.h"

namespace zt4 {
namespace {

class FakeExecutable : public ForwardingPlatform {
 public:
  explicit FakeExecutable(const char* path) : path_(path) {}
  bool ExecutablePath(char* buffer, int capacity) override {
    if (static_cast<int>(std::strlen(path_)) >= capacity) return false;
    std::strcpy(buffer, path_);
    return true;
  }

 private:
  const char* path_;
};

std::string Resolved(const char* executable, const char* name) {
  FakeExecutable platform(executable);
  ScopedPlatform scope(&platform);
  return ResolvePath(PoolString(name)).Text();
}

TEST(ResolvePath, RelativeNamesLandInTheProgramsFolder) {
  EXPECT_EQ(Resolved("C:\\dir\\prog.exe", "patch.zt4"), "C:\\dir\\patch.zt4");
  EXPECT_EQ(Resolved("C:\\dir\\prog.exe", "a/b"), "C:\\dir\\a/b");
  // Mixed separators: the later one ends the folder.
  EXPECT_EQ(Resolved("C:\\dir/sub\\prog.exe", "x"), "C:\\dir/sub\\x");
  EXPECT_EQ(Resolved("C:\\dir\\sub/prog.exe", "x"), "C:\\dir\\sub\\x");
  // A path without separator is taken whole.
  EXPECT_EQ(Resolved("prog", "x"), "prog\\x");
}

TEST(ResolvePath, AbsoluteNamesAreKept) {
  EXPECT_EQ(Resolved("C:\\dir\\prog.exe", "C:\\x"), "C:\\x");
  EXPECT_EQ(Resolved("C:\\dir\\prog.exe", "\\\\server\\share\\x"), "\\\\server\\share\\x");
}

TEST(ResolvePath, ShiftJisTrailByteIsNotASeparator) {
  // "ソ" is 83 5C: its second byte must not end the folder.
  EXPECT_EQ(Resolved("C:\\\x83\x5C\\prog.exe", "p"), "C:\\\x83\x5C\\p");
  EXPECT_EQ(Resolved("C:\\a\\\x83\x5Cprog.exe", "p"), "C:\\a\\p");
  // A program named 表示.exe (95 5C 8E A6) finds the patch beside it.
  EXPECT_EQ(Resolved("C:\\game\\\x95\x5C\x8E\xA6.exe", "patch.zt4"), "C:\\game\\patch.zt4");
}

TEST(ResolvePath, FailedExecutablePathGivesEmptyText) {
  std::string tooLong(300, 'x');
  FakeExecutable platform(tooLong.c_str());
  ScopedPlatform scope(&platform);
  EXPECT_STREQ(ResolvePath(PoolString("patch.zt4")).Text(), "");
}

TEST(MemoryStream, GrowsByDoublingOrByTheWrite) {
  std::string data(10000, 'd');
  {
    MemoryStream s;
    ASSERT_TRUE(s.CreateBlock(4096, true));
    ASSERT_TRUE(s.Write(data.data(), 4000));
    EXPECT_EQ(s.BlockSize(), 4096u);
    ASSERT_TRUE(s.Write(data.data(), 100));
    EXPECT_EQ(s.BlockSize(), 8192u);
    EXPECT_EQ(s.Size(), 4100);
  }
  {
    MemoryStream s;
    ASSERT_TRUE(s.CreateBlock(4096, true));
    ASSERT_TRUE(s.Write(data.data(), 4097));
    EXPECT_EQ(s.BlockSize(), 8193u);
  }
  {
    MemoryStream s;
    ASSERT_TRUE(s.CreateBlock(4096, true));
    ASSERT_TRUE(s.Write(data.data(), 10000));
    EXPECT_EQ(s.BlockSize(), 14096u);
    EXPECT_EQ(std::memcmp(s.Data(), data.data(), 10000), 0);
  }
}

TEST(MemoryStream, SeekClampsAndReadStopsAtTheEnd) {
  MemoryStream s;
  ASSERT_TRUE(s.CreateBlock(16, true));
  ASSERT_TRUE(s.Write("0123456789", 10));
  EXPECT_TRUE(s.Seek(-5, 0));
  EXPECT_EQ(s.Tell(), 0);
  EXPECT_TRUE(s.Seek(5, 2));
  EXPECT_EQ(s.Tell(), 10);
  EXPECT_FALSE(s.Seek(1, 3));
  EXPECT_EQ(s.Tell(), 10);
  char buffer[8];
  EXPECT_EQ(s.Read(buffer, 8), 0);
  EXPECT_TRUE(s.Seek(-3, 1));
  EXPECT_EQ(s.Read(buffer, 8), 3);
  EXPECT_EQ(std::string(buffer, 3), "789");
}

TEST(MemoryStream, UnownedBlockOutlivesTheStream) {
  uint8_t* kept;
  {
    MemoryStream s;
    ASSERT_TRUE(s.CreateBlock(4, false));
    ASSERT_TRUE(s.Write("abcdefgh", 8));
    kept = s.Data();
  }
  EXPECT_EQ(std::memcmp(kept, "abcdefgh", 8), 0);
  FreeBlock(kept);
}

TEST(FileStream, ModesOnARealFile) {
  test::TempFolder folder;
  std::string path = folder / "f.bin";
  ASSERT_TRUE(test::WriteFile(path, "hello"));
  FileStream file;
  ASSERT_TRUE(file.Open(PoolString(path.c_str()), AppendMode));
  EXPECT_EQ(file.Tell(), file.Size());
  EXPECT_EQ(file.Size(), 5);
  char buffer[4];
  EXPECT_EQ(file.Read(buffer, 4), 0);  // no reading in a write mode
  EXPECT_TRUE(file.Write(" you", 4));
  file.Close();
  std::string content;
  ASSERT_TRUE(test::ReadFile(path, &content));
  EXPECT_EQ(content, "hello you");

  ASSERT_TRUE(file.Open(PoolString(path.c_str()), ReadMode));
  EXPECT_FALSE(file.Write("x", 1));  // no writing in read mode
  EXPECT_TRUE(file.Seek(6, 0));
  EXPECT_EQ(file.Read(buffer, 4), 3);
  file.Close();
  EXPECT_EQ(file.Tell(), 0);
  EXPECT_EQ(file.Size(), 0);
  EXPECT_FALSE(file.Seek(0, 0));

  ASSERT_TRUE(file.Open(PoolString(path.c_str()), CreateMode));
  file.Close();
  ASSERT_TRUE(test::ReadFile(path, &content));
  EXPECT_EQ(content, "");
  EXPECT_FALSE(file.Open(PoolString(path.c_str()), 3));
  EXPECT_FALSE(file.Open(PoolString((folder / "missing").c_str()), ReadMode));
}

// Positions and sizes past 4 GiB (a sparse file): a plain file of a game may pass them,
// and a whole-file load refuses what a block cannot hold.
TEST(FileStream, PositionsPast4GiB) {
  test::TempFolder folder;
  const std::string path = folder / "big.bin";
  constexpr int64_t kFar = (int64_t{4} << 30) + 7;
  FileStream file;
  ASSERT_TRUE(file.Open(PoolString(path.c_str()), CreateMode));
  ASSERT_TRUE(file.Seek(kFar, 0));
  EXPECT_EQ(file.Tell(), kFar);
  ASSERT_TRUE(file.Write("x", 1));
  EXPECT_EQ(file.Size(), kFar + 1);
  file.Close();
  ASSERT_TRUE(file.Open(PoolString(path.c_str()), ReadMode));
  EXPECT_EQ(file.Size(), kFar + 1);
  ASSERT_TRUE(file.Seek(kFar, 0));
  char c = 0;
  EXPECT_EQ(file.Read(&c, 1), 1);
  EXPECT_EQ(c, 'x');
  ASSERT_TRUE(file.Seek(0, 0));
  EXPECT_EQ(ReadWhole(file), nullptr);
  file.Close();
  uint8_t* block = nullptr;
  int32_t size = -1;
  EXPECT_FALSE(LoadWholeFile(PoolString(path.c_str()), &block, &size));
  EXPECT_EQ(block, nullptr);
}

TEST(LoadWholeFile, ReadsTheDiskWhenNothingIsMounted) {
  test::TempFolder folder;
  std::string path = folder / "x/y.bin";
  std::string content("\0\1\2payload", 10);
  ASSERT_TRUE(test::WriteFile(path, content));
  uint8_t* block = nullptr;
  int32_t size = -1;
  ASSERT_TRUE(LoadWholeFile(PoolString(path.c_str()), &block, &size));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block), size), content);
  FreeBlock(block);
  EXPECT_FALSE(LoadWholeFile(PoolString((folder / "nothing").c_str()), &block, &size));
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(size, 0);
  // An empty file loads as an empty block, not as a failure.
  ASSERT_TRUE(test::WriteFile(folder / "empty", ""));
  ASSERT_TRUE(LoadWholeFile(PoolString((folder / "empty").c_str()), &block, &size));
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(size, 0);
  FreeBlock(block);
}

TEST(LoadWholeFile, RelativeNamesComeFromTheProgramsFolder) {
  test::TempFolder folder;
  std::string executable = folder / "prog.exe";
  FakeExecutable platform(executable.c_str());
  ScopedPlatform scope(&platform);
  ASSERT_TRUE(test::WriteFile(folder / "patch/list", "L"));
  uint8_t* block = nullptr;
  int32_t size = 0;
  ASSERT_TRUE(LoadWholeFile(PoolString("patch/list"), &block, &size));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block), size), "L");
  FreeBlock(block);
}

TEST(Platform, ShiftJisNamesRoundTripThroughTheDisk) {
  test::TempFolder folder;
  // ソ (83 5C) ends in the byte of '\': it must stay part of the name, not split it.
  std::string name = "\x83\x5C\x83\x74\x83\x67.bin";  // ソフト.bin
  std::string sub = "\x83\x5C";                       // ソ
  ASSERT_TRUE(test::WriteFile(folder / sub + "/" + name, "soft"));
  test::Tree tree = test::ReadTree(folder.Path());
  EXPECT_EQ(tree, (test::Tree{{sub + "/", ""}, {sub + "/" + name, "soft"}}));
  // On disk the name is the Unicode text, whatever the OS stores it as.
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(folder.Path()) / u8"ソ" /
                                      u8"ソフト.bin"));
  char native[256];
  ASSERT_GT(Cp932ToNative(name.c_str(), native, sizeof native), 0);
  char back[256];
  ASSERT_GT(NativeToCp932(native, back, sizeof back), 0);
  EXPECT_EQ(std::string(back), name);
}

}  // namespace
}  // namespace zt4
