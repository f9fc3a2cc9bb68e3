#include "update/payload_facts.h"

#include "base/heap.h"
#include "codec/reference_codec.h"
#include "codec/sha1.h"
#include "update/apply.h"
#include "update/delta.h"

namespace zt4 {

const PayloadFacts* PayloadFactsCache::Of(int32_t id, bool withDigest) {
  PayloadFacts* known = facts_.Find(&id, sizeof id);
  if (known && (!withDigest || !known->readable || known->digest[0] != 0)) return known;
  PayloadFacts facts;
  ScopedBlock payload;
  if (LoadPayload(id, &payload.data, &payload.size) == Stop::kNone) {
    facts.readable = true;
    facts.size = payload.size;
    facts.frameContentSize =
        ReferenceFrameContentSize(payload.data, static_cast<size_t>(payload.size));
    facts.recordsEnd = DeltaRecordsEnd(payload.data, payload.size);
    if (withDigest) Sha1Hex(payload.data, static_cast<size_t>(payload.size), facts.digest);
  }
  if (known) {
    *known = facts;
    return known;
  }
  return facts_.Insert(&id, sizeof id, facts);
}

}  // namespace zt4
