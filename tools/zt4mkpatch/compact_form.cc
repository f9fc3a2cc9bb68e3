// The compact form: the catalogue of old contents (files and archive members) and new
// ones written before, and each new content planned as a copy of one or a zstd frame
// coded against those it shares most with, within the memory budget.
#include <algorithm>
#include <cstring>
#include <new>

#include "base/heap.h"
#include "base/pool_string.h"
#include "base/stream.h"
#include "common/names.h"
#include "codec/segment_codec.h"
#include "zt4mkpatch/block_matcher.h"
#include "zt4mkpatch/builder_parts.h"
#include "zt4mkpatch/file_ranges.h"
#include "zt4mkpatch/segment_writer.h"

namespace zt4::builder {

int32_t Builder::AddContent(ReferenceSide side, const std::string& file, const std::string& member,
                            const FileFacts& facts, const uint8_t* data, bool copyable) {
  Content content;
  content.side = side;
  content.file = file;
  content.member = member;
  content.facts = facts;
  content.held = data != nullptr;
  auto index = static_cast<int32_t>(contents_.size());
  if (copyable) contentByKey_.emplace(content.facts.key, index);
  if (side == ReferenceSide::kOld) {
    oldContentAt_[{file, member}] = index;
    const std::string& path = member.empty() ? file : member;
    oldContentsNamed_[path.substr(LastSeparator(path) + 1)].push_back(index);
  }
  contents_.push_back(std::move(content));
  // Numbered as contents_; a content not held is found by the block index instead.
  finder_.Add(data, data ? static_cast<size_t>(facts.size) : 0);
  return index;
}

bool Builder::IsStreamed(int64_t size) const {
  return size >= options_.segmentedFileBytes || size > INT32_MAX;
}

std::string Builder::PathOf(const Content& content) const {
  return (content.side == ReferenceSide::kOld ? options_.oldDir : options_.newDir) + "/" +
         content.file;
}

bool Builder::CatalogueOld(std::string* error) {
  summary_->compact = true;
  // The budget is what an entry made whole may hold: files made in segments hold a
  // segment at a time whatever their size.
  int64_t largest = 0;
  for (const TreeFile& file : new_.files) {
    if (!IsStreamed(file.size)) largest = std::max<int64_t>(largest, file.size);
  }
  Bytes content;
  for (const TreeFile& file : old_.files) {
    const std::string path = options_.oldDir + "/" + file.name;
    // A large file is hashed a piece at a time; a large archive's members are still
    // catalogued below, each read on its own.
    if (IsStreamed(file.size)) {
      FileFacts facts;
      if (!FactsOfFile(path, &facts)) {
        *error = Shown(path) + ": the file cannot be read";
        return false;
      }
      AddContent(ReferenceSide::kOld, file.name, "", facts, nullptr);
    } else {
      if (!ReadWholeFile(path, &content, error)) return false;
      largest = std::max<int64_t>(largest, file.size);
      AddContent(ReferenceSide::kOld, file.name, "", FactsOf(content.data(), content.size()),
                 content.data());
    }
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
      AddContent(ReferenceSide::kOld, file.name, record.name,
                 FactsOf(member.data, static_cast<size_t>(member.size)), member.data);
    }
    catalogueArchives_[file.name] = std::move(archive);
  }
  int64_t budget = options_.budget > 0 ? options_.budget : std::max(2 * largest, kLeastBudget);
  summary_->budget = std::min<int64_t>(budget, INT32_MAX);
  return true;
}

