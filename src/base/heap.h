// Heap blocks: every buffer handed between modules (whole-file contents, extracted
// members, coded data, the serialised index) is one plain malloc block, owned by its
// receiver and released with FreeBlock (or std::free).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace zt4 {

// A block of n bytes; a request of 0 bytes still yields a block, so that an empty file
// or member is told apart from a failed allocation. Null when memory is exhausted.
inline uint8_t* AllocBlock(size_t n) { return static_cast<uint8_t*>(std::malloc(n ? n : 1)); }

inline void FreeBlock(void* block) { std::free(block); }

// A block and its size, freed with the scope: for code that holds one while it may
// return early.
struct ScopedBlock {
  ScopedBlock() = default;
  ~ScopedBlock() { FreeBlock(data); }
  ScopedBlock(const ScopedBlock&) = delete;
  ScopedBlock& operator=(const ScopedBlock&) = delete;

  uint8_t* data = nullptr;
  int32_t size = 0;
};

}  // namespace zt4
