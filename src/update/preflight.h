// The checks before the backup: everything the update can know it would stop on, found
// while nothing has moved. One implementation for the applier, which stops at the first
// finding it meets before its confirmation, and for `zt4 patch-check`, which words every
// finding; a check added here is in both at once.
//
// The checks run in the applier's order: the backup folder (its path, an earlier one),
// then every old file and old content (VerifyTree, with the console's progress), then
// what the later passes need (the paths they form, the payloads they read, room on the
// volume). Each finding says where in the update it would stop the run: the applier stops
// before its confirmation on those of kVerify and leaves the rest to the phase that meets
// them, as before.
#pragma once

#include <cstdint>

#include "base/stop.h"
#include "update/patch_list.h"
#include "update/phases.h"
#include "update/verify.h"

namespace zt4 {

struct PreflightFinding {
  enum class Kind {
    kBackupPathTooLong,  // the backup folder's path does not fit a path buffer
    kEarlierBackup,      // a backup folder is already in the target
    kEmptyTarget,        // nothing to move: the backup refuses the folder
    kItemPathTooLong,    // an item of the target (`item`), once moved into the backup
    kOldFile,            // an old file (`entry`, `member` of `group`): `report` says what
    kOldContent,         // an old content a compact entry is made from (`reference`)
    kWorkPathTooLong,    // a file of the work folder the new files are written in first
    kNewPathTooLong,     // the path of a new file (`entry`)
    kNameDoesNotConvert, // a new name (`entry`) the OS cannot be given
    kPathBlocked,        // an earlier entry (`other`) writes a file where `entry` needs a
                         // folder, or a folder where it writes a file
    kWrittenTwice,       // `entry` replaces what an earlier entry (`other`) wrote
    kSameMemberTwice,    // two members of an archive (`other`, `entry`) of one name
    kOldPathTooLong,     // the path of an old file or content read by the apply pass
    kOldFileInArchive,   // an old file read as a plain file is only an archive's member
    kNewFileNotWritten,  // a new content (`reference`) that no earlier entry writes
    kNewSizeNegative,    // a changed file (`entry`) of a size no block can have
    kNoMemory,           // the checks themselves could not be made
    kPayloadMissing,     // the payload (`payloadId`) is not in the patch
    kPayloadDamaged,     // the payload does not decode or fails its CRC
    kPayloadDoesNotFit,  // its records or frame do not fit the new size
    kPayloadNotNewFile,  // an added file's payload is not the file the final check expects
    kNoRoom,             // the new files (`needed` bytes) do not fit the volume (`room`)
  };
  Kind kind;
  Stop stop = Stop::kNone;      // the applier's stop for it
  Phase phase = Phase::kVerify;  // where the applier meets it
  const PatchEntry* entry = nullptr;
  const PatchEntry* group = nullptr;  // `entry` is a member of this group
  const PatchEntry* other = nullptr;  // the earlier entry a name meets
  const ContentReference* reference = nullptr;
  const char* item = nullptr;
  int32_t payloadId = 0;
  FileReport report;  // kOldFile and kOldContent
  uint64_t needed = 0;
  int64_t room = 0;
};

class PreflightReporter {
 public:
  // Takes a finding; true to go on with the checks, false to end them here.
  virtual bool Report(const PreflightFinding& finding) = 0;
  // False for a reporter that takes only what stops the run before its confirmation:
  // the checks of what later phases meet are then not made.
  virtual bool TakesLaterFindings() const { return true; }
  // Told of every old file or old content checked, whatever was found.
  virtual void FileChecked() {}

 protected:
  ~PreflightReporter() = default;
};

// The backup folder: its path fits, no earlier backup is in the target, the target has
// items and each fits once moved. Nothing is written to the console but the line about
// an earlier backup, which the applier shows before it stops. False when the reporter
// ended the checks.
bool CheckBackupFolder(const char* target, const char* backup, PreflightReporter* reporter);

// The old files in `oldFolder` (the target, or the backup folder when a cut update is
// finished; console line and progress as the applier shows them; the archives read for
// them are let go after), then what the later passes need. False when the reporter ended
// the checks.
bool CheckTarget(const PatchEntry* tree, const char* oldFolder, const char* target,
                 const char* backup, PreflightReporter* reporter);

// The applier's reporter: ends the checks at the first finding that stops the run
// before its confirmation, and keeps its stop; keeps the first stop the final check
// would meet, which decides when nothing else does.
class FirstStop final : public PreflightReporter {
 public:
  bool Report(const PreflightFinding& finding) override;
  bool TakesLaterFindings() const override { return false; }
  Stop Decided() const { return stop != Stop::kNone ? stop : later; }
  Stop stop = Stop::kNone;
  Stop later = Stop::kNone;
};

}  // namespace zt4
