// What a compact patch asks the applier to hold, worked out one way for the builder's
// choice of references, the reader's refusal of a description and the applier's
// allowance for work on every core.
//
// Each entry holds its content while it is made, and a frame the contents it is coded
// against (ContentHeld); the patch states a budget that no entry may pass. In an archive
// group an earlier member that later members are made from is kept from its making to
// its last use, so what is kept counts against the budget at every member in between.
#pragma once

#include <cstdint>

#include "update/patch_list.h"

namespace zt4 {

// The members of one group in their order, each with room for what it holds and what is
// kept beside it. Every step only takes room, so a plan that never goes below zero is one
// the budget allows at every member.
class GroupMemory {
 public:
  GroupMemory(int64_t budget, int32_t members);
  ~GroupMemory();
  GroupMemory(const GroupMemory&) = delete;
  GroupMemory& operator=(const GroupMemory&) = delete;

  // False when there was no memory for the plan itself.
  bool Ready() const { return tree_ != nullptr; }
  // What the member at `place`, not yet held, may still hold beside what is kept for it.
  int64_t Room(int32_t place) const;
  // The member at `earlier` (of `size` bytes) kept until `user`, which is made from it:
  // false, with nothing taken, when a member in between has less room than that.
  bool Keep(int32_t earlier, int64_t size, int32_t user);
  // The member at `place` holds `held` while it is made: false when that passes its room.
  bool Hold(int32_t place, int64_t held);

 private:
  void Add(int32_t from, int32_t to, int64_t amount, int32_t node, int32_t low, int32_t high);
  int64_t Least(int32_t from, int32_t to, int32_t node, int32_t low, int32_t high) const;

  int32_t members_;
  int64_t* tree_ = nullptr;     // the least room below each node, its pending change included
  int64_t* pending_ = nullptr;  // a change of the whole range of a node, not yet passed down
  int32_t* lastUse_ = nullptr;  // by member: the last member kept for so far, or itself
};

// True when every member of a compact group, with what is kept beside it, stays within
// the budget. Ties each reference to an earlier member (reference.earlier, from the
// member name) and records each member's last use; false for a reference to a member
// that is not earlier in the group, not made from a frame, or not of the size and digest
// named.
bool PlanGroupMemory(PatchEntry* group, int64_t budget);

// The most the earlier members of a planned group keep at once.
int64_t MostKept(const PatchEntry* group);

// What the applier holds making a compact content: the content, the references (a member
// decoded whole beside its place among them), and for a frame its payload (`payloadBytes`,
// coded and decoded) and what its decoding holds; for segments, one segment and its
// ranges instead of the references.
int64_t MakingMemory(const PatchEntry& entry, int64_t payloadBytes);

}  // namespace zt4
