#include "update/delta.h"

#include <cstring>

#include "base/bytes.h"

namespace zt4 {

constexpr int32_t kRecordHeaderBytes = 8;

void BlockSink::Put(uint32_t offset, const uint8_t* data, uint32_t length) {
  if (length > 0) std::memcpy(block_ + offset, data, length);
}

void WindowSink::Put(uint32_t offset, const uint8_t* data, uint32_t length) {
  uint64_t from = offset > start_ ? offset : start_;
  uint64_t to = uint64_t{offset} + length;
  if (to > uint64_t{start_} + size_) to = uint64_t{start_} + size_;
  if (from >= to) return;
  std::memcpy(window_ + (from - start_), data + (from - offset), static_cast<size_t>(to - from));
}

bool ValidateDeltaRecords(const uint8_t* payload, int32_t payloadSize, int32_t newSize) {
  if (newSize < 0 || payloadSize < 0) return false;
  int64_t remaining = payloadSize;
  const uint8_t* at = payload;
  while (remaining > 0) {
    remaining -= kRecordHeaderBytes;
    if (remaining < 0) return false;  // the record header is cut
    uint32_t offset = GetU32(at);
    uint32_t length = GetU32(at + 4);
    remaining -= length;
    if (remaining < 0) return false;  // the data runs past the payload
    if (uint64_t{offset} + length > static_cast<uint64_t>(newSize)) return false;
    at += kRecordHeaderBytes + uint64_t{length};
  }
  return true;
}

int64_t DeltaRecordsEnd(const uint8_t* payload, int32_t payloadSize) {
  if (payloadSize < 0) return -1;
  int64_t end = 0;
  int64_t remaining = payloadSize;
  const uint8_t* at = payload;
  while (remaining > 0) {
    remaining -= kRecordHeaderBytes;
    if (remaining < 0) return -1;
    const uint32_t offset = GetU32(at);
    const uint32_t length = GetU32(at + 4);
    remaining -= length;
    if (remaining < 0) return -1;
    const int64_t recordEnd = int64_t{offset} + length;
    if (recordEnd > end) end = recordEnd;
    at += kRecordHeaderBytes + uint64_t{length};
  }
  return end;
}

bool ApplyDeltaRecords(const uint8_t* payload, int32_t payloadSize, int32_t newSize,
                       DeltaSink& sink) {
  if (!ValidateDeltaRecords(payload, payloadSize, newSize)) return false;
  const uint8_t* at = payload;
  const uint8_t* end = payload + payloadSize;
  while (at < end) {
    uint32_t length = GetU32(at + 4);
    sink.Put(GetU32(at), at + kRecordHeaderBytes, length);
    at += kRecordHeaderBytes + uint64_t{length};
  }
  return true;
}

}  // namespace zt4
