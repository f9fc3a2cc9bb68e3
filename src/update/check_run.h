// Checks of files on every core, their results taken in chain order. The caller lists
// every check first, then walks its chain as before (console lines and all) and takes
// each result where the chain reaches it: the first failure in chain order decides, and
// work ahead of it is dropped. What a check may touch from a worker thread: the
// platform's file calls (a failure's reason is kept per thread), the string pools (under
// their lock), the archive cache (under its lock) and an archive's stream (under the
// archive's own lock). Console lines and the debugger channel stay with the caller.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "base/stop.h"
#include "update/patch_list.h"

namespace zt4 {

// The threads a check run uses: 0 (the default) one per core the process may run on;
// 1 checks each file on the calling thread when its result is taken, in chain order,
// exactly as a run without threads.
void SetCheckThreads(int threads);
int CheckThreads();

// One file to check: the path `name` below `folder` with its size and digest, or an old
// content a compact entry is made from (`reference`).
struct FileCheck {
  const char* folder = nullptr;
  const char* name = nullptr;
  const char* digest = nullptr;
  int32_t size = 0;
  const ContentReference* reference = nullptr;
  // The outcome, and the digest found when only the content differs (for the debugger).
  Stop stop = Stop::kNone;
  char found[41] = "";
  std::atomic<int> state{0};  // pending, begun, done
};

using FileCheckFunction = void (*)(FileCheck& check);

class CheckRun {
 public:
  // Starts the workers on `checks` (owned by the caller, alive until this run ends).
  CheckRun(FileCheck* checks, int32_t count, FileCheckFunction function);
  // Lets no worker begin another check and waits for those begun.
  ~CheckRun();
  CheckRun(const CheckRun&) = delete;
  CheckRun& operator=(const CheckRun&) = delete;

  // The outcome of check `index`, once done; a check no worker has begun yet runs here.
  Stop Take(int32_t index);

 private:
  static constexpr int kMostWorkers = 16;

  bool Begin(FileCheck& check);
  void Finish(FileCheck& check);
  void Work();

  FileCheck* checks_;
  int32_t count_;
  FileCheckFunction function_;
  std::atomic<int32_t> next_{0};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable finished_;
  std::thread workers_[kMostWorkers];
  int workerCount_ = 0;
};

}  // namespace zt4
