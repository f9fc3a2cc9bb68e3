#include "zt4mkpatch/file_tree.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/platform.h"
#include "update/patch_list.h"

namespace zt4::builder {
namespace {

bool IsLead(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
bool IsTrail(uint8_t c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC); }

// The native platform answers "is this absolute" for POSIX paths only.
bool OnWindows() { return !IsNativeAbsolutePath("/x"); }

std::string JoinName(const std::string& prefix, const std::string& name) {
  return prefix.empty() ? name : prefix + "/" + name;
}

struct Listing {
  std::vector<std::pair<std::string, bool>> items;
};

void Collect(const char* name, bool isFolder, void* user) {
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return;
  static_cast<Listing*>(user)->items.emplace_back(name, isFolder);
}

bool ListItems(const std::string& folder, Listing* listing) {
  if (!Os().ListFolder(folder.c_str(), Collect, listing)) return false;
  std::sort(listing->items.begin(), listing->items.end());
  return true;
}

// Why a folder could not be listed. On POSIX the platform refuses a whole folder when one
// name in it does not convert to CP932; the OS's own listing finds that name.
std::string ListingError(const std::string& folder) {
  char name[1024];
  if (FindUnconvertibleName(folder.c_str(), name, sizeof name)) {
    return Shown(folder) + "/" + name + ": the name cannot be written in Shift-JIS (CP932)";
  }
  return Shown(folder) + ": the folder cannot be listed";
}

bool ScanFolder(const std::string& root, const std::string& prefix, TreeScan* scan,
                std::string* error) {
  std::string folder = prefix.empty() ? root : root + "/" + prefix;
  Listing listing;
  if (!ListItems(folder, &listing)) {
    *error = ListingError(folder);
    return false;
  }
  if (listing.items.empty() && !prefix.empty()) scan->emptyFolders.push_back(prefix);
  for (const auto& [name, isFolder] : listing.items) {
    std::string relative = JoinName(prefix, name);
    // The ANSI listing of Windows puts '?' for a character outside the code page.
    if (name.find('?') != std::string::npos) {
      *error = Shown(root + "/" + relative) + ": the name cannot be written in Shift-JIS (CP932)";
      return false;
    }
    if (prefix.empty()) scan->topLevel.push_back(name);
    if (isFolder) {
      scan->folders.push_back(relative);
      if (!ScanFolder(root, relative, scan, error)) return false;
      continue;
    }
    std::string path = root + "/" + relative;
    FileHandle file = Os().OpenFile(path.c_str(), kOpenRead);
    if (file == kNoFile) {
      *error = Shown(path) + ": the file cannot be opened";
      return false;
    }
    TreeFile entry;
    entry.name = relative;
    entry.size = Os().FileSize(file);
    Os().CloseFile(file);
    if (entry.size < 0) {
      *error = Shown(path) + ": the size of the file cannot be read";
      return false;
    }
    scan->files.push_back(entry);
  }
  return true;
}

bool ByName(const TreeFile& a, const TreeFile& b) { return a.name < b.name; }

}  // namespace

const TreeFile* TreeScan::FindFile(const std::string& name) const {
  auto it = std::lower_bound(files.begin(), files.end(), TreeFile{name, 0}, ByName);
  return it != files.end() && it->name == name ? &*it : nullptr;
}

bool TreeScan::HasFolder(const std::string& name) const {
  return std::binary_search(folders.begin(), folders.end(), name);
}

bool ScanTree(const std::string& folder, TreeScan* scan, std::string* error) {
  *scan = TreeScan();
  if (!ScanFolder(folder, "", scan, error)) return false;
  std::sort(scan->files.begin(), scan->files.end(), ByName);
  std::sort(scan->folders.begin(), scan->folders.end());
  std::sort(scan->emptyFolders.begin(), scan->emptyFolders.end());
  std::sort(scan->topLevel.begin(), scan->topLevel.end());
  return true;
}

bool ReadWholeFile(const std::string& path, Bytes* content, std::string* error) {
  content->clear();
  FileHandle file = Os().OpenFile(path.c_str(), kOpenRead);
  if (file == kNoFile) {
    *error = Shown(path) + ": the file cannot be opened";
    return false;
  }
  int64_t size = Os().FileSize(file);
  if (size < 0 || size > INT32_MAX) {
    Os().CloseFile(file);
    *error = Shown(path) + (size < 0 ? ": the size of the file cannot be read"
                                     : ": the file is 2 GiB or larger, which a patch cannot hold");
    return false;
  }
  content->resize(static_cast<size_t>(size));
  int32_t done = 0;
  while (done < size) {
    int32_t n = Os().ReadFile(file, content->data() + done, static_cast<int32_t>(size - done));
    if (n <= 0) break;
    done += n;
  }
  Os().CloseFile(file);
  if (done != size) {
    *error = Shown(path) + ": the file cannot be read";
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size, std::string* error) {
  size_t slash = LastSeparator(path);
  if (slash != std::string::npos && slash > 0 &&
      Os().CreateFolderTree(path.substr(0, slash).c_str()) == FolderResult::kFailed) {
    *error = Shown(path) + ": the folder for the file cannot be created";
    return false;
  }
  FileHandle file = Os().OpenFile(path.c_str(), kOpenCreate);
  if (file == kNoFile) {
    *error = Shown(path) + ": the file cannot be created";
    return false;
  }
  bool ok = true;
  size_t done = 0;
  while (ok && done < size) {
    size_t chunk = std::min<size_t>(size - done, size_t{1} << 30);
    ok = Os().WriteFile(file, data + done, static_cast<int32_t>(chunk));
    done += chunk;
  }
  Os().CloseFile(file);
  if (!ok) *error = Shown(path) + ": the file cannot be written";
  return ok;
}

bool FileExists(const std::string& path) {
  FileHandle file = Os().OpenFile(path.c_str(), kOpenRead);
  if (file == kNoFile) return false;
  Os().CloseFile(file);
  return true;
}

bool CopyTree(const std::string& from, const std::string& to, std::string* error) {
  TreeScan scan;
  if (!ScanTree(from, &scan, error)) return false;
  for (const std::string& folder : scan.folders) {
    if (Os().CreateFolderTree((to + "/" + folder).c_str()) == FolderResult::kFailed) {
      *error = Shown(to + "/" + folder) + ": the folder cannot be created";
      return false;
    }
  }
  Bytes content;
  for (const TreeFile& file : scan.files) {
    if (!ReadWholeFile(from + "/" + file.name, &content, error) ||
        !WriteWholeFile(to + "/" + file.name, content.data(), content.size(), error)) {
      return false;
    }
  }
  return true;
}

void RemoveTree(const std::string& path) {
  Listing listing;
  if (!Os().ListFolder(path.c_str(), Collect, &listing)) {
    Os().DeleteFile(path.c_str());
    return;
  }
  for (const auto& [name, isFolder] : listing.items) {
    std::string item = path + "/" + name;
    if (isFolder) {
      RemoveTree(item);
    } else {
      Os().DeleteFile(item.c_str());
    }
  }
  Os().RemoveFolder(path.c_str());
}

bool MakeUniqueFolder(const std::string& parent, const std::string& stem, std::string* path) {
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    std::string candidate = parent + "/" + stem + "-" + std::to_string(ticks % 1000000007) + "-" +
                            std::to_string(serial++);
    if (Os().CreateFolder(candidate.c_str()) == FolderResult::kCreated) {
      *path = candidate;
      return true;
    }
  }
  return false;
}

std::string TempFolderPath() {
  const char* names[] = {"TMPDIR", "TEMP", "TMP"};
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value && *value) {
      std::string cp932;
      std::string error;
      if (ArgumentPath(value, &cp932, &error)) return cp932;
    }
  }
  return OnWindows() ? std::string() : std::string("/tmp");
}

