// Damaged and malicious patches, made here by code: names that climb out of the install
// or name devices, sizes near 2^31 and negative, repeated and missing ids, unclosed
// groups, lists cut at every byte, archive indexes that claim more than their file holds,
// deltas that overrun, and a bit flipped in every byte of a small patch. Each run must end
// in the right stop, leave nothing beside the install, and change nothing before the
// confirmation.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "archive/archive.h"
#include "base/bytes.h"
#include "base/heap.h"
#include "base/texts.h"
#include "codec/crc32.h"
#include "codec/range_codec.h"
#include "fault_harness.h"
#include "support/patch_writer.h"
#include "update/patch_list.h"

namespace zt4 {
namespace {

using test::CaseFolder;
using test::ListBuilder;
using test::Tree;

using Payloads = std::map<int32_t, std::string>;

enum Stop { kDamaged, kVersion, kSource, kMemory, kWrite, kAborted, kCompleted };
// Where the stop must come: before the confirmation (nothing may change) or after the
// backup (the backup must hold the old install), or either of them.
enum When { kBeforeConfirmation, kAfterBackup, kEither };

std::string PatchBytes(const std::string& list, const Payloads& payloads) {
  test::Members members;
  for (const auto& [id, payload] : payloads)
    members.emplace_back("/" + std::to_string(id), payload);
  members.emplace_back("/list", list);
  return test::ArchiveBytes(members);
}

// The archive with one index record changed (and the index's CRC made right again, so
// the change reaches the reader's own checks).
std::string WithIndexRecord(const std::string& archive, const std::string& member,
                            const std::function<void(ArchiveEntry*)>& change) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(archive.data());
  uint32_t indexOffset = GetU32(bytes + 4);
  uint32_t indexSize = GetU32(bytes + 8);
  RangeCodec codec;
  uint8_t* index =
      codec.DecompressAlloc(bytes + indexOffset, static_cast<int32_t>(archive.size() - indexOffset),
                            static_cast<int32_t>(indexSize));
  EXPECT_NE(index, nullptr);
  if (!index) return archive;
  uint32_t count = GetU32(index);
  uint8_t* at = index + 4;
  for (uint32_t i = 0; i < count; ++i) {
    std::string name(reinterpret_cast<char*>(at));
    at += name.size() + 1;
    if (name == member) {
      ArchiveEntry entry{GetU32(at + 8), GetU32(at), GetU32(at + 4), GetU32(at + 12)};
      change(&entry);
      PutU32(at, entry.storedSize);
      PutU32(at + 4, entry.contentSize);
      PutU32(at + 8, entry.offset);
      PutU32(at + 12, entry.crc);
    }
    at += 16;
  }
  int32_t codedSize = 0;
  uint8_t* coded = codec.CompressAlloc(index, static_cast<int32_t>(indexSize), &codedSize);
  std::string out = archive.substr(0, indexOffset);
  PutU32(reinterpret_cast<uint8_t*>(out.data()) + 12, Crc32(index, indexSize, 0));
  out.append(reinterpret_cast<char*>(coded), static_cast<size_t>(codedSize));
  FreeBlock(coded);
  FreeBlock(index);
  return out;
}

// One record with every field given.
ListBuilder& Record(ListBuilder& list, int32_t id, const std::string& oldName, int32_t oldSize,
                    const std::string& oldDigest, const std::string& newName, int32_t newSize,
                    const std::string& newDigest) {
  return list.Int(id).Text(oldName).Int(oldSize).Text(oldDigest).Text(newName).Int(newSize).Text(
      newDigest);
}

class HostilePatchTest : public test::ChildRunTest {
 protected:
  void SetUp() override {
    ChildRunTest::SetUp();
    sample_ = test::MakeSampleInstall();
  }

