#include <cstdio>
#include <cstring>
#include <new>

#include "archive/mount.h"
#include "base/heap.h"
#include "base/key_index.h"
#include "base/stream.h"
#include "base/texts.h"
#include "codec/sha1.h"
#include "update/backup.h"
#include "update/content_method.h"
#include "update/decoded_members.h"
#include "update/ordered_run.h"
#include "update/paths.h"
#include "update/progress.h"
#include "update/verify.h"

namespace zt4 {

namespace {

Stop Found(FileReport* report, Finding finding, Stop stop) {
  if (report) report->finding = finding;
  return stop;
}

// A member of an archive file hashed as it is decoded: found, then extracted alone or
// beside another, then told. With `keep`, the decoded content is also copied there (it
// has the expected size).
class MemberHashing {
 public:
  // The stop of a member that cannot be had; Stop::kNone when it is ready to extract.
  Stop Find(const PoolString& archivePath, const PoolString& member, int64_t expectedSize,
            FileReport* report, uint8_t* keep) {
    report_ = report;
    expectedSize_ = expectedSize;
    if (archivePath.Length() >= kMaxPath) {
      return Found(report, Finding::kPathTooLong, Stop::kSourceMissing);
    }
    CacheMiss miss;
    archive_ = OpenCached(archivePath.Text(), &miss);
    if (!archive_) {
      if (miss == CacheMiss::kNoMemory) return Found(report, Finding::kNoMemory, Stop::kNoMemory);
      return Found(report, miss == CacheMiss::kNoFile ? Finding::kNoArchiveFile : Finding::kNotAnArchive,
                   Stop::kSourceMissing);
    }
    entry_ = archive_->Find(member);
    if (!entry_) return Found(report, Finding::kMemberMissing, Stop::kVersionMismatch);
    keep_ = int64_t{entry_->contentSize} == expectedSize ? keep : nullptr;
    return Stop::kNone;
  }

  Archive::PieceTarget Target() {
    // The decoded pieces never pass the member's recorded size.
    auto hash = [](const uint8_t* data, int32_t size, void* user) {
      auto* hashing = static_cast<MemberHashing*>(user);
      hashing->sha_.Update(data, static_cast<size_t>(size));
      if (hashing->keep_) std::memcpy(hashing->keep_ + hashing->at_, data, static_cast<size_t>(size));
      hashing->at_ += static_cast<size_t>(size);
    };
    return {archive_, entry_, hash, this};
  }

  // Extracted on its own: whether its content came whole.
  bool ExtractAlone() {
    const Archive::PieceTarget target = Target();
    return archive_->ExtractInPieces(*entry_, target.sink, target.user);
  }

  // The stop once extracted (`whole` as the extraction told it), and the digest found.
  Stop Told(bool whole, char digest[41]) {
    if (!whole) return Found(report_, Finding::kMemberDamaged, Stop::kVersionMismatch);
    sha_.FinishHex(digest);
    const int64_t size = entry_->contentSize;
    if (report_) report_->foundSize = size;
    if (size != expectedSize_) return Found(report_, Finding::kSizeDiffers, Stop::kVersionMismatch);
    return Stop::kNone;
  }

