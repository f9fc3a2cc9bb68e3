// The rebuild of an archive group: the new archive written member by member, each from
// the old install, a payload or (compact) the contents it is made from, byte for byte as
// the archive the description was made from.
#pragma once

#include "base/stop.h"
#include "update/patch_list.h"
#include "update/progress.h"

namespace zt4 {

// Writes the archive as `archivePath`; members made from new files read them from the
// target folder.
Stop RebuildArchive(const PatchEntry* group, const char* backupFolder, const char* targetFolder,
                    const char* archivePath, MemberDots* dots);

}  // namespace zt4
