#include "update/patch_list.h"

#include <cstring>
#include <new>

#include "base/heap.h"
#include "base/key_index.h"
#include "base/pool_string.h"
#include "base/shift_jis.h"
#include "codec/reference_codec.h"
#include "codec/sha1.h"
#include "platform/edge_text.h"
#include "platform/platform.h"
#include "update/content_method.h"
#include "update/memory_plan.h"

namespace zt4 {
namespace {

// Reads the description front to back and never past its last byte: the block carries no
// zero after it, so a text or integer cut by the end is a failed read, not an over-read.
class Reader {
 public:
  Reader(const uint8_t* bytes, int32_t count) : bytes_(bytes), count_(count) {}

  // Sizes past 2 GiB may follow kWideSize: a compact description of the wide version.
  void AllowWideSizes() { wideSizes_ = true; }
  // Digest runs may stand among the records (kRunCompactVersion).
  void AllowRuns() { runs_ = true; }
  bool RunsAllowed() const { return runs_; }

  bool AtEnd() const { return position_ >= count_; }
  int32_t Position() const { return position_; }

  bool Int(int32_t* value) {
    if (count_ - position_ < 4) return false;
    const uint8_t* p = bytes_ + position_;
    uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    *value = static_cast<int32_t>(v);
    position_ += 4;
    return true;
  }

  // A size: an int32, or where wide sizes are allowed kWideSize and an int64 that an
  // int32 cannot hold (each size has one spelling), up to kMostWideSize.
  bool Size(int64_t* size) {
    int32_t narrow;
    if (!Int(&narrow)) return false;
    if (narrow != kWideSize || !wideSizes_) {
      *size = narrow;
      return true;
    }
    int32_t low, high;
    if (!Int(&low) || !Int(&high)) return false;
    *size = static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32 |
                                 static_cast<uint32_t>(low));
    return *size > INT32_MAX && *size <= kMostWideSize;
  }

  bool Bytes(const uint8_t** bytes, int32_t count) {
    if (count_ - position_ < count) return false;
    *bytes = bytes_ + position_;
    position_ += count;
    return true;
  }

  // The next record is a digest run: its mark is taken.
  bool RunFollows() {
    Reader ahead = *this;
    int32_t id;
    if (!runs_ || !ahead.Int(&id) || id != kRunMark) return false;
    *this = ahead;
    return true;
  }

  bool Text(const char** text) {
    const uint8_t* start = bytes_ + position_;
    const void* zero = std::memchr(start, 0, static_cast<size_t>(count_ - position_));
    if (zero == nullptr) return false;
    *text = *start != 0 ? reinterpret_cast<const char*>(start) : kEmptyEntryText;
    position_ = static_cast<int32_t>(static_cast<const uint8_t*>(zero) - bytes_) + 1;
    return true;
  }

  // The marker is compared with its zero byte, so a longer or shorter text fails.
  bool Marker(const char* expected) {
    const char* text;
    return Text(&text) && std::strcmp(text, expected) == 0;
  }

 private:
  const uint8_t* bytes_;
  int32_t count_;
  int32_t position_ = 0;
  bool wideSizes_ = false;
  bool runs_ = false;
};

bool ReadFileFields(Reader& reader, PatchEntry* entry) {
  return reader.Text(&entry->oldName) && reader.Size(&entry->oldSize) &&
         reader.Text(&entry->oldDigest) && reader.Text(&entry->newName) &&
         reader.Size(&entry->newSize) && reader.Text(&entry->newDigest);
}

void FreeOne(PatchEntry* entry) {
  delete[] entry->references;
  FreeBlock(entry->records);
  FreeBlock(entry->runBlock);
  delete entry;
}

void FreeEntry(PatchEntry* entry) {
  PatchEntry* child = entry->firstChild;
  while (child != nullptr) {
    PatchEntry* following = child->next;
    FreeOne(child);
    child = following;
  }
  FreeOne(entry);
}

PatchEntry* Reversed(PatchEntry* chain) {
  PatchEntry* reversed = nullptr;
  while (chain != nullptr) {
    PatchEntry* following = chain->next;
    chain->next = reversed;
    reversed = chain;
    chain = following;
  }
  return reversed;
}

// What the records read so far ask for, held to the kMost limits before each is taken.
struct Tally {
  int32_t records = 0;
  int32_t references = 0;

