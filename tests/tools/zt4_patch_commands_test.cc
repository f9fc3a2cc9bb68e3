// zt4 patch-info and patch-check end to end: the built program run as a subprocess on
// the sample install and its hand-made patch, the install checked as the update would
// check it and left exactly as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "archive/archive.h"
#include "base/pool_string.h"
#include "platform/platform.h"
#include "support/patch_writer.h"
#include "support/sample_install.h"
#include "support/program_run.h"
#include "tools/tool_fixture.h"
#include "support/test_files.h"

namespace zt4::test {
namespace {

const std::string kSo = "\x83\x5C";                               // ソ, trail byte '\'
const std::string kData = kSo + "/\x83\x66\x81\x5B\x83\x5E.bin";  // ソ/データ.bin

// "name (size, digest)" as patch-info shows one side of an entry.
std::string Side(const std::string& cp932Name, const std::string& content) {
  return Native(cp932Name) + " (" + std::to_string(content.size()) + ", " + test::Sha1Of(content) +
         ")";
}

std::string Payload(int32_t id, const std::string& content) {
  return "payload /" + std::to_string(id) + " " + std::to_string(content.size()) + " bytes";
}

class Zt4PatchCommands : public test::ToolTest {
 protected:
  void SetUp() override {
    sample_ = test::MakeSampleInstall();
    ASSERT_TRUE(test::WritePatch(Path("patch.zt4"), sample_.list, sample_.payloads));
    ASSERT_TRUE(test::WriteTree(Path("install"), sample_.oldTree));
  }

  // patch-check of the install, which must be left exactly as it was.
  Result Check(const std::string& patch = "patch.zt4") {
    test::Tree before = test::ReadTree(Path("install"));
    Result result = Run({"patch-check", Arg(patch), Arg("install")});
    EXPECT_EQ(test::ReadTree(Path("install")), before) << "patch-check changed the target";
    return result;
  }

