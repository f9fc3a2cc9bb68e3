#include <cstring>
#include <new>

#include "archive/archive.h"
#include "archive/mount.h"
#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "codec/sha1.h"
#include "update/operations.h"

namespace zt4 {
namespace {

// Where a carried-over member's old content lies: a plain file under the old path, read
// whole into `content`, or else the member that the path addresses in the old archive
// beside it.
struct OldContent {
  uint8_t* content = nullptr;
  int32_t size = 0;
  Archive* archive = nullptr;
  PoolString memberName;

  OldContent() = default;
  OldContent(const OldContent&) = delete;
  OldContent& operator=(const OldContent&) = delete;
  ~OldContent() { FreeBlock(content); }
};

Stop LocateOldContent(const char* backupFolder, const char* oldName, OldContent* old) {
  char oldPath[kMaxPath];
  if (!JoinPath(oldPath, backupFolder, oldName)) return Stop::kSourceMissing;
  FileStream file;
  if (file.Open(PoolString(oldPath), ReadMode)) {
    old->size = file.Size();
    old->content = ReadWhole(file);
    return old->content ? Stop::kNone : Stop::kSourceMissing;
  }
  PoolString archivePath;
  ArchiveMemberOf(oldPath, &archivePath, &old->memberName);  // JoinPath put a '/' in it
  if (archivePath.Length() >= kMaxPath) return Stop::kSourceMissing;
  CacheMiss miss;
  old->archive = OpenCached(archivePath.Text(), &miss);
  if (old->archive) return Stop::kNone;
  return miss == CacheMiss::kNoMemory ? Stop::kNoMemory : Stop::kSourceMissing;
}

// The contents of members that later members of the group are made from, by place in
// the group, each kept from its making until its last use.
class EarlierMembers {
 public:
  explicit EarlierMembers(const PatchEntry* group) : group_(group) {
    for (const PatchEntry* child = group->firstChild; child; child = child->next) ++count_;
    blocks_ = new (std::nothrow) uint8_t*[static_cast<size_t>(count_) + 1]();
  }
  ~EarlierMembers() {
    for (int32_t i = 0; blocks_ && i < count_; ++i) FreeBlock(blocks_[i]);
    delete[] blocks_;
  }
  EarlierMembers(const EarlierMembers&) = delete;
  EarlierMembers& operator=(const EarlierMembers&) = delete;

  bool Ready() const { return blocks_ != nullptr; }
  const uint8_t* const* Blocks() const { return blocks_; }
  void Keep(int32_t index, uint8_t* block) { blocks_[index] = block; }
  // Lets go of what no member after `index` is made from.
  void UsedUpTo(int32_t index) {
    int32_t place = 0;
    for (const PatchEntry* child = group_->firstChild; child && place < index;
         child = child->next, ++place) {
      if (blocks_[place] && child->lastUse <= index) {
        FreeBlock(blocks_[place]);
        blocks_[place] = nullptr;
      }
    }
  }

