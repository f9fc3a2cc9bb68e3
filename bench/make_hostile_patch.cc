// zt4_make_hostile_patch KIND FOLDER [N]: writes FOLDER/program/patch.zt4 and the install
// it is meant for, FOLDER/install, for patches whose checks before the confirmation cost
// far more than their size suggests. Used by scripts/hostile-bench to measure time and
// peak memory of the applier up to its confirmation box.
//
//   references [N=20000]  N added files, each made from 16 members of the old archives
//                         a0.zt4 .. a15.zt4, every member named by one entry only
//   same-references [N=20000]  the same, every entry made from the same 16 members
//   chain [N=80000]       one new archive of N members, each made from the one before
//   shared [N=10]         N added files of 256 MiB sharing one payload whose content (a
//                         frame of stored blocks) is 256 MiB as well
//   copies [N=20000]      a new archive: a member of 256 MiB, then N copies of a small old
//                         member (answer Yes to measure the apply pass)
//   zeros                 a compact description whose frame decodes to 2^31-1 zero bytes
//   folders [N=10000000]  a compact description of N empty folders
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "archive/archive.h"
#include "base/heap.h"
#include "base/pool_string.h"
#include "codec/reference_codec.h"
#include "codec/sha1.h"
#include "driver/process_objects.h"
#include "update/compact_format.h"
#include "update/patch_list.h"

namespace {

namespace fs = std::filesystem;
using Payloads = std::map<int32_t, std::string>;

std::string Digest(const std::string& bytes) {
  char digest[41];
  zt4::Sha1Hex(bytes.data(), bytes.size(), digest);
  return digest;
}

// The description's fields, little-endian integers and zero-terminated texts.
struct Records {
  std::string bytes;
  Records& Int(int32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF));
    return *this;
  }
  Records& Text(const std::string& text) {
    bytes += text;
    bytes.push_back(0);
    return *this;
  }
  Records& Record(int32_t id, const std::string& oldName, int32_t oldSize,
                  const std::string& oldDigest, const std::string& newName, int32_t newSize,
                  const std::string& newDigest) {
    return Int(id).Text(oldName).Int(oldSize).Text(oldDigest).Text(newName).Int(newSize).Text(
        newDigest);
  }
  Records& Reference(zt4::ReferenceSide side, const std::string& file, const std::string& member,
                     const std::string& content) {
    return Int(static_cast<int32_t>(side))
        .Text(file)
        .Text(member)
        .Int(static_cast<int32_t>(content.size()))
        .Text(Digest(content));
  }
};

// A frame of the reference codec's format, made by hand: the content size stated, then
// blocks of at most 128 KiB, each either stored (`stored`) or one repeated zero byte.
std::string ZeroFrame(uint32_t contentSize, bool stored) {
  std::string frame("\x28\xB5\x2F\xFD", 4);
  frame.push_back(static_cast<char>(0xA0));  // four bytes of content size, one segment
  for (int i = 0; i < 4; ++i) frame.push_back(static_cast<char>((contentSize >> (8 * i)) & 0xFF));
  constexpr uint32_t kBlock = 128 * 1024;
  uint32_t left = contentSize;
  do {
    const uint32_t size = left < kBlock ? left : kBlock;
    left -= size;
    const uint32_t header = size << 3 | (stored ? 0u : 1u) << 1 | (left == 0 ? 1u : 0u);
    for (int i = 0; i < 3; ++i) frame.push_back(static_cast<char>((header >> (8 * i)) & 0xFF));
    if (stored) {
      frame.append(size, '\0');
    } else {
      frame.push_back(0);
    }
  } while (left > 0);
  return frame;
}

// A frame of the content, coded against nothing.
std::string Frame(const std::string& content, int level) {
  size_t size = 0;
  uint8_t* frame = zt4::EncodeWithReference(reinterpret_cast<const uint8_t*>(content.data()),
                                            content.size(), nullptr, 0, level, &size);
  if (!frame) {
    std::fprintf(stderr, "could not code a frame\n");
    std::exit(1);
  }
  std::string out(reinterpret_cast<const char*>(frame), size);
  zt4::FreeBlock(frame);
  return out;
}

