#include "codec/segment_codec.h"

#include <cstring>

#include "base/heap.h"
#include "codec/reference_codec.h"

namespace zt4 {
namespace {

// Reads the payload's fields in order; any read past its end leaves it failed.
class Fields {
 public:
  Fields(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint64_t Take(int bytes) {
    if (failed_ || size_ - at_ < static_cast<size_t>(bytes)) {
      failed_ = true;
      return 0;
    }
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= uint64_t{data_[at_ + static_cast<size_t>(i)]} << (8 * i);
    at_ += static_cast<size_t>(bytes);
    return value;
  }
  // The next `count` bytes, or null past the end.
  const uint8_t* Skip(uint64_t count) {
    if (failed_ || size_ - at_ < count) {
      failed_ = true;
      return nullptr;
    }
    const uint8_t* at = data_ + at_;
    at_ += static_cast<size_t>(count);
    return at;
  }
  bool Failed() const { return failed_; }
  bool AtEnd() const { return at_ == size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  bool failed_ = false;
};

struct Stretch {
  uint16_t source;
  uint64_t offset;
  uint32_t length;
};

// One segment's header, its stretches left in the payload to be read again.
struct Segment {
  uint32_t length = 0;
  uint16_t stretchCount = 0;
  uint32_t stretchBytes = 0;
  const uint8_t* stretches = nullptr;
  const uint8_t* frame = nullptr;
  uint32_t frameSize = 0;
};

constexpr size_t kStretchSize = 2 + 8 + 4;

Stretch StretchAt(const uint8_t* stretches, uint16_t index) {
  Fields fields(stretches + size_t{index} * kStretchSize, kStretchSize);
  Stretch stretch;
  stretch.source = static_cast<uint16_t>(fields.Take(2));
  stretch.offset = fields.Take(8);
  stretch.length = static_cast<uint32_t>(fields.Take(4));
  return stretch;
}

// The next segment, checked against the limits and the sources; false when it does not fit.
bool NextSegment(Fields* fields, uint16_t sourceCount, const uint64_t* sourceSizes,
                 Segment* segment) {
  segment->length = static_cast<uint32_t>(fields->Take(4));
  segment->stretchCount = static_cast<uint16_t>(fields->Take(2));
  if (fields->Failed() || segment->length == 0 || segment->length > kSegmentWindow ||
      segment->stretchCount > kMostSegmentStretches) {
    return false;
  }
  segment->stretches = fields->Skip(uint64_t{segment->stretchCount} * kStretchSize);
  if (!segment->stretches) return false;
  uint64_t stretchBytes = 0;
  for (uint16_t i = 0; i < segment->stretchCount; ++i) {
    const Stretch stretch = StretchAt(segment->stretches, i);
    if (stretch.source >= sourceCount || stretch.length == 0 ||
        stretch.offset > sourceSizes[stretch.source] ||
        stretch.length > sourceSizes[stretch.source] - stretch.offset) {
      return false;
    }
    stretchBytes += stretch.length;
  }
  if (stretchBytes > kMostSegmentStretchBytes) return false;
  segment->stretchBytes = static_cast<uint32_t>(stretchBytes);
  segment->frameSize = static_cast<uint32_t>(fields->Take(4));
  segment->frame = fields->Skip(segment->frameSize);
  return segment->frame != nullptr &&
         (segment->frameSize > 0 || segment->stretchBytes == segment->length);
}

// Walks the layout: the most a segment and its stretches need, through the out values.
bool Walk(const uint8_t* payload, size_t size, uint16_t sourceCount, const uint64_t* sourceSizes,
          uint64_t newSize, uint32_t* mostLength, uint32_t* mostStretchBytes) {
  Fields fields(payload, size);
  const uint8_t* mark = fields.Skip(sizeof kSegmentMark);
  if (!mark || std::memcmp(mark, kSegmentMark, sizeof kSegmentMark) != 0) return false;
  const uint64_t stated = fields.Take(8);
  const uint64_t count = fields.Take(4);
  if (fields.Failed() || stated != newSize) return false;
  uint64_t total = 0;
  *mostLength = 0;
  *mostStretchBytes = 0;
  for (uint64_t i = 0; i < count; ++i) {
    Segment segment;
    if (!NextSegment(&fields, sourceCount, sourceSizes, &segment)) return false;
    total += segment.length;
    if (total > newSize) return false;
    if (segment.length > *mostLength) *mostLength = segment.length;
    if (segment.stretchBytes > *mostStretchBytes) *mostStretchBytes = segment.stretchBytes;
  }
  return total == newSize && fields.AtEnd();
}

}  // namespace

bool SegmentLayoutFits(const uint8_t* payload, size_t size, uint16_t sourceCount,
                       const uint64_t* sourceSizes, uint64_t newSize) {
  uint32_t mostLength = 0;
  uint32_t mostStretchBytes = 0;
  return Walk(payload, size, sourceCount, sourceSizes, newSize, &mostLength, &mostStretchBytes);
}

SegmentResult DecodeSegments(const uint8_t* payload, size_t size, uint16_t sourceCount,
                             const uint64_t* sourceSizes, uint64_t newSize, SegmentSource* source,
                             SegmentSink* sink) {
  uint32_t mostLength = 0;
  uint32_t mostStretchBytes = 0;
  if (!Walk(payload, size, sourceCount, sourceSizes, newSize, &mostLength, &mostStretchBytes)) {
    return SegmentResult::kDamaged;
  }
  ScopedBlock piece;
  ScopedBlock stretches;
  piece.data = AllocBlock(mostLength > 0 ? mostLength : 1);
  stretches.data = AllocBlock(mostStretchBytes > 0 ? mostStretchBytes : 1);
  if (!piece.data || !stretches.data) return SegmentResult::kNoMemory;
  Fields fields(payload, size);
  fields.Skip(sizeof kSegmentMark + 8);
  const uint64_t count = fields.Take(4);
  for (uint64_t i = 0; i < count; ++i) {
    Segment segment;
    NextSegment(&fields, sourceCount, sourceSizes, &segment);  // walked above: it fits
    uint32_t at = 0;
    for (uint16_t s = 0; s < segment.stretchCount; ++s) {
      const Stretch stretch = StretchAt(segment.stretches, s);
      if (!source->Read(stretch.source, stretch.offset, stretch.length, stretches.data + at)) {
        return SegmentResult::kSourceFailed;
      }
      at += stretch.length;
    }
    // Without a frame the stretches are the segment.
    const uint8_t* made = stretches.data;
    if (segment.frameSize > 0) {
      if (!DecodeWithReference(segment.frame, segment.frameSize,
                               segment.stretchCount > 0 ? stretches.data : nullptr, at, piece.data,
                               segment.length)) {
        return SegmentResult::kDamaged;
      }
      made = piece.data;
    }
    if (!sink->Take(made, segment.length)) return SegmentResult::kSinkFailed;
  }
  return SegmentResult::kDone;
}

}  // namespace zt4