  // Runs the update with this patch over `oldTree` and checks how it ends. `expected` may
  // list more than one outcome where the damage can be met at more than one place.
  void Expect(const std::string& label, const Tree& oldTree, const std::string& patchBytes,
              std::vector<Stop> expected, When when) {
    ++runs_;
    // The install is laid anew only when the run before changed it or had another one.
    bool reuse = !child_ && lastUntouched_ && lastTree_ == oldTree;
    CaseFolder where = reuse ? CaseFolder(root_ + "/run") : FreshCase("run");
    Tree surroundings;
    if (!child_) {
      if (reuse) {
        std::remove(where.outcome.c_str());
        ASSERT_TRUE(test::WriteFile(where.program + "/patch.zt4", patchBytes)) << label;
      } else {
        ASSERT_TRUE(test::PrepareCaseWithPatchBytes(where, oldTree, patchBytes)) << label;
      }
      // Beside the install there is only the program's folder with the patch.
      surroundings = {{"program/", ""}, {"program/patch.zt4", patchBytes}};
      lastTree_ = oldTree;
      lastUntouched_ = false;
    }
    // Every other run checks on four threads: both ways meet every kind of damage.
    const int threads = runs_ % 2 == 0 ? 1 : 4;
    test::Outcome outcome = RunCase(where, 0, test::Flavour::kFail, 0, 0, threads);
    if (child_) return;
    SCOPED_TRACE(label + (threads > 1 ? " (checks on 4 threads)" : ""));
    ASSERT_TRUE(outcome.present) << "the run showed no box";
    int stop = test::StopIndex(outcome.box);
    bool wanted = false;
    for (Stop s : expected) wanted = wanted || stop == s;
    EXPECT_TRUE(wanted) << "ended with: " << test::StopName(outcome.box);
    if (stop >= 0) ++seen_[stop];
    EXPECT_EQ(test::Surroundings(where), surroundings) << "something changed beside the install";
    Tree after = test::ReadTree(where.target);
    if (!outcome.confirmed) {
      EXPECT_EQ(after, oldTree) << "the install changed before the confirmation";
      lastUntouched_ = after == oldTree;
    } else {
      EXPECT_EQ(test::BackedUp(after), oldTree) << "the backup is not whole";
    }
    if (when == kBeforeConfirmation && stop != kCompleted) {
      EXPECT_FALSE(outcome.confirmed) << "the stop came after the confirmation";
    }
    if (when == kAfterBackup && stop != kCompleted) {
      EXPECT_TRUE(outcome.backedUp) << "the stop came before the backup";
    }
  }
  void Expect(const std::string& label, const Tree& oldTree, const std::string& list,
              const Payloads& payloads, std::vector<Stop> expected, When when) {
    Expect(label, oldTree, PatchBytes(list, payloads), std::move(expected), when);
  }

  void PrintSeen(const char* what) {
    if (child_) return;
    std::printf(
        "%s: %d runs; damaged %d, version %d, source %d, memory %d, write %d, "
        "aborted %d, completed %d\n",
        what, runs_, seen_[0], seen_[1], seen_[2], seen_[3], seen_[4], seen_[5], seen_[6]);
    std::fflush(stdout);
  }

