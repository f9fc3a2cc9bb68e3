#include "zt4mkpatch/segment_writer.h"

#include <algorithm>

#include "base/heap.h"
#include "codec/reference_codec.h"
#include "codec/segment_codec.h"

namespace zt4::builder {
namespace {

void Put(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

struct Stretch {
  int32_t source;
  uint64_t offset;
  uint64_t length;
};

// The matched stretches within [start, end), clipped to it, in new order; one that goes
// on where the one before it ends in the same source joins it. They cover distinct new
// bytes, so together they are never longer than the window; past the most stretches a
// segment takes, the rest of it is coded as new bytes.
std::vector<Stretch> StretchesIn(const std::vector<BlockMatch>& matches, size_t* next,
                                 uint64_t start, uint64_t end) {
  std::vector<Stretch> stretches;
  // Matches wholly before the window are done with; the one that crosses into the next
  // window is met again there.
  while (*next < matches.size() && matches[*next].newOffset + matches[*next].length <= start) {
    ++*next;
  }
  for (size_t i = *next; i < matches.size() && matches[i].newOffset < end; ++i) {
    const BlockMatch& m = matches[i];
    const uint64_t from = std::max(m.newOffset, start);
    const uint64_t to = std::min(m.newOffset + m.length, end);
    Stretch stretch{m.source, m.oldOffset + (from - m.newOffset), to - from};
    if (!stretches.empty() && stretches.back().source == stretch.source &&
        stretches.back().offset + stretches.back().length == stretch.offset) {
      stretches.back().length += stretch.length;
    } else if (stretches.size() < kMostSegmentStretches) {
      stretches.push_back(stretch);
    } else {
      break;
    }
  }
  return stretches;
}

}  // namespace

bool WriteSegments(const uint8_t* data, uint64_t size, const std::vector<BlockMatch>& matches,
                   const std::vector<OldSpan>& sources, uint32_t window, int level,
                   std::string* payload) {
  if (window == 0 || window > kSegmentWindow) return false;
  payload->assign(kSegmentMark, sizeof kSegmentMark);
  Put(payload, size, 8);
  Put(payload, (size + window - 1) / window, 4);
  std::string reference;
  size_t next = 0;
  for (uint64_t start = 0; start < size; start += window) {
    const uint64_t end = std::min<uint64_t>(start + window, size);
    const std::vector<Stretch> stretches = StretchesIn(matches, &next, start, end);
    Put(payload, end - start, 4);
    Put(payload, stretches.size(), 2);
    reference.clear();
    for (const Stretch& s : stretches) {
      Put(payload, static_cast<uint64_t>(s.source), 2);
      Put(payload, s.offset, 8);
      Put(payload, s.length, 4);
      const OldSpan& source = sources[static_cast<size_t>(s.source)];
      reference.append(reinterpret_cast<const char*>(source.data + s.offset), s.length);
    }
    // Stretches that cover the whole window are the segment: no frame at all.
    if (reference.size() == end - start) {
      Put(payload, 0, 4);
      continue;
    }
    size_t frameSize = 0;
    uint8_t* frame = EncodeWithReference(
        data + start, end - start, stretches.empty() ? nullptr : reinterpret_cast<const uint8_t*>(reference.data()),
        reference.size(), level, &frameSize);
    if (!frame) return false;
    Put(payload, frameSize, 4);
    payload->append(reinterpret_cast<const char*>(frame), frameSize);
    FreeBlock(frame);
  }
  return true;
}

}  // namespace zt4::builder
