// Every disk operation of a whole update fails once, each in its own run (where a run is
// slow, a process start under Wine or a fork under the sanitizers, one operation of each
// kind stands for the others). Each run must
// end as the rules below say for that operation (through one of the six stops, or
// complete), and the old install is never lost: until the backup completes the install is
// untouched; after it, BACKUP_FILES holds all of it; nothing appears beside the install.
// Stops that leave a backup are then put back with `zt4 restore`, which must give the old
// install.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/texts.h"
#include "driver/update_driver.h"
#include "fault_harness.h"
#include "support/patch_writer.h"
#include "zt4/commands.h"

namespace zt4 {
namespace {

using test::CaseFolder;
using test::Flavour;
using test::Op;
using test::OpRecord;
using test::Phase;
using test::Target;
using test::Tree;

// Which operations of a phase and target a rule takes.
enum class When {
  kAlways,
  kSameAnyway,   // the call gives the fault's result anyway
  kFirstOnFile,  // the first operation on a file after its open
  kIndex,        // an archive's open and its index read: seek, header, size, seek, index
  kTell,         // a seek that only asks the position
  kReadBack,     // on a file opened to read
};

constexpr Phase kAnyPhase = Phase::kCount;
constexpr Target kAnyTarget = Target::kCount;
constexpr Op kAnyOp = Op::kCount;

struct Rule {
  Phase phase;
  Target target;
  Op op;
  When when;
  const char* ends;  // the stop's text, or the completion's
};

// How a run ends when the operation failing in it is the one described; the first rule
// that takes the operation decides. A short read or write fails the same way as a failed
// one everywhere: every read's count is compared with the count asked, and a short write
// reports failure.
constexpr Rule kRules[] = {
    // Failing a call that fails anyway changes nothing: opening an archive member's path
    // (no plain file there), reading the 0 bytes of an empty member.
    {kAnyPhase, kAnyTarget, kAnyOp, When::kSameAnyway, kDoneText},
    // The patch is mounted and its list loaded: any failure is a damaged patch, and so is
    // a payload that cannot be loaded later.
    {Phase::kCheckingPatch, kAnyTarget, kAnyOp, When::kAlways, StopPatchDamaged},
    {kAnyPhase, Target::kPatch, kAnyOp, When::kAlways, StopPatchDamaged},
    // The journal: its start and the backup's end are part of the backup, which is put
    // back; a name it cannot take in the apply pass, or its removal at the end, stops the
    // run as a write failure.
    {Phase::kApplying, Target::kJournal, kAnyOp, When::kAlways, StopWriteFailed},
    {Phase::kCheckingResult, Target::kJournal, kAnyOp, When::kAlways, StopWriteFailed},
    // Verifying a plain file, old or new. One that does not open is looked for in an
    // archive named after its folder, and the sample has none such: missing. Its size is
    // compared first; the size and the read of loading it whole fail as an allocation.
    {Phase::kCheckingTarget, Target::kOldFile, Op::kOpen, When::kAlways, StopSourceMissing},
    {Phase::kCheckingTarget, Target::kOldFile, Op::kSize, When::kFirstOnFile, StopVersionMismatch},
    {Phase::kCheckingTarget, Target::kOldFile, kAnyOp, When::kAlways, StopNoMemory},
    // The folders that received the new files are put on the disk last.
    {Phase::kCheckingResult, kAnyTarget, Op::kFlush, When::kAlways, StopWriteFailed},
    {Phase::kCheckingResult, kAnyTarget, Op::kOpen, When::kAlways, StopSourceMissing},
    {Phase::kCheckingResult, kAnyTarget, Op::kSize, When::kFirstOnFile, StopVersionMismatch},
    {Phase::kCheckingResult, kAnyTarget, kAnyOp, When::kAlways, StopNoMemory},
    // An old archive whose index cannot be read is missing; a member of it that cannot be
    // read is not the expected version (verified, or copied into a rebuilt archive).
    {kAnyPhase, Target::kOldArchive, kAnyOp, When::kIndex, StopSourceMissing},
    {kAnyPhase, Target::kOldArchive, kAnyOp, When::kAlways, StopVersionMismatch},
    // Only an explicit Yes at the confirmation goes on.
    {kAnyPhase, kAnyTarget, Op::kBox, When::kAlways, StopAborted},
    // Any failure of the backup is put back and aborts.
    {Phase::kMakingBackup, kAnyTarget, kAnyOp, When::kAlways, StopAborted},
    // Applying: the old file of a changed file is read from the backup; each new file is
    // written in the work folder, its folders created and the file renamed into place.
    {Phase::kApplying, Target::kOldFile, kAnyOp, When::kAlways, StopSourceMissing},
    {Phase::kApplying, kAnyTarget, Op::kCreateFolder, When::kAlways, StopWriteFailed},
    {Phase::kApplying, kAnyTarget, Op::kReplace, When::kAlways, StopWriteFailed},
    {Phase::kApplying, kAnyTarget, Op::kRemoveFolder, When::kAlways, StopWriteFailed},
    {Phase::kApplying, Target::kNewFile, kAnyOp, When::kAlways, StopWriteFailed},
    // Both rebuilt archives carry members over as coded bytes, so each is read back and,
    // when it is not the expected archive, written again the plain way: reading it back
    // failing ends in a complete run. Any failure writing it, asking the position too, is
    // a write failure.
    {Phase::kApplying, Target::kNewArchive, kAnyOp, When::kReadBack, kDoneText},
    {Phase::kApplying, Target::kNewArchive, kAnyOp, When::kAlways, StopWriteFailed},
};

bool Takes(const Rule& rule, const OpRecord& r) {
  if ((rule.phase != kAnyPhase && rule.phase != r.phase) ||
      (rule.target != kAnyTarget && rule.target != r.target) ||
      (rule.op != kAnyOp && rule.op != r.op)) {
    return false;
  }
  switch (rule.when) {
    case When::kAlways:
      return true;
    case When::kSameAnyway:
      return r.sameAnyway;
    case When::kFirstOnFile:
      return r.step == 1;
    case When::kIndex:
      return r.step <= 5;
    case When::kTell:
      return r.tell;
    case When::kReadBack:
      return r.reading;
  }
  return false;
}

// The index of the rule that decides for the operation; -1 when none does.
int RuleFor(const OpRecord& record) {
  for (size_t i = 0; i < std::size(kRules); ++i) {
    if (Takes(kRules[i], record)) return static_cast<int>(i);
  }
  return -1;
}

std::string Describe(const OpRecord& r) {
  std::string path;
  for (unsigned char c : r.path) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, c < 0x80 ? "%c" : "\\x%02X", c);
    path += escaped;
  }
  std::string text =
      std::string(" while ") + test::PhaseName(r.phase) + ", on " + test::TargetName(r.target);
  if (!path.empty()) text += " " + path;
  if (r.step > 0) text += " (operation " + std::to_string(r.step) + " on the open file)";
  return text;
}

