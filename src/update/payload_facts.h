// What the checks before the backup learn of a payload: whether it can be had whole, and
// what its entries need to know of it. A payload is decoded once however many entries
// read it; the entries then ask the facts.
#pragma once

#include <cstdint>

#include "base/key_index.h"

namespace zt4 {

struct PayloadFacts {
  bool readable = false;        // in the patch and whole (its CRC matches)
  int32_t size = 0;             // its content's size
  int64_t frameContentSize = -1;  // what a frame of it states (ReferenceFrameContentSize)
  int64_t recordsEnd = -1;      // where its delta records end (DeltaRecordsEnd)
  char digest[41] = "";         // its SHA-1, once asked for (empty before)
};

class PayloadFactsCache {
 public:
  // The facts of the payload "patch/<id>", read on the first call for the id (and once
  // more should a later call be the first to want its digest). Null only when memory ran
  // short for the facts themselves.
  const PayloadFacts* Of(int32_t id, bool withDigest = false);

 private:
  KeyIndex<PayloadFacts> facts_;
};

}  // namespace zt4
