// The memory plan of an archive group against a plain model of the rule: at every
// member, what it holds (its content and, for a frame, its references) and what the
// earlier members made from frames keep for later ones (from the member after them to
// their last use) stay within the budget.
#include "update/memory_plan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "update/content_method.h"

namespace zt4 {
namespace {

// A group of members built in memory: member i of `sizes[i]` bytes, made from a frame
// against the earlier members `uses[i]` (by place) and against one old content of
// `oldBytes[i]`.
class Group {
 public:
  Group(const std::vector<int32_t>& sizes, const std::vector<std::vector<int32_t>>& uses,
        const std::vector<int32_t>& oldBytes)
      : members_(sizes.size()), names_(sizes.size()), refs_(sizes.size()) {
    group_.newName = "g.zt4";
    for (size_t i = 0; i < sizes.size(); ++i) {
      names_[i] = "m" + std::to_string(i);
      memberNames_.push_back("/" + names_[i]);
    }
    for (size_t i = 0; i < sizes.size(); ++i) {
      PatchEntry& m = members_[i];
      m.newName = names_[i].c_str();
      m.newSize = sizes[i];
      m.newDigest = "d";
      m.method = ContentMethod::kZstd;
      ContentReference old;
      old.file = "old.bin";
      old.size = oldBytes[i];
      old.digest = "o";
      refs_[i].push_back(old);
      for (int32_t j : uses[i]) {
        ContentReference earlier;
        earlier.side = ReferenceSide::kNew;
        earlier.file = "g.zt4";
        earlier.member = memberNames_[static_cast<size_t>(j)].c_str();
        earlier.size = sizes[static_cast<size_t>(j)];
        earlier.digest = "d";
        refs_[i].push_back(earlier);
      }
      m.references = refs_[i].data();
      m.referenceCount = static_cast<int32_t>(refs_[i].size());
      m.next = i + 1 < sizes.size() ? &members_[i + 1] : nullptr;
    }
    group_.firstChild = members_.empty() ? nullptr : &members_[0];
  }
  ~Group() {
    // The entries point into vectors this object owns.
    group_.firstChild = nullptr;
  }
  PatchEntry* group() { return &group_; }

 private:
  PatchEntry group_;
  std::vector<PatchEntry> members_;
  std::vector<std::string> names_;
  std::vector<std::string> memberNames_;
  std::vector<std::vector<ContentReference>> refs_;
};

// The rule worked out plainly, member by member.
bool PlainModelFits(const std::vector<int32_t>& sizes,
                    const std::vector<std::vector<int32_t>>& uses,
                    const std::vector<int32_t>& oldBytes, int64_t budget) {
  const size_t n = sizes.size();
  std::vector<int32_t> lastUse(n, -1);
  for (size_t i = 0; i < n; ++i) {
    for (int32_t j : uses[i]) lastUse[static_cast<size_t>(j)] = static_cast<int32_t>(i);
  }
  for (size_t i = 0; i < n; ++i) {
    int64_t held = int64_t{sizes[i]} + oldBytes[i];
    for (int32_t j : uses[i]) held += sizes[static_cast<size_t>(j)];
    int64_t kept = 0;
    for (size_t j = 0; j < i; ++j) {
      if (lastUse[j] >= static_cast<int32_t>(i)) kept += sizes[j];
    }
    if (held + kept > budget) return false;
  }
  return true;
}

TEST(MemoryPlan, AGroupFitsExactlyWhenThePlainRuleSaysSo) {
  std::mt19937 random(20261209);
  int fits = 0;
  int refused = 0;
  for (int round = 0; round < 3000; ++round) {
    const int members = 1 + static_cast<int>(random() % 12);
    std::vector<int32_t> sizes;
    std::vector<int32_t> oldBytes;
    std::vector<std::vector<int32_t>> uses(static_cast<size_t>(members));
    for (int i = 0; i < members; ++i) {
      sizes.push_back(static_cast<int32_t>(random() % 100));
      oldBytes.push_back(static_cast<int32_t>(random() % 50));
      for (int j = 0; j < i; ++j) {
        if (random() % 4 == 0) uses[static_cast<size_t>(i)].push_back(j);
      }
    }
    const int64_t budget = 100 + random() % 600;
    Group group(sizes, uses, oldBytes);
    const bool planned = PlanGroupMemory(group.group(), budget);
    ASSERT_EQ(planned, PlainModelFits(sizes, uses, oldBytes, budget)) << "round " << round;
    (planned ? fits : refused) += 1;
  }
  // Both answers were met often enough to mean something.
  EXPECT_GT(fits, 300);
  EXPECT_GT(refused, 300);
}

// Each member made from the one before: what the plan keeps at most is one member, and
// a chain as long as a hostile description could make is planned member by member.
TEST(MemoryPlan, ALongChainKeepsOneMemberAtATime) {
  constexpr int kMembers = 80000;
  std::vector<int32_t> sizes(kMembers, 10);
  std::vector<int32_t> oldBytes(kMembers, 0);
  std::vector<std::vector<int32_t>> uses(kMembers);
  for (int i = 1; i < kMembers; ++i) uses[static_cast<size_t>(i)].push_back(i - 1);
  Group group(sizes, uses, oldBytes);
  // A member holds itself and the one before (20), which is also kept for it (10).
  EXPECT_FALSE(PlanGroupMemory(group.group(), 29));
  Group again(sizes, uses, oldBytes);
  ASSERT_TRUE(PlanGroupMemory(again.group(), 30));
  EXPECT_EQ(MostKept(again.group()), 10);
}

}  // namespace
}  // namespace zt4
