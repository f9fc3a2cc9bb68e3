#include "update/journal.h"

#include <cstring>

#include "base/bytes.h"
#include "base/heap.h"
#include "base/key_index.h"
#include "base/stream.h"
#include "codec/crc32.h"
#include "update/paths.h"

namespace zt4 {
namespace {

constexpr char kJournalName[] = "zt4journal";
// The header: this mark (its last byte the format's version), the patch's digest, and the
// CRC-32 of both.
constexpr char kJournalMark[8] = {'Z', 'T', '4', 'J', 'R', 'N', 'L', 1};
// A record: its number (from 0), its kind, the length of its text (with the NUL), the
// text, and the CRC-32 of all before it.
constexpr size_t kRecordHead = 7;
constexpr size_t kRecordTail = 4;

}  // namespace

Journal::~Journal() { FreeBlock(bytes_); }

bool Journal::Reserve(size_t more) {
  if (size_ + more <= capacity_) return true;
  size_t capacity = capacity_ ? capacity_ : 4096;
  while (capacity < size_ + more) capacity *= 2;
  uint8_t* grown = AllocBlock(capacity);
  if (!grown) return false;
  if (size_ > 0) std::memcpy(grown, bytes_, size_);
  FreeBlock(bytes_);
  bytes_ = grown;
  capacity_ = capacity;
  return true;
}

bool Journal::Begin(const char* backup, const FolderItem* items, const uint8_t* patchDigest) {
  // One past the highest number the install's items take: none of them is moved onto it.
  int64_t taken = -1;
  for (const FolderItem* item = items; item; item = item->next) {
    const int64_t number = NameNumber(item->name, kJournalName);
    if (number > taken) taken = number;
  }
  size_ = onDisk_ = 0;
  records_ = 0;
  workFolder_[0] = 0;
  if (!NumberedName(name_, sizeof name_, kJournalName, taken + 1) ||
      !JoinBackslash(path_, backup, name_) || !Reserve(kHeaderSize)) {
    return false;
  }
  std::memcpy(bytes_, kJournalMark, sizeof kJournalMark);
  std::memcpy(bytes_ + sizeof kJournalMark, patchDigest, kPatchDigestSize);
  PutU32(bytes_ + 28, Crc32(bytes_, 28, 0));
  size_ = kHeaderSize;
  if (!WriteOut(kOpenCreate)) return false;
  // The journal's own entry in the new folder, before any move relies on it.
  return Os().FlushFolder(backup);
}

namespace {

struct JournalCandidate {
  int64_t number = -1;
  char name[kMaxPath] = {};
};

void FindJournalName(const char* name, ItemKind kind, void* user) {
  auto* best = static_cast<JournalCandidate*>(user);
  const int64_t number = kind == ItemKind::kFile ? NameNumber(name, kJournalName) : -1;
  if (number > best->number && std::strlen(name) < sizeof best->name) {
    best->number = number;
    std::strcpy(best->name, name);
  }
}

}  // namespace

bool Journal::Read(const char* backup) {
  size_ = onDisk_ = 0;
  records_ = 0;
  workFolder_[0] = 0;
  JournalCandidate found;
  if (!Os().ForEachFolderItem(backup, FindJournalName, &found) || found.number < 0 ||
      std::strlen(found.name) >= sizeof name_ || !JoinBackslash(path_, backup, found.name)) {
    return false;
  }
  std::strcpy(name_, found.name);
  FileStream in;
  if (!in.Open(PoolString(path_), ReadMode)) return false;
  const int64_t size = in.Size();
  if (size < static_cast<int64_t>(kHeaderSize) || size > INT32_MAX ||
      !Reserve(static_cast<size_t>(size)) || in.Read(bytes_, static_cast<int32_t>(size)) != size) {
    return false;
  }
  if (std::memcmp(bytes_, kJournalMark, sizeof kJournalMark) != 0 ||
      GetU32(bytes_ + 28) != Crc32(bytes_, 28, 0)) {
    return false;
  }
  // Whole records only: what follows the first torn one was never acted on.
  size_ = static_cast<size_t>(size);
  size_t at = kHeaderSize;
  for (size_t length; (length = WholeRecordAt(at)) > 0; at += length) {
    const Record record = RecordAt(at);
    if (record.kind == kBackupComplete && std::strlen(record.text) < sizeof workFolder_) {
      std::strcpy(workFolder_, record.text);
    }
    ++records_;
  }
  size_ = at;
  onDisk_ = at;
  return true;
}

size_t Journal::WholeRecordAt(size_t at) const {
  if (size_ - at < kRecordHead + kRecordTail) return 0;
  const uint8_t* p = bytes_ + at;
  const size_t length = size_t{p[5]} | size_t{p[6]} << 8;
  const size_t whole = kRecordHead + length + kRecordTail;
  if (length == 0 || size_ - at < whole || GetU32(p) != records_ || p[kRecordHead + length - 1] != 0 ||
      (p[4] != kBackupComplete && p[4] != kWritten) ||
      GetU32(p + kRecordHead + length) != Crc32(p, kRecordHead + length, 0)) {
    return 0;
  }
  return whole;
}

Journal::Record Journal::RecordAt(size_t at) const {
  const uint8_t* p = bytes_ + at;
  const size_t length = size_t{p[5]} | size_t{p[6]} << 8;
  Record record;
  record.kind = p[4];
  record.text = reinterpret_cast<const char*>(p + kRecordHead);
  record.end = at + kRecordHead + length + kRecordTail;
  return record;
}

bool Journal::IsOf(const uint8_t* patchDigest) const {
  return size_ >= kHeaderSize &&
         std::memcmp(bytes_ + sizeof kJournalMark, patchDigest, kPatchDigestSize) == 0;
}

bool Journal::Append(uint8_t kind, const char* text) {
  const size_t length = std::strlen(text) + 1;
  if (length > 0xFFFF || !Reserve(kRecordHead + length + kRecordTail)) return false;
  uint8_t* p = bytes_ + size_;
  PutU32(p, records_);
  p[4] = kind;
  p[5] = static_cast<uint8_t>(length);
  p[6] = static_cast<uint8_t>(length >> 8);
  std::memcpy(p + kRecordHead, text, length);
  PutU32(p + kRecordHead + length, Crc32(p, kRecordHead + length, 0));
  size_ += kRecordHead + length + kRecordTail;
  ++records_;
  return true;
}

bool Journal::NoteBackupComplete(const char* workFolder) {
  if (std::strlen(workFolder) >= sizeof workFolder_ || !Append(kBackupComplete, workFolder) ||
      !Flush()) {
    return false;
  }
  std::strcpy(workFolder_, workFolder);
  return true;
}

bool Journal::NoteWritten(const char* name) { return Append(kWritten, name); }

bool Journal::Flush() { return WriteOut(kOpenAppend); }

bool Journal::WriteOut(int mode) {
  // Opened for each flush, so that nothing holds the file between them. The notes go
  // after the last whole record, over whatever a torn write left there.
  const FileHandle file = Os().OpenFile(path_, mode);
  if (file == kNoFile) return false;
  const bool written =
      Os().SeekFile(file, static_cast<int64_t>(onDisk_), 0) == static_cast<int64_t>(onDisk_) &&
      Os().WriteFile(file, bytes_ + onDisk_, static_cast<int32_t>(size_ - onDisk_)) &&
      Os().FlushFile(file);
  Os().CloseFile(file);
  if (written) onDisk_ = size_;
  return written;
}

bool Journal::Remove() {
  return path_[0] == 0 || Os().DeleteFile(path_) || !ItemExists(path_);
}

namespace {

// The one item of a folder, when it holds exactly one: *item null when it holds none.
// False when it holds more or cannot be listed.
bool OnlyItem(const char* folder, FolderItem** item) {
  if (!ListFolderItems(folder, item)) return false;
  if (*item && (*item)->next) {
    FreeFolderItems(*item);
    *item = nullptr;
    return false;
  }
  return true;
}

// A file of the journal's name that holds less than a header: nothing, zeros (a torn
// write), or the first bytes of the mark.
bool IsJournalNeverBegun(const char* backup, const FolderItem* item) {
  char path[kMaxPath];
  if (item->kind != ItemKind::kFile || NameNumber(item->name, kJournalName) < 0 ||
      !JoinBackslash(path, backup, item->name)) {
    return false;
  }
  FileStream in;
  uint8_t start[Journal::kHeaderSize] = {};
  if (!in.Open(PoolString(path), ReadMode)) return false;
  const int64_t size = in.Size();
  if (size < 0 || size > static_cast<int64_t>(sizeof start) ||
      in.Read(start, static_cast<int32_t>(size)) != size) {
    return false;
  }
  bool zeros = true;
  for (int32_t i = 0; i < size; ++i) zeros = zeros && start[i] == 0;
  const size_t marked = static_cast<size_t>(size) < sizeof kJournalMark ? static_cast<size_t>(size)
                                                                         : sizeof kJournalMark;
  return zeros || (size < static_cast<int32_t>(sizeof start) &&
                   std::memcmp(start, kJournalMark, marked) == 0);
}

}  // namespace

bool BackupNeverBegun(const char* backup) {
  FolderItem* item = nullptr;
  if (!OnlyItem(backup, &item)) return false;
  const bool never = !item || IsJournalNeverBegun(backup, item);
  FreeFolderItems(item);
  return never;
}

bool RemoveBackupNeverBegun(const char* backup) {
  FolderItem* item = nullptr;
  if (!OnlyItem(backup, &item)) return false;
  char path[kMaxPath];
  const bool emptied = !item || (IsJournalNeverBegun(backup, item) &&
                                 JoinBackslash(path, backup, item->name) && Os().DeleteFile(path));
  FreeFolderItems(item);
  return emptied && Os().RemoveFolder(backup);
}

namespace {

// What a name the journal lists is to the walk below: one the update wrote, or a folder
// on the way to one.
enum class Written : uint8_t { kName, kFolderOnTheWay };

struct Walk {
  KeyIndex<Written> names;
  PoolString workFolder;  // as the OS finds it
  bool ok = true;
};

// Deletes the files of a folder of the update's own (the work folder); a folder or a link
// in it is none of its making and stays, and so then does the folder.
void EmptyAndRemove(const char* folder, Walk* walk) {
  FolderItem* items = nullptr;
  if (!ListFolderItems(folder, &items)) {
    walk->ok = false;
    return;
  }
  for (const FolderItem* item = items; item; item = item->next) {
    char path[kMaxPath];
    if (item->kind != ItemKind::kFile || !JoinBackslash(path, folder, item->name) ||
        !Os().DeleteFile(path)) {
      walk->ok = false;
    }
  }
  FreeFolderItems(items);
  if (!Os().RemoveFolder(folder)) walk->ok = false;
}

void RemoveWritten(const char* folder, const PoolString& relative, Walk* walk) {
  FolderItem* items = nullptr;
  if (!ListFolderItems(folder, &items)) {
    walk->ok = false;
    return;
  }
  for (const FolderItem* item = items; item; item = item->next) {
    PoolString name = relative.Length() > 0 ? PoolString::Formatted("%s/%s", relative.Text(), item->name)
                                            : PoolString(item->name);
    PoolString key = OsName(name.Text());
    char path[kMaxPath];
    if (!JoinBackslash(path, folder, item->name)) continue;
    if (relative.Length() == 0 && key == walk->workFolder) {
      if (item->kind == ItemKind::kFolder) EmptyAndRemove(path, walk);
      continue;
    }
    const Written* written = walk->names.Find(key.Text(), static_cast<size_t>(key.Length()));
    if (!written) continue;
    if (item->kind == ItemKind::kFile && *written == Written::kName) {
      if (!Os().DeleteFile(path)) walk->ok = false;
    } else if (item->kind == ItemKind::kFolder) {
      RemoveWritten(path, name, walk);
      // A folder that holds what the update did not write stays.
      Os().RemoveFolder(path);
    }
  }
  FreeFolderItems(items);
}

}  // namespace

bool RemoveWrittenItems(const char* target, const Journal& journal) {
  if (!journal.BackupComplete()) return true;  // nothing is written before it
  Walk walk;
  walk.workFolder = OsName(journal.WorkFolder());
  journal.ForEachWritten([&walk](const char* written) {
    PoolString name = OsName(written);
    if (!walk.names.Insert(name.Text(), static_cast<size_t>(name.Length()), Written::kName)) {
      walk.ok = false;
    }
    // '/' is never a trail byte: a plain search is exact.
    for (int32_t i = 1; i < name.Length(); ++i) {
      if (name.CharAt(i) == '/' &&
          !walk.names.Insert(name.Text(), static_cast<size_t>(i), Written::kFolderOnTheWay)) {
        walk.ok = false;
      }
    }
  });
  // Without the whole list of names nothing is removed: a name left out would stay.
  if (!walk.ok) return false;
  RemoveWritten(target, PoolString(""), &walk);
  return walk.ok;
}

bool MoveItemsInto(const char* from, const char* to, const char* skip, LeftItemSink left,
                   void* user) {
  FolderItem* items = nullptr;
  FolderItem* there = nullptr;
  if (!ListFolderItems(from, &items) || !ListFolderItems(to, &there)) {
    FreeFolderItems(items);
    left(from, user);
    return false;
  }
  KeyIndex<ItemKind> kinds;
  bool indexed = true;
  for (const FolderItem* item = there; item && indexed; item = item->next) {
    PoolString key = OsName(item->name);
    indexed = kinds.Insert(key.Text(), static_cast<size_t>(key.Length()), item->kind) != nullptr;
  }
  FreeFolderItems(there);
  if (!indexed) {
    FreeFolderItems(items);
    left(from, user);
    return false;
  }
  bool ok = true;
  const PoolString skipped = OsName(skip ? skip : "");
  for (const FolderItem* item = items; item; item = item->next) {
    PoolString key = OsName(item->name);
    if (skip && key == skipped) continue;
    char source[kMaxPath];
    char destination[kMaxPath];
    const bool fits = JoinBackslash(source, from, item->name);
    if (!fits || !JoinBackslash(destination, to, item->name)) {
      left(fits ? source : from, user);
      ok = false;
      continue;
    }
    const ItemKind* kind = kinds.Find(key.Text(), static_cast<size_t>(key.Length()));
    if (!kind) {
      if (!Os().MoveItem(source, destination)) {
        left(source, user);
        ok = false;
      }
    } else if (*kind == ItemKind::kFolder && item->kind == ItemKind::kFolder) {
      const bool joined = MoveItemsInto(source, destination, nullptr, left, user);
      ok = joined && Os().RemoveFolder(source) && ok;
    } else {
      left(source, user);
      ok = false;
    }
  }
  FreeFolderItems(items);
  return ok;
}

}  // namespace zt4
