// The record reader of a compact description, reached directly: mutated zstd frames
// seldom decode, so the input is taken as the decoded records and coded into a compact
// description here before ParsePatchList reads it.
//
// Input: bytes 0..3 the memory budget (int32 little-endian, as in the head), the rest the
// records. A budget or records block the head cannot have must be refused; an accepted
// tree is checked whole (patch_tree_check.h) against the records given, and the reader of
// the first form alone must refuse the description.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "patch_tree_check.h"
#include "update/patch_list.h"
#include "update/patch_list_writer.h"

namespace {

using zt4::fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every input is coded at the highest zstd level; past this the run is mostly coding.
  if (size < 4 || size > (1u << 16)) return 0;
  // The top bit of the first four bytes asks for a description of the latest version (wide
  // sizes and digest runs).
  const uint32_t first = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                        static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
  const auto budget = static_cast<int32_t>(first & 0x7FFFFFFFu);
  const bool wide = (first >> 31) != 0;
  const uint8_t* records = data + 4;
  const auto recordsSize = static_cast<int32_t>(size - 4);

  zt4::PatchListWriter writer;
  writer.CompactHead(budget, records, recordsSize,
                     wide ? zt4::kRunCompactVersion : zt4::kCompactVersion);
  if (!writer.Ok()) return 0;  // no memory for the frame
  const auto descriptionSize = static_cast<size_t>(writer.Size());
  // Copied into a block of exactly its size, as the applier holds a loaded description.
  std::vector<uint8_t> description(writer.Data(), writer.Data() + descriptionSize);

  zt4::PatchEntry* head = zt4::ParsePatchList(description.data(), writer.Size());
  Check(zt4::ParsePatchList(description.data(), writer.Size(), zt4::PatchFormats::kStrictOnly) ==
            nullptr,
        "compact description read as the first form");
  if (budget <= 0 || recordsSize == 0) Check(head == nullptr, "head out of range accepted");
  if (head != nullptr) {
    Check(std::memcmp(head->records, records, static_cast<size_t>(recordsSize)) == 0,
          "records decoded to other bytes");
    zt4::fuzz::CheckTree(head, {head->records, static_cast<size_t>(recordsSize)}, true, budget);
  }
  zt4::FreePatchList(head);
  return 0;
}
