#include "archive/mount.h"

#include <gtest/gtest.h>

#include <string>

#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "support/scripted_platform.h"
#include "support/test_files.h"

namespace zt4 {
namespace {

void MakeArchive(const std::string& path, const std::string& name, const std::string& content) {
  ArchiveWriter writer;
  ASSERT_TRUE(writer.Create(PoolString(path.c_str())));
  ASSERT_TRUE(writer.Add(reinterpret_cast<const uint8_t*>(content.data()),
                         static_cast<uint32_t>(content.size()), PoolString(name.c_str())));
}

std::string Load(const std::string& name, bool* ok) {
  uint8_t* block = nullptr;
  int32_t size = 0;
  *ok = LoadWholeFile(PoolString(name.c_str()), &block, &size);
  std::string content = block ? std::string(reinterpret_cast<char*>(block), size) : "";
  FreeBlock(block);
  return content;
}

// Runs the test with the program "living" in a temporary folder and a mount name of its
// own, so the process-wide table is shared safely between tests.
class MountTest : public ::testing::Test {
 protected:
  class Program : public ForwardingPlatform {
   public:
    std::string executable;
    bool ExecutablePath(char* buffer, int capacity) override {
      if (static_cast<int>(executable.size()) >= capacity) return false;
      std::memcpy(buffer, executable.c_str(), executable.size() + 1);
      return true;
    }
  };
  void SetUp() override { program_.executable = folder_ / "zt4patch.exe"; }

