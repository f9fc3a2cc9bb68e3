// The ordered run under load: many tasks of uneven memory on more threads than tasks fit
// at once. Whatever the timing, the tasks running together never hold more than the
// allowance (a task alone may), a task that may not run ahead starts only once every
// earlier task is done, and each task runs exactly once.
#include "update/ordered_run.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace zt4 {
namespace {

// With `keep`, a task run ahead leaves half its memory held for the caller, who lets it
// go once it has taken the task.
class CountingTasks final : public TaskList {
 public:
  CountingTasks(int32_t count, bool keep)
      : keep_(keep), runs_(static_cast<size_t>(count)), done_(static_cast<size_t>(count)),
        kept_(static_cast<size_t>(count)) {}

  void Run(int32_t index, bool inOrder) override {
    int64_t memory = MemoryOf(index);
    int64_t now = held_ += memory;
    // The caller's own task may run beside results only it can take.
    if ((!keep_ || !inOrder) && now > memory && now > peakTogether_) peakTogether_ = now;
    if (!MayRunAhead(index)) {
      for (int32_t i = 0; i < index; ++i) {
        if (!done_[static_cast<size_t>(i)]) lateStart_ = true;
      }
      if (!inOrder) ranAheadAnyway_ = true;
    }
    ++runs_[static_cast<size_t>(index)];
    std::this_thread::yield();
    const int64_t kept = keep_ && !inOrder ? memory / 2 : 0;
    kept_[static_cast<size_t>(index)] = kept;
    held_ -= memory - kept;
    done_[static_cast<size_t>(index)] = true;
  }
  int64_t HeldAfter(int32_t index) const override { return kept_[static_cast<size_t>(index)]; }
  void Taken(int32_t index) { held_ -= kept_[static_cast<size_t>(index)]; }
  int64_t MemoryOf(int32_t index) const override { return index % 7 == 0 ? 50 : 10 + index % 3; }
  bool MayRunAhead(int32_t index) const override { return index % 11 != 5; }

  const bool keep_;
  std::vector<std::atomic<int>> runs_;
  std::vector<std::atomic<bool>> done_;
  std::atomic<int64_t> held_{0};
  std::atomic<int64_t> peakTogether_{0};
  std::atomic<bool> lateStart_{false};
  std::atomic<bool> ranAheadAnyway_{false};
  std::vector<std::atomic<int64_t>> kept_;
};

TEST(OrderedRun, TasksTogetherStayWithinTheAllowanceAndWaitWhenTheyMust) {
  constexpr int32_t kCount = 400;
  constexpr int64_t kAllowance = 60;
  for (int threads : {1, 2, 4, 8}) {
    for (bool keep : {false, true}) {
      SetWorkerThreads(threads);
      CountingTasks tasks(kCount, keep);
      {
        OrderedRun run(&tasks, kCount, kAllowance);
        for (int32_t i = 0; i < kCount; ++i) {
          run.Take(i);
          EXPECT_TRUE(tasks.done_[static_cast<size_t>(i)]) << i;
          tasks.Taken(i);
        }
      }
      for (int32_t i = 0; i < kCount; ++i) EXPECT_EQ(tasks.runs_[static_cast<size_t>(i)], 1) << i;
      EXPECT_LE(tasks.peakTogether_, kAllowance) << threads << (keep ? " keeping" : "");
      EXPECT_EQ(tasks.held_, 0) << threads;
      EXPECT_FALSE(tasks.lateStart_) << threads;
      EXPECT_FALSE(tasks.ranAheadAnyway_) << threads;
    }
  }
  SetWorkerThreads(0);
}

// A task bigger than the allowance, halfway along the chain, runs alone, and work ahead
// does not starve it: once the caller asks for it, no worker begins another task before
// it, so only the tasks already begun then (one a worker at most) start in between.
class OneBigTask final : public TaskList {
 public:
  void Run(int32_t index, bool) override {
    if (index == kBig) {
      startedAfterAskAtBig_ = startedAfterAsk_.load();
      alone_ = running_ == 0;
    } else if (asked_) {
      ++startedAfterAsk_;
    }
    ++running_;
    // Long enough that tasks ahead overlap one another all the time.
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    --running_;
  }
  // The caller asks for a task's memory under the run's lock, in the same hold in which
  // it claims its turn: from here on no worker may begin a task.
  int64_t MemoryOf(int32_t index) const override {
    if (index == kBig && std::this_thread::get_id() == caller_) asked_ = true;
    return index == kBig ? 1000 : 10;
  }

  static constexpr int32_t kCount = 1000;
  static constexpr int32_t kBig = kCount / 2;
  static constexpr int kWorkers = 8;

  std::thread::id caller_ = std::this_thread::get_id();
  mutable std::atomic<bool> asked_{false};
  std::atomic<int> running_{0};
  std::atomic<int> startedAfterAsk_{0};
  int startedAfterAskAtBig_ = -1;
  bool alone_ = false;
};

TEST(OrderedRun, ATaskBeyondTheAllowanceRunsAloneAndSoon) {
  constexpr int32_t kCount = OneBigTask::kCount;
  SetWorkerThreads(OneBigTask::kWorkers);
  OneBigTask tasks;
  {
    OrderedRun run(&tasks, kCount, 60);
    for (int32_t i = 0; i < kCount; ++i) run.Take(i);
  }
  EXPECT_TRUE(tasks.alone_);
  EXPECT_GE(tasks.startedAfterAskAtBig_, 0);
  EXPECT_LE(tasks.startedAfterAskAtBig_, OneBigTask::kWorkers);
  SetWorkerThreads(0);
}

// A run left early (a stop) begins nothing more and waits for what it began.
TEST(OrderedRun, ARunLeftEarlyBeginsNothingMore) {
  SetWorkerThreads(4);
  CountingTasks tasks(200, false);
  {
    OrderedRun run(&tasks, 200, 1000);
    run.Take(0);
  }
  int ran = 0;
  for (int32_t i = 0; i < 200; ++i) {
    EXPECT_LE(tasks.runs_[static_cast<size_t>(i)], 1);
    if (tasks.runs_[static_cast<size_t>(i)] == 1) {
      ++ran;
      EXPECT_TRUE(tasks.done_[static_cast<size_t>(i)]) << i;
    }
  }
  EXPECT_GE(ran, 1);
  SetWorkerThreads(0);
}

}  // namespace
}  // namespace zt4
