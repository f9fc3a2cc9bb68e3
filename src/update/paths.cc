#include "update/paths.h"

#include <cstdio>
#include <cstring>

#include <new>

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

}  // namespace

PoolString OsName(const char* name) {
  const size_t size = std::strlen(name);
  const bool fold = OsFoldsNameCase();
  char* found = nullptr;
  for (size_t i = 0; i < size; i += CharLength(name, size, i)) {
    const char c = name[i];
    if (CharLength(name, size, i) != 1) continue;
    char as = c;
    if (c == '\\') as = '/';
    if (fold && c >= 'a' && c <= 'z') as = static_cast<char>(c - 'a' + 'A');
    if (as == c) continue;
    if (!found) {
      found = new (std::nothrow) char[size];
      if (!found) return PoolString(name);  // the name as it is: a miss, never a crash
      std::memcpy(found, name, size);
    }
    found[i] = as;
  }
  if (!found) return PoolString(name);
  PoolString result(found, static_cast<int32_t>(size));
  delete[] found;
  return result;
}

int64_t NameNumber(const char* name, const char* base) {
  size_t i = 0;
  for (; base[i] != 0; ++i) {
    if (Upper(name[i]) != Upper(base[i])) return -1;
  }
  int64_t number = 0;
  for (int digits = 0; name[i] >= '0' && name[i] <= '9'; ++i) {
    if (++digits > 12) return -1;  // beyond any number chosen here
    number = number * 10 + (name[i] - '0');
  }
  while (name[i] == '.' || name[i] == ' ') ++i;
  return name[i] == 0 || name[i] == '/' || name[i] == '\\' ? number : -1;
}

bool NumberedName(char* out, size_t capacity, const char* base, int64_t number) {
  const int written = number == 0 ? std::snprintf(out, capacity, "%s", base)
                                  : std::snprintf(out, capacity, "%s%lld", base,
                                                  static_cast<long long>(number));
  return written > 0 && static_cast<size_t>(written) < capacity;
}

bool WorkFolderName(char* out, size_t capacity, const PatchEntry* tree) {
  // One past the highest number the tree's names take: no entry can be in it.
  int64_t free = -1;
  for (const PatchEntry* e = tree; e; e = e->next) {
    int64_t taken = NameNumber(e->newName, kWorkFolderName);
    if (taken > free) free = taken;
  }
  return NumberedName(out, capacity, kWorkFolderName, free + 1);
}

bool WorkFolderPath(char* out, const PatchEntry* tree, const char* target) {
  char name[40];
  return WorkFolderName(name, sizeof name, tree) && JoinPath(out, target, name);
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
