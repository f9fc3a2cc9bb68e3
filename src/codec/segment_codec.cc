#include "codec/segment_codec.h"

#include <cstring>

#include "base/bytes.h"
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
constexpr size_t kHeadSize = sizeof kSegmentMark + 8 + 4;
constexpr size_t kSegmentHeadSize = 4 + 2;

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
  if (segment->frameSize > kMostSegmentFrameBytes) return false;
  segment->frame = fields->Skip(segment->frameSize);
  return segment->frame != nullptr &&
         (segment->frameSize > 0 || segment->stretchBytes == segment->length);
}

// A block grown to the largest size asked of it so far, its first `kept` bytes kept.
bool Reserve(uint8_t** block, size_t* capacity, size_t size, size_t kept = 0) {
  if (size <= *capacity) return true;
  uint8_t* grown = AllocBlock(size);
  if (!grown) return false;
  if (kept > 0) std::memcpy(grown, *block, kept);
  FreeBlock(*block);
  *block = grown;
  *capacity = size;
  return true;
}

}  // namespace

SegmentStream::SegmentStream(uint16_t sourceCount, const uint64_t* sourceSizes, uint64_t newSize,
                             SegmentSource* source, SegmentSink* sink)
    : sourceCount_(sourceCount), sourceSizes_(sourceSizes), newSize_(newSize), source_(source),
      sink_(sink) {}

SegmentStream::~SegmentStream() {
  FreeBlock(unit_);
  FreeBlock(made_);
  FreeBlock(stretches_);
}

size_t SegmentStream::Needed() const {
  switch (stage_) {
    case Stage::kHead:
      return kHeadSize;
    case Stage::kSegmentHead:
      return kSegmentHeadSize;
    case Stage::kStretches:
      return kSegmentHeadSize + size_t{GetU16(unit_ + 4)} * kStretchSize + 4;
    case Stage::kFrame:
      return frameEnd_;
    case Stage::kEnd:
      break;
  }
  return 0;
}

bool SegmentStream::Feed(const uint8_t* piece, size_t size) {
  while (size > 0 && result_ == SegmentResult::kDone) {
    if (stage_ == Stage::kEnd) return Fail(SegmentResult::kDamaged);  // bytes after the last
    const size_t need = Needed();
    if (!Reserve(&unit_, &unitCapacity_, need, held_)) return Fail(SegmentResult::kNoMemory);
    const size_t take = need - held_ < size ? need - held_ : size;
    std::memcpy(unit_ + held_, piece, take);
    held_ += take;
    piece += take;
    size -= take;
    if (held_ == need && !Advance()) return false;
  }
  return result_ == SegmentResult::kDone;
}

bool SegmentStream::Advance() {
  switch (stage_) {
    case Stage::kHead: {
      Fields fields(unit_, kHeadSize);
      const uint8_t* mark = fields.Skip(sizeof kSegmentMark);
      const uint64_t stated = fields.Take(8);
      count_ = fields.Take(4);
      if (std::memcmp(mark, kSegmentMark, sizeof kSegmentMark) != 0 || stated != newSize_) {
        return Fail(SegmentResult::kDamaged);
      }
      held_ = 0;
      stage_ = count_ > 0 ? Stage::kSegmentHead : Stage::kEnd;
      return true;
    }
    case Stage::kSegmentHead: {
      const uint32_t length = GetU32(unit_);
      const uint32_t stretchCount = GetU16(unit_ + 4);
      if (length == 0 || length > kSegmentWindow || stretchCount > kMostSegmentStretches) {
        return Fail(SegmentResult::kDamaged);
      }
      stage_ = Stage::kStretches;
      return true;
    }
    case Stage::kStretches: {
      const uint32_t frameSize = GetU32(unit_ + held_ - 4);
      if (frameSize > kMostSegmentFrameBytes) return Fail(SegmentResult::kDamaged);
      frameEnd_ = held_ + frameSize;
      stage_ = Stage::kFrame;
      return frameSize > 0 || Made();
    }
    case Stage::kFrame:
      return Made();
    case Stage::kEnd:
      break;
  }
  return Fail(SegmentResult::kDamaged);
}

// The segment whole in `unit_`: checked, and with a source made and handed to the sink.
bool SegmentStream::Made() {
  Fields fields(unit_, held_);
  Segment segment;
  if (!NextSegment(&fields, sourceCount_, sourceSizes_, &segment) || !fields.AtEnd() ||
      segment.length > newSize_ - done_) {
    return Fail(SegmentResult::kDamaged);
  }
  done_ += segment.length;
  held_ = 0;
  stage_ = ++segments_ < count_ ? Stage::kSegmentHead : Stage::kEnd;
  if (!source_) return true;
  if (!Reserve(&stretches_, &stretchesCapacity_, segment.stretchBytes > 0 ? segment.stretchBytes : 1) ||
      !Reserve(&made_, &madeCapacity_, segment.length)) {
    return Fail(SegmentResult::kNoMemory);
  }
  uint32_t at = 0;
  for (uint16_t s = 0; s < segment.stretchCount; ++s) {
    const Stretch stretch = StretchAt(segment.stretches, s);
    if (!source_->Read(stretch.source, stretch.offset, stretch.length, stretches_ + at)) {
      return Fail(SegmentResult::kSourceFailed);
    }
    at += stretch.length;
  }
  // Without a frame the stretches are the segment.
  const uint8_t* made = stretches_;
  if (segment.frameSize > 0) {
    if (!DecodeWithReference(segment.frame, segment.frameSize,
                             segment.stretchCount > 0 ? stretches_ : nullptr, at, made_,
                             segment.length)) {
      return Fail(SegmentResult::kDamaged);
    }
    made = made_;
  }
  return sink_->Take(made, segment.length) || Fail(SegmentResult::kSinkFailed);
}

bool SegmentStream::Fail(SegmentResult result) {
  if (result_ == SegmentResult::kDone) result_ = result;
  return false;
}

SegmentResult SegmentStream::Finish() {
  if (result_ != SegmentResult::kDone) return result_;
  // Cut short, or segments that do not add up to the new size.
  if (stage_ != Stage::kEnd || held_ != 0 || done_ != newSize_) return SegmentResult::kDamaged;
  return SegmentResult::kDone;
}

bool SegmentLayoutFits(const uint8_t* payload, size_t size, uint16_t sourceCount,
                       const uint64_t* sourceSizes, uint64_t newSize) {
  SegmentStream layout(sourceCount, sourceSizes, newSize, nullptr, nullptr);
  layout.Feed(payload, size);
  return layout.Finish() == SegmentResult::kDone;
}

SegmentResult DecodeSegments(const uint8_t* payload, size_t size, uint16_t sourceCount,
                             const uint64_t* sourceSizes, uint64_t newSize, SegmentSource* source,
                             SegmentSink* sink) {
  if (!SegmentLayoutFits(payload, size, sourceCount, sourceSizes, newSize)) {
    return SegmentResult::kDamaged;
  }
  SegmentStream stream(sourceCount, sourceSizes, newSize, source, sink);
  stream.Feed(payload, size);
  return stream.Finish();
}

}  // namespace zt4
