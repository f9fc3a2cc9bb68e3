#include "update/check_run.h"

#include "platform/platform.h"

namespace zt4 {
namespace {

constexpr int kPending = 0;
constexpr int kBegun = 1;
constexpr int kDone = 2;

std::atomic<int> gCheckThreads{0};

}  // namespace

void SetCheckThreads(int threads) { gCheckThreads = threads < 0 ? 0 : threads; }

int CheckThreads() {
  int threads = gCheckThreads;
  return threads > 0 ? threads : UsableProcessors();
}

CheckRun::CheckRun(FileCheck* checks, int32_t count, FileCheckFunction function)
    : checks_(checks), count_(count), function_(function) {
  // One worker per thread: the caller mostly waits for the next result in chain order,
  // and checks only one that no worker has begun yet.
  int workers = CheckThreads() > 1 ? CheckThreads() : 0;
  if (workers > kMostWorkers) workers = kMostWorkers;
  if (workers > count) workers = count;
  for (; workerCount_ < workers; ++workerCount_) {
    workers_[workerCount_] = std::thread(&CheckRun::Work, this);
  }
}

CheckRun::~CheckRun() {
  stopping_ = true;
  for (int i = 0; i < workerCount_; ++i) workers_[i].join();
}

bool CheckRun::Begin(FileCheck& check) {
  int pending = kPending;
  return check.state.compare_exchange_strong(pending, kBegun);
}

void CheckRun::Finish(FileCheck& check) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    check.state = kDone;
  }
  finished_.notify_all();
}

void CheckRun::Work() {
  while (!stopping_) {
    int32_t index = next_++;
    if (index >= count_) return;
    FileCheck& check = checks_[index];
    if (!Begin(check)) continue;  // the caller took it first
    function_(check);
    Finish(check);
  }
}

Stop CheckRun::Take(int32_t index) {
  FileCheck& check = checks_[index];
  if (Begin(check)) {
    function_(check);
    check.state = kDone;
    return check.stop;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [&] { return check.state == kDone; });
  return check.stop;
}

}  // namespace zt4
