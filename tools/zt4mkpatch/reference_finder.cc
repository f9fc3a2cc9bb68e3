#include "zt4mkpatch/reference_finder.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace zt4::builder {
namespace {

// One in 2^7 window positions is a sample: about 8 000 per megabyte.
constexpr uint64_t kSampleMask = (uint64_t{1} << 7) - 1;
// A sample that many contents share (a run of zeros, a licence header) says nothing.
constexpr size_t kCommonSample = 32;
constexpr int32_t kFewestShared = 4;

const std::array<uint64_t, 256>& GearTable() {
  static const std::array<uint64_t, 256> table = [] {
    std::array<uint64_t, 256> values{};
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (uint64_t& value : values) {
      // splitmix64: fixed values, so the same inputs give the same patch.
      state += 0x9E3779B97F4A7C15u;
      uint64_t z = state;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
      value = z ^ (z >> 31);
    }
    return values;
  }();
  return table;
}

}  // namespace

std::vector<uint64_t> ContentSamples(const uint8_t* data, size_t size) {
  const auto& gear = GearTable();
  std::vector<uint64_t> samples;
  uint64_t hash = 0;
  // The hash shifts one bit a byte, so it depends on the last 64 bytes only.
  for (size_t i = 0; i < size; ++i) {
    hash = (hash << 1) + gear[data[i]];
    if (i >= 63 && (hash & kSampleMask) == 0) samples.push_back(hash);
  }
  std::sort(samples.begin(), samples.end());
  samples.erase(std::unique(samples.begin(), samples.end()), samples.end());
  return samples;
}

int32_t ReferenceFinder::Add(const uint8_t* data, size_t size) {
  auto item = static_cast<int32_t>(samples_.size());
  samples_.push_back(ContentSamples(data, size));
  for (uint64_t sample : samples_.back()) {
    std::vector<int32_t>& items = itemsBySample_[sample];
    if (items.size() <= kCommonSample) items.push_back(item);
  }
  return item;
}

std::vector<int32_t> ReferenceFinder::Covering(const uint8_t* data, size_t size, int32_t first,
                                               size_t limit, double minimumShare) const {
  std::vector<uint64_t> uncovered = ContentSamples(data, size);
  const auto least = std::max<size_t>(
      kFewestShared, static_cast<size_t>(minimumShare * static_cast<double>(uncovered.size())));
  auto drop = [&uncovered](const std::vector<uint64_t>& covered) {
    std::vector<uint64_t> rest;
    std::set_difference(uncovered.begin(), uncovered.end(), covered.begin(), covered.end(),
                        std::back_inserter(rest));
    uncovered.swap(rest);
  };
  std::vector<int32_t> chosen;
  if (first >= 0) drop(samples_[static_cast<size_t>(first)]);
  while (chosen.size() < limit) {
    std::unordered_map<int32_t, size_t> gain;
    for (uint64_t sample : uncovered) {
      auto found = itemsBySample_.find(sample);
      if (found == itemsBySample_.end() || found->second.size() > kCommonSample) continue;
      for (int32_t item : found->second) {
        if (item != first) ++gain[item];
      }
    }
    int32_t best = -1;
    size_t bestGain = 0;
    for (const auto& [item, count] : gain) {
      if (count > bestGain || (count == bestGain && item < best)) {
        best = item;
        bestGain = count;
      }
    }
    if (best < 0 || bestGain < least) break;
    chosen.push_back(best);
    drop(samples_[static_cast<size_t>(best)]);
  }
  return chosen;
}

}  // namespace zt4::builder
