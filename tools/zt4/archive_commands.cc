// list, extract, create and verify: the archive commands of the zt4 tool.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/heap.h"
#include "base/pool_string.h"
#include "zt4/commands.h"
#include "platform/platform.h"
#include "zt4/tool_common.h"

namespace zt4::tool {
namespace {

bool ExtractMember(Archive& archive, const std::string& name, ScopedBlock* block) {
  return archive.Extract(PoolString(name.c_str()), &block->data, &block->size);
}

std::string MemberLabel(const std::string& archivePath, const std::string& name) {
  return Shown(archivePath) + ": member " + Shown(name);
}

// The path below DIR at which a member is written: its name without the leading '/'.
// Refuses what the applier refuses (what could land outside DIR or name a device), and
// what cannot be a file name on every system.
bool MemberTarget(const std::string& name, std::string* relative, std::string* why) {
  *relative = !name.empty() && name[0] == '/' ? name.substr(1) : name;
  *why = NameProblem(*relative);
  if (!why->empty()) return false;
  bool converted = false;
  Shown(name, &converted);
  if (!converted) *why = "it does not convert to the system's text";
  return converted;
}

// Finds a member given on the command line: as typed, or with the leading '/' added.
bool FindMember(const std::vector<std::string>& names, const std::string& wanted,
                std::string* found) {
  for (const std::string& candidate : {wanted, "/" + wanted}) {
    if (std::find(names.begin(), names.end(), candidate) != names.end()) {
      *found = candidate;
      return true;
    }
  }
  return false;
}

// --- create: walking DIR ---

struct SourceFile {
  std::string member;  // "/" + relative path with '/' separators, CP932
  std::string path;    // CP932
};

bool Walk(const std::string& folder, const std::string& relative, const std::string& archivePath,
          std::vector<SourceFile>* files) {
  FolderItems items;
  std::string error;
  if (!ListItems(folder, &items, &error)) return Fail(error);
  for (const auto& [name, kind] : items) {
    std::string path = folder + "/" + name;
    std::string member = relative + "/" + name;
    if (HasForeignCharacter(name)) {
      return Fail(Shown(path) + ": " + kForeignCharacterProblem);
    }
    if (kind == ItemKind::kLink) {
      return Fail(Shown(path) + ": a link; the archive would hold what it points to, so links are refused");
    }
    if (kind == ItemKind::kFolder) {
      if (!Walk(path, member, archivePath, files)) return false;
    } else if (SamePath(NormalisedPath(path), NormalisedPath(archivePath))) {
      Warn(Shown(path) + ": skipped, it is the archive being written");
    } else {
      files->push_back({member, path});
    }
  }
  return true;
}

bool ByteOrder(const SourceFile& a, const SourceFile& b) {
  size_t n = std::min(a.member.size(), b.member.size());
  int order = std::memcmp(a.member.data(), b.member.data(), n);
  return order != 0 ? order < 0 : a.member.size() < b.member.size();
}

bool WriteArchive(const std::string& archivePath, const std::vector<SourceFile>& files) {
  ArchiveWriter writer;
  if (!writer.Create(PoolString(archivePath.c_str()))) {
    return Fail(Shown(archivePath) + ": cannot create the file");
  }
  for (const SourceFile& file : files) {
    Bytes content;
    std::string error;
    if (!ReadWholeFile(file.path, &content, &error)) {
      writer.Finish();
      return Fail(error);
    }
    if (!writer.Add(content.data(), static_cast<uint32_t>(content.size()),
                    PoolString(file.member.c_str()))) {
      writer.Finish();
      return Fail(Shown(archivePath) + ": cannot add member " + Shown(file.member) +
                  " (coding or writing failed)");
    }
  }
  if (!writer.Finish()) return Fail(Shown(archivePath) + ": cannot write the index and header");
  return true;
}

// The archive named by a command's first argument, with its records in file order.
bool OpenArgumentArchive(const std::string& argument, std::string* archivePath, Archive* archive,
                         std::vector<IndexRecord>* records) {
  std::string error;
  if (!ArgumentPath(argument, archivePath, &error)) return Fail(error);
  return OpenArchive(*archivePath, archive, records);
}

}  // namespace

bool ListCommand(const Arguments& arguments) {
  std::string archivePath;
  Archive archive;
  std::vector<IndexRecord> records;
  if (!OpenArgumentArchive(arguments[0], &archivePath, &archive, &records)) return false;
  int unconverted = 0;
  for (const IndexRecord& record : records) {
    bool converted = false;
    std::string name = Shown(record.name, &converted);
    if (!converted) ++unconverted;
    std::printf("%u %u %u %08x %s\n", static_cast<unsigned>(record.offset),
                static_cast<unsigned>(record.storedSize), static_cast<unsigned>(record.contentSize),
                static_cast<unsigned>(record.crc), name.c_str());
  }
  if (unconverted > 0) {
    return Fail(Shown(archivePath) + ": " + std::to_string(unconverted) +
                " member name(s) do not convert to the system's text; shown with \\xNN bytes");
  }
  return true;
}

bool VerifyCommand(const Arguments& arguments) {
  std::string archivePath;
  Archive archive;
  std::vector<IndexRecord> records;
  if (!OpenArgumentArchive(arguments[0], &archivePath, &archive, &records)) return false;
  std::vector<std::string> names = DistinctNames(records);
  size_t bad = 0;
  for (const std::string& name : names) {
    ScopedBlock block;
    if (!ExtractMember(archive, name, &block)) {
      Fail(MemberLabel(archivePath, name) +
           ": damaged (its data cannot be read or decoded, or its CRC does not match)");
      ++bad;
    }
  }
  if (bad > 0) {
    return Fail(Shown(archivePath) + ": " + std::to_string(bad) + " of " +
                std::to_string(names.size()) + " members damaged");
  }
  std::printf("%s: %u members, all good\n", Shown(archivePath).c_str(),
              static_cast<unsigned>(names.size()));
  return true;
}

bool ExtractCommand(const Arguments& arguments) {
  std::string archivePath;
  std::string folder;
  std::string error;
  Archive archive;
  std::vector<IndexRecord> records;
  if (!ArgumentPath(arguments[1], &folder, &error)) return Fail(error);
  if (!OpenArgumentArchive(arguments[0], &archivePath, &archive, &records)) return false;
  std::vector<std::string> names = DistinctNames(records);

  // Which members, and where each one goes: all of it is checked before anything is
  // written, so a refused name leaves DIR untouched.
  bool ok = true;
  std::vector<std::string> selected;
  if (arguments.size() == 2) {
    selected = names;
  } else {
    std::set<std::string> taken;
    for (size_t i = 2; i < arguments.size(); ++i) {
      std::string wanted;
      std::string found;
      if (!NativeToCp932Text(arguments[i], &wanted)) {
        ok = Fail(arguments[i] + ": the member name does not convert to Shift-JIS (CP932)");
      } else if (!FindMember(names, wanted, &found)) {
        ok = Fail(Shown(archivePath) + ": no member named " + arguments[i]);
      } else if (taken.insert(found).second) {
        selected.push_back(found);
      }
    }
  }
  std::vector<std::string> targets;
  for (const std::string& name : selected) {
    std::string relative;
    std::string why;
    if (!MemberTarget(name, &relative, &why)) {
      ok = Fail(MemberLabel(archivePath, name) + ": refused, it would not land inside " +
                Shown(folder) + " (" + why + ")");
    }
    targets.push_back(relative);
  }
  if (!ok) return false;

  if (!CreateFolders(folder)) {
    return Fail(Shown(folder) + ": cannot create the folder");
  }
  for (size_t i = 0; i < selected.size(); ++i) {
    const std::string& name = selected[i];
    ScopedBlock block;
    if (!ExtractMember(archive, name, &block)) {
      ok = Fail(MemberLabel(archivePath, name) +
                ": damaged (its data cannot be read or decoded, or its CRC does not match)");
      continue;
    }
    // Creates the member's folders on the way.
    if (!WriteWholeFile(folder + "/" + targets[i], block.data, static_cast<size_t>(block.size),
                        &error)) {
      ok = Fail(error);
    }
  }
  return ok;
}

bool CreateCommand(const Arguments& arguments) {
  std::string archivePath;
  std::string folder;
  std::string error;
  if (!ArgumentPath(arguments[0], &archivePath, &error) ||
      !ArgumentPath(arguments[1], &folder, &error)) {
    return Fail(error);
  }
  std::vector<SourceFile> files;
  if (!Walk(folder, "", archivePath, &files)) return false;
  // The writer's output depends on the order of the members: fix it by name.
  std::sort(files.begin(), files.end(), ByteOrder);

  if (!WriteArchive(archivePath, files)) {
    Os().DeleteFile(archivePath.c_str());
    return false;
  }
  if (files.empty()) {
    Warn(Shown(folder) +
         " holds no files: the archive has no members, and readers refuse "
         "an archive without members");
    return true;
  }
  // An index as long as the file makes the archive unreadable (many empty files with long
  // names); such a file is of no use to anyone.
  Archive check;
  if (!check.Open(PoolString(archivePath.c_str()))) {
    Os().DeleteFile(archivePath.c_str());
    return Fail(Shown(archivePath) +
                ": written, but it cannot be read back (its index is as large as the file), "
                "so it was removed");
  }
  return true;
}

}  // namespace zt4::tool