// Stops seen per kind of fault: [op][flavour][outcome 0..6].
using Tally = std::map<std::pair<Op, Flavour>, std::vector<int>>;

void PrintTally(const Tally& tally, int runs) {
  std::printf("\n%d runs, one injected fault each. Outcome per kind of fault:\n", runs);
  std::printf("%-22s %7s %8s %8s %7s %7s %8s %9s\n", "fault", "damaged", "version", "source",
              "memory", "write", "aborted", "completed");
  for (const auto& [kind, counts] : tally) {
    std::string name = std::string(test::OpName(kind.first)) + " (" +
                       test::FlavourName(kind.first, kind.second) + ")";
    std::printf("%-22s %7d %8d %8d %7d %7d %8d %9d\n", name.c_str(), counts[0], counts[1],
                counts[2], counts[3], counts[4], counts[5], counts[6]);
  }
  std::fflush(stdout);
}

class FaultInjectionTest : public test::ChildRunTest {
 protected:
  void SetUp() override {
    ChildRunTest::SetUp();
    // The user's own config.ini, which the new version also has, and (where links can be
    // made) a folder of the install linked to one outside it, where the new version
    // writes: the files an update or its recovery could wrongly remove.
    sample_ = test::MakeSampleInstall(true, true);
  }

  // Lays out the sample in a case folder, with "mods" a link to the folder "outside"
  // beside the install where the OS makes links.
  void PrepareSample(const CaseFolder& where) {
    EXPECT_TRUE(test::PrepareCase(where, sample_.oldTree, sample_.list, sample_.payloads));
#ifndef _WIN32
    const std::string outside = where.folder + "/outside";
    EXPECT_TRUE(test::WriteFile(outside + "/x.txt", "outside the install"));
    std::filesystem::remove(where.target + "/mods");
    std::filesystem::create_directory_symlink(outside, where.target + "/mods");
#endif
  }

