#include "tool_common.h"

#include <cstdio>
#include <cstring>
#include <set>

#include "base/bytes.h"
#include "base/heap.h"
#include "base/pool_string.h"
#include "codec/crc32.h"
#include "codec/range_codec.h"
#include "platform/platform.h"

namespace zt4::tool {
namespace {

constexpr int64_t kLargestBlock = 0x7FFFFFFF;

bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

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

}  // namespace

bool Fail(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "zt4: %s\n", message.c_str());
  return false;
}

void Warn(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "zt4: note: %s\n", message.c_str());
}

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
  if (n >= 0) return std::string(out.data(), static_cast<size_t>(n));
  if (converted) *converted = false;
  return Escaped(cp932);
}

bool ArgumentPath(const std::string& argument, std::string* cp932Path) {
  std::string path;
  if (!NativeToCp932Text(argument, &path)) {
    return Fail(Escaped(argument) + ": the name does not convert to Shift-JIS (CP932)");
  }
  if (path.empty()) return Fail("an empty path was given");
  bool twoSeparators = path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
  bool drive = path.size() >= 2 && path[1] == ':';
  if (twoSeparators || drive || IsNativeAbsolutePath(path.c_str())) {
    *cp932Path = path;
    return true;
  }
  char current[kMaxPath * 4] = {};
  if (!Os().CurrentFolder(current, sizeof current)) {
    return Fail(argument + ": the current folder cannot be determined");
  }
  std::string folder(current);
  if (IsSeparator(path[0])) {
    // Rooted but without a drive (Windows): the drive of the current folder.
    *cp932Path = (folder.size() >= 2 && folder[1] == ':' ? folder.substr(0, 2) : "") + path;
    return true;
  }
  std::vector<std::string> parts = SplitPath(folder);
  bool endsWithSeparator = !parts.empty() && parts.back().empty();
  *cp932Path = folder + (endsWithSeparator ? "" : "/") + path;
  return true;
}

std::vector<std::string> SplitPath(const std::string& cp932) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < cp932.size(); ++i) {
    char c = cp932[i];
    if (IsLeadByte(static_cast<unsigned char>(c)) && i + 1 < cp932.size()) {
      parts.back() += c;
      parts.back() += cp932[++i];
    } else if (IsSeparator(c)) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

std::string NormalisedPath(const std::string& cp932) {
  std::vector<std::string> parts = SplitPath(cp932);
  std::string root;
  if (!cp932.empty() && IsSeparator(cp932[0])) root = "/";
  if (cp932.size() >= 2 && IsSeparator(cp932[0]) && IsSeparator(cp932[1])) root = "//";
  std::vector<std::string> kept;
  for (const std::string& part : parts) {
    if (part.empty() || part == ".") continue;
    if (part == ".." && !kept.empty() && kept.back() != "..") {
      kept.pop_back();
    } else {
      kept.push_back(part);
    }
  }
  std::string out = root;
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) out += '/';
    out += kept[i];
  }
  return out;
}

bool SamePath(const std::string& a, const std::string& b) {
  if (!OsFoldsNameCase()) return a == b;
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (IsLeadByte(x)) {
      // The trail byte may look like a letter: it is compared as it is.
      if (x != y || i + 1 >= a.size() || a[i + 1] != b[i + 1]) return false;
      ++i;
      continue;
    }
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& cp932Path, Bytes* content) {
  FileHandle file = Os().OpenFile(cp932Path.c_str(), kOpenRead);
  if (file == kNoFile) return false;
  int64_t size = Os().FileSize(file);
  bool ok = size >= 0 && size <= kLargestBlock;
  if (ok) {
    content->assign(static_cast<size_t>(size), 0);
    int32_t count = static_cast<int32_t>(size);
    ok = count == 0 || Os().ReadFile(file, content->data(), count) == count;
  }
  Os().CloseFile(file);
  return ok;
}

bool WriteWholeFile(const std::string& cp932Path, const uint8_t* data, size_t size) {
  if (size > static_cast<size_t>(kLargestBlock)) return false;
  FileHandle file = Os().OpenFile(cp932Path.c_str(), kOpenCreate);
  if (file == kNoFile) return false;
  bool ok = size == 0 || Os().WriteFile(file, data, static_cast<int32_t>(size));
  Os().CloseFile(file);
  return ok;
}

