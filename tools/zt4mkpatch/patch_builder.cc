#include "zt4mkpatch/patch_builder.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <thread>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <unordered_map>

#include "archive/archive.h"
#include "base/bytes.h"
#include "base/heap.h"
#include "base/pool_string.h"
#include "base/stream.h"
#include "codec/reference_codec.h"
#include "codec/sha1.h"
#include "common/names.h"
#include "platform/platform.h"
#include "update/delta_writer.h"
#include "update/operations.h"
#include "update/patch_list.h"
#include "update/patch_list_writer.h"
#include "zt4mkpatch/frame_pool.h"
#include "zt4mkpatch/reference_finder.h"

namespace zt4::builder {
namespace {

using namespace zt4::tool;

constexpr char kArchiveSuffix[] = ".zt4";
// A name longer than this leaves an install folder too little of the 260-byte path limit
// once the backup folder's name is added.
constexpr size_t kLongName = 160;

// One file's size and digest, as the list states them.
struct FileFacts {
  int32_t size = 0;
  char digest[41] = {};
  std::string key;  // raw SHA-1 and size: identical contents share one payload
};

// The facts of a content hashed piece by piece.
FileFacts FactsOfHashed(Sha1& sha, size_t size) {
  FileFacts facts;
  facts.size = static_cast<int32_t>(size);
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

constexpr size_t kReadWindow = 1 << 20;

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

// One member of a new archive as the group will name it.
struct MemberPlan {
  std::string memberName;  // in the archive: "/x"
  std::string newName;     // in the list; the rebuild makes "/" + it without a leading '/'
  std::string oldName;     // carried over from this address; empty: a payload
  FileFacts facts;
};

// True when the bytes are those the writer makes of no members at all.
bool IsMemberlessArchive(const Bytes& file) {
  MemoryStream bytes;
  ArchiveWriter writer;
  if (!bytes.CreateBlock(64, true) || !writer.Create(&bytes) || !writer.Finish()) return false;
  return file.size() == static_cast<size_t>(bytes.Size()) &&
         std::memcmp(file.data(), bytes.Data(), file.size()) == 0;
}

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
  bool DescribeBigChangedFile(const std::string& name, std::string* error);
  // The record of a file changed in place, made from its smallest delta.
  bool DescribeChanged(const std::string& name, const Bytes& delta, const FileFacts& oldFacts,
                       const FileFacts& newFacts, bool same, std::string* error);
  bool DescribeFile(const std::string& name, const TreeFile* oldFile, const TreeFile* newFile,
                    std::string* error);
  // For a new name without an old file: the old plain file that gives the smallest delta
  // (one of the same content, or of the same file name elsewhere), when that is smaller
  // than the whole content. False when none does.
  bool FindOldBase(const std::string& name, const Bytes& newContent, std::string* baseName,
                   Bytes* baseContent, Bytes* delta);
  // True with a group record, or false with *reason empty on a hard error (in *error) or
  // a reason why the archive cannot be rebuilt.
  bool DescribeArchive(const std::string& name, std::string* reason, std::string* error);
  bool PlanMembers(const std::string& name, const std::vector<IndexRecord>& order,
                   const FileFacts& archiveFacts, Archive& archive,
                   std::vector<MemberPlan>* members, std::string* reason);
  // The content the applier finds at `oldName` in the old install, if that address
  // resolves the same way on every system.
  bool ResolveOld(const std::string& oldName, Bytes* content);
  std::string CarryOverName(const std::string& archiveName, const std::string& memberName);
  bool EmitPayload(const uint8_t* data, size_t size, const FileFacts& facts, int32_t* id,
                   std::string* error);
  void Warn(const std::string& text);
  void Progress(bool last);

  // --- compact patches ---
  // An old content (a file, or a member of an old archive) or a new plain file written
  // before the entries that may be made from it.
  struct Content {
    ReferenceSide side = ReferenceSide::kOld;
    std::string file;
    std::string member;
    FileFacts facts;
    // A member of the archive being described, for the members after it only: its place.
    std::string group;
    int32_t place = -1;
  };
  bool CatalogueOld(std::string* error);
  // `copyable`: a new content that is this one may be copied from it.
  int32_t AddContent(ReferenceSide side, const std::string& file, const std::string& member,
                     const uint8_t* data, size_t size, bool copyable = true);
  bool ReadContent(const Content& content, Bytes* bytes);
  // The old content a new file or member most likely came from: the same address, else
  // one of the same file name. -1 for none.
  int32_t PrimaryContent(const std::string& file, const std::string& member);
  // How a new content is made: copied from a content, or from a zstd frame (written as a
  // payload) coded against the contents listed.
  struct ContentPlan {
    ContentMethod method = ContentMethod::kCopy;
    int32_t id = 0;
    int64_t ticket = -1;  // the frame being coded, until it is taken
    std::vector<int32_t> references;
  };
  // The frame of a plan, once coded, as a payload: the plan's id.
  bool TakeFrame(ContentPlan* plan, std::string* error);
  // Runs the records waiting for their frames, in the order they were described.
  bool FinishDeferred(std::string* error);
  bool PlanContent(int32_t primary, const uint8_t* data, size_t size, const FileFacts& facts,
                   ContentPlan* plan, std::string* error);
  void WriteContent(PatchListWriter& record, const ContentPlan& plan,
                    const std::string& ownOldFile = std::string());
  bool DescribeFileCompact(const std::string& name, const TreeFile* oldFile,
                           const TreeFile* newFile, std::string* error);
  bool DescribeArchiveCompact(const std::string& name, const std::vector<MemberPlan>& members,
                              Archive& archive, const FileFacts& archiveFacts, std::string* error);
  bool WriteDescription(std::string* error);

  const BuildOptions& options_;
  BuildSummary* summary_;
  TreeScan old_;
  TreeScan new_;
  std::unordered_map<std::string, int> foldedOld_;  // folded OLD file name -> count
  std::unordered_map<std::string, std::string> oldByContent_;  // content key -> an OLD name
  bool oldHashed_ = false;
  ArchiveWriter writer_;
  std::map<std::string, int32_t> payloadIds_;
  int32_t nextId_ = 0;
  std::vector<std::pair<std::string, std::string>> records_;  // name, record bytes
  std::map<std::string, std::unique_ptr<Archive>> oldArchives_;
  std::vector<Content> contents_;
  std::unordered_map<std::string, int32_t> contentByKey_;
  std::map<std::pair<std::string, std::string>, int32_t> oldContentAt_;
  std::unordered_map<std::string, std::vector<int32_t>> oldContentsNamed_;  // by file name
  std::map<std::string, std::unique_ptr<Archive>> catalogueArchives_;
  ReferenceFinder finder_;
  // The archive being described: for each member so far, the memory it leaves unused
  // (what it holds, and what is kept for later members, within the budget) and the last
  // member made from it.
  std::string group_;
  std::vector<int64_t> groupSlack_;
  std::vector<int32_t> groupLastUse_;
  std::unordered_map<int32_t, Bytes> groupContents_;  // its members' contents, by item
  FramePool frames_{std::thread::hardware_concurrency()};
  // Records whose frames are being coded: written, in order, when they are done.
  std::deque<std::function<bool(std::string*)>> deferred_;

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
    if (FoldCase(item) == FoldCase(kBackupFolderName)) {
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

bool Builder::DescribeBigChangedFile(const std::string& name, std::string* error) {
  FileStream oldFile;
  FileStream newFile;
  const std::string oldPath = options_.oldDir + "/" + name;
  const std::string newPath = options_.newDir + "/" + name;
  if (!oldFile.Open(PoolString(oldPath.c_str()), ReadMode) ||
      !newFile.Open(PoolString(newPath.c_str()), ReadMode)) {
    *error = Shown(name) + ": the file cannot be opened";
    return false;
  }
  const size_t oldSize = static_cast<size_t>(oldFile.Size());
  const size_t newSize = static_cast<size_t>(newFile.Size());
  std::vector<DeltaScanner> scanners;
  for (size_t gap : kDeltaMergeGaps) scanners.emplace_back(oldSize, gap);
  Sha1 oldHash;
  Sha1 newHash;
  Bytes oldWindow(kReadWindow);
  Bytes newWindow(kReadWindow);
  bool same = oldSize == newSize;
  for (size_t at = 0; at < std::max(oldSize, newSize); at += kReadWindow) {
    size_t oldCount = at < oldSize ? std::min(kReadWindow, oldSize - at) : 0;
    size_t newCount = at < newSize ? std::min(kReadWindow, newSize - at) : 0;
    const auto oldRead = static_cast<int32_t>(oldCount);
    const auto newRead = static_cast<int32_t>(newCount);
    if (oldFile.Read(oldWindow.data(), oldRead) != oldRead ||
        newFile.Read(newWindow.data(), newRead) != newRead) {
      *error = Shown(name) + ": the file cannot be read";
      return false;
    }
    oldHash.Update(oldWindow.data(), oldCount);
    newHash.Update(newWindow.data(), newCount);
    same = same && std::memcmp(oldWindow.data(), newWindow.data(), oldCount) == 0;
    for (DeltaScanner& scanner : scanners) {
      scanner.Feed(oldWindow.data(), newWindow.data(), newCount);
    }
    // Progress inside the file; the whole file is counted once it is described.
    bytesDone_ += std::max(oldCount, newCount);
    Progress(false);
  }
  bytesDone_ -= std::max(oldSize, newSize);
  std::vector<Bytes> payloads;
  for (DeltaScanner& scanner : scanners) payloads.push_back(scanner.Finish());
  Bytes delta = SmallestCoded(payloads);
  return DescribeChanged(name, delta, FactsOfHashed(oldHash, oldSize),
                         FactsOfHashed(newHash, newSize), same, error);
}

bool Builder::DescribeChanged(const std::string& name, const Bytes& delta,
                              const FileFacts& oldFacts, const FileFacts& newFacts, bool same,
                              std::string* error) {
  int32_t id = 0;
  if (!EmitPayload(delta.data(), delta.size(), FactsOf(delta.data(), delta.size()), &id, error)) {
    return false;
  }
  PatchListWriter record;
  FileRecord(record, id, name, &oldFacts, name, &newFacts);
  ++summary_->changed;
  if (same) ++summary_->unchanged;
  if (!record.Ok()) {
    *error = "out of memory";
    return false;
  }
  records_.emplace_back(name, RecordBytes(record));
  return true;
}

bool Builder::DescribeFile(const std::string& name, const TreeFile* oldFile,
                           const TreeFile* newFile, std::string* error) {
  // A changed file this big is never held whole.
  if (oldFile && newFile && std::max(oldFile->size, newFile->size) >= options_.windowedFileBytes) {
    return DescribeBigChangedFile(name, error);
  }
  Bytes oldContent;
  Bytes newContent;
  if (oldFile && !ReadWholeFile(options_.oldDir + "/" + name, &oldContent, error)) return false;
  if (newFile && !ReadWholeFile(options_.newDir + "/" + name, &newContent, error)) return false;
  FileFacts oldFacts = FactsOf(oldContent.data(), oldContent.size());
  FileFacts newFacts = FactsOf(newContent.data(), newContent.size());
  if (oldFile && newFile) {
    Bytes delta = SmallestDeltaPayload(oldContent.data(), oldContent.size(), newContent.data(),
                                       newContent.size());
    return DescribeChanged(name, delta, oldFacts, newFacts, oldContent == newContent, error);
  }
  PatchListWriter record;
  if (!newFile) {
    // Verified before the update, then left in the backup folder.
    FileRecord(record, 0, name, &oldFacts, "", nullptr);
    ++summary_->removed;
  } else {
    std::string base;
    Bytes delta;
    int32_t id = 0;
    if (FindOldBase(name, newContent, &base, &oldContent, &delta)) {
      // Moved, renamed or copied: rebuilt from that old file, which the update verifies
      // and keeps in the backup folder like any other.
      oldFacts = FactsOf(oldContent.data(), oldContent.size());
      if (!EmitPayload(delta.data(), delta.size(), FactsOf(delta.data(), delta.size()), &id, error)) {
        return false;
      }
      FileRecord(record, id, base, &oldFacts, name, &newFacts);
      ++summary_->changed;
      ++summary_->rebased;
    } else {
      if (!EmitPayload(newContent.data(), newContent.size(), newFacts, &id, error)) return false;
      FileRecord(record, id, "", nullptr, name, &newFacts);
      ++summary_->added;
    }
  }
  if (!record.Ok()) {
    *error = "out of memory";
    return false;
  }
  records_.emplace_back(name, RecordBytes(record));
  return true;
}

bool Builder::FindOldBase(const std::string& name, const Bytes& newContent, std::string* baseName,
                          Bytes* baseContent, Bytes* delta) {
  std::string ignored;
  if (!oldHashed_) {
    oldHashed_ = true;
    Bytes content;
    for (const TreeFile& file : old_.files) {
      if (ReadWholeFile(options_.oldDir + "/" + file.name, &content, &ignored)) {
        oldByContent_.emplace(FactsOf(content.data(), content.size()).key, file.name);
      }
    }
  }
  std::vector<std::string> candidates;
  auto same = oldByContent_.find(FactsOf(newContent.data(), newContent.size()).key);
  if (same != oldByContent_.end()) candidates.push_back(same->second);
  const std::string fileName = name.substr(LastSeparator(name) + 1);
  for (const TreeFile& file : old_.files) {
    size_t slash = LastSeparator(file.name);
    if (file.name.compare(slash + 1, std::string::npos, fileName) == 0) {
      candidates.push_back(file.name);
    }
  }
  size_t best = newContent.size();  // what the whole file costs
  Bytes content;
  for (const std::string& candidate : candidates) {
    if (!ReadWholeFile(options_.oldDir + "/" + candidate, &content, &ignored)) continue;
    Bytes payload =
        SmallestDeltaPayload(content.data(), content.size(), newContent.data(), newContent.size());
    if (payload.size() < best) {
      best = payload.size();
      *baseName = candidate;
      *baseContent = content;
      *delta = std::move(payload);
    }
  }
  return !baseName->empty();
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
    const char* rebuiltName = plan.newName.c_str() + (plan.newName[0] == '/' ? 1 : 0);
    if (!writer.Add(content.data, static_cast<uint32_t>(content.size),
                    PoolString::Formatted("/%s", rebuiltName))) {
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

  PatchListWriter record;
  record.GroupBegin(name.c_str(), archiveFacts.size, archiveFacts.digest);
  for (const MemberPlan& plan : members) {
    if (!plan.oldName.empty()) {
      FileRecord(record, 0, plan.oldName, &plan.facts, plan.newName, &plan.facts);
      ++summary_->membersCarried;
      continue;
    }
    int32_t id = 0;
    auto known = payloadIds_.find(plan.facts.key);
    if (known != payloadIds_.end()) {
      id = known->second;
    } else {
      ScopedBlock content;
      if (!archive.Extract(PoolString(plan.memberName.c_str()), &content.data, &content.size)) {
        *error = Shown(options_.newDir + "/" + name) + ": member " + Shown(plan.memberName) +
                 " cannot be read";
        return false;
      }
      if (!EmitPayload(content.data, static_cast<size_t>(content.size), plan.facts, &id, error)) {
        return false;
      }
    }
    FileRecord(record, id, "", nullptr, plan.newName, &plan.facts);
    ++summary_->membersFromPatch;
  }
  record.GroupEnd();
  if (!record.Ok()) {
    *error = "out of memory";
    return false;
  }
  records_.emplace_back(name, RecordBytes(record));
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
  for (const auto& record : records_) list += record.second;
  PatchListWriter compact;
  if (!options_.strict) {
    compact.CompactHead(static_cast<int32_t>(summary_->budget),
                        reinterpret_cast<const uint8_t*>(list.data()),
                        static_cast<int32_t>(list.size()));
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

int32_t Builder::AddContent(ReferenceSide side, const std::string& file, const std::string& member,
                            const uint8_t* data, size_t size, bool copyable) {
  Content content;
  content.side = side;
  content.file = file;
  content.member = member;
  content.facts = FactsOf(data, size);
  auto index = static_cast<int32_t>(contents_.size());
  if (copyable) contentByKey_.emplace(content.facts.key, index);
  if (side == ReferenceSide::kOld) {
    oldContentAt_[{file, member}] = index;
    const std::string& path = member.empty() ? file : member;
    oldContentsNamed_[path.substr(LastSeparator(path) + 1)].push_back(index);
  }
  contents_.push_back(std::move(content));
  finder_.Add(data, size);  // numbered as contents_
  return index;
}

bool Builder::CatalogueOld(std::string* error) {
  summary_->compact = true;
  int64_t largest = 0;
  for (const TreeScan* scan : {&old_, &new_}) {
    for (const TreeFile& file : scan->files) largest = std::max<int64_t>(largest, file.size);
  }
  Bytes content;
  for (const TreeFile& file : old_.files) {
    if (!ReadWholeFile(options_.oldDir + "/" + file.name, &content, error)) return false;
    AddContent(ReferenceSide::kOld, file.name, "", content.data(), content.size());
    if (file.name.size() <= sizeof kArchiveSuffix - 1 ||
        file.name.compare(file.name.size() - (sizeof kArchiveSuffix - 1), std::string::npos,
                          kArchiveSuffix) != 0) {
      continue;
    }
    // The members of an old archive are contents too: a changed member is coded against
    // its old content, not against the archive's coded bytes.
    auto archive = std::make_unique<Archive>();
    std::vector<IndexRecord> index;
    auto* stream = new (std::nothrow) FileStream;
    if (!stream || !stream->Open(PoolString((options_.oldDir + "/" + file.name).c_str()), ReadMode)) {
      delete stream;
      continue;
    }
    if (!OpenWithRecords(stream, archive.get(), &index)) continue;
    for (const IndexRecord& record : index) {
      ScopedBlock member;
      if (record.name.empty() || record.name[0] != '/' ||
          !IsSafeRelativeName(record.name.c_str(), true) ||
          !archive->Extract(PoolString(record.name.c_str()), &member.data, &member.size)) {
        continue;
      }
      largest = std::max<int64_t>(largest, member.size);
      AddContent(ReferenceSide::kOld, file.name, record.name, member.data,
                 static_cast<size_t>(member.size));
    }
    catalogueArchives_[file.name] = std::move(archive);
  }
  int64_t budget = options_.budget > 0 ? options_.budget : std::max(2 * largest, kLeastBudget);
  summary_->budget = std::min<int64_t>(budget, INT32_MAX);
  return true;
}

bool Builder::ReadContent(const Content& content, Bytes* bytes) {
  if (!content.group.empty()) {
    auto held = groupContents_.find(static_cast<int32_t>(&content - contents_.data()));
    if (held == groupContents_.end()) return false;
    *bytes = held->second;
    return true;
  }
  std::string ignored;
  const std::string& root = content.side == ReferenceSide::kOld ? options_.oldDir : options_.newDir;
  if (content.member.empty()) return ReadWholeFile(root + "/" + content.file, bytes, &ignored);
  auto found = catalogueArchives_.find(content.file);
  ScopedBlock member;
  if (found == catalogueArchives_.end() ||
      !found->second->Extract(PoolString(content.member.c_str()), &member.data, &member.size)) {
    return false;
  }
  bytes->assign(member.data, member.data + member.size);
  return true;
}

int32_t Builder::PrimaryContent(const std::string& file, const std::string& member) {
  auto same = oldContentAt_.find({file, member});
  if (same != oldContentAt_.end()) return same->second;
  const std::string& path = member.empty() ? file : member;
  auto named = oldContentsNamed_.find(path.substr(LastSeparator(path) + 1));
  return named == oldContentsNamed_.end() ? -1 : named->second.front();
}

void Builder::WriteContent(PatchListWriter& record, const ContentPlan& plan,
                           const std::string& ownOldFile) {
  // A file copied from its own old file names no reference: the reader knows it.
  if (plan.method == ContentMethod::kCopy && !ownOldFile.empty() &&
      contents_[plan.references[0]].side == ReferenceSide::kOld &&
      contents_[plan.references[0]].member.empty() &&
      contents_[plan.references[0]].file == ownOldFile) {
    record.Content(plan.method, 0);
    return;
  }
  record.Content(plan.method, static_cast<int32_t>(plan.references.size()));
  for (int32_t index : plan.references) {
    const Content& content = contents_[index];
    ContentReference reference;
    reference.side = content.side;
    reference.file = content.file.c_str();
    reference.member = content.member.c_str();
    reference.size = content.facts.size;
    reference.digest = content.facts.digest;
    record.Reference(reference);
  }
}

bool Builder::PlanContent(int32_t primary, const uint8_t* data, size_t size, const FileFacts& facts,
                          ContentPlan* plan, std::string* error) {
  *plan = ContentPlan();
  // An old content (or a new one written before) unchanged: copied.
  int32_t same = primary >= 0 && contents_[primary].facts.key == facts.key ? primary : -1;
  if (same < 0) {
    auto found = contentByKey_.find(facts.key);
    if (found != contentByKey_.end()) same = found->second;
  }
  if (same >= 0) {
    plan->references.push_back(same);
    ++summary_->copies;
    if (!group_.empty()) {
      groupSlack_.push_back(summary_->budget - facts.size);
      groupLastUse_.push_back(-1);
    }
    return true;
  }
  // The most similar contents that fit the budget beside the new one, the primary last:
  // nearest to the content, where the frame reaches it cheapest.
  plan->method = ContentMethod::kZstd;
  std::vector<int32_t>& chosen = plan->references;
  int64_t held = static_cast<int64_t>(size);
  if (primary >= 0 && held + contents_[primary].facts.size <= summary_->budget) {
    held += contents_[primary].facts.size;
    chosen.push_back(primary);
  }
  // Others only for what the primary lacks: a frame codes against every byte of its
  // references, so one that adds little costs time for nothing.
  // One in 2 000 of the content's samples: on a package whose bundles share most of their
  // code, the new code another new bundle has halved what was left above the tar-level
  // zstd figure.
  // One in 2 000 of the content's samples: on a package whose bundles share most of
  // their code, taking the new code another new bundle holds halved the distance to the
  // tar-level zstd figure.
  constexpr double kWorthSharing = 0.0005;
  const size_t room = static_cast<size_t>(kMaxReferences) - chosen.size();
  const auto place = static_cast<int32_t>(groupSlack_.size());
  int64_t kept = 0;  // earlier members of the archive kept for this one
  for (int32_t item : finder_.Covering(data, size, primary, room, kWorthSharing)) {
    const Content& content = contents_[item];
    const int64_t bytes = content.facts.size;
    // A member is decoded whole each time a frame is made from it: on an archived package
    // whose bundles share code, old ones saved 2 % of the patch and made its apply slower
    // than the strict patch's.
    if (content.group.empty() && !content.member.empty()) continue;
    if (!content.group.empty() && content.group != group_) continue;
    if (held + kept + bytes > summary_->budget) continue;
    if (!content.group.empty()) {
      // An earlier member of this archive is kept from its making to here, beside what
      // each member between holds.
      if (held + kept + 2 * bytes > summary_->budget) continue;
      const int32_t from = std::max(groupLastUse_[content.place], content.place) + 1;
      bool fits = true;
      for (int32_t k = from; k < place && fits; ++k) fits = groupSlack_[k] >= bytes;
      if (!fits) continue;
      for (int32_t k = from; k < place; ++k) groupSlack_[k] -= bytes;
      groupLastUse_[content.place] = place;
      kept += bytes;
      ++summary_->earlierMembers;
    }
    held += bytes;
    chosen.insert(chosen.begin(), item);
  }
  if (!group_.empty()) {
    groupSlack_.push_back(summary_->budget - held - kept);
    groupLastUse_.push_back(-1);
  }
  Bytes references;
  Bytes one;
  for (int32_t index : chosen) {
    if (!ReadContent(contents_[index], &one)) {
      *error = Shown(contents_[index].file) + ": cannot be read again";
      return false;
    }
    references.insert(references.end(), one.begin(), one.end());
  }
  // Compiled code and binary data, where addresses shift all over: a text has no zero
  // bytes, a binary file has many.
  const bool binary = static_cast<size_t>(std::count(data, data + size, 0)) * 1000 >= size;
  plan->ticket =
      frames_.Submit(Bytes(data, data + size), std::move(references), options_.level, binary);
  ++summary_->frames;
  summary_->references += static_cast<int>(chosen.size());
  return true;
}

bool Builder::TakeFrame(ContentPlan* plan, std::string* error) {
  if (plan->ticket < 0) return true;
  std::optional<FramePool::Frame> frame = frames_.Take(plan->ticket);
  plan->ticket = -1;
  if (!frame) {
    *error = "zstd could not code a content (out of memory?)";
    return false;
  }
  if (frame->diff) {
    plan->method = ContentMethod::kDiff;
    ++summary_->diffs;
  }
  const Bytes& bytes = frame->bytes;
  return EmitPayload(bytes.data(), bytes.size(), FactsOf(bytes.data(), bytes.size()), &plan->id,
                     error);
}

bool Builder::FinishDeferred(std::string* error) {
  while (!deferred_.empty()) {
    std::function<bool(std::string*)> finish = std::move(deferred_.front());
    deferred_.pop_front();
    if (!finish(error)) return false;
  }
  return true;
}

bool Builder::DescribeFileCompact(const std::string& name, const TreeFile* oldFile,
                                  const TreeFile* newFile, std::string* error) {
  PatchListWriter record;
  FileFacts oldFacts;
  if (oldFile) {
    auto at = oldContentAt_.find({name, ""});
    if (at == oldContentAt_.end()) {
      *error = Shown(options_.oldDir + "/" + name) + ": not read";
      return false;
    }
    oldFacts = contents_[at->second].facts;
  }
  if (!newFile) {
    // Verified before the update, then left in the backup folder.
    FileRecord(record, 0, name, &oldFacts, "", nullptr);
    record.Content(ContentMethod::kCopy, 0);
    ++summary_->removed;
  } else {
    Bytes content;
    if (!ReadWholeFile(options_.newDir + "/" + name, &content, error)) return false;
    FileFacts newFacts = FactsOf(content.data(), content.size());
    ContentPlan plan;
    if (!PlanContent(PrimaryContent(name, ""), content.data(), content.size(), newFacts, &plan,
                     error)) {
      return false;
    }
    if (oldFile) {
      ++summary_->changed;
      if (oldFacts.key == newFacts.key) ++summary_->unchanged;
    } else {
      ++summary_->added;
    }
    // Written by the time the entries described after it are applied.
    if (plan.method != ContentMethod::kCopy) {
      AddContent(ReferenceSide::kNew, name, "", content.data(), content.size());
    }
    deferred_.push_back([this, name, oldFile, oldFacts, newFacts, plan](std::string* error) mutable {
      if (!TakeFrame(&plan, error)) return false;
      PatchListWriter record;
      FileRecord(record, plan.id, oldFile ? name : "", oldFile ? &oldFacts : nullptr, name,
                 &newFacts);
      WriteContent(record, plan, oldFile ? name : "");
      if (!record.Ok()) {
        *error = "out of memory";
        return false;
      }
      records_.emplace_back(name, RecordBytes(record));
      return true;
    });
    return true;
  }
  if (!record.Ok()) {
    *error = "out of memory";
    return false;
  }
  records_.emplace_back(name, RecordBytes(record));
  return true;
}

bool Builder::DescribeArchiveCompact(const std::string& name, const std::vector<MemberPlan>& members,
                                     Archive& archive, const FileFacts& archiveFacts,
                                     std::string* error) {
  std::vector<ContentPlan> plans(members.size());
  group_ = name;
  groupSlack_.clear();
  groupLastUse_.clear();
  for (size_t i = 0; i < members.size(); ++i) {
    const MemberPlan& member = members[i];
    ScopedBlock content;
    if (!archive.Extract(PoolString(member.memberName.c_str()), &content.data, &content.size)) {
      *error = Shown(options_.newDir + "/" + name) + ": member " + Shown(member.memberName) +
               " cannot be read";
      return false;
    }
    if (!PlanContent(PrimaryContent(name, member.memberName), content.data,
                     static_cast<size_t>(content.size), member.facts, &plans[i], error)) {
      return false;
    }
    if (plans[i].method == ContentMethod::kCopy) {
      ++summary_->membersCarried;
    } else {
      ++summary_->membersFromPatch;
      // The members after it may be made from it: the rebuild keeps it for them.
      int32_t item = AddContent(ReferenceSide::kNew, name, member.memberName, content.data,
                                static_cast<size_t>(content.size), false);
      contents_[item].group = name;
      contents_[item].place = static_cast<int32_t>(i);
      groupContents_[item].assign(content.data, content.data + content.size);
    }
  }
  group_.clear();
  groupContents_.clear();
  ++summary_->groups;
  deferred_.push_back(
      [this, name, members, archiveFacts, plans](std::string* error) mutable {
        PatchListWriter record;
        record.GroupBegin(name.c_str(), archiveFacts.size, archiveFacts.digest);
        for (size_t i = 0; i < members.size(); ++i) {
          if (!TakeFrame(&plans[i], error)) return false;
          FileRecord(record, plans[i].id, "", nullptr, members[i].newName, &members[i].facts);
          WriteContent(record, plans[i]);
        }
        record.GroupEnd();
        if (!record.Ok()) {
          *error = "out of memory";
          return false;
        }
        records_.emplace_back(name, RecordBytes(record));
        return true;
      });
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
                     " changed (" + std::to_string(s.unchanged) + " of them unchanged, " +
                     std::to_string(s.rebased) + " from another old file), " +
                     std::to_string(s.added) + " added, " + std::to_string(s.removed) +
                     " removed, " + std::to_string(s.groups) + " archives rebuilt (" +
                     std::to_string(s.membersCarried) + " members carried over, " +
                     std::to_string(s.membersFromPatch) + " from the patch)";
  if (s.archivesAsFiles > 0) {
    text += ", " + std::to_string(s.archivesAsFiles) + " archives shipped as files";
  }
  if (s.compact) {
    char budget[32];
    std::snprintf(budget, sizeof budget, "%.0f MiB", static_cast<double>(s.budget) / (1 << 20));
    text += "\ncompact: " + std::to_string(s.copies) + " contents copied, " +
            std::to_string(s.frames) + " made from zstd frames (" + std::to_string(s.diffs) +
            " of an approximate-match diff) against " +
            std::to_string(s.references) + " references (" + std::to_string(s.earlierMembers) +
            " of them earlier members of the same archive), " + std::to_string(s.folders) +
            " empty folders; memory budget " + budget;
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

std::vector<IndexRecord> DataOrder(const std::vector<IndexRecord>& indexOrder) {
  std::vector<IndexRecord> order(indexOrder.rbegin(), indexOrder.rend());
  std::stable_sort(order.begin(), order.end(), [](const IndexRecord& a, const IndexRecord& b) {
    if (a.offset != b.offset) return a.offset < b.offset;
    return (a.storedSize > 0) < (b.storedSize > 0);
  });
  return order;
}

}  // namespace zt4::builder