  // The install as a stopped run left it, copied (links as links) for `zt4 restore`, so
  // that the run itself can be made again in place.
  std::string CopyForRestore(const CaseFolder& where) {
    const std::string copy = root_ + "/restore-copy";
    test::RemoveTreeForTest(copy);
    std::filesystem::copy(where.target, copy,
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::copy_symlinks);
    return copy;
  }

  // The update run again on what a stopped or cut run left (`before`): an update cut
  // short is finished after the box that offers it, a complete one is refused as an
  // earlier backup, and one that never began its backup runs from the start. Every way,
  // the install ends as the new version beside the whole old one.
  void CheckRunAgain(const CaseFolder& where, const Tree& before, const test::Outcome& again,
                     const std::string& label) {
    SCOPED_TRACE(label + ": run again");
    const Tree updated = test::UpdatedTree(sample_.oldTree, sample_.newTree);
    if (before == updated) {
      EXPECT_EQ(test::StopName(again.box), test::StopName(StopAborted));
    } else {
      EXPECT_TRUE(again.done) << test::StopName(again.box);
    }
    EXPECT_EQ(again.resumed, test::HasJournal(before));
    EXPECT_EQ(test::ReadTree(where.target), updated);
  }

  // The operations of a whole successful run, counted in a child of its own (the run
  // keeps its description to the end of the process) and read back from its file.
  std::vector<OpRecord> CountOperations() {
    CaseFolder where = FreshCase("count");
    if (!child_) PrepareSample(where);
    test::Outcome outcome = RunCase(where);
    if (!child_) {
      EXPECT_TRUE(outcome.done);
      EXPECT_EQ(test::ReadTree(where.target), test::UpdatedTree(sample_.oldTree, sample_.newTree));
    }
    return test::ReadOperations(where);
  }

  // A fresh case folder with the sample's old install and patch (laid out by the parent
  // only), and what lies beside the install there.
  CaseFolder SampleCase(const std::string& name, Tree* surroundings) {
    CaseFolder where = FreshCase(name);
    if (!child_) {
      PrepareSample(where);
      *surroundings = test::Surroundings(where);
    }
    return where;
  }

  // What the folders must hold after a run that ended as `outcome`.
  void CheckAfterRun(const CaseFolder& where, const Tree& surroundings,
                     const test::Outcome& outcome, const std::string& label) {
    SCOPED_TRACE(label + ": " + test::StopName(outcome.box));
    ASSERT_TRUE(outcome.present) << "the run showed no box";
    EXPECT_TRUE(outcome.fired) << "the fault was never made: the run took another way";
    EXPECT_GE(test::StopIndex(outcome.box), 0) << "a box that is neither a stop nor the end";
    EXPECT_EQ(test::Surroundings(where), surroundings) << "something changed beside the install";
    Tree after = test::ReadTree(where.target);
    if (outcome.done) {
      EXPECT_EQ(after, test::UpdatedTree(sample_.oldTree, sample_.newTree));
    } else if (!outcome.backedUp) {
      EXPECT_EQ(after, sample_.oldTree) << "the install changed before its backup completed";
    } else {
      EXPECT_EQ(test::BackedUp(after), sample_.oldTree)
          << "the backup does not hold the whole old install";
    }
  }

  // `zt4 restore` on (a copy of) the install a stopped or cut run left: the old install
  // comes back whole, or (without a backup folder) it refuses and changes nothing. After
  // a complete update there is no journal, and nothing of the new version is removed.
  void CheckRestore(const CaseFolder& where, const std::string& target, const std::string& label) {
    SCOPED_TRACE(label + ": restore");
    const Tree before = test::ReadTree(target);
    const bool hasBackup = before.count("BACKUP_FILES/") != 0;
    const bool restored = tool::RestoreCommand({target, where.program + "/patch.zt4"});
    if (before == test::UpdatedTree(sample_.oldTree, sample_.newTree)) {
      EXPECT_FALSE(restored);
      Tree after = test::ReadTree(target);
      for (const auto& [path, content] : sample_.newTree) EXPECT_EQ(after[path], content) << path;
      return;
    }
    EXPECT_EQ(restored, hasBackup);
    EXPECT_EQ(test::ReadTree(target), hasBackup ? sample_.oldTree : before);
  }

