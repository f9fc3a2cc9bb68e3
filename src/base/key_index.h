// KeyIndex: byte-string keys to values by open addressing, the slots kept at least twice
// the count, so that a look-up costs the same for ten keys as for a million. For the
// program's own bookkeeping (which old contents are verified, which members are kept,
// what a payload was found to be); the archive index and the mount table stay NameTables,
// whose visiting order the archive format is written in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "base/heap.h"

namespace zt4 {

template <typename Value>
class KeyIndex {
 public:
  KeyIndex() = default;
  KeyIndex(const KeyIndex&) = delete;
  KeyIndex& operator=(const KeyIndex&) = delete;
  ~KeyIndex() { Clear(); }

  // The value of the key, or null.
  Value* Find(const void* key, size_t length) const {
    if (!slots_) return nullptr;
    const uint64_t hash = Hash(key, length);
    for (size_t at = hash & (slotCount_ - 1);; at = (at + 1) & (slotCount_ - 1)) {
      Slot& slot = slots_[at];
      if (!slot.key) return nullptr;
      if (slot.hash == hash && slot.length == length && std::memcmp(slot.key, key, length) == 0) {
        return &slot.value;
      }
    }
  }

  // The value of the key, entered with `value` when it was not there (*added tells
  // which). Null, with nothing entered, when memory is short.
  Value* Insert(const void* key, size_t length, const Value& value, bool* added = nullptr) {
    if (added) *added = false;
    if (Value* found = Find(key, length)) return found;
    if (2 * (count_ + 1) > slotCount_ && !Grow()) return nullptr;
    uint8_t* copy = AllocBlock(length);
    if (!copy) return nullptr;
    if (length > 0) std::memcpy(copy, key, length);
    const uint64_t hash = Hash(key, length);
    Slot& slot = FreeSlotFor(slots_, slotCount_, hash);
    slot.key = copy;
    slot.length = length;
    slot.hash = hash;
    slot.value = value;
    ++count_;
    if (added) *added = true;
    return &slot.value;
  }

  // Every value, in no particular order.
  template <typename Visit>
  void ForEach(Visit visit) {
    for (size_t i = 0; i < slotCount_; ++i) {
      if (slots_[i].key) visit(slots_[i].value);
    }
  }

  void Clear() {
    for (size_t i = 0; i < slotCount_; ++i) FreeBlock(slots_[i].key);
    delete[] slots_;
    slots_ = nullptr;
    slotCount_ = 0;
    count_ = 0;
  }

  size_t Count() const { return count_; }
  size_t SlotCount() const { return slotCount_; }

 private:
  struct Slot {
    uint8_t* key = nullptr;  // null: free
    size_t length = 0;
    uint64_t hash = 0;
    Value value{};
  };

  static uint64_t Hash(const void* key, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(key);
    uint64_t hash = 14695981039346656037u;
    for (size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 1099511628211u;
    return hash ^ (hash >> 29);
  }

  static Slot& FreeSlotFor(Slot* slots, size_t slotCount, uint64_t hash) {
    size_t at = hash & (slotCount - 1);
    while (slots[at].key) at = (at + 1) & (slotCount - 1);
    return slots[at];
  }

  // Doubles the slots (16 to start with) and moves every key over.
  bool Grow() {
    const size_t grown = slotCount_ ? 2 * slotCount_ : 16;
    Slot* slots = new (std::nothrow) Slot[grown];
    if (!slots) return false;
    for (size_t i = 0; i < slotCount_; ++i) {
      if (slots_[i].key) FreeSlotFor(slots, grown, slots_[i].hash) = slots_[i];
    }
    delete[] slots_;
    slots_ = slots;
    slotCount_ = grown;
    return true;
  }

  Slot* slots_ = nullptr;
  size_t slotCount_ = 0;
  size_t count_ = 0;
};

}  // namespace zt4
