// The compact description: what it carries, and what its reader refuses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>

#include "update/content_method.h"
#include "update/patch_list.h"
#include "update/patch_list_writer.h"
#include "update/parsed_list.h"

namespace zt4 {
namespace {

const char kDigestA[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
const char kDigestB[] = "a9993e364706816aba3e25717850c26c9cd0d89d";

ContentReference Ref(ReferenceSide side, const char* file, const char* member, int64_t size,
                     const char* digest) {
  ContentReference reference;
  reference.side = side;
  reference.file = file;
  reference.member = member;
  reference.size = size;
  reference.digest = digest;
  return reference;
}

// Records of the compact form, wrapped into a whole description.
std::string Compact(PatchListWriter& records, int32_t budget = 1000) {
  PatchListWriter whole;
  whole.CompactHead(budget, records.Data(), records.Size());
  EXPECT_TRUE(whole.Ok());
  return std::string(reinterpret_cast<const char*>(whole.Data()), static_cast<size_t>(whole.Size()));
}

using Parsed = test::ParsedList;

// One changed file made from its own old file and a member of an old archive, one
// archive whose member is copied from a member in a sub-folder, one empty folder.
std::string Sample() {
  PatchListWriter records;
  records.Record(7, "a.txt", 3, kDigestA, "a.txt", 4, kDigestB)
      .Content(ContentMethod::kZstd, 2)
      .Reference(Ref(ReferenceSide::kOld, "data.zt4", "/sub/x", 100, kDigestA))
      .Reference(Ref(ReferenceSide::kOld, "a.txt", "", 3, kDigestA));
  records.GroupBegin("pack.zt4", 50, kDigestA)
      .Record(0, "", 0, "", "y", 4, kDigestB)
      .Content(ContentMethod::kCopy, 1)
      .Reference(Ref(ReferenceSide::kOld, "old.zt4", "/deep/y", 4, kDigestB))
      .GroupEnd();
  records.Record(0, "", 0, "", "saves", 0, "").Content(ContentMethod::kFolder, 0);
  return Compact(records);
}

TEST(CompactDescription, ItsRecordsReferencesAndBudgetAreRead) {
  Parsed parsed(Sample());
  const PatchEntry* folder = parsed.head();
  ASSERT_NE(folder, nullptr);
  EXPECT_TRUE(IsCompact(folder));
  EXPECT_EQ(folder->budget, 1000);
  EXPECT_EQ(folder->method, ContentMethod::kFolder);
  const PatchEntry* group = folder->next;
  ASSERT_NE(group, nullptr);
  ASSERT_NE(group->firstChild, nullptr);
  const ContentReference& copied = group->firstChild->references[0];
  EXPECT_EQ(group->firstChild->method, ContentMethod::kCopy);
  EXPECT_STREQ(copied.file, "old.zt4");
  EXPECT_STREQ(copied.member, "/deep/y");
  const PatchEntry* changed = group->next;
  ASSERT_NE(changed, nullptr);
  EXPECT_EQ(KindOf(changed), EntryKind::KindChanged);
  EXPECT_EQ(changed->method, ContentMethod::kZstd);
  EXPECT_EQ(changed->id, 7);
  ASSERT_EQ(changed->referenceCount, 2);
  EXPECT_EQ(changed->references[0].size, 100);
  EXPECT_STREQ(changed->references[1].file, "a.txt");
  EXPECT_STREQ(changed->references[1].member, "");
  EXPECT_EQ(changed->next, nullptr);
}

// An applier that knows only the first form meets a group mark with a marker it does not
// know, and refuses the whole description before anything is done with it.
TEST(CompactDescription, AStrictOnlyReaderRefusesIt) {
  std::string compact = Sample();
  EXPECT_EQ(Parsed(compact, PatchFormats::kStrictOnly).head(), nullptr);
  EXPECT_EQ(std::memcmp(compact.data(), "\xFF\xFF\xFF\xFF@ZT4_PACK", 14), 0);
  EXPECT_NE(Parsed(compact).head(), nullptr);
}

std::string OneRecord(ContentMethod method, const char* newName, int32_t newSize,
                      std::initializer_list<ContentReference> references, int32_t budget = 1000) {
  PatchListWriter records;
  records.Record(1, "", 0, "", newName, newSize, kDigestB)
      .Content(method, static_cast<int32_t>(references.size()));
  for (const ContentReference& reference : references) records.Reference(reference);
  return Compact(records, budget);
}

TEST(CompactDescription, WhatNoApplierCouldDoIsRefused) {
  const ContentReference old4 = Ref(ReferenceSide::kOld, "o", "", 4, kDigestB);
  // The baseline is accepted, so each refusal below is the one change's doing.
  EXPECT_NE(Parsed(OneRecord(ContentMethod::kCopy, "n", 4, {old4})).head(), nullptr);
  EXPECT_NE(Parsed(OneRecord(ContentMethod::kZstd, "n", 996, {old4})).head(), nullptr);

  // A copy of another size or digest, or of nothing.
  EXPECT_EQ(Parsed(OneRecord(ContentMethod::kCopy, "n", 5, {old4})).head(), nullptr);
  EXPECT_EQ(Parsed(OneRecord(ContentMethod::kCopy, "n", 4,
                             {Ref(ReferenceSide::kOld, "o", "", 4, kDigestA)}))
                .head(),
            nullptr);
  EXPECT_EQ(Parsed(OneRecord(ContentMethod::kCopy, "n", 4, {})).head(), nullptr);
  // More than the budget held at once.
  EXPECT_EQ(Parsed(OneRecord(ContentMethod::kZstd, "n", 997, {old4})).head(), nullptr);
  // An unsafe or empty file, an unmarked member.
  for (const char* file : {"../o", "", "BACKUP_FILES/o", "C:o"}) {
    EXPECT_EQ(Parsed(OneRecord(ContentMethod::kZstd, "n", 1,
                               {Ref(ReferenceSide::kOld, file, "", 4, kDigestB)}))
                  .head(),
              nullptr)
        << file;
  }
  EXPECT_EQ(Parsed(OneRecord(ContentMethod::kZstd, "n", 1,
                             {Ref(ReferenceSide::kOld, "a.zt4", "m", 4, kDigestB)}))
                .head(),
            nullptr);
  // A folder made from something.
  EXPECT_EQ(Parsed(OneRecord(ContentMethod::kFolder, "f", 0, {old4})).head(), nullptr);
  // A method no row describes.
  ContentMethod unknown = ContentMethod::kNone;
  while (unknown == ContentMethod::kNone || FindMethod(unknown)) {
    unknown = static_cast<ContentMethod>(static_cast<int32_t>(unknown) + 1);
  }
  EXPECT_EQ(Parsed(OneRecord(unknown, "n", 1, {})).head(), nullptr);
  EXPECT_EQ(Parsed(OneRecord(static_cast<ContentMethod>(-1), "n", 1, {})).head(), nullptr);
  EXPECT_EQ(Parsed(OneRecord(ContentMethod::kNone, "n", 1, {})).head(), nullptr);
}

// A group whose second member is made from its first, which was made from a frame.
std::string GroupOfTwo(ContentMethod firstMethod, const char* file, const char* member,
                       const char* digest, int32_t budget, bool topLevelToo = false) {
  PatchListWriter records;
  records.GroupBegin("lib.zt4", 50, kDigestA)
      .Record(1, "", 0, "", "a.js", 100, kDigestA)
      .Content(firstMethod, firstMethod == ContentMethod::kCopy ? 1 : 0);
  if (firstMethod == ContentMethod::kCopy) {
    records.Reference(Ref(ReferenceSide::kOld, "old.zt4", "/a.js", 100, kDigestA));
  }
  records.Record(2, "", 0, "", "b.js", 10, kDigestB)
      .Content(ContentMethod::kZstd, 1)
      .Reference(Ref(ReferenceSide::kNew, file, member, 100, digest))
      .GroupEnd();
  if (topLevelToo) {
    records.Record(3, "", 0, "", "c.js", 10, kDigestB)
        .Content(ContentMethod::kZstd, 1)
        .Reference(Ref(ReferenceSide::kNew, "lib.zt4", "/a.js", 100, kDigestA));
  }
  return Compact(records, budget);
}

TEST(CompactDescription, AMemberIsMadeOnlyFromAnEarlierMemberWithinTheBudget) {
  {
    Parsed parsed(GroupOfTwo(ContentMethod::kZstd, "lib.zt4", "/a.js", kDigestA, 210));
    ASSERT_NE(parsed.head(), nullptr);
    const PatchEntry* first = parsed.head()->firstChild;
    EXPECT_EQ(first->lastUse, 1);
    EXPECT_EQ(first->next->references[0].earlier, 0);
  }
  // Kept (100) beside the second member's reference copy (100) and content (10).
  EXPECT_EQ(Parsed(GroupOfTwo(ContentMethod::kZstd, "lib.zt4", "/a.js", kDigestA, 209)).head(),
            nullptr);
  // Another archive, a member that is not there or not before, another digest, a member
  // whose content the rebuild does not hold (copied), a top-level entry.
  EXPECT_EQ(Parsed(GroupOfTwo(ContentMethod::kZstd, "other.zt4", "/a.js", kDigestA, 500)).head(),
            nullptr);
  EXPECT_EQ(Parsed(GroupOfTwo(ContentMethod::kZstd, "lib.zt4", "/b.js", kDigestA, 500)).head(),
            nullptr);
  EXPECT_EQ(Parsed(GroupOfTwo(ContentMethod::kZstd, "lib.zt4", "/a.js", kDigestB, 500)).head(),
            nullptr);
  EXPECT_EQ(Parsed(GroupOfTwo(ContentMethod::kCopy, "lib.zt4", "/a.js", kDigestA, 500)).head(),
            nullptr);
  EXPECT_EQ(Parsed(GroupOfTwo(ContentMethod::kZstd, "lib.zt4", "/a.js", kDigestA, 500, true)).head(),
            nullptr);
}

TEST(CompactDescription, AHeadOrFrameOutOfShapeIsRefused) {
  const std::string good = Sample();
  ASSERT_NE(Parsed(good).head(), nullptr);
  std::string version = good;
  version[14] = kRunCompactVersion + 1;  // after the mark and the marker's 10 bytes
  EXPECT_EQ(Parsed(version).head(), nullptr);
  std::string budget = good;
  std::memset(&budget[18], 0, 4);
  EXPECT_EQ(Parsed(budget).head(), nullptr);
  std::string size = good;
  size[22] = static_cast<char>(size[22] + 1);
  EXPECT_EQ(Parsed(size).head(), nullptr);
  EXPECT_EQ(Parsed(good + "x").head(), nullptr);
  EXPECT_EQ(Parsed(good.substr(0, good.size() - 1)).head(), nullptr);
  for (size_t at = 26; at < good.size(); at += 7) {
    std::string flipped = good;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x20);
    Parsed parsed(flipped);  // refused, or read as other records: never past the block
    if (parsed.head()) {
      EXPECT_TRUE(IsCompact(parsed.head()));
    }
  }
}

// Plain files past 2 GiB have their sizes in the wide form: kWideSize and an int64, read
// only in a description of the wide version. Archives and members keep int32 sizes, and
// each size has one spelling.
TEST(CompactDescription, SizesPast2GiBAreReadInTheWideForm) {
  constexpr int64_t kBig = (int64_t{5} << 30) + 3;
  auto plain = [](PatchListWriter& r) {
    r.Record(1, "big.pak", kBig, kDigestA, "big.pak", kBig + 1, kDigestB)
        .Content(ContentMethod::kSegments, 1)
        .Reference(Ref(ReferenceSide::kOld, "big.pak", "", kBig, kDigestA));
  };
  auto wrap = [](PatchListWriter& records, bool wide) {
    PatchListWriter whole;
    whole.CompactHead(1 << 30, records.Data(), records.Size(),
                      wide ? kWideCompactVersion : kCompactVersion);
    return std::string(reinterpret_cast<const char*>(whole.Data()),
                       static_cast<size_t>(whole.Size()));
  };
  PatchListWriter records;
  plain(records);
  EXPECT_EQ(records.Version(), kWideCompactVersion);
  // The old size as written: the mark, then the low and high halves, little-endian.
  const std::string bytes(reinterpret_cast<const char*>(records.Data()),
                          static_cast<size_t>(records.Size()));
  EXPECT_EQ(bytes.substr(4 + sizeof "big.pak", 12),
            std::string("\xFE\xFF\xFF\xFF\x03\x00\x00\x40\x01\x00\x00\x00", 12));
  Parsed wide(wrap(records, true));
  ASSERT_NE(wide.head(), nullptr);
  EXPECT_EQ(wide.head()->oldSize, kBig);
  EXPECT_EQ(wide.head()->newSize, kBig + 1);
  EXPECT_EQ(wide.head()->references[0].size, kBig);
  EXPECT_EQ(Parsed(wrap(records, false)).head(), nullptr) << "read as version 1";

  const std::function<void(PatchListWriter&)> refused[] = {
      // An archive, a member and a member reference past 2 GiB.
      [](PatchListWriter& r) {
        r.GroupBegin("pack.zt4", kBig, kDigestA).GroupEnd();
      },
      [](PatchListWriter& r) {
        r.GroupBegin("pack.zt4", 50, kDigestA)
            .Record(0, "", 0, "", "y", kBig, kDigestB)
            .Content(ContentMethod::kZstd, 0)
            .GroupEnd();
      },
      [](PatchListWriter& r) {
        r.Record(1, "", 0, "", "a.bin", 4, kDigestB)
            .Content(ContentMethod::kSegments, 1)
            .Reference(Ref(ReferenceSide::kOld, "data.zt4", "/x", kBig, kDigestA));
      },
      // A small size spelled wide.
      [](PatchListWriter& r) {
        r.Int(1).Text("").Int(0).Text("").Text("a.bin").Int(kWideSize).Int(4).Int(0).Text(kDigestB);
        r.Content(ContentMethod::kZstd, 0);
      },
      // Past an exbibyte, where the sizes of an entry would no longer add up.
      [](PatchListWriter& r) {
        r.Record(1, "", 0, "", "a.bin", kMostWideSize + 1, kDigestB).Content(ContentMethod::kSegments, 0);
      },
  };
  for (size_t i = 0; i < std::size(refused); ++i) {
    PatchListWriter r;
    plain(r);
    refused[i](r);
    EXPECT_EQ(Parsed(wrap(r, true)).head(), nullptr) << i;
  }
}

// Unchanged contents in a digest run: the names share their leading bytes with the name
// before, then the sizes, the tags and the run's digest (of the raw digests in order).
TEST(CompactDescription, ADigestRunIsWrittenAndReadAsEntriesOfItsOwn) {
  const PatchListWriter::RunItem items[] = {{"sub/a.bin", 3, kDigestA},
                                            {"sub/ab.bin", 5, kDigestB}};
  PatchListWriter run;
  run.Run("", items, 2);
  EXPECT_EQ(run.Version(), kRunCompactVersion);
  const std::string golden =
      std::string("\xFD\xFF\xFF\xFF\0\x02\0\0\0", 9) +
      std::string(
          "\0sub/a.bin\0\x05"
          "b.bin\0",
          18) +
      std::string("\x03\0\0\0\x05\0\0\0\xDA\x39\xA9\x99", 12) +
      "\x63\x5a\x7e\xc9\x48\x82\x48\x9f\xed\xdd\x21\xc1\x23\x89\xfb\x71\x97\xdb\xc5\x79";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(run.Data()), static_cast<size_t>(run.Size())),
            golden);