  // After a stopped or cut run: restore on a copy, then the update run again in place.
  // The run is made in every process (the child that makes it finds it by its number);
  // the checks only in the parent.
  void RunAgainAndRestore(const CaseFolder& where, const std::string& label, int threads = 1) {
    Tree before;
    if (!child_) {
      before = test::ReadTree(where.target);
      CheckRestore(where, CopyForRestore(where), label);
      std::remove(where.outcome.c_str());
    }
    test::Outcome again = RunCase(where, 0, Flavour::kFail, 0, 0, threads);
    if (!child_) CheckRunAgain(where, before, again, label);
  }

  test::SampleInstall sample_;
};

TEST_F(FaultInjectionTest, EveryOperationOfAWholeRunFailsOnce) {
  std::vector<OpRecord> ops = CountOperations();
  const std::vector<test::FaultKey> keys = test::KeysOf(ops);
  int threadedRuns = 0;
  ASSERT_GT(ops.size(), 50u);
  if (!child_) std::printf("a whole run makes %zu counted operations\n", ops.size());
  Tally tally;
  std::vector<int> decided(std::size(kRules));
  int runs = 0;
  int restores = 0;
  // Where a run is slow (SlowChildren), the first operation of each kind that a rule
  // decides in a phase, on a target, stands for the others: each kind is met once.
  // Elsewhere every operation fails in turn.
  std::set<std::tuple<int, Op, Flavour, Phase, Target>> sampled;
  for (size_t n = 1; n <= ops.size(); ++n) {
    const Op op = ops[n - 1].op;
    const int rule = RuleFor(ops[n - 1]);
    for (Flavour flavour : test::FlavoursOf(op)) {
      if (test::SlowChildren() &&
          !sampled.insert({rule, op, flavour, ops[n - 1].phase, ops[n - 1].target}).second) {
        continue;
      }
      const std::string label = "operation " + std::to_string(n) + " " + test::OpName(op) + " (" +
                                test::FlavourName(op, flavour) + ")" + Describe(ops[n - 1]);
      Tree surroundings;
      CaseFolder where = SampleCase("run", &surroundings);
      test::Outcome outcome = RunCase(where, static_cast<int>(n), flavour);
      // Where the checks and the writes run on several threads, the same fault, found by
      // its key, ends the run the same way, and the stopped run is put back as well.
      std::optional<CaseFolder> threaded;
      Tree threadedSurroundings;
      test::Outcome many;
      const Phase phase = ops[n - 1].phase;
      if (phase == Phase::kCheckingTarget || phase == Phase::kApplying ||
          phase == Phase::kCheckingResult) {
        threaded = SampleCase("threaded", &threadedSurroundings);
        many = RunKeyedCase(*threaded, keys[n - 1], flavour, 4);
      }
      if (!child_) {
        CheckAfterRun(where, surroundings, outcome, label);
        if (rule < 0) {
          ADD_FAILURE() << label << ": no rule says how this run ends";
        } else {
          ++decided[static_cast<size_t>(rule)];
          EXPECT_EQ(test::StopName(outcome.box), test::StopName(kRules[rule].ends))
              << label << ", by rule " << rule;
        }
        if (threaded) {
          CheckAfterRun(*threaded, threadedSurroundings, many, label + " on 4 threads");
          EXPECT_EQ(test::StopName(many.box), test::StopName(outcome.box))
              << label << " on 4 threads";
          ++threadedRuns;
        }
      }
      // After the confirmation the update is run again (on as many threads) and, on a
      // copy, put back with zt4 restore.
      if (phase == Phase::kMakingBackup || phase == Phase::kApplying ||
          phase == Phase::kCheckingResult) {
        RunAgainAndRestore(where, label);
        // Where a run is slow, the runs on one thread stand for those on four.
        if (threaded && !test::SlowChildren()) {
          RunAgainAndRestore(*threaded, label + " on 4 threads", 4);
        }
        ++restores;
      }
      if (child_) continue;
      auto& counts = tally[{op, flavour}];
      counts.resize(7);
      int index = test::StopIndex(outcome.box);
      if (index >= 0) ++counts[static_cast<size_t>(index)];
      ++runs;
      if (HasFailure()) {
        PrintTally(tally, runs);
        return;  // the folder of the failed run stays for a look until the test ends
      }
    }
  }
  PrintTally(tally, runs);
  std::printf("%d runs made again and put back with zt4 restore\n", restores);
  std::printf("%d of the runs again on 4 threads\n", threadedRuns);
  if (!child_) {
    EXPECT_GT(threadedRuns, 20);
  }
  std::printf("runs decided by each rule:");
  for (int count : decided) std::printf(" %d", count);
  std::printf("\n");
  // A rule no operation comes under is out of date with the run.
  for (size_t i = 0; i < decided.size() && !child_; ++i) {
    EXPECT_GT(decided[i], 0) << "rule " << i << " decided no run";
  }
}

