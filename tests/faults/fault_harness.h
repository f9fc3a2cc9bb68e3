// What the fault, hostile-patch and restore tests share: a case folder laid out as a user
// has it (the program's folder with patch.zt4 beside the install), a whole update run in
// a child process that ends like the real program, and the checks of what the run may
// leave behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "faulty_platform.h"
#include "support/sample_install.h"
#include "support/test_files.h"

namespace zt4::test {

// <folder>/program/patch.zt4 and <folder>/install.
struct CaseFolder {
  std::string folder;
  std::string program;
  std::string target;
  std::string outcome;  // beside the case folder, so the scratch stays as it was

  explicit CaseFolder(const std::string& path);
};

// Writes the old install and the patch into a fresh case folder.
bool PrepareCase(const CaseFolder& where, const Tree& oldTree, const std::string& list,
                 const std::map<int32_t, std::string>& payloads);
// The same with the patch file's bytes given whole.
bool PrepareCaseWithPatchBytes(const CaseFolder& where, const Tree& oldTree,
                               const std::string& patchBytes);

// Runs the whole update in this process with `platform` installed, answering Yes, and
// ends the process with status 0 as the program does (a stop ends it earlier).
[[noreturn]] void RunUpdateAndExit(const CaseFolder& where, FaultyPlatform* platform);

// The operations of the counting run made on this case folder, in order.
std::vector<OpRecord> ReadOperations(const CaseFolder& where);

// How a child run ended, from the last box it showed.
struct Outcome {
  bool present = false;  // false: the child showed no box (it crashed or hung)
  std::string box;       // the box text (Shift-JIS)
  bool fired = false;
  bool backedUp = false;
  bool done = false;       // the completion box
  bool completed = false;  // the completion box was shown, whatever came after it
  bool cut = false;        // the run ended in a power cut
  bool confirmed = false;  // the confirmation box was shown (and answered Yes)
  bool resumed = false;    // the box that offers to finish a cut update was shown
};
Outcome ReadOutcome(const std::string& file);

// Short names of the six stops and of the completion, for tables and messages.
std::string StopName(const std::string& box);
// Index 0..5 of a stop text, 6 for the completion, -1 for anything else.
int StopIndex(const std::string& box);

// Everything under the case folder but the install: what the run must never touch.
Tree Surroundings(const CaseFolder& where);
// The old install beside its backup and the new version: the tree after a complete run.
Tree UpdatedTree(const Tree& oldTree, const Tree& newTree);
// Part of a tree below `prefix` ("BACKUP_FILES/"), with the prefix taken off.
Tree Subtree(const Tree& tree, const std::string& prefix);
// What an install's BACKUP_FILES holds of the old install: all of it but the journal an
// update keeps there until it completes (or the start of one, cut before its header).
Tree BackedUp(const Tree& install);
// Whether the install's BACKUP_FILES holds an update's journal with its header whole.
bool HasJournal(const Tree& install);

// Removes a folder and everything in it (nothing when it is missing).
void RemoveTreeForTest(const std::string& path);

// True where every child run is a new process start (Windows) or a fork is slow (the
// sanitizer build): the long suites then take a fixed sample of their cases.
bool SlowChildren();
// True where a child run is this test program started anew by the harness (Windows);
// false where it is a death test's fork.
bool ChildrenStartAnew();
// Environment variables for the children that start anew (an empty value removes one).
void SetVariable(const char* name, const std::string& value);
std::string GetVariable(const char* name);

// How many times a child that never reached its test is started before the run fails:
// under Wine a process start now and then fails before the program's own code runs
// ("failed to map the shared user data").
constexpr int kChildStarts = 5;
// Set to N, the first N starts of each child end before its test with the status of such
// a failed start (0xC0000018): the harness's own test of its starts made again.
constexpr char kFailedStartsVariable[] = "ZT4_FAULT_FAILED_STARTS";

// A test whose update runs happen in child processes. Where a child is a fork (a death
// test), the parent's memory comes along; where it is the test program started anew
// (Windows), it runs this one test again with the number of the run it is to make, finds
// the parent's case folders through the environment, and skips every other run.
class ChildRunTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the update on a prepared case folder in a child, with the fault (if any) chosen,
  // and tells how it ended. In a child that started anew this returns an empty outcome
  // for every run but its own.
  Outcome RunCase(const CaseFolder& where, int faultAt = 0, Flavour flavour = Flavour::kFail,
                  int secondFaultAt = 0, int cutAt = 0, int threads = 1);
  // The same with the fault chosen by its key and the checks on `threads` threads.
  Outcome RunKeyedCase(const CaseFolder& where, const FaultKey& key, Flavour flavour,
                       int threads);
  // The case folder for a run, emptied (by the parent only).
  CaseFolder FreshCase(const std::string& name);

  bool child_ = false;
  std::string root_;

 private:
  // Makes the run with `platform` in a child and reads how it ended.
  Outcome RunInChild(const CaseFolder& where, FaultyPlatform* platform);
  // Starts this test anew for run `run` until the child reaches its test (at most
  // kChildStarts times) and checks that it ended with status 0.
  void StartChild(int run);

  std::unique_ptr<TempFolder> folder_;
  int runs_ = 0;       // runs asked for so far in this test
  int childRun_ = 0;   // in a child started anew: the run it makes
};

}  // namespace zt4::test
