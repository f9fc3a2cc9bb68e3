// ParsePatchList on arbitrary bytes. The input is copied into a heap block of exactly its
// size, so a sanitizer sees any read past the description's last byte. Whatever tree
// comes back is walked whole and checked against what the parser promises.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_check.h"
#include "update/patch_list.h"

namespace {

using zt4::fuzz::Check;

void CheckText(const char* text, const uint8_t* block, size_t size) {
  Check(text != nullptr, "null text");
  if (text[0] == 0) {
    Check(text == zt4::kEmptyEntryText, "empty text not shared");
    return;
  }
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  Check(p >= block && p < block + size, "text outside the block");
  size_t room = static_cast<size_t>(block + size - p);
  Check(std::memchr(p, 0, room) != nullptr, "text without its zero inside the block");
}

void CheckEntry(const zt4::PatchEntry* entry, const uint8_t* block, size_t size) {
  CheckText(entry->oldName, block, size);
  CheckText(entry->oldDigest, block, size);
  CheckText(entry->newName, block, size);
  CheckText(entry->newDigest, block, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A description is loaded whole into memory; nothing near this size is realistic here.
  if (size > (1u << 20)) return 0;
  auto* block = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (block == nullptr) return 0;
  if (size != 0) std::memcpy(block, data, size);

  zt4::PatchEntry* head = zt4::ParsePatchList(block, static_cast<int32_t>(size));
  int32_t walked = 0;
  for (const zt4::PatchEntry* entry = head; entry != nullptr; entry = entry->next) {
    ++walked;
    CheckEntry(entry, block, size);
    zt4::EntryKind kind = zt4::KindOf(entry);
    Check(kind != zt4::KindNone, "top-level entry without names");
    Check(zt4::IsSafeRelativeName(entry->oldName, false), "unsafe old name");
    Check(zt4::IsSafeRelativeName(entry->newName, false), "unsafe new name");
    if (kind != zt4::KindGroup) {
      Check(entry->firstChild == nullptr, "members under a plain entry");
      continue;
    }
    for (const zt4::PatchEntry* member = entry->firstChild; member != nullptr;
         member = member->next) {
      CheckEntry(member, block, size);
      Check(member->id != -1, "member with the group mark as id");
      Check(member->firstChild == nullptr, "members under a member");
      Check(zt4::IsSafeRelativeName(member->oldName, false), "unsafe member old name");
      Check(zt4::IsSafeRelativeName(member->newName, true), "unsafe member name");
    }
  }
  Check(zt4::CountEntries(head) == walked, "count differs from the chain");
  Check(head != nullptr || walked == 0, "walk without a head");

  zt4::FreePatchList(head);
  std::free(block);
  return 0;
}
