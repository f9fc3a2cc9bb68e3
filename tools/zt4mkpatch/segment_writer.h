// Codes a new content in segments (codec/segment_codec.h) against the old stretches the
// block matcher found in it: each window of the new content is one zstd frame coded
// against the matched stretches that fall in it, laid end to end in new order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zt4mkpatch/block_matcher.h"

namespace zt4::builder {

// The payload of `data` in segments of `window` bytes (at most kSegmentWindow) at the
// zstd level given; false when a frame cannot be made. The sources are numbered as the
// matcher's.
bool WriteSegments(const uint8_t* data, uint64_t size, const std::vector<BlockMatch>& matches,
                   const std::vector<OldSpan>& sources, uint32_t window, int level,
                   std::string* payload);

}  // namespace zt4::builder
