#include "zt4mkpatch/patch_builder.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

#include "archive/archive.h"
#include "base/bytes.h"
#include "base/heap.h"
#include "base/pool_string.h"
#include "codec/crc32.h"
#include "codec/range_codec.h"
#include "codec/sha1.h"
#include "update/patch_list.h"

namespace zt4::builder {
namespace {

constexpr char kArchiveSuffix[] = ".zt4";
constexpr char kGroupMarker[] = "@ZT4_COPY";
constexpr char kEndMarker[] = "@END";
constexpr char kBackupFolder[] = "backup_files";  // folded: the applier's backup folder
// A name longer than this leaves an install folder too little of the 260-byte path limit
// once the backup folder's name is added.
constexpr size_t kLongName = 160;

// One file's size and digest, as the list states them.
struct FileFacts {
  int32_t size = 0;
  char digest[41] = {};
  std::string key;  // raw SHA-1 and size: identical contents share one payload
};

FileFacts FactsOf(const uint8_t* data, size_t size) {
  static const uint8_t kNothing = 0;
  if (size == 0) data = &kNothing;  // an empty vector's data() may be null
  FileFacts facts;
  facts.size = static_cast<int32_t>(size);
  Sha1Hex(data, size, facts.digest);
  uint8_t raw[20];
  Sha1Digest(data, size, raw);
  facts.key.assign(reinterpret_cast<const char*>(raw), sizeof raw);
  facts.key += std::to_string(size);
  return facts;
}

// The description's byte format: int32 little-endian, texts with their zero.
class ListBytes {
 public:
  ListBytes& Int(int32_t value) {
    uint8_t raw[4];
    PutU32(raw, static_cast<uint32_t>(value));
    bytes_.append(reinterpret_cast<const char*>(raw), 4);
    return *this;
  }
  ListBytes& Text(const std::string& text) {
    bytes_ += text;
    bytes_ += '\0';
    return *this;
  }
  ListBytes& File(int32_t id, const std::string& oldName, const FileFacts* oldFacts,
                  const std::string& newName, const FileFacts* newFacts) {
    Int(id);
    Text(oldName).Int(oldFacts ? oldFacts->size : 0).Text(oldFacts ? oldFacts->digest : "");
    Text(newName).Int(newFacts ? newFacts->size : 0).Text(newFacts ? newFacts->digest : "");
    return *this;
  }
  const std::string& Bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

struct Owned {
  uint8_t* data = nullptr;
  int32_t size = 0;
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { FreeBlock(data); }
};

// One member of a new archive as the group will name it.
struct MemberPlan {
  std::string memberName;  // in the archive: "/x"
  std::string newName;     // in the list; the rebuild makes "/" + it without a leading '/'
  std::string oldName;     // carried over from this address; empty: a payload
  FileFacts facts;
};

std::string Megabytes(uint64_t bytes) {
  char text[32];
  if (bytes < 10000) {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < 10000000) {
    std::snprintf(text, sizeof text, "%.1f kB", static_cast<double>(bytes) / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  }
  return text;
}

class Builder {
 public:
  Builder(const BuildOptions& options, BuildSummary* summary)
      : options_(options), summary_(summary) {}

  bool Run(std::string* error);

 private:
  bool ScanAndCheck(std::string* error);
  bool CheckNames(const TreeScan& scan, const std::string& root, std::string* error);
  bool Describe(const std::string& name, std::string* error);
  bool DescribeFile(const std::string& name, const TreeFile* oldFile, const TreeFile* newFile,
                    std::string* error);
  // True with a group record, or false with *reason empty on a hard error (in *error) or
  // a reason why the archive cannot be rebuilt.
  bool DescribeArchive(const std::string& name, std::string* reason, std::string* error);
  bool PlanMembers(const std::string& name, const std::vector<IndexRecord>& order,
                   const FileFacts& archiveFacts, std::vector<MemberPlan>* members,
                   std::string* reason, std::string* error);
  // The content the applier finds at `oldName` in the old install, if that address
  // resolves the same way on every system.
  bool ResolveOld(const std::string& oldName, Bytes* content);
  std::string CarryOverName(const std::string& archiveName, const std::string& memberName);
  bool EmitPayload(const uint8_t* data, size_t size, const FileFacts& facts, int32_t* id,
                   std::string* error);
  void Warn(const std::string& text);
  void Progress(bool last);

  const BuildOptions& options_;
  BuildSummary* summary_;
  TreeScan old_;
  TreeScan new_;
  std::unordered_map<std::string, int> foldedOld_;  // folded OLD file name -> count
  ArchiveWriter writer_;
  std::map<std::string, int32_t> payloadIds_;
  int32_t nextId_ = 0;
  std::vector<std::pair<std::string, std::string>> records_;  // name, record bytes
  std::map<std::string, std::unique_ptr<Archive>> oldArchives_;

  // Progress on the messages stream.
  size_t filesTotal_ = 0;
  size_t filesDone_ = 0;
  uint64_t bytesTotal_ = 0;
  uint64_t bytesDone_ = 0;
  std::chrono::steady_clock::time_point lastProgress_{};
  bool progressShown_ = false;
};

void Builder::Warn(const std::string& text) {
  summary_->warnings.push_back(text);
  if (!options_.messages) return;
  if (progressShown_) std::fputc('\n', options_.messages);
  progressShown_ = false;
  std::fprintf(options_.messages, "zt4mkpatch: warning: %s\n", text.c_str());
}

void Builder::Progress(bool last) {
  if (!options_.messages) return;
  auto now = std::chrono::steady_clock::now();
  if (!last && progressShown_ && now - lastProgress_ < std::chrono::milliseconds(200)) return;
  lastProgress_ = now;
  std::fprintf(options_.messages, "\rzt4mkpatch: files %zu/%zu, %s of %s", filesDone_, filesTotal_,
               Megabytes(bytesDone_).c_str(), Megabytes(bytesTotal_).c_str());
  progressShown_ = true;
  if (last) {
    std::fputc('\n', options_.messages);
    progressShown_ = false;
  }
  std::fflush(options_.messages);
}

bool Builder::CheckNames(const TreeScan& scan, const std::string& root, std::string* error) {
  for (const std::string& item : scan.topLevel) {
    if (FoldCase(item) == kBackupFolder) {
      *error = Shown(root + "/" + item) +
               ": the applier keeps its backup under this name; an install cannot hold it";
      return false;
    }
  }
  for (const TreeFile& file : scan.files) {
    std::string problem = NameProblem(file.name);
    if (!problem.empty()) {
      *error = Shown(root + "/" + file.name) + ": " + problem;
      return false;
    }
    if (file.size > INT32_MAX) {
      *error = Shown(root + "/" + file.name) +
               ": the file is 2 GiB or larger, which a patch cannot hold";
      return false;
    }
  }
  // Windows takes names that differ only in case for one file.
  std::map<std::string, const std::string*> folded;
  for (const TreeFile& file : scan.files) {
    auto [it, fresh] = folded.emplace(FoldCase(file.name), &file.name);
    if (!fresh) {
      *error = Shown(root + "/" + file.name) + ": differs from " + Shown(root + "/" + *it->second) +
               " only in case, and Windows cannot hold both";
      return false;
    }
  }
  return true;
}

bool Builder::ScanAndCheck(std::string* error) {
  for (const std::string* dir : {&options_.oldDir, &options_.newDir}) {
    std::string prefix = FoldCase(*dir + "/");
    std::string out = FoldCase(options_.outPath);
    if (out.compare(0, prefix.size(), prefix) == 0) {
      *error = Shown(options_.outPath) + ": the patch must not be written inside " + Shown(*dir);
      return false;
    }
  }
  if (!ScanTree(options_.oldDir, &old_, error) || !ScanTree(options_.newDir, &new_, error)) {
    return false;
  }
  if (!CheckNames(old_, options_.oldDir, error) || !CheckNames(new_, options_.newDir, error)) {
    return false;
  }
  if (old_.topLevel.empty()) {
    *error =
        Shown(options_.oldDir) + ": the folder is empty, and the applier refuses an empty install";
    return false;
  }
  if (old_.files.empty() && new_.files.empty()) {
    *error = Shown(options_.oldDir) + " and " + Shown(options_.newDir) +
             " hold no file: there is nothing to describe";
    return false;
  }
  for (const TreeFile& file : old_.files) ++foldedOld_[FoldCase(file.name)];
  for (const std::string& folder : new_.emptyFolders) {
    Warn(Shown(options_.newDir + "/" + folder) +
         ": an empty folder; the applier creates folders only for the files in them");
  }
  for (const TreeFile& file : new_.files) {
    if (file.name.size() > kLongName) {
      Warn(Shown(file.name) + ": the name is " + std::to_string(file.name.size()) +
           " bytes long; installs in deep folders will exceed the 260-byte path limit");
    }
  }
  return true;
}

bool Builder::EmitPayload(const uint8_t* data, size_t size, const FileFacts& facts, int32_t* id,
                          std::string* error) {
  auto found = payloadIds_.find(facts.key);
  if (found != payloadIds_.end()) {
    *id = found->second;
    return true;
  }
  // Offsets inside an archive are read as 31-bit counts.
  if (summary_->payloadBytes + size > static_cast<uint64_t>(INT32_MAX) - (1u << 20)) {
    *error = Shown(options_.outPath) +
             ": the payloads pass 2 GiB, more than one patch can hold; split the update";
    return false;
  }
  *id = nextId_++;
  if (!writer_.Add(data, static_cast<uint32_t>(size), PoolString::Formatted("/%d", *id))) {
    *error = Shown(options_.outPath) + ": the patch cannot be written";
    return false;
  }
  payloadIds_[facts.key] = *id;
  ++summary_->payloads;
  summary_->payloadBytes += size;
  return true;
}

bool Builder::DescribeFile(const std::string& name, const TreeFile* oldFile,
                           const TreeFile* newFile, std::string* error) {
  Bytes oldContent;
  Bytes newContent;
  if (oldFile && !ReadWholeFile(options_.oldDir + "/" + name, &oldContent, error)) return false;
  if (newFile && !ReadWholeFile(options_.newDir + "/" + name, &newContent, error)) return false;
  FileFacts oldFacts = FactsOf(oldContent.data(), oldContent.size());
  FileFacts newFacts = FactsOf(newContent.data(), newContent.size());
  ListBytes record;
  if (!newFile) {
    // Verified before the update, then left in the backup folder.
    record.File(0, name, &oldFacts, "", nullptr);
    ++summary_->removed;
  } else if (!oldFile) {
    int32_t id = 0;
    if (!EmitPayload(newContent.data(), newContent.size(), newFacts, &id, error)) return false;
    record.File(id, "", nullptr, name, &newFacts);
    ++summary_->added;
  } else {
    Bytes delta =
        DeltaPayload(oldContent.data(), oldContent.size(), newContent.data(), newContent.size());
    FileFacts deltaFacts = FactsOf(delta.data(), delta.size());
    int32_t id = 0;
    if (!EmitPayload(delta.data(), delta.size(), deltaFacts, &id, error)) return false;
    record.File(id, name, &oldFacts, name, &newFacts);
    ++summary_->changed;
    if (oldContent == newContent) ++summary_->unchanged;
  }
  records_.emplace_back(name, record.Bytes());
  return true;
}

std::string Builder::CarryOverName(const std::string& archiveName, const std::string& memberName) {
  // The rebuild looks for "<archive's folder path without .zt4>/<member without '/'>":
  // a member with a further '/' would be looked for in another archive.
  if (memberName.size() < 2 || memberName[0] != '/' ||
      memberName.find('/', 1) != std::string::npos) {
    return std::string();
  }
  std::string base = archiveName.substr(0, archiveName.size() - (sizeof kArchiveSuffix - 1));
  std::string oldName = base + memberName;
  // A name that is not an ordinary file name on every system could resolve elsewhere.
  if (base.empty() || !NameProblem(oldName).empty() || LastSeparator(oldName) != base.size()) {
    return std::string();
  }
  return oldName;
}

bool Builder::ResolveOld(const std::string& oldName, Bytes* content) {
  std::string ignored;
  // A plain file under the address always wins.
  if (old_.FindFile(oldName))
    return ReadWholeFile(options_.oldDir + "/" + oldName, content, &ignored);
  // One that only differs in case wins on Windows but not elsewhere; a folder there is
  // opened by POSIX but not by Windows.
  if (foldedOld_.count(FoldCase(oldName)) || old_.HasFolder(oldName)) return false;
  size_t slash = LastSeparator(oldName);
  std::string archiveName = oldName.substr(0, slash) + kArchiveSuffix;
  if (!old_.FindFile(archiveName)) return false;
  auto& archive = oldArchives_[archiveName];
  if (!archive) {
    archive = std::make_unique<Archive>();
    archive->Open(PoolString((options_.oldDir + "/" + archiveName).c_str()));
  }
  if (!archive->IsOpen()) return false;
  Owned member;
  if (!archive->Extract(PoolString(oldName.c_str() + slash), &member.data, &member.size)) {
    return false;
  }
  content->assign(member.data, member.data + member.size);
  return true;
}

bool Builder::PlanMembers(const std::string& name, const std::vector<IndexRecord>& order,
                          const FileFacts& archiveFacts, std::vector<MemberPlan>* members,
                          std::string* reason, std::string* error) {
  std::set<std::string> seen;
  for (const IndexRecord& record : order) {
    if (record.name.empty() || record.name[0] != '/') {
      *reason = "member " + Shown(record.name) + " does not begin with '/'";
      return false;
    }
    if (!seen.insert(record.name).second) {
      *reason = "member " + Shown(record.name) + " is listed twice";
      return false;
    }
    MemberPlan plan;
    plan.memberName = record.name;
    // "x" for "/x"; "//x" keeps its first '/', which the rebuild takes off again.
    plan.newName = record.name[1] == '/' ? record.name : record.name.substr(1);
    if (!IsSafeRelativeName(plan.newName.c_str(), true)) {
      *reason = "member " + Shown(record.name) + " has a name the applier refuses";
      return false;
    }
    members->push_back(plan);
  }

  Archive archive;
  std::string path = options_.newDir + "/" + name;
  if (!members->empty() && !archive.Open(PoolString(path.c_str()))) {
    *reason = "it cannot be opened as an archive";
    return false;
  }
  // Rebuild it the way the applier will: members added in this order, each whole.
  std::string rebuilt = options_.outPath + ".rebuild.tmp";
  bool reproduced = false;
  {
    ArchiveWriter writer;
    if (!writer.Create(PoolString(rebuilt.c_str()))) {
      *error = Shown(rebuilt) + ": the file cannot be created";
      return false;
    }
    for (MemberPlan& plan : *members) {
      Owned content;
      if (!archive.Extract(PoolString(plan.memberName.c_str()), &content.data, &content.size)) {
        *reason = "member " + Shown(plan.memberName) + " cannot be read";
        writer.Finish();
        RemoveTree(rebuilt);
        return false;
      }
      plan.facts = FactsOf(content.data, static_cast<size_t>(content.size));
      if (!writer.Add(content.data, static_cast<uint32_t>(content.size),
                      PoolString::Formatted(
                          "/%s", plan.newName.c_str() + (plan.newName[0] == '/' ? 1 : 0)))) {
        *error = Shown(rebuilt) + ": the file cannot be written";
        writer.Finish();
        RemoveTree(rebuilt);
        return false;
      }
      std::string oldName = CarryOverName(name, plan.memberName);
      Bytes old;
      if (!oldName.empty() && ResolveOld(oldName, &old) &&
          old.size() == static_cast<size_t>(content.size) &&
          (old.empty() || std::memcmp(old.data(), content.data, old.size()) == 0)) {
        plan.oldName = oldName;
      }
    }
    if (!writer.Finish()) {
      *error = Shown(rebuilt) + ": the file cannot be written";
      RemoveTree(rebuilt);
      return false;
    }
  }
  Bytes again;
  if (!ReadWholeFile(rebuilt, &again, error)) {
    RemoveTree(rebuilt);
    return false;
  }
  RemoveTree(rebuilt);
  FileFacts againFacts = FactsOf(again.data(), again.size());
  reproduced = againFacts.key == archiveFacts.key;
  if (!reproduced) {
    *reason =
        "its members rebuild to other bytes (written by another writer, or data out of order)";
    return false;
  }
  return true;
}

bool Builder::DescribeArchive(const std::string& name, std::string* reason, std::string* error) {
  std::vector<IndexRecord> index;
  FileFacts archiveFacts;
  {
    Bytes whole;
    if (!ReadWholeFile(options_.newDir + "/" + name, &whole, error)) return false;
    archiveFacts = FactsOf(whole.data(), whole.size());
    if (!ParseArchiveIndex(whole, &index)) {
      *reason = "it is not a readable archive";
      return false;
    }
  }
  std::vector<MemberPlan> members;
  bool planned = PlanMembers(name, DataOrder(index), archiveFacts, &members, reason, error);
  oldArchives_.clear();
  if (!planned) return false;

  std::string path = options_.newDir + "/" + name;
  Archive source;  // opened for the first member that ships whole
  ListBytes record;
  record.Int(-1).Text(kGroupMarker).Text(name).Int(archiveFacts.size).Text(archiveFacts.digest);
  for (const MemberPlan& plan : members) {
    if (!plan.oldName.empty()) {
      record.File(0, plan.oldName, &plan.facts, plan.newName, &plan.facts);
      ++summary_->membersCarried;
      continue;
    }
    int32_t id = 0;
    auto known = payloadIds_.find(plan.facts.key);
    if (known != payloadIds_.end()) {
      id = known->second;
    } else {
      Owned content;
      if ((!source.IsOpen() && !source.Open(PoolString(path.c_str()))) ||
          !source.Extract(PoolString(plan.memberName.c_str()), &content.data, &content.size)) {
        *error = Shown(path) + ": member " + Shown(plan.memberName) + " cannot be read";
        return false;
      }
      if (!EmitPayload(content.data, static_cast<size_t>(content.size), plan.facts, &id, error)) {
        return false;
      }
    }
    record.File(id, "", nullptr, plan.newName, &plan.facts);
    ++summary_->membersFromPatch;
  }
  record.Int(-1).Text(kEndMarker);
  records_.emplace_back(name, record.Bytes());
  ++summary_->groups;
  return true;
}

bool Builder::Describe(const std::string& name, std::string* error) {
  const TreeFile* oldFile = old_.FindFile(name);
  const TreeFile* newFile = new_.FindFile(name);
  bool isArchive = newFile && name.size() > sizeof kArchiveSuffix - 1 &&
                   name.compare(name.size() - (sizeof kArchiveSuffix - 1), std::string::npos,
                                kArchiveSuffix) == 0;
  if (isArchive) {
    std::string reason;
    if (DescribeArchive(name, &reason, error)) return true;
    if (reason.empty()) return false;
    Warn(Shown(name) + ": " + reason + "; shipped as an ordinary file");
    ++summary_->archivesAsFiles;
  }
  return DescribeFile(name, oldFile, newFile, error);
}

bool Builder::Run(std::string* error) {
  if (!ScanAndCheck(error)) return false;
  std::set<std::string> names;
  for (const TreeFile& file : old_.files) names.insert(file.name);
  for (const TreeFile& file : new_.files) {
    names.insert(file.name);
    summary_->newBytes += static_cast<uint64_t>(file.size);
  }
  filesTotal_ = names.size();
  for (const std::string& name : names) {
    const TreeFile* newFile = new_.FindFile(name);
    const TreeFile* file = newFile ? newFile : old_.FindFile(name);
    bytesTotal_ += static_cast<uint64_t>(file->size);
  }

  if (!writer_.Create(PoolString(options_.outPath.c_str()))) {
    *error = Shown(options_.outPath) + ": the patch cannot be created";
    return false;
  }
  bool ok = true;
  for (const std::string& name : names) {
    Progress(false);
    if (!Describe(name, error)) {
      ok = false;
      break;
    }
    ++filesDone_;
    const TreeFile* newFile = new_.FindFile(name);
    bytesDone_ += static_cast<uint64_t>((newFile ? newFile : old_.FindFile(name))->size);
  }
  if (ok) {
    Progress(true);
    // Sorted by name: the same inputs give the same patch bytes.
    std::sort(records_.begin(), records_.end());
    std::string list;
    for (const auto& record : records_) list += record.second;
    if (!writer_.Add(reinterpret_cast<const uint8_t*>(list.data()),
                     static_cast<uint32_t>(list.size()), PoolString("/list")) ||
        !writer_.Finish()) {
      *error = Shown(options_.outPath) + ": the patch cannot be written";
      ok = false;
    }
  }
  if (!ok) {
    if (progressShown_ && options_.messages) std::fputc('\n', options_.messages);
    writer_.Finish();
    RemoveTree(options_.outPath);
    return false;
  }
  FileHandle out = Os().OpenFile(options_.outPath.c_str(), kOpenRead);
  if (out != kNoFile) {
    summary_->patchBytes = static_cast<uint64_t>(Os().FileSize(out));
    Os().CloseFile(out);
  }
  return true;
}

}  // namespace

bool BuildPatch(const BuildOptions& options, BuildSummary* summary, std::string* error) {
  *summary = BuildSummary();
  Builder builder(options, summary);
  return builder.Run(error);
}

std::string FormatSummary(const BuildSummary& s) {
  int entries = s.changed + s.added + s.removed + s.groups;
  std::string text = std::to_string(entries) + " entries: " + std::to_string(s.changed) +
                     " changed (" + std::to_string(s.unchanged) + " of them unchanged), " +
                     std::to_string(s.added) + " added, " + std::to_string(s.removed) +
                     " removed, " + std::to_string(s.groups) + " archives rebuilt (" +
                     std::to_string(s.membersCarried) + " members carried over, " +
                     std::to_string(s.membersFromPatch) + " from the patch)";
  if (s.archivesAsFiles > 0) {
    text += ", " + std::to_string(s.archivesAsFiles) + " archives shipped as files";
  }
  text += "\npayloads: " + std::to_string(s.payloads) + " members, " + Megabytes(s.payloadBytes) +
          " before coding\npatch: " + Megabytes(s.patchBytes);
  if (s.newBytes > 0) {
    char ratio[64];
    std::snprintf(ratio, sizeof ratio, " = %.2f%% of the new install (%s)",
                  100.0 * static_cast<double>(s.patchBytes) / static_cast<double>(s.newBytes),
                  Megabytes(s.newBytes).c_str());
    text += ratio;
  }
  if (!s.warnings.empty()) text += "\nwarnings: " + std::to_string(s.warnings.size());
  return text + "\n";
}

Bytes DeltaPayload(const uint8_t* oldData, size_t oldSize, const uint8_t* newData, size_t newSize) {
  size_t common = std::min(oldSize, newSize);
  auto differs = [&](size_t i) { return (i < common ? oldData[i] : 0) != newData[i]; };
  constexpr size_t kHeader = 8;
  Bytes payload;
  auto emit = [&](size_t begin, size_t end) {
    uint8_t header[kHeader];
    PutU32(header, static_cast<uint32_t>(begin));
    PutU32(header + 4, static_cast<uint32_t>(end - begin));
    payload.insert(payload.end(), header, header + kHeader);
    payload.insert(payload.end(), newData + begin, newData + end);
  };
  size_t runBegin = 0;
  size_t runEnd = 0;
  bool open = false;
  size_t i = 0;
  while (i < newSize) {
    // Skip equal bytes a block at a time.
    if (i < common) {
      size_t chunk = std::min<size_t>(common - i, 4096);
      if (std::memcmp(oldData + i, newData + i, chunk) == 0) {
        i += chunk;
        continue;
      }
    }
    if (!differs(i)) {
      ++i;
      continue;
    }
    size_t begin = i;
    while (i < newSize && differs(i)) ++i;
    // Runs closer than a record header cost less as one record.
    if (open && begin - runEnd < kHeader) {
      runEnd = i;
    } else {
      if (open) emit(runBegin, runEnd);
      runBegin = begin;
      runEnd = i;
      open = true;
    }
  }
  if (open) emit(runBegin, runEnd);
  // An empty payload would be a member of 0 bytes; one empty record is read by any applier.
  if (payload.empty()) payload.assign(kHeader, 0);
  return payload;
}

bool ApplyDeltaPayload(const Bytes& payload, const uint8_t* oldData, size_t oldSize, size_t newSize,
                       Bytes* out) {
  out->assign(newSize, 0);
  if (std::min(oldSize, newSize) > 0) std::memcpy(out->data(), oldData, std::min(oldSize, newSize));
  size_t at = 0;
  while (at < payload.size()) {
    if (payload.size() - at < 8) return false;
    uint64_t offset = GetU32(payload.data() + at);
    uint64_t length = GetU32(payload.data() + at + 4);
    at += 8;
    if (payload.size() - at < length || offset + length > newSize) return false;
    if (length > 0) std::memcpy(out->data() + offset, payload.data() + at, length);
    at += length;
  }
  return true;
}

std::vector<IndexRecord> DataOrder(const std::vector<IndexRecord>& indexOrder) {
  std::vector<IndexRecord> order(indexOrder.rbegin(), indexOrder.rend());
  std::stable_sort(order.begin(), order.end(), [](const IndexRecord& a, const IndexRecord& b) {
    if (a.offset != b.offset) return a.offset < b.offset;
    return (a.storedSize > 0) < (b.storedSize > 0);
  });
  return order;
}

bool ParseArchiveIndex(const Bytes& file, std::vector<IndexRecord>* records) {
  records->clear();
  if (file.size() < static_cast<size_t>(kArchiveHeaderSize) || file.size() > INT32_MAX)
    return false;
  uint32_t size = static_cast<uint32_t>(file.size());
  if (GetU32(file.data()) != kArchiveMagic) return false;
  uint32_t indexOffset = GetU32(file.data() + 4);
  uint32_t indexSize = GetU32(file.data() + 8);
  uint32_t indexCrc = GetU32(file.data() + 12);
  if (indexOffset >= size || indexSize >= size) return false;
  RangeCodec codec;
  uint8_t* index =
      codec.DecompressAlloc(file.data() + indexOffset, static_cast<int32_t>(size - indexOffset),
                            static_cast<int32_t>(indexSize));
  if (!index) return false;
  std::unique_ptr<uint8_t, void (*)(void*)> owner(index, FreeBlock);
  if (Crc32(index, indexSize, 0) != indexCrc || indexSize < 4) return false;
  uint32_t count = GetU32(index);
  size_t at = 4;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(index + at, 0, indexSize - at));
    if (!end) return false;
    IndexRecord record;
    record.name.assign(reinterpret_cast<const char*>(index + at),
                       static_cast<size_t>(end - (index + at)));
    at = static_cast<size_t>(end - index) + 1;
    if (indexSize - at < 16) return false;
    record.storedSize = GetU32(index + at);
    record.contentSize = GetU32(index + at + 4);
    record.offset = GetU32(index + at + 8);
    record.crc = GetU32(index + at + 12);
    at += 16;
    records->push_back(record);
  }
  return at == indexSize;
}

}  // namespace zt4::builder
