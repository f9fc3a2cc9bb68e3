// The suffix array against plain sorting of the suffixes, and the longest match found
// through it against a search of every position.
#include "codec/suffix_array.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace zt4 {
namespace {

std::vector<int32_t> SortedPlainly(const std::string& text) {
  std::vector<int32_t> order(text.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
  std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
    return text.compare(static_cast<size_t>(a), std::string::npos, text, static_cast<size_t>(b),
                        std::string::npos) < 0;
  });
  return order;
}

// Texts that take the sort through its recursion: repeats, runs, periods, every byte.
std::vector<std::string> Texts() {
  std::vector<std::string> texts = {"a",
                                    "ab",
                                    "ba",
                                    "aaaa",
                                    "abab",
                                    "mississippi",
                                    "abracadabra abracadabra",
                                    std::string(300, '\0')};
  std::mt19937 random(7);
  for (int alphabet : {2, 3, 256}) {
    for (size_t size : {17u, 1000u, 5000u}) {
      std::string text(size, 0);
      for (char& c : text) c = static_cast<char>(random() % static_cast<unsigned>(alphabet));
      texts.push_back(text);
      texts.push_back(text + text + text.substr(0, size / 3));  // long repeats
    }
  }
  std::string periods;
  for (int i = 0; i < 2000; ++i) periods += static_cast<char>("xyzzy"[i % 5] + (i % 97 == 0));
  texts.push_back(periods);
  std::string every;
  for (int i = 0; i < 512; ++i) every += static_cast<char>(255 - i % 256);
  texts.push_back(every);
  return texts;
}

TEST(SuffixArray, OrdersTheSuffixesAsPlainSortingDoes) {
  for (const std::string& text : Texts()) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    EXPECT_EQ(SuffixArray(bytes, text.size()), SortedPlainly(text)) << text.size();
  }
  EXPECT_TRUE(SuffixArray(nullptr, 0).empty());
}

TEST(SuffixArray, FindsTheLongestMatchAnyPositionHas) {
  std::mt19937 random(11);
  for (const std::string& text : Texts()) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const std::vector<int32_t> suffixes = SuffixArray(bytes, text.size());
    for (int trial = 0; trial < 20; ++trial) {
      // A piece of the text changed at one byte, or bytes it may not hold at all.
      std::string key = text.substr(random() % text.size(), 1 + random() % 40);
      if (trial % 2) key[random() % key.size()] ^= 1;
      if (trial % 5 == 0) key = std::string(1 + trial % 7, '\x7f');
      size_t best = 0;
      for (size_t at = 0; at < text.size(); ++at) {
        size_t length = 0;
        while (at + length < text.size() && length < key.size() && text[at + length] == key[length])
          ++length;
        best = std::max(best, length);
      }
      size_t position = SIZE_MAX;
      const size_t found =
          LongestMatch(bytes, text.size(), suffixes, reinterpret_cast<const uint8_t*>(key.data()),
                       key.size(), &position);
      EXPECT_EQ(found, best) << text.size() << " " << trial;
      ASSERT_LE(position + found, text.size());
      EXPECT_EQ(text.compare(position, found, key, 0, found), 0);
    }
  }
}

}  // namespace
}  // namespace zt4
