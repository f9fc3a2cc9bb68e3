#include "fault_harness.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/texts.h"
#include "driver/update_driver.h"
#include "update/ordered_run.h"
#include "platform/test_support.h"
#include "support/patch_writer.h"

namespace {

// Set in a child that runs an update. Where the child is a fork, the leak check at its
// exit would weigh the parent's memory as well and costs half of each run; the runs'
// own leaks are checked where a whole run ends in-process (the driver tests).
bool gInUpdateChild = false;

}  // namespace

// Read by the leak checker of sanitizer builds at exit; unused elsewhere.
extern "C" int __lsan_is_turned_off() { return gInUpdateChild ? 1 : 0; }

namespace zt4::test {
namespace {

const char* const kStops[] = {StopPatchDamaged, StopVersionMismatch, StopSourceMissing,
                              StopNoMemory,     StopWriteFailed,     StopAborted};
const char* const kStopNames[] = {"patch damaged", "version mismatch", "source missing",
                                  "no memory",     "write failed",     "aborted"};

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

}  // namespace

CaseFolder::CaseFolder(const std::string& path)
    : folder(path),
      program(path + "/program"),
      target(path + "/install"),
      outcome(path + ".outcome") {}

bool PrepareCaseWithPatchBytes(const CaseFolder& where, const Tree& oldTree,
                               const std::string& patchBytes) {
  std::remove(where.outcome.c_str());
  return WriteTree(where.target, oldTree) && WriteFile(where.program + "/patch.zt4", patchBytes);
}

bool PrepareCase(const CaseFolder& where, const Tree& oldTree, const std::string& list,
                 const std::map<int32_t, std::string>& payloads) {
  std::remove(where.outcome.c_str());
  if (!WriteTree(where.target, oldTree)) return false;
  if (Os().CreateFolderTree(DialogPath(where.program).c_str()) == FolderResult::kFailed) {
    return false;
  }
  return WritePatch(where.program + "/patch.zt4", list, payloads);
}

void RunUpdateAndExit(const CaseFolder& where, FaultyPlatform* platform) {
  gInUpdateChild = true;
  // With one thread, operations are numbered in the order they are made.
  SetWorkerThreads(platform->threads);
  platform->executable = DialogPath(where.program) + "\\zt4patch.exe";
  platform->folder = DialogPath(where.target);
  platform->answers.assign(1, kAnswerYes);
  platform->outcomeFile = where.outcome;
  {
    ScopedPlatform scope(platform);
    UpdateDriver();
  }
  if (platform->faultAt == 0) {
    // A counting run hands its operations to the parent, one a line.
    if (std::FILE* out = std::fopen((where.folder + ".operations").c_str(), "wb")) {
      for (const OpRecord& r : platform->operations) {
        std::fprintf(out, "%d %d %d %d %d %d %d %s\n", static_cast<int>(r.op),
                     static_cast<int>(r.phase), static_cast<int>(r.target), r.reading ? 1 : 0,
                     r.step, r.tell ? 1 : 0, r.sameAnyway ? 1 : 0,
                     r.path.empty() ? "-" : HexOf(r.path).c_str());
      }
      std::fclose(out);
    }
  }
  std::fflush(stdout);
  std::exit(0);
}

Outcome ReadOutcome(const std::string& file) {
  Outcome outcome;
  std::ifstream in(file, std::ios::binary);
  std::string line;
  std::string last;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    std::string hex;
    int fired = 0;
    int backedUp = 0;
    fields >> hex >> fired >> backedUp;
    if (FromHex(hex) == kConfirmText) outcome.confirmed = true;
    if (FromHex(hex) == kResumeText) outcome.resumed = true;
    if (FromHex(hex) == kDoneText) outcome.completed = true;
    if (FromHex(hex) == "cut") outcome.cut = true;
    last = line;
    outcome.present = true;
    outcome.box = FromHex(hex);
    outcome.fired = fired != 0;
    outcome.backedUp = backedUp != 0;
  }
  outcome.done = outcome.present && outcome.box == kDoneText;
  return outcome;
}

