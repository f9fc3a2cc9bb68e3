// Helpers shared by the commands of the zt4 tool: messages, the two encodings of names
// (the OS's own text on the command line and on the terminal, CP932 inside archives and
// for every path handed to the system's code), whole files through the platform, and the
// index records of an archive in the order the file holds them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"

namespace zt4::tool {

using Bytes = std::vector<uint8_t>;

// "zt4: " + message + newline on standard error. Returns false, so that a command can
// `return Fail(...)`.
bool Fail(const std::string& message);
// The same for a note that does not make the command fail.
void Warn(const std::string& message);

// OS text -> CP932. False when the text does not convert (nothing is printed).
bool NativeToCp932Text(const std::string& native, std::string* cp932);
// CP932 -> OS text for showing a name. A name that does not convert comes back with
// every byte from 0x80 up written as \xNN, and *converted (when given) is false.
std::string Shown(const std::string& cp932, bool* converted = nullptr);

// A path from the command line as an absolute CP932 path. The system's code resolves a
// relative path against the program's own folder; a tool user means the current folder.
// Prints the message and returns false when the text does not convert.
bool ArgumentPath(const std::string& argument, std::string* cp932Path);

// Splits a CP932 path at '/' and '\'; a '\' that is the trail byte of a double-byte
// character is part of the name. Empty parts are kept.
std::vector<std::string> SplitPath(const std::string& cp932);
// Folds "." and empty parts, and ".." onto its parent, without touching the disk; used
// to compare two paths of the same volume.
std::string NormalisedPath(const std::string& cp932);
// Compares two normalised paths as the OS does (ASCII letters fold on Windows).
bool SamePath(const std::string& a, const std::string& b);

// Whole files through the platform. The read fails for a file over 2 GiB; the write
// creates missing parent folders and replaces an existing file.
bool ReadWholeFile(const std::string& cp932Path, Bytes* content);
bool WriteWholeFile(const std::string& cp932Path, const uint8_t* data, size_t size);
bool FileExists(const std::string& cp932Path);
// Creates the folder and its missing parents; true when it exists afterwards.
bool CreateFolders(const std::string& cp932Path);

// One record of an archive's index, as the file lists it.
struct IndexRecord {
  std::string name;  // CP932
  uint32_t storedSize = 0;
  uint32_t contentSize = 0;
  uint32_t offset = 0;
  uint32_t crc = 0;
};

// Opens `cp932Path` as an archive. On failure prints a message naming the file and
// saying whether it is missing or not a readable archive.
bool OpenArchive(const std::string& cp932Path, Archive* archive);
// The index records in file order, duplicates included (the name table of an open
// Archive keeps one entry per name and visits them in its own order). Prints a message
// and returns false when the index cannot be read.
bool ReadIndexRecords(const std::string& cp932Path, std::vector<IndexRecord>* records);
// The names of `records` without repeats, in the order of their first record.
std::vector<std::string> DistinctNames(const std::vector<IndexRecord>& records);

}  // namespace zt4::tool
