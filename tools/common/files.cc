#include "common/files.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "common/names.h"
#include "platform/platform.h"

namespace zt4::tool {
namespace {

constexpr int64_t kLargestFile = 0x7FFFFFFF;

void CollectItem(const char* name, ItemKind kind, void* user) {
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return;
  static_cast<FolderItems*>(user)->emplace_back(name, kind);
}

bool ScanFolder(const std::string& root, const std::string& prefix, TreeScan* scan,
                std::string* error) {
  std::string folder = prefix.empty() ? root : root + "/" + prefix;
  FolderItems items;
  if (!ListItems(folder, &items, error)) return false;
  std::sort(items.begin(), items.end());
  if (items.empty() && !prefix.empty()) scan->emptyFolders.push_back(prefix);
  for (const auto& [name, kind] : items) {
    std::string relative = prefix.empty() ? name : prefix + "/" + name;
    if (HasForeignCharacter(name)) {
      *error = Shown(root + "/" + relative) + ": " + kForeignCharacterProblem;
      return false;
    }
    if (prefix.empty()) scan->topLevel.push_back(name);
    if (kind == ItemKind::kLink) {
      scan->links.push_back(relative);
      continue;
    }
    if (kind == ItemKind::kFolder) {
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
    TreeFile entry{relative, Os().FileSize(file)};
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

bool ListItems(const std::string& folder, FolderItems* items, std::string* error) {
  items->clear();
  if (Os().ForEachFolderItem(folder.c_str(), CollectItem, items)) return true;
  *error = Shown(folder) + ": " + Os().LastFailure();
  return false;
}

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
  if (!scan->links.empty()) {
    std::sort(scan->links.begin(), scan->links.end());
    *error = "links are refused, since the patch would carry what they point to:";
    for (const std::string& link : scan->links) *error += "\n  " + Shown(folder + "/" + link);
    return false;
  }
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
  if (size < 0 || size > kLargestFile) {
    Os().CloseFile(file);
    *error = Shown(path) + (size < 0 ? ": the size of the file cannot be read"
                                     : ": the file is 2 GiB or larger, which a patch cannot hold");
    return false;
  }
  content->resize(static_cast<size_t>(size));
  int64_t done = 0;
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

namespace {

// A new file (replacing one of its name) with its missing parent folders; kNoFile with a
// message.
FileHandle CreateWithFolders(const std::string& path, std::string* error) {
  size_t slash = LastSeparator(path);
  if (slash != std::string::npos && slash > 0 && !CreateFolders(path.substr(0, slash))) {
    *error = Shown(path) + ": the folder for the file cannot be created";
    return kNoFile;
  }
  FileHandle file = Os().OpenFile(path.c_str(), kOpenCreate);
  if (file == kNoFile) *error = Shown(path) + ": the file cannot be created";
  return file;
}

}  // namespace

bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size, std::string* error) {
  FileHandle file = CreateWithFolders(path, error);
  if (file == kNoFile) return false;
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

bool CreateFolders(const std::string& path) {
  return Os().CreateFolderTree(path.c_str()) != FolderResult::kFailed;
}

namespace {

constexpr int32_t kCopyPiece = 4 << 20;

// Reads up to a piece at the file's position; the count read, or -1.
int32_t ReadPiece(FileHandle file, uint8_t* into) {
  int32_t done = 0;
  while (done < kCopyPiece) {
    const int32_t n = Os().ReadFile(file, into + done, kCopyPiece - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}

}  // namespace

bool CopyFile(const std::string& from, const std::string& to, std::string* error) {
  FileHandle in = Os().OpenFile(from.c_str(), kOpenRead);
  if (in == kNoFile) {
    *error = Shown(from) + ": the file cannot be opened";
    return false;
  }
  FileHandle out = CreateWithFolders(to, error);
  if (out == kNoFile) {
    Os().CloseFile(in);
    return false;
  }
  const int64_t size = Os().FileSize(in);
  Bytes piece(kCopyPiece);
  int64_t done = 0;
  bool ok = size >= 0;
  while (ok && done < size) {
    const int32_t n = ReadPiece(in, piece.data());
    ok = n > 0;
    if (!ok) break;
    // A piece of zeros before the end is a hole; the last piece is written, so the file
    // has its size.
    const bool zeros = std::all_of(piece.begin(), piece.begin() + n, [](uint8_t b) { return b == 0; });
    if (zeros && done + n < size) {
      ok = Os().SeekFile(out, done + n, 0) == done + n;
    } else {
      ok = Os().WriteFile(out, piece.data(), n);
    }
    done += n;
  }
  Os().CloseFile(in);
  Os().CloseFile(out);
  if (!ok) *error = Shown(to) + ": the file cannot be copied from " + Shown(from);
  return ok;
}

bool SameFiles(const std::string& a, const std::string& b, bool* same, std::string* error) {
  *same = false;
  FileHandle first = Os().OpenFile(a.c_str(), kOpenRead);
  FileHandle second = Os().OpenFile(b.c_str(), kOpenRead);
  bool ok = first != kNoFile && second != kNoFile;
  if (ok && Os().FileSize(first) == Os().FileSize(second)) {
    Bytes x(kCopyPiece);
    Bytes y(kCopyPiece);
    *same = true;
    for (;;) {
      const int32_t n = ReadPiece(first, x.data());
      const int32_t m = ReadPiece(second, y.data());
      if (n < 0 || m < 0) {
        ok = false;
        break;
      }
      if (n != m || std::memcmp(x.data(), y.data(), static_cast<size_t>(n)) != 0) {
        *same = false;
        break;
      }
      if (n == 0) break;
    }
  }
  if (first != kNoFile) Os().CloseFile(first);
  if (second != kNoFile) Os().CloseFile(second);
  if (!ok) *error = Shown(first == kNoFile ? a : b) + ": the file cannot be read";
  return ok;
}

bool CopyTree(const std::string& from, const std::string& to, std::string* error) {
  TreeScan scan;
  if (!ScanTree(from, &scan, error)) return false;
  for (const std::string& folder : scan.folders) {
    if (!CreateFolders(to + "/" + folder)) {
      *error = Shown(to + "/" + folder) + ": the folder cannot be created";
      return false;
    }
  }
  for (const TreeFile& file : scan.files) {
    if (!CopyFile(from + "/" + file.name, to + "/" + file.name, error)) return false;
  }
  return true;
}

bool RemoveTree(const std::string& path) {
  FolderItems items;
  if (!Os().ForEachFolderItem(path.c_str(), CollectItem, &items)) {
    return Os().DeleteFile(path.c_str());
  }
  for (const auto& [name, kind] : items) {
    std::string item = path + "/" + name;
    if (kind == ItemKind::kFolder ? !RemoveTree(item) : !Os().DeleteFile(item.c_str())) return false;
  }
  return Os().RemoveFolder(path.c_str());
}

bool ReplaceFile(const std::string& from, const std::string& to, std::string* error) {
  if (FileExists(to) && !Os().DeleteFile(to.c_str())) {
    *error = Shown(to) + ": cannot be replaced (" + Os().LastFailure() + ")";
    return false;
  }
  if (!Os().MoveItem(from.c_str(), to.c_str())) {
    *error = Shown(from) + ": cannot be renamed to " + Shown(to) + " (" + Os().LastFailure() + ")";
    return false;
  }
  return true;
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
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
    const char* value = std::getenv(name);
    std::string cp932;
    std::string error;
    if (value && *value && ArgumentPath(value, &cp932, &error)) return cp932;
  }
  return OsIsWindows() ? std::string() : std::string("/tmp");
}

}  // namespace zt4::tool
