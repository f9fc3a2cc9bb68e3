// ParsePatchList on arbitrary bytes. The input is copied into a heap block of exactly its
// size, so a sanitizer sees any read past the description's last byte. Whatever tree
// comes back is walked whole and checked against what the parser promises
// (patch_tree_check.h); a compact tree against its decoded records. A reader of the
// first form alone must refuse every compact description, and read any other exactly
// as the full reader does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_check.h"
#include "patch_tree_check.h"
#include "update/patch_list.h"

namespace {

using zt4::fuzz::Check;

// The group mark and kCompactMarker with its zero, then version, budget and records size.
constexpr size_t kMarkBytes = 4 + sizeof zt4::kCompactMarker;
constexpr size_t kBudgetAt = kMarkBytes + 4;
constexpr size_t kRecordsSizeAt = kBudgetAt + 4;

bool LooksCompact(const uint8_t* bytes, size_t size) {
  return size >= kMarkBytes && std::memcmp(bytes, "\xFF\xFF\xFF\xFF", 4) == 0 &&
         std::memcmp(bytes + 4, zt4::kCompactMarker, sizeof zt4::kCompactMarker) == 0;
}

int32_t Le32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 |
                              static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A description is loaded whole into memory; nothing near this size is realistic here.
  if (size > (1u << 20)) return 0;
  auto* block = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (block == nullptr) return 0;
  if (size != 0) std::memcpy(block, data, size);
  const auto count = static_cast<int32_t>(size);
  const bool compact = LooksCompact(block, size);

  zt4::PatchEntry* strict = zt4::ParsePatchList(block, count, zt4::PatchFormats::kStrictOnly);
  // The reader sets aside the records size the head states before it decodes anything;
  // past 1 MiB a run is mostly that allocation (and up to 2 GiB of it).
  if (compact && size >= kRecordsSizeAt + 4 && Le32(block + kRecordsSizeAt) > (1 << 20)) {
    Check(strict == nullptr, "compact description read as the first form");
    zt4::FreePatchList(strict);
    std::free(block);
    return 0;
  }
  zt4::PatchEntry* head = zt4::ParsePatchList(block, count);
  if (compact) {
    Check(strict == nullptr, "compact description read as the first form");
  } else {
    Check((head == nullptr) == (strict == nullptr), "first-form readers disagree");
    Check(!zt4::IsCompact(head), "compact tree without the compact marker");
  }
  if (head != nullptr) {
    if (compact) {
      // Accepted, so the whole head was there to be read.
      Check(size >= kRecordsSizeAt + 4, "compact tree from a cut head");
      const int32_t recordsSize = Le32(block + kRecordsSizeAt);
      Check(recordsSize > 0, "compact tree from an empty records block");
      zt4::fuzz::CheckTree(head, {head->records, static_cast<size_t>(recordsSize)}, true,
                           Le32(block + kBudgetAt));
    } else {
      zt4::fuzz::CheckTree(head, {block, size}, false, 0);
    }
  }
  if (strict != nullptr) zt4::fuzz::CheckTree(strict, {block, size}, false, 0);

  zt4::FreePatchList(strict);
  zt4::FreePatchList(head);
  std::free(block);
  return 0;
}