 private:
  const PatchEntry* group_;
  int32_t count_ = 0;
  uint8_t** blocks_ = nullptr;
};

// Adds one member of the group. With `copyCoded`, a member carried over from an old
// archive keeps its coded bytes and CRC instead of being decoded and coded again
// (*copied tells whether that happened).
Stop AddMember(ArchiveWriter& writer, const PatchEntry* child, int32_t index,
               EarlierMembers& earlier, const char* backupFolder, const char* targetFolder,
               bool copyCoded, bool* copied) {
  // x.bin and /x.bin name the same member /x.bin.
  const char* newName = child->newName[0] == '/' ? child->newName + 1 : child->newName;
  PoolString memberName = PoolString::Formatted("/%s", newName);
  OldContent old;
  if (child->method != ContentMethod::kStrict) {
    // A copy of an old member keeps its coded bytes (a copy has its one reference).
    const ContentReference* from =
        child->method == ContentMethod::kCopy ? &child->references[0] : nullptr;
    if (from && copyCoded && from->side == ReferenceSide::kOld && from->member[0] != 0) {
      char path[kMaxPath];
      CacheMiss miss;
      old.archive = JoinPath(path, backupFolder, from->file) ? OpenCached(path, &miss) : nullptr;
      if (!old.archive) return Stop::kSourceMissing;
      old.memberName = PoolString(from->member);
    } else if (Stop stop = MakeContent(child, backupFolder, targetFolder, &old.content,
                                       earlier.Blocks());
               stop != Stop::kNone) {
      return stop;
    } else {
      old.size = child->newSize;
    }
  } else if (child->oldName[0] == 0) {
    if (Stop stop = LoadPayload(child->id, &old.content, &old.size); stop != Stop::kNone) {
      return stop;
    }
  } else {
    if (Stop stop = LocateOldContent(backupFolder, child->oldName, &old); stop != Stop::kNone) {
      return stop;
    }
  }
  if (old.archive && copyCoded) {
    const ArchiveEntry* entry = old.archive->Find(old.memberName);
    uint8_t* coded = nullptr;
    if (!entry || !old.archive->ReadStored(*entry, &coded)) return Stop::kVersionMismatch;
    bool added =
        writer.AddCoded(coded, entry->storedSize, entry->contentSize, entry->crc, memberName);
    FreeBlock(coded);
    *copied = true;
    return added ? Stop::kNone : Stop::kWriteFailed;
  }
  if (old.archive && !old.archive->Extract(old.memberName, &old.content, &old.size)) {
    return Stop::kVersionMismatch;
  }
  if (!writer.Add(old.content, static_cast<uint32_t>(old.size), memberName)) {
    return Stop::kWriteFailed;
  }
  if (child->lastUse > index) {
    earlier.Keep(index, old.content);
    old.content = nullptr;
  }
  return Stop::kNone;
}

// Writes the archive of the group's children, in their order. *copiedAny tells whether
// some member kept its coded bytes.
Stop WriteArchive(const PatchEntry* group, const char* backupFolder, const char* targetFolder,
                  const char* archivePath, bool copyCoded, MemberDots* dots, bool* copiedAny) {
  EarlierMembers earlier(group);
  if (!earlier.Ready()) return Stop::kNoMemory;
  ArchiveWriter writer;
  if (!writer.Create(PoolString(archivePath))) return Stop::kWriteFailed;
  int32_t index = 0;
  for (const PatchEntry* child = group->firstChild; child; child = child->next, ++index) {
    if (dots) dots->Next();
    Stop stop = AddMember(writer, child, index, earlier, backupFolder, targetFolder, copyCoded,
                          copiedAny);
    earlier.UsedUpTo(index);
    if (stop != Stop::kNone) {
      // Left as far as it was written, as the stop found it.
      writer.Abandon();
      return stop;
    }
  }
  // A failure to write the index is a write failure, not a version mismatch later.
  return writer.Finish() ? Stop::kNone : Stop::kWriteFailed;
}

}  // namespace

void MemberDots::Next() {
  if (live_) {
    Os().ConsoleWrite(".");
  } else {
    ++held_;
  }
}

void MemberDots::WriteHeld() {
  char run[65];
  while (held_ > 0) {
    int32_t n = held_ < 64 ? held_ : 64;
    std::memset(run, '.', static_cast<size_t>(n));
    run[n] = 0;
    Os().ConsoleWrite(run);
    held_ -= n;
  }
}

Stop RebuildArchive(const PatchEntry* group, const char* backupFolder, const char* targetFolder,
                    MemberDots* dots) {
  char archivePath[kMaxPath];
  if (!JoinPath(archivePath, targetFolder, group->newName)) return Stop::kWriteFailed;
  // The target folder is empty after the backup: the archive's folders may not exist yet.
  if (!MakeParentDirs(archivePath)) return Stop::kWriteFailed;
  // Copied coded bytes are the bytes this coder writes only if the old archive was written
  // by it; when the result is not the expected archive, it is written once more the
  // plain way, decoding and coding every member.
  bool copiedAny = false;
  Stop stop = WriteArchive(group, backupFolder, targetFolder, archivePath, true, dots, &copiedAny);
  if (stop == Stop::kNone && copiedAny &&
      !PlainFileMatches(archivePath, group->newDigest, group->newSize)) {
    bool ignored = false;
    stop = WriteArchive(group, backupFolder, targetFolder, archivePath, false, nullptr, &ignored);
  }
  return stop;
}

}  // namespace zt4
