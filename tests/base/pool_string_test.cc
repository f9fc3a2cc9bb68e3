#include "base/pool_string.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zt4 {
namespace {

TEST(PoolString, CapacityFollowsTheSizeClasses) {
  EXPECT_EQ(PoolString().Capacity(), 64);
  EXPECT_EQ(PoolString().Length(), 0);
  EXPECT_STREQ(PoolString().Text(), "");
  EXPECT_EQ(PoolString(std::string(15, 'x').c_str()).Capacity(), 64);
  EXPECT_EQ(PoolString(std::string(31, 'x').c_str()).Capacity(), 64);
  EXPECT_EQ(PoolString(std::string(32, 'x').c_str()).Capacity(), 256);
  EXPECT_EQ(PoolString(std::string(127, 'x').c_str()).Capacity(), 256);
  EXPECT_EQ(PoolString(std::string(128, 'x').c_str()).Capacity(), 1024);
  EXPECT_EQ(PoolString(std::string(511, 'x').c_str()).Capacity(), 1024);
  PoolString large(std::string(512, 'x').c_str());
  EXPECT_EQ(large.Capacity(), 1026);
  EXPECT_EQ(large.Length(), 512);
  // A copy asks for the original's capacity.
  EXPECT_EQ(PoolString(large).Capacity(), 1026);
}

TEST(PoolString, ReleasedBlocksAreReusedBeforeNewOnes) {
  void* first;
  {
    PoolString a("first");
    first = const_cast<char*>(a.Text());
  }
  int32_t allocated = Pool64().AllocatedCount();
  int32_t used = Pool64().UsedCount();
  PoolString b("second");
  EXPECT_EQ(static_cast<const void*>(b.Text()), first);
  EXPECT_EQ(Pool64().AllocatedCount(), allocated);
  EXPECT_EQ(Pool64().UsedCount(), used + 1);
}

TEST(PoolString, ReserveKeepsTheBlockWhenLargeEnough) {
  PoolString s("abc");
  const char* block = s.Text();
  EXPECT_TRUE(s.Reserve(10));
  EXPECT_TRUE(s.Reserve(64));
  EXPECT_EQ(s.Text(), block);
  EXPECT_TRUE(s.Reserve(65));
  EXPECT_NE(s.Text(), block);
  EXPECT_EQ(s.Capacity(), 256);
  EXPECT_STREQ(s.Text(), "abc");
}

TEST(PoolString, AppendOneByteToAFullSmallBlock) {
  PoolString s;
  std::string text(63, 'q');
  s.Assign(PoolString(text.c_str(), 31));  // capacity 64 is kept by Assign
  ASSERT_EQ(s.Capacity(), 64);
  s.Append(PoolString(std::string(32, 'q').c_str()));
  // 63 bytes now need 64 with the zero: still the small block.
  EXPECT_EQ(s.Length(), 63);
  EXPECT_EQ(s.Capacity(), 64);
  s.Append("z");
  EXPECT_EQ(s.Capacity(), 256);
  EXPECT_EQ(std::string(s.Text()), text + "z");
}

TEST(PoolString, PositionsAndSlices) {
  PoolString s("a/b/c");
  EXPECT_EQ(s.CharAt(-1), 'c');
  EXPECT_EQ(s.CharAt(1), '/');
  EXPECT_EQ(s.FindFirst('/'), 1);
  EXPECT_EQ(s.FindLast('/'), 3);
  EXPECT_EQ(PoolString().FindFirst('/'), -1);
  EXPECT_EQ(PoolString().FindLast('/'), -1);
  EXPECT_STREQ(s.Slice(0, -1).Text(), "a/b/");
  EXPECT_STREQ(s.Slice(2, 2).Text(), "");
  EXPECT_STREQ(s.Tail(-3).Text(), "b/c");
  EXPECT_STREQ(s.Tail(1).Text(), "/b/c");
}

TEST(PoolString, CountedConstructionStopsAtZero) {
  const char bytes[] = {'a', 'b', 0, 'c', 'd'};
  PoolString s(bytes, 5);
  EXPECT_EQ(s.Length(), 2);
  EXPECT_STREQ(s.Text(), "ab");
  EXPECT_EQ(PoolString(bytes, 0).Length(), 0);
  EXPECT_EQ(PoolString(bytes, -4).Length(), 0);
}

TEST(PoolString, AssignShorterKeepsTheBlock) {
  PoolString s(std::string(100, 'x').c_str());
  const char* block = s.Text();
  s.Assign("short");
  EXPECT_EQ(s.Text(), block);
  EXPECT_EQ(s.Length(), 5);
  s.Assign(s.Text() + 2);  // a text inside its own block
  EXPECT_STREQ(s.Text(), "ort");
}

TEST(PoolString, AppendToItself) {
  PoolString s("abc");
  s.Append(s);
  EXPECT_STREQ(s.Text(), "abcabc");
  EXPECT_EQ(s.Length(), 6);
}

TEST(PoolString, FormattedHasTheWorkingSpaceCapacity) {
  PoolString s = PoolString::Formatted("%s/%d", "patch", 12);
  EXPECT_STREQ(s.Text(), "patch/12");
  EXPECT_EQ(s.Capacity(), 1024);
  EXPECT_EQ(PoolString::Formatted("%s", "").Capacity(), 1024);
}

TEST(PoolString, LongFormatGrowsInsteadOfOverrunning) {
  std::string name(3000, 'n');
  PoolString s;
  s.Format("%d-%d: %s(%d)", 2, 7, name.c_str(), 5);
  EXPECT_EQ(std::string(s.Text()), "2-7: " + name + "(5)");
  EXPECT_EQ(s.Length(), static_cast<int32_t>(name.size()) + 8);
  EXPECT_GT(s.Capacity(), s.Length());
  PoolString copy = PoolString::Formatted("%s", name.c_str());
  EXPECT_EQ(copy.Length(), 3000);
}

TEST(PoolString, EqualityIsBytewise) {
  EXPECT_TRUE(PoolString("/a") == "/a");
  EXPECT_FALSE(PoolString("/a") == "/A");
  EXPECT_TRUE(PoolString("\x83\x5C") == PoolString("\x83\x5C"));
}

TEST(BlockPool, ReleaseOfAForeignBlockIsIgnored) {
  int32_t used = Pool256().UsedCount();
  char foreign[300];
  Pool256().Release(foreign);
  EXPECT_EQ(Pool256().UsedCount(), used);
  void* block = Pool256().Acquire();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(Pool256().UsedCount(), used + 1);
  Pool256().Release(block);
  Pool256().Release(block);  // twice: the second does nothing
  EXPECT_EQ(Pool256().UsedCount(), used);
  EXPECT_EQ(Pool256().Acquire(), block);
  Pool256().Release(block);
}

}  // namespace
}  // namespace zt4

