#include "codec/approximate_diff_encoder.h"

#include <algorithm>
#include <cstring>

#include "codec/approximate_diff.h"
#include "codec/suffix_array.h"

namespace zt4 {
namespace {

// A new alignment is taken when it beats the current one by more than this.
constexpr size_t kSeed = 8;
constexpr size_t kLongestMeasured = 4096;

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The longest exact match anywhere in the reference, through its suffix array.
class MatchIndex {
 public:
  MatchIndex(const uint8_t* reference, size_t size)
      : reference_(reference), size_(size), suffixes_(SuffixArray(reference, size)) {}

  // The longest match at `content`: its length (0 for none) and where it is.
  size_t Match(const uint8_t* content, size_t available, size_t* position) const {
    // Capped: the scan asks at every position, and a long run would be measured again at
    // each of its bytes. A match this long is taken anyway and the scan jumps over it.
    return LongestMatch(reference_, size_, suffixes_, content,
                        std::min(available, kLongestMeasured), position);
  }

 private:
  const uint8_t* reference_;
  size_t size_;
  std::vector<int32_t> suffixes_;
};

}  // namespace

std::vector<uint8_t> ApproximateDiff(const uint8_t* old, size_t oldSize, const uint8_t* now,
                                     size_t nowSize) {
  MatchIndex index(old, oldSize);
  std::vector<uint8_t> controls;
  std::vector<uint8_t> differences;
  std::vector<uint8_t> added;
  uint32_t count = 0;
  // The classic scheme: a new exact match is taken when it beats the current alignment
  // by more than a few bytes; between two alignments the first is extended forward and
  // the second backward, each as far as half of their bytes agree.
  size_t scan = 0, length = 0, position = 0;
  size_t lastScan = 0, lastPosition = 0;
  int64_t lastOffset = 0;
  while (scan < nowSize) {
    size_t oldScore = 0;
    size_t scoreUpTo = scan += length;
    for (; scan < nowSize; ++scan) {
      length = index.Match(now + scan, nowSize - scan, &position);
      for (; scoreUpTo < scan + length; ++scoreUpTo) {
        int64_t at = static_cast<int64_t>(scoreUpTo) + lastOffset;
        if (at >= 0 && static_cast<size_t>(at) < oldSize && old[at] == now[scoreUpTo]) ++oldScore;
      }
      if ((length == oldScore && length != 0) || length > oldScore + kSeed) break;
      int64_t at = static_cast<int64_t>(scan) + lastOffset;
      if (at >= 0 && static_cast<size_t>(at) < oldSize && old[at] == now[scan] && oldScore > 0) {
        --oldScore;
      }
    }
    if (length == oldScore && scan != nowSize) continue;
    // Forward from the last alignment.
    size_t forward = 0;
    {
      int64_t score = 0, best = 0;
      for (size_t i = 0; lastScan + i < scan && lastPosition + i < oldSize;) {
        if (old[lastPosition + i] == now[lastScan + i]) ++score;
        ++i;
        if (score * 2 - static_cast<int64_t>(i) > best * 2 - static_cast<int64_t>(forward)) {
          best = score;
          forward = i;
        }
      }
    }
    // Backward from the new one.
    size_t backward = 0;
    if (scan < nowSize) {
      int64_t score = 0, best = 0;
      for (size_t i = 1; scan >= lastScan + i && position >= i; ++i) {
        if (old[position - i] == now[scan - i]) ++score;
        if (score * 2 - static_cast<int64_t>(i) > best * 2 - static_cast<int64_t>(backward)) {
          best = score;
          backward = i;
        }
      }
    }
    if (lastScan + forward > scan - backward) {
      size_t overlap = (lastScan + forward) - (scan - backward);
      int64_t score = 0, best = 0;
      size_t split = 0;
      for (size_t i = 0; i < overlap; ++i) {
        if (now[lastScan + forward - overlap + i] == old[lastPosition + forward - overlap + i]) ++score;
        if (now[scan - backward + i] == old[position - backward + i]) --score;
        if (score > best) {
          best = score;
          split = i + 1;
        }
      }
      forward += split - overlap;
      backward -= split;
    }
    for (size_t i = 0; i < forward; ++i) {
      differences.push_back(static_cast<uint8_t>(now[lastScan + i] - old[lastPosition + i]));
    }
    const size_t freshBegin = lastScan + forward;
    const size_t freshEnd = scan - backward;
    added.insert(added.end(), now + freshBegin, now + freshEnd);
    static_assert(kDiffControlBytes == 3 * sizeof(uint32_t), "a control is three words");
    Put32(controls, static_cast<uint32_t>(forward));
    Put32(controls, static_cast<uint32_t>(freshEnd - freshBegin));
    Put32(controls, static_cast<uint32_t>(static_cast<int32_t>(
                        static_cast<int64_t>(position - backward) -
                        static_cast<int64_t>(lastPosition + forward))));
    ++count;
    lastScan = scan - backward;
    lastPosition = position - backward;
    lastOffset = static_cast<int64_t>(position) - static_cast<int64_t>(scan);
  }
  std::vector<uint8_t> stream;
  stream.reserve(kDiffHeaderBytes + controls.size() + differences.size() + added.size());
  Put32(stream, count);
  stream.insert(stream.end(), controls.begin(), controls.end());
  stream.insert(stream.end(), differences.begin(), differences.end());
  stream.insert(stream.end(), added.begin(), added.end());
  return stream;
}

std::vector<uint8_t> SparseDiff(const std::vector<uint8_t>& diff) {
  const uint32_t count = static_cast<uint32_t>(diff[0]) | static_cast<uint32_t>(diff[1]) << 8 |
                         static_cast<uint32_t>(diff[2]) << 16 |
                         static_cast<uint32_t>(diff[3]) << 24;
  const size_t sections = kDiffHeaderBytes + size_t{count} * kDiffControlBytes;
  size_t runBytes = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* run = &diff[kDiffHeaderBytes + i * kDiffControlBytes];
    runBytes += static_cast<size_t>(run[0]) | static_cast<size_t>(run[1]) << 8 |
                static_cast<size_t>(run[2]) << 16 | static_cast<size_t>(run[3]) << 24;
  }
  std::vector<uint8_t> sparse(diff.begin(), diff.begin() + static_cast<std::ptrdiff_t>(sections));
  auto stretch = [&sparse](uint32_t zeros) {
    for (; zeros >= 0x80; zeros >>= 7) sparse.push_back(static_cast<uint8_t>(zeros | 0x80));
    sparse.push_back(static_cast<uint8_t>(zeros));
  };
  uint32_t zeros = 0;
  for (size_t i = sections; i < sections + runBytes; ++i) {
    if (diff[i] == 0) {
      ++zeros;
      continue;
    }
    stretch(zeros);
    sparse.push_back(diff[i]);
    zeros = 0;
  }
  stretch(zeros);
  sparse.insert(sparse.end(), diff.begin() + static_cast<std::ptrdiff_t>(sections + runBytes),
                diff.end());
  return sparse;
}

}  // namespace zt4
