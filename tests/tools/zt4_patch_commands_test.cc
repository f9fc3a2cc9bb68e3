// zt4 patch-info and patch-check end to end: the built program run as a subprocess on
// the sample install and its hand-made patch, the install checked as the update would
// check it and left exactly as it was.
#include <gtest/gtest.h>


#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "archive/archive.h"
#include "archive/mount.h"
#include "base/heap.h"
#include "base/pool_string.h"
#include "platform/platform.h"
#include "support/patch_writer.h"
#include "support/sample_install.h"
#include "support/program_run.h"
#include "tools/tool_fixture.h"
#include "support/test_files.h"
#include "codec/sha1.h"
#include "common/quiet_platform.h"
#include "update/journal.h"
#include "update/patch_list_writer.h"
#include "update/phases.h"
#include "update/preflight.h"

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

// A payload's sizes as the patch's own index records them.
struct Stored {
  uint32_t stored = 0;
  uint32_t content = 0;
};
std::map<int32_t, Stored> StoredPayloads(const std::string& patchPath) {
  std::map<int32_t, Stored> sizes;
  Archive archive;
  if (!archive.Open(PoolString(patchPath.c_str()))) return sizes;
  for (int32_t id = 0; id < 16; ++id) {
    const std::string name = "/" + std::to_string(id);
    if (const ArchiveEntry* entry = archive.Find(PoolString(name.c_str()))) {
      sizes[id] = {entry->storedSize, entry->contentSize};
    }
  }
  return sizes;
}

// The line under an entry: its method and its payload as stored.
std::string Details(const std::string& indent, const std::string& method,
                    const std::map<int32_t, Stored>& sizes, int32_t id) {
  const Stored& s = sizes.at(id);
  return indent + "method " + method + ", payload /" + std::to_string(id) + " " +
         std::to_string(s.stored) + " bytes stored, " + std::to_string(s.content) +
         " bytes content";
}

