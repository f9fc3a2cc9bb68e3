// Whole updates (checks before the backup, backup, apply, final check) of chains whose
// entries meet each other, on 1, 2, 4 and 8 worker threads: every run gives the stop, the
// console and the tree of the run on one core, and the checks before the backup say the
// stop the chain itself reaches first.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <map>
#include <string>
#include <vector>

#include "archive/mount.h"
#include "support/patch_writer.h"
#include "support/scripted_platform.h"
#include "support/test_files.h"
#include "update/ordered_run.h"
#include "update/patch_list_writer.h"
#include "update/phases.h"

namespace zt4 {
namespace {

using test::ListBuilder;
using test::Sha1Of;
using test::Tree;

struct Built {
  std::string description;
  std::map<int32_t, std::string> payloads;
};

const char* Named(Stop stop) {
  static const char* const kNames[] = {"damaged", "version", "source", "memory", "write", "aborted"};
  return stop == Stop::kNone ? "none" : kNames[static_cast<int>(stop)];
}

struct ChainCase {
  const char* name;
  Tree install;
  // The patch, given the length of the target folder's path.
  std::function<Built(size_t targetLength)> build;
  Stop chain;      // where the chain itself stops (kNone: it completes)
  Stop predicted;  // what the checks before the backup say
  Tree written;    // the install afterwards, BACKUP_FILES aside
  std::string applyConsole = "";  // when given: the start of the apply pass's console
  // The expectations are the POSIX edge's: Windows reads such names its own way (its code
  // page, its folding of case), and there only the checks' agreement with the chain and
  // the agreement of every core count are asked.
  bool posixOnly = false;
  // When given: a folder of the install the completed update puts on the disk.
  const char* flushedFolder = nullptr;
  // False where the checks leave the stop to the final check (an added file's content is
  // not hashed before the backup).
  bool foreseen = true;
};

void PrintTo(const ChainCase& c, std::ostream* out) { *out << c.name; }

ContentReference Ref(ReferenceSide side, const char* file, int32_t size, const char* digest) {
  ContentReference reference;
  reference.side = side;
  reference.file = file;
  reference.member = "";
  reference.size = size;
  reference.digest = digest;
  return reference;
}

std::string Text(PatchListWriter& writer) {
  return std::string(reinterpret_cast<const char*>(writer.Data()), static_cast<size_t>(writer.Size()));
}

// Compact records (written in file order: the last record heads the chain), whole.
std::string Compact(PatchListWriter& records) {
  PatchListWriter whole;
  whole.CompactHead(1 << 20, records.Data(), records.Size());
  return Text(whole);
}

const std::string kSource = "the old source file";
const std::string kSourceDigest = Sha1Of(kSource);

// An added file copied from an old or a new file of the content kSource.
void CopyOf(PatchListWriter& records, const char* newName, ReferenceSide side, const char* file,
            int32_t size = static_cast<int32_t>(kSource.size())) {
  records.Record(0, "", 0, "", newName, size, kSourceDigest.c_str())
      .Content(ContentMethod::kCopy, 1)
      .Reference(Ref(side, file, size, kSourceDigest.c_str()));
}

void Folder(PatchListWriter& records, const char* newName) {
  records.Record(0, "", 0, "", newName, 0, "").Content(ContentMethod::kFolder, 0);
}

// An added file whose name does not convert, as the only entry.
Built Unconvertible(const char* name) {
  return {ListBuilder().Plain(1, "", "", name, "x").Bytes(), {{1, "x"}}};
}

std::vector<ChainCase> Cases() {
  const std::string big(3 << 20, 'b');
  Tree withSource = {{"src.txt", kSource}};
  std::vector<ChainCase> cases = {
      // Chains are listed last entry first: the description holds them in reverse.
      {"StopBeforeTenAddedFiles", {},
       [](size_t) {
         ListBuilder list;
         std::map<int32_t, std::string> payloads = {{1, "one"}, {2, "two"}};
         for (int i = 10; i >= 1; --i) {
           std::string name = (i < 10 ? "f0" : "f") + std::to_string(i) + ".txt";
           list.Plain(10 + i, "", "", name, name);
           payloads[10 + i] = name;
         }
         list.GroupBegin("g.zt4", "any").Plain(1, "", "", "x.bin", "one").Plain(2, "", "", "/x.bin", "two").GroupEnd();
         return Built{list.Bytes(), payloads};
       },
       Stop::kWriteFailed, Stop::kWriteFailed, {}},
      {"AFileThenAFileBelowIt", {},
       [big](size_t) {
         return Built{ListBuilder().Plain(2, "", "", "x/y", "y").Plain(1, "", "", "x", big).Bytes(),
                      {{1, big}, {2, "y"}}};
       },
       Stop::kWriteFailed, Stop::kWriteFailed, {{"x", big}}, "\r  0/  2 (0%)\r  1/  2 (50%)"},
      {"AFileThenAFolderOfItsName", withSource,
       [](size_t) {
         PatchListWriter records;
         Folder(records, "x");
         CopyOf(records, "x", ReferenceSide::kOld, "src.txt");
         return Built{Compact(records), {}};
       },
       Stop::kVersionMismatch, Stop::kVersionMismatch, {{"x", kSource}}},
      {"AFolderThenAFileOfItsName", withSource,
       [](size_t) {
         PatchListWriter records;
         CopyOf(records, "x", ReferenceSide::kOld, "src.txt");
         Folder(records, "x");
         return Built{Compact(records), {}};
       },
       Stop::kWriteFailed, Stop::kWriteFailed, {{"x/", ""}}},
      {"MadeFromANewFileALaterEntryWrites", withSource,
       [](size_t) {
         PatchListWriter records;
         CopyOf(records, "b", ReferenceSide::kOld, "src.txt");
         CopyOf(records, "a", ReferenceSide::kNew, "b");
         return Built{Compact(records), {}};
       },
       Stop::kSourceMissing, Stop::kSourceMissing, {}},
      {"MadeFromItself", withSource,
       [](size_t) {
         PatchListWriter records;
         CopyOf(records, "a", ReferenceSide::kNew, "a");
         return Built{Compact(records), {}};
       },
       Stop::kSourceMissing, Stop::kSourceMissing, {}},
      {"OneContentTwoSizes", withSource,
       [](size_t) {
         PatchListWriter records;
         CopyOf(records, "b", ReferenceSide::kOld, "src.txt", static_cast<int32_t>(kSource.size()) + 1);
         CopyOf(records, "a", ReferenceSide::kOld, "src.txt");
         return Built{Compact(records), {}};
       },
       // The second size is checked as well, before anything moves; the chain stops there.
       Stop::kVersionMismatch, Stop::kVersionMismatch, {{"a", kSource}}},
      {"SameMemberTwiceThenAMissingPayload", {},
       [](size_t) {
         ListBuilder list;
         list.Plain(9, "", "", "n.txt", "n");
         list.GroupBegin("g.zt4", "any").Plain(1, "", "", "x.bin", "one").Plain(2, "", "", "/x.bin", "two").GroupEnd();
         return Built{list.Bytes(), {{1, "one"}, {2, "two"}}};
       },
       Stop::kWriteFailed, Stop::kWriteFailed, {}},
      {"OldFileOnlyInAnArchiveThenAMissingPayload",
       {{"d.zt4", test::ArchiveBytes({{"/a.txt", "old a"}})}},
       [](size_t) {
         ListBuilder list;
         list.Plain(9, "", "", "n.txt", "n").Plain(1, "d/a.txt", "old a", "d/a.txt", "new a");
         return Built{list.Bytes(), {{1, test::Delta({{0, "new a"}})}}};
       },
       Stop::kSourceMissing, Stop::kSourceMissing, {}},
      {"ChangedFileOfNegativeSize", {{"r.txt", "readme"}},
       [](size_t) {
         PatchListWriter records;
         records.Record(1, "r.txt", 6, Sha1Of("readme").c_str(), "r.txt", -1, Sha1Of("x").c_str());
         return Built{Text(records), {{1, ""}}};
       },
       Stop::kNoMemory, Stop::kNoMemory, {}},
      {"AddedFileRecordedBiggerThanTheVolume", {},
       [](size_t) {
         // Its payload is what is written; the final check finds it is not the new file.
         PatchListWriter records;
         records.Record(1, "", 0, "", "big.bin", 100 << 20, Sha1Of("abc").c_str());
         return Built{Text(records), {{1, "abc"}}};
       },
       Stop::kVersionMismatch, Stop::kNone, {{"big.bin", "abc"}}, "", false, nullptr, false},
      {"SameNameTwiceOtherContent", {},
       [](size_t) {
         return Built{ListBuilder().Plain(2, "", "", "c.bin", "two").Plain(1, "", "", "c.bin", "one").Bytes(),
                      {{1, "one"}, {2, "two"}}};
       },
       Stop::kVersionMismatch, Stop::kVersionMismatch, {{"c.bin", "two"}}},
      {"SameNameTwiceSameContent", {},
       [](size_t) {
         return Built{ListBuilder().Plain(2, "", "", "c.bin", "same").Plain(1, "", "", "c.bin", "same").Bytes(),
                      {{1, "same"}, {2, "same"}}};
       },
       Stop::kNone, Stop::kNone, {{"c.bin", "same"}}},
      {"NameWithABackslash", {},
       [](size_t) { return Built{ListBuilder().Plain(1, "", "", "a\\b.txt", "b").Bytes(), {{1, "b"}}}; },
       Stop::kNone, Stop::kNone, {{"a/", ""}, {"a/b.txt", "b"}}, "", false, "a"},
      {"NameCutAfterALeadByte", {}, [](size_t) { return Unconvertible("bad\x81"); },
       Stop::kWriteFailed, Stop::kWriteFailed, {}, "", true},
      {"NameWithAByteNoCharacterStartsA", {}, [](size_t) { return Unconvertible("bad\x80x"); },
       Stop::kWriteFailed, Stop::kWriteFailed, {}, "", true},
      {"NameWithAByteNoCharacterStartsB", {}, [](size_t) { return Unconvertible("bad\xA0x"); },
       Stop::kWriteFailed, Stop::kWriteFailed, {}, "", true},
      {"SameNameInAnotherCase", {},
       [](size_t) {
         return Built{ListBuilder().Plain(2, "", "", "C.BIN", "two").Plain(1, "", "", "c.bin", "one").Bytes(),
                      {{1, "one"}, {2, "two"}}};
       },
       Stop::kNone, Stop::kNone, {{"C.BIN", "two"}, {"c.bin", "one"}}, "", true},
      {"AddedPartNameThenChangedFile", {{"a.bin", "old a"}},
       [](size_t) {
         ListBuilder list;
         list.Plain(2, "a.bin", "old a", "a.bin", "new a").Plain(1, "", "", "a.bin.zt4part", "part");
         return Built{list.Bytes(), {{1, "part"}, {2, test::Delta({{0, "new a"}})}}};
       },
       Stop::kNone, Stop::kNone, {{"a.bin", "new a"}, {"a.bin.zt4part", "part"}}},
  };
  // A new path of 259 bytes (the longest a path buffer holds) is written: nothing longer
  // is formed on the way.
  ChainCase longest{"LongestNewPath", {},
                    [](size_t targetLength) {
                      std::string name(kMaxPath - 2 - targetLength, 'n');
                      return Built{ListBuilder().Plain(1, "", "", name, "long").Bytes(), {{1, "long"}}};
                    },
                    Stop::kNone, Stop::kNone, {}};
  cases.push_back(longest);
  return cases;
}

// The folders put on the disk, as paths; a volume of 16 MiB free.
class FlushingUser : public test::ScriptedPlatform {
 public:
  int64_t FreeSpace(const char*) override { return int64_t{16} << 20; }
  bool FlushFolder(const char* path) override {
    flushed.push_back(path);
    return ScriptedPlatform::FlushFolder(path);
  }
  std::vector<std::string> flushed;
};

class ChainOrder : public ::testing::TestWithParam<ChainCase> {
 protected:
  struct Run {
    Stop predicted = Stop::kNone;
    Stop chain = Stop::kNone;
    std::string console;
    Tree written;
    std::vector<std::string> flushed;  // below the install
  };

