#include "update/delta_writer.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "base/heap.h"
#include "codec/range_codec.h"
#include "update/delta.h"

namespace zt4 {

using Bytes = std::vector<uint8_t>;

Bytes DeltaPayload(const uint8_t* oldData, size_t oldSize, const uint8_t* newData, size_t newSize,
                   size_t mergeGap) {
  DeltaScanner scanner(oldSize, mergeGap);
  scanner.Feed(oldData, newData, newSize);
  return scanner.Finish();
}

void DeltaScanner::Feed(const uint8_t* oldWindow, const uint8_t* newWindow, size_t count) {
  const size_t common = position_ < oldSize_ ? std::min(count, oldSize_ - position_) : 0;
  size_t i = 0;
  while (i < count) {
    // Equal bytes a block at a time while no run is open.
    if (!open_ && i < common) {
      size_t chunk = std::min<size_t>(common - i, 4096);
      if (std::memcmp(oldWindow + i, newWindow + i, chunk) == 0) {
        i += chunk;
        continue;
      }
    }
    const size_t at = position_ + i;
    const bool differs = (i < common ? oldWindow[i] : 0) != newWindow[i];
    if (open_) {
      pending_.push_back(newWindow[i]);
      if (differs) {
        runEnd_ = at + 1;
      } else if (at + 1 - runEnd_ >= gap_) {
        Emit();  // a gap this wide is not merged: the run's record is complete
      }
    } else if (differs) {
      open_ = true;
      runBegin_ = at;
      runEnd_ = at + 1;
      pending_.assign(1, newWindow[i]);
    }
    ++i;
  }
  position_ += count;
}

void DeltaScanner::Emit() {
  uint8_t header[8];
  PutU32(header, static_cast<uint32_t>(runBegin_));
  PutU32(header + 4, static_cast<uint32_t>(runEnd_ - runBegin_));
  payload_.insert(payload_.end(), header, header + sizeof header);
  payload_.insert(payload_.end(), pending_.begin(),
                  pending_.begin() + static_cast<std::ptrdiff_t>(runEnd_ - runBegin_));
  pending_.clear();
  open_ = false;
}

Bytes DeltaScanner::Finish() {
  if (open_) Emit();
  // An empty payload would be a member of 0 bytes; one empty record is read by any applier.
  if (payload_.empty()) payload_.assign(8, 0);
  return std::move(payload_);
}

Bytes SmallestCoded(std::vector<Bytes>& payloads) {
  Bytes best;
  int32_t bestCoded = INT32_MAX;
  for (Bytes& payload : payloads) {
    if (payload == best) continue;
    RangeCodec codec;
    int32_t coded = 0;
    uint8_t* block = codec.CompressAlloc(payload.data(), static_cast<int32_t>(payload.size()), &coded);
    FreeBlock(block);
    if (!block) coded = INT32_MAX - 1;  // no room to measure: any payload does
    if (coded < bestCoded) {
      bestCoded = coded;
      best = std::move(payload);
    }
  }
  return best;
}

Bytes SmallestDeltaPayload(const uint8_t* oldData, size_t oldSize, const uint8_t* newData,
                           size_t newSize) {
  std::vector<Bytes> payloads;
  for (size_t gap : kDeltaMergeGaps) {
    payloads.push_back(DeltaPayload(oldData, oldSize, newData, newSize, gap));
  }
  return SmallestCoded(payloads);
}

bool ApplyDeltaPayload(const Bytes& payload, const uint8_t* oldData, size_t oldSize, size_t newSize,
                       Bytes* out) {
  out->assign(newSize, 0);
  if (std::min(oldSize, newSize) > 0) std::memcpy(out->data(), oldData, std::min(oldSize, newSize));
  BlockSink sink(out->data());
  return payload.size() <= INT32_MAX && newSize <= INT32_MAX &&
         ApplyDeltaRecords(payload.data(), static_cast<int32_t>(payload.size()),
                           static_cast<int32_t>(newSize), sink);
}

}  // namespace zt4