// Every bracket closed in order and no raw control byte inside a string: what a JSON
// reader needs of the output's structure.
bool JsonBalanced(const std::string& text) {
  std::string open;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (inString) {
      if (c < 0x20) return false;
      if (c == '\\') ++i;
      if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      open += static_cast<char>(c);
    } else if (c == '}' || c == ']') {
      if (open.empty() || open.back() != (c == '}' ? '{' : '[')) return false;
      open.pop_back();
    }
  }
  return !inString && open.empty();
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
  const std::map<int32_t, Stored> sizes = StoredPayloads(Path("patch.zt4"));
  ASSERT_EQ(sizes.size(), p.size());
  int64_t storedBytes = 0;
  for (const auto& [id, stored] : sizes) storedBytes += stored.stored;
  const std::string carriedDetails = "      method carried, no payload";
  std::vector<std::string> expected = {
      Arg("patch.zt4") + ": 8 entries in file order (the applier takes them from the last one up)",
      "format strict",
      "changed id 0: " + Side("readme.txt", o.at("readme.txt")) + " -> " +
          Side("readme.txt", n.at("readme.txt")) + ", " + Payload(0, p.at(0)),
      Details("  ", "delta", sizes, 0),
      "changed id 1: " + Side("bin/tool.exe", o.at("bin/tool.exe")) + " -> " +
          Side("bin/tool.exe", n.at("bin/tool.exe")) + ", " + Payload(1, p.at(1)),
      Details("  ", "delta", sizes, 1),
      "removed id 0: " + Side("gone.txt", o.at("gone.txt")) + " -> -, payload -",
      "  method -, no payload",
      "changed id 2: " + Side(kData, o.at(kData)) + " -> " + Side(kData, n.at(kData)) + ", " +
          Payload(2, p.at(2)),
      Details("  ", "delta", sizes, 2),
      "group id -1: - -> " + Side("data.zt4", n.at("data.zt4")) + ", 4 members",
      "    member id 3: - -> " + Side("/n", "added member") + ", " + Payload(3, p.at(3)),
      Details("      ", "whole", sizes, 3),
      "    member id 0: " + Side("data/a", "carried member") + " -> " +
          Side("a", "carried member") + ", " + carried,
      carriedDetails,
      "    member id 4: - -> " + Side("b", "new b") + ", " + Payload(4, p.at(4)),
      Details("      ", "whole", sizes, 4),
      "    member id 0: " + Side("data/e", "") + " -> " + Side("e", "") + ", " + carried,
      carriedDetails,
      "group id -1: - -> " + Side("sub/more.zt4", more) + ", 2 members",
      "    member id 0: " + Side("sub/more/x", x) + " -> " + Side("x", x) + ", " + carried,
      carriedDetails,
      "    member id 0: " + Side("sub/more/y", y) + " -> " + Side("y", y) + ", " + carried,
      carriedDetails,
      "added id 5: - -> " + Side("new/added.bin", n.at("new/added.bin")) + ", " +
          Payload(5, p.at(5)),
      Details("  ", "whole", sizes, 5),
      "changed id 6: " + Side(".hidden", o.at(".hidden")) + " -> " +
          Side(".hidden", n.at(".hidden")) + ", " + Payload(6, p.at(6)),
      Details("  ", "delta", sizes, 6),
      "8 entries: 4 changed, 1 removed, 1 added, 2 groups of 6 members (4 carried, 2 from "
      "payloads); 7 payloads needed, " +
          std::to_string(payloadBytes) + " bytes",
      "methods: 4 delta, 3 whole, 4 carried",
      "payloads: " + std::to_string(storedBytes) + " bytes stored, " +
          std::to_string(payloadBytes) + " bytes content",
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
  ASSERT_EQ(lines.size(), 31u) << result.out;
  EXPECT_EQ(lines[24].substr(lines[24].size() - 20), ", payload /5 missing") << lines[24];
  EXPECT_EQ(lines[25], "  method whole, payload /5 missing");
  EXPECT_EQ(lines[28].substr(lines[28].size() - 11), ", 1 missing") << lines[28];

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

// A compact patch of every method: a frame against an old and a new file, a removed file,
// a folder, a group with a copied and a framed member, and a frame whose payload is gone
// under a name JSON must escape.
class Zt4CompactPatchInfo : public Zt4PatchCommands {
 protected:
  void SetUp() override {
    Zt4PatchCommands::SetUp();
    const std::string oldReadme = "old readme";
    const std::string tool = "tool";
    const std::string member = "carried member";
    const std::string readme = Sha1Of(oldReadme), toolDigest = Sha1Of(tool);
    const std::string memberDigest = Sha1Of(member), fifteen = Sha1Of("new readme text");
    PatchListWriter records;
    records.Record(1, "readme.txt", 10, readme.c_str(), "readme.txt", 15, fifteen.c_str())
        .Content(ContentMethod::kZstd, 2)
        .Reference({ReferenceSide::kOld, "readme.txt", "", 10, readme.c_str()})
        .Reference({ReferenceSide::kNew, "bin/tool.exe", "", 4, toolDigest.c_str()});
    records.Record(0, "gone.txt", 4, toolDigest.c_str(), "", 0, "")
        .Content(ContentMethod::kCopy, 0);
    records.Record(0, "", 0, "", "empty", 0, "").Content(ContentMethod::kFolder, 0);
    records.GroupBegin("data.zt4", 99, fifteen.c_str());
    records.Record(0, "", 0, "", "a", 14, memberDigest.c_str())
        .Content(ContentMethod::kCopy, 1)
        .Reference({ReferenceSide::kOld, "data.zt4", "/a", 14, memberDigest.c_str()});
    records.Record(2, "", 0, "", "b", 5, toolDigest.c_str()).Content(ContentMethod::kZstd, 0);
    records.GroupEnd();
    records.Record(3, "", 0, "", odd_.c_str(), 1, toolDigest.c_str())
        .Content(ContentMethod::kZstd, 0);
    PatchListWriter list;
    list.CompactHead(3 << 19, records.Data(), records.Size());
    ASSERT_TRUE(records.Ok() && list.Ok());
    const std::string bytes(reinterpret_cast<const char*>(list.Data()),
                            static_cast<size_t>(list.Size()));
    ASSERT_TRUE(
        WritePatch(Path("compact.zt4"), bytes, {{1, std::string(40, 'f')}, {2, "frame of b"}}));
    sizes_ = StoredPayloads(Path("compact.zt4"));
    ASSERT_EQ(sizes_.size(), 2u);
  }

  const std::string odd_ = "odd\\say \"hi\"\t\x01.txt";
  std::map<int32_t, Stored> sizes_;
};

// The old contents compact entries are made from are checked as the old files are.
TEST_F(Zt4CompactPatchInfo, CheckNamesAReferencedMemberThatDiffers) {
  test::Tree install = {{"readme.txt", "old readme"},
                        {"gone.txt", "tool"},
                        {"data.zt4", test::ArchiveBytes({{"/a", "carried memb3r"}})}};
  ASSERT_TRUE(test::WriteTree(Path("cinst"), install));
  Result result = Run({"patch-check", Arg("compact.zt4"), Arg("cinst")});
  EXPECT_EQ(result.status, 1) << result.out << result.err;
  EXPECT_NE(result.out.find("content differs: /a in data.zt4 (a new file is made from it"),
            std::string::npos)
      << result.out;
  install["data.zt4"] = test::ArchiveBytes({{"/a", "carried member"}});
  ASSERT_TRUE(test::WriteTree(Path("cinst"), install));
  Result good = Run({"patch-check", Arg("compact.zt4"), Arg("cinst")});
  EXPECT_EQ(good.out.find("/a in data.zt4"), std::string::npos) << good.out;
}

TEST_F(Zt4CompactPatchInfo, LinesShowMethodsReferencesAndStoredPayloads) {
  Result result = Run({"patch-info", Arg("compact.zt4")});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string digest = Sha1Of("tool");
  const uint32_t stored = sizes_.at(1).stored + sizes_.at(2).stored;
  std::vector<std::string> expected = {
      Arg("compact.zt4") +
          ": 5 entries in file order (the applier takes them from the last one up)",
      "format compact, memory budget 1572864 bytes (1.50 MiB)",
      "changed id 1: " + Side("readme.txt", "old readme") + " -> " +
          Side("readme.txt", "new readme text") + ", payload /1 40 bytes",
      Details("  ", "zstd", sizes_, 1),
      "  reference old readme.txt (10)",
      "  reference new bin/tool.exe (4)",
      "removed id 0: gone.txt (4, " + digest + ") -> -, payload -",
      "  method copy, no payload",
      "added id 0: - -> empty (0, -), payload -",
      "  method folder, no payload",
      "group id -1: - -> data.zt4 (99, " + Sha1Of("new readme text") + "), 2 members",
      "    member id 0: - -> " + Side("a", "carried member") + ", payload -",
      "      method copy, no payload",
      "      reference old data.zt4 member /a (14)",
      "    member id 2: - -> b (5, " + digest + "), payload /2 10 bytes",
      Details("      ", "zstd", sizes_, 2),
      "added id 3: - -> " + odd_ + " (1, " + digest + "), payload /3 missing",
      "  method zstd, payload /3 missing",
      "5 entries: 1 changed, 1 removed, 2 added, 1 group of 2 members (1 carried, 1 from "
      "payloads); 3 payloads needed, 50 bytes, 1 missing",
      "methods: 2 copy, 3 zstd, 1 folder, 0 diff, 0 segments, 0 branches, 0 sparse diff, "
      "0 sparse branches",
      "payloads: " + std::to_string(stored) + " bytes stored, 50 bytes content",
  };
  EXPECT_EQ(Lines(result.out), expected) << result.out;
}

TEST_F(Zt4CompactPatchInfo, JsonSaysTheSameAsOneObject) {
  Result result = Run({"patch-info", Arg("compact.zt4"), "--json"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string& out = result.out;
  ASSERT_TRUE(JsonBalanced(out)) << out;
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  const std::string stored1 = std::to_string(sizes_.at(1).stored);
  const std::string storedAll = std::to_string(sizes_.at(1).stored + sizes_.at(2).stored);
  const std::vector<std::string> parts = {
      R"({"format":"compact","budget":1572864,"entries":[{"kind":"changed","method":"zstd",)"
      R"("id":1,"oldName":"readme.txt","oldSize":10,)",
      R"("references":[{"side":"old","file":"readme.txt","member":"","size":10,"digest":")" +
          Sha1Of("old readme") + R"("},{"side":"new","file":"bin/tool.exe","member":"",)" +
          R"("size":4,"digest":")" + Sha1Of("tool") +
          R"("}],"payload":"/1","payloadMissing":false,"payloadStoredSize":)" + stored1 +
          R"(,"payloadSize":40})",
      R"({"kind":"added","method":"folder","id":0,"oldName":"",)",
      R"("members":[{"kind":"member","method":"copy","id":0,)",
      R"({"side":"old","file":"data.zt4","member":"/a","size":14,)",
      R"("newName":"odd\\say \"hi\"\t\u0001.txt")",
      R"("payload":"/3","payloadMissing":true,"payloadStoredSize":null,"payloadSize":null})",
      R"("totals":{"entries":5,"members":2,"payloads":3,"missingPayloads":1,)"
      R"("payloadStoredBytes":)" +
          storedAll + R"(,"payloadBytes":50}})" + "\n",
  };
  for (const std::string& part : parts) {
    EXPECT_NE(out.find(part), std::string::npos) << part << "\nin\n" << out;
  }

  Result strict = Run({"patch-info", "--json", Arg("patch.zt4")});
  ASSERT_EQ(strict.status, 0) << strict.err;
  EXPECT_TRUE(JsonBalanced(strict.out)) << strict.out;
  for (const char* part : {"{\"format\":\"strict\",\"budget\":null,\"entries\":[",
                           "{\"kind\":\"changed\",\"method\":\"delta\",\"id\":0,",
                           "{\"kind\":\"removed\",\"method\":null,\"id\":0,",
                           "{\"kind\":\"member\",\"method\":\"carried\",\"id\":0,"}) {
    EXPECT_NE(strict.out.find(part), std::string::npos) << part << "\nin\n" << strict.out;
  }
  // Two patches, or none, are refused before anything is printed.
  Result two = Run({"patch-info", Arg("patch.zt4"), Arg("compact.zt4")});
  EXPECT_EQ(two.status, 1);
  EXPECT_EQ(two.out, "");
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

