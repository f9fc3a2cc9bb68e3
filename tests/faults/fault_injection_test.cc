// Every disk operation of a whole update fails once, each in its own run. Whatever fails
// and wherever, the run ends through one of the six stops or completes, and the old
// install is never lost: until the backup completes the install is untouched; after it,
// BACKUP_FILES holds all of it; nothing appears beside the install. Stops that leave a
// backup are then put back with `zt4 restore`, which must give the old install.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
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
using test::Tree;

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
    sample_ = test::MakeSampleInstall();
  }

  // The operations of a whole successful run, counted in a child of its own (the run
  // keeps its description to the end of the process) and read back from its file.
  std::vector<Op> CountOperations() {
    CaseFolder where = FreshCase("count");
    if (!child_) {
      EXPECT_TRUE(test::PrepareCase(where, sample_.oldTree, sample_.list, sample_.payloads));
    }
    test::Outcome outcome = RunCase(where);
    if (!child_) {
      EXPECT_TRUE(outcome.done);
      EXPECT_EQ(test::ReadTree(where.target), test::UpdatedTree(sample_.oldTree, sample_.newTree));
    }
    std::vector<Op> ops;
    std::ifstream in(where.folder + ".operations");
    for (int op; in >> op;) ops.push_back(static_cast<Op>(op));
    return ops;
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
      EXPECT_EQ(test::Subtree(after, "BACKUP_FILES/"), sample_.oldTree)
          << "the backup does not hold the whole old install";
    }
  }

  // `zt4 restore` on the install a stopped run left: the old install comes back whole, or
  // (without a backup folder) it refuses and changes nothing.
  void CheckRestore(const CaseFolder& where, const test::Outcome& outcome,
                    const std::string& label) {
    SCOPED_TRACE(label + ": restore after " + test::StopName(outcome.box));
    Tree before = test::ReadTree(where.target);
    bool hasBackup = before.count("BACKUP_FILES/") != 0;
    bool restored = tool::RestoreCommand({where.target});
    EXPECT_EQ(restored, hasBackup);
    if (hasBackup) {
      EXPECT_EQ(test::ReadTree(where.target), sample_.oldTree);
    } else {
      EXPECT_EQ(test::ReadTree(where.target), before);
    }
  }

  test::SampleInstall sample_;
};

TEST_F(FaultInjectionTest, EveryOperationOfAWholeRunFailsOnce) {
  std::vector<Op> ops = CountOperations();
  ASSERT_GT(ops.size(), 50u);
  if (!child_) std::printf("a whole run makes %zu counted operations\n", ops.size());
  Tally tally;
  int runs = 0;
  int restores = 0;
  for (size_t n = 1; n <= ops.size(); ++n) {
    const Op op = ops[n - 1];
    for (Flavour flavour : test::FlavoursOf(op)) {
      const std::string label = "operation " + std::to_string(n) + " " + test::OpName(op) + " (" +
                                test::FlavourName(op, flavour) + ")";
      CaseFolder where = FreshCase("run");
      Tree surroundings;
      if (!child_) {
        ASSERT_TRUE(test::PrepareCase(where, sample_.oldTree, sample_.list, sample_.payloads));
        surroundings = test::Surroundings(where);
      }
      test::Outcome outcome = RunCase(where, static_cast<int>(n), flavour);
      if (child_) continue;
      CheckAfterRun(where, surroundings, outcome, label);
      if (!outcome.done) {
        CheckRestore(where, outcome, label);
        ++restores;
      }
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
  std::printf("%d stopped runs put back with zt4 restore\n", restores);
}

// A move of the backup fails, and then so does a step of putting the moved items back:
// the install is left split between its place and BACKUP_FILES. Nothing is lost (each old
// item stands in exactly one of the two), and `zt4 restore` joins them again.
TEST_F(FaultInjectionTest, BackupAndItsUndoBothFail) {
  std::vector<Op> ops = CountOperations();
  int runs = 0;
  int moveNumber = 0;
  for (size_t n = 1; n <= ops.size(); ++n) {
    if (ops[n - 1] != Op::kMove) continue;
    ++moveNumber;
    // The undo moves back the moveNumber - 1 items moved before, then removes the folder.
    for (int later = 1; later <= moveNumber; ++later) {
      const std::string label = "move " + std::to_string(moveNumber) + " fails, then step " +
                                std::to_string(later) + " of its undo";
      CaseFolder where = FreshCase("split");
      Tree surroundings;
      if (!child_) {
        ASSERT_TRUE(test::PrepareCase(where, sample_.oldTree, sample_.list, sample_.payloads));
        surroundings = test::Surroundings(where);
      }
      test::Outcome outcome =
          RunCase(where, static_cast<int>(n), Flavour::kFail, static_cast<int>(n) + later);
      if (child_) continue;
      SCOPED_TRACE(label);
      ++runs;
      ASSERT_TRUE(outcome.present);
      EXPECT_EQ(outcome.box, StopAborted);
      EXPECT_EQ(test::Surroundings(where), surroundings);
      Tree after = test::ReadTree(where.target);
      Tree joined = test::Subtree(after, "BACKUP_FILES/");
      for (const auto& [path, content] : after) {
        if (path == "BACKUP_FILES/" || path.rfind("BACKUP_FILES/", 0) == 0) continue;
        EXPECT_EQ(joined.count(path), 0u) << "in both places: " << path;
        joined[path] = content;
      }
      EXPECT_EQ(joined, sample_.oldTree) << "old items lost";
      EXPECT_TRUE(tool::RestoreCommand({where.target}));
      EXPECT_EQ(test::ReadTree(where.target), sample_.oldTree);
    }
  }
  if (!child_) std::printf("%d runs with a failed backup whose undo failed too\n", runs);
  EXPECT_TRUE(child_ || runs > 0);
}

}  // namespace
}  // namespace zt4