  bool Record() { return ++records <= kMostRecords; }
  bool References(int32_t count) {
    references += count;
    return references <= kMostReferences;
  }
};

bool ReferenceIsSound(const ContentReference& reference);

bool ReadReference(Reader& reader, ContentReference* reference) {
  int32_t side;
  if (!reader.Int(&side) || (side != static_cast<int32_t>(ReferenceSide::kOld) &&
                             side != static_cast<int32_t>(ReferenceSide::kNew))) {
    return false;
  }
  reference->side = static_cast<ReferenceSide>(side);
  return reader.Text(&reference->file) && reader.Text(&reference->member) &&
         reader.Size(&reference->size) && reader.Text(&reference->digest) &&
         ReferenceIsSound(*reference);
}

bool ReferenceIsSound(const ContentReference& reference) {
  const char* member = reference.member;
  // New contents are plain files written by this update; members are addressed
  // explicitly, so one in a sub-folder of its archive is found as well.
  bool memberFits = member[0] == 0 || (member[0] == '/' && IsSafeRelativeName(member, true) &&
                                       reference.size <= INT32_MAX);
  return reference.size >= 0 && reference.file[0] != 0 &&
         IsSafeRelativeName(reference.file, false) && !LeadsIntoBackupFolder(reference.file) &&
         memberFits;
}

// The content fields of a compact record: how its new content is made and from what,
// held to its method's rule.
bool ReadMethodAndReferences(Reader& reader, PatchEntry* entry, const RecordPlace& place,
                             Tally* tally) {
  int32_t method;
  int32_t count;
  if (!reader.Int(&method) || !reader.Int(&count) || count < 0 || count > kMaxReferences ||
      !tally->References(count)) {
    return false;
  }
  if (count > 0) {
    entry->references = new (std::nothrow) ContentReference[static_cast<size_t>(count)];
    if (!entry->references) return false;
    entry->referenceCount = count;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (!ReadReference(reader, &entry->references[i])) return false;
  }
  const MethodRow* row = FindMethod(static_cast<ContentMethod>(method));
  if (!row) return false;
  entry->method = row->method;
  // A copy that names nothing writes the entry's own old file, unchanged (the commonest
  // entry of all).
  if (row->making == MethodRow::Making::kCopy && count == 0 && !place.member &&
      entry->oldName[0] != 0 && entry->newName[0] != 0) {
    if (!tally->References(1)) return false;
    entry->references = new (std::nothrow) ContentReference[1];
    if (!entry->references) return false;
    entry->referenceCount = 1;
    entry->references[0].file = entry->oldName;
    entry->references[0].size = entry->oldSize;
    entry->references[0].digest = entry->oldDigest;
  }
  return row->accepts(*entry, place);
}

// A member an entry is made from that is no earlier member of its own group is a member
// of an archive an entry before it (in the applier's order, `head` on) writes, with the
// size and digest stated there. The members of the groups passed are looked up by
// archive and name ("x" and "/x" name the same member).
bool NamesNewMember(const PatchEntry* entry) {
  for (const PatchEntry* m = entry->firstChild ? entry->firstChild : entry; m;
       m = entry->firstChild ? m->next : nullptr) {
    for (int32_t r = 0; r < m->referenceCount; ++r) {
      const ContentReference& reference = m->references[r];
      if (reference.side == ReferenceSide::kNew && reference.member[0] != 0 &&
          reference.earlier < 0) {
        return true;
      }
    }
  }
  return false;
}

// The archive's name, a zero and the member's name without its leading '/'.
class MemberKey {
 public:
  MemberKey(const char* archive, const char* member) {
    if (member[0] == '/') ++member;
    const size_t archiveLength = std::strlen(archive) + 1;
    length_ = archiveLength + std::strlen(member);
    key_.data = AllocBlock(length_);
    if (!key_.data) return;
    std::memcpy(key_.data, archive, archiveLength);
    std::memcpy(key_.data + archiveLength, member, length_ - archiveLength);
  }
  const uint8_t* Data() const { return key_.data; }
  size_t Length() const { return length_; }

