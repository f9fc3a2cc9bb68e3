#include "zt4mkpatch/patch_builder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>

#include "base/heap.h"
#include "base/pool_string.h"
#include "base/stream.h"
#include "common/names.h"
#include "platform/platform.h"
#include "update/operations.h"
#include "zt4mkpatch/builder_parts.h"

namespace zt4::builder {
namespace {

// A name longer than this leaves an install folder too little of the 260-byte path limit
// once the backup folder's name is added.
constexpr size_t kLongName = 160;

// True when the bytes are those the writer makes of no members at all.
bool IsMemberlessArchive(const Bytes& file) {
  MemoryStream bytes;
  ArchiveWriter writer;
  if (!bytes.CreateBlock(64, true) || !writer.Create(&bytes) || !writer.Finish()) return false;
  return file.size() == static_cast<size_t>(bytes.Size()) &&
         std::memcmp(file.data(), bytes.Data(), file.size()) == 0;
}

}  // namespace

// The facts of a content hashed piece by piece.
FileFacts FactsOfHashed(Sha1& sha, uint64_t size) {
  FileFacts facts;
  facts.size = static_cast<int64_t>(size);
  uint8_t raw[20];
  sha.Finish(raw);
  DigestHex(raw, facts.digest);
  facts.key.assign(reinterpret_cast<const char*>(raw), sizeof raw);
  facts.key += std::to_string(size);
  return facts;
}

FileFacts FactsOf(const uint8_t* data, size_t size) {
  Sha1 sha;
  sha.Update(data, size);
  return FactsOfHashed(sha, size);
}

bool FactsOfFile(const std::string& path, FileFacts* facts) {
  FileHandle file = Os().OpenFile(path.c_str(), kOpenRead);
  if (file == kNoFile) return false;
  const int64_t size = Os().FileSize(file);
  constexpr int32_t kPiece = 4 << 20;
  Bytes piece(kPiece);
  Sha1 sha;
  int64_t done = 0;
  while (size >= 0 && done < size) {
    const auto want = static_cast<int32_t>(size - done < kPiece ? size - done : kPiece);
    if (Os().ReadFile(file, piece.data(), want) != want) break;
    sha.Update(piece.data(), static_cast<size_t>(want));
    done += want;
  }
  Os().CloseFile(file);
  if (size < 0 || done != size) return false;
  *facts = FactsOfHashed(sha, static_cast<uint64_t>(size));
  return true;
}

// One record of the description, as the parser reads it back.
std::string RecordBytes(PatchListWriter& record) {
  return std::string(reinterpret_cast<const char*>(record.Data()),
                     static_cast<size_t>(record.Size()));
}

void FileRecord(PatchListWriter& record, int32_t id, const std::string& oldName,
                const FileFacts* oldFacts, const std::string& newName, const FileFacts* newFacts) {
  record.Record(id, oldName.c_str(), oldFacts ? oldFacts->size : 0, oldFacts ? oldFacts->digest : "",
                newName.c_str(), newFacts ? newFacts->size : 0, newFacts ? newFacts->digest : "");
}

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

bool Builder::CheckNames(const TreeScan& scan, const std::string& root, bool newInstall,
                         std::string* error) {
  for (const std::string& item : scan.topLevel) {
    // A new item is held to the applier's own rule, which also knows the folder's 8.3
    // names; an old one only meets an earlier backup under the long name.
    bool backup = newInstall ? LeadsIntoBackupFolder(item.c_str())
                             : FoldCase(item) == FoldCase(kBackupFolderName);
    if (backup) {
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
    // The default form has 64-bit sizes; the strict form's are int32.
    if (options_.strict && file.size > INT32_MAX) {
      *error = Shown(root + "/" + file.name) +
               ": 2 GiB or larger, more than the strict form's sizes hold (the default form "
               "has no such limit)";
      return false;
    }
  }
  // A compact patch makes the empty folders of the new install: their names are held to
  // the rules of a file name.
  for (const std::string& folder : scan.emptyFolders) {
    if (!newInstall || options_.strict) break;
    std::string problem = NameProblem(folder);
    if (!problem.empty()) {
      *error = Shown(root + "/" + folder) + ": " + problem;
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
  if (!CheckNames(old_, options_.oldDir, false, error) ||
      !CheckNames(new_, options_.newDir, true, error)) {
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
    if (!options_.strict) break;  // a compact patch makes them
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
  if (old_.FindFile(oldName)) {
    return ReadWholeFile(options_.oldDir + "/" + oldName, content, &ignored);
  }
  // One that only differs in case wins on Windows but not elsewhere; a folder there is
  // opened by POSIX but not by Windows.
  if (foldedOld_.count(FoldCase(oldName)) || old_.HasFolder(oldName)) return false;
  PoolString archiveName;
  PoolString member;
  if (!ArchiveMemberOf(oldName.c_str(), &archiveName, &member) ||
      !old_.FindFile(archiveName.Text())) {
    return false;
  }
  auto& archive = oldArchives_[archiveName.Text()];
  if (!archive) {
    archive = std::make_unique<Archive>();
    archive->Open(PoolString((options_.oldDir + "/" + archiveName.Text()).c_str()));
  }
  ScopedBlock found;
  if (!archive->IsOpen() || !archive->Extract(member, &found.data, &found.size)) return false;
  content->assign(found.data, found.data + found.size);
  return true;
}

bool Builder::PlanMembers(const std::string& name, const std::vector<IndexRecord>& order,
                          const FileFacts& archiveFacts, Archive& archive,
                          std::vector<MemberPlan>* members, std::string* reason) {
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
  // Rebuild it in memory the way the applier will: members added in this order, each
  // whole, under the name the rebuild gives them.
  MemoryStream rebuilt;
  ArchiveWriter writer;
  if (!rebuilt.CreateBlock(1u << 16, true) || !writer.Create(&rebuilt)) {
    *reason = "memory ran short for its rebuild";
    return false;
  }
  for (MemberPlan& plan : *members) {
    ScopedBlock content;
    if (!archive.Extract(PoolString(plan.memberName.c_str()), &content.data, &content.size)) {
      *reason = "member " + Shown(plan.memberName) + " cannot be read";
      return false;
    }
    plan.facts = FactsOf(content.data, static_cast<size_t>(content.size));
    if (!writer.Add(content.data, static_cast<uint32_t>(content.size),
                    MemberNameOf(plan.newName.c_str()))) {
      *reason = "member " + Shown(plan.memberName) + " cannot be coded again";
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
    *reason = "memory ran short for its rebuild";
    return false;
  }
  FileFacts again = FactsOf(rebuilt.Data(), static_cast<size_t>(rebuilt.Size()));
  if (again.key != archiveFacts.key) {
    *reason =
        "its members rebuild to other bytes (written by another writer, or data out of order)";
    return false;
  }
  return true;
}

bool Builder::DescribeArchive(const std::string& name, std::string* reason, std::string* error) {
  Bytes whole;
  if (!ReadWholeFile(options_.newDir + "/" + name, &whole, error)) return false;
  FileFacts archiveFacts = FactsOf(whole.data(), whole.size());
  // The archive is read from the bytes just loaded; they outlive it.
  Archive archive;
  std::vector<IndexRecord> index;
  auto* bytes = new (std::nothrow) MemoryStream;
  if (!bytes) {
    *error = "out of memory";
    return false;
  }
  bytes->Attach(whole.data(), static_cast<uint32_t>(whole.size()), false);
  // Readers refuse an archive without members, but the writer makes one, and the
  // rebuild of a group without members writes exactly those bytes.
  bool memberless = !OpenWithRecords(bytes, &archive, &index) && IsMemberlessArchive(whole);
  if (!archive.IsOpen() && !memberless) {
    *reason = "it is not a readable archive";
    return false;
  }
  std::vector<MemberPlan> members;
  bool planned =
      memberless || PlanMembers(name, DataOrder(index), archiveFacts, archive, &members, reason);
  oldArchives_.clear();
  if (!planned) return false;
  if (!options_.strict) return DescribeArchiveCompact(name, members, archive, archiveFacts, error);
  return DescribeArchiveStrict(name, members, archive, archiveFacts, error);
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
  if (!options_.strict) return DescribeFileCompact(name, oldFile, newFile, error);
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
  bool ok = options_.strict || CatalogueOld(error);
  // The applier takes the entries in the reverse of the description's (sorted) order; a
  // compact patch is described in that order, so that a new file may be made from the
  // new files written before it.
  std::vector<std::string> order(names.begin(), names.end());
  if (!options_.strict) std::reverse(order.begin(), order.end());
  for (const std::string& name : order) {
    if (!ok) break;
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
    ok = FinishDeferred(error) && WriteDescription(error);
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

bool Builder::WriteDescription(std::string* error) {
  if (!options_.strict) {
    // Empty folders of the new install are made as such.
    for (const std::string& folder : new_.emptyFolders) {
      PatchListWriter record;
      record.Record(0, "", 0, "", folder.c_str(), 0, "").Content(ContentMethod::kFolder, 0);
      records_.emplace_back(folder, RecordBytes(record));
      ++summary_->folders;
    }
  }
  // Sorted by name: the same inputs give the same patch bytes.
  std::sort(records_.begin(), records_.end());
  std::string list;
  // Unchanged files next to each other in that order are one digest run.
  bool runs = digestRuns_;
  std::vector<PatchListWriter::RunItem> run;
  auto endRun = [&] {
    if (run.empty()) return;
    PatchListWriter record;
    record.Run("", run.data(), static_cast<int32_t>(run.size()));
    list += RecordBytes(record);
    run.clear();
    runs = true;
  };
  for (const auto& record : records_) {
    auto unchanged =
        record.second.empty() ? unchangedFiles_.find(record.first) : unchangedFiles_.end();
    if (unchanged != unchangedFiles_.end()) {
      run.push_back({record.first.c_str(), unchanged->second.size, unchanged->second.digest});
      continue;
    }
    endRun();
    list += record.second;
  }
  endRun();
  PatchListWriter compact;
  if (!options_.strict) {
    // Every file of both installs has a record, so a file past 2 GiB puts its size in one.
    bool wideSizes = false;
    for (const TreeScan* scan : {&old_, &new_}) {
      for (const TreeFile& file : scan->files) wideSizes = wideSizes || file.size > INT32_MAX;
    }
    compact.CompactHead(static_cast<int32_t>(summary_->budget),
                        reinterpret_cast<const uint8_t*>(list.data()),
                        static_cast<int32_t>(list.size()),
                        runs        ? kRunCompactVersion
                        : wideSizes ? kWideCompactVersion
                                    : kCompactVersion);
    if (!compact.Ok()) {
      *error = "out of memory";
      return false;
    }
    list.assign(reinterpret_cast<const char*>(compact.Data()), static_cast<size_t>(compact.Size()));
  }
  if (!writer_.Add(reinterpret_cast<const uint8_t*>(list.data()), static_cast<uint32_t>(list.size()),
                   PoolString("/list")) ||
      !writer_.Finish()) {
    *error = Shown(options_.outPath) + ": the patch cannot be written";
    return false;
  }
  return true;
}

bool BuildPatch(const BuildOptions& options, BuildSummary* summary, std::string* error) {
  *summary = BuildSummary();
  Builder builder(options, summary);
  return builder.Run(error);
}

std::vector<IndexRecord> DataOrder(const std::vector<IndexRecord>& indexOrder) {
  std::vector<IndexRecord> order(indexOrder.rbegin(), indexOrder.rend());
  std::stable_sort(order.begin(), order.end(), [](const IndexRecord& a, const IndexRecord& b) {
    if (a.offset != b.offset) return a.offset < b.offset;
    return (a.storedSize > 0) < (b.storedSize > 0);
  });
  return order;
}

}  // namespace zt4::builder
