#include "zt4mkpatch/reference_finder.h"

#include <algorithm>
#include <array>

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

void ReferenceFinder::Add(int32_t item, const uint8_t* data, size_t size) {
  for (uint64_t sample : ContentSamples(data, size)) {
    std::vector<int32_t>& items = itemsBySample_[sample];
    if (items.size() <= kCommonSample) items.push_back(item);
  }
}

std::vector<ReferenceFinder::Match> ReferenceFinder::Similar(const uint8_t* data, size_t size,
                                                             double minimumShare) const {
  std::vector<uint64_t> samples = ContentSamples(data, size);
  std::unordered_map<int32_t, int32_t> shared;
  for (uint64_t sample : samples) {
    auto found = itemsBySample_.find(sample);
    if (found == itemsBySample_.end() || found->second.size() > kCommonSample) continue;
    for (int32_t item : found->second) ++shared[item];
  }
  const auto least = std::max<int32_t>(
      kFewestShared, static_cast<int32_t>(minimumShare * static_cast<double>(samples.size())));
  std::vector<Match> matches;
  for (const auto& [item, count] : shared) {
    if (count >= least) matches.push_back({item, count});
  }
  std::sort(matches.begin(), matches.end(), [](const Match& a, const Match& b) {
    return a.shared != b.shared ? a.shared > b.shared : a.item < b.item;
  });
  return matches;
}

}  // namespace zt4::builder