// A folder where an update of this patch was cut after its backup: patch-check says the
// applier will finish it and checks the old files where that run reads them.
TEST_F(Zt4PatchCommands, CheckOfAnUpdateCutShort) {
  uint8_t digest[kPatchDigestSize];
  Sha1Digest(sample_.list.data(), sample_.list.size(), digest);
  const std::string install = test::DialogPath(Path("install"));
  const std::string backup = install + "\\BACKUP_FILES";
  FolderItem* items = ListFolder(install.c_str());
  ASSERT_NE(Os().CreateFolderTree(backup.c_str()), FolderResult::kFailed);
  Journal journal;
  ASSERT_TRUE(journal.Begin(backup.c_str(), items, digest));
  for (const FolderItem* item = items; item; item = item->next) {
    ASSERT_TRUE(Os().MoveItem((install + "\\" + item->name).c_str(),
                              (backup + "\\" + item->name).c_str()));
  }
  FreeFolderItems(items);
  ASSERT_TRUE(journal.NoteBackupComplete("zt4work"));
  Result cut = Check();
  EXPECT_EQ(cut.status, 0) << cut.out << cut.err;
  EXPECT_EQ(Lines(cut.out).front().rfind("an update by this patch was cut short here", 0), 0u)
      << cut.out;
  EXPECT_EQ(Lines(cut.out).back(), "9 files checked, 0 problems");
  ASSERT_TRUE(test::WriteFile(Path("install/BACKUP_FILES/gone.txt"), "changed"));
  Result changed = Check();
  EXPECT_EQ(changed.status, 1);
  EXPECT_EQ(Lines(changed.out).back(), "9 files checked, 1 problems") << changed.out;
}

