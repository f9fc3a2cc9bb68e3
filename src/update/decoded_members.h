// Old archive members decoded while they were verified, kept for the compact entries
// made from them so that each is decoded once. One per process: the verification fills
// it, the apply pass reads it and lets it go.
#pragma once

#include <cstdint>
#include <mutex>

#include "base/key_index.h"
#include "base/pool_string.h"
#include "update/patch_list.h"

namespace zt4 {

class DecodedMembers {
 public:
  // Together the kept contents take at most this much.
  static constexpr int64_t kMostBytes = int64_t{16} << 20;

  static DecodedMembers& Instance();

  // Room for the content of a member of `size` bytes, or null when the bound is reached
  // (or memory is short): it is then only verified, not kept.
  uint8_t* Reserve(int32_t size);
  // Gives back room that was not kept.
  void Drop(uint8_t* block, int32_t size);
  // Keeps a verified content (its room reserved) for the entries made from it.
  void Keep(const ContentReference& reference, uint8_t* block);
  // Copies the kept content of the reference into `into`; false when it is not kept.
  bool CopyTo(const ContentReference& reference, uint8_t* into);
  // Lets go of everything kept.
  void Release();

 private:
  struct Kept {
    uint8_t* data = nullptr;
    int32_t size = 0;
  };
  // The file, the member and the digest: one content.
  static PoolString KeyOf(const ContentReference& reference);

  std::mutex lock_;
  KeyIndex<Kept>* kept_ = nullptr;
  int64_t bytes_ = 0;
};

}  // namespace zt4