 private:
  ScopedBlock key_;
  size_t length_ = 0;
};

bool MembersWrittenBefore(const PatchEntry* head) {
  bool any = false;
  for (const PatchEntry* e = head; e && !any; e = e->next) any = NamesNewMember(e);
  if (!any) return true;
  KeyIndex<const PatchEntry*> written;
  for (const PatchEntry* e = head; e; e = e->next) {
    for (const PatchEntry* m = e->firstChild ? e->firstChild : e; m;
         m = e->firstChild ? m->next : nullptr) {
      for (int32_t r = 0; r < m->referenceCount; ++r) {
        const ContentReference& reference = m->references[r];
        if (reference.side != ReferenceSide::kNew || reference.member[0] == 0 ||
            reference.earlier >= 0) {
          continue;
        }
        const MemberKey key(reference.file, reference.member);
        const PatchEntry* const* source = reference.member[0] == '/' && key.Data()
                                              ? written.Find(key.Data(), key.Length())
                                              : nullptr;
        if (!source || (*source)->newSize != reference.size ||
            std::strcmp((*source)->newDigest, reference.digest) != 0) {
          return false;
        }
      }
    }
    if (e->id != kGroupMark) continue;
    for (const PatchEntry* m = e->firstChild; m; m = m->next) {
      const MemberKey key(e->newName, m->newName);
      if (!key.Data() || !written.Insert(key.Data(), key.Length(), m)) return false;
    }
  }
  return true;
}

// Members are not classified: two empty names are accepted here. The old name is opened
// as a file of the backup before it is read as "archive/member", so it keeps the rules of
// a file name; the new name only names the member.
bool MemberNamesSound(const PatchEntry* member) {
  return IsSafeRelativeName(member->oldName, false) && IsSafeRelativeName(member->newName, true) &&
         member->oldSize <= INT32_MAX && member->newSize <= INT32_MAX;
}

bool TopLevelNamesSound(const PatchEntry* entry) {
  return KindOf(entry) != EntryKind::KindNone && IsSafeRelativeName(entry->oldName, false) &&
         IsSafeRelativeName(entry->newName, false) && !LeadsIntoBackupFolder(entry->newName);
}

// A digest run after its mark: each of its contents becomes an entry put at the front of
// `chain`, in the run's order, as records read one by one would be. A member of the run is
// carried from the same member of `archive`; a plain file is its own old file.
bool ReadRun(Reader& reader, bool inGroup, int64_t budget, Tally* tally, PatchEntry** chain) {
  const char* archive;
  int32_t count;
  if (!reader.Text(&archive) || (archive[0] != 0) != inGroup || !reader.Int(&count) || count <= 0) {
    return false;
  }
  // The names are read twice: first for the room they take, then into it.
  Reader names = reader;
  size_t nameBytes = 0;
  size_t previous = 0;
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* shared;
    const char* rest;
    if (!tally->Record() || !reader.Bytes(&shared, 1) || *shared > previous ||
        !reader.Text(&rest)) {
      return false;
    }
    previous = *shared + std::strlen(rest);
    nameBytes += previous + 2;  // a leading '/' and the zero
  }
  const size_t digestsAt = (sizeof(DigestRun) + 7) & ~size_t{7};
  const size_t namesAt = digestsAt + static_cast<size_t>(count) * 41;
  uint8_t* block = AllocBlock(namesAt + nameBytes);
  if (!block) return false;
  auto* run = new (block) DigestRun;
  run->count = count;
  run->digests = reinterpret_cast<char(*)[41]>(block + digestsAt);
  char* name = reinterpret_cast<char*>(block + namesAt);
  const char* last = nullptr;
  PatchEntry* first = nullptr;
  for (int32_t i = 0; i < count; ++i) {
    PatchEntry* entry = new (std::nothrow) PatchEntry;
    if (!entry || !tally->References(1) ||
        !(entry->references = new (std::nothrow) ContentReference[1])) {
      delete entry;
      if (!first) FreeBlock(block);
      return false;
    }
    if (!first) entry->runBlock = block;
    first = entry;
    entry->next = *chain;
    *chain = entry;
    // Read once already: the same bytes again.
    const uint8_t* shared = nullptr;
    const char* rest = nullptr;
    if (!names.Bytes(&shared, 1) || !names.Text(&rest)) return false;
    // Each name has one spelling: it shares as many bytes as it can with the one before
    // (at most 255).
    if (last && *shared < 255 && last[*shared] != 0 && rest[0] == last[*shared]) return false;
    name[0] = '/';
    if (*shared > 0) std::memcpy(name + 1, last, *shared);
    std::strcpy(name + 1 + *shared, rest);
    last = name + 1;
    entry->run = run;
    entry->runPlace = i;
    entry->method = ContentMethod::kCopy;
    entry->referenceCount = 1;
    entry->newName = name + 1;
    ContentReference& reference = entry->references[0];
    if (inGroup) {
      reference.file = archive;
      reference.member = name;
    } else {
      entry->oldName = entry->newName;
      reference.file = entry->oldName;
    }
    name += std::strlen(name) + 1;
  }
  // The other columns follow in the run's order; the chain holds its last entry first.
  PatchEntry** placed = new (std::nothrow) PatchEntry*[static_cast<size_t>(count)];
  if (!placed) return false;
  PatchEntry* entry = *chain;
  for (int32_t i = count - 1; i >= 0; --i, entry = entry->next) placed[i] = entry;
  bool sound = true;
  for (int32_t i = 0; i < count && sound; ++i) {
    sound = reader.Size(&placed[i]->newSize) && placed[i]->newSize >= 0;
  }
  const uint8_t* tags;
  const uint8_t* digest;
  sound = sound && reader.Bytes(&tags, count * kRunTagBytes) && reader.Bytes(&digest, 20);
  if (sound) std::memcpy(run->digest, digest, 20);
  for (int32_t i = 0; i < count && sound; ++i) {
    entry = placed[i];
    char* text = run->digests[i];
    HexDigits(tags + i * kRunTagBytes, kRunTagBytes, text);
    entry->newDigest = text;
    ContentReference& reference = entry->references[0];
    reference.size = entry->newSize;
    reference.digest = text;
    if (!inGroup) {
      entry->oldSize = entry->newSize;
      entry->oldDigest = text;
    }
    sound = ReferenceIsSound(reference) &&
            FindMethod(entry->method)->accepts(*entry, RecordPlace{inGroup, budget}) &&
            (inGroup ? MemberNamesSound(entry) : TopLevelNamesSound(entry));
  }
  delete[] placed;
  return sound;
}