  Run Update(int threads) {
    Run run;
    const std::string target = folder_ / ("t" + std::to_string(threads));
    // The backup refuses an empty folder: one old file that no entry names.
    Tree install = GetParam().install;
    install["kept.txt"] = "kept";
    EXPECT_TRUE(test::WriteTree(target, install));
    const std::string shown = test::DialogPath(target);
    const std::string backup = shown + "\\BACKUP_FILES";
    Built built = GetParam().build(shown.size());
    const std::string patch = folder_ / ("patch" + std::to_string(threads) + ".zt4");
    EXPECT_TRUE(test::WritePatch(patch, built.description, built.payloads));
    EXPECT_TRUE(Mount(PoolString(patch.c_str()), PoolString("patch")));
    PatchEntry* tree = ParsePatchList(reinterpret_cast<const uint8_t*>(built.description.data()),
                                      static_cast<int32_t>(built.description.size()));
    EXPECT_NE(tree, nullptr);
    if (!tree) return run;
    SetWorkerThreads(threads);
    run.predicted = VerifyTarget(tree, shown.c_str(), backup.c_str());
    // The chain is run whatever was foreseen, to hold the checks to what it does.
    user_.console.clear();
    Phase phase;
    const uint8_t digest[20] = {};
    run.chain = UpdateTarget(tree, digest, shown.c_str(), backup.c_str(), &phase);
    run.console = user_.console;
    for (const std::string& path : user_.flushed) {
      if (path.rfind(shown + "/", 0) == 0) run.flushed.push_back(path.substr(shown.size() + 1));
    }
    user_.flushed.clear();
    SetWorkerThreads(0);
    ReleaseArchiveCache();
    FreePatchList(tree);
    for (const auto& [name, content] : test::ReadTree(target)) {
      if (name.rfind("BACKUP_FILES/", 0) != 0) run.written[name] = content;
    }
    return run;
  }