// The head of a compact description around a frame of `size` bytes of records.
std::string CompactHead(int32_t budget, int32_t size, const std::string& frame) {
  Records head;
  head.Int(zt4::kGroupMark).Text(zt4::kCompactMarker).Int(zt4::kCompactVersion).Int(budget).Int(size);
  return head.bytes + frame;
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "could not write %s\n", what.c_str());
  std::exit(1);
}

void WriteArchive(const fs::path& path, const std::map<std::string, std::string>& members) {
  zt4::ArchiveWriter writer;
  if (!writer.Create(zt4::PoolString(path.string().c_str()))) Fail(path.string());
  for (const auto& [name, content] : members) {
    if (!writer.Add(reinterpret_cast<const uint8_t*>(content.data()),
                    static_cast<uint32_t>(content.size()), zt4::PoolString(name.c_str()))) {
      Fail(path.string());
    }
  }
  if (!writer.Finish()) Fail(path.string());
}

void WritePatch(const fs::path& folder, const std::string& list, const Payloads& payloads) {
  std::map<std::string, std::string> members;
  for (const auto& [id, payload] : payloads) members["/" + std::to_string(id)] = payload;
  members["/list"] = list;
  fs::create_directories(folder / "program");
  WriteArchive(folder / "program" / "patch.zt4", members);
}

// Every install needs an item to move into the backup.
void WriteInstallFile(const fs::path& folder) {
  fs::create_directories(folder / "install");
  std::ofstream(folder / "install" / "readme.txt") << "old\n";
}

constexpr int32_t kReferences = 16;

void References(const fs::path& folder, int32_t entries, bool same) {
  WriteInstallFile(folder);
  Records records;
  Payloads payloads;
  const std::string newContent = "new";
  for (int32_t i = 0; i < entries; ++i) {
    records.Record(i + 1, "", 0, "", "n" + std::to_string(i), static_cast<int32_t>(newContent.size()),
                   Digest(newContent));
    records.Int(static_cast<int32_t>(zt4::ContentMethod::kZstd)).Int(kReferences);
    for (int32_t k = 0; k < kReferences; ++k) {
      const int32_t member = same ? 0 : i;
      records.Reference(zt4::ReferenceSide::kOld, "a" + std::to_string(k) + ".zt4",
                        "/m" + std::to_string(member), std::to_string(k) + ":" + std::to_string(member));
    }
    payloads[i + 1] = Frame(newContent, 3);
  }
  for (int32_t k = 0; k < kReferences; ++k) {
    std::map<std::string, std::string> members;
    for (int32_t i = 0; i < (same ? 1 : entries); ++i) {
      members["/m" + std::to_string(i)] = std::to_string(k) + ":" + std::to_string(i);
    }
    WriteArchive(folder / "install" / ("a" + std::to_string(k) + ".zt4"), members);
  }
  WritePatch(folder, CompactHead(1 << 20, static_cast<int32_t>(records.bytes.size()), Frame(records.bytes, 19)),
             payloads);
}

void Chain(const fs::path& folder, int32_t members) {
  WriteInstallFile(folder);
  Records records;
  Payloads payloads;
  records.Int(zt4::kGroupMark).Text(zt4::kGroupMarker).Text("pack.zt4").Int(0).Text(Digest(""));
  auto content = [](int32_t k) {
    char text[16];
    std::snprintf(text, sizeof text, "c%07d", static_cast<int>(k));
    return std::string(text);
  };
  for (int32_t k = 0; k < members; ++k) {
    const std::string made = content(k);
    records.Record(k + 1, "", 0, "", "m" + std::to_string(k), static_cast<int32_t>(made.size()),
                   Digest(made));
    records.Int(static_cast<int32_t>(zt4::ContentMethod::kZstd)).Int(k == 0 ? 0 : 1);
    if (k > 0) {
      records.Reference(zt4::ReferenceSide::kNew, "pack.zt4", "/m" + std::to_string(k - 1),
                        content(k - 1));
    }
    payloads[k + 1] = Frame(made, 3);
  }
  records.Int(zt4::kGroupMark).Text(zt4::kEndMarker);
  WritePatch(folder, CompactHead(1 << 20, static_cast<int32_t>(records.bytes.size()), Frame(records.bytes, 19)),
             payloads);
}

