// The one version set in the build, as each program shows it: the tools' --version line
// and, on Windows, every program's version resource.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/test_support.h"
#include "support/program_run.h"
#include "support/test_files.h"

#ifndef ZT4_EXPECTED_VERSION
#error "ZT4_EXPECTED_VERSION must be the version project() sets"
#endif

namespace zt4::test {
namespace {

struct Program {
  const char* name;
  const char* buildPath;
};

const Program kTools[] = {{"zt4", ZT4_TOOL_PATH}, {"zt4mkpatch", ZT4MKPATCH_PATH}};
const Program kPrograms[] = {
    {"zt4", ZT4_TOOL_PATH}, {"zt4mkpatch", ZT4MKPATCH_PATH}, {"zt4patch", ZT4PATCH_PATH}};

TEST(Version, EveryToolAnswersVersionAndNamesItInItsUsage) {
  TempFolder scratch;
  for (const Program& tool : kTools) {
    SCOPED_TRACE(tool.name);
    ProgramResult version = RunProgram(BuiltProgram(tool.buildPath), {"--version"}, scratch.Path());
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string(tool.name) + " " + ZT4_EXPECTED_VERSION + "\n");
    EXPECT_EQ(version.err, "");
    ProgramResult help = RunProgram(BuiltProgram(tool.buildPath), {"--help"}, scratch.Path());
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("       " + std::string(tool.name) + " --version\n"), std::string::npos)
        << help.out;
  }
}

TEST(Version, EveryWindowsProgramCarriesItInItsProperties) {
  if (!OsIsWindows()) GTEST_SKIP() << "only Windows programs carry a version resource";
  // "1.2.3" is 1,2,3,0 in the resource's fixed part.
  unsigned numbers[4] = {0, 0, 0, 0};
  const char* text = ZT4_EXPECTED_VERSION;
  for (unsigned& number : numbers) {
    char* end = nullptr;
    number = static_cast<unsigned>(std::strtoul(text, &end, 10));
    if (*end != '.') break;
    text = end + 1;
  }
  for (const Program& program : kPrograms) {
    SCOPED_TRACE(program.name);
    ProgramVersion found{};
    ASSERT_TRUE(ReadProgramVersion(BuiltProgram(program.buildPath).c_str(), &found));
    EXPECT_STREQ(found.fileVersion, ZT4_EXPECTED_VERSION);
    EXPECT_STREQ(found.productVersion, ZT4_EXPECTED_VERSION);
    EXPECT_STREQ(found.productName, "zt4patch");
    EXPECT_STREQ(found.originalFilename, (std::string(program.name) + ".exe").c_str());
    EXPECT_EQ(std::string(found.fileDescription).rfind(std::string(program.name) + " ", 0), 0u)
        << found.fileDescription;
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(found.fileNumbers[i], numbers[i]) << i;
      EXPECT_EQ(found.productNumbers[i], numbers[i]) << i;
    }
  }
}

}  // namespace
}  // namespace zt4::test