// Reads the rest of a group record into `group`. Members are put at the front of the
// member chain while reading (so a refusal frees them with the group) and turned round
// at the end.
bool ReadGroup(Reader& reader, PatchEntry* group, const int64_t* budget, Tally* tally) {
  if (!reader.Marker(kGroupMarker)) return false;
  group->id = kGroupMark;
  // An archive and its members are as large as the archive's own format lets them be.
  if (!reader.Text(&group->newName) || !reader.Size(&group->newSize) ||
      group->newSize > INT32_MAX || !reader.Text(&group->newDigest)) {
    return false;
  }
  if (!IsSafeRelativeName(group->newName, false) || LeadsIntoBackupFolder(group->newName)) {
    return false;
  }
  for (;;) {
    int32_t id;
    if (!reader.Int(&id)) return false;
    if (id == kGroupMark) break;
    if (id == kRunMark && reader.RunsAllowed() && budget) {
      if (!ReadRun(reader, true, *budget, tally, &group->firstChild)) return false;
      continue;
    }
    if (!tally->Record()) return false;
    PatchEntry* member = new (std::nothrow) PatchEntry;
    if (member == nullptr) return false;
    member->id = id;
    member->next = group->firstChild;
    group->firstChild = member;
    if (!ReadFileFields(reader, member) || !MemberNamesSound(member)) return false;
    if (budget && !ReadMethodAndReferences(reader, member, RecordPlace{true, *budget}, tally)) {
      return false;
    }
  }
  if (!reader.Marker(kEndMarker)) return false;
  group->firstChild = Reversed(group->firstChild);
  return !budget || PlanGroupMemory(group, *budget);
}

