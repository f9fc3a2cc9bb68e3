#include "update/memory_plan.h"

#include <cstring>
#include <new>

#include "codec/segment_codec.h"
#include "update/content_method.h"

namespace zt4 {

GroupMemory::GroupMemory(int64_t budget, int32_t members) : members_(members > 0 ? members : 1) {
  const auto nodes = static_cast<size_t>(members_) * 4;
  tree_ = new (std::nothrow) int64_t[nodes];
  pending_ = new (std::nothrow) int64_t[nodes]();
  lastUse_ = new (std::nothrow) int32_t[static_cast<size_t>(members_)];
  if (!tree_ || !pending_ || !lastUse_) {
    delete[] tree_;
    tree_ = nullptr;
    return;
  }
  for (size_t i = 0; i < nodes; ++i) tree_[i] = budget;
  for (int32_t i = 0; i < members_; ++i) lastUse_[i] = i;
}

GroupMemory::~GroupMemory() {
  delete[] tree_;
  delete[] pending_;
  delete[] lastUse_;
}

void GroupMemory::Add(int32_t from, int32_t to, int64_t amount, int32_t node, int32_t low,
                      int32_t high) {
  if (to < low || high < from) return;
  if (from <= low && high <= to) {
    tree_[node] += amount;
    pending_[node] += amount;
    return;
  }
  const int32_t middle = low + (high - low) / 2;
  Add(from, to, amount, 2 * node, low, middle);
  Add(from, to, amount, 2 * node + 1, middle + 1, high);
  const int64_t left = tree_[2 * node];
  const int64_t right = tree_[2 * node + 1];
  tree_[node] = (left < right ? left : right) + pending_[node];
}

int64_t GroupMemory::Least(int32_t from, int32_t to, int32_t node, int32_t low,
                           int32_t high) const {
  if (to < low || high < from) return INT64_MAX;
  if (from <= low && high <= to) return tree_[node];
  const int32_t middle = low + (high - low) / 2;
  const int64_t left = Least(from, to, 2 * node, low, middle);
  const int64_t right = Least(from, to, 2 * node + 1, middle + 1, high);
  return (left < right ? left : right) + pending_[node];
}

int64_t GroupMemory::Room(int32_t place) const {
  return Least(place, place, 1, 0, members_ - 1);
}

bool GroupMemory::Keep(int32_t earlier, int64_t size, int32_t user) {
  // Already kept through the members up to its last use so far.
  const int32_t from = lastUse_[earlier] + 1;
  if (from > user) return true;
  if (from < user && Least(from, user - 1, 1, 0, members_ - 1) < size) return false;
  Add(from, user, -size, 1, 0, members_ - 1);
  lastUse_[earlier] = user;
  return true;
}

bool GroupMemory::Hold(int32_t place, int64_t held) {
  Add(place, place, -held, 1, 0, members_ - 1);
  return Room(place) >= 0;
}

namespace {

// The members of a group by the name they are written as, the first of a name winning:
// open addressing over their places, so that each reference finds its member at once.
class MembersByName {
 public:
  explicit MembersByName(int32_t members) {
    while (slotCount_ < 2 * static_cast<size_t>(members)) slotCount_ *= 2;
    slots_ = new (std::nothrow) int32_t[slotCount_];
    if (slots_) {
      for (size_t i = 0; i < slotCount_; ++i) slots_[i] = -1;
    }
  }
  ~MembersByName() { delete[] slots_; }
  MembersByName(const MembersByName&) = delete;
  MembersByName& operator=(const MembersByName&) = delete;

  bool Ready() const { return slots_ != nullptr; }
  void Add(PatchEntry** members, int32_t place) {
    const char* name = Bare(members[place]->newName);
    for (size_t slot = Hash(name) & (slotCount_ - 1);; slot = (slot + 1) & (slotCount_ - 1)) {
      if (slots_[slot] < 0) {
        slots_[slot] = place;
        return;
      }
      if (std::strcmp(Bare(members[slots_[slot]]->newName), name) == 0) return;
    }
  }
  // The place of the member written as `member` ("/x"), or -1.
  int32_t Find(PatchEntry** members, const char* member) const {
    if (member[0] != '/') return -1;
    const char* name = member + 1;
    for (size_t slot = Hash(name) & (slotCount_ - 1); slots_[slot] >= 0;
         slot = (slot + 1) & (slotCount_ - 1)) {
      if (std::strcmp(Bare(members[slots_[slot]]->newName), name) == 0) return slots_[slot];
    }
    return -1;
  }

