#include "update/progress.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace zt4 {

void Progress::Next() {
  char line[64];
  std::snprintf(line, sizeof line, "\r%3d/%3d (%d%%)", index_, total_,
                total_ > 0 ? percentSum_ / total_ : 0);
  Os().ConsoleWrite(line);
  ++index_;
  percentSum_ += 100;
}

void MemberDots::Next() {
  if (live_) {
    Os().ConsoleWrite(".");
  } else {
    ++held_;
  }
}

void MemberDots::WriteHeld() {
  char run[65];
  while (held_ > 0) {
    int32_t n = held_ < 64 ? held_ : 64;
    std::memset(run, '.', static_cast<size_t>(n));
    run[n] = 0;
    Os().ConsoleWrite(run);
    held_ -= n;
  }
}

}  // namespace zt4
