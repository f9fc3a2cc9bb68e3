// The real Linux program, run as a user runs it: copied beside a patch.zt4, started in
// the install's folder, answering the terminal's questions on standard input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/texts.h"
#include "platform/edge_text.h"
#include "platform/platform.h"
#include "support/patch_writer.h"
#include "support/sample_install.h"
#include "support/test_files.h"

namespace zt4 {
namespace {

using test::Tree;

std::string Utf8(const char* cp932) {
  char out[1024];
  EXPECT_GE(Cp932ToNative(cp932, out, sizeof out), 0);
  return out;
}

// A CP932 path as the shell and the kernel name it.
std::string Native(const std::string& cp932) {
  char out[1024];
  EXPECT_GE(Cp932ToNative(cp932.c_str(), out, sizeof out), 0);
  return out;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class TerminalTest : public test::SampleLayoutTest {
 protected:
  void SetUp() override {
    SampleLayoutTest::SetUp();
    std::filesystem::copy_file(ZT4_APPLIER_PATH, Native(program_) + "/zt4patch");
  }

  // Starts the program in `cwd` with `answers` on standard input, `environment`
  // ("NAME=value ") before it.
  Outcome Start(const std::string& answers, const std::string& cwd,
                const std::string& environment = "") {
    std::ofstream(folder_ / "answers", std::ios::binary) << answers;
    std::string command = "cd '" + Native(cwd) + "' && " + environment + "'" + Native(program_) +
                          "/zt4patch' < '" + (folder_ / "answers") + "' > '" + (folder_ / "out") +
                          "' 2> '" + (folder_ / "err") + "'; echo $? > '" + (folder_ / "status") +
                          "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    Outcome run;
    run.status = std::atoi(Slurp(folder_ / "status").c_str());
    run.out = Slurp(folder_ / "out");
    run.err = Slurp(folder_ / "err");
    return run;
  }
  Outcome Start(const std::string& answers) { return Start(answers, target_); }
};

TEST_F(TerminalTest, AnsweredRunUpdatesTheInstall) {
  Outcome run = Start("\ny\n");  // the preselected folder, then Yes
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(test::ReadTree(target_), Updated());

  // Console lines 1 to 5 in order on standard output, in UTF-8.
  size_t at = 0;
  for (const char* line : {kConsoleCheckingPatch, kConsoleCheckingTarget, kConsoleMakingBackup,
                           kConsoleApplying, kConsoleCheckingResult}) {
    size_t found = run.out.find(Utf8(line) + "\n", at);
    ASSERT_NE(found, std::string::npos) << run.out;
    at = found + 1;
  }
  EXPECT_NE(run.out.find("\r  0/  8 (0%)\r  1/  8 (12%)"), std::string::npos);
  EXPECT_NE(run.out.find(Utf8(kCheckDoneLine)), std::string::npos);
  EXPECT_NE(run.out.find(Utf8(kApplyDoneLine)), std::string::npos);
  // The dialogs on standard error: the title, the preselected folder, the question, the end.
  EXPECT_EQ(run.err.find(Utf8(kFolderDialogTitle)), 0u) << run.err;
  EXPECT_NE(run.err.find("[" + target_ + "] "), std::string::npos);
  EXPECT_NE(run.err.find(Utf8(kConfirmText) + " [y/N] "), std::string::npos);
  EXPECT_NE(run.err.find(Utf8(kDoneText) + "\n"), std::string::npos);
}

TEST_F(TerminalTest, TypedRelativeFolderAndJapaneseYes) {
  Outcome run = Start("install\n\xE3\x81\xAF\xE3\x81\x84\n", folder_.Path());  // はい
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(test::Exists(target_ + "/BACKUP_FILES/readme.txt"));
  EXPECT_NE(run.err.find(Utf8(kDoneText)), std::string::npos);
}

TEST_F(TerminalTest, EndOfInputAtTheDialogCancels) {
  Outcome run = Start("");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find(Utf8(StopAborted) + "\n"), std::string::npos);
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

TEST_F(TerminalTest, FolderThatDoesNotExistCancels) {
  Outcome run = Start("no-such-folder\ny\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find(Utf8(StopAborted)), std::string::npos);
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

TEST_F(TerminalTest, DefaultAnswerIsNo) {
  for (const char* answers : {"\n\n", "\nn\n", "\nyes please\n", "\n"}) {
    Outcome run = Start(answers);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find(Utf8(kConfirmText)), std::string::npos);
    EXPECT_NE(run.err.find(Utf8(StopAborted)), std::string::npos) << answers;
    EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
    EXPECT_EQ(run.out.find(Utf8(kConsoleMakingBackup)), std::string::npos);
  }
}

TEST_F(TerminalTest, MissingPatchIsReportedBeforeTheDialog) {
  std::filesystem::remove(program_ + "/patch.zt4");
  Outcome run = Start("\ny\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, Utf8(StopPatchDamaged) + "\n");
  EXPECT_EQ(run.out, Utf8(kConsoleCheckingPatch) + "\n");
}

TEST_F(TerminalTest, DamagedListIsReportedBeforeTheDialog) {
  std::string list = sample_.list;
  list[4] = '\x01';  // the first old name no longer ends where the record expects
  list.resize(list.size() - 1);
  ASSERT_TRUE(test::WritePatch(program_ + "/patch.zt4", list, sample_.payloads));
  Outcome run = Start("\ny\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, Utf8(StopPatchDamaged) + "\n");
}

// The digests of a mismatch are the debugger channel's: on standard error only when asked.
TEST_F(TerminalTest, DiagnosticLinesOnlyWithZt4Debug) {
  ASSERT_TRUE(test::WriteFile(target_ + "/readme.txt", std::string(200 + 15, 'x')));
  const std::string tampered = test::Sha1Of(std::string(200 + 15, 'x'));
  Outcome quiet = Start("\ny\n");
  EXPECT_EQ(quiet.err.find(tampered), std::string::npos) << quiet.err;
  EXPECT_NE(quiet.err.find(Utf8(StopVersionMismatch)), std::string::npos) << quiet.err;
  Outcome told = Start("\ny\n", target_, "ZT4_DEBUG=1 ");
  EXPECT_NE(told.err.find(tampered), std::string::npos) << told.err;
}

TEST_F(TerminalTest, EveryOtherStopEndsWithStatusZero) {
  struct Case {
    const char* what;
    std::string file;
    std::string content;
    const char* message;
    std::string console;  // what standard output holds
  } cases[] = {
      {"tampered", "/readme.txt", "tampered", StopVersionMismatch,
       Utf8(kConsoleCheckingPatch) + "\n" + Utf8(kConsoleCheckingTarget) + "\n"},
      // Said on the console, before anything is verified.
      {"earlier backup", "/BACKUP_FILES/x", "x", StopAborted,
       Utf8(kConsoleCheckingPatch) + "\n" + Utf8(kConsoleEarlierBackup) + "\n"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(test::WriteFile(target_ + c.file, c.content));
    Tree before = test::ReadTree(target_);
    Outcome run = Start("\ny\n");
    EXPECT_EQ(run.status, 0) << c.what;
    EXPECT_NE(run.err.find(Utf8(c.message) + "\n"), std::string::npos) << c.what << run.err;
    EXPECT_EQ(run.out.substr(0, c.console.size()), c.console) << c.what;
    EXPECT_EQ(test::ReadTree(target_), before) << c.what;
    std::filesystem::remove_all(target_ + "/BACKUP_FILES");
    ASSERT_TRUE(test::WriteTree(target_, sample_.oldTree));
  }
  // A payload missing from the patch is found before the confirmation: nothing moves.
  std::map<int32_t, std::string> payloads = sample_.payloads;
  payloads.erase(5);
  ASSERT_TRUE(test::WritePatch(program_ + "/patch.zt4", sample_.list, payloads));
  Outcome run = Start("\ny\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err.find(Utf8(kConfirmText)), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(Utf8(StopPatchDamaged)), std::string::npos);
  EXPECT_EQ(test::ReadTree(target_), sample_.oldTree);
}

// The program and the install below a folder whose name Shift-JIS cannot write: the
// program finds its patch, the terminal shows the folder by its own name, and every file
// lands under it.
class ForeignFolderTest : public TerminalTest, public ::testing::WithParamInterface<const char*> {
 protected:
  std::string LayoutFolder() const override {
    char inside[256];
    EXPECT_GT(NativeToCp932(GetParam(), inside, sizeof inside), 0);
    return folder_ / inside;
  }
};

TEST_P(ForeignFolderTest, AnsweredRunUpdatesTheInstall) {
  ASSERT_NE(target_.find(static_cast<char>(kForeignMark)), std::string::npos)
      << "the name has a Shift-JIS form: the test would not reach the reversible form";
  Outcome run = Start("\ny\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("[" + Native(target_) + "] "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(Utf8(kDoneText) + "\n"), std::string::npos) << run.err;
  EXPECT_EQ(test::ReadTree(target_), Updated());
  // The names on disk are the OS's own: the folder as created, the Japanese names as UTF-8.
  std::filesystem::path install = std::filesystem::path(folder_.Path()) / GetParam() / "install";
  EXPECT_TRUE(std::filesystem::exists(install / "BACKUP_FILES" / u8"ソ" / u8"データ.bin"));
  EXPECT_TRUE(std::filesystem::exists(install / u8"ソ" / u8"データ.bin"));
}

std::string FolderLabel(const ::testing::TestParamInfo<const char*>& info) {
  static const char* const kLabels[] = {"Cafe", "Korean", "Chinese"};
  return kLabels[info.index];
}

INSTANTIATE_TEST_SUITE_P(Folders, ForeignFolderTest,
                         ::testing::Values("Caf\xC3\xA9", "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4",
                                           "\xE4\xB8\xAD\xE6\x96\x87\xE7\x9B\xAE\xE5\xBD\x95"),
                         FolderLabel);

}  // namespace
}  // namespace zt4
