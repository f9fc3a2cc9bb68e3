// KeyIndex against a plain model (std::map): the same answers for every key, whatever
// their number, lengths and bytes, through every growth of its slots.
#include "base/key_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace zt4 {
namespace {

// Keys of the shapes the program uses: texts that share long prefixes, a zero byte in
// the middle (a digest after a name), the empty key, and raw integers.
std::string KeyOf(std::mt19937& random, int shape) {
  switch (shape % 4) {
    case 0:
      return "archive.zt4\n/member" + std::to_string(random() % 5000) + "\n" +
             std::string(40, static_cast<char>('a' + random() % 6));
    case 1: {
      std::string key(random() % 6, '\0');
      for (char& c : key) c = static_cast<char>(random() % 3);
      return key;
    }
    case 2: {
      const int32_t id = static_cast<int32_t>(random() % 2000) - 1000;
      return std::string(reinterpret_cast<const char*>(&id), sizeof id);
    }
    default:
      return std::string(1 + random() % 3, static_cast<char>(0x80 + random() % 4));
  }
}

struct ModelCase {
  const char* name;
  int operations;
  int shapes;  // keys drawn from the first `shapes` shapes
};

class KeyIndexModel : public testing::TestWithParam<ModelCase> {};

TEST_P(KeyIndexModel, AnswersAsTheModelDoes) {
  const ModelCase& c = GetParam();
  std::mt19937 random(static_cast<uint32_t>(c.operations));
  KeyIndex<int> index;
  std::map<std::string, int> model;
  for (int i = 0; i < c.operations; ++i) {
    const std::string key = KeyOf(random, static_cast<int>(random() % static_cast<uint32_t>(c.shapes)));
    if (random() % 3 == 0) {
      int* found = index.Find(key.data(), key.size());
      auto it = model.find(key);
      ASSERT_EQ(found != nullptr, it != model.end()) << i;
      if (found) {
        EXPECT_EQ(*found, it->second) << i;
      }
      continue;
    }
    bool added = false;
    int* value = index.Insert(key.data(), key.size(), i, &added);
    ASSERT_NE(value, nullptr);
    const bool modelAdded = model.emplace(key, i).second;
    EXPECT_EQ(added, modelAdded) << i;
    // The first value of a key stays.
    EXPECT_EQ(*value, model[key]) << i;
    ASSERT_EQ(index.Count(), model.size());
    // The slots stay at least twice the count: no probe runs into a full table.
    EXPECT_GE(index.SlotCount(), 2 * index.Count());
  }
  std::map<int, int> seen;
  index.ForEach([&seen](int& v) { ++seen[v]; });
  std::map<int, int> expected;
  for (const auto& [key, v] : model) ++expected[v];
  EXPECT_EQ(seen, expected);
  for (const auto& [key, v] : model) {
    const int* found = index.Find(key.data(), key.size());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, v);
  }
  index.Clear();
  EXPECT_EQ(index.Count(), 0u);
  for (const auto& [key, v] : model) {
    EXPECT_EQ(index.Find(key.data(), key.size()), nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyIndexModel,
                         testing::Values(ModelCase{"Empty", 0, 4}, ModelCase{"Few", 12, 4},
                                         ModelCase{"ShortRawKeys", 3000, 4},
                                         ModelCase{"ManyNames", 40000, 1},
                                         ModelCase{"Integers", 20000, 3}),
                         [](const testing::TestParamInfo<ModelCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(KeyIndex, TheEmptyKeyAndKeysThatDifferOnlyAfterAZeroAreTheirOwn) {
  KeyIndex<int> index;
  const char a[] = {'x', 0, 'a'};
  const char b[] = {'x', 0, 'b'};
  ASSERT_NE(index.Insert("", 0, 1), nullptr);
  ASSERT_NE(index.Insert(a, sizeof a, 2), nullptr);
  ASSERT_NE(index.Insert(b, sizeof b, 3), nullptr);
  ASSERT_NE(index.Insert("x", 1, 4), nullptr);
  EXPECT_EQ(*index.Find("", 0), 1);
  EXPECT_EQ(*index.Find(a, sizeof a), 2);
  EXPECT_EQ(*index.Find(b, sizeof b), 3);
  EXPECT_EQ(*index.Find("x", 1), 4);
  EXPECT_EQ(index.Find("x", 2), nullptr);
  EXPECT_EQ(index.Count(), 4u);
}

}  // namespace
}  // namespace zt4
