// Running the built programs as a user or a script would: through the OS's shell, with
// each argument quoted and the output captured in files.
#pragma once

#include <string>
#include <vector>

namespace zt4::test {

struct ProgramResult {
  int status = -1;  // the exit code; -1 when the program did not run or end normally
  std::string out;  // standard output, without carriage returns
  std::string err;  // standard error, without carriage returns
};

// A program the build made (CMake names it by the build host's path), as this OS names it.
std::string BuiltProgram(const std::string& buildPath);
// CP932 text in the OS's own text, as a command line or a program shows it.
std::string NativeText(const std::string& cp932);
std::string Quoted(const std::string& text);
// Runs `program` with `arguments` (the OS's own text, each quoted here); the output goes
// through files in `scratch` (a CP932 folder path).
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& scratch);
std::vector<std::string> Lines(const std::string& text);

}  // namespace zt4::test
