// Delta record validation on arbitrary payloads.
//
// Input: bytes 0..3 hold the new size (little-endian, at most 1 MiB is kept), the rest
// is the payload. ValidateDeltaRecords must agree with a plain model of the record
// layout; when it accepts, the applier's own loop copies every record into a block of
// exactly the new size, so a sanitizer sees any copy that the validation let through
// outside the block or past the payload.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_check.h"
#include "update/delta.h"

namespace {

using zt4::fuzz::Check;

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The record layout read the slow way: a header of 8 bytes, then the data, back to back
// to the last byte; every record within the new size.
bool ModelAccepts(const uint8_t* payload, size_t size, uint32_t newSize) {
  size_t at = 0;
  while (at < size) {
    if (size - at < 8) return false;
    uint64_t offset = Le32(payload + at);
    uint64_t length = Le32(payload + at + 4);
    at += 8;
    if (length > size - at) return false;
    if (offset + length > newSize) return false;
    at += static_cast<size_t>(length);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > (1u << 20) + 4) return 0;
  const uint32_t newSize = Le32(data) & 0xFFFFF;
  const size_t payloadSize = size - 4;
  // An exactly sized copy, so reads past the payload's end are seen.
  auto* payload = static_cast<uint8_t*>(std::malloc(payloadSize ? payloadSize : 1));
  Check(payload != nullptr, "out of memory");
  if (payloadSize != 0) std::memcpy(payload, data + 4, payloadSize);

  const bool accepted = zt4::ValidateDeltaRecords(payload, static_cast<int32_t>(payloadSize),
                                                  static_cast<int32_t>(newSize));
  Check(accepted == ModelAccepts(payload, payloadSize, newSize), "differs from the model");
  // The new size's top bit set is no size at all.
  Check(!zt4::ValidateDeltaRecords(payload, static_cast<int32_t>(payloadSize),
                                   static_cast<int32_t>(newSize | 0x80000000u)),
        "negative new size accepted");
  if (accepted) {
    auto* block = static_cast<uint8_t*>(std::malloc(newSize ? newSize : 1));
    Check(block != nullptr, "out of memory");
    std::memset(block, 0, newSize);
    zt4::BlockSink sink(block);
    Check(zt4::ApplyDeltaRecords(payload, static_cast<int32_t>(payloadSize),
                                 static_cast<int32_t>(newSize), sink),
          "accepted records not applied");
    // Any cut inside the last record's header is refused.
    if (payloadSize >= 8) {
      size_t cut = payloadSize - 1 - (Le32(data) >> 29);  // 1..8 bytes shorter
      Check(!zt4::ValidateDeltaRecords(payload, static_cast<int32_t>(cut),
                                       static_cast<int32_t>(newSize)) ||
                ModelAccepts(payload, cut, newSize),
            "a cut payload differs from the model");
    }
    std::free(block);
  }
  std::free(payload);
  return 0;
}
