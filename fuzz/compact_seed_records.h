// Records of compact descriptions for the seed programs of patch_list_fuzz (which codes
// them into whole descriptions) and patch_records_fuzz (which takes them as they are):
// one of every content method and of every reference form, and ones a step from valid.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/patch_list.h"
#include "update/patch_list_writer.h"

namespace zt4::fuzz {

struct CompactSeed {
  int32_t budget;
  std::string records;
  bool valid;  // what ParsePatchList has to say of the description they make
  bool latest = false;  // a description of the latest version (wide sizes, digest runs)
};

namespace compact_seed {

inline constexpr char kDigestA[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
inline constexpr char kDigestB[] = "a9993e364706816aba3e25717850c26c9cd0d89d";
inline constexpr char kDigestC[] = "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12";

inline ContentReference Old(const char* file, int64_t size, const char* digest,
                            const char* member = "") {
  return {ReferenceSide::kOld, file, member, size, digest};
}

inline ContentReference New(const char* file, int32_t size, const char* digest) {
  return {ReferenceSide::kNew, file, "", size, digest};
}

inline std::string Bytes(PatchListWriter& writer) {
  return {reinterpret_cast<const char*>(writer.Data()), static_cast<size_t>(writer.Size())};
}

// One changed file coded against its old content; `name` and the budget vary below.
inline std::string Changed(const char* name, int32_t newSize, int32_t referenceSize) {
  PatchListWriter w;
  w.Record(1, name, referenceSize, kDigestA, name, newSize, kDigestB)
      .Content(ContentMethod::kZstd, 1)
      .Reference(Old(name, referenceSize, kDigestA));
  return Bytes(w);
}

// A group whose members are copied out of the old archive or coded against one.
inline std::string Group(const char* member) {
  PatchListWriter w;
  w.GroupBegin("data.zt4", 4096, kDigestC)
      .Record(10, "data/keep.bin", 8, kDigestA, "keep.bin", 8, kDigestB)
      .Content(ContentMethod::kCopy, 1)
      .Reference(Old("data.zt4", 8, kDigestB, member))
      .Record(11, "", 0, "", "/sub/fresh.bin", 9, kDigestC)
      .Content(ContentMethod::kZstd, 0)
      .Record(12, "data/moved.bin", 4, kDigestA, "sub/moved.bin", 6, kDigestB)
      .Content(ContentMethod::kZstd, 2)
      .Reference(Old("data.zt4", 4, kDigestA, "/moved.bin"))
      .Reference(New("added.bin", 5, kDigestC))
      .Record(13, "", 0, "", "code.bin", 7, kDigestA)
      .Content(ContentMethod::kDiff, 1)
      .Reference(Old("data.zt4", 6, kDigestB, "/code.bin"))
      .GroupEnd();
  return Bytes(w);
}

}  // namespace compact_seed

inline std::vector<CompactSeed> CompactSeeds() {
  using namespace compact_seed;
  std::vector<CompactSeed> all;
  const int32_t budget = 1 << 20;
  all.push_back({budget, Changed("a.bin", 12, 10), true});
  all.push_back({budget, Group("/keep.bin"), true});
  {
    PatchListWriter w;
    w.Record(2, "gone.bin", 3, kDigestA, "", 0, "").Content(ContentMethod::kCopy, 0);
    all.push_back({budget, Bytes(w), true});
  }
  {
    PatchListWriter w;
    w.Record(3, "", 0, "", "new folder", 0, "").Content(ContentMethod::kFolder, 0);
    all.push_back({budget, Bytes(w), true});
  }
  {
    // Every form in one: a file made first and used by the next entry, an unchanged file
    // copied to a new place, a group, a removal and a folder.
    PatchListWriter w;
    w.Record(1, "", 0, "", "added.bin", 5, kDigestC)
        .Content(ContentMethod::kZstd, 0)
        .Record(4, "old/same.bin", 7, kDigestA, "new/same.bin", 7, kDigestA)
        .Content(ContentMethod::kCopy, 1)
        .Reference(Old("old/same.bin", 7, kDigestA))
        .Record(5, "", 0, "", "two.bin", 30, kDigestB)
        .Content(ContentMethod::kZstd, 2)
        .Reference(New("added.bin", 5, kDigestC))
        .Reference(Old("old/same.bin", 7, kDigestA));
    std::string records = Bytes(w) + Group("/keep.bin");
    PatchListWriter tail;
    tail.Record(2, "gone.bin", 3, kDigestA, "", 0, "")
        .Content(ContentMethod::kCopy, 0)
        .Record(3, "", 0, "", "empty/dir", 0, "")
        .Content(ContentMethod::kFolder, 0);
    all.push_back({budget, records + Bytes(tail), true});
  }
  {
    // A file past 4 GiB in segments against its old one: wide sizes, taken only in a
    // description of the wide version.
    constexpr int64_t kBig = (int64_t{5} << 30) + 1;
    PatchListWriter w;
    w.Record(7, "big.pak", kBig, kDigestA, "big.pak", kBig + 9, kDigestB)
        .Content(ContentMethod::kSegments, 1)
        .Reference(Old("big.pak", kBig, kDigestA));
    // Room for a segment and its stretches.
    const int32_t segmentBudget = 64 << 20;
    all.push_back({segmentBudget, Bytes(w), true, true});
    all.push_back({segmentBudget, Bytes(w), false, false});
  }
  {
    // Unchanged files in a digest run, and members carried in one; taken only in a
    // description of the latest version.
    const PatchListWriter::RunItem files[] = {
        {"sub/a.bin", 3, kDigestA}, {"sub/ab.bin", 5, kDigestB}, {"z\x83\x5C.bin", 0, kDigestC}};
    PatchListWriter w;
    w.Run("", files, 3);
    w.GroupBegin("data.zt4", 4096, kDigestC).Run("old.zt4", files, 2).GroupEnd();
    all.push_back({budget, Bytes(w), true, true});
    all.push_back({budget, Bytes(w), false, false});
    const PatchListWriter::RunItem unsafe[] = {{"a.bin", 3, kDigestA},
                                               {"BACKUP_FILES/b", 5, kDigestB}};
    PatchListWriter v;
    v.Run("", unsafe, 2);
    all.push_back({budget, Bytes(v), false, true});
    PatchListWriter member;  // a run of members outside a group
    member.Run("old.zt4", files, 1);
    all.push_back({budget, Bytes(member), false, true});
  }
  // The budget exactly reached, and one byte short.
  all.push_back({22, Changed("a.bin", 12, 10), true});
  all.push_back({21, Changed("a.bin", 12, 10), false});
  all.push_back({0, Changed("a.bin", 12, 10), false});
  all.push_back({budget, Changed("a.ZT4PART", 12, 10), true});  // an ordinary name
  all.push_back({budget, Changed("BACKUP_FILES/a.bin", 12, 10), false});
  all.push_back({budget, Group("keep.bin"), false});  // member not rooted in its archive
  all.push_back({budget, Group("/"), true});          // a member named '/' itself
  all.push_back({budget, Group("/../up.bin"), false});
  {
    PatchListWriter w;  // a copy of another digest
    w.Record(4, "a.bin", 7, kDigestA, "b.bin", 7, kDigestB)
        .Content(ContentMethod::kCopy, 1)
        .Reference(Old("a.bin", 7, kDigestA));
    all.push_back({budget, Bytes(w), false});
  }
  {
    PatchListWriter w;  // a member of a file this update writes
    w.Record(5, "", 0, "", "b.bin", 7, kDigestB)
        .Content(ContentMethod::kZstd, 1)
        .Reference({ReferenceSide::kNew, "a.zt4", "/a.bin", 7, kDigestA});
    all.push_back({budget, Bytes(w), false});
  }
  {
    PatchListWriter w;  // a folder that replaces a file
    w.Record(3, "dir", 1, kDigestA, "dir", 0, "").Content(ContentMethod::kFolder, 0);
    all.push_back({budget, Bytes(w), false});
  }
  {
    PatchListWriter w;  // one reference more than allowed
    w.Record(6, "", 0, "", "many.bin", 1, kDigestB)
        .Content(ContentMethod::kZstd, kMaxReferences + 1);
    for (int32_t i = 0; i <= kMaxReferences; ++i) w.Reference(Old("a.bin", 1, kDigestA));
    all.push_back({budget, Bytes(w), false});
  }
  {
    PatchListWriter w;  // as many as allowed
    w.Record(6, "", 0, "", "many.bin", 1, kDigestB).Content(ContentMethod::kZstd, kMaxReferences);
    for (int32_t i = 0; i < kMaxReferences; ++i) w.Reference(Old("a.bin", 1, kDigestA));
    all.push_back({budget, Bytes(w), true});
  }
  {
    PatchListWriter w;  // records of the first form: no content after them
    w.Record(1, "a.bin", 10, kDigestA, "a.bin", 12, kDigestB);
    all.push_back({budget, Bytes(w), false});
  }
  return all;
}

}  // namespace zt4::fuzz
