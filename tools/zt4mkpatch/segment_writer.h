// Codes a new content in segments (codec/segment_codec.h) against the old stretches the
// block matcher finds in it: each window of the new content is matched on its own and
// made one segment, a zstd frame coded against the matched stretches that fall in it.
// Windows are coded on several threads at once; each segment depends only on its window,
// the index and the old bytes, so the payload does not depend on the number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "zt4mkpatch/block_matcher.h"

namespace zt4::builder {

// A reader of the old contents and the new one for one thread; null when it cannot be had.
using RangesMaker = std::function<std::unique_ptr<Ranges>()>;

struct SegmentJob {
  uint64_t size = 0;        // of the new content
  uint32_t window = 0;      // at most kSegmentWindow
  int level = 3;            // zstd's
  unsigned threads = 1;
  // Called on the calling thread as windows are done, with the new bytes done so far.
  std::function<void(uint64_t)> progress;
};

// The payload of the new content in segments; false when a range cannot be read or a
// frame cannot be made.
bool WriteSegments(const BlockMatcher& matcher, const RangesMaker& makeRanges,
                   const SegmentJob& job, std::string* payload);

}  // namespace zt4::builder