bool ReadRecord(Reader& reader, PatchEntry* entry, const int64_t* budget, Tally* tally) {
  int32_t id;
  if (!reader.Int(&id)) return false;
  if (id == kGroupMark) return ReadGroup(reader, entry, budget, tally);
  entry->id = id;
  return ReadFileFields(reader, entry) && TopLevelNamesSound(entry) &&
         (!budget || ReadMethodAndReferences(reader, entry, RecordPlace{false, *budget}, tally));
}

// The records, back to back, into the top-level chain; `budget` for the records of a
// compact description, whose entries may hold that much.
PatchEntry* ParseRecords(const uint8_t* bytes, int32_t count, const int64_t* budget,
                         int32_t version) {
  Reader reader(bytes, count);
  if (version >= kWideCompactVersion) reader.AllowWideSizes();
  if (version >= kRunCompactVersion) reader.AllowRuns();
  PatchEntry* head = nullptr;
  Tally tally;
  // The end is looked at only between records; whatever follows the last complete
  // record is read as one more.
  do {
    if (budget && reader.RunFollows()) {
      if (!ReadRun(reader, false, *budget, &tally, &head)) {
        FreePatchList(head);
        return nullptr;
      }
      continue;
    }
    PatchEntry* entry = tally.Record() ? new (std::nothrow) PatchEntry : nullptr;
    if (entry == nullptr) {
      FreePatchList(head);
      return nullptr;
    }
    if (!ReadRecord(reader, entry, budget, &tally)) {
      FreeEntry(entry);
      FreePatchList(head);
      return nullptr;
    }
    entry->next = head;
    head = entry;
  } while (!reader.AtEnd());
  return head;
}

// The head of a compact description: the group mark, kCompactMarker, the version, the
// budget and the size of the records, then their zstd frame and nothing else.
PatchEntry* ParseCompact(const uint8_t* bytes, int32_t count) {
  Reader reader(bytes, count);
  int32_t mark, version, budget, size;
  if (!reader.Int(&mark) || mark != kGroupMark || !reader.Marker(kCompactMarker) ||
      !reader.Int(&version) || version < kCompactVersion || version > kRunCompactVersion ||
      !reader.Int(&budget) || budget <= 0 || !reader.Int(&size) || size <= 0) {
    return nullptr;
  }
  // The records are held beside the description that holds their frame. The frame must
  // state the same size before that much memory is taken for it.
  if (size > kMostDescriptionBytes - count) return nullptr;
  const int32_t at = reader.Position();
  if (ReferenceFrameContentSize(bytes + at, static_cast<size_t>(count - at)) != size) return nullptr;
  uint8_t* records = AllocBlock(static_cast<size_t>(size));
  if (!records) return nullptr;
  PatchEntry* head = nullptr;
  if (DecodeWithReference(bytes + at, static_cast<size_t>(count - at), nullptr, 0, records,
                          static_cast<size_t>(size))) {
    const int64_t entryBudget = budget;
    head = ParseRecords(records, size, &entryBudget, version);
    if (head && !MembersWrittenBefore(head)) {
      FreePatchList(head);
      head = nullptr;
    }
  }
  if (!head) {
    FreeBlock(records);
    return nullptr;
  }
  head->records = records;
  head->budget = budget;
  return head;
}

