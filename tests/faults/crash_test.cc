// The real Linux program killed (SIGKILL) at many points of a run: whenever it dies, no
// part of the old install is lost. Each old item is either still in its place or in
// BACKUP_FILES, never in both and never changed; once the program has begun to write the
// new version, BACKUP_FILES holds the whole old install; nothing appears beside the
// install. `zt4 restore` then gives the old install back, and the program run again
// instead finishes the update (the user's own config.ini kept in BACKUP_FILES).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/texts.h"
#include "fault_harness.h"
#include "platform/platform.h"
#include "support/patch_writer.h"

namespace zt4 {
namespace {

using test::Tree;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::string Utf8(const char* cp932) {
  char out[1024];
  return Cp932ToNative(cp932, out, sizeof out) < 0 ? std::string() : std::string(out);
}

class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sample_ = test::MakeSampleInstall(true);
    // Many top-level items make the backup (one move each) long enough to be hit.
    for (int i = 0; i < 150; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "extra-%03d.txt", i);
      sample_.oldTree[name] = name;
    }
    program_ = folder_ / "program";
    target_ = folder_ / "install";
    scratch_ = folder_ / "scratch";
    std::filesystem::create_directories(program_);
    std::filesystem::copy_file(ZT4_APPLIER_PATH, program_ + "/zt4patch");
    ASSERT_TRUE(test::WritePatch(program_ + "/patch.zt4", sample_.list, sample_.payloads));
    patch_ = Slurp(program_ + "/patch.zt4");
  }

  // Runs the program in a fresh install. It answers the folder question at once and the
  // confirmation after `answerAfter` seconds, so that the update proper starts at a known
  // time, and is killed `killAfter` seconds after the start (0: never). Returns the run's
  // console output.
  std::string Run(double answerAfter, double killAfter, bool fresh = true) {
    if (fresh) {
      std::filesystem::remove_all(target_);
      EXPECT_TRUE(test::WriteTree(target_, sample_.oldTree));
    }
    char times[128];
    std::snprintf(times, sizeof times, "%.4f", answerAfter);
    std::string answers = "( printf '\\n'; sleep " + std::string(times) + "; printf 'y\\n' )";
    std::string kill;
    if (killAfter > 0) {
      std::snprintf(times, sizeof times, "timeout -s KILL %.4f ", killAfter);
      kill = times;
    }
    std::string command = "cd '" + target_ + "' && " + answers + " | " + kill + "'" + program_ +
                          "/zt4patch' > '" + scratch_ + ".out' 2> '" + scratch_ + ".err'";
    std::system(command.c_str());
    return Slurp(scratch_ + ".out");
  }

  void CheckNothingLost(const std::string& out, const std::string& label) {
    SCOPED_TRACE(label);
    // Beside the install: the program's folder as it was, nothing else.
    Tree beside;
    for (const auto& entry : std::filesystem::directory_iterator(folder_.Path())) {
      beside[entry.path().filename().string()] = "";
    }
    Tree expectedBeside = {
        {"install", ""}, {"program", ""}, {"scratch.out", ""}, {"scratch.err", ""}};
    EXPECT_EQ(beside, expectedBeside);
    EXPECT_EQ(Slurp(program_ + "/patch.zt4"), patch_);
    Tree after = test::ReadTree(target_);
    Tree backup = test::BackedUp(after);
    bool applying = out.find(Utf8(kConsoleApplying)) != std::string::npos;
    if (after.count("BACKUP_FILES/") == 0) {
      EXPECT_FALSE(applying);
      EXPECT_EQ(after, sample_.oldTree) << "changed before the backup";
      ++phases_[0];
      return;
    }
    if (applying) {
      EXPECT_EQ(backup, sample_.oldTree) << "the backup is not whole";
      ++phases_[out.find(Utf8(kConsoleCheckingResult)) != std::string::npos ? 3 : 2];
      return;
    }
    // Killed during the backup: each old item in exactly one of the two places.
    Tree joined = backup;
    for (const auto& [path, content] : after) {
      if (path.rfind("BACKUP_FILES/", 0) == 0) continue;
      EXPECT_EQ(backup.count(path), 0u) << "in both places: " << path;
      joined[path] = content;
    }
    EXPECT_EQ(joined, sample_.oldTree) << "old items lost during the backup";
    ++phases_[1];
  }

  // zt4 restore on a copy of what the kill left gives the old install back (there is
  // nothing to restore without a backup folder, and after a complete update nothing of the
  // new version is removed); the program run again in place ends as the new version.
  void CheckRestoreAndRunAgain(const std::string& label) {
    SCOPED_TRACE(label + ": restore, and run again");
    const Tree before = test::ReadTree(target_);
    const Tree updated = test::UpdatedTree(sample_.oldTree, sample_.newTree);
    const bool hasBackup = before.count("BACKUP_FILES/") != 0;
    const std::string copy = folder_ / "copy";
    std::filesystem::remove_all(copy);
    std::filesystem::copy(target_, copy, std::filesystem::copy_options::recursive);
    std::string command = "'" + std::string(ZT4_TOOL_PATH) + "' restore '" + copy + "' '" +
                          program_ + "/patch.zt4' > /dev/null 2>&1";
    const int status = std::system(command.c_str());
    if (before == updated) {
      EXPECT_NE(status, 0);
    } else {
      EXPECT_EQ(status == 0, hasBackup);
      EXPECT_EQ(test::ReadTree(copy), hasBackup ? sample_.oldTree : before);
    }
    std::filesystem::remove_all(copy);
    const std::string out = Run(0, 0, false);
    EXPECT_EQ(test::ReadTree(target_), updated) << out;
    EXPECT_EQ(out.find(Utf8(kConsoleUnfinishedUpdate)) != std::string::npos, test::HasJournal(before));
  }

  test::SampleInstall sample_;
  test::TempFolder folder_;
  std::string program_;
  std::string target_;
  std::string scratch_;
  std::string patch_;
  int phases_[4] = {};
};

TEST_F(CrashTest, KilledAtManyPointsOfARun) {
  // One whole run first: how long it takes, and that it completes.
  auto start = std::chrono::steady_clock::now();
  std::string out = Run(0, 0);
  double whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(test::ReadTree(target_), test::UpdatedTree(sample_.oldTree, sample_.newTree)) << out;
  // The confirmation comes once the program is surely waiting for it; the kills then fall
  // over the update proper.
  const double answerAfter = 0.05 + whole;
  const int kRuns = 60;
  for (int i = 0; i < kRuns; ++i) {
    // Half of the kills within 6 ms of the answer, where the backup's moves are.
    double seconds = i < kRuns / 2 ? answerAfter + 0.006 * i / (kRuns / 2)
                                   : answerAfter + 1.5 * whole * (i - kRuns / 2) / (kRuns / 2);
    std::string label = "killed after " + std::to_string(seconds) + " s";
    out = Run(answerAfter, seconds);
    CheckNothingLost(out, label);
    // Where runs are slow (the sanitizer build), after every other kill.
    if (!test::SlowChildren() || i % 2 == 0) CheckRestoreAndRunAgain(label);
    if (HasFailure()) break;
  }
  std::printf(
      "a whole run takes %.3f s; %d kills: %d before the backup, %d during it, %d while "
      "writing the new version, %d while checking it or after\n",
      whole, kRuns, phases_[0], phases_[1], phases_[2], phases_[3]);
}

}  // namespace
}  // namespace zt4