void Shared(const fs::path& folder, int32_t entries) {
  WriteInstallFile(folder);
  constexpr int32_t kSize = 256 << 20;
  Records records;
  for (int32_t i = 0; i < entries; ++i) {
    records.Record(1, "", 0, "", "n" + std::to_string(i), kSize, std::string(40, '0'));
    records.Int(static_cast<int32_t>(zt4::ContentMethod::kZstd)).Int(0);
  }
  WritePatch(folder, CompactHead(1 << 30, static_cast<int32_t>(records.bytes.size()), Frame(records.bytes, 19)),
             {{1, ZeroFrame(kSize, true)}});
}

void Copies(const fs::path& folder, int32_t copies) {
  WriteInstallFile(folder);
  const std::string small = "a small member of an old archive";
  WriteArchive(folder / "install" / "o.zt4", {{"/s", small}});
  constexpr int32_t kSize = 256 << 20;
  Records records;
  records.Int(zt4::kGroupMark).Text(zt4::kGroupMarker).Text("g.zt4").Int(1).Text(std::string(40, '0'));
  records.Record(1, "", 0, "", "big", kSize, Digest(std::string(kSize, '\0')));
  records.Int(static_cast<int32_t>(zt4::ContentMethod::kZstd)).Int(0);
  for (int32_t i = 0; i < copies; ++i) {
    records.Record(0, "", 0, "", "c" + std::to_string(i), static_cast<int32_t>(small.size()), Digest(small));
    records.Int(static_cast<int32_t>(zt4::ContentMethod::kCopy)).Int(1);
    records.Reference(zt4::ReferenceSide::kOld, "o.zt4", "/s", small);
  }
  records.Int(zt4::kGroupMark).Text(zt4::kEndMarker);
  WritePatch(folder, CompactHead(1 << 30, static_cast<int32_t>(records.bytes.size()), Frame(records.bytes, 19)),
             {{1, ZeroFrame(kSize, true)}});
}

void Zeros(const fs::path& folder) {
  WriteInstallFile(folder);
  constexpr int32_t kSize = INT32_MAX;
  WritePatch(folder, CompactHead(1 << 20, kSize, ZeroFrame(kSize, false)), {});
}

void Folders(const fs::path& folder, int32_t entries) {
  WriteInstallFile(folder);
  Records records;
  for (int32_t i = 0; i < entries; ++i) {
    records.Record(0, "", 0, "", "d" + std::to_string(i), 0, "");
    records.Int(static_cast<int32_t>(zt4::ContentMethod::kFolder)).Int(0);
  }
  WritePatch(folder, CompactHead(1, static_cast<int32_t>(records.bytes.size()), Frame(records.bytes, 3)), {});
}

}  // namespace

int main(int argc, char** argv) {
  zt4::StartProcessObjects();
  if (argc < 3) {
    std::fprintf(stderr, "usage: zt4_make_hostile_patch references|same-references|chain|shared|zeros|folders FOLDER [N]\n");
    return 2;
  }
  const std::string kind = argv[1];
  const fs::path folder = fs::absolute(argv[2]);
  const int32_t n = argc > 3 ? static_cast<int32_t>(std::atol(argv[3])) : 0;
  fs::remove_all(folder);
  if (kind == "references" || kind == "same-references") {
    References(folder, n > 0 ? n : 20000, kind == "same-references");
  } else if (kind == "chain") {
    Chain(folder, n > 0 ? n : 80000);
  } else if (kind == "shared") {
    Shared(folder, n > 0 ? n : 10);
  } else if (kind == "copies") {
    Copies(folder, n > 0 ? n : 20000);
  } else if (kind == "zeros") {
    Zeros(folder);
  } else if (kind == "folders") {
    Folders(folder, n > 0 ? n : 10000000);
  } else {
    std::fprintf(stderr, "unknown kind %s\n", kind.c_str());
    return 2;
  }
  return 0;
}