  // The same two carried from an old archive, as members of a group.
  PatchListWriter records;
  records.Run("", items, 2)
      .GroupBegin("pack.zt4", 50, kDigestA)
      .Run("old.zt4", items, 2)
      .GroupEnd();
  PatchListWriter whole;
  whole.CompactHead(1000, records.Data(), records.Size(), records.Version());
  const std::string bytes(reinterpret_cast<const char*>(whole.Data()),
                          static_cast<size_t>(whole.Size()));
  Parsed parsed(bytes);
  ASSERT_NE(parsed.head(), nullptr);
  std::string seen;
  auto see = [&](const PatchEntry* m) {
    const ContentReference& r = m->references[0];
    seen += std::string(m->oldName) + "|" + m->newName + "|" + std::to_string(m->newSize) + "|" +
            m->newDigest + "|" + r.file + r.member + "|" + std::to_string(m->runPlace) + "\n";
    EXPECT_EQ(m->method, ContentMethod::kCopy);
    EXPECT_EQ(r.digest, m->newDigest);
  };
  for (const PatchEntry* e = parsed.head(); e; e = e->next) {
    if (!e->firstChild) see(e);
    for (const PatchEntry* m = e->firstChild; m; m = m->next) see(m);
  }
  EXPECT_EQ(seen,
            "|sub/a.bin|3|da39|old.zt4/sub/a.bin|0\n|sub/ab.bin|5|a999|old.zt4/sub/ab.bin|1\n"
            "sub/ab.bin|sub/ab.bin|5|a999|sub/ab.bin|1\nsub/a.bin|sub/a.bin|3|da39|sub/a.bin|0\n");