 private:
  Archive* archive_ = nullptr;
  const ArchiveEntry* entry_ = nullptr;
  Sha1 sha_;
  uint8_t* keep_ = nullptr;
  size_t at_ = 0;
  int64_t expectedSize_ = 0;
  FileReport* report_ = nullptr;
};

// The digest of a member of the archive file, hashed as it is decoded.
Stop HashArchiveMember(const PoolString& archivePath, const PoolString& member,
                       int64_t expectedSize, char digest[41], FileReport* report,
                       uint8_t* keep = nullptr) {
  MemberHashing hashing;
  const Stop stop = hashing.Find(archivePath, member, expectedSize, report, keep);
  return stop != Stop::kNone ? stop : hashing.Told(hashing.ExtractAlone(), digest);
}

// The member that a path without a plain file addresses.
Stop HashMember(const char* path, int64_t expectedSize, char digest[41], FileReport* report) {
  PoolString archivePath;
  PoolString member;
  if (!ArchiveMemberOf(path, &archivePath, &member)) {
    return Found(report, Finding::kMissing, Stop::kSourceMissing);
  }
  if (report) {
    report->inArchive = true;
    report->archivePath = archivePath;
    report->member = member;
  }
  return HashArchiveMember(archivePath, member, expectedSize, digest, report);
}

// A plain file is hashed as it is read, a piece at a time: memory does not grow with it.
constexpr int32_t kHashPiece = 1 << 20;

bool HashWhileReading(FileStream& file, int64_t size, char digest[41]) {
  ScopedBlock piece;
  piece.data = AllocBlock(static_cast<size_t>(size < kHashPiece ? size : kHashPiece));
  if (!piece.data) return false;
  Sha1 sha;
  for (int64_t done = 0; done < size;) {
    const auto want = static_cast<int32_t>(size - done < kHashPiece ? size - done : kHashPiece);
    if (file.Read(piece.data, want) != want) return false;
    sha.Update(piece.data, static_cast<size_t>(want));
    done += want;
  }
  sha.FinishHex(digest);
  return true;
}

// A content of a digest run is held to its tag here, and to the run's digest once the
// whole run is checked; any other to its whole digest.
bool DigestMatches(const char* digest, const char* expected, bool tagged) {
  return tagged ? std::strncmp(digest, expected, std::strlen(expected)) == 0
                : std::strcmp(digest, expected) == 0;
}

// VerifyFile without the debugger lines: `found` receives the digest found when only
// the content differs, and is empty otherwise; `tagged`, whenever one was found.
Stop CheckFile(const char* path, const char* expectedDigest, int64_t expectedSize,
               FileReport* report, char found[41], bool tagged = false) {
  if (report) *report = FileReport{};
  found[0] = 0;
  char digest[41];
  FileStream file;
  if (file.Open(PoolString(path), ReadMode)) {
    // The size is compared before anything is read.
    const int64_t size = file.Size();
    if (report) report->foundSize = size;
    if (size != expectedSize) return Found(report, Finding::kSizeDiffers, Stop::kVersionMismatch);
    if (!HashWhileReading(file, size, digest)) {
      return Found(report, Finding::kUnreadable, Stop::kNoMemory);
    }
  } else if (Stop stop = HashMember(path, expectedSize, digest, report); stop != Stop::kNone) {
    return stop;
  }
  if (tagged) std::memcpy(found, digest, sizeof digest);
  if (!DigestMatches(digest, expectedDigest, tagged)) {
    std::memcpy(found, digest, sizeof digest);
    return Found(report, Finding::kContentDiffers, Stop::kVersionMismatch);
  }
  return Stop::kNone;
}

// The debugger's lines of a content that differs: the digest expected, then the one found.
void ShowDigests(const char* expected, const char* found) {
  Os().DebugOutput(expected);
  Os().DebugOutput("\n");
  Os().DebugOutput(found);
  Os().DebugOutput("\n");
}

}  // namespace

bool PlainFileMatches(const char* path, const char* expectedDigest, int64_t expectedSize) {
  FileStream file;
  char digest[41];
  return file.Open(PoolString(path), ReadMode) && file.Size() == expectedSize &&
         HashWhileReading(file, expectedSize, digest) && std::strcmp(digest, expectedDigest) == 0;
}

namespace {

// The stop of a referenced content found with `digest`, which goes to `whole` when asked
// for: held to the reference's digest, or to its tag within a digest run.
Stop HeldToReference(const char digest[41], const ContentReference& reference, char* whole) {
  if (whole) std::memcpy(whole, digest, 41);
  return DigestMatches(digest, reference.digest, whole != nullptr) ? Stop::kNone
                                                                   : Stop::kVersionMismatch;
}

// Two references to members, neither kept for the apply, checked at once: each stop is
// the one VerifyReference gives, as the members are decoded a symbol of each in turn.
void VerifyMemberReferences(const ContentReference* references[2], const char* folders[2],
                            char* wholes[2], Stop stops[2]) {
  MemberHashing hashings[2];
  bool found[2] = {false, false};
  for (int i = 0; i < 2; ++i) {
    char path[kMaxPath];
    stops[i] = JoinPath(path, folders[i], references[i]->file)
                   ? hashings[i].Find(PoolString(path), PoolString(references[i]->member),
                                      references[i]->size, nullptr, nullptr)
                   : Stop::kSourceMissing;
    found[i] = stops[i] == Stop::kNone;
  }
  bool whole[2] = {false, false};
  if (found[0] && found[1]) {
    Archive::ExtractTwoInPieces(hashings[0].Target(), hashings[1].Target(), &whole[0], &whole[1]);
  } else {
    for (int i = 0; i < 2; ++i) {
      if (found[i]) whole[i] = hashings[i].ExtractAlone();
    }
  }
  for (int i = 0; i < 2; ++i) {
    if (!found[i]) continue;
    char digest[41];
    stops[i] = hashings[i].Told(whole[i], digest);
    if (stops[i] == Stop::kNone) stops[i] = HeldToReference(digest, *references[i], wholes[i]);
  }
}

}  // namespace

Stop VerifyReference(const ContentReference& reference, const char* folder, bool keepDecoded,
                     char* whole) {
  char path[kMaxPath];
  if (!JoinPath(path, folder, reference.file)) return Stop::kSourceMissing;
  char digest[41];
  if (reference.member[0] == 0) {
    FileStream file;
    if (!file.Open(PoolString(path), ReadMode)) return Stop::kSourceMissing;
    if (file.Size() != reference.size) return Stop::kVersionMismatch;
    if (!HashWhileReading(file, reference.size, digest)) return Stop::kSourceMissing;
    return HeldToReference(digest, reference, whole);
  }
  DecodedMembers& decoded = DecodedMembers::Instance();
  // A member's size is an int32.
  const auto memberSize = static_cast<int32_t>(reference.size);
  uint8_t* kept = keepDecoded ? decoded.Reserve(memberSize) : nullptr;
  Stop stop = HashArchiveMember(PoolString(path), PoolString(reference.member), reference.size,
                                digest, nullptr, kept);
  if (stop == Stop::kNone) stop = HeldToReference(digest, reference, whole);
  if (kept && stop == Stop::kNone) {
    decoded.Keep(reference, kept);
  } else if (kept) {
    decoded.Drop(kept, memberSize);
  }
  return stop;
}

Stop VerifyFile(const char* path, const char* expectedDigest, int64_t expectedSize,
                FileReport* report) {
  char found[41];
  Stop stop = CheckFile(path, expectedDigest, expectedSize, report, found);
  if (stop == Stop::kVersionMismatch && found[0] != 0) ShowDigests(expectedDigest, found);
  return stop;
}

namespace {

// One file to check: the path `name` below `folder` with its size and digest, or an old
// content a compact entry is made from (`reference`).
struct FileCheck {
  const char* folder = nullptr;
  const char* name = nullptr;
  const char* digest = nullptr;
  int64_t size = 0;
  const ContentReference* reference = nullptr;
  bool keepDecoded = false;  // a reference whose decoded content the apply will use
  DigestRun* run = nullptr;  // a content of a digest run, at `runPlace`
  int32_t runPlace = 0;
  // For a listener: the entry (a member of `group`) and what its check found.
  const PatchEntry* entry = nullptr;
  const PatchEntry* group = nullptr;
  FileReport* report = nullptr;
  // The outcome, and the digest found when only the content differs (for the debugger).
  Stop stop = Stop::kNone;
  char found[41] = "";
};

// Every path the passes check lies below the folder; one that does not fit the path
// buffer cannot be the old or new file. Checks hold a piece of a file at a time.
//
// Small checks go to the workers in runs of neighbours: handing each of a hundred
// thousand tiny members to a thread on its own costs more than checking it.
class FileChecks final : public TaskList {
 public:
  FileChecks(FileCheck* checks, int32_t count) : checks_(checks), count_(count) {
    firstOfRun_ = new (std::nothrow) int32_t[static_cast<size_t>(count > 0 ? count : 1) + 1];
    runOf_ = new (std::nothrow) int32_t[static_cast<size_t>(count > 0 ? count : 1)];
    if (!firstOfRun_ || !runOf_) {
      delete[] firstOfRun_;
      delete[] runOf_;
      firstOfRun_ = nullptr;
      runOf_ = nullptr;
      return;
    }
    constexpr int64_t kRunBytes = int64_t{1} << 20;
    constexpr int32_t kRunChecks = 256;
    int64_t bytes = 0;
    for (int32_t i = 0; i < count; ++i) {
      const int64_t size = checks[i].reference ? checks[i].reference->size : checks[i].size;
      if (i == 0 || bytes + size > kRunBytes || i - firstOfRun_[runs_ - 1] >= kRunChecks) {
        firstOfRun_[runs_++] = i;
        bytes = 0;
      }
      bytes += size > 0 ? size : 0;
      runOf_[i] = runs_ - 1;
    }
    firstOfRun_[runs_] = count;
  }
  ~FileChecks() {
    delete[] firstOfRun_;
    delete[] runOf_;
  }
  FileChecks(const FileChecks&) = delete;
  FileChecks& operator=(const FileChecks&) = delete;

