// Names for the tools: the two encodings (the OS's own text on the command line and the
// terminal, CP932 inside archives, patches and every path handed to the system's code),
// paths given on the command line, and the rules a file name of an install must keep.
#pragma once

#include <string>
#include <vector>

namespace zt4::tool {

// OS text -> CP932. False when the text does not convert.
bool NativeToCp932Text(const std::string& native, std::string* cp932);
// CP932 -> OS text, for showing a name. A name that does not convert comes back with
// every byte from 0x80 up (and every control byte) written as \xNN, and *converted
// (when given) is false; a POSIX name's bytes that are no part of UTF-8 are written so too.
std::string Shown(const std::string& cp932, bool* converted = nullptr);

// A command-line path (OS text) as an absolute CP932 path without a trailing separator.
// The system's code resolves a relative path against the program's own folder; a tool
// user means the current folder. False with a message when it does not convert.
bool ArgumentPath(const std::string& native, std::string* cp932, std::string* error);
// The same as the folder dialog hands a folder to the applier: '\' separators ('/' is
// never a trail byte), so that names joined with '/' keep their last '/' inside the name.
bool ArgumentFolder(const std::string& native, std::string* cp932, std::string* error);

// The last '/' or '\' of a CP932 path that is a separator (not a trail byte), or npos.
size_t LastSeparator(const std::string& path);
// Splits a CP932 path at its separators. Empty parts are kept.
std::vector<std::string> SplitPath(const std::string& cp932);
// Folds "." and empty parts, and ".." onto its parent, without touching the disk; used
// to compare two paths of the same volume.
std::string NormalisedPath(const std::string& cp932);
// Compares two normalised paths as the OS does (ASCII letters fold on Windows).
bool SamePath(const std::string& a, const std::string& b);
// ASCII letters folded to lower case outside double-byte characters: how Windows
// compares names.
std::string FoldCase(const std::string& name);

// True when a name the OS listed holds a character Shift-JIS lacks (carried in the
// platform edge's form): no patch or archive can name it.
bool HasForeignCharacter(const std::string& name);
inline constexpr const char* kForeignCharacterProblem =
    "the name has a character without a Shift-JIS (CP932) form";

// Why `name` (relative, CP932, '/'-separated) cannot be a file of an install that the
// applier handles on Windows and POSIX alike; empty when it can.
std::string NameProblem(const std::string& name);

}  // namespace zt4::tool