std::string Shown(const std::string& cp932) {
  std::vector<char> native(cp932.size() * 4 + 16);
  if (Cp932ToNative(cp932.c_str(), native.data(), static_cast<int>(native.size())) >= 0) {
    return native.data();
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : cp932) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    }
  }
  return out;
}

bool ArgumentPath(const std::string& native, std::string* cp932, std::string* error) {
  std::vector<char> converted(native.size() * 2 + 16);
  if (native.empty() ||
      NativeToCp932(native.c_str(), converted.data(), static_cast<int>(converted.size())) < 0) {
    *error = native + ": the path cannot be written in Shift-JIS (CP932)";
    return false;
  }
  std::string path = converted.data();
  bool absolute = path.find(':') != std::string::npos ||
                  (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') &&
                   (path[1] == '\\' || path[1] == '/')) ||
                  IsNativeAbsolutePath(path.c_str());
  if (!absolute) {
    char current[4096];
    if (!Os().CurrentFolder(current, sizeof current)) {
      *error = native + ": the current folder cannot be read";
      return false;
    }
    std::string base = current;
    if (path[0] == '/' || path[0] == '\\') {
      // Windows: the root of the current drive.
      path = base.substr(0, base.size() >= 2 && base[1] == ':' ? 2 : 0) + path;
    } else {
      size_t last = LastSeparator(base);
      path = (last + 1 == base.size() ? base : base + "/") + path;
    }
  }
  // "old/" and "old" name the same folder; names are joined with one '/'.
  for (;;) {
    size_t last = LastSeparator(path);
    if (last == std::string::npos || last + 1 != path.size() || last == 0) break;
    if (last == 2 && path[1] == ':') break;  // "C:\"
    path.pop_back();
  }
  *cp932 = path;
  return true;
}

