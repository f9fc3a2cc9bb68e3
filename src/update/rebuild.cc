#include <cstring>
#include <new>

#include "archive/archive.h"
#include "archive/mount.h"
#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "codec/sha1.h"
#include "update/apply.h"
#include "update/content.h"
#include "update/content_method.h"
#include "update/ordered_run.h"
#include "update/paths.h"
#include "update/rebuild.h"
#include "update/verify.h"

namespace zt4 {
namespace {

// Where a member's content comes from: a block made or read whole (`content`), or a
// member of an old archive (`archive`, `memberName`), copied coded or decoded.
struct MemberSource {
  uint8_t* content = nullptr;
  int32_t size = 0;
  Archive* archive = nullptr;
  PoolString memberName;

  MemberSource() = default;
  MemberSource(const MemberSource&) = delete;
  MemberSource& operator=(const MemberSource&) = delete;
  ~MemberSource() { FreeBlock(content); }
};

// A carried-over member's old content: a plain file under the old path, read whole, or
// else the member that the path addresses in the old archive beside it.
Stop LocateOldContent(const char* backupFolder, const char* oldName, MemberSource* source) {
  char oldPath[kMaxPath];
  if (!JoinPath(oldPath, backupFolder, oldName)) return Stop::kSourceMissing;
  FileStream file;
  if (file.Open(PoolString(oldPath), ReadMode)) {
    const int64_t size = file.Size();
    source->content = ReadWhole(file);  // refuses what passes 2 GiB
    source->size = static_cast<int32_t>(size);
    return source->content ? Stop::kNone : Stop::kSourceMissing;
  }
  PoolString archivePath;
  ArchiveMemberOf(oldPath, &archivePath, &source->memberName);  // JoinPath put a '/' in it
  if (archivePath.Length() >= kMaxPath) return Stop::kSourceMissing;
  CacheMiss miss;
  source->archive = OpenCached(archivePath.Text(), &miss);
  if (source->archive) return Stop::kNone;
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

// A member ready to be appended: its coded bytes with the sizes and CRC the index
// records.
struct ReadyMember {
  Stop stop = Stop::kNone;
  uint8_t* coded = nullptr;
  uint32_t storedSize = 0;
  uint32_t contentSize = 0;
  uint32_t crc = 0;
  bool copied = false;  // an old member's coded bytes, kept as they were

  ReadyMember() = default;
  ReadyMember(const ReadyMember&) = delete;
  ReadyMember& operator=(const ReadyMember&) = delete;
  ~ReadyMember() { FreeBlock(coded); }
};

// Makes one member of the group ready. With `copyCoded`, a member carried over from an
// old archive keeps its coded bytes and CRC instead of being decoded and coded again.
Stop MakeMember(const PatchEntry* child, int32_t index, EarlierMembers& earlier,
                const char* backupFolder, const char* targetFolder, bool copyCoded,
                ReadyMember* ready) {
  MemberSource source;
  if (child->method != ContentMethod::kNone) {
    // A copy of an old member keeps its coded bytes (a copy has its one reference).
    const ContentReference* from =
        MadeBy(*child, MethodRow::Making::kCopy) ? &child->references[0] : nullptr;
    if (from && copyCoded && from->side == ReferenceSide::kOld && from->member[0] != 0) {
      char path[kMaxPath];
      CacheMiss miss;
      source.archive = JoinPath(path, backupFolder, from->file) ? OpenCached(path, &miss) : nullptr;
      if (!source.archive) return Stop::kSourceMissing;
      source.memberName = PoolString(from->member);
    } else if (Stop stop = MakeContent(child, backupFolder, targetFolder, &source.content,
                                       earlier.Blocks());
               stop != Stop::kNone) {
      return stop;
    } else {
      source.size = static_cast<int32_t>(child->newSize);  // a member's size is an int32
    }
  } else if (child->oldName[0] == 0) {
    if (Stop stop = LoadPayload(child->id, &source.content, &source.size); stop != Stop::kNone) {
      return stop;
    }
  } else {
    if (Stop stop = LocateOldContent(backupFolder, child->oldName, &source); stop != Stop::kNone) {
      return stop;
    }
  }
  if (source.archive && copyCoded) {
    const ArchiveEntry* entry = source.archive->Find(source.memberName);
    if (!entry || !source.archive->ReadStored(*entry, &ready->coded)) return Stop::kVersionMismatch;
    ready->storedSize = entry->storedSize;
    ready->contentSize = entry->contentSize;
    ready->crc = entry->crc;
    ready->copied = true;
    return Stop::kNone;
  }
  if (source.archive && !source.archive->Extract(source.memberName, &source.content, &source.size)) {
    return Stop::kVersionMismatch;
  }
  ready->contentSize = static_cast<uint32_t>(source.size);
  if (!ArchiveWriter::Code(source.content, ready->contentSize, &ready->coded, &ready->storedSize,
                           &ready->crc)) {
    return Stop::kWriteFailed;
  }
  if (child->lastUse > index) {
    earlier.Keep(index, source.content);
    source.content = nullptr;
  }
  return Stop::kNone;
}

// The members of a group made ready on every core and appended in their order. A
// member made from earlier members waits for them; one made ahead is held until its turn.
class MemberMaking final : public TaskList {
 public:
  MemberMaking(const PatchEntry* group, EarlierMembers& earlier, const char* backupFolder,
               const char* targetFolder, bool copyCoded)
      : earlier_(earlier),
        backupFolder_(backupFolder),
        targetFolder_(targetFolder),
        copyCoded_(copyCoded) {
    for (const PatchEntry* child = group->firstChild; child; child = child->next) ++count_;
    size_t places = static_cast<size_t>(count_ > 0 ? count_ : 1);
    children_ = new (std::nothrow) const PatchEntry*[places];
    memory_ = new (std::nothrow) int64_t[places];
    ready_ = new (std::nothrow) ReadyMember[places];
    if (!Ready()) return;
    int32_t i = 0;
    for (const PatchEntry* child = group->firstChild; child; child = child->next, ++i) {
      children_[i] = child;
      memory_[i] = MemberMemory(child);
      if (memory_[i] > largest_) largest_ = memory_[i];
    }
  }
  ~MemberMaking() {
    delete[] children_;
    delete[] memory_;
    delete[] ready_;
  }
  MemberMaking(const MemberMaking&) = delete;
  MemberMaking& operator=(const MemberMaking&) = delete;

  bool Ready() const { return children_ && memory_ && ready_; }
  int32_t Count() const { return count_; }
  int64_t Allowance() const { return AheadAllowance(largest_); }
  const PatchEntry* Child(int32_t index) const { return children_[index]; }
  ReadyMember& Member(int32_t index) { return ready_[index]; }

  void Run(int32_t index, bool) override {
    ready_[index].stop = MakeMember(children_[index], index, earlier_, backupFolder_,
                                    targetFolder_, copyCoded_, &ready_[index]);
  }
  int64_t MemoryOf(int32_t index) const override { return memory_[index]; }
  // A member made ahead keeps its coded bytes until its turn.
  int64_t HeldAfter(int32_t index) const override { return ready_[index].storedSize; }
  bool MayRunAhead(int32_t index) const override {
    const PatchEntry* child = children_[index];
    for (int32_t i = 0; i < child->referenceCount; ++i) {
      if (child->references[i].earlier >= 0) return false;
    }
    return true;
  }

 private:
  EarlierMembers& earlier_;
  const char* backupFolder_;
  const char* targetFolder_;
  bool copyCoded_;
  int32_t count_ = 0;
  const PatchEntry** children_ = nullptr;
  int64_t* memory_ = nullptr;
  ReadyMember* ready_ = nullptr;
  int64_t largest_ = 0;
};

// Writes the archive of the group's children, in their order. *copiedAny tells whether
// some member kept its coded bytes.
Stop WriteArchive(const PatchEntry* group, const char* backupFolder, const char* targetFolder,
                  const char* archivePath, bool copyCoded, MemberDots* dots, bool* copiedAny) {
  EarlierMembers earlier(group);
  if (!earlier.Ready()) return Stop::kNoMemory;
  MemberMaking making(group, earlier, backupFolder, targetFolder, copyCoded);
  if (!making.Ready()) return Stop::kNoMemory;
  ArchiveWriter writer;
  if (!writer.Create(PoolString(archivePath))) return Stop::kWriteFailed;
  OrderedRun run(&making, making.Count(), making.Allowance());
  for (int32_t index = 0; index < making.Count(); ++index) {
    if (dots) dots->Next();
    run.Take(index);
    ReadyMember& member = making.Member(index);
    // x.bin and /x.bin name the same member /x.bin.
    PoolString memberName = MemberNameOf(making.Child(index)->newName);
    Stop stop = member.stop;
    if (stop == Stop::kNone && !writer.AddCoded(member.coded, member.storedSize,
                                                member.contentSize, member.crc, memberName)) {
      stop = Stop::kWriteFailed;
    }
    *copiedAny = *copiedAny || member.copied;
    FreeBlock(member.coded);
    member.coded = nullptr;
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


Stop RebuildArchive(const PatchEntry* group, const char* backupFolder, const char* targetFolder,
                    const char* archivePath, MemberDots* dots) {
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