  // Refused: in a description of an earlier version, a shared part longer than the name
  // before, no contents, members outside a group, a name into the backup, cut short.
  auto compact = [](const std::string& records, int32_t version) {
    PatchListWriter w;
    w.CompactHead(1000, reinterpret_cast<const uint8_t*>(records.data()),
                  static_cast<int32_t>(records.size()), version);
    return std::string(reinterpret_cast<const char*>(w.Data()), static_cast<size_t>(w.Size()));
  };
  auto with = [&](size_t at, char byte) {
    std::string changed = golden;
    changed[at] = byte;
    return changed;
  };
  const PatchListWriter::RunItem backup[] = {{"BACKUP_FILES/a", 3, kDigestA}};
  PatchListWriter intoBackup;
  intoBackup.Run("", backup, 1);
  const std::string refused[] = {
      compact(golden, kWideCompactVersion),
      compact(with(20, '\x0A'), kRunCompactVersion),  // "sub/a.bin" has 9 bytes
      // The second name spelled sharing less than it can.
      compact(golden.substr(0, 20) + std::string("\x04" "ab.bin\0", 8) + golden.substr(27),
              kRunCompactVersion),
      compact(with(5, '\0'), kRunCompactVersion),
      compact(std::string(golden).insert(4, "old.zt4"), kRunCompactVersion),
      compact(std::string(reinterpret_cast<const char*>(intoBackup.Data()),
                          static_cast<size_t>(intoBackup.Size())),
              kRunCompactVersion),
      compact(golden.substr(0, golden.size() - 1), kRunCompactVersion),
  };
  for (const std::string& description : refused) EXPECT_EQ(Parsed(description).head(), nullptr);
  EXPECT_NE(Parsed(compact(golden, kRunCompactVersion)).head(), nullptr);
}