 private:
  // A new name without the '/' the member name gives it ("x" and "/x" are both "/x").
  static const char* Bare(const char* newName) { return newName[0] == '/' ? newName + 1 : newName; }
  static size_t Hash(const char* text) {
    uint64_t hash = 14695981039346656037u;
    for (const char* p = text; *p; ++p) hash = (hash ^ static_cast<uint8_t>(*p)) * 1099511628211u;
    return static_cast<size_t>(hash ^ (hash >> 32));
  }

  size_t slotCount_ = 16;
  int32_t* slots_ = nullptr;
};

}  // namespace

bool PlanGroupMemory(PatchEntry* group, int64_t budget) {
  int32_t count = 0;
  for (const PatchEntry* child = group->firstChild; child; child = child->next) ++count;
  GroupMemory memory(budget, count);
  PatchEntry** members = new (std::nothrow) PatchEntry*[static_cast<size_t>(count) + 1];
  MembersByName byName(count);
  bool ok = memory.Ready() && members && byName.Ready();
  int32_t place = 0;
  for (PatchEntry* child = group->firstChild; child && ok; child = child->next, ++place) {
    members[place] = child;
    for (int32_t r = 0; r < child->referenceCount && ok; ++r) {
      ContentReference& reference = child->references[r];
      // A member of another archive is read from it, written before the group.
      if (reference.side != ReferenceSide::kNew || reference.member[0] == 0 ||
          std::strcmp(reference.file, group->newName) != 0) {
        continue;
      }
      reference.earlier = byName.Find(members, reference.member);
      ok = ok && reference.earlier >= 0;
      if (!ok) break;
      PatchEntry* source = members[reference.earlier];
      const MethodRow* row = FindMethod(source->method);
      // Only a member made from a frame is at hand whole when later ones are made.
      ok = row && row->IsFrame() && source->newSize == reference.size &&
           std::strcmp(source->newDigest, reference.digest) == 0 &&
           memory.Keep(reference.earlier, source->newSize, place);
      if (ok && place > source->lastUse) source->lastUse = place;
    }
    ok = ok && memory.Hold(place, ContentHeld(*child));
    // Named by the members after it only.
    if (ok) byName.Add(members, place);
  }
  delete[] members;
  return ok;
}

int64_t MostKept(const PatchEntry* group) {
  // Each member kept adds its size from the member after it to its last use.
  int64_t kept = 0;
  int64_t most = 0;
  int32_t count = 0;
  for (const PatchEntry* child = group->firstChild; child; child = child->next) ++count;
  int64_t* change = new (std::nothrow) int64_t[static_cast<size_t>(count) + 2]();
  if (!change) {
    // Without room to work it out, every member counted as kept throughout.
    for (const PatchEntry* child = group->firstChild; child; child = child->next) {
      if (child->lastUse >= 0) kept += child->newSize;
    }
    return kept;
  }
  int32_t place = 0;
  for (const PatchEntry* child = group->firstChild; child; child = child->next, ++place) {
    if (child->lastUse > place) {
      change[place + 1] += child->newSize;
      change[child->lastUse + 1] -= child->newSize;
    }
  }
  for (int32_t i = 0; i < count; ++i) {
    kept += change[i];
    if (kept > most) most = kept;
  }
  delete[] change;
  return most;
}

int64_t MakingMemory(const PatchEntry& entry, int64_t payloadBytes) {
  const MethodRow* row = FindMethod(entry.method);
  if (!row || row->making == MethodRow::Making::kFolder) return 0;
  if (row->making == MethodRow::Making::kSegments) {
    // A segment, its ranges and its coded bytes (the payload is read a piece at a time),
    // and the members among the references, had whole.
    int64_t members = 0;
    for (int32_t i = 0; i < entry.referenceCount; ++i) {
      const ContentReference& reference = entry.references[i];
      if (reference.member[0] != 0 || reference.earlier >= 0) members += reference.size;
    }
    return entry.newSize + kSegmentDecodeMemory + 2 * members;
  }
  int64_t references = 0;
  for (int32_t i = 0; i < entry.referenceCount; ++i) references += entry.references[i].size;
  int64_t memory = entry.newSize + 2 * references;
  if (row->IsFrame()) memory += payloadBytes + row->decodeMemory(entry.newSize);
  return memory;
}

}  // namespace zt4
