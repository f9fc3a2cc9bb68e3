// The block matcher against what a new content was made of: every stretch it reports is
// the old bytes it names, and the bytes it leaves unmatched are the new ones and a few
// blocks around each change, whether stretches were edited, inserted, deleted or moved,
// from one old content or several, with the index held to a small ceiling.
#include "zt4mkpatch/block_matcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace zt4::builder {
namespace {

struct Random {
  uint64_t state;
  uint64_t Next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  }
};

// Text-like lines (which repeat) and random bytes, alternating every `stretch` bytes.
std::string MixedContent(size_t size, size_t stretch, uint64_t seed) {
  Random random{seed};
  std::string out;
  while (out.size() < size) {
    if ((out.size() / stretch) % 2 == 0) {
      out += "line " + std::to_string(random.Next() % 5000) + " of the script\n";
    } else {
      out += static_cast<char>(random.Next());
    }
  }
  out.resize(size);
  return out;
}

std::string RandomBytes(size_t size, uint64_t seed) {
  Random random{seed};
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(random.Next());
  return out;
}

struct Case {
  const char* name;
  std::vector<std::string> old;
  std::string newContent;
  uint64_t madeAnew;  // new bytes that are no old content's
  int changes;        // places where a stretch of old content begins or ends
  size_t mostBlocks = size_t{1} << 22;
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  const std::string old = MixedContent(1 << 20, 64 << 10, 1);
  {
    // A 6-byte edit, 16 KiB inserted, 8 KiB deleted: the scenario of a game's file.
    std::string changed = old;
    changed.replace(100 << 10, 6, "EDITED");
    changed.insert(512 << 10, RandomBytes(16 << 10, 2));
    changed.erase(900 << 10, 8 << 10);
    cases.push_back({"edit, insert, delete", {old}, changed, 6 + (16 << 10), 6});
  }
  {
    // 64 KiB blocks in another order, two of them edited.
    const int order[] = {5, 2, 9, 0, 15, 7, 1, 12, 3, 14, 8, 11, 4, 13, 6, 10};
    std::string reordered;
    for (int block : order) reordered += old.substr(static_cast<size_t>(block) << 16, 64 << 10);
    reordered.replace(70000, 4, "ABCD");
    reordered.replace(700000, 4, "WXYZ");
    cases.push_back({"blocks reordered", {old}, reordered, 8, 2 * 16 + 4});
  }
  {
    // Stretches of three old contents interleaved, with new bytes between them.
    const std::string a = RandomBytes(200 << 10, 3), b = MixedContent(300 << 10, 4096, 4);
    const std::string c = RandomBytes(100 << 10, 5);
    std::string mixed = b.substr(10000, 90000) + RandomBytes(500, 6) + a.substr(0, 150000) +
                        c.substr(50000, 40000) + RandomBytes(700, 7) + b.substr(200000, 100000);
    cases.push_back({"three sources", {a, b, c}, mixed, 1200, 8});
  }
  cases.push_back({"nothing shared", {old}, RandomBytes(256 << 10, 8), 256 << 10, 0});
  {
    // The index held to 256 blocks: the block widens to 4 KiB and still finds the
    // stretches, a few blocks lost at each change.
    std::string changed = old;
    changed.insert(300 << 10, RandomBytes(1000, 9));
    cases.push_back({"index at its ceiling", {old}, changed, 1000, 2, 256});
  }
  return cases;
}

TEST(BlockMatcher, FindsWhatTheNewContentWasMadeOf) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    std::vector<OldSpan> spans;
    std::vector<uint64_t> sizes;
    for (const std::string& old : c.old) {
      spans.push_back({reinterpret_cast<const uint8_t*>(old.data()), old.size()});
      sizes.push_back(old.size());
    }
    SpanRanges ranges(spans, {});
    BlockMatcher matcher(sizes, ranges, c.mostBlocks);
    ASSERT_TRUE(matcher.Ready());
    uint64_t oldBytes = 0;
    for (const std::string& old : c.old) oldBytes += old.size();
    EXPECT_LE(oldBytes / matcher.BlockSize(), c.mostBlocks);
    const auto* data = reinterpret_cast<const uint8_t*>(c.newContent.data());
    std::vector<BlockMatch> matches;
    ASSERT_TRUE(matcher.Match(data, c.newContent.size(), 0, ranges, &matches));
    uint64_t matched = 0;
    uint64_t end = 0;
    for (const BlockMatch& m : matches) {
      ASSERT_GE(m.newOffset, end) << "matches overlap or go back";
      ASSERT_GE(m.length, matcher.BlockSize());
      ASSERT_LE(m.newOffset + m.length, c.newContent.size());
      ASSERT_LT(static_cast<size_t>(m.source), c.old.size());
      ASSERT_LE(m.oldOffset + m.length, c.old[static_cast<size_t>(m.source)].size());
      ASSERT_EQ(std::memcmp(data + m.newOffset, c.old[static_cast<size_t>(m.source)].data() + m.oldOffset,
                            m.length),
                0);
      matched += m.length;
      end = m.newOffset + m.length;
    }
    // What is left is the new bytes, and at a change only the few bytes where a match
    // found first in another equal place ends sooner: each match is grown back to the
    // one before it, so no change costs the part of a block before the next boundary.
    const uint64_t left = c.newContent.size() - matched;
    EXPECT_GE(left, c.changes == 0 ? c.madeAnew : 0u);
    EXPECT_LE(left, c.madeAnew + 4 * static_cast<uint64_t>(c.changes))
        << matches.size() << " matches, block " << matcher.BlockSize();
  }
}

}  // namespace
}  // namespace zt4::builder
