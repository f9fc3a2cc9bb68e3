#include "support/test_files.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <vector>

#include "platform/platform.h"

namespace zt4::test {
namespace {

std::atomic<int> gFolderSerial{0};

bool MakeParents(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return true;
  // The shell's folder creation wants '\' separators; POSIX turns them back into '/'.
  std::string parent = path.substr(0, slash);
  for (char& c : parent) {
    if (c == '/') c = '\\';
  }
  FolderResult result = Os().CreateFolderTree(parent.c_str());
  return result != FolderResult::kFailed;
}

struct Listing {
  std::vector<std::pair<std::string, bool>> items;
};

void Collect(const char* name, ItemKind kind, void* user) {
  std::string text(name);
  if (text == "." || text == "..") return;
  static_cast<Listing*>(user)->items.emplace_back(text, kind == ItemKind::kFolder);
}

void ReadTreeInto(const std::string& folder, const std::string& prefix, Tree* tree) {
  Listing listing;
  if (!Os().ForEachFolderItem(folder.c_str(), Collect, &listing)) return;
  for (const auto& [name, isFolder] : listing.items) {
    std::string relative = prefix.empty() ? name : prefix + "/" + name;
    if (isFolder) {
      (*tree)[relative + "/"] = "";
      ReadTreeInto(folder + "/" + name, relative, tree);
    } else {
      std::string content;
      ReadFile(folder + "/" + name, &content);
      (*tree)[relative] = content;
    }
  }
}

}  // namespace

TempFolder::TempFolder() {
  namespace fs = std::filesystem;
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path base = fs::temp_directory_path() /
                  ("zt4test-" + std::to_string(stamp) + "-" + std::to_string(gFolderSerial++));
  fs::create_directories(base);
  path_ = base.string();
  for (char& c : path_) {
    if (c == '\\') c = '/';
  }
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(path_), ignored);
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  if (!MakeParents(path)) return false;
  FileHandle file = Os().OpenFile(path.c_str(), kOpenCreate);
  if (file == kNoFile) return false;
  bool ok = Os().WriteFile(file, bytes.data(), static_cast<int32_t>(bytes.size()));
  Os().CloseFile(file);
  return ok;
}

bool ReadFile(const std::string& path, std::string* bytes) {
  FileHandle file = Os().OpenFile(path.c_str(), kOpenRead);
  if (file == kNoFile) return false;
  int64_t size = Os().FileSize(file);
  bytes->assign(static_cast<size_t>(size < 0 ? 0 : size), '\0');
  int32_t read = bytes->empty() ? 0 : Os().ReadFile(file, bytes->data(), static_cast<int32_t>(size));
  Os().CloseFile(file);
  return read == static_cast<int32_t>(bytes->size());
}

bool Exists(const std::string& path) {
  FileHandle file = Os().OpenFile(path.c_str(), kOpenRead);
  if (file != kNoFile) {
    Os().CloseFile(file);
    return true;
  }
  Listing listing;
  return Os().ForEachFolderItem(path.c_str(), Collect, &listing);
}

Tree ReadTree(const std::string& folder) {
  Tree tree;
  ReadTreeInto(folder, "", &tree);
  return tree;
}

bool WriteTree(const std::string& folder, const Tree& tree) {
  for (const auto& [path, content] : tree) {
    if (!path.empty() && path.back() == '/') {
      if (!MakeParents(folder + "/" + path + "x")) return false;
    } else if (!WriteFile(folder + "/" + path, content)) {
      return false;
    }
  }
  return true;
}

}  // namespace zt4::test
