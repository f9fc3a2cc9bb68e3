// This test program started anew, as the fault harness starts its children where a child
// is not a fork: the arguments arrive as given, the output lands in the file, and the exit
// code comes back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fault_harness.h"
#include "platform/test_support.h"
#include "support/test_files.h"

namespace zt4 {
namespace {

constexpr char kExitVariable[] = "ZT4_CHILD_START_EXIT";

TEST(ChildStart, ArgumentsOutputAndExitCodeComeThrough) {
  const std::string exitCode = test::GetVariable(kExitVariable);
  if (!exitCode.empty()) {
    // The child: every argument gtest left, one a line between brackets, then the exit.
    for (const std::string& argument : testing::internal::GetArgvs()) {
      std::printf("[%s]\n", argument.c_str());
    }
    std::fflush(stdout);
    std::fprintf(stderr, "on standard error\n");
    std::exit(std::atoi(exitCode.c_str()));
  }
  test::TempFolder folder;
  const std::string output = folder / "child.log";
  const std::vector<std::string> arguments = {
      "--gtest_filter=ChildStart.ArgumentsOutputAndExitCodeComeThrough", "two words",
      "a \"quoted\" word", "trailing backslash\\", "back\\\\slashes\\\" and a quote", ""};
  std::vector<const char*> list;
  for (const std::string& a : arguments) list.push_back(a.c_str());
  list.push_back(nullptr);
  for (unsigned long wanted : {0ul, 37ul}) {
    SCOPED_TRACE("exit code " + std::to_string(wanted));
    test::SetVariable(kExitVariable, wanted == 0 ? "0" : std::to_string(wanted));
    unsigned long code = 99;
    const bool ran = RunThisProgram(list.data(), output.c_str(), &code);
    test::SetVariable(kExitVariable, "");
    ASSERT_TRUE(ran) << "error " << code;
    EXPECT_EQ(code, wanted);
    std::string log;
    ASSERT_TRUE(test::ReadFile(output, &log));
    // Whatever the C runtime does with line ends, each argument stands on a line of its own.
    std::string plain;
    for (char c : log) {
      if (c != '\r') plain += c;
    }
    for (size_t i = 1; i < arguments.size(); ++i) {
      EXPECT_NE(plain.find("[" + arguments[i] + "]\n"), std::string::npos)
          << "argument " << i << " in:\n" << plain;
    }
    EXPECT_NE(plain.find("on standard error\n"), std::string::npos) << plain;
  }
}

// A child whose first starts end before its test, as Wine's now and then do, is started
// again, and its run counts as any other.
class ChildRetryTest : public test::ChildRunTest {};

TEST_F(ChildRetryTest, AChildWhoseStartFailedIsStartedAgain) {
  if (!test::ChildrenStartAnew()) GTEST_SKIP() << "a child run is a fork here";
  const test::SampleInstall sample = test::MakeSampleInstall();
  test::CaseFolder where = FreshCase("retried");
  if (!child_) {
    ASSERT_TRUE(test::PrepareCase(where, sample.oldTree, sample.list, sample.payloads));
    test::SetVariable(test::kFailedStartsVariable, std::to_string(test::kChildStarts - 1));
  }
  test::Outcome outcome = RunCase(where);
  if (child_) return;
  test::SetVariable(test::kFailedStartsVariable, "");
  EXPECT_TRUE(outcome.done) << test::StopName(outcome.box);
  EXPECT_EQ(test::ReadTree(where.target), test::UpdatedTree(sample.oldTree, sample.newTree));
}

}  // namespace
}  // namespace zt4
