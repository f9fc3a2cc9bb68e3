#include "update/paths.h"

#include <cstdio>
#include <cstring>

#include "base/shift_jis.h"
#include "update/patch_list.h"

namespace zt4 {

bool JoinPathWith(char* out, const char* folder, char separator, const char* name) {
  size_t folderLength = std::strlen(folder);
  size_t nameLength = std::strlen(name);
  if (folderLength + 1 + nameLength >= static_cast<size_t>(kMaxPath)) return false;
  std::memmove(out, folder, folderLength);
  out[folderLength] = separator;
  std::memmove(out + folderLength + 1, name, nameLength + 1);
  return true;
}

bool JoinPath(char* out, const char* folder, const char* name) {
  return JoinPathWith(out, folder, '/', name);
}

bool ArchiveMemberOf(const char* path, PoolString* archivePath, PoolString* member) {
  PoolString whole(path);
  // '/' is never the trail byte of a double-byte character: a plain search is exact.
  int32_t slash = whole.FindLast('/');
  if (slash < 0) return false;
  *archivePath = whole.Slice(0, slash);
  archivePath->Append(".zt4");
  *member = whole.Tail(slash);
  return true;
}

PoolString MemberNameOf(const char* newName) {
  return PoolString::Formatted("/%s", newName[0] == '/' ? newName + 1 : newName);
}

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

constexpr char kWorkFolderName[] = "zt4work";

// The number n when the name's first component is kWorkFolderName followed by n (0 for no
// digits) as Windows finds it: in any case, trailing dots and blanks dropped; -1 otherwise.
// A byte after ASCII is never a trail byte, so the separator test is exact.
int64_t WorkFolderNumber(const char* name) {
  size_t i = 0;
  for (; kWorkFolderName[i] != 0; ++i) {
    if (Upper(name[i]) != Upper(kWorkFolderName[i])) return -1;
  }
  int64_t number = 0;
  for (int digits = 0; name[i] >= '0' && name[i] <= '9'; ++i) {
    if (++digits > 12) return -1;  // beyond any number chosen here
    number = number * 10 + (name[i] - '0');
  }
  while (name[i] == '.' || name[i] == ' ') ++i;
  return name[i] == 0 || name[i] == '/' || name[i] == '\\' ? number : -1;
}

}  // namespace

bool WorkFolderPath(char* out, const PatchEntry* tree, const char* target) {
  // One past the highest number the tree's names take: no entry can be in it.
  int64_t free = -1;
  for (const PatchEntry* e = tree; e; e = e->next) {
    int64_t taken = WorkFolderNumber(e->newName);
    if (taken > free) free = taken;
  }
  ++free;
  char name[40];
  if (free == 0) {
    std::snprintf(name, sizeof name, "%s", kWorkFolderName);
  } else {
    std::snprintf(name, sizeof name, "%s%lld", kWorkFolderName, static_cast<long long>(free));
  }
  return JoinPath(out, target, name);
}

bool WorkFilePath(char* out, const char* workFolder, int32_t index, bool archive) {
  char name[32];
  std::snprintf(name, sizeof name, archive ? "%d.zt4" : "%d", static_cast<int>(index));
  return JoinPath(out, workFolder, name);
}

bool MakeFoldersOf(const char* folder, const char* name) {
  char path[kMaxPath];
  if (!JoinPath(path, folder, name)) return false;
  const size_t start = std::strlen(folder) + 1;
  const size_t length = std::strlen(path);
  // The reader takes '\' for a separator as the OS does; a trail byte may be 0x5C.
  for (size_t i = start; i < length; i += CharLength(path, length, i)) {
    if (!IsPathSeparator(path[i])) continue;
    path[i] = 0;
    const bool made = Os().CreateFolder(path) != FolderResult::kFailed;
    path[i] = '/';
    if (!made) return false;
  }
  return true;
}

}  // namespace zt4