// A move of the backup fails, and then so does a step of putting the moved items back:
// the install is left split between its place and BACKUP_FILES. Nothing is lost (each old
// item stands in exactly one of the two), and `zt4 restore` joins them again.
TEST_F(FaultInjectionTest, BackupAndItsUndoBothFail) {
  std::vector<OpRecord> ops = CountOperations();
  int runs = 0;
  int moveNumber = 0;
  for (size_t n = 1; n <= ops.size(); ++n) {
    if (ops[n - 1].op != Op::kMove || ops[n - 1].phase != Phase::kMakingBackup) continue;
    ++moveNumber;
    // After the failed move the backup looks whether the item reached the backup folder
    // (two operations), then the undo moves back the moveNumber - 1 items moved before and
    // removes the folder: the second fault falls on each of these steps.
    for (int later = 1; later <= moveNumber + 2; ++later) {
      // Where a run is slow, the first two moves meet every step of their undo,
      // a later one the look at the backup folder, the first move back and the removal.
      if (test::SlowChildren() && moveNumber > 2 && later != 1 && later != 3 &&
          later != moveNumber + 2) {
        continue;
      }
      const std::string label = "move " + std::to_string(moveNumber) + " fails, then step " +
                                std::to_string(later) + " of its undo";
      Tree surroundings;
      CaseFolder where = SampleCase("split", &surroundings);
      test::Outcome outcome =
          RunCase(where, static_cast<int>(n), Flavour::kFail, static_cast<int>(n) + later);
      if (!child_) {
        SCOPED_TRACE(label);
        ++runs;
        ASSERT_TRUE(outcome.present);
        EXPECT_EQ(outcome.box, StopAborted);
        EXPECT_EQ(test::Surroundings(where), surroundings);
        Tree after = test::ReadTree(where.target);
        Tree joined = test::BackedUp(after);
        for (const auto& [path, content] : after) {
          if (path == "BACKUP_FILES/" || path.rfind("BACKUP_FILES/", 0) == 0) continue;
          EXPECT_EQ(joined.count(path), 0u) << "in both places: " << path;
          joined[path] = content;
        }
        EXPECT_EQ(joined, sample_.oldTree) << "old items lost";
      }
      // An undo that went through leaves nothing to restore; one that did not is joined.
      // Where a run is slow, after the first step of each undo only.
      if (!test::SlowChildren() || later == 1) RunAgainAndRestore(where, label);
    }
  }
  if (!child_) std::printf("%d runs with a failed backup whose undo failed too\n", runs);
  EXPECT_TRUE(child_ || runs > 0);
}

