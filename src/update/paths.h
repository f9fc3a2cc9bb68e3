// The paths an update forms: a folder, '/', a name of the description; the archive
// member a path without a plain file names; the work folder where new files are written.
#pragma once

#include "base/pool_string.h"
#include "platform/platform.h"
#include "update/patch_list.h"

namespace zt4 {

// "%s/%s" into a kMaxPath buffer; false when it does not fit.
bool JoinPath(char* out, const char* folder, const char* name);
// The same with another separator.
bool JoinPathWith(char* out, const char* folder, char separator, const char* name);

// A path that does not open as a plain file names a member of an archive: the part
// before its last '/' with ".zt4" appended is the archive, the part from that '/' on is
// the member. False when the path has no '/'.
bool ArchiveMemberOf(const char* path, PoolString* archivePath, PoolString* member);

// The member a group's member of that new name is written as: '/' and the name, a name
// that begins with '/' taken as it is ("x" and "/x" are both "/x").
PoolString MemberNameOf(const char* newName);

// The folder of the target where the apply pass writes each new file before the chain
// reaches it: a name that no entry of `tree` writes at the top level. False when its
// path does not fit.
bool WorkFolderPath(char* out, const PatchEntry* tree, const char* target);
// The file an entry at `index` of the chain is written as in the work folder (an archive
// keeps its kind in the name). False when the path does not fit.
bool WorkFilePath(char* out, const char* workFolder, int32_t index, bool archive);

// Creates the folders of a name ('/' or '\' between levels) inside an existing folder,
// from the top down.
bool MakeFoldersOf(const char* folder, const char* name);

}  // namespace zt4