  test::TempFolder folder_;
  Program program_;
  ScopedPlatform scope_{&program_};
};

TEST_F(MountTest, MountedNamesComeFromTheArchiveAndNeverFromTheDisk) {
  MakeArchive(folder_ / "patch.zt4", "/list", "the list");
  ASSERT_TRUE(test::WriteFile(folder_ / "mnt1/99", "disk file"));
  ASSERT_TRUE(test::WriteFile(folder_ / "other/x", "other"));
  ASSERT_TRUE(test::WriteFile(folder_ / "list", "plain list"));
  ASSERT_TRUE(Mount(PoolString("patch.zt4"), PoolString("mnt1")));
  bool ok = false;
  EXPECT_EQ(Load("mnt1/list", &ok), "the list");
  EXPECT_TRUE(ok);
  Load("mnt1/99", &ok);  // missing member: fails although the disk has the file
  EXPECT_FALSE(ok);
  EXPECT_EQ(Load("other/x", &ok), "other");  // not a mount name: the disk
  EXPECT_TRUE(ok);
  EXPECT_EQ(Load("list", &ok), "plain list");  // no '/': the disk
  EXPECT_TRUE(ok);
}

TEST_F(MountTest, FailedMountTellsTheListeners) {
  struct Collector : MessageListener {
    std::string* seen;
    explicit Collector(std::string* s) : seen(s) {}
    void OnMessage(const char* text) override { *seen += text; }
  };
  static std::string seen;
  seen.clear();
  ASSERT_TRUE(AddMessageListener(PoolString("test"), new Collector(&seen), true));
  EXPECT_FALSE(Mount(PoolString("missing.zt4"), PoolString("mnt2")));
  EXPECT_EQ(seen, std::string(PoolString::Formatted(kMountFailedFormat, "missing.zt4").Text()));
  EXPECT_EQ(MountedArchive(PoolString("mnt2")), nullptr);
}

TEST_F(MountTest, RemountingReplacesTheArchive) {
  MakeArchive(folder_ / "a.zt4", "/m", "first");
  MakeArchive(folder_ / "b.zt4", "/m", "second");
  ASSERT_TRUE(Mount(PoolString("a.zt4"), PoolString("mnt3")));
  Archive* first = MountedArchive(PoolString("mnt3"));
  ASSERT_TRUE(Mount(PoolString("b.zt4"), PoolString("mnt3")));
  EXPECT_NE(MountedArchive(PoolString("mnt3")), first);
  bool ok = false;
  EXPECT_EQ(Load("mnt3/m", &ok), "second");
}

// Counts destructions through a derived archive.
struct CountedArchive : Archive {
  static int destroyed;
  ~CountedArchive() override { ++destroyed; }
};
int CountedArchive::destroyed = 0;

TEST(OwnedArchive, AssignmentMovesOwnership) {
  CountedArchive::destroyed = 0;
  {
    OwnedArchive target(new CountedArchive, true);
    OwnedArchive source(new CountedArchive, true);
    Archive* incoming = source.archive;
    target = source;  // different archives: the target's own is destroyed
    EXPECT_EQ(CountedArchive::destroyed, 1);
    EXPECT_EQ(target.archive, incoming);
    EXPECT_TRUE(target.owned);
    EXPECT_FALSE(source.owned);
    EXPECT_EQ(source.archive, incoming);  // the source keeps the pointer
    OwnedArchive& same = target;
    target = same;  // self-assignment changes nothing
    EXPECT_TRUE(target.owned);
    EXPECT_EQ(CountedArchive::destroyed, 1);
  }
  EXPECT_EQ(CountedArchive::destroyed, 2);  // only the owner destroyed it

  CountedArchive::destroyed = 0;
  {
    auto* shared = new CountedArchive;
    OwnedArchive owner(shared, true);
    OwnedArchive borrower(shared, false);
    borrower = owner;  // same archive: ownership moves, nothing is destroyed
    EXPECT_EQ(CountedArchive::destroyed, 0);
    EXPECT_TRUE(borrower.owned);
    EXPECT_FALSE(owner.owned);
    borrower = owner;  // a true flag in the target is never cleared
    EXPECT_TRUE(borrower.owned);
  }
  EXPECT_EQ(CountedArchive::destroyed, 1);
}

TEST_F(MountTest, CacheKeepsEveryOpenedArchiveUntilReleased) {
  ReleaseArchiveCache();
  MakeArchive(folder_ / "data.zt4", "/b.bin", "bee");
  std::string path = folder_ / "data.zt4";
  MakeArchive(folder_ / "other.zt4", "/o", "oh");
  CacheMiss miss;
  Archive* first = OpenCached(path.c_str(), &miss);
  Archive* second = OpenCached(path.c_str(), &miss);
  EXPECT_EQ(first, second);  // one open archive per path
  EXPECT_EQ(ArchiveCacheSize(), 1);
  Archive* other = OpenCached((folder_ / "other.zt4").c_str(), &miss);
  EXPECT_NE(other, first);
  EXPECT_EQ(ArchiveCacheSize(), 2);
  uint8_t* data = nullptr;
  int32_t size = 0;
  ASSERT_TRUE(second->Extract(PoolString("/b.bin"), &data, &size));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "bee");
  FreeBlock(data);
  ReleaseArchiveCache();
  EXPECT_EQ(ArchiveCacheSize(), 0);
}

TEST_F(MountTest, CacheTellsAMissingFileFromAnUnreadableOne) {
  ReleaseArchiveCache();
  CacheMiss miss = CacheMiss::kNoMemory;
  EXPECT_EQ(OpenCached((folder_ / "none.zt4").c_str(), &miss), nullptr);
  EXPECT_EQ(miss, CacheMiss::kNoFile);
  ASSERT_TRUE(test::WriteFile(folder_ / "text.zt4", "not an archive at all"));
  EXPECT_EQ(OpenCached((folder_ / "text.zt4").c_str(), &miss), nullptr);
  EXPECT_EQ(miss, CacheMiss::kNotArchive);
  EXPECT_EQ(ArchiveCacheSize(), 0);  // a miss is not kept
}

TEST_F(MountTest, UnmountLetsTheArchiveGo) {
  MakeArchive(folder_ / "p.zt4", "/list", "abc");
  ASSERT_TRUE(Mount(PoolString((folder_ / "p.zt4").c_str()), PoolString("p")));
  ASSERT_NE(MountedArchive(PoolString("p")), nullptr);
  Unmount(PoolString("p"));
  EXPECT_EQ(MountedArchive(PoolString("p")), nullptr);
  // The file is free again: it can be replaced.
  EXPECT_TRUE(test::WriteFile(folder_ / "p.zt4", "x"));
}

}  // namespace
}  // namespace zt4
