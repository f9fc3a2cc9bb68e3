#include "update/decoded_members.h"

#include <cstring>
#include <new>

#include "base/heap.h"

namespace zt4 {

DecodedMembers& DecodedMembers::Instance() {
  static DecodedMembers members;
  return members;
}

PoolString DecodedMembers::KeyOf(const ContentReference& reference) {
  return PoolString::Formatted("%s\n%s\n%s", reference.file, reference.member, reference.digest);
}

uint8_t* DecodedMembers::Reserve(int32_t size) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (size <= 0 || size > kMostBytes - bytes_) return nullptr;
    bytes_ += size;
  }
  uint8_t* block = AllocBlock(static_cast<size_t>(size));
  if (!block) Drop(nullptr, size);
  return block;
}

void DecodedMembers::Drop(uint8_t* block, int32_t size) {
  FreeBlock(block);
  std::lock_guard<std::mutex> lock(lock_);
  bytes_ -= size;
}

void DecodedMembers::Keep(const ContentReference& reference, uint8_t* block) {
  PoolString key = KeyOf(reference);
  std::lock_guard<std::mutex> lock(lock_);
  if (!kept_) kept_ = new (std::nothrow) KeyIndex<Kept>;
  bool added = false;
  if (kept_) kept_->Insert(key.Text(), static_cast<size_t>(key.Length()), Kept{block, static_cast<int32_t>(reference.size)}, &added);
  // A member's size is an int32.
  if (!added) {
    FreeBlock(block);
    bytes_ -= reference.size;
  }
}

bool DecodedMembers::CopyTo(const ContentReference& reference, uint8_t* into) {
  PoolString key = KeyOf(reference);
  std::lock_guard<std::mutex> lock(lock_);
  const Kept* kept = kept_ ? kept_->Find(key.Text(), static_cast<size_t>(key.Length())) : nullptr;
  if (!kept || kept->size != reference.size) return false;
  std::memcpy(into, kept->data, static_cast<size_t>(reference.size));
  return true;
}

void DecodedMembers::Release() {
  std::lock_guard<std::mutex> lock(lock_);
  if (!kept_) return;
  kept_->ForEach([](Kept& kept) { FreeBlock(kept.data); });
  delete kept_;
  kept_ = nullptr;
  bytes_ = 0;
}

}  // namespace zt4