  // The tasks: runs of checks, or one check each without the memory to group them.
  int32_t Count() const { return runOf_ ? runs_ : count_; }
  int32_t TaskOf(int32_t check) const { return runOf_ ? runOf_[check] : check; }

  void Run(int32_t index, bool) override {
    if (!runOf_) {
      RunCheck(index);
      return;
    }
    const int32_t end = firstOfRun_[index + 1];
    for (int32_t i = firstOfRun_[index]; i < end; ++i) {
      // Neighbouring members are decoded together: one core decodes two at once faster
      // than one after the other.
      if (i + 1 < end && Pairs(checks_[i]) && Pairs(checks_[i + 1])) {
        RunMemberPair(i);
        ++i;
      } else {
        RunCheck(i);
      }
    }
  }

 private:
  // A reference to an archive member that the apply does not keep.
  static bool Pairs(const FileCheck& check) {
    return check.reference && check.reference->member[0] != 0 && !check.keepDecoded;
  }

  void RunMemberPair(int32_t index) {
    FileCheck& a = checks_[index];
    FileCheck& b = checks_[index + 1];
    const ContentReference* references[2] = {a.reference, b.reference};
    char* wholes[2] = {a.run ? a.found : nullptr, b.run ? b.found : nullptr};
    const char* folders[2] = {a.folder, b.folder};
    Stop stops[2];
    VerifyMemberReferences(references, folders, wholes, stops);
    a.stop = stops[0];
    b.stop = stops[1];
  }

