// Work on every core, its results taken in chain order. The caller lists its tasks first,
// then walks its chain as before (console lines and all) and takes each task where the
// chain reaches it: the first failure in chain order decides, and work ahead of it is
// dropped. What a task may touch from a worker thread: the platform's file calls (a
// failure's reason is kept per thread), the string pools (under their lock), the archive
// cache (under its lock) and an archive's stream (under the archive's own lock). Console
// lines and the debugger channel stay with the caller.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace zt4 {

// The threads a run uses: 0 (the default) one per core the process may run on; 1 runs
// each task on the calling thread when it is taken, in chain order, exactly as a run
// without threads.
void SetWorkerThreads(int threads);
int WorkerThreads();

// What a run works through, by place in the chain.
class TaskList {
 public:
  // Runs the task; `inOrder` when the caller runs it where the chain reaches it (it may
  // then show its progress as it goes).
  virtual void Run(int32_t index, bool inOrder) = 0;
  // The bytes the task holds at most while it runs.
  virtual int64_t MemoryOf(int32_t) const { return 0; }
  // False for a task that reads what earlier tasks write: it runs only in chain order.
  virtual bool MayRunAhead(int32_t) const { return true; }
  // What a task run ahead leaves held for the caller once done (its result, at most what
  // it held running): counted until the caller takes the next task.
  virtual int64_t HeldAfter(int32_t) const { return 0; }

 protected:
  ~TaskList() = default;
};

class OrderedRun {
 public:
  // Starts the workers on `tasks` (owned by the caller, alive until this run ends). The
  // tasks running at once and the results waiting to be taken hold at most
  // `memoryAllowance` bytes together, or one task alone whatever it holds; the task the
  // caller waits for is never held back by results only the caller can take.
  OrderedRun(TaskList* tasks, int32_t count, int64_t memoryAllowance = INT64_MAX);
  // Lets no worker begin another task and waits for those begun.
  ~OrderedRun();
  OrderedRun(const OrderedRun&) = delete;
  OrderedRun& operator=(const OrderedRun&) = delete;

  // Returns once task `index` is done; a task no worker has begun yet runs here. The
  // result of a task run ahead counts as held until the next call.
  void Take(int32_t index);

 private:
  static constexpr int kMostWorkers = 16;

  // Under the lock: whether `memory` more bytes may be held now; for the caller's own task
  // the results waiting for it do not count as work that will end.
  bool Fits(int64_t memory) const { return held_ == 0 || memory <= allowance_ - held_; }
  bool FitsTaken(int64_t memory) const {
    return held_ == waiting_ || memory <= allowance_ - held_;
  }
  void RunCounted(int32_t index, int64_t memory, bool inOrder);
  void Work();

  TaskList* tasks_;
  int32_t count_;
  int64_t allowance_;
  std::atomic<uint8_t>* states_ = nullptr;  // pending, begun, done
  int64_t* kept_ = nullptr;                 // a done task's result, held until taken
  int64_t held_ = 0;                        // running tasks and results waiting
  int64_t waiting_ = 0;                     // results waiting
  int32_t lastTaken_ = -1;                  // its result held until the next Take
  int32_t next_ = 0;
  bool stopping_ = false;
  bool callerWaiting_ = false;  // for room to run the task it takes
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread workers_[kMostWorkers];
  int workerCount_ = 0;
};

}  // namespace zt4
