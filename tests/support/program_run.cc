#include "support/program_run.h"

#include <sstream>

#include "platform/platform.h"
#include "platform/test_support.h"
#include "support/test_files.h"

namespace zt4::test {
namespace {

std::string WithoutCarriageReturns(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '\r') out += c;
  }
  return out;
}

}  // namespace

std::string BuiltProgram(const std::string& buildPath) {
  std::vector<char> out(buildPath.size() + 16);
  return BuildPathToNative(buildPath.c_str(), out.data(), static_cast<int>(out.size()))
             ? std::string(out.data())
             : buildPath;
}

std::string NativeText(const std::string& cp932) {
  std::vector<char> out(cp932.size() * 3 + 16);
  int n = Cp932ToNative(cp932.c_str(), out.data(), static_cast<int>(out.size()));
  return n < 0 ? std::string() : std::string(out.data(), static_cast<size_t>(n));
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& scratch) {
  std::string outPath = scratch + "/stdout.txt";
  std::string errPath = scratch + "/stderr.txt";
  std::string command = Quoted(program);
  for (const std::string& argument : arguments) command += " " + Quoted(argument);
  command += " >" + Quoted(NativeText(outPath)) + " 2>" + Quoted(NativeText(errPath));
  ProgramResult result;
  // Under Wine a process start now and then fails before the program's own code runs: the
  // shell then says it cannot run it (9009), or the start ends with 0xC0000018. Started
  // again, it runs; a program that is not there gives the same status every time.
  constexpr int kShellCannotRun = 9009;
  constexpr int kFailedStart = static_cast<int>(0xC0000018u);
  constexpr int kStarts = 5;
  for (int start = 0; start < kStarts; ++start) {
    result.status = RunShellCommand(command.c_str());
    if (!OsIsWindows() || (result.status != kShellCannotRun && result.status != kFailedStart)) {
      break;
    }
  }
  ReadFile(outPath, &result.out);
  ReadFile(errPath, &result.err);
  result.out = WithoutCarriageReturns(result.out);
  result.err = WithoutCarriageReturns(result.err);
  return result;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace zt4::test