// A compact description begins with a group mark and kCompactMarker.
bool LooksCompact(const uint8_t* bytes, int32_t count) {
  constexpr int32_t kMarkBytes = 4 + sizeof kCompactMarker;
  return count >= kMarkBytes && std::memcmp(bytes, "\xFF\xFF\xFF\xFF", 4) == 0 &&
         std::memcmp(bytes + 4, kCompactMarker, sizeof kCompactMarker) == 0;
}

bool IsSeparator(uint8_t c) { return IsPathSeparator(static_cast<char>(c)); }

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// ".." and what Windows trims to it or beyond: trailing dots and blanks are dropped from
// a path component, so "..." and ".. " climb as well.
bool IsClimbingComponent(const char* begin, const char* end) {
  int32_t dots = 0;
  for (const char* p = begin; p != end; ++p) {
    if (*p == '.') {
      ++dots;
    } else if (*p != ' ') {
      return false;
    }
  }
  return dots >= 2;
}

// Windows opens a device for its name whatever extension follows and whatever blanks
// stand before the extension.
bool IsDeviceComponent(const char* begin, const char* end) {
  static constexpr const char* kDevices[] = {
      "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3",   "COM4",
      "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2",   "LPT3",
      "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9", "CONIN$", "CONOUT$",
  };
  const char* stem = begin;
  while (stem != end && *stem != '.' && *stem != ':') ++stem;
  while (stem != begin && stem[-1] == ' ') --stem;
  size_t length = static_cast<size_t>(stem - begin);
  for (const char* device : kDevices) {
    if (std::strlen(device) != length) continue;
    size_t i = 0;
    while (i < length && Upper(begin[i]) == device[i]) ++i;
    if (i == length) return true;
  }
  return false;
}

// The update moves the old install into this folder of the target and writes the new one
// beside it: a new name leading into it would replace a backed-up old file. Windows finds
// the folder whatever the case, with trailing dots or blanks, through "." components and
// by its short name.

bool IsNamed(const char* component, size_t length, const char* name) {
  if (length != std::strlen(name)) return false;
  for (size_t i = 0; i < length; ++i) {
    if (Upper(component[i]) != name[i]) return false;
  }
  return true;
}

bool IsHexDigit(char c) {
  char u = Upper(c);
  return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'F');
}

// Windows also knows the folder by the 8.3 name it generates for it, always without an
// extension: "BACKUP~1" to "BACKUP~4" for the first four folders whose names begin so;
// from the fifth on, the first two letters, four hexadecimal digits worked out from the
// long name, '~' and a digit from 1. Nothing else: "bank~2" or "BA12~3" are other names.
bool IsShortNameOfBackup(const char* component, size_t length) {
  static constexpr char kNumbered[] = "BACKUP~";
  constexpr size_t kNumberedLength = sizeof kNumbered - 1;
  if (length != 8) return false;
  char digit = component[7];
  if (IsNamed(component, kNumberedLength, kNumbered)) return digit >= '1' && digit <= '4';
  if (Upper(component[0]) != kBackupFolderName[0] || Upper(component[1]) != kBackupFolderName[1]) {
    return false;
  }
  for (size_t i = 2; i < 6; ++i) {
    if (!IsHexDigit(component[i])) return false;
  }
  return component[6] == '~' && digit >= '1' && digit <= '9';
}

}  // namespace

