// Finds, for a new content, the contents it shares most with: old files and members,
// and new files written before it. Each content is known by a sample of its 64-byte
// windows, chosen by the bytes themselves (a rolling hash), so an insertion moves no
// sample but those it touches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace zt4::builder {

class ReferenceFinder {
 public:
  // Registers a content; items are numbered 0, 1, 2... in the order they are added.
  int32_t Add(const uint8_t* data, size_t size);

  // Up to `limit` items that together cover the most of the content's samples, chosen
  // greedily: after `first` (when not -1), each adds at least `minimumShare` of the
  // content's samples (and a few at the least) that the items before it do not have.
  // In the order chosen.
  std::vector<int32_t> Covering(const uint8_t* data, size_t size, int32_t first, size_t limit,
                                double minimumShare) const;

 private:
  std::unordered_map<uint64_t, std::vector<int32_t>> itemsBySample_;
  std::vector<std::vector<uint64_t>> samples_;  // by item, sorted
};

// The samples of a content, sorted, each once.
std::vector<uint64_t> ContentSamples(const uint8_t* data, size_t size);

}  // namespace zt4::builder
