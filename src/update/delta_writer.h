// The writer of delta records (the format is in update/delta.h): the records that turn
// the applier's starting block into a new content, from the contents whole or a window
// at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zt4 {

// The merge gaps a changed file's records are tried with, the smallest first.
inline constexpr size_t kDeltaMergeGaps[] = {8, 16, 24, 32};

// The delta records that turn the applier's starting block (the old file's first
// min(old, new) bytes, zero beyond) into the new content: one record per run of
// differing bytes, runs less than `mergeGap` equal bytes apart merged (by default closer
// than a record header). No difference at all gives one empty record, never an empty
// payload.
std::vector<uint8_t> DeltaPayload(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                                  size_t newSize, size_t mergeGap = 8);

// The same records made from the contents a window at a time, in order, so that a big
// file is never held whole: Feed each window of the new content with the old content's
// bytes at the same offsets (as many as the old content has there), then Finish.
class DeltaScanner {
 public:
  DeltaScanner(size_t oldSize, size_t mergeGap) : oldSize_(oldSize), gap_(mergeGap) {}
  void Feed(const uint8_t* oldWindow, const uint8_t* newWindow, size_t count);
  std::vector<uint8_t> Finish();

 private:
  void Emit();

  size_t oldSize_;
  size_t gap_;
  size_t position_ = 0;
  bool open_ = false;  // a run (or runs merged) whose record is not written yet
  size_t runBegin_ = 0;
  size_t runEnd_ = 0;
  std::vector<uint8_t> pending_;  // the new bytes from runBegin_ on, while a run is open
  std::vector<uint8_t> payload_;
};

// The records whose payload codes smallest in the patch, over kDeltaMergeGaps: a wider
// gap repeats equal bytes, but leaves fewer headers, whose offsets code poorly.
std::vector<uint8_t> SmallestDeltaPayload(const uint8_t* oldData, size_t oldSize,
                                          const uint8_t* newData, size_t newSize);

// The payload that codes smallest in the patch's member coder (the first of equals);
// takes them apart.
std::vector<uint8_t> SmallestCoded(std::vector<std::vector<uint8_t>>& payloads);

// Applies delta records with the applier's own code to the applier's starting block;
// false for records that run past the payload or the new size.
bool ApplyDeltaPayload(const std::vector<uint8_t>& payload, const uint8_t* oldData, size_t oldSize,
                       size_t newSize, std::vector<uint8_t>* out);

}  // namespace zt4
