// What the console shows of a pass over the chain: a progress line before each
// top-level entry, a dot for each member of an archive being rebuilt.
#pragma once

#include <cstdint>

namespace zt4 {

// Progress display over a chain of N entries: "\r%3d/%3d (%d%%)" before each.
class Progress {
 public:
  explicit Progress(int32_t total) : total_(total) {}
  void Next();

 private:
  int32_t total_;
  int32_t index_ = 0;
  int32_t percentSum_ = 0;
};

// The dots a rebuild shows, one per member as it is begun: written as they come when the
// rebuild runs in chain order, held and written when the chain reaches a rebuild that
// ran ahead.
class MemberDots {
 public:
  explicit MemberDots(bool live = false) : live_(live) {}
  void Next();
  void WriteHeld();

 private:
  bool live_ = false;
  int32_t held_ = 0;
};

}  // namespace zt4
