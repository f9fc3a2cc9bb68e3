// Files and folders for the tools, all through the platform with CP932 paths, so that
// what a tool reads is what the applier will read.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace zt4::tool {

using Bytes = std::vector<uint8_t>;

// The items of a folder but "." and "..": name and kind, in the order the OS gives them.
// False with a message when the folder cannot be listed.
using FolderItems = std::vector<std::pair<std::string, ItemKind>>;
bool ListItems(const std::string& folder, FolderItems* items, std::string* error);

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
  std::vector<std::string> links;         // links (symbolic links, junctions): refused

  const TreeFile* FindFile(const std::string& name) const;
  bool HasFolder(const std::string& name) const;
};

// Walks `folder` (absolute, CP932). False with a message naming the folder or the item
// that cannot be listed or opened, or every link below it: a link is never followed, so
// nothing outside the folder is read as if it were in it.
bool ScanTree(const std::string& folder, TreeScan* scan, std::string* error);

// Whole files. Files of 2 GiB and more are refused: archives and patches count in int32.
bool ReadWholeFile(const std::string& path, Bytes* content, std::string* error);
// Creates the missing parent folders and replaces an existing file.
bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size, std::string* error);
bool FileExists(const std::string& path);
// Creates the folder and its missing parents; true when it exists afterwards.
bool CreateFolders(const std::string& path);
// Copies a file of any size a piece at a time (runs of zero bytes are skipped over, so a
// sparse file stays sparse where the system allows it). False with a message.
bool CopyFile(const std::string& from, const std::string& to, std::string* error);
// Whether two files of any size hold the same bytes, read a piece at a time. False with
// a message when one cannot be read.
bool SameFiles(const std::string& a, const std::string& b, bool* same, std::string* error);
// Copies the files and folders below `from` into `to` (which must exist).
bool CopyTree(const std::string& from, const std::string& to, std::string* error);
// Removes a file, or a folder with everything in it; stops at the first item that
// cannot be removed and returns false.
bool RemoveTree(const std::string& path);
// Gives the file `from` the name `to`, replacing a file there. False with a message.
bool ReplaceFile(const std::string& from, const std::string& to, std::string* error);

// A fresh folder below `parent`, named after `stem`; false when none could be made.
bool MakeUniqueFolder(const std::string& parent, const std::string& stem, std::string* path);
// The system's temporary folder as CP932, or empty when it is unknown or does not convert.
std::string TempFolderPath();

}  // namespace zt4::tool
