// The paths an update forms: a folder, '/', a name of the description; the archive
// member a path without a plain file names; the temporary name of a file being written.
#pragma once

#include "base/pool_string.h"
#include "platform/platform.h"

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

// The path with kPartSuffix appended; false when it does not fit.
bool PartPath(char* out, const char* path);

// Creates the folders above a '/'-separated path, level by level.
bool MakeParentDirs(const char* path);

}  // namespace zt4