  test::TempFolder folder_;
  FlushingUser user_;
  ScopedPlatform scope_{&user_};
};

TEST_P(ChainOrder, EveryCoreCountGivesTheRunOfOneCore) {
  const ChainCase& c = GetParam();
  Run one = Update(1);
  if (c.foreseen) {
    EXPECT_STREQ(Named(one.predicted), Named(one.chain));
  }
  if (!(c.posixOnly && OsIsWindows())) {
    EXPECT_STREQ(Named(one.chain), Named(c.chain));
    EXPECT_STREQ(Named(one.predicted), Named(c.predicted));
    Tree written = c.written;
    if (written.empty() && c.chain == Stop::kNone) {
      // The longest path: the one file written, whatever its name.
      ASSERT_EQ(one.written.size(), 1u);
      EXPECT_EQ(one.written.begin()->second, "long");
      written = one.written;
    }
    EXPECT_EQ(one.written, written);
    const std::string applying = one.console.substr(one.console.find('\r'));
    EXPECT_EQ(applying.substr(0, c.applyConsole.size()), c.applyConsole);
    if (c.flushedFolder) {
      EXPECT_NE(std::find(one.flushed.begin(), one.flushed.end(), c.flushedFolder), one.flushed.end());
    }
  }
  for (int threads : {2, 4, 8}) {
    Run many = Update(threads);
    SCOPED_TRACE(std::to_string(threads) + " threads");
    EXPECT_STREQ(Named(many.predicted), Named(one.predicted));
    EXPECT_STREQ(Named(many.chain), Named(one.chain));
    EXPECT_EQ(many.console, one.console);
    EXPECT_EQ(many.written, one.written);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ChainOrder, ::testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<ChainCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace zt4
