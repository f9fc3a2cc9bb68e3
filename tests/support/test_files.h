// Files and folders for tests, written through the platform so that CP932 names land on
// disk the way the system itself writes them.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace zt4::test {

// A fresh empty folder under the system's temporary folder, removed by the destructor.
// Its path is ASCII, usable both as CP932 and as the OS's own text.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + "/" + relative (CP932 bytes).
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes a whole file, creating its parent folders. CP932 path.
bool WriteFile(const std::string& path, const std::string& bytes);
// Reads a whole file; false when it cannot be opened.
bool ReadFile(const std::string& path, std::string* bytes);
bool Exists(const std::string& path);
// Everything under `folder`: files by relative CP932 path ('/' separators) with their
// content, folders as "path/" with an empty content. Empty when `folder` is missing.
using Tree = std::map<std::string, std::string>;
Tree ReadTree(const std::string& folder);
// Writes every file of `tree` below `folder` (folders for "path/" keys).
bool WriteTree(const std::string& folder, const Tree& tree);

}  // namespace zt4::test