bool FileExists(const std::string& cp932Path) {
  FileHandle file = Os().OpenFile(cp932Path.c_str(), kOpenRead);
  if (file == kNoFile) return false;
  Os().CloseFile(file);
  return true;
}

bool CreateFolders(const std::string& cp932Path) {
  return Os().CreateFolderTree(cp932Path.c_str()) != FolderResult::kFailed;
}

bool OpenArchive(const std::string& cp932Path, Archive* archive) {
  if (!FileExists(cp932Path)) {
    return Fail(Shown(cp932Path) + ": cannot open the file (missing, a folder, or unreadable)");
  }
  if (!archive->Open(PoolString(cp932Path.c_str()))) {
    return Fail(Shown(cp932Path) +
                ": not a readable archive (wrong header, damaged index, or no members)");
  }
  return true;
}

bool ReadIndexRecords(const std::string& cp932Path, std::vector<IndexRecord>* records) {
  records->clear();
  const std::string failure = Shown(cp932Path) + ": cannot read the archive index";
  // Only the header and the coded index are read: the members may be large.
  FileHandle file = Os().OpenFile(cp932Path.c_str(), kOpenRead);
  if (file == kNoFile) return Fail(failure);
  uint8_t header[kArchiveHeaderSize] = {};
  int64_t fileSize = Os().FileSize(file);
  bool readable = fileSize >= kArchiveHeaderSize && fileSize <= kLargestBlock &&
                  Os().SeekFile(file, 0, 0) == 0 &&
                  Os().ReadFile(file, header, kArchiveHeaderSize) == kArchiveHeaderSize;
  uint32_t magic = GetU32(header);
  uint32_t indexOffset = GetU32(header + 4);
  uint32_t indexSize = GetU32(header + 8);
  uint32_t indexCrc = GetU32(header + 12);
  readable = readable && magic == kArchiveMagic && indexOffset < fileSize && indexSize < fileSize;
  Bytes coded;
  if (readable) {
    coded.resize(static_cast<size_t>(fileSize - indexOffset));
    int32_t n = static_cast<int32_t>(coded.size());
    readable = Os().SeekFile(file, indexOffset, 0) == indexOffset &&
               Os().ReadFile(file, coded.data(), n) == n;
  }
  Os().CloseFile(file);
  if (!readable) return Fail(failure);
  RangeCodec codec;
  uint8_t* index = codec.DecompressAlloc(coded.data(), static_cast<int32_t>(coded.size()),
                                         static_cast<int32_t>(indexSize));
  if (!index) return Fail(failure);
  bool ok = Crc32(index, indexSize, 0) == indexCrc && indexSize > 4;
  if (ok) {
    uint32_t count = GetU32(index);
    const uint8_t* at = index + 4;
    uint32_t left = indexSize - 4;
    for (uint32_t i = 0; ok && i < count; ++i) {
      const void* zero = std::memchr(at, 0, left);
      if (!zero) {
        ok = false;
        break;
      }
      uint32_t nameLength = static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - at);
      IndexRecord record;
      record.name.assign(reinterpret_cast<const char*>(at), nameLength);
      at += nameLength + 1;
      left -= nameLength + 1;
      if (left < 16) {
        ok = false;
        break;
      }
      record.storedSize = GetU32(at);
      record.contentSize = GetU32(at + 4);
      record.offset = GetU32(at + 8);
      record.crc = GetU32(at + 12);
      at += 16;
      left -= 16;
      records->push_back(std::move(record));
    }
    ok = ok && left == 0 && count != 0;
  }
  FreeBlock(index);
  if (!ok) {
    records->clear();
    return Fail(failure);
  }
  return true;
}

std::vector<std::string> DistinctNames(const std::vector<IndexRecord>& records) {
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (const IndexRecord& record : records) {
    if (seen.insert(record.name).second) names.push_back(record.name);
  }
  return names;
}

}  // namespace zt4::tool
