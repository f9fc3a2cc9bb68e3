// Proof that a patch does what it says: the applier's own passes run on a copy of the old
// install, and the result is compared with the new one byte for byte.
//
// The applier's operations never return a failure: they end the process through
// FatalStop, which shows a message box and exits with status 0. While a patch is applied
// here, a platform of our own stands in for the OS's user interface: the console and the
// debugger channel are kept quiet, and the message box of a stop prints what stopped the
// applier on standard error, removes the temporary copy and ends the process with
// status 1 instead. Running in-process keeps the check free of any second program that
// would have to be found beside the builder.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zt4::builder {

// Copies `oldDir` into `work` (an existing, empty folder) and applies the patch there as
// the applier does once the user has chosen that folder and confirmed: VerifyTree,
// ReleaseArchiveCache, BackupFolder, ApplyTree, CheckTree. False with a message when the
// patch cannot be mounted or read, the copy cannot be made or the backup fails; a stop of
// the applier ends the process (status 1). With `removeOnStop` the stop removes `work`.
bool ApplyPatchToCopy(const std::string& oldDir, const std::string& patchPath,
                      const std::string& work, bool removeOnStop, std::string* error);

// The files below `expected` against those below `actual` (leaving out the top-level item
// `skip` of `actual`, when given): one line per missing, unexpected or differing file.
// Folders are not compared: the applier creates them only for the files in them.
std::vector<std::string> CompareTrees(const std::string& expected, const std::string& actual,
                                      const std::string& skip);

// Applies the patch to a temporary copy of `oldDir` below `tempParent` and compares the
// result with `newDir` and the backup folder with `oldDir`. True when both match;
// otherwise the differences, or a message in *error when the check could not run.
bool CheckPatch(const std::string& oldDir, const std::string& newDir, const std::string& patchPath,
                const std::string& tempParent, std::FILE* messages,
                std::vector<std::string>* differences, std::string* error);

}  // namespace zt4::builder