std::vector<OpRecord> ReadOperations(const CaseFolder& where) {
  std::vector<OpRecord> records;
  std::ifstream in(where.folder + ".operations", std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    int op = 0, phase = 0, target = 0, reading = 0, tell = 0, same = 0;
    OpRecord r;
    std::string hex;
    if (!(fields >> op >> phase >> target >> reading >> r.step >> tell >> same >> hex)) break;
    r.op = static_cast<Op>(op);
    r.phase = static_cast<Phase>(phase);
    r.target = static_cast<Target>(target);
    r.reading = reading != 0;
    r.tell = tell != 0;
    r.sameAnyway = same != 0;
    if (hex != "-") r.path = FromHex(hex);
    records.push_back(r);
  }
  return records;
}

int StopIndex(const std::string& box) {
  for (int i = 0; i < 6; ++i) {
    if (box == kStops[i]) return i;
  }
  return box == kDoneText ? 6 : -1;
}

std::string StopName(const std::string& box) {
  int index = StopIndex(box);
  if (index < 0) return "unexpected box";
  return index == 6 ? "completed" : kStopNames[index];
}

Tree Surroundings(const CaseFolder& where) {
  Tree all = ReadTree(where.folder);
  Tree out;
  for (const auto& [path, content] : all) {
    if (path == "install/" || path.rfind("install/", 0) == 0) continue;
    out[path] = content;
  }
  return out;
}

Tree UpdatedTree(const Tree& oldTree, const Tree& newTree) {
  Tree expected = newTree;
  expected["BACKUP_FILES/"] = "";
  for (const auto& [path, content] : oldTree) expected["BACKUP_FILES/" + path] = content;
  return expected;
}

Tree Subtree(const Tree& tree, const std::string& prefix) {
  Tree out;
  for (const auto& [path, content] : tree) {
    if (path.size() > prefix.size() && path.rfind(prefix, 0) == 0) {
      out[path.substr(prefix.size())] = content;
    }
  }
  return out;
}

namespace {

// The journal, or the start of one a cut left before its header was whole.
bool IsJournal(const std::string& path, const std::string& content) {
  const std::string mark = "ZT4JRNL";
  return path.rfind("zt4journal", 0) == 0 && path.find('/') == std::string::npos &&
         (content.rfind(mark, 0) == 0 || mark.rfind(content, 0) == 0);
}

}  // namespace

Tree BackedUp(const Tree& install) {
  Tree backedUp = Subtree(install, "BACKUP_FILES/");
  for (auto item = backedUp.begin(); item != backedUp.end();) {
    item = IsJournal(item->first, item->second) ? backedUp.erase(item) : std::next(item);
  }
  return backedUp;
}

bool HasJournal(const Tree& install) {
  // Whole at least as far as its header: the mark, the patch's digest, their CRC.
  for (const auto& [path, content] : Subtree(install, "BACKUP_FILES/")) {
    if (IsJournal(path, content) && content.size() >= 32) return true;
  }
  return false;
}

void RemoveTreeForTest(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(path), ignored);
  std::remove((path + ".outcome").c_str());
}

std::string GetVariable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

namespace {

constexpr char kRootVariable[] = "ZT4_FAULT_ROOT";
// In a child started anew: the number of the run it makes.
constexpr char kRunVariable[] = "ZT4_FAULT_CHILD_RUN";
// The exit status of a child that ended its test without meeting its run.
constexpr int kRunNotReached = 3;

std::string StartedMark(const std::string& root) { return root + "/child.started"; }
std::string FailedStarts(const std::string& root) { return root + "/child.failed-starts"; }

}  // namespace