bool Builder::ReadContent(const Content& content, Bytes* bytes) {
  if (!content.group.empty() && content.group == group_) {
    auto held = groupContents_.find(static_cast<int32_t>(&content - contents_.data()));
    if (held == groupContents_.end()) return false;
    *bytes = held->second;
    return true;
  }
  std::string ignored;
  const std::string& root = content.side == ReferenceSide::kOld ? options_.oldDir : options_.newDir;
  if (content.member.empty()) return ReadWholeFile(root + "/" + content.file, bytes, &ignored);
  // A member of an old archive, or of a new one described before.
  auto& archives = content.side == ReferenceSide::kOld ? catalogueArchives_ : newArchives_;
  auto found = archives.find(content.file);
  if (found == archives.end() && content.side == ReferenceSide::kNew) {
    auto archive = std::make_unique<Archive>();
    std::vector<IndexRecord> index;
    auto* stream = new (std::nothrow) FileStream;
    if (!stream || !stream->Open(PoolString((root + "/" + content.file).c_str()), ReadMode)) {
      delete stream;
      return false;
    }
    if (!OpenWithRecords(stream, archive.get(), &index)) return false;
    found = archives.emplace(content.file, std::move(archive)).first;
  }
  ScopedBlock member;
  if (found == archives.end() ||
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
  std::vector<ContentReference> references;
  for (int32_t index : plan.references) {
    const Content& content = contents_[index];
    ContentReference reference;
    reference.side = content.side;
    reference.file = content.file.c_str();
    reference.member = content.member.c_str();
    reference.size = content.facts.size;
    reference.digest = content.facts.digest;
    references.push_back(reference);
  }
  // A file copied from its own old file names no reference: the reader knows it.
  if (MadeAsCopy(plan) && !ownOldFile.empty() && IsOwnOldFile(ownOldFile.c_str(), references[0])) {
    record.Content(plan.method, 0);
    return;
  }
  record.Content(plan.method, static_cast<int32_t>(references.size()));
  for (const ContentReference& reference : references) record.Reference(reference);
}

bool Builder::PlanCopy(int32_t primary, const FileFacts& facts, ContentPlan* plan) {
  *plan = ContentPlan();
  // An old content (or a new one written before) unchanged: copied.
  int32_t same = primary >= 0 && contents_[primary].facts.key == facts.key ? primary : -1;
  if (same < 0) {
    auto found = contentByKey_.find(facts.key);
    if (found != contentByKey_.end()) same = found->second;
  }
  if (same < 0) return false;
  plan->references.push_back(same);
  ++summary_->copies;
  if (groupMemory_) groupMemory_->Hold(groupPlace_++, facts.size);
  return true;
}

bool Builder::PlanContent(int32_t primary, const uint8_t* data, size_t size, const FileFacts& facts,
                          ContentPlan* plan, std::string* error) {
  if (PlanCopy(primary, facts, plan)) return true;
  // A large file, or one whose old file is not held or does not fit the budget beside
  // it, in segments.
  if (!groupMemory_ &&
      (IsStreamed(static_cast<int64_t>(size)) ||
       (primary >= 0 && (!contents_[primary].held ||
                         static_cast<int64_t>(size) + contents_[primary].facts.size >
                             summary_->budget)))) {
    return PlanSegments(primary, data, "", size, plan, error);
  }
  // The most similar contents that fit the budget beside the new one, the primary last:
  // nearest to the content, where the frame reaches it cheapest.
  plan->method = ContentMethod::kZstd;
  std::vector<int32_t>& chosen = plan->references;
  int64_t held = static_cast<int64_t>(size);
  if (primary >= 0 && contents_[primary].held &&
      held + contents_[primary].facts.size <= summary_->budget) {
    held += contents_[primary].facts.size;
    chosen.push_back(primary);
  }
  // Others only for what the primary lacks: a frame codes against every byte of its
  // references, so one that adds little costs time for nothing.
  // One in 2 000 of the content's samples: on a package whose bundles share most of
  // their code, taking the new code another new bundle holds halved the distance to the
  // tar-level zstd figure.
  constexpr double kWorthSharing = 0.0005;
  const size_t room = static_cast<size_t>(kMaxReferences) - chosen.size();
  const int32_t place = groupPlace_;
  // What this content may hold beside the earlier members kept for it so far.
  auto memoryRoom = [&] { return groupMemory_ ? groupMemory_->Room(place) : summary_->budget; };
  for (int32_t item : finder_.Covering(data, size, primary, room, kWorthSharing)) {
    const Content& content = contents_[item];
    const int64_t bytes = content.facts.size;
    // A member is decoded whole each time a frame is made from it: on an archived package
    // whose bundles share code, old ones saved 2 % of the patch and made its apply slower
    // than the strict patch's.
    // New members of archives described before are read from those archives as they are
    // written: a wasm module built three ways in two archives was made from the others as
    // its plain files are, at half the patch.
    if (content.group.empty() && !content.member.empty()) continue;
    if (held + bytes > memoryRoom()) continue;
    if (!content.group.empty() && content.group == group_) {
      // An earlier member of this archive is kept from its making to here, beside what
      // each member between holds.
      if (held + 2 * bytes > memoryRoom() || !groupMemory_->Keep(content.place, bytes, place)) continue;
      ++summary_->earlierMembers;
    }
    held += bytes;
    chosen.insert(chosen.begin(), item);
  }
  if (groupMemory_) groupMemory_->Hold(groupPlace_++, held);
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

bool Builder::PlanSegments(int32_t primary, const uint8_t* data, const std::string& newPath,
                           uint64_t size, ContentPlan* plan, std::string* error) {
  plan->method = ContentMethod::kSegments;
  if (summary_->budget < kSegmentDecodeMemory) {
    *error = "a budget of " + Megabytes(static_cast<uint64_t>(summary_->budget)) +
             " is less than a content in segments needs (" +
             Megabytes(static_cast<uint64_t>(kSegmentDecodeMemory)) + ")";
    return false;
  }
  // Plain files only: the applier reads a range where it lies in a file, and would have
  // a member whole. The file's own old content; without one, the large old files, where
  // a file renamed or split comes from (small ones are matched by the frames).
  auto plain = [this](int32_t item) {
    return contents_[item].member.empty() && contents_[item].group.empty();
  };
  std::vector<int32_t>& chosen = plan->references;
  if (primary >= 0 && plain(primary)) {
    chosen.push_back(primary);
  } else {
    for (int32_t item = 0; item < static_cast<int32_t>(contents_.size()); ++item) {
      if (plain(item) && contents_[item].side == ReferenceSide::kOld &&
          !contents_[item].held) {
        chosen.push_back(item);
      }
    }
    std::stable_sort(chosen.begin(), chosen.end(), [this](int32_t a, int32_t b) {
      return contents_[a].facts.size > contents_[b].facts.size;
    });
    if (chosen.size() > static_cast<size_t>(kMaxReferences)) chosen.resize(kMaxReferences);
  }
  std::vector<std::string> paths;
  std::vector<uint64_t> sizes;
  for (int32_t item : chosen) {
    paths.push_back(PathOf(contents_[item]));
    sizes.push_back(static_cast<uint64_t>(contents_[item].facts.size));
  }
  const OldSpan inMemory{data, data ? size : 0};
  RangesMaker makeRanges = [&]() -> std::unique_ptr<Ranges> {
    return std::make_unique<FileRanges>(paths, newPath, inMemory);
  };
  std::unique_ptr<Ranges> indexRanges = makeRanges();
  BlockMatcher matcher(sizes, *indexRanges);
  indexRanges.reset();
  // zstd's level 9 codes what the ranges do not hold well enough, and a game's gigabyte
  // in a time near the general tools'.
  constexpr int kSegmentLevel = 9;
  SegmentJob job;
  job.size = size;
  job.window = kSegmentWindow;
  job.level = std::min(options_.level, kSegmentLevel);
  job.threads = std::max(1u, std::thread::hardware_concurrency());
  // Progress within the file: it may be most of the install.
  const uint64_t before = bytesDone_;
  job.progress = [this, before](uint64_t done) {
    bytesDone_ = before + done;
    Progress(false);
  };
  const bool made = matcher.Ready() && WriteSegments(matcher, makeRanges, job, &plan->segments);
  bytesDone_ = before;
  if (!made) {
    *error = (newPath.empty() ? std::string("a content") : Shown(newPath)) +
             " could not be coded in segments (a file could not be read, or out of memory)";
    return false;
  }
  ++summary_->segmented;
  summary_->references += static_cast<int>(chosen.size());
  return true;
}

bool Builder::TakeFrame(ContentPlan* plan, std::string* error) {
  if (!plan->segments.empty()) {
    const std::string segments = std::move(plan->segments);
    plan->segments.clear();
    const auto* bytes = reinterpret_cast<const uint8_t*>(segments.data());
    return EmitPayload(bytes, segments.size(), FactsOf(bytes, segments.size()), &plan->id, error);
  }
  if (plan->ticket < 0) return true;
  std::optional<FramePool::Frame> frame = frames_.Take(plan->ticket);
  plan->ticket = -1;
  if (!frame) {
    *error = "zstd could not code a content (out of memory?)";
    return false;
  }
  plan->method = frame->method;
  if (plan->method == ContentMethod::kSparseDiff) ++summary_->diffs;
  if (plan->method == ContentMethod::kSparseBranches) ++summary_->branches;
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
    const std::string path = options_.newDir + "/" + name;
    const int32_t primary = PrimaryContent(name, "");
    Bytes content;
    FileFacts newFacts;
    ContentPlan plan;
    if (IsStreamed(newFile->size)) {
      if (!FactsOfFile(path, &newFacts)) {
        *error = Shown(path) + ": the file cannot be read";
        return false;
      }
      if (!PlanCopy(primary, newFacts, &plan) &&
          !PlanSegments(primary, nullptr, path, static_cast<uint64_t>(newFacts.size), &plan,
                        error)) {
        return false;
      }
    } else {
      if (!ReadWholeFile(path, &content, error)) return false;
      newFacts = FactsOf(content.data(), content.size());
      if (!PlanContent(primary, content.data(), content.size(), newFacts, &plan, error)) {
        return false;
      }
    }
    if (oldFile) {
      ++summary_->changed;
      if (oldFacts.key == newFacts.key) ++summary_->unchanged;
    } else {
      ++summary_->added;
    }
    // Written by the time the entries described after it are applied.
    if (!MadeAsCopy(plan)) {
      AddContent(ReferenceSide::kNew, name, "", newFacts,
                 IsStreamed(newFacts.size) ? nullptr : content.data());
    }
    deferred_.push_back([this, name, oldFile, oldFacts, newFacts, plan](std::string* error) mutable {
      if (!TakeFrame(&plan, error)) return false;
      if (oldFile && CopiesOld(plan, name, "")) {
        unchangedFiles_[name] = newFacts;
        records_.emplace_back(name, std::string());
        return true;
      }
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
  groupMemory_ = std::make_unique<GroupMemory>(summary_->budget, static_cast<int32_t>(members.size()));
  groupPlace_ = 0;
  if (!groupMemory_->Ready()) {
    *error = "out of memory";
    return false;
  }
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
    if (MadeAsCopy(plans[i])) {
      ++summary_->membersCarried;
    } else {
      ++summary_->membersFromPatch;
      // The members after it may be made from it: the rebuild keeps it for them.
      int32_t item = AddContent(ReferenceSide::kNew, name, member.memberName, member.facts,
                                content.data, false);
      contents_[item].group = name;
      contents_[item].place = static_cast<int32_t>(i);
      groupContents_[item].assign(content.data, content.data + content.size);
    }
  }
  group_.clear();
  groupMemory_.reset();
  groupContents_.clear();
  ++summary_->groups;
  deferred_.push_back(
      [this, name, members, archiveFacts, plans](std::string* error) mutable {
        PatchListWriter record;
        record.GroupBegin(name.c_str(), archiveFacts.size, archiveFacts.digest);
        // Members carried unchanged from the same name of one old archive, in digest runs.
        std::vector<PatchListWriter::RunItem> run;
        const std::string* runArchive = nullptr;
        auto endRun = [&] {
          if (run.empty()) return;
          record.Run(runArchive->c_str(), run.data(), static_cast<int32_t>(run.size()));
          run.clear();
          digestRuns_ = true;
        };
        for (size_t i = 0; i < members.size(); ++i) {
          if (!TakeFrame(&plans[i], error)) return false;
          const MemberPlan& member = members[i];
          const Content* carried =
              MadeAsCopy(plans[i]) ? &contents_[plans[i].references[0]] : nullptr;
          if (carried && CopiesOld(plans[i], carried->file, "/" + member.newName)) {
            if (runArchive && *runArchive != carried->file) endRun();
            runArchive = &carried->file;
            run.push_back({member.newName.c_str(), member.facts.size, member.facts.digest});
            continue;
          }
          endRun();
          FileRecord(record, plans[i].id, "", nullptr, member.newName, &member.facts);
          WriteContent(record, plans[i]);
        }
        endRun();
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

}  // namespace zt4::builder
