// Proof that a patch does what it says: the applier's own phases run on a copy of the old
// install, and the result is compared with the new one byte for byte. The phases run in
// this process with a quiet console; a stop of the applier comes back as a value.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "base/stop.h"

namespace zt4::builder {

// Copies `oldDir` into `work` (an existing, empty folder) and applies the patch there as
// the applier does once the user has chosen that folder and confirmed. False with a
// message when the run could not be made (the copy, an unreadable patch) or when the
// applier stopped: then *stop tells which stop, and the message says in English what
// stopped it, in which phase, with the applier's last diagnostic lines.
bool ApplyPatchToCopy(const std::string& oldDir, const std::string& patchPath,
                      const std::string& work, Stop* stop, std::string* error);

// What a comparison of two folders found: one line per missing, unexpected or differing
// file or folder, and apart from them the empty folders of `expected` that `actual`
// lacks, which the applier cannot make (it creates folders only for the files in them).
struct TreeDifferences {
  std::vector<std::string> differences;
  std::vector<std::string> emptyFoldersMissing;
};

// The files and folders below `expected` against those below `actual`, leaving out the
// top-level item `skip` of `actual` when given.
TreeDifferences CompareTrees(const std::string& expected, const std::string& actual,
                             const std::string& skip);

// Applies the patch to a temporary copy of `oldDir` below `tempParent` and compares the
// result with `newDir` and the backup folder with `oldDir`; the copy is removed. True
// when the check ran, with what differs; otherwise the message.
bool CheckPatch(const std::string& oldDir, const std::string& newDir, const std::string& patchPath,
                const std::string& tempParent, std::FILE* messages, TreeDifferences* found,
                std::string* error);

}  // namespace zt4::builder
