// Installs for the builder's tests: trees of files written through the platform, archives
// made with the system's own writer, a build into a patch, and the patch applied to a copy
// of the old install with the applier's passes.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/mount.h"
#include "base/heap.h"
#include "base/pool_string.h"
#include "base/stream.h"
#include "common/index_records.h"
#include "platform/platform.h"
#include "support/patch_writer.h"
#include "support/test_files.h"
#include "update/phases.h"
#include "zt4mkpatch/patch_builder.h"
#include "zt4mkpatch/patch_check.h"

namespace zt4::test {

// Files only: folders appear in a tree read back but are implied by the files.
inline Tree FilesOf(const Tree& tree) {
  Tree files;
  for (const auto& [name, content] : tree) {
    if (!name.empty() && name.back() != '/') files[name] = content;
  }
  return files;
}

inline Tree Without(const Tree& tree, const std::string& topLevel) {
  Tree rest;
  for (const auto& [name, content] : tree) {
    if (name.compare(0, topLevel.size() + 1, topLevel + "/") != 0) rest[name] = content;
  }
  return rest;
}

inline Tree Below(const Tree& tree, const std::string& folder) {
  Tree inner;
  std::string prefix = folder + "/";
  for (const auto& [name, content] : tree) {
    if (name.compare(0, prefix.size(), prefix) == 0) inner[name.substr(prefix.size())] = content;
  }
  return inner;
}

// The members of an archive file in data order, as name and content.
inline Members MembersOf(const std::string& path) {
  std::string bytes;
  EXPECT_TRUE(ReadFile(path, &bytes));
  Archive archive;
  std::vector<tool::IndexRecord> index;
  auto* stream = new MemoryStream;
  stream->Attach(reinterpret_cast<uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()),
                 false);
  EXPECT_TRUE(tool::OpenWithRecords(stream, &archive, &index));
  Members members;
  for (const tool::IndexRecord& record : builder::DataOrder(index)) {
    ScopedBlock content;
    EXPECT_TRUE(archive.Extract(PoolString(record.name.c_str()), &content.data, &content.size));
    members.emplace_back(record.name,
                         std::string(reinterpret_cast<char*>(content.data), content.size));
  }
  return members;
}

// One old/new pair on disk, its patch, and the patched copy.
class BuildCase {
 public:
  // A compact patch unless `strict`.
  BuildCase(const Tree& oldTree, const Tree& newTree, bool strict = false)
      : oldTree_(oldTree), newTree_(newTree), strict_(strict) {
    EXPECT_TRUE(WriteTree(Old(), oldTree));
    EXPECT_TRUE(WriteTree(New(), newTree));
  }

  std::string Old() const { return root_ / "old"; }
  std::string New() const { return root_ / "new"; }
  std::string Patch() const { return root_ / "patch.zt4"; }
  std::string Work() const { return root_ / "work"; }
  const builder::BuildSummary& Summary() const { return summary_; }
  void SetWindowedFileBytes(int64_t bytes) { windowedFileBytes_ = bytes; }
  void SetSegmentedFileBytes(int64_t bytes) { segmentedFileBytes_ = bytes; }

  bool Build(std::string* error) {
    builder::BuildOptions options;
    options.oldDir = Old();
    options.newDir = New();
    options.outPath = Patch();
    options.strict = strict_;
    if (windowedFileBytes_ > 0) options.windowedFileBytes = windowedFileBytes_;
    if (segmentedFileBytes_ > 0) options.segmentedFileBytes = segmentedFileBytes_;
    return builder::BuildPatch(options, &summary_, error);
  }

  // Verifies Work() (an install written there) with the built patch and updates it in
  // place, on the platform in force; `between` runs after the verification. The stops of
  // the verification and of the update.
  std::pair<Stop, Stop> UpdateWork(const std::function<void()>& between = {}) {
    const std::string target = DialogPath(Work());
    const std::string backup = target + "\\" + kBackupFolderName;
    ScopedBlock description;
    uint8_t digest[20];
    PatchEntry* tree = LoadPatch(PoolString(Patch().c_str()), &description.data, digest);
    if (!tree) {
      ADD_FAILURE() << "the patch does not load";
      return {Stop::kPatchDamaged, Stop::kPatchDamaged};
    }
    const Stop verified = VerifyTarget(tree, target.c_str(), backup.c_str());
    ReleaseArchiveCache();
    if (between) between();
    Phase phase = Phase::kVerify;
    const Stop updated = UpdateTarget(tree, digest, target.c_str(), backup.c_str(), &phase);
    ReleaseArchiveCache();
    Unmount(PoolString(kPatchMountName));
    FreePatchList(tree);
    return {verified, updated};
  }

  // Builds, applies to a copy and compares: the result equals NEW, the backup equals OLD.
  void RoundTrip() {
    std::string error;
    ASSERT_TRUE(Build(&error)) << error;
    ASSERT_EQ(Os().CreateFolder(Work().c_str()), FolderResult::kCreated);
    Stop stop;
    ASSERT_TRUE(builder::ApplyPatchToCopy(Old(), Patch(), Work(), &stop, &error)) << error;
    Tree result = ReadTree(Work());
    EXPECT_EQ(FilesOf(Without(result, "BACKUP_FILES")), FilesOf(newTree_));
    EXPECT_EQ(FilesOf(Below(result, "BACKUP_FILES")), FilesOf(oldTree_));
  }

 private:
  TempFolder root_;
  Tree oldTree_;
  Tree newTree_;
  bool strict_;
  int64_t windowedFileBytes_ = 0;
  int64_t segmentedFileBytes_ = 0;
  builder::BuildSummary summary_;
};

}  // namespace zt4::test
