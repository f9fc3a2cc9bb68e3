// Contents in segments decoded from arbitrary payloads against two fixed old contents.
//
// Input: bytes 0..3 hold the new size (little-endian, at most 1 MiB is kept), the rest
// is the payload. Whatever the payload, the decoder reads only within the sources, hands
// the sink no more than the new size, hands it nothing when the layout does not fit, and
// the whole new size when it says it is done.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/segment_codec.h"
#include "fuzz_check.h"
#include "segment_sources.h"

namespace {

using zt4::fuzz::Check;

struct Sources final : zt4::SegmentSource {
  bool Read(uint16_t source, uint64_t offset, uint32_t length, uint8_t* into) override {
    Check(source < 2, "a source that is not there");
    const std::string& data = zt4::fuzz::SegmentSource(source);
    Check(offset <= data.size() && length <= data.size() - offset, "a range outside its source");
    std::memcpy(into, data.data() + offset, length);
    return true;
  }
};

struct Counted final : zt4::SegmentSink {
  uint64_t taken = 0;
  uint64_t most = 0;
  bool Take(const uint8_t*, size_t size) override {
    taken += size;
    Check(taken <= most, "more than the new size");
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > (1u << 20) + 4) return 0;
  const uint64_t newSize =
      (uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16) & 0xFFFFF;
  const size_t payloadSize = size - 4;
  // An exactly sized copy, so reads past the payload's end are seen.
  auto* payload = static_cast<uint8_t*>(std::malloc(payloadSize ? payloadSize : 1));
  Check(payload != nullptr, "out of memory");
  if (payloadSize != 0) std::memcpy(payload, data + 4, payloadSize);
  const uint64_t sizes[2] = {zt4::fuzz::SegmentSource(0).size(), zt4::fuzz::SegmentSource(1).size()};
  Sources sources;
  Counted sink;
  sink.most = newSize;
  const bool fits = zt4::SegmentLayoutFits(payload, payloadSize, 2, sizes, newSize);
  const zt4::SegmentResult result =
      zt4::DecodeSegments(payload, payloadSize, 2, sizes, newSize, &sources, &sink);
  if (!fits) Check(result == zt4::SegmentResult::kDamaged && sink.taken == 0, "a layout refused, then decoded");
  if (result == zt4::SegmentResult::kDone) Check(sink.taken == newSize, "done short of the new size");
  std::free(payload);
  return 0;
}
