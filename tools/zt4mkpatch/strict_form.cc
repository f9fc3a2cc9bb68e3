// The strict form: changed files as delta records over the old file (a big one read a
// window at a time), added files whole or rebuilt from another old file, and archives as
// groups whose new members come whole from payloads.
#include <algorithm>
#include <cstring>

#include "base/heap.h"
#include "base/pool_string.h"
#include "base/stream.h"
#include "common/names.h"
#include "update/delta_writer.h"
#include "zt4mkpatch/builder_parts.h"

namespace zt4::builder {
namespace {

constexpr size_t kReadWindow = 1 << 20;

}  // namespace

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

bool Builder::DescribeArchiveStrict(const std::string& name,
                                    const std::vector<MemberPlan>& members, Archive& archive,
                                    const FileFacts& archiveFacts, std::string* error) {
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

}  // namespace zt4::builder
