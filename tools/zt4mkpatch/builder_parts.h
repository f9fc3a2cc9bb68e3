// The patch builder's parts, shared by the files that implement them: the facts of a
// content, the records they make, and the builder itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "codec/sha1.h"
#include "common/files.h"
#include "common/index_records.h"
#include "update/content_method.h"
#include "update/memory_plan.h"
#include "update/patch_list.h"
#include "update/patch_list_writer.h"
#include "zt4mkpatch/frame_pool.h"
#include "zt4mkpatch/patch_builder.h"
#include "zt4mkpatch/reference_finder.h"

namespace zt4::builder {

using namespace zt4::tool;

constexpr char kArchiveSuffix[] = ".zt4";

// One file's size and digest, as the list states them.
struct FileFacts {
  int64_t size = 0;
  char digest[41] = {};
  std::string key;  // raw SHA-1 and size: identical contents share one payload
};

// The facts of a content hashed piece by piece.
FileFacts FactsOfHashed(Sha1& sha, uint64_t size);
FileFacts FactsOf(const uint8_t* data, size_t size);
// The facts of a file read a piece at a time; false when it cannot be read whole.
bool FactsOfFile(const std::string& path, FileFacts* facts);

// One record of the description, as the parser reads it back.
std::string RecordBytes(PatchListWriter& record);

void FileRecord(PatchListWriter& record, int32_t id, const std::string& oldName,
                const FileFacts* oldFacts, const std::string& newName, const FileFacts* newFacts);

// One member of a new archive as the group will name it.
struct MemberPlan {
  std::string memberName;  // in the archive: "/x"
  std::string newName;     // in the list; the rebuild makes "/" + it without a leading '/'
  std::string oldName;     // carried over from this address; empty: a payload
  FileFacts facts;
};

// A size for the user: bytes, kB or MB.
std::string Megabytes(uint64_t bytes);

// The run over both installs: scans, names, payloads and archive planning
// (patch_builder.cc), the strict form (strict_form.cc) and the compact form
// (compact_form.cc).
class Builder {
 public:
  Builder(const BuildOptions& options, BuildSummary* summary)
      : options_(options), summary_(summary) {}

  bool Run(std::string* error);

 private:
  bool ScanAndCheck(std::string* error);
  bool CheckNames(const TreeScan& scan, const std::string& root, bool newInstall,
                  std::string* error);
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
  // The group record of a strict patch, its new members' contents as payloads.
  bool DescribeArchiveStrict(const std::string& name, const std::vector<MemberPlan>& members,
                             Archive& archive, const FileFacts& archiveFacts, std::string* error);
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
    // Read whole when it was catalogued: a frame may be made from it. A large plain file
    // is not, and is matched in segments instead.
    bool held = true;
  };
  bool CatalogueOld(std::string* error);
  // `copyable`: a new content that is this one may be copied from it. `data` null: a
  // content too large to be held, which no frame is made from (segments are).
  int32_t AddContent(ReferenceSide side, const std::string& file, const std::string& member,
                     const FileFacts& facts, const uint8_t* data, bool copyable = true);
  // A plain file that is never held whole: hashed, matched and coded a piece at a time.
  bool IsStreamed(int64_t size) const;
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
    std::string segments;  // the payload of a content coded in segments
  };
  // A copy of the old content `file` (`member`), unchanged.
  bool CopiesOld(const ContentPlan& plan, const std::string& file,
                 const std::string& member) const {
    if (!MadeAsCopy(plan) || plan.references.size() != 1) return false;
    const Content& content = contents_[plan.references[0]];
    return content.side == ReferenceSide::kOld && content.file == file && content.member == member;
  }
  static bool MadeAsCopy(const ContentPlan& plan) {
    const MethodRow* row = FindMethod(plan.method);
    return row && row->making == MethodRow::Making::kCopy;
  }
  // The frame of a plan, once coded, as a payload: the plan's id.
  bool TakeFrame(ContentPlan* plan, std::string* error);
  // An old content or earlier new one that is this content, copied; false for none.
  bool PlanCopy(int32_t primary, const FileFacts& facts, ContentPlan* plan);
  // A new content in segments against its primary, or without one the large old plain
  // files; held in memory (`data`) or read from `newPath`.
  bool PlanSegments(int32_t primary, const uint8_t* data, const std::string& newPath,
                    uint64_t size, ContentPlan* plan, std::string* error);
  std::string PathOf(const Content& content) const;
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
  // Plain files that are their own old files, unchanged: stated in digest runs, their
  // records_ empty.
  std::map<std::string, FileFacts> unchangedFiles_;
  bool digestRuns_ = false;  // written in an archive's record
  std::map<std::string, std::unique_ptr<Archive>> oldArchives_;
  std::vector<Content> contents_;
  std::unordered_map<std::string, int32_t> contentByKey_;
  std::map<std::pair<std::string, std::string>, int32_t> oldContentAt_;
  std::unordered_map<std::string, std::vector<int32_t>> oldContentsNamed_;  // by file name
  std::map<std::string, std::unique_ptr<Archive>> catalogueArchives_;
  std::map<std::string, std::unique_ptr<Archive>> newArchives_;  // read for their members
  ReferenceFinder finder_;
  // The archive being described: the memory of its members, planned as the applier's
  // reader checks it, and the place of the member being planned.
  std::string group_;
  std::unique_ptr<GroupMemory> groupMemory_;
  int32_t groupPlace_ = 0;
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

}  // namespace zt4::builder