namespace zt4 {
namespace {

// Any order of acquires and releases: the used count follows, a released block is the
// next one handed out (last released first), and a block released twice or never
// handed out changes nothing.
TEST(BlockPool, RandomAcquireAndReleaseFollowAPlainModel) {
  std::vector<void*> used;
  std::vector<void*> freed;  // the free chain's own order, most recent last
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  int32_t baseUsed = Pool256().UsedCount();
  for (int step = 0; step < 20000; ++step) {
    if (used.empty() || next() % 3 != 0) {
      void* block = Pool256().Acquire();
      ASSERT_NE(block, nullptr);
      if (!freed.empty()) {
        ASSERT_EQ(block, freed.back());
        freed.pop_back();
      }
      used.push_back(block);
    } else {
      size_t pick = next() % used.size();
      void* block = used[pick];
      used.erase(used.begin() + static_cast<std::ptrdiff_t>(pick));
      Pool256().Release(block);
      Pool256().Release(block);  // a second release is ignored
      freed.push_back(block);
    }
    ASSERT_EQ(Pool256().UsedCount(), baseUsed + static_cast<int32_t>(used.size()));
  }
  for (void* block : used) Pool256().Release(block);
  EXPECT_EQ(Pool256().UsedCount(), baseUsed);
}

}  // namespace
}  // namespace zt4
