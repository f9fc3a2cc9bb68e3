// The zt4mkpatch program as a publisher runs it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "builder/builder_fixture.h"
#include "support/test_files.h"

namespace zt4 {
namespace {

// The program's path as the build knows it. Wine runs a cross-built test, where the build
// folder is the Unix root's drive Z:.
std::string ProgramPath() {
  std::string path = ZT4MKPATCH_PATH;
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') {
    path = "Z:" + path;
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
  }
#endif
  return path;
}

// Runs the program; its standard error lands in `errors`.
int RunProgram(const std::string& arguments, const std::string& errorFile, std::string* errors) {
  std::string command = "\"" + ProgramPath() + "\" " + arguments + " 2>\"" + errorFile + "\"";
#ifdef _WIN32
  // cmd.exe takes the outer quotes off a command that starts with one.
  command = "\"" + command + "\"";
#endif
  int status = std::system(command.c_str());
  test::ReadFile(errorFile, errors);
#ifdef _WIN32
  return status;
#else
  // A wait status: the exit code in the second byte when no signal ended the program.
  return (status & 0x7F) == 0 ? (status >> 8) & 0xFF : -1;
#endif
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

TEST(Program, BuildsAndChecksAPatch) {
  test::BuildCase c(
      {{"a.txt", "one"}, {"pack.zt4", test::ArchiveBytes({{"/m", "m"}, {"/n", "n"}})}},
      {{"a.txt", "two"},
       {"pack.zt4", test::ArchiveBytes({{"/n", "n"}, {"/o", ""}})},
       {"sub/b.txt", "b"}});
  test::TempFolder logs;
  std::string errors;
  int status =
      RunProgram(Quoted(c.Old()) + " " + Quoted(c.New()) + " " + Quoted(c.Patch()) + " --check",
                 logs / "err.txt", &errors);
  EXPECT_EQ(status, 0) << errors;
  EXPECT_TRUE(test::Exists(c.Patch()));
  EXPECT_NE(errors.find("check passed"), std::string::npos) << errors;
  EXPECT_NE(errors.find("3 entries"), std::string::npos) << errors;
}

TEST(Program, AnErrorNamesTheFileAndExitsWithOne) {
  test::BuildCase c({{"a", "a"}}, {{"a", "a"}, {"BACKUP_FILES", "x"}});
  test::TempFolder logs;
  std::string errors;
  int status = RunProgram(Quoted(c.Old()) + " " + Quoted(c.New()) + " " + Quoted(c.Patch()),
                          logs / "err.txt", &errors);
  EXPECT_EQ(status, 1) << errors;
  EXPECT_NE(errors.find("BACKUP_FILES"), std::string::npos) << errors;
  EXPECT_FALSE(test::Exists(c.Patch()));
}

TEST(Program, WrongArgumentsShowTheUsage) {
  test::TempFolder logs;
  std::string errors;
  EXPECT_EQ(RunProgram("only-one", logs / "err.txt", &errors), 1);
  EXPECT_NE(errors.find("usage: zt4mkpatch"), std::string::npos) << errors;
}

}  // namespace
}  // namespace zt4
