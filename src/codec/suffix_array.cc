#include "codec/suffix_array.h"

#include <algorithm>
#include <cstring>

namespace zt4 {
namespace {

// Induced sorting over `text` of `n` symbols below `alphabet`, followed by a sentinel
// smaller than every symbol that is not stored. A suffix is S-type when it is smaller
// than the one after it, L-type otherwise; an LMS position is an S-type one after an
// L-type one. The LMS substrings are sorted by inducing from their buckets, named, and
// when two share a name the suffixes of the string of names are sorted the same way;
// their order induces the order of all.
template <typename Symbol>
void InducedSort(const Symbol* text, int32_t* sa, int32_t n, int32_t alphabet) {
  if (n == 1) {
    sa[0] = 0;
    return;
  }
  // The last symbol is greater than the sentinel after it.
  std::vector<bool> small(static_cast<size_t>(n));
  small[static_cast<size_t>(n - 1)] = false;
  for (int32_t i = n - 2; i >= 0; --i) {
    small[static_cast<size_t>(i)] =
        text[i] < text[i + 1] || (text[i] == text[i + 1] && small[static_cast<size_t>(i + 1)]);
  }
  auto isLms = [&](int32_t i) {
    return i > 0 && small[static_cast<size_t>(i)] && !small[static_cast<size_t>(i - 1)];
  };
  std::vector<int32_t> counts(static_cast<size_t>(alphabet), 0);
  std::vector<int32_t> bucket(static_cast<size_t>(alphabet));
  for (int32_t i = 0; i < n; ++i) ++counts[static_cast<size_t>(text[i])];
  auto bucketEnds = [&] {
    int32_t sum = 0;
    for (int32_t c = 0; c < alphabet; ++c)
      bucket[static_cast<size_t>(c)] = sum += counts[static_cast<size_t>(c)];
  };
  auto bucketStarts = [&] {
    int32_t sum = 0;
    for (int32_t c = 0; c < alphabet; ++c) {
      bucket[static_cast<size_t>(c)] = sum;
      sum += counts[static_cast<size_t>(c)];
    }
  };
  auto slot = [&](Symbol symbol) -> int32_t& { return bucket[static_cast<size_t>(symbol)]; };
  // From the LMS suffixes at their buckets' ends: the L-type ones left to right (the one
  // before the sentinel first), then the S-type ones right to left.
  auto induce = [&] {
    bucketStarts();
    sa[slot(text[n - 1])++] = n - 1;
    for (int32_t i = 0; i < n; ++i) {
      const int32_t j = sa[i] - 1;
      if (sa[i] > 0 && !small[static_cast<size_t>(j)]) sa[slot(text[j])++] = j;
    }
    bucketEnds();
    for (int32_t i = n - 1; i >= 0; --i) {
      const int32_t j = sa[i] - 1;
      if (sa[i] > 0 && small[static_cast<size_t>(j)]) sa[--slot(text[j])] = j;
    }
  };

  std::fill(sa, sa + n, -1);
  bucketEnds();
  for (int32_t i = n - 1; i >= 1; --i) {
    if (isLms(i)) sa[--slot(text[i])] = i;
  }
  induce();

  // The LMS substrings in their sorted order, then named: equal neighbours share a name.
  // A name is kept at n1 + position / 2 (no two LMS positions are adjacent).
  int32_t n1 = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (isLms(sa[i])) sa[n1++] = sa[i];
  }
  std::fill(sa + n1, sa + n, -1);
  int32_t names = 0;
  int32_t previous = -1;
  for (int32_t i = 0; i < n1; ++i) {
    const int32_t position = sa[i];
    bool differs = previous < 0;
    for (int32_t d = 0; !differs; ++d) {
      // The sentinel ends only the last LMS substring: it equals no other.
      if (position + d == n || previous + d == n || text[position + d] != text[previous + d] ||
          small[static_cast<size_t>(position + d)] != small[static_cast<size_t>(previous + d)]) {
        differs = true;
      } else if (d > 0 && isLms(position + d)) {
        break;
      }
    }
    if (differs) ++names;
    previous = position;
    sa[n1 + position / 2] = names - 1;
  }
  // The names in the text's order, at the end of the array.
  for (int32_t i = n - 1, j = n - 1; i >= n1; --i) {
    if (sa[i] >= 0) sa[j--] = sa[i];
  }
  int32_t* reduced = sa + n - n1;
  if (names < n1) {
    InducedSort<int32_t>(reduced, sa, n1, names);
  } else {
    for (int32_t i = 0; i < n1; ++i) sa[reduced[i]] = i;
  }
  // The LMS positions in the text's order replace their names; the sorted ranks become
  // positions, which go to their buckets' ends for the last inducing.
  for (int32_t i = 1, j = 0; i < n; ++i) {
    if (isLms(i)) reduced[j++] = i;
  }
  for (int32_t i = 0; i < n1; ++i) sa[i] = reduced[sa[i]];
  std::fill(sa + n1, sa + n, -1);
  bucketEnds();
  for (int32_t i = n1 - 1; i >= 0; --i) {
    const int32_t j = sa[i];
    sa[i] = -1;
    sa[--slot(text[j])] = j;
  }
  induce();
}

size_t CommonLength(const uint8_t* a, size_t aSize, const uint8_t* b, size_t bSize) {
  const size_t limit = std::min(aSize, bSize);
  size_t length = 0;
  while (length < limit && a[length] == b[length]) ++length;
  return length;
}

}  // namespace

std::vector<int32_t> SuffixArray(const uint8_t* text, size_t size) {
  if (size == 0 || size > static_cast<size_t>(INT32_MAX) / 2) return {};
  std::vector<int32_t> sa(size);
  InducedSort<uint8_t>(text, sa.data(), static_cast<int32_t>(size), 256);
  return sa;
}

size_t LongestMatch(const uint8_t* text, size_t size, const std::vector<int32_t>& suffixes,
                    const uint8_t* key, size_t keySize, size_t* position) {
  if (suffixes.empty()) return 0;
  // The suffixes around where the key would sort: the longest match is one of the two.
  size_t low = 0;
  size_t high = suffixes.size() - 1;
  while (high - low > 1) {
    const size_t middle = low + (high - low) / 2;
    const auto at = static_cast<size_t>(suffixes[middle]);
    const size_t compared = std::min(size - at, keySize);
    const int order = std::memcmp(text + at, key, compared);
    // A suffix that is a shorter prefix of the key sorts before it.
    if (order < 0 || (order == 0 && size - at < keySize)) {
      low = middle;
    } else {
      high = middle;
    }
  }
  const auto lowAt = static_cast<size_t>(suffixes[low]);
  const auto highAt = static_cast<size_t>(suffixes[high]);
  const size_t lowLength = CommonLength(text + lowAt, size - lowAt, key, keySize);
  const size_t highLength = CommonLength(text + highAt, size - highAt, key, keySize);
  *position = lowLength >= highLength ? lowAt : highAt;
  return std::max(lowLength, highLength);
}

}  // namespace zt4
