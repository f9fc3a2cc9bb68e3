// A description in a heap block of exactly its size (no zero after it, so ASan sees any
// read past the end) and the tree parsed from it; both freed together.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "update/patch_list.h"

namespace zt4::test {

class ParsedList {
 public:
  explicit ParsedList(const std::string& bytes,
                      PatchFormats formats = PatchFormats::kStrictAndCompact)
      : ParsedList(bytes, bytes.size(), formats) {}
  ParsedList(const std::string& bytes, size_t count,
             PatchFormats formats = PatchFormats::kStrictAndCompact)
      : count_(count) {
    block_ = static_cast<uint8_t*>(std::malloc(count ? count : 1));
    if (count != 0) std::memcpy(block_, bytes.data(), count);
    head_ = ParsePatchList(block_, static_cast<int32_t>(count), formats);
  }
  ~ParsedList() {
    FreePatchList(head_);
    std::free(block_);
  }
  ParsedList(const ParsedList&) = delete;
  ParsedList& operator=(const ParsedList&) = delete;

  const PatchEntry* head() const { return head_; }
  // True when the text points into the block (non-empty texts are never copied).
  bool InBlock(const char* text) const {
    auto* p = reinterpret_cast<const uint8_t*>(text);
    return p >= block_ && p < block_ + count_;
  }

 private:
  uint8_t* block_;
  size_t count_;
  PatchEntry* head_;
};

}  // namespace zt4::test