  test::SampleInstall sample_;
};

TEST_F(Zt4PatchCommands, InfoShowsEveryEntryAndMemberInFileOrder) {
  Result result = Run({"patch-info", Arg("patch.zt4")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");

  const test::Tree& o = sample_.oldTree;
  const test::Tree& n = sample_.newTree;
  const std::map<int32_t, std::string>& p = sample_.payloads;
  const std::string more = o.at("sub/more.zt4");
  // The members of the two archives, as the sample makes them.
  const std::string x(5000, 'x');
  std::string y;
  for (int i = 0; i < 3000; ++i) y += static_cast<char>((i * 7919) >> 3);
  const std::string carried = "carried from the old install";

  int64_t payloadBytes = 0;
  for (const auto& [id, payload] : p) payloadBytes += static_cast<int64_t>(payload.size());
  std::vector<std::string> expected = {
      Arg("patch.zt4") + ": 8 entries in file order (the applier takes them from the last one up)",
      "changed id 0: " + Side("readme.txt", o.at("readme.txt")) + " -> " +
          Side("readme.txt", n.at("readme.txt")) + ", " + Payload(0, p.at(0)),
      "changed id 1: " + Side("bin/tool.exe", o.at("bin/tool.exe")) + " -> " +
          Side("bin/tool.exe", n.at("bin/tool.exe")) + ", " + Payload(1, p.at(1)),
      "removed id 0: " + Side("gone.txt", o.at("gone.txt")) + " -> -, payload -",
      "changed id 2: " + Side(kData, o.at(kData)) + " -> " + Side(kData, n.at(kData)) + ", " +
          Payload(2, p.at(2)),
      "group id -1: - -> " + Side("data.zt4", n.at("data.zt4")) + ", 4 members",
      "    member id 3: - -> " + Side("/n", "added member") + ", " + Payload(3, p.at(3)),
      "    member id 0: " + Side("data/a", "carried member") + " -> " +
          Side("a", "carried member") + ", " + carried,
      "    member id 4: - -> " + Side("b", "new b") + ", " + Payload(4, p.at(4)),
      "    member id 0: " + Side("data/e", "") + " -> " + Side("e", "") + ", " + carried,
      "group id -1: - -> " + Side("sub/more.zt4", more) + ", 2 members",
      "    member id 0: " + Side("sub/more/x", x) + " -> " + Side("x", x) + ", " + carried,
      "    member id 0: " + Side("sub/more/y", y) + " -> " + Side("y", y) + ", " + carried,
      "added id 5: - -> " + Side("new/added.bin", n.at("new/added.bin")) + ", " +
          Payload(5, p.at(5)),
      "changed id 6: " + Side(".hidden", o.at(".hidden")) + " -> " +
          Side(".hidden", n.at(".hidden")) + ", " + Payload(6, p.at(6)),
      "8 entries: 4 changed, 1 removed, 1 added, 2 groups of 6 members (4 carried, 2 from "
      "payloads); 7 payloads needed, " +
          std::to_string(payloadBytes) + " bytes",
  };
  EXPECT_EQ(Lines(result.out), expected) << result.out;
}

TEST_F(Zt4PatchCommands, InfoShowsMissingPayloadsAndRefusesADamagedDescription) {
  std::map<int32_t, std::string> payloads = sample_.payloads;
  payloads.erase(5);
  ASSERT_TRUE(test::WritePatch(Path("short.zt4"), sample_.list, payloads));
  Result result = Run({"patch-info", Arg("short.zt4")});
  EXPECT_EQ(result.status, 0) << result.err;
  std::vector<std::string> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 16u) << result.out;
  EXPECT_EQ(lines[13].substr(lines[13].size() - 20), ", payload /5 missing") << lines[13];
  EXPECT_EQ(lines[15].substr(lines[15].size() - 11), ", 1 missing") << lines[15];

  // Two plain records that both lack names: the description is refused as a whole.
  std::string refused = test::ListBuilder().Plain(0, "", "", "", "").Bytes();
  ASSERT_TRUE(test::WritePatch(Path("refused.zt4"), refused, {}));
  // A group whose closing mark is cut off.
  std::string cut = sample_.list.substr(0, sample_.list.size() - 3);
  ASSERT_TRUE(test::WritePatch(Path("cut.zt4"), cut, sample_.payloads));
  for (const char* name : {"refused.zt4", "cut.zt4"}) {
    for (const char* command : {"patch-info", "patch-check"}) {
      Result bad = command == std::string("patch-info") ? Run({command, Arg(name)})
                                                        : Run({command, Arg(name), Arg("install")});
      EXPECT_EQ(bad.status, 1) << name << " " << command;
      EXPECT_EQ(bad.out, "") << name << " " << command;
      EXPECT_NE(bad.err.find("update description (/list) is refused"), std::string::npos)
          << bad.err;
    }
  }

  // An archive without /list, and a file that is no archive at all.
  ASSERT_TRUE(test::WriteFile(Path("nolist.zt4"), test::ArchiveBytes({{"/0", "zero"}})));
  Result noList = Run({"patch-info", Arg("nolist.zt4")});
  EXPECT_EQ(noList.status, 1);
  EXPECT_NE(noList.err.find("no member /list"), std::string::npos) << noList.err;
  ASSERT_TRUE(test::WriteFile(Path("text.zt4"), "not an archive"));
  Result text = Run({"patch-info", Arg("text.zt4")});
  EXPECT_EQ(text.status, 1);
  EXPECT_NE(text.err.find("text.zt4: not a readable archive"), std::string::npos) << text.err;
}

TEST_F(Zt4PatchCommands, CheckAcceptsTheOldInstall) {
  Result result = Check();
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  // Top level: readme, tool, gone, the Shift-JIS file, .hidden; members a, e, x, y.
  EXPECT_EQ(result.out, "9 files checked, 0 problems\n");
  EXPECT_EQ(result.err, "");

  // The folder as the dialog hands it over, and with a trailing separator.
  for (const std::string& target :
       {Native(test::DialogPath(Path("install"))), Arg("install") + "/"}) {
    Result again = Run({"patch-check", Arg("patch.zt4"), target});
    EXPECT_EQ(again.status, 0) << target << "\n" << again.out << again.err;
    EXPECT_EQ(again.out, "9 files checked, 0 problems\n") << target;
  }
}

TEST_F(Zt4PatchCommands, CheckListsEveryProblemAndChangesNothing) {
  std::string readme = sample_.oldTree.at("readme.txt");
  readme[0] = 'T';  // same size, other content
  ASSERT_TRUE(test::WriteFile(Path("install/readme.txt"), readme));
  ASSERT_TRUE(test::WriteFile(Path("install/" + kData), "sjis OLD"));
  std::string tool = sample_.oldTree.at("bin/tool.exe");
  ASSERT_TRUE(test::WriteFile(Path("install/bin/tool.exe"), tool.substr(1)));
  ASSERT_EQ(std::remove(Path("install/gone.txt").c_str()), 0);
  ASSERT_TRUE(
      test::WriteFile(Path("install/data.zt4"), test::ArchiveBytes({{"/b", "old b"}, {"/e", ""}})));
  ASSERT_EQ(std::remove(Path("install/sub/more.zt4").c_str()), 0);
  ASSERT_TRUE(test::WriteFile(Path("install/BACKUP_FILES/readme.txt"), "an earlier update's"));

  Result result = Check();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "");
  std::vector<std::string> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 8u) << result.out;
  EXPECT_EQ(lines[0].rfind("backup folder present: BACKUP_FILES (", 0), 0u) << lines[0];
  // Then in the order the update meets them: the file's last record first.
  std::vector<std::string> rest(lines.begin() + 1, lines.end());
  std::vector<std::string> expected = {
      "missing archive: sub/more.zt4 (for sub/more/x, sub/more/y)",
      "missing member: /a in data.zt4",
      "content differs: " + Native(kData),
      "missing: gone.txt",
      "size differs: bin/tool.exe (expected 3000, found 2999)",
      "content differs: readme.txt",
      "9 files checked, 7 problems",
  };
  EXPECT_EQ(rest, expected) << result.out;
}

TEST_F(Zt4PatchCommands, CheckNamesMissingAndBadPayloads) {
  std::map<int32_t, std::string> payloads = sample_.payloads;
  payloads.erase(5);
  payloads.erase(3);
  payloads[0] = test::Delta({{400, "beyond the new size"}});
  ASSERT_TRUE(test::WritePatch(Path("short.zt4"), sample_.list, payloads));
  Result result = Check("short.zt4");
  EXPECT_EQ(result.status, 1);
  std::vector<std::string> expected = {
      "missing payload: /5 (for new/added.bin)",
      "missing payload: /3 (for /n in data.zt4)",
      "bad payload: /0 (for readme.txt; its change records do not fit the new size 169)",
      "9 files checked, 3 problems",
  };
  EXPECT_EQ(Lines(result.out), expected) << result.out;
}

TEST_F(Zt4PatchCommands, CheckTakesAPlainFileBeforeTheArchiveMember) {
  // data/a exists as a plain file: it is the one checked, whatever data.zt4 holds.
  ASSERT_TRUE(test::WriteFile(Path("install/data/a"), "carried member"));
  Result same = Check();
  EXPECT_EQ(same.status, 0) << same.out;
  ASSERT_TRUE(test::WriteFile(Path("install/data/a"), "carried MEMBER"));
  Result differs = Check();
  EXPECT_EQ(differs.status, 1);
  EXPECT_EQ(differs.out, "content differs: data/a\n9 files checked, 1 problems\n");

  // Without the plain file, a member of the wrong size is named with its archive.
  ASSERT_EQ(std::remove(Path("install/data/a").c_str()), 0);
  ASSERT_TRUE(
      test::WriteFile(Path("install/data.zt4"), test::ArchiveBytes({{"/a", "short"}, {"/e", ""}})));
  Result member = Check();
  EXPECT_EQ(member.status, 1);
  EXPECT_EQ(member.out,
            "size differs: data/a (member /a in data.zt4; expected 14, found 5)\n"
            "9 files checked, 1 problems\n");
}

TEST_F(Zt4PatchCommands, CheckOfAMissingOrEmptyFolder) {
  Result missing = Run({"patch-check", Arg("patch.zt4"), Arg("no-such-folder")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("no-such-folder: cannot list the folder"), std::string::npos)
      << missing.err;
  EXPECT_FALSE(test::Exists(Path("no-such-folder")));

  std::error_code error;
  std::filesystem::create_directories(Path("empty"), error);
  ASSERT_FALSE(error) << error.message();
  Result empty = Run({"patch-check", Arg("patch.zt4"), Arg("empty")});
  EXPECT_EQ(empty.status, 1);
  std::vector<std::string> lines = Lines(empty.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("empty target folder: ", 0), 0u) << empty.out;
  EXPECT_EQ(lines.back(), "9 files checked, 8 problems") << empty.out;
  EXPECT_TRUE(test::ReadTree(Path("empty")).empty());
}

TEST_F(Zt4PatchCommands, HelpNamesBothCommands) {
  Result help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("zt4 patch-info PATCH"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("zt4 patch-check PATCH TARGET"), std::string::npos) << help.out;
  Result wrongCount = Run({"patch-check", Arg("patch.zt4")});
  EXPECT_EQ(wrongCount.status, 1);
  EXPECT_NE(wrongCount.err.find("usage: zt4 patch-check PATCH TARGET"), std::string::npos);
}

}  // namespace
}  // namespace zt4::test