size_t CharLength(const std::string& text, size_t i) {
  if (i + 1 < text.size() && IsLead(static_cast<uint8_t>(text[i])) &&
      IsTrail(static_cast<uint8_t>(text[i + 1]))) {
    return 2;
  }
  return 1;
}

size_t LastSeparator(const std::string& path) {
  size_t last = std::string::npos;
  for (size_t i = 0; i < path.size(); i += CharLength(path, i)) {
    if (path[i] == '/' || path[i] == '\\') last = i;
  }
  return last;
}

std::string NameProblem(const std::string& name) {
  if (name.empty()) return "the name is empty";
  if (!IsSafeRelativeName(name.c_str(), false)) {
    return "the applier refuses this name (absolute, \"..\", ':' or a device name)";
  }
  size_t start = 0;
  size_t i = 0;
  for (;;) {
    if (i == name.size() || name[i] == '/') {
      if (i == start) return "the name has an empty folder level";
      // Windows drops trailing dots and blanks: the file would get another name there.
      // Neither byte is ever the trail of a double-byte character.
      char last = name[i - 1];
      if (last == '.' || last == ' ') return "a name ending in '.' or ' ' cannot exist on Windows";
      if (i == name.size()) return std::string();
      start = ++i;
      continue;
    }
    size_t length = CharLength(name, i);
    if (length == 1) {
      unsigned char c = static_cast<unsigned char>(name[i]);
      if (c < 0x20 || c == 0x7F) return "the name holds a control character";
      if (c == '\\') return "the name holds a backslash, which the applier reads as a separator";
      if (std::strchr("<>:\"|?*", c)) {
        return std::string("the character '") + static_cast<char>(c) +
               "' cannot be used in a Windows file name";
      }
    }
    i += length;
  }
}

std::string FoldCase(const std::string& name) {
  std::string out = name;
  for (size_t i = 0; i < out.size();) {
    size_t length = CharLength(out, i);
    if (length == 1 && out[i] >= 'A' && out[i] <= 'Z')
      out[i] = static_cast<char>(out[i] - 'A' + 'a');
    i += length;
  }
  return out;
}

}  // namespace zt4::builder
