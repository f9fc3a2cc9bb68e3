// The compact form of the description: what its reader (update/patch_list.cc) and its
// writer (update/patch_list_writer.cc) share.
//
// A compact description opens with the group mark and kCompactMarker, which a reader of
// the first form refuses as a group of another marker, so that an applier that knows
// only the first form stops before anything is touched. Then, int32 little-endian:
// kCompactVersion, the memory budget (what one entry may hold, ContentHeld) and the size
// of the records; then one zstd frame holding the records and nothing after it.
//
// Each record has the shape of a record of the first form (a group's members too),
// followed by its content: the method (int32, ContentMethod) and the count of the
// contents it is made from (int32, at most kMaxReferences), then each of them: side
// (int32, ReferenceSide), file (text), member (text, empty for a plain file), size
// (int32) and digest (text). What each method accepts is its row in update/content_method.
//
// A description with a plain file (or a reference to one) of 2 GiB or more is of version
// kWideCompactVersion, where such a size is written as kWideSize followed by the size as
// an int64; every smaller size keeps its int32. An applier that knows only version 1
// refuses the description before anything is touched. Archives and their members keep
// the int32 sizes of their own format.
//
// A description of version kRunCompactVersion (which allows wide sizes too) may also hold
// digest runs: consecutive contents that are their own old ones, unchanged, stated
// without a record each. A run is kRunMark, the old archive its contents are members of
// (empty for plain files, each its own old file), the count, then the names (each as the
// count of leading bytes it shares with the name before it, one byte, and the rest as a
// text), the sizes, a tag of each content (the first kRunTagBytes of its SHA-1) and last
// the run's digest: the SHA-1 of the 20-byte SHA-1 digests of its contents in order. A
// member of a run is "/" followed by its name in the old archive. The tags say which
// content differs; the run's digest holds every content to its whole digest.
#pragma once

#include <cstdint>

namespace zt4 {

inline constexpr char kCompactMarker[] = "@ZT4_PACK";
inline constexpr int32_t kCompactVersion = 1;
inline constexpr int32_t kWideCompactVersion = 2;
inline constexpr int32_t kRunCompactVersion = 3;
inline constexpr int32_t kWideSize = -2;
// No file is larger (an exbibyte): the sizes of an entry and its references add up
// within an int64.
inline constexpr int64_t kMostWideSize = int64_t{1} << 60;
inline constexpr int32_t kRunMark = -3;
inline constexpr int32_t kRunTagBytes = 2;
// No entry of a compact patch names more contents to be made from.
inline constexpr int32_t kMaxReferences = 16;

// How the new content of an entry is made. An entry of the first form has no method: its
// kind says what is done (delta records over the old file, a whole payload, a carried
// member).
enum class ContentMethod : int32_t {
  kNone = 0,
  kCopy = 1,            // the one reference, unchanged (written without one: the own old file)
  kZstd = 2,            // the payload is a zstd frame coded against the references, end to end
  kFolder = 3,          // the new name is a folder, made empty
  kDiff = 4,            // the payload is a zstd frame, coded against the references, of an
                        // approximate-match diff from them (codec/approximate_diff.h)
  kSegments = 5,        // the payload is the content in segments, each coded against byte
                        // ranges of the references (codec/segment_codec.h), made a segment at a
                        // time
  kBranches = 6,        // as kDiff, between the content and the references (end to end) with
                        // their x86 branch targets made absolute (codec/branch_filter.h): the
                        // diff makes the filtered content, which is then unfiltered
  kSparseDiff = 7,      // as kDiff, the diff in its sparse form (codec/approximate_diff.h)
  kSparseBranches = 8,  // as kBranches, the diff in its sparse form, with more of the
                        // code's relative operands made absolute (FilterAddresses)
};

enum class ReferenceSide : int32_t {
  kOld = 0,  // the old install (in the backup folder once it is made)
  kNew = 1,  // a plain file this update has written before the entry; with a member
             // name, an earlier member of the archive the entry's group writes, or a
             // member of an archive an entry before this one writes
};

}  // namespace zt4
