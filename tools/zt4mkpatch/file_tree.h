// Folders and files for the patch builder, all through the platform: paths are CP932 the
// way the applier sees them, so what the builder reads is what the applier will read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zt4::builder {

using Bytes = std::vector<uint8_t>;

struct TreeFile {
  std::string name;  // relative to the scanned folder, CP932, '/' between levels
  int64_t size = 0;
};

// Everything below a folder, names sorted bytewise.
struct TreeScan {
  std::vector<TreeFile> files;
  std::vector<std::string> folders;       // every subfolder
  std::vector<std::string> emptyFolders;  // subfolders with nothing in them
  std::vector<std::string> topLevel;      // names of the folder's own items

  const TreeFile* FindFile(const std::string& name) const;
  bool HasFolder(const std::string& name) const;
};

// Walks `folder` (absolute, CP932). False with a message naming the folder or the item
// that cannot be listed (on POSIX: a name that cannot be written in CP932).
bool ScanTree(const std::string& folder, TreeScan* scan, std::string* error);

// Whole files. Files of 2 GiB and more are refused: the patch format counts in int32.
bool ReadWholeFile(const std::string& path, Bytes* content, std::string* error);
// Creates the missing parent folders and replaces an existing file.
bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size, std::string* error);
bool FileExists(const std::string& path);
// Copies the files and folders below `from` into `to` (which must exist).
bool CopyTree(const std::string& from, const std::string& to, std::string* error);
// Removes a file or a folder with everything in it; best effort.
void RemoveTree(const std::string& path);

// A fresh folder below `parent`, named after `stem`; false when none could be made.
bool MakeUniqueFolder(const std::string& parent, const std::string& stem, std::string* path);
// The system's temporary folder as CP932, or empty when it is unknown or does not convert.
std::string TempFolderPath();

// A CP932 text in the OS's own encoding, for messages; bytes that do not convert are
// written as \xNN.
std::string Shown(const std::string& cp932);
// A command-line path (the OS's own text) as an absolute CP932 path without a trailing
// separator. The system's code resolves relative paths against the program's folder; a
// tool's user means the current folder.
bool ArgumentPath(const std::string& native, std::string* cp932, std::string* error);

// Shift-JIS: the length of the character at `i` (2 for a lead byte with a valid trail).
size_t CharLength(const std::string& text, size_t i);
// The last '/' or '\' that is a separator (not a trail byte), or npos.
size_t LastSeparator(const std::string& path);
// Why `name` (relative, CP932, '/'-separated) cannot be a file of an install that the
// applier handles on Windows and POSIX alike; empty when it can.
std::string NameProblem(const std::string& name);
// ASCII letters folded to lower case outside double-byte characters: how Windows
// compares names.
std::string FoldCase(const std::string& name);

}  // namespace zt4::builder
