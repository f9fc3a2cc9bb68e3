// NameTable: the hash table keyed by PoolString, with 128 buckets, separate chaining and
// a node pool that only grows. Its visiting order (bucket 0..127, newest key of a bucket
// first) is part of the archive format: the writer emits its index in this order.
#pragma once

#include <cstdint>
#include <new>

#include "base/pool_string.h"

namespace zt4 {

// Bytes are read as signed, so Shift-JIS bytes of 0x80 and above count negative.
inline uint32_t NameHash(const char* bytes, int32_t length) {
  uint32_t h = 0;
  for (int32_t i = 0; i < length; ++i) {
    h = h * 65599u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(bytes[i])));
  }
  return h + static_cast<uint32_t>(static_cast<int32_t>(h) >> 5);
}

inline uint32_t NameHash(const PoolString& key) { return NameHash(key.Text(), key.Length()); }

template <typename Payload>
struct NameNode {
  PoolString key;
  Payload payload{};
  NameNode* next = nullptr;
};

template <typename Payload>
class NameTable {
 public:
  static constexpr uint32_t kBucketCount = 128;
  using Node = NameNode<Payload>;
  using Visitor = bool (*)(const PoolString& key, Payload& payload, void* user);

  NameTable() = default;
  NameTable(const NameTable&) = delete;
  NameTable& operator=(const NameTable&) = delete;

  ~NameTable() {
    Clear();
    while (freeNodes) {
      Node* next = freeNodes->next;
      delete freeNodes;
      freeNodes = next;
    }
  }

  static uint32_t BucketOf(const PoolString& key) { return NameHash(key) & (kBucketCount - 1); }

  Node* Find(const PoolString& key) const {
    for (Node* node = buckets[BucketOf(key)]; node; node = node->next) {
      if (node->key == key) return node;
    }
    return nullptr;
  }

  Node* FindOrInsert(const PoolString& key) {
    uint32_t bucket = BucketOf(key);
    for (Node* node = buckets[bucket]; node; node = node->next) {
      if (node->key == key) return node;
    }
    if (!freeNodes) ReserveNodes(nodeCount + 32);
    Node* node = freeNodes;
    if (!node) return nullptr;
    node->key.Assign(key);
    if (!(node->key == key)) return nullptr;  // the key could not be copied: node stays free
    freeNodes = node->next;
    node->next = buckets[bucket];
    buckets[bucket] = node;
    ++entryCount;
    return node;
  }

  bool Set(const PoolString& key, const Payload& payload) {
    Node* node = FindOrInsert(key);
    if (!node) return false;
    node->payload = payload;
    return true;
  }

  // Allocates n further nodes (not n minus those there are) once the table holds fewer.
  bool ReserveNodes(uint32_t n) {
    if (n <= nodeCount) return true;
    for (uint32_t i = 0; i < n; ++i) {
      Node* node = new (std::nothrow) Node;
      if (!node) return false;
      node->next = freeNodes;
      freeNodes = node;
      ++nodeCount;
    }
    return true;
  }

  void Clear() {
    for (uint32_t b = 0; b < kBucketCount; ++b) {
      Node* first = buckets[b];
      if (!first) continue;
      Node* last = first;
      while (last->next) last = last->next;
      last->next = freeNodes;
      freeNodes = first;
      buckets[b] = nullptr;
    }
    entryCount = 0;
  }

  // Visits every key in the fixed order; a false from the visitor leaves that bucket.
  uint32_t ForEachEntry(Visitor visitor, void* user) {
    uint32_t count = 0;
    for (uint32_t b = 0; b < kBucketCount; ++b) {
      for (Node* node = buckets[b]; node; node = node->next) {
        if (!visitor(node->key, node->payload, user)) break;
        ++count;
      }
    }
    return count;
  }

  uint32_t EntryCount() const { return entryCount; }
  uint32_t NodeCount() const { return nodeCount; }

 private:
  Node* buckets[kBucketCount] = {};
  Node* freeNodes = nullptr;
  uint32_t entryCount = 0;
  uint32_t nodeCount = 0;
};

}  // namespace zt4
