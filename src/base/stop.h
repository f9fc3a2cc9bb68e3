// How an update ends before it is complete. The operations that meet a failure hand one
// of these back up to the driver, which alone shows its text (base/texts.h, in the same
// order) and ends the process; a tool that runs the same operations reads it instead.
#pragma once

#include "base/texts.h"

namespace zt4 {

enum class [[nodiscard]] Stop {
  kNone = -1,  // no stop: go on
  kPatchDamaged = 0,
  kVersionMismatch,
  kSourceMissing,
  kNoMemory,
  kWriteFailed,
  kAborted,
};

// The Shift-JIS text of a stop; null for kNone.
inline const char* StopText(Stop stop) {
  return stop == Stop::kNone ? nullptr : StopMessages[static_cast<int>(stop)];
}

}  // namespace zt4
