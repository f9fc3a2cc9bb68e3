// What an accepted description tree promises, for the targets that parse descriptions:
// every text inside the bytes it was read from, safe names, the content rules of compact
// entries, and the records written back from the tree byte for byte (so the reader
// neither skipped nor invented a field).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "update/content_method.h"
#include "update/patch_list.h"
#include "update/patch_list_writer.h"

namespace zt4::fuzz {

// The bytes the records of a tree were read from: the description itself, or the
// decoded records of a compact one.
struct RecordBytes {
  const uint8_t* data;
  size_t size;
};

inline void CheckText(const char* text, const RecordBytes& bytes) {
  Check(text != nullptr, "null text");
  if (text[0] == 0) {
    Check(text == kEmptyEntryText, "empty text not shared");
    return;
  }
  const auto* p = reinterpret_cast<const uint8_t*>(text);
  Check(p >= bytes.data && p < bytes.data + bytes.size, "text outside the records");
  size_t room = static_cast<size_t>(bytes.data + bytes.size - p);
  Check(std::memchr(p, 0, room) != nullptr, "text without its zero inside the records");
}

// A necessary part of the backup rule: the first component that is not "." (trailing dots
// and blanks dropped) is not the backup folder itself, whatever the case.
inline bool FirstComponentIsBackup(const char* name) {
  const char* component = name;
  for (;;) {
    const char* end = component;
    while (*end != 0 && *end != '/' && *end != '\\') ++end;
    const char* trimmed = end;
    while (trimmed != component && (trimmed[-1] == '.' || trimmed[-1] == ' ')) --trimmed;
    if (trimmed != component) {
      const size_t length = static_cast<size_t>(trimmed - component);
      if (length != sizeof kBackupFolderName - 1) return false;
      for (size_t i = 0; i < length; ++i) {
        char c = component[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != kBackupFolderName[i]) return false;
      }
      return true;
    }
    if (*end == 0) return false;
    component = end + 1;
  }
}

// A content of a digest run has its texts in the run, its digest texts its tag.
inline void CheckRunTexts(const PatchEntry* entry) {
  Check(entry->runPlace >= 0 && entry->runPlace < entry->run->count, "place outside the run");
  Check(entry->newDigest == entry->run->digests[entry->runPlace], "digest text not the run's");
  Check(std::strlen(entry->newDigest) == 2 * kRunTagBytes, "tag of another length");
  Check(entry->newName[0] != 0, "run content without a name");
}

inline void CheckEntryTexts(const PatchEntry* entry, const RecordBytes& bytes) {
  if (entry->run) {
    CheckRunTexts(entry);
    return;
  }
  CheckText(entry->oldName, bytes);
  CheckText(entry->oldDigest, bytes);
  CheckText(entry->newName, bytes);
  CheckText(entry->newDigest, bytes);
}

// The first form carries no content fields at all.
inline void CheckStrictContent(const PatchEntry* entry) {
  Check(entry->method == ContentMethod::kNone, "content method in the first form");
  Check(entry->references == nullptr && entry->referenceCount == 0, "references in the first form");
}

// How a compact record's new content is made, against what the reader has to refuse.
inline void CheckCompactContent(const PatchEntry* entry, const char* group, int64_t budget,
                                const RecordBytes& bytes) {
  const bool member = group != nullptr;
  const int32_t count = entry->referenceCount;
  Check(count >= 0 && count <= kMaxReferences, "reference count out of range");
  Check((entry->references != nullptr) == (count > 0), "references and their count differ");
  int64_t held = entry->newSize;
  for (int32_t i = 0; i < count; ++i) {
    const ContentReference& reference = entry->references[i];
    Check(reference.side == ReferenceSide::kOld || reference.side == ReferenceSide::kNew,
          "reference side unknown");
    if (entry->run) {
      Check(reference.digest == entry->newDigest, "run content held to another digest");
    } else {
      CheckText(reference.file, bytes);
      CheckText(reference.member, bytes);
      CheckText(reference.digest, bytes);
    }
    Check(reference.file[0] != 0, "reference without a file");
    Check(IsSafeRelativeName(reference.file, false), "unsafe reference file");
    Check(!FirstComponentIsBackup(reference.file), "reference file in the backup folder");
    if (reference.member[0] != 0) {
      Check(reference.member[0] == '/', "reference member not rooted in its archive");
      // A new member of the entry's own group is an earlier one, tied to it by the reader;
      // one of another archive is read from it once written.
      Check(reference.side == ReferenceSide::kOld || reference.earlier >= 0 || !member ||
                std::strcmp(reference.file, group) != 0,
            "member of its own group not tied to it");
      Check(IsSafeRelativeName(reference.member, true), "unsafe reference member");
    }
    Check(reference.size >= 0, "negative reference size");
    held += reference.size;
  }
  // What the entry's method allows is its row's rule, which the reader asked.
  const MethodRow* row = FindMethod(entry->method);
  Check(row != nullptr, "compact entry without a compact method");
  Check(row->accepts(*entry, RecordPlace{member, budget}), "content its method refuses");
  if (row->IsFrame()) Check(held <= budget, "references and content beyond the budget");
  if (row->making == MethodRow::Making::kFolder) Check(!member, "folder as a member");
}

inline void WriteContent(PatchListWriter& writer, const PatchEntry* entry) {
  writer.Content(entry->method, entry->referenceCount);
  for (int32_t i = 0; i < entry->referenceCount; ++i) writer.Reference(entry->references[i]);
}

// Entries of one digest run from `*at` on, written back as their run.
inline void WriteRun(PatchListWriter& writer, const std::vector<const PatchEntry*>& order,
                     size_t* at) {
  const DigestRun* run = order[*at]->run;
  const char* archive = order[*at]->oldName[0] == 0 ? order[*at]->references[0].file : "";
  std::vector<PatchListWriter::RunItem> items;
  for (; *at < order.size() && order[*at]->run == run; ++*at) {
    items.push_back({order[*at]->newName, order[*at]->newSize, order[*at]->newDigest});
  }
  writer.Run(archive, items.data(), static_cast<int32_t>(items.size()), run->digest);
}

// The records again from the tree, in file order (the chain holds the last record first).
inline void CheckWrittenBack(const PatchEntry* head, const RecordBytes& bytes, bool compact) {
  std::vector<const PatchEntry*> order;
  for (const PatchEntry* entry = head; entry != nullptr; entry = entry->next)
    order.push_back(entry);
  std::reverse(order.begin(), order.end());
  PatchListWriter writer;
  for (size_t at = 0; at < order.size();) {
    const PatchEntry* entry = order[at];
    if (entry->run) {
      WriteRun(writer, order, &at);
      continue;
    }
    ++at;
    if (entry->id == kGroupMark) {
      writer.GroupBegin(entry->newName, entry->newSize, entry->newDigest);
    } else {
      writer.Record(entry->id, entry->oldName, entry->oldSize, entry->oldDigest, entry->newName,
                    entry->newSize, entry->newDigest);
      if (compact) WriteContent(writer, entry);
      continue;
    }
    std::vector<const PatchEntry*> members;
    for (const PatchEntry* member = entry->firstChild; member; member = member->next) {
      members.push_back(member);
    }
    for (size_t m = 0; m < members.size();) {
      const PatchEntry* member = members[m];
      if (member->run) {
        WriteRun(writer, members, &m);
        continue;
      }
      ++m;
      writer.Record(member->id, member->oldName, member->oldSize, member->oldDigest,
                    member->newName, member->newSize, member->newDigest);
      if (compact) WriteContent(writer, member);
    }
    writer.GroupEnd();
  }
  if (!writer.Ok()) return;  // out of memory on the way: nothing to compare
  Check(static_cast<size_t>(writer.Size()) == bytes.size, "records written back differ in size");
  Check(std::memcmp(writer.Data(), bytes.data, bytes.size) == 0, "records written back differ");
}

// The whole tree read from `bytes`; `budget` is the head's for a compact tree.
inline void CheckTree(const PatchEntry* head, const RecordBytes& bytes, bool compact,
                      int64_t budget) {
  Check(head != nullptr, "no tree to check");
  Check(IsCompact(head) == compact, "tree of the other form");
  Check(head->budget == (compact ? budget : 0), "budget of the head");
  int32_t walked = 0;
  for (const PatchEntry* entry = head; entry != nullptr; entry = entry->next) {
    ++walked;
    CheckEntryTexts(entry, bytes);
    Check(entry == head || (entry->records == nullptr && entry->budget == 0),
          "records held below the head");
    const EntryKind kind = KindOf(entry);
    Check(kind != EntryKind::KindNone, "top-level entry without names");
    Check(IsSafeRelativeName(entry->oldName, false), "unsafe old name");
    Check(IsSafeRelativeName(entry->newName, false), "unsafe new name");
    Check(!FirstComponentIsBackup(entry->newName), "new name in the backup folder");
    if (kind != EntryKind::KindGroup) {
      Check(entry->firstChild == nullptr, "members under a plain entry");
      if (compact) {
        CheckCompactContent(entry, nullptr, budget, bytes);
      } else {
        CheckStrictContent(entry);
      }
      continue;
    }
    // The group record itself has no content; its members do.
    CheckStrictContent(entry);
    Check(entry->oldName[0] == 0 && entry->oldSize == 0 && entry->oldDigest[0] == 0,
          "group with an old side");
    for (const PatchEntry* member = entry->firstChild; member != nullptr; member = member->next) {
      CheckEntryTexts(member, bytes);
      Check(member->id != kGroupMark, "member with the group mark as id");
      Check(member->firstChild == nullptr, "members under a member");
      Check(member->records == nullptr && member->budget == 0, "records held by a member");
      Check(IsSafeRelativeName(member->oldName, false), "unsafe member old name");
      Check(IsSafeRelativeName(member->newName, true), "unsafe member name");
      if (compact) {
        CheckCompactContent(member, entry->newName, budget, bytes);
      } else {
        CheckStrictContent(member);
      }
    }
  }
  Check(CountEntries(head) == walked, "count differs from the chain");
  CheckWrittenBack(head, bytes, compact);
}

}  // namespace zt4::fuzz
