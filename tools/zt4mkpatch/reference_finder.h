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
  // Registers a content under a number of the caller's choice.
  void Add(int32_t item, const uint8_t* data, size_t size);

  struct Match {
    int32_t item;
    int32_t shared;  // samples the content has in common with the item
  };
  // The items sharing the most samples with the content, most first, each sharing at
  // least `minimumShare` of the content's samples (and a few at the least).
  std::vector<Match> Similar(const uint8_t* data, size_t size, double minimumShare) const;

 private:
  std::unordered_map<uint64_t, std::vector<int32_t>> itemsBySample_;
};

// The samples of a content, sorted, each once.
std::vector<uint64_t> ContentSamples(const uint8_t* data, size_t size);

}  // namespace zt4::builder
