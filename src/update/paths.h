// The paths an update forms: a folder, '/', a name of the description; the archive
// member a path without a plain file names; the work folder where new files are written.
#pragma once

#include <cstddef>
#include <cstdint>

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

// A name as the OS finds it: '\' outside double-byte characters is a separator as '/' is,
// and where the OS folds the case of names, ASCII letters stand for either case.
PoolString OsName(const char* name);

// The number n when the name's first component is `base` followed by n (0 for no digits)
// as Windows finds it: in any case, trailing dots and blanks dropped; -1 otherwise.
int64_t NameNumber(const char* name, const char* base);
// `base`, and n after it unless n is 0; false when it does not fit.
bool NumberedName(char* out, size_t capacity, const char* base, int64_t number);

// The folder of the target where the apply pass writes each new file before the chain
// reaches it: a name that no entry of `tree` writes at the top level. False when its
// path does not fit.
bool WorkFolderPath(char* out, const PatchEntry* tree, const char* target);
// Its name alone.
bool WorkFolderName(char* out, size_t capacity, const PatchEntry* tree);
// The file an entry at `index` of the chain is written as in the work folder (an archive
// keeps its kind in the name). False when the path does not fit.
bool WorkFilePath(char* out, const char* workFolder, int32_t index, bool archive);

// Creates the folders of a name ('/' or '\' between levels) inside an existing folder,
// from the top down.
bool MakeFoldersOf(const char* folder, const char* name);

}  // namespace zt4
