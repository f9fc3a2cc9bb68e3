// The zt4mkpatch program as a publisher runs it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "builder/builder_fixture.h"
#include "builder/install_generator.h"
#include "platform/platform.h"
#include "platform/test_support.h"
#include "support/program_run.h"
#include "support/test_files.h"
#include "common/files.h"

namespace zt4 {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// Runs the program, with `environment` ("NAME=value ") before it on the POSIX shell's
// command line; its standard error lands in `errors`.
int RunProgram(const std::string& arguments, const std::string& errorFile, std::string* errors,
               const std::string& environment = "") {
  std::string command = environment + "\"" + test::BuiltProgram(ZT4MKPATCH_PATH) + "\" " +
                        arguments + " 2>\"" + errorFile + "\"";
  int status = RunShellCommand(command.c_str());
  test::ReadFile(errorFile, errors);
  return status;
}

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

TEST(Program, ACheckedPatchNamesWhatItCannotCarry) {
  test::BuildCase c({{"a", "old a"}}, {{"a", "new a"}, {"empty/", ""}});
  ASSERT_TRUE(test::WriteFile(c.Patch(), "an earlier patch"));
  test::TempFolder logs;
  std::string errors;
  std::string arguments = Quoted(c.Old()) + " " + Quoted(c.New()) + " " + Quoted(c.Patch());
  EXPECT_EQ(RunProgram(arguments + " --check --strict", logs / "err.txt", &errors), 0) << errors;
  EXPECT_NE(errors.find("empty: an empty folder, which the patch cannot carry"), std::string::npos)
      << errors;
  EXPECT_NE(errors.find("but for the 1 empty folder(s)"), std::string::npos) << errors;
  std::string patch;
  ASSERT_TRUE(test::ReadFile(c.Patch(), &patch));
  EXPECT_NE(patch, "an earlier patch");
  EXPECT_FALSE(test::Exists(c.Patch() + ".unchecked"));
}

TEST(Program, AFailedCheckLeavesNoPatch) {
  if (OsIsWindows()) GTEST_SKIP() << "the temporary folder is set through the POSIX shell";
  // The check works in TEMP/zt4mkpatch-check-<1 to 10 digits>-<serial>. An old file whose
  // name fits there but not once moved into BACKUP_FILES stops the check's update.
  test::TempFolder temp;
  const size_t nameLength = 226 - temp.Path().size();
  test::BuildCase c({{std::string(nameLength, 'o'), "old"}}, {{"a", "new"}});
  ASSERT_TRUE(test::WriteFile(c.Patch(), "an earlier patch"));
  test::TempFolder logs;
  std::string errors;
  std::string arguments = Quoted(c.Old()) + " " + Quoted(c.New()) + " " + Quoted(c.Patch());
  EXPECT_EQ(RunProgram("--check " + arguments, logs / "err.txt", &errors, "TMPDIR=" +
                       Quoted(temp.Path()) + " "),
            1)
      << errors;
  EXPECT_NE(errors.find("the applier stopped"), std::string::npos) << errors;
  EXPECT_NE(errors.find("no patch was written"), std::string::npos) << errors;
  std::string patch;
  ASSERT_TRUE(test::ReadFile(c.Patch(), &patch));
  EXPECT_EQ(patch, "an earlier patch");
  EXPECT_FALSE(test::Exists(c.Patch() + ".unchecked"));
  EXPECT_TRUE(test::ReadTree(temp.Path()).empty());
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

// The Linux applier as a user runs it: beside the patch, started in a copy of the old
// install, the preselected folder taken and Yes answered on its terminal. The copy is
// run/target; its tree comes back in `result`, the applier's standard error in `errors`.
void ApplyWithTheRealApplier(const std::string& oldDir, const std::string& patch,
                             const std::string& run, test::Tree* result, std::string* errors) {
  std::string applier;
  ASSERT_TRUE(test::ReadFile(ZT4PATCH_PATH, &applier));
  ASSERT_TRUE(test::WriteFile(run + "/zt4patch", applier));
  ASSERT_EQ(std::system(("chmod +x " + Quoted(run + "/zt4patch")).c_str()), 0);
  if (patch != run + "/patch.zt4") {
    std::string bytes;
    ASSERT_TRUE(test::ReadFile(patch, &bytes));
    ASSERT_TRUE(test::WriteFile(run + "/patch.zt4", bytes));
  }
  ASSERT_EQ(Os().CreateFolder((run + "/target").c_str()), FolderResult::kCreated);
  std::string error;
  ASSERT_TRUE(tool::CopyTree(oldDir, run + "/target", &error)) << error;
  std::string command = "cd " + Quoted(run + "/target") + " && printf '\\ny\\n' | " +
                        Quoted(run + "/zt4patch") + " >" + Quoted(run + "/out.txt") + " 2>" +
                        Quoted(run + "/err.txt");
  ASSERT_EQ(std::system(command.c_str()), 0);
  *result = test::ReadTree(run + "/target");
  test::ReadFile(run + "/err.txt", errors);
}

TEST(Program, TheRealApplierTakesGeneratedInstallsToTheNewVersion) {
  if (OsIsWindows()) GTEST_SKIP() << "the Windows program is driven by the GUI tests";
  for (unsigned seed = 40; seed < 45; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    auto [oldTree, newTree] = test::Generator(seed).Pair();
    test::BuildCase c(oldTree, newTree);
    test::TempFolder run;
    std::string errors;
    ASSERT_EQ(RunProgram(Quoted(c.Old()) + " " + Quoted(c.New()) + " " + Quoted(run / "patch.zt4"),
                         run / "build.txt", &errors),
              0)
        << errors;
    test::Tree result;
    std::string err;
    ApplyWithTheRealApplier(c.Old(), run / "patch.zt4", run.Path(), &result, &err);
    EXPECT_EQ(test::FilesOf(test::Without(result, "BACKUP_FILES")), test::FilesOf(newTree)) << err;
    EXPECT_EQ(test::FilesOf(test::Below(result, "BACKUP_FILES")), test::FilesOf(oldTree)) << err;
  }
}

// Names with a tilde and a digit that Windows never generates for the backup folder, and
// archive members named like devices: built, checked and applied like any other.
TEST(Program, NamesNearTheBackupFolderAndDeviceMembersAreBuiltAndApplied) {
  test::Tree oldTree = {
      {"bank~2", "old bank"},
      {"pack.zt4", test::ArchiveBytes({{"/aux.bin", "aux 1"}, {"/keep", "k"}})},
  };
  test::Tree newTree = {
      {"bank~2", "new bank"},
      {"BA12~3/x.txt", "x"},
      {"pack.zt4",
       test::ArchiveBytes({{"/aux.bin", "aux 2"}, {"/data/con.txt", "c"}, {"/keep", "k"}})},
  };
  for (const char* form : {"", " --strict"}) {
    SCOPED_TRACE(form[0] ? "strict" : "compact");
    test::BuildCase c(oldTree, newTree);
    test::TempFolder logs;
    std::string errors;
    ASSERT_EQ(RunProgram(Quoted(c.Old()) + " " + Quoted(c.New()) + " " + Quoted(c.Patch()) +
                             " --check" + form,
                         logs / "err.txt", &errors),
              0)
        << errors;
    EXPECT_NE(errors.find("check passed"), std::string::npos) << errors;
    if (OsIsWindows()) continue;  // the Windows program is driven by the GUI tests
    test::Tree result;
    std::string err;
    ApplyWithTheRealApplier(c.Old(), c.Patch(), logs.Path(), &result, &err);
    EXPECT_EQ(test::FilesOf(test::Without(result, "BACKUP_FILES")), test::FilesOf(newTree)) << err;
    EXPECT_EQ(test::FilesOf(test::Below(result, "BACKUP_FILES")), test::FilesOf(oldTree)) << err;
  }
}

// A new install holding the backup folder under one of its 8.3 names gives no patch.
TEST(Program, AShortNameOfTheBackupFolderIsRefused) {
  for (const char* name : {"BACKUP~1/x.txt", "backup~4", "BAC3F1~5"}) {
    SCOPED_TRACE(name);
    test::BuildCase c({{"a", "a"}}, {{"a", "a"}, {name, "x"}});
    test::TempFolder logs;
    std::string errors;
    EXPECT_EQ(RunProgram(Quoted(c.Old()) + " " + Quoted(c.New()) + " " + Quoted(c.Patch()) +
                             " --check",
                         logs / "err.txt", &errors),
              1);
    EXPECT_NE(errors.find("the applier keeps its backup under this name"), std::string::npos)
        << errors;
    EXPECT_FALSE(test::Exists(c.Patch()));
  }
}

}  // namespace
}  // namespace zt4
