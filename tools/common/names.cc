#include "common/names.h"

#include <cstdio>
#include <cstring>

#include "base/shift_jis.h"
#include "platform/edge_text.h"
#include "platform/platform.h"
#include "update/patch_list.h"

namespace zt4::tool {
namespace {

size_t CharAt(const std::string& text, size_t i) { return CharLength(text.data(), text.size(), i); }

// Room for any converted name: CP932 -> UTF-8 at most triples a name's length.
int ConversionRoom(const std::string& text) { return static_cast<int>(text.size()) * 3 + 16; }

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x80 || c < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A name of the OS for a terminal: on POSIX a byte that is no part of UTF-8 (a name may
// hold any bytes) is written as \\xNN rather than sent raw.
std::string ReadableOsText(const std::string& native) {
  if (OsIsWindows()) return native;
  std::vector<char16_t> units(native.size() + 1);
  int count = Utf8ToUnits(native.c_str(), units.data(), static_cast<int>(units.size()));
  if (count < 0) return Escaped(native);
  std::string out;
  std::vector<char> piece(native.size() * 3 + 16);
  int start = 0;
  auto flush = [&](int end) {
    int n = UnitsToUtf8(units.data() + start, end - start, piece.data(),
                        static_cast<int>(piece.size()));
    if (n > 0) out.append(piece.data(), static_cast<size_t>(n));
  };
  for (int i = 0; i < count; ++i) {
    // A stray byte travels as the lone surrogate DC80 + byte; a pair's low half is never
    // looked at alone.
    if (units[i] >= 0xD800 && units[i] <= 0xDBFF) {
      ++i;
      continue;
    }
    if (units[i] < 0xDC80 || units[i] > 0xDCFF) continue;
    flush(i);
    out += Escaped(std::string(1, static_cast<char>(units[i] - 0xDC00)));
    start = i + 1;
  }
  flush(count);
  return out;
}

}  // namespace

bool NativeToCp932Text(const std::string& native, std::string* cp932) {
  if (native.find('\0') != std::string::npos) return false;
  std::vector<char> out(static_cast<size_t>(ConversionRoom(native)));
  int n = NativeToCp932(native.c_str(), out.data(), static_cast<int>(out.size()));
  if (n < 0) return false;
  cp932->assign(out.data(), static_cast<size_t>(n));
  return true;
}

std::string Shown(const std::string& cp932, bool* converted) {
  if (converted) *converted = true;
  std::vector<char> out(static_cast<size_t>(ConversionRoom(cp932)));
  int n = cp932.find('\0') == std::string::npos
              ? Cp932ToNative(cp932.c_str(), out.data(), static_cast<int>(out.size()))
              : -1;
  if (n >= 0) return ReadableOsText(std::string(out.data(), static_cast<size_t>(n)));
  if (converted) *converted = false;
  return Escaped(cp932);
}

bool ArgumentPath(const std::string& native, std::string* cp932, std::string* error) {
  std::string path;
  if (!NativeToCp932Text(native, &path)) {
    *error = Escaped(native) + ": the name does not convert to Shift-JIS (CP932)";
    return false;
  }
  if (path.empty()) {
    *error = "an empty path was given";
    return false;
  }
  bool twoSeparators = path.size() >= 2 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]);
  bool drive = path.find(':') != std::string::npos;
  if (!twoSeparators && !drive && !IsNativeAbsolutePath(path.c_str())) {
    char current[kMaxPath * 4] = {};
    if (!Os().CurrentFolder(current, sizeof current)) {
      *error = native + ": the current folder cannot be determined";
      return false;
    }
    std::string base = current;
    if (IsPathSeparator(path[0])) {
      // Rooted but without a drive (Windows): the drive of the current folder.
      path = base.substr(0, base.size() >= 2 && base[1] == ':' ? 2 : 0) + path;
    } else {
      size_t last = LastSeparator(base);
      path = (last != std::string::npos && last + 1 == base.size() ? base : base + "/") + path;
    }
  }
  // "old/" and "old" name the same folder; names are joined with one separator.
  for (;;) {
    size_t last = LastSeparator(path);
    if (last == std::string::npos || last + 1 != path.size() || last == 0) break;
    if (last == 2 && path[1] == ':') break;  // "C:\"
    path.pop_back();
  }
  *cp932 = path;
  return true;
}

bool ArgumentFolder(const std::string& native, std::string* cp932, std::string* error) {
  if (!ArgumentPath(native, cp932, error)) return false;
  for (char& c : *cp932) {
    if (c == '/') c = '\\';
  }
  return true;
}

size_t LastSeparator(const std::string& path) {
  int64_t last = zt4::LastSeparator(path.data(), path.size());
  return last < 0 ? std::string::npos : static_cast<size_t>(last);
}

std::vector<std::string> SplitPath(const std::string& cp932) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < cp932.size();) {
    size_t length = CharAt(cp932, i);
    if (length == 1 && IsPathSeparator(cp932[i])) {
      parts.emplace_back();
    } else {
      parts.back().append(cp932, i, length);
    }
    i += length;
  }
  return parts;
}

std::string NormalisedPath(const std::string& cp932) {
  std::vector<std::string> parts = SplitPath(cp932);
  // The root: none, "/", or "//" for a network path.
  size_t rootLength = 0;
  while (rootLength < 2 && rootLength < cp932.size() && IsPathSeparator(cp932[rootLength])) {
    ++rootLength;
  }
  std::vector<std::string> kept;
  for (const std::string& part : parts) {
    if (part.empty() || part == ".") continue;
    if (part == ".." && !kept.empty() && kept.back() != "..") {
      kept.pop_back();
    } else {
      kept.push_back(part);
    }
  }
  std::string out(rootLength, '/');
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) out += '/';
    out += kept[i];
  }
  return out;
}

bool SamePath(const std::string& a, const std::string& b) {
  return OsFoldsNameCase() ? FoldCase(a) == FoldCase(b) : a == b;
}

std::string FoldCase(const std::string& name) {
  std::string out = name;
  for (size_t i = 0; i < out.size();) {
    size_t length = CharAt(out, i);
    if (length == 1 && out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] - 'A' + 'a');
    i += length;
  }
  return out;
}

bool HasForeignCharacter(const std::string& name) {
  return name.find(static_cast<char>(kForeignMark)) != std::string::npos;
}

std::string NameProblem(const std::string& name) {
  if (name.empty()) return "the name is empty";
  if (HasForeignCharacter(name)) return kForeignCharacterProblem;
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
    size_t length = CharAt(name, i);
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

}  // namespace zt4::tool
