// The patch builder: compares an old and a new install and writes the patch archive
// that takes the one to the other when the applier runs on it.
//
// A compact patch (the default) makes every new content that is not an old one unchanged
// from a zstd frame coded against the old and new contents it shares most with: its own
// old version first, then others, within the memory budget the patch states. A strict
// patch is the first form, which every applier reads:
// The applier moves the whole old install into its backup folder and then writes only
// what the entries name, so every file of the new install gets an entry, unchanged ones
// included: plain files as changed (delta records over the old file), added or removed
// entries; ".zt4" archives as groups whose children are carried over from the old install
// or come whole from a payload, in the data order of the new archive so that the rebuild
// writes the same bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/index_records.h"

namespace zt4::builder {

using tool::Bytes;
using tool::IndexRecord;

// Measured on a wasm package pair: levels 9, 13, 17 and 19 gave 473, 455, 402 and 342 kB
// in 0.7, 3.5, 11 and 15 s; zstd's own level 22 made a larger frame (362 kB) of the
// largest file alone, in as long. Smaller levels are for quick trial builds.
inline constexpr int kDefaultLevel = 22;
// The least memory budget a compact patch states: what the applier may hold for one
// entry, its references and its new content.
inline constexpr int64_t kLeastBudget = int64_t{64} << 20;

struct BuildOptions {
  std::string oldDir;   // absolute, CP932
  std::string newDir;   // absolute, CP932
  std::string outPath;  // absolute, CP932; replaced
  // Progress and warnings go here as they happen; null keeps the build quiet (the
  // warnings are in the summary either way).
  std::FILE* messages = nullptr;
  bool strict = false;            // the first form of the description, delta records
  int level = kDefaultLevel;      // zstd level of a compact patch's frames
  int64_t budget = 0;             // bytes an entry may hold in memory; 0: the default
  // A changed file from this size on is read a window at a time, never whole (strict).
  int64_t windowedFileBytes = int64_t{64} << 20;
  // A new file from this size on, or one whose old file does not fit the budget beside
  // it, is coded in segments against the ranges of old files it repeats (compact).
  int64_t segmentedFileBytes = int64_t{64} << 20;
};

struct BuildSummary {
  int changed = 0;    // plain files rebuilt from the old file, unchanged ones included
  int unchanged = 0;  // of those, files whose content stays
  int rebased = 0;    // of those, new names built from another old file (moved, copied)
  int added = 0;
  int removed = 0;
  int groups = 0;            // archives rebuilt member by member
  int membersCarried = 0;    // members taken from the old install
  int membersFromPatch = 0;  // members whose content is a payload
  int archivesAsFiles = 0;   // archives that could not be rebuilt, shipped as files
  int payloads = 0;          // distinct payload members
  uint64_t payloadBytes = 0;
  uint64_t newBytes = 0;  // the new install's size
  uint64_t patchBytes = 0;
  // Compact patches.
  bool compact = false;
  int copies = 0;      // new contents that are an old (or earlier new) one unchanged
  int frames = 0;      // new contents made from a zstd frame
  int diffs = 0;       // of those, frames of an approximate-match diff
  int branches = 0;    // of those, programs with their branch targets made absolute
  int segmented = 0;   // new files coded in segments
  int references = 0;  // contents those frames are coded against, all told
  int earlierMembers = 0;  // of those, members written before into the same archive
  int folders = 0;     // empty folders made
  int64_t budget = 0;
  std::vector<std::string> warnings;
};

// Writes the patch to options.outPath. False with an English message naming the file
// when something cannot be read, cannot be named in the patch, or cannot be written; a
// partly written patch is removed.
bool BuildPatch(const BuildOptions& options, BuildSummary* summary, std::string* error);

// The summary as lines for the user.
std::string FormatSummary(const BuildSummary& summary);

// --- pieces, for the tests -----------------------------------------------------------------

// The member order in which a writer added the members of an index read in file order:
// ascending data offset; members of 0 bytes before the member whose data starts where
// they stand, and, in the same bucket, in the reverse of the index order (the index
// lists a bucket newest first).
std::vector<IndexRecord> DataOrder(const std::vector<IndexRecord>& indexOrder);

}  // namespace zt4::builder
