// Delta records, the payload of a changed file: back to back, each an offset and a
// length (uint32 little-endian) and that many bytes, which replace the bytes at that
// offset of the starting block (the old file's first bytes, zero beyond its end). Records
// may overlap; a later one wins.
#pragma once

#include <cstdint>

namespace zt4 {

// Receives the records' bytes at their offsets of the new content.
class DeltaSink {
 public:
  virtual void Put(uint32_t offset, const uint8_t* data, uint32_t length) = 0;

 protected:
  ~DeltaSink() = default;
};

// The sink of a whole new content in memory: a block of the new size.
class BlockSink final : public DeltaSink {
 public:
  explicit BlockSink(uint8_t* block) : block_(block) {}
  void Put(uint32_t offset, const uint8_t* data, uint32_t length) override;

 private:
  uint8_t* block_;
};

// The sink of one window of the new content, [start, start + size): of each record it
// keeps the bytes that fall inside. A content written a window at a time never needs
// the whole of it in memory.
class WindowSink final : public DeltaSink {
 public:
  WindowSink(uint8_t* window, uint32_t start, uint32_t size)
      : window_(window), start_(start), size_(size) {}
  void Put(uint32_t offset, const uint8_t* data, uint32_t length) override;

 private:
  uint8_t* window_;
  uint32_t start_;
  uint32_t size_;
};

// True when the payload is a whole sequence of records that all lie within `newSize`
// bytes; looks at nothing but the bytes given.
bool ValidateDeltaRecords(const uint8_t* payload, int32_t payloadSize, int32_t newSize);

// Where the records end: the highest offset plus length of any of them (0 for none), or
// -1 when the payload is not a whole sequence of records. The records lie within a
// `newSize` of at least that, so one look answers ValidateDeltaRecords for every size.
int64_t DeltaRecordsEnd(const uint8_t* payload, int32_t payloadSize);

// Checks every record first, then hands each to the sink in payload order. False, with
// nothing handed over, when the records do not all fit.
bool ApplyDeltaRecords(const uint8_t* payload, int32_t payloadSize, int32_t newSize,
                       DeltaSink& sink);

}  // namespace zt4
