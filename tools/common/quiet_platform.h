// The OS for files and folders, nothing for the user: a tool that runs the applier's
// passes installs it for the scope of the run. Console lines are dropped; the last
// debugger lines are kept to explain a stop.
#pragma once

#include <string>

#include "platform/forwarding_platform.h"

namespace zt4::tool {

class QuietPlatform final : public ForwardingPlatform {
 public:
  void OpenConsole() override {}
  void ConsoleWrite(const char* /*text*/) override {}
  void DebugOutput(const char* text) override {
    debug_ += text;
    // Enough for the entry being checked and the two digests of a mismatch.
    if (debug_.size() > 4096) debug_.erase(0, debug_.size() - 2048);
  }
  bool ChooseFolder(const char* /*title*/, char* /*path*/) override { return false; }

  // The end of what was written to the debugger channel, from its `count`th last line
  // end on.
  std::string DebugTail(int count) const {
    size_t start = debug_.size();
    for (int lines = 0; start > 0 && lines < count;) {
      if (debug_[--start] == '\n') ++lines;
    }
    return debug_.substr(start);
  }

 private:
  std::string debug_;
};

}  // namespace zt4::tool
