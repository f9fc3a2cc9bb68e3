#include "base/name_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zt4 {
namespace {

uint32_t Bucket(const char* key) { return NameHash(PoolString(key)) & 127; }

TEST(NameHash, KnownValuesAndBuckets) {
  EXPECT_EQ(NameHash(PoolString("")), 0u);
  EXPECT_EQ(NameHash(PoolString("abc")), 0x31A72825u);
  EXPECT_EQ(Bucket("abc"), 37u);
  // Shift-JIS bytes count as negative values: 0x83 0x41 lands in bucket 9, not 1.
  EXPECT_EQ(NameHash(PoolString("\x83\x41")), 0xFF7EF889u);
  EXPECT_EQ(Bucket("\x83\x41"), 9u);
  EXPECT_EQ(Bucket("patch"), 72u);
  EXPECT_EQ(Bucket("/list"), 64u);
  EXPECT_EQ(Bucket("@HEADER@"), 36u);
  EXPECT_EQ(Bucket("/12"), 23u);
  EXPECT_EQ(Bucket("/30"), 23u);
  EXPECT_EQ(Bucket("/a"), 81u);
  EXPECT_EQ(Bucket("/b"), 82u);
}

struct Visit {
  std::vector<std::string> keys;
  int refuseAt = -1;  // index of the call that answers false
  int calls = 0;
};

bool Record(const PoolString& key, int& /*payload*/, void* user) {
  auto* visit = static_cast<Visit*>(user);
  int call = visit->calls++;
  if (call == visit->refuseAt) return false;
  visit->keys.emplace_back(key.Text());
  return true;
}

TEST(NameTable, VisitsBucketsInOrderNewestFirst) {
  NameTable<int> table;
  for (const char* key : {"/b", "/12", "/a", "/30"}) ASSERT_TRUE(table.Set(PoolString(key), 1));
  Visit visit;
  EXPECT_EQ(table.ForEachEntry(Record, &visit), 4u);
  EXPECT_EQ(visit.keys, (std::vector<std::string>{"/30", "/12", "/a", "/b"}));
}

TEST(NameTable, FindOrInsertKeepsAnExistingNode) {
  NameTable<int> table;
  auto* node = table.FindOrInsert(PoolString("k"));
  ASSERT_NE(node, nullptr);
  node->payload = 41;
  EXPECT_EQ(table.FindOrInsert(PoolString("k")), node);
  EXPECT_EQ(node->payload, 41);
  EXPECT_EQ(table.EntryCount(), 1u);
  EXPECT_EQ(table.Find(PoolString("k")), node);
  EXPECT_EQ(table.Find(PoolString("K")), nullptr);
}

TEST(NameTable, NodePoolGrowsBy32Then64Then128) {
  NameTable<int> table;
  EXPECT_EQ(table.NodeCount(), 0u);
  for (int i = 0; i < 97; ++i) {
    ASSERT_TRUE(table.Set(PoolString(("/k" + std::to_string(i)).c_str()), i));
    if (i == 0 || i == 31) {
      EXPECT_EQ(table.NodeCount(), 32u);
    } else if (i == 32) {
      EXPECT_EQ(table.NodeCount(), 96u);
    }
  }
  EXPECT_EQ(table.NodeCount(), 224u);
  EXPECT_EQ(table.EntryCount(), 97u);
}

TEST(NameTable, ClearRecyclesNodes) {
  NameTable<int> table;
  for (int i = 0; i < 40; ++i) table.Set(PoolString(("/n" + std::to_string(i)).c_str()), i);
  EXPECT_EQ(table.NodeCount(), 96u);
  table.Clear();
  EXPECT_EQ(table.EntryCount(), 0u);
  EXPECT_EQ(table.NodeCount(), 96u);
  EXPECT_EQ(table.Find(PoolString("/n3")), nullptr);
  for (int i = 0; i < 96; ++i) table.Set(PoolString(("/m" + std::to_string(i)).c_str()), i);
  EXPECT_EQ(table.NodeCount(), 96u);
  table.Set(PoolString("/one-more"), 0);
  EXPECT_EQ(table.NodeCount(), 224u);
}

TEST(NameTable, FalseFromTheVisitorLeavesOnlyThatBucket) {
  NameTable<int> table;
  // Three keys in bucket 23 (newest first: /30, /12, then the third), one elsewhere.
  std::vector<std::string> bucket23;
  for (int i = 0; bucket23.size() < 3 && i < 100000; ++i) {
    std::string key = "/" + std::to_string(i);
    if (Bucket(key.c_str()) == 23) bucket23.push_back(key);
  }
  ASSERT_EQ(bucket23.size(), 3u);
  for (const auto& key : bucket23) table.Set(PoolString(key.c_str()), 0);
  table.Set(PoolString("/b"), 0);  // bucket 82
  Visit visit;
  visit.refuseAt = 0;  // the newest key of bucket 23 is the first visited
  EXPECT_EQ(table.ForEachEntry(Record, &visit), table.EntryCount() - 3);
  EXPECT_EQ(visit.keys, (std::vector<std::string>{"/b"}));
}

TEST(NameTable, EmptyKeyLivesInBucketZero) {
  NameTable<int> table;
  table.Set(PoolString(""), 5);
  table.Set(PoolString("abc"), 6);
  Visit visit;
  table.ForEachEntry(Record, &visit);
  EXPECT_EQ(visit.keys, (std::vector<std::string>{"", "abc"}));
}

}  // namespace
}  // namespace zt4
