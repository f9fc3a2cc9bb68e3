// A content in segments: the new content cut into pieces of at most kSegmentWindow bytes,
// each a zstd frame coded against the stretches of older contents it repeats (a file or
// member and a byte range of it), laid end to end. Moved, reordered, inserted and deleted
// stretches cost only what is new, and the decoder holds one segment and its stretches at
// a time, whatever the size of the content.
//
//   payload := "ZSG1" | new size (u64) | segment count (u32) | segment...
//   segment := length (u32) | stretch count (u16) | stretch... | frame size (u32) | frame
//   stretch := source (u16) | offset (u64) | length (u32)
//
// Integers are little-endian. The frame's content is the segment's bytes, coded against
// its stretches' bytes in the order given. A segment without a frame (its size 0) is its
// stretches themselves, end to end: they must add up to its length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt4 {

inline constexpr char kSegmentMark[4] = {'Z', 'S', 'G', '1'};
inline constexpr uint32_t kSegmentWindow = uint32_t{8} << 20;
// What one segment may be coded against, and in how many stretches.
inline constexpr uint32_t kMostSegmentStretchBytes = 2 * kSegmentWindow;
inline constexpr uint16_t kMostSegmentStretches = 512;

// Hands the decoder the stretches it needs.
class SegmentSource {
 public:
  // Reads `length` bytes of source `source` from `offset` into `into`; false when it cannot.
  virtual bool Read(uint16_t source, uint64_t offset, uint32_t length, uint8_t* into) = 0;

 protected:
  ~SegmentSource() = default;
};

// Takes the new content, a segment at a time, in order.
class SegmentSink {
 public:
  virtual bool Take(const uint8_t* piece, size_t size) = 0;

 protected:
  ~SegmentSink() = default;
};

enum class SegmentResult {
  kDone,
  kDamaged,       // the payload is not a content of `newSize` in segments over these sources
  kNoMemory,      // the segment's blocks could not be had
  kSourceFailed,  // a stretch could not be read
  kSinkFailed,    // the sink refused a piece
};

// A segment's frame codes at most kSegmentWindow bytes: it is never much longer.
inline constexpr uint32_t kMostSegmentFrameBytes = kSegmentWindow + (kSegmentWindow >> 7) + (1 << 16);

// Decodes a payload handed over a piece at a time, as it is read: it holds one segment's
// coded bytes, the segment and its stretches, whatever the size of the payload. Each
// segment is checked when it is whole, then made and handed to the sink; without a
// source only the layout is checked.
class SegmentStream {
 public:
  SegmentStream(uint16_t sourceCount, const uint64_t* sourceSizes, uint64_t newSize,
                SegmentSource* source, SegmentSink* sink);
  ~SegmentStream();
  SegmentStream(const SegmentStream&) = delete;
  SegmentStream& operator=(const SegmentStream&) = delete;

  // The next piece of the payload; false once the decoding has failed (Finish says why).
  bool Feed(const uint8_t* piece, size_t size);
  // After the last piece: kDone when the payload was whole, nothing after it, and its
  // segments made the whole new content.
  SegmentResult Finish();

 private:
  enum class Stage { kHead, kSegmentHead, kStretches, kFrame, kEnd };
  size_t Needed() const;
  bool Advance();
  bool Made();
  bool Fail(SegmentResult result);

  uint16_t sourceCount_;
  const uint64_t* sourceSizes_;
  uint64_t newSize_;
  SegmentSource* source_;
  SegmentSink* sink_;
  Stage stage_ = Stage::kHead;
  SegmentResult result_ = SegmentResult::kDone;  // kDone until something fails
  uint64_t count_ = 0;     // segments stated
  uint64_t segments_ = 0;  // segments taken
  uint64_t done_ = 0;      // new bytes they make
  uint8_t* unit_ = nullptr;  // the part of the payload being gathered
  size_t unitCapacity_ = 0;
  size_t held_ = 0;
  size_t frameEnd_ = 0;
  uint8_t* made_ = nullptr;
  size_t madeCapacity_ = 0;
  uint8_t* stretches_ = nullptr;
  size_t stretchesCapacity_ = 0;
};

// Checks the payload's layout without decoding a frame: the mark, the new size, each
// segment's length and stretches within the limits and the sources' sizes, the frames
// within the payload and nothing after the last. True when it all fits.
bool SegmentLayoutFits(const uint8_t* payload, size_t size, uint16_t sourceCount,
                       const uint64_t* sourceSizes, uint64_t newSize);

// Decodes the payload segment by segment into the sink. Everything is checked before
// the first frame is decoded; a frame that does not decode to its segment's length is
// damage, found when it is met.
SegmentResult DecodeSegments(const uint8_t* payload, size_t size, uint16_t sourceCount,
                             const uint64_t* sourceSizes, uint64_t newSize, SegmentSource* source,
                             SegmentSink* sink);

// What decoding holds at most: a segment, its stretches and its coded bytes, and the
// piece of the payload being read.
inline constexpr int64_t kSegmentDecodeMemory =
    int64_t{kSegmentWindow} + int64_t{kMostSegmentStretchBytes} +
    int64_t{kMostSegmentFrameBytes} + 6 + int64_t{kMostSegmentStretches} * 14 + 4 + (1 << 18);

}  // namespace zt4
