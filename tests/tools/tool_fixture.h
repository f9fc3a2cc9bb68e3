// The zt4 program run as a subprocess in a temporary folder, for the tool tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/program_run.h"
#include "support/test_files.h"

#ifndef ZT4_TOOL_PATH
#error "ZT4_TOOL_PATH must name the built zt4 program"
#endif

namespace zt4::test {

using Result = ProgramResult;

inline std::string Native(const std::string& cp932) { return NativeText(cp932); }

class ToolTest : public testing::Test {
 protected:
  // Runs zt4 with `arguments` (OS text, each one quoted here).
  Result Run(const std::vector<std::string>& arguments) {
    return RunProgram(BuiltProgram(ZT4_TOOL_PATH), arguments, folder_.Path());
  }

  // A path below the temporary folder as the tool takes it on the command line.
  std::string Arg(const std::string& cp932Relative) { return Native(folder_ / cp932Relative); }
  std::string Path(const std::string& cp932Relative) { return folder_ / cp932Relative; }

  TempFolder folder_;
};

}  // namespace zt4::test