void ChildRunTest::SetUp() {
  const std::string run = GetVariable(kRunVariable);
  childRun_ = run.empty() ? 0 : std::atoi(run.c_str());
  child_ = testing::internal::InDeathTestChild() || childRun_ > 0;
  // A fork per run where the OS has one (no new start of the test program per run).
  GTEST_FLAG_SET(death_test_style, "fast");
  if (child_) {
    root_ = GetVariable(kRootVariable);
    if (childRun_ > 0) {
      const int failing = std::atoi(GetVariable(kFailedStartsVariable).c_str());
      std::string failed;
      ReadFile(FailedStarts(root_), &failed);
      if (static_cast<int>(failed.size()) < failing) {
        WriteFile(FailedStarts(root_), failed + "x");
        std::_Exit(static_cast<int>(0xC0000018u));
      }
      // The parent learns from this that the start went through.
      WriteFile(StartedMark(root_), "");
    }
  } else {
    folder_ = std::make_unique<TempFolder>();
    root_ = folder_->Path();
    SetVariable(kRootVariable, root_);
  }
}

void ChildRunTest::TearDown() {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  if (childRun_ > 0) {
    // The run this child was started for never came: the parent's test took another way.
    std::printf("the child for run %d ended its test after %d runs\n", childRun_, runs_);
    std::fflush(stdout);
    std::_Exit(kRunNotReached);
  }
}

void ChildRunTest::StartChild(int run) {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter =
      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  const char* const arguments[] = {filter.c_str(), nullptr};
  const std::string output = root_ + "/child.log";
  const std::string mark = StartedMark(root_);
  SetVariable(kRunVariable, std::to_string(run));
  std::remove(FailedStarts(root_).c_str());
  bool ran = false;
  bool ended = false;
  unsigned long code = 0;
  for (int start = 1; start <= kChildStarts && !ran; ++start) {
    std::remove(mark.c_str());
    ended = RunThisProgram(arguments, output.c_str(), &code);
    ran = Exists(mark);
    if (!ran) {
      std::printf("run %d: the child did not reach its test (start %d of %d, %s %#lx)\n", run,
                  start, kChildStarts, ended ? "exit code" : "error", code);
      std::fflush(stdout);
    }
  }
  SetVariable(kRunVariable, "");
  std::string log;
  ReadFile(output, &log);
  EXPECT_TRUE(ran) << "run " << run << ": the child never started in " << kChildStarts
                   << " starts\n" << log;
  if (!ran) return;
  EXPECT_TRUE(ended) << "run " << run << ": the child did not end normally (" << code << ")\n"
                     << log;
  EXPECT_EQ(code, 0ul) << "run " << run << ": the child's exit status\n" << log;
}

Outcome ChildRunTest::RunInChild(const CaseFolder& where, FaultyPlatform* platform) {
  if (!ChildrenStartAnew()) {
    EXPECT_EXIT(RunUpdateAndExit(where, platform), testing::ExitedWithCode(0), "");
    if (child_) return Outcome{};
    return ReadOutcome(where.outcome);
  }
  const int run = ++runs_;
  if (child_) {
    if (run == childRun_) RunUpdateAndExit(where, platform);
    return Outcome{};
  }
  StartChild(run);
  return ReadOutcome(where.outcome);
}

Outcome ChildRunTest::RunCase(const CaseFolder& where, int faultAt, Flavour flavour,
                              int secondFaultAt, int cutAt, int threads) {
  FaultyPlatform platform;
  platform.faultAt = faultAt;
  platform.flavour = flavour;
  platform.secondFaultAt = secondFaultAt;
  platform.cutAt = cutAt;
  platform.threads = threads;
  return RunInChild(where, &platform);
}

Outcome ChildRunTest::RunKeyedCase(const CaseFolder& where, const FaultKey& key,
                                   Flavour flavour, int threads) {
  FaultyPlatform platform;
  platform.faultKey = key;
  platform.flavour = flavour;
  platform.threads = threads;
  return RunInChild(where, &platform);
}

CaseFolder ChildRunTest::FreshCase(const std::string& name) {
  CaseFolder where(root_ + "/" + name);
  if (!child_) RemoveTreeForTest(where.folder);
  return where;
}

}  // namespace zt4::test
