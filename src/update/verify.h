// Verification before and after the update: every old file (and old content a compact
// entry is made from) before, every new file and rebuilt archive after, by size and
// SHA-1. The first problem in chain order ends a pass and is handed back as a Stop.
#pragma once

#include <cstdint>

#include "base/pool_string.h"
#include "base/stop.h"
#include "update/patch_list.h"

namespace zt4 {

// What a check of one file found, in more detail than the stop it leads to: a report
// that lists every problem (zt4 patch-check) words it from this.
enum class Finding {
  kMatches,         // the expected size and digest
  kPathTooLong,     // the path, or the path of the archive that would hold it, does not fit
  kMissing,         // no plain file, and no '/' to look for an archive member by
  kNoArchiveFile,   // no plain file, and no archive file that would hold it
  kNotAnArchive,    // no plain file, and that archive's header or index is refused
  kMemberMissing,   // the archive holds no such member
  kMemberDamaged,   // the member does not decode or fails its CRC
  kSizeDiffers,     // found with another size (`foundSize`)
  kUnreadable,      // the plain file could not be read whole
  kContentDiffers,  // the right size, another digest
  kNoMemory,
};
struct FileReport {
  Finding finding = Finding::kMatches;
  bool inArchive = false;  // found (or looked for) as an archive member
  int64_t foundSize = -1;
  PoolString archivePath;  // with inArchive: the archive and the member looked in
  PoolString member;
};

// Checks that the file (or, when no plain file exists, the archive member that its path
// addresses) has the expected size and SHA-1 digest. `report`, when given, says what
// was found.
Stop VerifyFile(const char* path, const char* expectedDigest, int64_t expectedSize,
                FileReport* report = nullptr);
// True when the plain file at `path` has the size and digest (hashed as it is read).
bool PlainFileMatches(const char* path, const char* expectedDigest, int64_t expectedSize);
// An old reference in `folder` has its size and digest. With `keepDecoded`, an archive
// member's content, once verified, is kept (within a bound) for the entry made from it.
// With `whole`, the reference is of a digest run: held to its tag, and the whole digest
// found written there.
Stop VerifyReference(const ContentReference& reference, const char* folder,
                     bool keepDecoded = false, char* whole = nullptr);

// Told of each check of a pass, in chain order: the entry (a member of `group`, or
// null), the old content it is made from when that is what was checked (`reference`),
// the stop (kNone when it matched) and what was found. True to go on with the pass after
// a failure.
class CheckResults {
 public:
  virtual bool Checked(const PatchEntry* entry, const PatchEntry* group,
                       const ContentReference* reference, Stop stop, const FileReport& report) = 0;

 protected:
  ~CheckResults() = default;
};

// The old side of every entry, descending into groups; `top` prints the progress lines.
// The first failure in chain order is the stop; a listener hears of every one.
Stop VerifyTree(const PatchEntry* first, const char* folder, bool top,
                CheckResults* listener = nullptr);
// The new side of every top-level entry, a rebuilt archive as one whole file.
Stop CheckTree(const PatchEntry* first, const char* folder);

}  // namespace zt4