  void RunCheck(int32_t index) {
    FileCheck& check = checks_[index];
    if (check.reference) {
      check.stop = VerifyReference(*check.reference, check.folder, check.keepDecoded,
                                   check.run ? check.found : nullptr);
      return;
    }
    char path[kMaxPath];
    if (JoinPath(path, check.folder, check.name)) {
      check.stop = CheckFile(path, check.digest, check.size, check.report, check.found,
                             check.run != nullptr);
    } else {
      check.stop = Found(check.report, Finding::kPathTooLong, Stop::kSourceMissing);
    }
  }

  FileCheck* checks_;
  int32_t count_;
  int32_t* firstOfRun_ = nullptr;
  int32_t* runOf_ = nullptr;
  int32_t runs_ = 0;
};

// The checks of a digest run's contents follow one another in the pass, in the run's
// order or (a top-level run, as the chain is taken) its reverse. Each content is held to
// its tag as it is checked; at the run's last check the whole digests found are held to
// the run's digest, and once it matches they become the run's digest texts, so that every
// later use of them compares whole digests.
class RunDigests {
 public:
  // The stop of the check at `index`.
  Stop Checked(FileCheck* checks, int32_t index) {
    const FileCheck& check = checks[index];
    if (check.run != run_) {
      run_ = check.run;
      first_ = index;
      failed_ = false;
    }
    failed_ = failed_ || check.stop != Stop::kNone;
    if (index - first_ + 1 < run_->count) return check.stop;
    DigestRun* run = run_;
    run_ = nullptr;
    // A content that failed was told at its own check.
    if (failed_) return check.stop;
    const bool forward = checks[first_].runPlace == 0;
    Sha1 sha;
    bool whole = true;
    for (int32_t place = 0; place < run->count && whole; ++place) {
      const FileCheck& content = checks[forward ? first_ + place : index - place];
      uint8_t digest[20];
      whole =
          content.run == run && content.runPlace == place && DigestFromHex(content.found, digest);
      if (whole) sha.Update(digest, sizeof digest);
    }
    uint8_t found[20];
    sha.Finish(found);
    if (!whole || std::memcmp(found, run->digest, sizeof found) != 0) {
      char expected[41];
      char seen[41];
      DigestHex(run->digest, expected);
      DigestHex(found, seen);
      ShowDigests(expected, seen);
      if (check.report) check.report->finding = Finding::kContentDiffers;
      return Stop::kVersionMismatch;
    }
    for (int32_t i = first_; i <= index; ++i) {
      std::memcpy(run->digests[checks[i].runPlace], checks[i].found, 41);
    }
    return Stop::kNone;
  }