bool LeadsIntoBackupFolder(const char* name) {
  const char* component = name;
  for (;;) {
    const char* end = component;
    while (*end != 0 && !IsSeparator(static_cast<uint8_t>(*end))) ++end;
    const char* trimmed = end;
    while (trimmed != component && (trimmed[-1] == '.' || trimmed[-1] == ' ')) --trimmed;
    if (trimmed == component) {
      // "", "." or " . ": the same folder (".." and more are refused elsewhere).
      if (*end == 0) return false;
      component = end + 1;
      continue;
    }
    size_t length = static_cast<size_t>(trimmed - component);
    return IsNamed(component, length, kBackupFolderName) || IsShortNameOfBackup(component, length);
  }
}


EntryKind KindOf(const PatchEntry* entry) {
  if (entry->id == kGroupMark) return EntryKind::KindGroup;
  bool hasOld = entry->oldName[0] != 0;
  bool hasNew = entry->newName[0] != 0;
  if (hasOld && hasNew) return EntryKind::KindChanged;
  if (hasOld) return EntryKind::KindRemoved;
  if (hasNew) return EntryKind::KindAdded;
  return EntryKind::KindNone;
}

PatchEntry* ParsePatchList(const uint8_t* bytes, int32_t count, PatchFormats formats) {
  if (bytes == nullptr || count <= 0 || count > kMostDescriptionBytes) return nullptr;
  // A reader of the first form alone refuses a compact description at its marker.
  if (formats == PatchFormats::kStrictAndCompact && LooksCompact(bytes, count)) {
    return ParseCompact(bytes, count);
  }
  return ParseRecords(bytes, count, nullptr, 0);
}

int32_t CountEntries(const PatchEntry* entry) {
  int32_t count = 0;
  for (; entry != nullptr; entry = entry->next) ++count;
  return count;
}

void DumpEntry(const PatchEntry* entry) {
  if (entry == nullptr) return;
  // The formatter grows its block for a line beyond its 1024-byte working space.
  PoolString line =
      PoolString::Formatted("%d-%d: %s(%lld)[%s] -> %s(%lld)[%s]\n", static_cast<int>(KindOf(entry)),
                            entry->id, entry->oldName, static_cast<long long>(entry->oldSize),
                            entry->oldDigest, entry->newName,
                            static_cast<long long>(entry->newSize), entry->newDigest);
  Os().DebugOutput(line.Text());
  if (entry->firstChild == nullptr) return;
  Os().DebugOutput("--- childinfo ---\n");
  for (const PatchEntry* member = entry->firstChild; member != nullptr; member = member->next) {
    DumpEntry(member);
  }
  Os().DebugOutput("-----------------\n");
}

void FreePatchList(PatchEntry* head) {
  while (head != nullptr) {
    PatchEntry* following = head->next;
    FreeEntry(head);
    head = following;
  }
}

bool IsSafeRelativeName(const char* name, bool memberName) {
  if (name == nullptr) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(name);
  if (!memberName) {
    // A leading separator is the root or a UNC prefix; ':' is a drive or a stream. No
    // trail byte is ':', so the plain byte search is exact.
    if (IsSeparator(bytes[0])) return false;
    if (std::strchr(name, ':') != nullptr) return false;
  }
  const size_t size = std::strlen(name);
  size_t start = 0;
  size_t i = 0;
  for (;;) {
    uint8_t c = bytes[i];
    if (c == 0 || IsSeparator(c)) {
      if (IsClimbingComponent(name + start, name + i)) return false;
      // A member is looked up inside its archive and never opened as a file.
      if (!memberName && IsDeviceComponent(name + start, name + i)) return false;
      if (c == 0) return true;
      start = ++i;
    } else if (c == kForeignMark && !memberName) {
      return false;  // the OS edge would read it as a character Shift-JIS lacks
    } else {
      // The trail 0x5C of a two-byte character is never read as a separator.
      i += CharLength(name, size, i);
    }
  }
}

}  // namespace zt4