// The power goes before each operation of a whole run, and once right after the
// completion box. Written data not yet flushed is lost, folder changes stay. Wherever it
// went, the update run again ends as the new version beside the whole old one (the user's
// config.ini in BACKUP_FILES), `zt4 restore` instead gives the old install back, and once
// the completion box was shown, the new install is whole.
TEST_F(FaultInjectionTest, APowerCutAtEveryPointLosesNothing) {
  std::vector<OpRecord> ops = CountOperations();
  int cuts = 0;
  int sampledCuts = 0;
  for (size_t n = 1; n <= ops.size() + 1; ++n) {
    const bool afterCompletion = n == ops.size() + 1;
    // Where a run is slow, before every fourth operation, the first of each
    // phase, and after the completion.
    if (test::SlowChildren() && !afterCompletion && n % 4 != 1 &&
        ops[n - 1].phase == ops[n - 2].phase) {
      continue;
    }
    const std::string label =
        afterCompletion ? "after the completion box"
                        : "before operation " + std::to_string(n) + " " + test::OpName(ops[n - 1].op);
    Tree surroundings;
    CaseFolder where = SampleCase("cut", &surroundings);
    test::Outcome outcome =
        RunCase(where, 0, Flavour::kFail, 0,
                afterCompletion ? test::FaultyPlatform::kCutAfterCompletion : static_cast<int>(n));
    if (!child_) {
      SCOPED_TRACE(label);
      ++cuts;
      ASSERT_TRUE(outcome.cut) << "the run ended otherwise: " << test::StopName(outcome.box);
      EXPECT_EQ(outcome.completed, afterCompletion);
      EXPECT_EQ(test::Surroundings(where), surroundings);
      if (afterCompletion) {
        EXPECT_EQ(test::ReadTree(where.target), test::UpdatedTree(sample_.oldTree, sample_.newTree));
      }
    }
    // Wherever the power went, the update run again finishes, and zt4 restore instead
    // gives the old install back (where a run is slow, after every other cut).
    if (!afterCompletion && (!test::SlowChildren() || ++sampledCuts % 2 == 1)) {
      RunAgainAndRestore(where, label);
    }
    if (HasFailure()) return;
  }
  if (!child_) std::printf("%d power cuts, each run again to the end and put back\n", cuts);
  EXPECT_TRUE(child_ || cuts > 50);
}

// The run that finishes a cut update is cut itself, before each of its operations (the
// first cut in the middle of the backup, then in the middle of the apply pass): run once
// more, the update still ends as the new version, and zt4 restore still gives the old
// install back.
TEST_F(FaultInjectionTest, APowerCutWhileFinishingACutUpdateLosesNothing) {
  std::vector<OpRecord> ops = CountOperations();
  int twice = 0;
  int planned = 0;
  for (Phase phase : {Phase::kMakingBackup, Phase::kApplying}) {
    std::vector<int> inPhase;
    for (size_t n = 1; n <= ops.size(); ++n) {
      if (ops[n - 1].phase == phase) inPhase.push_back(static_cast<int>(n));
    }
    ASSERT_FALSE(inPhase.empty());
    const int firstCut = inPhase[inPhase.size() / 2];
    // The operations of the run that finishes it, counted uncut.
    Tree surroundings;
    CaseFolder counted = SampleCase(std::string("resume-") + test::PhaseName(phase), &surroundings);
    RunCase(counted, 0, Flavour::kFail, 0, firstCut);
    if (!child_) std::remove(counted.outcome.c_str());
    RunCase(counted);
    const size_t resumeOps = test::ReadOperations(counted).size();
    ASSERT_GT(resumeOps, 20u);
    // Where a run is slow, every sixteenth; where each is a process start, fewer still.
    const size_t stride = test::ChildrenStartAnew() ? 48 : test::SlowChildren() ? 16 : 1;
    for (size_t m = 1; m <= resumeOps; m += stride) {
      const std::string label = "cut before operation " + std::to_string(firstCut) +
                                ", then before operation " + std::to_string(m) +
                                " of the run that finishes it";
      CaseFolder where = SampleCase("twice", &surroundings);
      ++planned;
      RunCase(where, 0, Flavour::kFail, 0, firstCut);
      if (!child_) std::remove(where.outcome.c_str());
      test::Outcome second = RunCase(where, 0, Flavour::kFail, 0, static_cast<int>(m));
      if (!child_) {
        SCOPED_TRACE(label);
        EXPECT_TRUE(second.cut) << test::StopName(second.box);
        EXPECT_EQ(test::Surroundings(where), surroundings);
        ++twice;
      }
      RunAgainAndRestore(where, label);
      if (HasFailure()) return;
    }
  }
  if (!child_) std::printf("%d runs that finish a cut update cut in turn\n", twice);
  EXPECT_TRUE(child_ || (twice == planned && planned >= 4));
}

}  // namespace
}  // namespace zt4