 private:
  DigestRun* run_ = nullptr;
  int32_t first_ = 0;
  bool failed_ = false;
};

// A pass as the console shows it, in chain order: a progress line (or a dot for an
// archive's member), an entry's debugger lines, a folder that must be there, a file's
// check, the closing line. The checks run ahead on every core; the steps are replayed
// in order, and the first failing one ends the pass.
struct Step {
  enum Kind { kProgress, kDot, kDump, kFolder, kCheck, kDone } kind;
  const PatchEntry* entry = nullptr;
  int32_t check = -1;
};

class Pass {
 public:
  explicit Pass(CheckResults* listener = nullptr) : listener_(listener) {}
  ~Pass() {
    delete[] steps_;
    delete[] checks_;
    delete[] reports_;
  }
  // The first walk only counts; the second, after Reserve, fills.
  bool Reserve() {
    const auto checks = static_cast<size_t>(checkCount_ > 0 ? checkCount_ : 1);
    steps_ = new (std::nothrow) Step[static_cast<size_t>(stepCount_)];
    checks_ = new (std::nothrow) FileCheck[checks];
    // What each check found is kept only for a listener to read.
    if (listener_) reports_ = new (std::nothrow) FileReport[checks];
    stepCount_ = 0;
    checkCount_ = 0;
    return steps_ && checks_ && (!listener_ || reports_);
  }
  void Add(Step::Kind kind, const PatchEntry* entry = nullptr) {
    if (steps_) steps_[stepCount_] = Step{kind, entry, -1};
    ++stepCount_;
  }
  void AddFile(const char* folder, const char* name, const char* digest, int64_t size,
               const PatchEntry* entry, const PatchEntry* group) {
    if (FileCheck* check = NextCheck(folder, entry, group)) {
      check->name = name;
      check->digest = digest;
      check->size = size;
    }
    AddCheck();
  }
  void AddReference(const ContentReference* reference, const char* folder, bool keepDecoded,
                    const PatchEntry* entry, const PatchEntry* group) {
    if (FileCheck* check = NextCheck(folder, entry, group)) {
      check->reference = reference;
      check->keepDecoded = keepDecoded;
    }
    AddCheck();
  }

  // The first failing step's stop; with a listener, each failing check is told to it
  // and the pass goes on while it says so.
  Stop Replay(const char* folder, int32_t progressTotal) {
    Stop first = Stop::kNone;
    Progress progress(progressTotal);
    RunDigests runs;
    FileChecks tasks(checks_, checkCount_);
    OrderedRun run(&tasks, tasks.Count());
    int32_t taken = -1;
    for (int32_t i = 0; i < stepCount_; ++i) {
      const Step& step = steps_[i];
      switch (step.kind) {
        case Step::kProgress:
          progress.Next();
          break;
        case Step::kDot:
          Os().ConsoleWrite(".");
          break;
        case Step::kDump:
          DumpEntry(step.entry);
          break;
        case Step::kFolder: {
          char path[kMaxPath];
          if (!JoinPath(path, folder, step.entry->newName) || !FolderExists(path)) {
            return Stop::kVersionMismatch;
          }
          break;
        }
        case Step::kCheck: {
          if (tasks.TaskOf(step.check) != taken) {
            taken = tasks.TaskOf(step.check);
            run.Take(taken);
          }
          const FileCheck& check = checks_[step.check];
          Stop stop = check.stop;
          if (stop == Stop::kVersionMismatch && check.found[0] != 0) {
            ShowDigests(check.reference ? check.reference->digest : check.digest, check.found);
          }
          if (check.run) stop = runs.Checked(checks_, step.check);
          static const FileReport kNothingFound;
          const bool goOn =
              listener_ && listener_->Checked(check.entry, check.group, check.reference, stop,
                                              check.report ? *check.report : kNothingFound);
          if (stop == Stop::kNone) break;
          if (first == Stop::kNone) first = stop;
          if (!goOn) return first;
          break;
        }
        case Step::kDone:
          Os().ConsoleWrite(kCheckDoneLine);
          break;
      }
    }
    return first;
  }

