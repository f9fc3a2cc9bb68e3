#include "update/paths.h"

#include <cstring>

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

bool PartPath(char* out, const char* path) {
  size_t length = std::strlen(path);
  if (length + sizeof kPartSuffix > static_cast<size_t>(kMaxPath)) return false;
  std::memcpy(out, path, length);
  std::memcpy(out + length, kPartSuffix, sizeof kPartSuffix);
  return true;
}

bool MakeParentDirs(const char* path) {
  char parent[kMaxPath];
  size_t length = std::strlen(path);
  if (length >= sizeof parent) return false;
  std::memcpy(parent, path, length + 1);
  // '/' is never the second byte of a Shift-JIS character: a plain search is safe.
  char* slash = std::strrchr(parent, '/');
  if (!slash) return true;
  *slash = 0;
  return MakeParentDirs(parent) && Os().CreateFolder(parent) != FolderResult::kFailed;
}

}  // namespace zt4
