// PoolString: the system's string, a growable NUL-terminated byte string (Shift-JIS or
// ASCII bytes, never decoded here) whose storage comes from three block pools of 64, 256
// and 1024 bytes, or from the heap above that. Every storage change holds the pool lock.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace zt4 {

// A free list of fixed-size blocks. Blocks go back to the heap only through FreeAll, at
// process exit; all fields start at zero, so a pool needs no construction.
template <int N>
class BlockPool {
 public:
  static constexpr int kBlockSize = N;

  void* Acquire();
  void Release(void* block);
  void FreeAll();

  int32_t UsedCount() const { return usedCount; }
  int32_t AllocatedCount() const { return allocatedCount; }

 private:
  // Each block is N bytes of storage followed by the link to the next block of its chain
  // and, while it is on the used chain, the link back to the block before it.
  static void*& LinkOf(void* block) {
    return *reinterpret_cast<void**>(static_cast<char*>(block) + N);
  }
  static void*& BackLinkOf(void* block) {
    return *reinterpret_cast<void**>(static_cast<char*>(block) + N + sizeof(void*));
  }
  bool IndexBlock(void* block);
  bool UnindexBlock(void* block);

  void* usedHead;
  void* freeHead;
  int32_t usedCount;
  int32_t allocatedCount;
  // An open-addressing set of the blocks on the used chain: Release finds a block, or
  // learns that the pool never handed it out, without walking a chain that can hold tens
  // of thousands of names.
  void** usedIndex;
  uint32_t usedIndexCapacity;
};

BlockPool<64>& Pool64();
BlockPool<256>& Pool256();
BlockPool<1024>& Pool1024();

class PoolString {
 public:
  PoolString();
  PoolString(const char* text);  // NOLINT: strings are made from texts everywhere
  PoolString(const char* bytes, int32_t count);
  PoolString(const PoolString& other);
  PoolString& operator=(const PoolString& other) { return Assign(other); }
  PoolString& operator=(const char* text) { return Assign(text); }
  virtual ~PoolString();

  bool Reserve(int32_t request);

  const char* Text() const { return text; }
  int32_t Length() const { return length; }
  int32_t Capacity() const { return capacity; }
  bool Empty() const { return length == 0; }

  char CharAt(int32_t position) const;
  int32_t FindFirst(char c) const;
  int32_t FindLast(char c) const;

  PoolString& Assign(const PoolString& other);
  PoolString& Assign(const char* text);
  PoolString& Append(const PoolString& other);
  PoolString& Append(const char* text);

  // printf-style formatting into this string. The result is never cut: the block grows
  // when the text does not fit the usual 1024-byte working space.
  PoolString& Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
  static PoolString Formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

  PoolString Tail(int32_t position) const;
  PoolString Slice(int32_t from, int32_t to) const;

  bool operator==(const PoolString& other) const;
  bool operator==(const char* other) const;

 private:
  void ReturnBlock();
  PoolString& VFormat(const char* format, va_list arguments);

  char* text;
  int32_t length;
  // 64, 256 or 1024: a block of that pool; 0: no storage could be had (the text is a
  // shared empty string); any other value: a heap block of exactly that size.
  int32_t capacity;
};

}  // namespace zt4