 private:
  // The check being added, once there is room for it (the second walk).
  FileCheck* NextCheck(const char* folder, const PatchEntry* entry, const PatchEntry* group) {
    if (!checks_) return nullptr;
    FileCheck* check = &checks_[checkCount_];
    check->folder = folder;
    check->entry = entry;
    check->group = group;
    check->run = entry ? entry->run : nullptr;
    check->runPlace = entry ? entry->runPlace : 0;
    if (reports_) check->report = &reports_[checkCount_];
    return check;
  }
  void AddCheck() {
    if (steps_) steps_[stepCount_] = Step{Step::kCheck, nullptr, checkCount_};
    ++stepCount_;
    ++checkCount_;
  }

  CheckResults* listener_ = nullptr;
  Step* steps_ = nullptr;
  FileCheck* checks_ = nullptr;
  FileReport* reports_ = nullptr;
  int32_t stepCount_ = 0;
  int32_t checkCount_ = 0;
};

// An old content that frames of several entries are made from is verified once: keyed
// by its file, member, size and digest (a second size is a second check, which fails).
using VerifiedContents = KeyIndex<bool>;

// A member copied into a rebuilt archive keeps its coded bytes; any other old member an
// entry is made from is decoded again when it is applied, unless its content is kept.
void PlanReferences(const PatchEntry* e, const PatchEntry* group, const char* folder,
                    VerifiedContents* verified, Pass* pass) {
  const bool inGroup = group != nullptr;
  const bool keepDecoded = !(inGroup && MadeBy(*e, MethodRow::Making::kCopy));
  for (int32_t i = 0; i < e->referenceCount; ++i) {
    const ContentReference& reference = e->references[i];
    if (reference.side != ReferenceSide::kOld || IsOwnOldFile(e->oldName, reference)) continue;
    // Each content of a digest run is checked in the run's place.
    if (e->run) {
      pass->AddReference(&reference, folder, keepDecoded, e, group);
      continue;
    }
    PoolString key = PoolString::Formatted("%s\n%s\n%d\n%s", reference.file, reference.member,
                                           static_cast<int>(reference.size), reference.digest);
    const auto length = static_cast<size_t>(key.Length());
    if (verified->Find(key.Text(), length)) continue;
    pass->AddReference(&reference, folder, keepDecoded, e, group);
    // Without room to remember it, it is only verified again.
    verified->Insert(key.Text(), length, true);
  }
}

void PlanOldSide(const PatchEntry* first, const PatchEntry* group, const char* folder, bool top,
                 VerifiedContents* verified, Pass* pass) {
  for (const PatchEntry* e = first; e; e = e->next) {
    pass->Add(top ? Step::kProgress : Step::kDot);
    if (e->firstChild) {
      PlanOldSide(e->firstChild, e, folder, false, verified, pass);
    } else if (KindOf(e) == EntryKind::KindRemoved || KindOf(e) == EntryKind::KindChanged) {
      pass->AddFile(folder, e->oldName, e->oldDigest, e->oldSize, e, group);
    }
    // The old contents a compact entry is made from are old files like any other.
    PlanReferences(e, group, folder, verified, pass);
  }
  if (top && first) pass->Add(Step::kDone);
}

void PlanNewSide(const PatchEntry* first, const char* folder, Pass* pass) {
  for (const PatchEntry* e = first; e; e = e->next) {
    pass->Add(Step::kProgress);
    if (MadeBy(*e, MethodRow::Making::kFolder)) {
      pass->Add(Step::kFolder, e);
    } else if (KindOf(e) == EntryKind::KindGroup || e->newName[0] != 0) {
      pass->Add(Step::kDump, e);
      pass->AddFile(folder, e->newName, e->newDigest, e->newSize, e, nullptr);
    }
  }
  pass->Add(Step::kDone);
}

}  // namespace

Stop VerifyTree(const PatchEntry* first, const char* folder, bool top, CheckResults* listener) {
  // What an earlier verification kept belongs to its own update.
  DecodedMembers::Instance().Release();
  Pass pass(listener);
  for (int round = 0; round < 2; ++round) {
    if (round == 1 && !pass.Reserve()) return Stop::kNoMemory;
    VerifiedContents verified;
    PlanOldSide(first, nullptr, folder, top, &verified, &pass);
  }
  return pass.Replay(folder, CountEntries(first));
}

Stop CheckTree(const PatchEntry* first, const char* folder) {
  Pass pass;
  PlanNewSide(first, folder, &pass);
  if (!pass.Reserve()) return Stop::kNoMemory;
  PlanNewSide(first, folder, &pass);
  return pass.Replay(folder, CountEntries(first));
}

}  // namespace zt4