// What the checks before the backup find, as patch-check takes them, beside the stop
// the applier's own run of the same checks makes: both in this process.
struct BothRuns {
  Stop applier = Stop::kNone;
  std::vector<PreflightFinding> findings;
};

class Recorded final : public PreflightReporter {
 public:
  bool Report(const PreflightFinding& finding) override {
    findings.push_back(finding);
    return true;
  }
  std::vector<PreflightFinding> findings;
};

BothRuns RunBoth(const std::string& patchPath, const std::string& install) {
  BothRuns runs;
  tool::QuietPlatform quiet;
  ScopedPlatform scope(&quiet);
  uint8_t* description = nullptr;
  uint8_t digest[20];
  PatchEntry* tree = LoadPatch(PoolString(patchPath.c_str()), &description, digest);
  EXPECT_NE(tree, nullptr) << patchPath;
  if (tree) {
    const std::string target = test::DialogPath(install);
    const std::string backup = target + "\\" + kBackupFolderName;
    runs.applier = VerifyTarget(tree, target.c_str(), backup.c_str());
    Recorded all;
    CheckBackupFolder(target.c_str(), backup.c_str(), &all);
    CheckTarget(tree, target.c_str(), target.c_str(), backup.c_str(), &all);
    runs.findings = all.findings;
  }
  Unmount(PoolString(kPatchMountName));
  FreePatchList(tree);
  FreeBlock(description);
  return runs;
}