// A content made from a member of an archive written before it (in the applier's order,
// later in the file): the member must be there with the size and digest stated.
TEST(CompactDescription, AMemberOfAnArchiveWrittenBeforeIsAReference) {
  auto description = [](const char* member, int64_t size, const char* digest, bool groupFirst) {
    PatchListWriter entry;
    entry.Record(1, "", 0, "", "c.js", 5, kDigestB)
        .Content(ContentMethod::kZstd, 1)
        .Reference(Ref(ReferenceSide::kNew, "lib.zt4", member, size, digest));
    PatchListWriter group;
    group.GroupBegin("lib.zt4", 50, kDigestA)
        .Record(2, "", 0, "", "a.js", 4, kDigestA)
        .Content(ContentMethod::kZstd, 0)
        .GroupEnd();
    PatchListWriter& first = groupFirst ? group : entry;
    PatchListWriter& second = groupFirst ? entry : group;
    PatchListWriter records;
    records.Raw(first.Data(), first.Size()).Raw(second.Data(), second.Size());
    return Compact(records);
  };
  EXPECT_NE(Parsed(description("/a.js", 4, kDigestA, false)).head(), nullptr);
  EXPECT_EQ(Parsed(description("/a.js", 4, kDigestA, true)).head(), nullptr);  // written after
  EXPECT_EQ(Parsed(description("/b.js", 4, kDigestA, false)).head(), nullptr);
  EXPECT_EQ(Parsed(description("/a.js", 5, kDigestA, false)).head(), nullptr);
  EXPECT_EQ(Parsed(description("/a.js", 4, kDigestB, false)).head(), nullptr);
}

}  // namespace
}  // namespace zt4
