#include "update/ordered_run.h"

#include <new>

#include "platform/platform.h"

namespace zt4 {
namespace {

constexpr uint8_t kPending = 0;
constexpr uint8_t kBegun = 1;
constexpr uint8_t kDone = 2;

std::atomic<int> gWorkerThreads{0};

}  // namespace

void SetWorkerThreads(int threads) { gWorkerThreads = threads < 0 ? 0 : threads; }

int WorkerThreads() {
  int threads = gWorkerThreads;
  return threads > 0 ? threads : UsableProcessors();
}

OrderedRun::OrderedRun(TaskList* tasks, int32_t count, int64_t memoryAllowance)
    : tasks_(tasks), count_(count), allowance_(memoryAllowance) {
  const size_t places = static_cast<size_t>(count > 0 ? count : 1);
  states_ = new (std::nothrow) std::atomic<uint8_t>[places]();
  kept_ = new (std::nothrow) int64_t[places]();
  // Without room for the states every task runs in order on the caller.
  if (!states_ || !kept_) {
    delete[] states_;
    delete[] kept_;
    states_ = nullptr;
    kept_ = nullptr;
    return;
  }
  // One worker per thread: the caller mostly waits for the next result in chain order,
  // and runs only a task that no worker has begun yet.
  int workers = WorkerThreads() > 1 ? WorkerThreads() : 0;
  if (workers > kMostWorkers) workers = kMostWorkers;
  if (workers > count) workers = count;
  for (; workerCount_ < workers; ++workerCount_) {
    workers_[workerCount_] = std::thread(&OrderedRun::Work, this);
  }
}

OrderedRun::~OrderedRun() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (int i = 0; i < workerCount_; ++i) workers_[i].join();
  delete[] states_;
  delete[] kept_;
}

// Runs a task begun under the lock (which the caller has let go) and gives back its
// memory when it is done.
void OrderedRun::RunCounted(int32_t index, int64_t memory, bool inOrder) {
  tasks_->Run(index, inOrder);
  int64_t kept = inOrder ? 0 : tasks_->HeldAfter(index);
  if (kept < 0) kept = 0;
  if (kept > memory) kept = memory;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ -= memory - kept;
    waiting_ += kept;
    kept_[index] = kept;
    states_[index] = kDone;
  }
  changed_.notify_all();
}

void OrderedRun::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_ && next_ < count_) {
    int32_t index = next_++;
    if (states_[index] != kPending || !tasks_->MayRunAhead(index)) continue;
    int64_t memory = tasks_->MemoryOf(index);
    // What runs holds no lock and waits for nothing, so the memory it holds comes back.
    // The caller waiting for room goes first: work ahead never starves the chain.
    changed_.wait(lock, [&] {
      return stopping_ || states_[index] != kPending || (!callerWaiting_ && Fits(memory));
    });
    if (stopping_ || states_[index] != kPending) continue;
    states_[index] = kBegun;
    held_ += memory;
    lock.unlock();
    RunCounted(index, memory, false);
    lock.lock();
  }
}

void OrderedRun::Take(int32_t index) {
  if (!states_) {
    tasks_->Run(index, true);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  // The result taken before has served the caller.
  if (lastTaken_ >= 0) {
    held_ -= kept_[lastTaken_];
    waiting_ -= kept_[lastTaken_];
    kept_[lastTaken_] = 0;
    lastTaken_ = -1;
  }
  int64_t memory = tasks_->MemoryOf(index);
  callerWaiting_ = true;
  changed_.wait(lock, [&] { return states_[index] != kPending || FitsTaken(memory); });
  callerWaiting_ = false;
  changed_.notify_all();  // workers held back for the caller go on
  if (states_[index] == kPending) {
    states_[index] = kBegun;
    held_ += memory;
    lock.unlock();
    RunCounted(index, memory, true);
    return;
  }
  changed_.wait(lock, [&] { return states_[index] == kDone; });
  // The caller holds the result until it asks for the next one.
  lastTaken_ = index;
}

}  // namespace zt4