// patch-check and the applier share the checks before the backup: on the same damaged
// inputs patch-check lists one line per finding, and the applier stops with the first
// finding that stops it before its confirmation (a later phase's finding only in the
// report).
TEST_F(Zt4PatchCommands, CheckFindsWhatTheApplierStopsOn) {
  struct Case {
    const char* label;
    std::function<void(std::map<int32_t, std::string>&)> damage;
    Stop applier;
    const char* firstLine;
  };
  const std::vector<Case> cases = {
      {"an old file of another content",
       [this](auto&) { ASSERT_TRUE(test::WriteFile(Path("install/readme.txt"), std::string(
                           sample_.oldTree.at("readme.txt").size(), 'x'))); },
       Stop::kVersionMismatch, "content differs: readme.txt"},
      {"a payload missing", [](auto& payloads) { payloads.erase(5); }, Stop::kPatchDamaged,
       "missing payload: /5 (for new/added.bin)"},
      {"change records beyond the new size",
       [](auto& payloads) { payloads[0] = test::Delta({{400, "beyond"}}); }, Stop::kPatchDamaged,
       "bad payload: /0 (for readme.txt; its change records do not fit"},
      {"an earlier backup",
       [this](auto&) { ASSERT_TRUE(test::WriteFile(Path("install/BACKUP_FILES/a"), "a")); },
       Stop::kAborted, "backup folder present: BACKUP_FILES"},
      {"an added file's payload that is not the new file",
       [](auto& payloads) { payloads[5] = "another content"; }, Stop::kNone,
       "bad payload: /5 (for new/added.bin; it is not the new file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(Path("install")), ignored);
    ASSERT_TRUE(test::WriteTree(Path("install"), sample_.oldTree));
    std::map<int32_t, std::string> payloads = sample_.payloads;
    c.damage(payloads);
    ASSERT_TRUE(test::WritePatch(Path("damaged.zt4"), sample_.list, payloads));

    BothRuns runs = RunBoth(Path("damaged.zt4"), Path("install"));
    EXPECT_EQ(runs.applier, c.applier);
    ASSERT_FALSE(runs.findings.empty());
    Stop firstBeforeConfirmation = Stop::kNone;
    for (const PreflightFinding& finding : runs.findings) {
      if (finding.phase == Phase::kVerify) {
        firstBeforeConfirmation = finding.stop;
        break;
      }
    }
    EXPECT_EQ(firstBeforeConfirmation, runs.applier);

    Result report = Check("damaged.zt4");
    EXPECT_EQ(report.status, 1);
    std::vector<std::string> lines = Lines(report.out);
    ASSERT_EQ(lines.size(), runs.findings.size() + 1) << report.out;
    EXPECT_EQ(lines[0].rfind(c.firstLine, 0), 0u) << report.out;
    EXPECT_EQ(lines.back(), "9 files checked, " + std::to_string(runs.findings.size()) + " problems");
  }
}

// What only the order of the entries tells: patch-check words it, and the applier stops
// before its backup with the stop the chain would reach after it.
TEST_F(Zt4PatchCommands, CheckWordsWhatTheChainWouldMeet) {
  struct Case {
    const char* label;
    test::Tree install;
    std::string list;
    std::map<int32_t, std::string> payloads;
    Stop applier;
    const char* firstLine;
  };
  test::ListBuilder sameMember;
  sameMember.GroupBegin("g.zt4", "any")
      .Plain(1, "", "", "x.bin", "one")
      .Plain(2, "", "", "/x.bin", "two")
      .GroupEnd();
  // The description holds the chain last entry first.
  test::ListBuilder inArchive;
  inArchive.Plain(9, "", "", "n.txt", "n").Plain(1, "d/a.txt", "old a", "d/a.txt", "new a");
  test::ListBuilder twice;
  twice.Plain(2, "", "", "c.bin", "two").Plain(1, "", "", "c.bin", "one");
  test::ListBuilder blocked;
  blocked.Plain(2, "", "", "x/y", "y").Plain(1, "", "", "x", "x");
  const std::vector<Case> cases = {
      {"two members of one name", {{"kept", "k"}}, sameMember.Bytes(), {{1, "one"}, {2, "two"}},
       Stop::kWriteFailed, "same member twice: /x.bin in g.zt4 (an earlier member, x.bin,"},
      {"an old file only inside an archive",
       {{"d.zt4", test::ArchiveBytes({{"/a.txt", "old a"}})}}, inArchive.Bytes(),
       {{1, test::Delta({{0, "new a"}})}}, Stop::kSourceMissing, "not a plain file: d/a.txt"},
      {"one name written twice", {{"kept", "k"}}, twice.Bytes(), {{1, "one"}, {2, "two"}},
       Stop::kVersionMismatch, "written twice: c.bin"},
      {"a file where a folder goes", {{"kept", "k"}}, blocked.Bytes(), {{1, "x"}, {2, "y"}},
       Stop::kWriteFailed, "blocked path: x/y (the earlier entry x writes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(Path("install")), ignored);
    ASSERT_TRUE(test::WriteTree(Path("install"), c.install));
    ASSERT_TRUE(test::WritePatch(Path("order.zt4"), c.list, c.payloads));
    EXPECT_EQ(RunBoth(Path("order.zt4"), Path("install")).applier, c.applier);
    Result report = Check("order.zt4");
    EXPECT_EQ(report.status, 1);
    std::vector<std::string> lines = Lines(report.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind(c.firstLine, 0), 0u) << report.out;
  }
}

TEST_F(Zt4PatchCommands, HelpNamesBothCommands) {
  Result help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("zt4 patch-info [--json] PATCH"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("zt4 patch-check PATCH TARGET"), std::string::npos) << help.out;
  Result wrongCount = Run({"patch-check", Arg("patch.zt4")});
  EXPECT_EQ(wrongCount.status, 1);
  EXPECT_NE(wrongCount.err.find("usage: zt4 patch-check PATCH TARGET"), std::string::npos);
}

}  // namespace
}  // namespace zt4::test