  test::SampleInstall sample_;
  int runs_ = 0;
  int seen_[7] = {};
  bool lastUntouched_ = false;
  Tree lastTree_;
};

const std::vector<std::string>& DeviceNames();

const std::vector<std::string>& HostilePaths() {
  static const std::vector<std::string> kNames = {
      "../evil.txt",
      "..\\evil.txt",
      "sub/../../evil.txt",
      "sub\\..\\..\\evil.txt",
      "/evil.txt",
      "\\evil.txt",
      "C:evil.txt",
      "C:\\evil.txt",
      "c:/evil.txt",
      "\\\\server\\share\\evil.txt",
      "//server/share/evil.txt",
      "a:b",
      "evil.txt:stream",
      "...",
      ".. /evil.txt",
      "sub/.. ",
      "\x95\x5C\\..\\..\\evil.txt",  // 表, then a real '\'
  };
  static const std::vector<std::string> kAll = [] {
    std::vector<std::string> all = kNames;
    all.insert(all.end(), DeviceNames().begin(), DeviceNames().end());
    return all;
  }();
  return kAll;
}

// Refused where a name becomes a file; a member name never does.
const std::vector<std::string>& DeviceNames() {
  static const std::vector<std::string> kNames = {
      "CON",
      "con",
      "NUL",
      "nul.txt",
      "COM1",
      "com1.bin",
      "LPT9",
      "AUX.tar.gz",
      "sub/PRN",
      "CONIN$",
      "CON .txt",
      "NUL:",
      "sub\\Com9.dat",
  };
  return kNames;
}

// Names that are refused wherever a name stands, member names included (which may begin
// with '/', hold ':' and name a device, since they never reach the disk).
bool AlsoRefusedAsMember(const std::string& name) {
  const std::vector<std::string>& devices = DeviceNames();
  return name.find(':') == std::string::npos && name[0] != '/' && name[0] != '\\' &&
         std::find(devices.begin(), devices.end(), name) == devices.end();
}

TEST_F(HostilePatchTest, ClimbingAbsoluteAndDeviceNamesInEveryPathField) {
  const std::string digest = test::Sha1Of("x");
  // Where a run is slow (SlowChildren), each name is tried in two of the six fields, in turn.
  int field = 0;
  auto Expect = [this, &field](const std::string& label, const Tree& oldTree,
                               const std::string& list, const Payloads& payloads,
                               std::vector<Stop> expected, When when) {
    if (test::SlowChildren() && field++ % 3 != 0) return;
    HostilePatchTest::Expect(label, oldTree, list, payloads, std::move(expected), when);
  };
  for (const std::string& name : HostilePaths()) {
    // Plain records: the old name of a removed file, the new name of an added one, and
    // both names of a changed one.
    {
      ListBuilder list;
      Record(list, 0, name, 1, digest, "", 0, "");
      Expect("removed " + name, sample_.oldTree, list.Bytes(), {{0, "x"}}, {kDamaged},
             kBeforeConfirmation);
    }
    {
      ListBuilder list;
      Record(list, 0, "", 0, "", name, 1, digest);
      Expect("added " + name, sample_.oldTree, list.Bytes(), {{0, "x"}}, {kDamaged},
             kBeforeConfirmation);
    }
    {
      ListBuilder list;
      list.Plain(0, "readme.txt", sample_.oldTree.at("readme.txt"), name, "x");
      Expect("changed to " + name, sample_.oldTree, list.Bytes(), {{0, ""}}, {kDamaged},
             kBeforeConfirmation);
    }
    // A group: the archive's own name, a member's old name and a member's new name.
    {
      ListBuilder list;
      list.GroupBegin(name, "archive").Plain(0, "", "", "m", "x").GroupEnd();
      Expect("group " + name, sample_.oldTree, list.Bytes(), {{0, "x"}}, {kDamaged},
             kBeforeConfirmation);
    }
    {
      ListBuilder list;
      list.GroupBegin("data.zt4", "archive").Plain(0, name, "x", "m", "x").GroupEnd();
      Expect("member from " + name, sample_.oldTree, list.Bytes(), {{0, "x"}}, {kDamaged},
             kBeforeConfirmation);
    }
    if (AlsoRefusedAsMember(name)) {
      ListBuilder list;
      list.GroupBegin("data.zt4", "archive").Plain(0, "", "", name, "x").GroupEnd();
      Expect("member named " + name, sample_.oldTree, list.Bytes(), {{0, "x"}}, {kDamaged},
             kBeforeConfirmation);
    }
  }
  PrintSeen("hostile names");
}

// The backup folder holds the old install while the new one is written: a new name that
// leads into it would replace a backed-up old file. Windows finds the folder whatever the
// case and with trailing dots or blanks, and through "." components.
TEST_F(HostilePatchTest, NewNamesThatLeadIntoTheBackupFolder) {
  const Tree& old = sample_.oldTree;
  for (const std::string name :
       {"BACKUP_FILES/readme.txt", "backup_files/readme.txt", "Backup_Files\\readme.txt",
        "BACKUP_FILES./readme.txt", "BACKUP_FILES . /readme.txt", "./BACKUP_FILES/readme.txt",
        ".\\./BACKUP_FILES/readme.txt", "BACKUP_FILES", "BACKUP~1/readme.txt",
        "backup~2\\readme.txt", "BA1F2C~5/readme.txt", "bac3f1~1", "BACKUP~4. /x"}) {
    {
      ListBuilder list;
      list.Plain(0, "", "", name, "x");
      Expect("added " + name, old, list.Bytes(), {{0, "x"}}, {kDamaged}, kBeforeConfirmation);
    }
    {
      ListBuilder list;
      list.Plain(0, "readme.txt", old.at("readme.txt"), name, "x");
      Expect("changed to " + name, old, list.Bytes(), {{0, test::Delta({{0, "x"}})}}, {kDamaged},
             kBeforeConfirmation);
    }
    {
      ListBuilder list;
      list.GroupBegin(name, "archive").Plain(0, "", "", "m", "x").GroupEnd();
      Expect("group " + name, old, list.Bytes(), {{0, "x"}}, {kDamaged}, kBeforeConfirmation);
    }
  }
  // Names that only look like it are names like any other.
  ListBuilder list;
  list.Plain(0, "", "", "BACKUP_FILES2/x.txt", "x").Plain(1, "", "", "sub/BACKUP_FILES/y.txt", "y");
  list.Plain(2, "", "", "BACKUP~1.txt", "z").Plain(3, "", "", "BACKUP~X/w.txt", "w");
  // Tildes and digits that Windows never generates for the folder.
  list.Plain(4, "", "", "bank~2", "v").Plain(5, "", "", "BA12~3/u.txt", "u");
  Expect("near names", old, list.Bytes(),
         {{0, "x"}, {1, "y"}, {2, "z"}, {3, "w"}, {4, "v"}, {5, "u"}}, {kCompleted},
         kAfterBackup);
  PrintSeen("names into the backup folder");
}

TEST_F(HostilePatchTest, ShiftJisTrailBytesAreNotSeparators) {
  // 表 and ソ end in 0x5C; as names they are plain characters, in folders and files.
  const std::string hyo = "\x95\x5C";
  const std::string so = "\x83\x5C";
  ListBuilder list;
  list.Plain(0, "", "", hyo + "/" + so + ".txt", "trail bytes");
  list.Plain(1, "", "", hyo + ".." + so, "dots between");
  list.Plain(2, so + "/" + "\x83\x66\x81\x5B\x83\x5E.bin", "sjis old", so + "/" + hyo, "moved");
  Payloads payloads = {{0, "trail bytes"}, {1, "dots between"}, {2, test::Delta({{0, "moved"}})}};
  Expect("trail bytes", sample_.oldTree, list.Bytes(), payloads, {kCompleted}, kAfterBackup);
  if (!child_) {
    Tree after = test::ReadTree(root_ + "/run/install");
    EXPECT_EQ(after[hyo + "/" + so + ".txt"], "trail bytes");
    EXPECT_EQ(after[hyo + ".." + so], "dots between");
    EXPECT_EQ(after[so + "/" + hyo], "moved");
  }
}

TEST_F(HostilePatchTest, SizesNearTwoToThe31AndNegative) {
  const Tree& old = sample_.oldTree;
  const std::string gone = old.at("gone.txt");
  const std::string readme = old.at("readme.txt");
  for (int32_t size : {INT_MAX, INT_MAX - 1, INT_MIN, -1, 0x40000000}) {
    const std::string at = " size " + std::to_string(size);
    {
      ListBuilder list;
      Record(list, 0, "gone.txt", size, test::Sha1Of(gone), "", 0, "");
      Expect("old" + at, old, list.Bytes(), {}, {kVersion}, kBeforeConfirmation);
    }
    {
      ListBuilder list;
      list.GroupBegin("data.zt4", "archive");
      Record(list, 0, "data/a", size, test::Sha1Of("carried member"), "a", 14,
             test::Sha1Of("carried member"));
      list.GroupEnd();
      Expect("member old" + at, old, list.Bytes(), {}, {kVersion}, kBeforeConfirmation);
    }
    {
      ListBuilder list;
      Record(list, 0, "", 0, "", "added.bin", size, test::Sha1Of("added"));
      Expect("added new" + at, old, list.Bytes(), {{0, "added"}}, {kVersion}, kAfterBackup);
    }
    {
      ListBuilder list;
      list.GroupBegin("data.zt4", "archive");
      list.Plain(0, "data/a", "carried member", "a", "carried member").GroupEnd();
      std::string bytes = list.Bytes();
      // The group's size field stands right after "@ZT4_COPY\0data.zt4\0".
      uint8_t raw[4];
      PutU32(raw, static_cast<uint32_t>(size));
      bytes.replace(4 + 10 + 9, 4, reinterpret_cast<char*>(raw), 4);
      Expect("group new" + at, old, bytes, {}, {kVersion}, kAfterBackup);
    }
  }
  // A changed file with a negative new size has no block to build its content in.
  for (int32_t size : {INT_MIN, -1, -8}) {
    ListBuilder list;
    Record(list, 0, "readme.txt", static_cast<int32_t>(readme.size()), test::Sha1Of(readme),
           "readme.txt", size, test::Sha1Of("x"));
    Expect("changed new size " + std::to_string(size), old, list.Bytes(), {{0, ""}}, {kMemory},
           kBeforeConfirmation);
  }
  PrintSeen("sizes");
}

TEST_F(HostilePatchTest, RepeatedAndMissingIds) {
  const Tree& old = sample_.oldTree;
  {
    // Two added files on one payload: the second cannot hold its own content.
    ListBuilder list;
    list.Plain(4, "", "", "one.txt", "first").Plain(4, "", "", "two.txt", "second");
    Expect("repeated id", old, list.Bytes(), {{4, "first"}}, {kVersion}, kAfterBackup);
  }
  {
    ListBuilder list;
    list.Plain(4, "", "", "one.txt", "same").Plain(4, "", "", "two.txt", "same");
    Expect("repeated id, same content", old, list.Bytes(), {{4, "same"}}, {kCompleted},
           kAfterBackup);
  }
  {
    ListBuilder list;
    list.Plain(99, "", "", "added.txt", "x");
    Expect("missing id", old, list.Bytes(), {{0, "x"}}, {kDamaged}, kBeforeConfirmation);
  }
  {
    ListBuilder list;
    list.Plain(98, "readme.txt", old.at("readme.txt"), "readme.txt", "x");
    Expect("missing delta", old, list.Bytes(), {{0, ""}}, {kDamaged}, kBeforeConfirmation);
  }
  {
    ListBuilder list;
    list.GroupBegin("data.zt4", "archive").Plain(97, "", "", "m", "x").GroupEnd();
    Expect("missing member payload", old, list.Bytes(), {{0, "x"}}, {kDamaged}, kBeforeConfirmation);
  }
  {
    ListBuilder list;
    list.Plain(-2, "", "", "minus.txt", "negative ids are ids");
    Expect("id -2", old, list.Bytes(), {{-2, "negative ids are ids"}}, {kCompleted}, kAfterBackup);
  }
  PrintSeen("ids");
}

TEST_F(HostilePatchTest, GroupsThatAreNotClosed) {
  const Tree& old = sample_.oldTree;
  auto group = [] {
    ListBuilder list;
    list.GroupBegin("data.zt4", "archive").Plain(0, "data/a", "carried member", "a", "x");
    return list;
  };
  Expect("no -1, no @END", old, group().Bytes(), {{0, "x"}}, {kDamaged}, kBeforeConfirmation);
  Expect("no @END", old, group().Int(-1).Bytes(), {{0, "x"}}, {kDamaged}, kBeforeConfirmation);
  Expect("@EN", old, group().Int(-1).Text("@EN").Bytes(), {{0, "x"}}, {kDamaged},
         kBeforeConfirmation);
  Expect("@ENDS", old, group().Int(-1).Text("@ENDS").Bytes(), {{0, "x"}}, {kDamaged},
         kBeforeConfirmation);
  Expect("@END without its zero", old, group().Int(-1).Bytes() + "@END", {{0, "x"}}, {kDamaged},
         kBeforeConfirmation);
  ListBuilder marker;
  marker.Int(-1).Text("@ZT4_COPYX").Text("data.zt4").Int(0).Text("").Int(-1).Text("@END");
  Expect("@ZT4_COPYX", old, marker.Bytes(), {}, {kDamaged}, kBeforeConfirmation);
  PrintSeen("groups");
}

TEST_F(HostilePatchTest, ListCutAtEveryByte) {
  const std::string& list = sample_.list;
  // The parse is the same code everywhere: where a run is slow, a cut at every 37th byte
  // shows that the stops come the same way there.
  const size_t stride = test::SlowChildren() ? 37 : 1;
  for (size_t n = 1; n < list.size(); n += stride) {
    std::string cut = list.substr(0, n);
    // A cut at a record's end is a shorter list that parses: the run goes on with it.
    PatchEntry* tree =
        ParsePatchList(reinterpret_cast<const uint8_t*>(cut.data()), static_cast<int32_t>(n));
    bool parses = tree != nullptr;
    FreePatchList(tree);
    if (parses) {
      Expect("cut at " + std::to_string(n) + " (a record's end)", sample_.oldTree, cut,
             sample_.payloads, {kCompleted}, kAfterBackup);
    } else {
      Expect("cut at " + std::to_string(n), sample_.oldTree, cut, sample_.payloads, {kDamaged},
             kBeforeConfirmation);
    }
  }
  PrintSeen("cut lists");
}

TEST_F(HostilePatchTest, IndexesThatClaimMoreThanTheFileHolds) {
  const Tree& old = sample_.oldTree;
  const std::string patch = PatchBytes(sample_.list, sample_.payloads);
  const uint32_t patchSize = static_cast<uint32_t>(patch.size());
  auto grow = [](uint32_t by) { return [by](ArchiveEntry* e) { e->storedSize += by; }; };
  auto move = [](uint32_t to) { return [to](ArchiveEntry* e) { e->offset = to; }; };
  auto claim = [](uint32_t size) { return [size](ArchiveEntry* e) { e->contentSize = size; }; };

  // The patch archive: the description, then a payload used only after the backup.
  Expect("list stored size past the end", old, WithIndexRecord(patch, "/list", grow(patchSize)),
         {kDamaged}, kBeforeConfirmation);
  Expect("list offset past the end", old, WithIndexRecord(patch, "/list", move(patchSize - 2)),
         {kDamaged}, kBeforeConfirmation);
  Expect("list content size near 2^31", old, WithIndexRecord(patch, "/list", claim(0x7FFFFFF0u)),
         {kDamaged}, kBeforeConfirmation);
  Expect("list content size 2^32 - 1", old, WithIndexRecord(patch, "/list", claim(0xFFFFFFFFu)),
         {kDamaged}, kBeforeConfirmation);
  Expect("delta stored size past the end", old, WithIndexRecord(patch, "/0", grow(0x7FFFFFFFu)),
         {kDamaged}, kBeforeConfirmation);
  Expect("payload offset past the end", old, WithIndexRecord(patch, "/5", move(0xFFFFFFF0u)),
         {kDamaged}, kBeforeConfirmation);
  {
    std::string header = patch;
    PutU32(reinterpret_cast<uint8_t*>(header.data()) + 4, patchSize + 100);  // index offset
    Expect("index offset past the end", old, header, {kDamaged}, kBeforeConfirmation);
    header = patch;
    PutU32(reinterpret_cast<uint8_t*>(header.data()) + 8, 0x7FFFFFFFu);  // index size
    Expect("index size past the end", old, header, {kDamaged}, kBeforeConfirmation);
  }
  // An archive of the install: its old members are read before the confirmation.
  const std::string data = old.at("data.zt4");
  for (const auto& [label, changed, stop] : std::vector<std::tuple<std::string, std::string, Stop>>{
           {"member stored size past the end", WithIndexRecord(data, "/a", grow(1000)), kVersion},
           {"member offset past the end", WithIndexRecord(data, "/a", move(0x7FFFFFF0u)), kVersion},
           {"empty member given stored bytes", WithIndexRecord(data, "/e", grow(64)), kVersion},
           {"member content size near 2^31", WithIndexRecord(data, "/a", claim(0x7FFFFFF0u)),
            kVersion},
           {"member content size 2^32 - 1", WithIndexRecord(data, "/a", claim(0xFFFFFFFFu)),
            kVersion},
       }) {
    Tree tree = old;
    tree["data.zt4"] = changed;
    Expect("install " + label, tree, patch, {stop}, kBeforeConfirmation);
  }
  {
    Tree tree = old;
    std::string header = data;
    PutU32(reinterpret_cast<uint8_t*>(header.data()) + 8, 0x7FFFFFFFu);
    tree["data.zt4"] = header;
    Expect("install index size past the end", tree, patch, {kSource}, kBeforeConfirmation);
  }
  PrintSeen("archive indexes");
}

TEST_F(HostilePatchTest, DeltasThatOverrun) {
  const Tree& old = sample_.oldTree;
  const std::string readme = old.at("readme.txt");
  auto changed = [&](const std::string& payload) {
    Payloads payloads = sample_.payloads;
    payloads[0] = payload;
    return PatchBytes(sample_.list, payloads);
  };
  const uint32_t newSize = static_cast<uint32_t>(sample_.newTree.at("readme.txt").size());
  std::string good = sample_.payloads.at(0);
  Expect("record one byte past the new size", old, changed(test::Delta({{newSize - 3, "abcd"}})),
         {kDamaged}, kBeforeConfirmation);
  Expect("record far past the new size", old, changed(test::Delta({{0xFFFFFFF0u, "abcd"}})),
         {kDamaged}, kBeforeConfirmation);
  Expect("offset + length wraps 32 bits", old, changed(test::Delta({{0xFFFFFFFFu, "ab"}})),
         {kDamaged}, kBeforeConfirmation);
  Expect("a cut record header", old, changed(good + std::string(7, '\0')), {kDamaged},
         kBeforeConfirmation);
  std::string longer = test::Delta({{0, "abcd"}});
  PutU32(reinterpret_cast<uint8_t*>(longer.data()) + 4, 5);  // one byte more than there is
  Expect("data past the payload", old, changed(longer), {kDamaged}, kBeforeConfirmation);
  PutU32(reinterpret_cast<uint8_t*>(longer.data()) + 4, 0x80000000u);
  Expect("length 2^31", old, changed(longer), {kDamaged}, kBeforeConfirmation);
  PrintSeen("deltas");
}

TEST_F(HostilePatchTest, BitFlippedInEveryByteOfASmallPatch) {
  // A small install and patch: a changed file, an added one and a rebuilt archive.
  Tree old = {{"a.txt", "old a"}, {"d.zt4", test::ArchiveBytes({{"/m", "member"}})}};
  const std::string newArchive = test::ArchiveBytes({{"/m", "member"}, {"/n", "new"}});
  ListBuilder list;
  list.Plain(0, "a.txt", "old a", "a.txt", "new a!");
  list.Plain(1, "", "", "b.txt", "bee");
  list.GroupBegin("d.zt4", newArchive)
      .Plain(0, "d/m", "member", "m", "member")
      .Plain(2, "", "", "n", "new")
      .GroupEnd();
  Payloads payloads = {{0, test::Delta({{0, "new a!"}})}, {1, "bee"}, {2, "new"}};
  const std::string patch = PatchBytes(list.Bytes(), payloads);
  // Where a run is slow, every 19th byte (the checks are the same code there).
  const size_t stride = test::SlowChildren() ? 19 : 1;
  for (size_t i = 0; i < patch.size(); i += stride) {
    std::string flipped = patch;
    flipped[i] = static_cast<char>(flipped[i] ^ (1 << (i % 8)));
    // Every byte is under a CRC or read by the archive's own checks: the damage is found,
    // before the confirmation for the index and the description, after the backup for a
    // payload. A flip the decoder never reads leaves the patch as good as it was.
    Expect("bit " + std::to_string(i % 8) + " of byte " + std::to_string(i), old, flipped,
           {kDamaged, kCompleted}, kEither);
  }
  PrintSeen("flipped bits");
}

}  // namespace
}  // namespace zt4
