#include "update/patch_list.h"
#include "update/patch_list_writer.h"
#include "update/parsed_list.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <memory>
#include <string>
#include <vector>

#include "base/heap.h"
#include "platform/forwarding_platform.h"

// Allocation faults for the parser: when armed, the nothrow operator new fails once after
// the given number of successful calls. Disarmed (negative), it passes every call on.
namespace {
int nothrowNewFailsAfter = -1;
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (nothrowNewFailsAfter >= 0 && nothrowNewFailsAfter-- == 0) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace zt4 {
namespace {

const char kDigestA[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
const char kDigestB[] = "a9993e364706816aba3e25717850c26c9cd0d89d";

// Description bytes made by the system's own writer. `Ends` records where each
// top-level record ends.
class Bytes {
 public:
  Bytes() = default;
  Bytes(const Bytes& other) : data(other.data), ends(other.ends) {
    writer_->Raw(data.data(), static_cast<int32_t>(data.size()));
  }
  Bytes& operator=(const Bytes&) = delete;

  Bytes& Int(int32_t value) { return Sync(writer_->Int(value)); }
  Bytes& Text(const std::string& text) {
    return Sync(writer_->Raw(text.data(), static_cast<int32_t>(text.size())).Raw("", 1));
  }
  Bytes& Raw(const std::string& bytes) {
    return Sync(writer_->Raw(bytes.data(), static_cast<int32_t>(bytes.size())));
  }
  // The record's fields after its id; members use the same layout.
  Bytes& Fields(int32_t id, const std::string& oldName, int32_t oldSize,
                const std::string& oldDigest, const std::string& newName, int32_t newSize,
                const std::string& newDigest) {
    return Sync(writer_->Record(id, oldName.c_str(), oldSize, oldDigest.c_str(), newName.c_str(),
                                newSize, newDigest.c_str()));
  }
  Bytes& Plain(int32_t id, const std::string& oldName, int32_t oldSize,
               const std::string& oldDigest, const std::string& newName, int32_t newSize,
               const std::string& newDigest) {
    Fields(id, oldName, oldSize, oldDigest, newName, newSize, newDigest);
    return End();
  }
  Bytes& Removed(int32_t id, const std::string& oldName) {
    return Plain(id, oldName, 1, kDigestA, "", 0, "");
  }
  Bytes& Added(int32_t id, const std::string& newName) {
    return Plain(id, "", 0, "", newName, 2, kDigestB);
  }
  Bytes& GroupOpen(const std::string& newName, int32_t newSize, const std::string& newDigest) {
    return Sync(writer_->GroupBegin(newName.c_str(), newSize, newDigest.c_str()));
  }
  Bytes& Member(int32_t id, const std::string& oldName, const std::string& newName) {
    return Fields(id, oldName, oldName.empty() ? 0 : 3, oldName.empty() ? "" : kDigestA, newName, 4,
                  kDigestB);
  }
  Bytes& GroupClose() {
    Sync(writer_->GroupEnd());
    return End();
  }
  Bytes& End() {
    ends.push_back(data.size());
    return *this;
  }

  std::string data;
  std::vector<size_t> ends;

 private:
  Bytes& Sync(PatchListWriter& writer) {
    data.assign(reinterpret_cast<const char*>(writer.Data()), static_cast<size_t>(writer.Size()));
    return *this;
  }
  std::unique_ptr<PatchListWriter> writer_ = std::make_unique<PatchListWriter>();
};

using Parsed = test::ParsedList;

std::vector<const PatchEntry*> Chain(const PatchEntry* entry) {
  std::vector<const PatchEntry*> chain;
  for (; entry != nullptr; entry = entry->next) chain.push_back(entry);
  return chain;
}

std::vector<int32_t> Ids(const PatchEntry* entry) {
  std::vector<int32_t> ids;
  for (const PatchEntry* e : Chain(entry)) ids.push_back(e->id);
  return ids;
}

bool Refused(const std::string& bytes) { return Parsed(bytes).head() == nullptr; }

TEST(ParsePatchList, MissingOrEmptyBlockIsRefused) {
  const uint8_t byte = 1;
  EXPECT_EQ(ParsePatchList(nullptr, 10), nullptr);
  EXPECT_EQ(ParsePatchList(&byte, 0), nullptr);
  EXPECT_EQ(ParsePatchList(&byte, -1), nullptr);
  EXPECT_EQ(ParsePatchList(&byte, INT32_MIN), nullptr);
  EXPECT_TRUE(Refused(""));
}

TEST(ParsePatchList, PlainRecordFieldsPointIntoTheBlock) {
  Bytes b;
  b.Plain(7, "old/a.bin", 123, kDigestA, "new/a.bin", -5, kDigestB);
  Parsed parsed(b.data);
  const PatchEntry* e = parsed.head();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->id, 7);
  EXPECT_STREQ(e->oldName, "old/a.bin");
  EXPECT_EQ(e->oldSize, 123);
  EXPECT_STREQ(e->oldDigest, kDigestA);
  EXPECT_STREQ(e->newName, "new/a.bin");
  EXPECT_EQ(e->newSize, -5);
  EXPECT_STREQ(e->newDigest, kDigestB);
  EXPECT_EQ(e->next, nullptr);
  EXPECT_EQ(e->firstChild, nullptr);
  EXPECT_TRUE(parsed.InBlock(e->oldName));
  EXPECT_TRUE(parsed.InBlock(e->oldDigest));
  EXPECT_TRUE(parsed.InBlock(e->newName));
  EXPECT_TRUE(parsed.InBlock(e->newDigest));
  EXPECT_EQ(KindOf(e), EntryKind::KindChanged);
}

TEST(ParsePatchList, OldNameOnlyIsRemovedAndEmptyTextsAreShared) {
  Bytes b;
  b.Removed(3, "gone.bin");
  Parsed parsed(b.data);
  const PatchEntry* e = parsed.head();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(KindOf(e), EntryKind::KindRemoved);
  EXPECT_EQ(CountEntries(e), 1);
  EXPECT_EQ(e->newName, kEmptyEntryText);
  EXPECT_EQ(e->newDigest, kEmptyEntryText);
}

TEST(ParsePatchList, NewNameOnlyIsAdded) {
  Bytes b;
  b.Added(4, "fresh.bin");
  Parsed parsed(b.data);
  ASSERT_NE(parsed.head(), nullptr);
  EXPECT_EQ(KindOf(parsed.head()), EntryKind::KindAdded);
  EXPECT_EQ(parsed.head()->oldName, kEmptyEntryText);
}

TEST(ParsePatchList, TopLevelRecordWithTwoEmptyNamesIsRefused) {
  Bytes b;
  b.Plain(1, "", 0, kDigestA, "", 0, kDigestB);
  EXPECT_TRUE(Refused(b.data));
  // Also when it is not the first record.
  Bytes c;
  c.Removed(1, "a.bin").Plain(2, "", 0, "", "", 0, "");
  EXPECT_TRUE(Refused(c.data));
}

TEST(ParsePatchList, TopLevelChainRunsBackwards) {
  Bytes b;
  b.Removed(1, "a.bin").Added(2, "b.bin");
  Parsed parsed(b.data);
  ASSERT_NE(parsed.head(), nullptr);
  EXPECT_EQ(Ids(parsed.head()), (std::vector<int32_t>{2, 1}));
  EXPECT_STREQ(parsed.head()->newName, "b.bin");
  EXPECT_STREQ(parsed.head()->next->oldName, "a.bin");
  EXPECT_EQ(CountEntries(parsed.head()), 2);
  EXPECT_EQ(CountEntries(parsed.head()->next), 1);
  EXPECT_EQ(CountEntries(nullptr), 0);
}

TEST(ParsePatchList, GroupWithoutMembers) {
  Bytes b;
  b.GroupOpen("data.zt4", 99, kDigestB).GroupClose();
  Parsed parsed(b.data);
  const PatchEntry* g = parsed.head();
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->id, -1);
  EXPECT_EQ(KindOf(g), EntryKind::KindGroup);
  EXPECT_STREQ(g->newName, "data.zt4");
  EXPECT_EQ(g->newSize, 99);
  EXPECT_STREQ(g->newDigest, kDigestB);
  EXPECT_EQ(g->oldName, kEmptyEntryText);
  EXPECT_EQ(g->oldDigest, kEmptyEntryText);
  EXPECT_EQ(g->oldSize, 0);
  EXPECT_EQ(g->firstChild, nullptr);
  EXPECT_EQ(CountEntries(g), 1);
}

TEST(ParsePatchList, GroupMembersKeepTheirOrder) {
  Bytes b;
  b.Removed(1, "first.bin")
      .GroupOpen("sub/data.zt4", 500, kDigestB)
      .Member(10, "sub/data/m1.bin", "m1.bin")
      .Member(11, "", "/m2.bin")
      .Member(12, "sub/data/m3.bin", "m3.bin")
      .GroupClose()
      .Added(2, "last.bin");
  Parsed parsed(b.data);
  ASSERT_NE(parsed.head(), nullptr);
  EXPECT_EQ(Ids(parsed.head()), (std::vector<int32_t>{2, -1, 1}));
  const PatchEntry* g = parsed.head()->next;
  EXPECT_EQ(Ids(g->firstChild), (std::vector<int32_t>{10, 11, 12}));
  EXPECT_STREQ(g->firstChild->oldName, "sub/data/m1.bin");
  EXPECT_STREQ(g->firstChild->next->newName, "/m2.bin");
  for (const PatchEntry* m : Chain(g->firstChild)) EXPECT_EQ(m->firstChild, nullptr);
  // Members do not count.
  EXPECT_EQ(CountEntries(parsed.head()), 3);
}

TEST(ParsePatchList, KindOfGroupIgnoresNames) {
  PatchEntry e;
  EXPECT_EQ(KindOf(&e), EntryKind::KindNone);
  e.id = -1;
  EXPECT_EQ(KindOf(&e), EntryKind::KindGroup);
  e.oldName = "a";
  EXPECT_EQ(KindOf(&e), EntryKind::KindGroup);
  e.id = 0;
  EXPECT_EQ(KindOf(&e), EntryKind::KindRemoved);
  e.newName = "b";
  EXPECT_EQ(KindOf(&e), EntryKind::KindChanged);
  e.oldName = "";
  EXPECT_EQ(KindOf(&e), EntryKind::KindAdded);
}

TEST(ParsePatchList, FreshEntryDefaults) {
  PatchEntry e;
  EXPECT_EQ(e.id, 0);
  EXPECT_EQ(e.oldSize, 0);
  EXPECT_EQ(e.newSize, 0);
  EXPECT_EQ(e.next, nullptr);
  EXPECT_EQ(e.firstChild, nullptr);
  EXPECT_EQ(e.oldName, kEmptyEntryText);
  EXPECT_EQ(e.oldDigest, kEmptyEntryText);
  EXPECT_EQ(e.newName, kEmptyEntryText);
  EXPECT_EQ(e.newDigest, kEmptyEntryText);
}

TEST(ParsePatchList, GroupMarkersMustMatchExactly) {
  auto group = [](const std::string& open, const std::string& close) {
    Bytes b;
    b.Int(-1).Text(open).Text("a.zt4").Int(1).Text(kDigestA);
    b.Member(1, "", "x.bin").Int(-1).Text(close);
    return b.data;
  };
  EXPECT_FALSE(Refused(group("@ZT4_COPY", "@END")));
  EXPECT_TRUE(Refused(group("@ZT4_COPYY", "@END")));
  EXPECT_TRUE(Refused(group("@ZT4_COP", "@END")));
  EXPECT_TRUE(Refused(group("@ZT4_COPX", "@END")));
  EXPECT_TRUE(Refused(group("@zt4_copy", "@END")));
  EXPECT_TRUE(Refused(group("", "@END")));
  EXPECT_TRUE(Refused(group("@ZT4_COPY", "@ENDD")));
  EXPECT_TRUE(Refused(group("@ZT4_COPY", "@EN")));
  EXPECT_TRUE(Refused(group("@ZT4_COPY", "@ENX")));
  EXPECT_TRUE(Refused(group("@ZT4_COPY", "")));
  // The marker without its zero byte runs into the next field.
  Bytes noZero;
  noZero.Int(-1).Raw("@ZT4_COPY").Text("a.zt4").Int(1).Text(kDigestA).Int(-1).Text("@END");
  EXPECT_TRUE(Refused(noZero.data));
}

TEST(ParsePatchList, MemberWithTwoEmptyNamesIsAccepted) {
  Bytes b;
  b.GroupOpen("a.zt4", 1, kDigestA).Member(5, "", "").GroupClose();
  Parsed parsed(b.data);
  ASSERT_NE(parsed.head(), nullptr);
  const PatchEntry* m = parsed.head()->firstChild;
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->id, 5);
  EXPECT_EQ(KindOf(m), EntryKind::KindNone);
}

TEST(ParsePatchList, IdsAreNotChecked) {
  Bytes b;
  b.Added(-2, "minus.bin").Added(-2, "again.bin").Added(0, "zero.bin").Added(INT32_MIN, "min.bin");
  b.Added(INT32_MAX, "max.bin");
  Parsed parsed(b.data);
  ASSERT_NE(parsed.head(), nullptr);
  EXPECT_EQ(Ids(parsed.head()), (std::vector<int32_t>{INT32_MAX, INT32_MIN, 0, -2, -2}));
  EXPECT_EQ(KindOf(parsed.head()->next->next->next), EntryKind::KindAdded);
}

TEST(ParsePatchList, BytesAfterTheLastRecordAreReadAsAFurtherRecord) {
  Bytes b;
  b.Added(1, "a.bin");
  // A complete record follows: accepted as one more entry.
  Bytes twice = b;
  twice.Raw(b.data);
  Parsed parsed(twice.data);
  ASSERT_NE(parsed.head(), nullptr);
  EXPECT_EQ(CountEntries(parsed.head()), 2);
  // Anything shorter than a record refuses the description.
  EXPECT_TRUE(Refused(b.data + std::string(1, '\0')));
  EXPECT_TRUE(Refused(b.data + std::string(4, '\0')));
  EXPECT_TRUE(Refused(b.data + "xyz"));
  // Four zero bytes and six empty texts: a record with two empty names.
  EXPECT_TRUE(Refused(b.data + std::string(4 + 1 + 4 + 1 + 1 + 4 + 1, '\0')));
}

TEST(ParsePatchList, ClosingMarkEndsMembersWhereverIdsWouldBe) {
  // After "@END" a new top-level record begins; an id of -1 there opens a new group.
  Bytes b;
  b.GroupOpen("a.zt4", 1, kDigestA).Member(1, "", "x").GroupClose();
  b.GroupOpen("b.zt4", 2, kDigestB).GroupClose();
  Parsed parsed(b.data);
  ASSERT_NE(parsed.head(), nullptr);
  EXPECT_STREQ(parsed.head()->newName, "b.zt4");
  EXPECT_EQ(parsed.head()->firstChild, nullptr);
  EXPECT_EQ(CountEntries(parsed.head()), 2);
}

// A description with every kind of record; cut anywhere, it must be refused unless the
// cut falls between two records, and it must never be read past the cut.
Bytes FullDescription() {
  Bytes b;
  b.Plain(1, "a/old.bin", 10, kDigestA, "a/new.bin", 11, kDigestB)
      .Removed(2, "gone.bin")
      .GroupOpen("data.zt4", 300, kDigestB)
      .Member(20, "data/keep.bin", "keep.bin")
      .Member(21, "", "/fresh.bin")
      .Member(22, "", "")
      .GroupClose()
      .GroupOpen("empty.zt4", 16, kDigestA)
      .GroupClose()
      .Added(3, "\x83\x5C/added.bin");
  return b;
}

TEST(ParsePatchList, EveryCutInsideARecordIsRefused) {
  Bytes b = FullDescription();
  ASSERT_NE(Parsed(b.data).head(), nullptr);
  ASSERT_EQ(b.ends.back(), b.data.size());
  for (size_t cut = 1; cut < b.data.size(); ++cut) {
    Parsed parsed(b.data, cut);
    size_t records = 0;
    bool boundary = false;
    for (size_t end : b.ends) {
      if (end <= cut) ++records;
      if (end == cut) boundary = true;
    }
    if (boundary) {
      EXPECT_EQ(CountEntries(parsed.head()), static_cast<int32_t>(records)) << "cut " << cut;
    } else {
      EXPECT_EQ(parsed.head(), nullptr) << "cut " << cut;
    }
  }
}

TEST(ParsePatchList, AllocationFailureRefusesAndFreesWhatWasBuilt) {
  Bytes b = FullDescription();
  // Five top-level entries and three members.
  const int allocations = 8;
  for (int failing = 0; failing <= allocations; ++failing) {
    nothrowNewFailsAfter = failing;
    Parsed parsed(b.data);
    bool armed = nothrowNewFailsAfter >= 0;
    nothrowNewFailsAfter = -1;
    if (failing < allocations) {
      EXPECT_EQ(parsed.head(), nullptr) << "failing allocation " << failing;
    } else {
      EXPECT_TRUE(armed);
      EXPECT_EQ(CountEntries(parsed.head()), 5);
    }
  }
}

// Where a name may stand in a description; each builds a one-record description.
enum class Field { kTopOld, kTopNew, kGroupNew, kMemberOld, kMemberNew };

std::string WithName(Field field, const std::string& name) {
  Bytes b;
  switch (field) {
    case Field::kTopOld:
      b.Removed(1, name);
      break;
    case Field::kTopNew:
      b.Added(1, name);
      break;
    case Field::kGroupNew:
      b.GroupOpen(name, 1, kDigestA).GroupClose();
      break;
    case Field::kMemberOld:
      b.GroupOpen("a.zt4", 1, kDigestA).Member(1, name, "x.bin").GroupClose();
      break;
    case Field::kMemberNew:
      b.GroupOpen("a.zt4", 1, kDigestA).Member(1, "", name).GroupClose();
      break;
  }
  return b.data;
}

const Field kPathFields[] = {Field::kTopOld, Field::kTopNew, Field::kGroupNew, Field::kMemberOld};
const Field kAllFields[] = {Field::kTopOld, Field::kTopNew, Field::kGroupNew, Field::kMemberOld,
                            Field::kMemberNew};

// Refused wherever a name stands.
const char* const kClimbingNames[] = {
    "..",
    "../x",
    "..\\x",
    "a/../b",
    "a\\..\\b",
    "a/..",
    "a\\..",
    "/..",
    "a/.../b",
    "a/.. /b",
    "a\\. .\\b",
    "\x83\x41/../x",    // a two-byte character before the separator
    "\x81/../x",        // a lead byte without a valid trail stands alone
    "a\\\x83\x5C\\..",  // the trail 0x5C is no separator, the next '\' is
};
const char* const kDeviceNames[] = {
    "CON",   "con",    "nul.txt",   "NUL.tar.gz", "sub/COM1", "sub\\lpt9.dat", "Aux",
    "prn.x", "COM5/x", "LPT1 .txt", "CON ",       "conin$",   "CONOUT$.x",
};
// Refused as paths, accepted as member names.
const char* const kAbsoluteNames[] = {
    "/a.bin",
    "\\a.bin",
    "//server/share/a",
    "\\\\server\\share\\a",
    "\\\\?\\C:\\a",
    "C:x",
    "C:\\x",
    "c:/x",
    "a.bin:stream",
    "dir/a:b",
    ":",
};
// Accepted wherever a name stands.
const char* const kSafeNames[] = {
    "a.bin",           "a/b/c.bin",  "a\\b.bin", "\x83\x5C/a.bin",
    "\x83\x5C\\a.bin", "\x83\x5C..", "..a",      "a..",
    ".hidden",         "a/./b",      "a//b",     "COM10",
    "CONFIG",          "console",    "nul_",     "LPT",
    "com0x",           ". /x",       "x\x83",    "\x95\x5C\x8E\xA6/\x83\x5C\x83t\x83g.txt",
};

// Climbing names are refused in every field; absolute and device ones where a name is a
// path (a member's new name is read below its archive and never opened as a file).
TEST(ParsePatchList, UnsafeNamesAreRefusedWhereTheyApply) {
  auto refusedIn = [](const auto& fields, const auto& names) {
    for (Field field : fields) {
      for (const char* name : names) {
        EXPECT_TRUE(Refused(WithName(field, name)))
            << "field " << static_cast<int>(field) << " name " << name;
      }
    }
  };
  refusedIn(kAllFields, kClimbingNames);
  refusedIn(kPathFields, kDeviceNames);
  refusedIn(kPathFields, kAbsoluteNames);
}

TEST(ParsePatchList, MemberNewNamesMayLookAbsoluteOrNameADevice) {
  for (const char* name : kAbsoluteNames) {
    EXPECT_FALSE(Refused(WithName(Field::kMemberNew, name))) << name;
  }
  for (const char* name : kDeviceNames) {
    EXPECT_FALSE(Refused(WithName(Field::kMemberNew, name))) << name;
  }
}

// One name, as the new name of a top-level file and as the new name of a member. A file
// must not lead into the backup folder, under its long name or an 8.3 name Windows
// generates for it ("BACKUP~1" to "BACKUP~4", then "BA", four hexadecimal digits, '~'
// and a digit), nor name a device or hold 0xFF; a member only must not climb.
struct NameCase {
  const char* name;
  bool fileAccepted;
  bool memberAccepted;
};
const NameCase kNameCases[] = {
    {"bank~2", true, true},
    {"BANK~2", true, true},
    {"bank~2/x.bin", true, true},
    {"BACKUP~1", false, true},
    {"backup~4", false, true},
    {"Backup~3/x.bin", false, true},
    {"BACKUP~1.", false, true},  // Windows drops the trailing dot
    {"BACKUP~2 . /x.bin", false, true},
    {"./BACKUP~2/x.bin", false, true},
    {"BAC3F1~5", false, true},
    {"ba0f9e~1", false, true},
    {"BAffff~9", false, true},
    {"BACKUP_FILES", false, true},
    {"backup_files. .", false, true},
    {"BACKUP~5", true, true},   // the fifth folder gets the hashed form instead
    {"BACKUP~0", true, true},
    {"BACKUP~12", true, true},  // nine characters: no generated 8.3 name
    {"BACKUP~1.txt", true, true},
    {"BA12~3", true, true},
    {"BAG3F1~5", true, true},   // G is no hexadecimal digit
    {"BAC3F1~0", true, true},
    {"BAC3F1~55", true, true},
    {"BAC3F1-5", true, true},
    {"BC3F1A~1", true, true},
    {"BAC3F1~5.bin", true, true},
    {"sub/BACKUP~1", true, true},
    {"aux.bin", false, true},
    {"data/con.txt", false, true},
    {"LPT1", false, true},
    {"m\xFF", false, true},
    {"../x", false, false},
    {"a/../../x", false, false},
    {"..", false, false},
};

TEST(ParsePatchList, BackupFolderDeviceAndForeignRulesHoldForFilesOnly) {
  for (const NameCase& c : kNameCases) {
    EXPECT_EQ(Refused(WithName(Field::kTopNew, c.name)), !c.fileAccepted) << c.name;
    EXPECT_EQ(Refused(WithName(Field::kGroupNew, c.name)), !c.fileAccepted) << c.name;
    EXPECT_EQ(Refused(WithName(Field::kMemberNew, c.name)), !c.memberAccepted) << c.name;
    bool file = IsSafeRelativeName(c.name, false) && !LeadsIntoBackupFolder(c.name);
    EXPECT_EQ(file, c.fileAccepted) << c.name;
    EXPECT_EQ(IsSafeRelativeName(c.name, true), c.memberAccepted) << c.name;
  }
}

TEST(ParsePatchList, SafeNamesAreAcceptedEverywhere) {
  for (Field field : kAllFields) {
    for (const char* name : kSafeNames) {
      EXPECT_FALSE(Refused(WithName(field, name)))
          << "field " << static_cast<int>(field) << " name " << name;
    }
  }
}

TEST(ParsePatchList, OneUnsafeNameRefusesEverything) {
  ASSERT_FALSE(Refused(FullDescription().data));
  Bytes c = FullDescription();
  c.Removed(9, "../escape.bin");
  EXPECT_TRUE(Refused(c.data));
  Bytes d;
  d.Removed(9, "..\\escape.bin");
  d.Raw(FullDescription().data);
  EXPECT_TRUE(Refused(d.data));
}

TEST(IsSafeRelativeName, PathsAndMemberNames) {
  EXPECT_TRUE(IsSafeRelativeName("", false));
  EXPECT_TRUE(IsSafeRelativeName("", true));
  EXPECT_FALSE(IsSafeRelativeName(nullptr, false));
  EXPECT_FALSE(IsSafeRelativeName("/x.bin", false));
  EXPECT_TRUE(IsSafeRelativeName("/x.bin", true));
  EXPECT_TRUE(IsSafeRelativeName("C:x", true));
  EXPECT_FALSE(IsSafeRelativeName("/../x.bin", true));
  EXPECT_TRUE(IsSafeRelativeName("/nul", true));
  EXPECT_FALSE(IsSafeRelativeName("nul", false));
  EXPECT_TRUE(IsSafeRelativeName("\x83\x5C/a.bin", false));
  // 0x5C standing alone is a separator.
  EXPECT_FALSE(IsSafeRelativeName("a\x5C..", false));
  // A lead byte takes the 0x5C as its trail: no separator, no ".." component.
  EXPECT_TRUE(IsSafeRelativeName("\xE0\x5C..", false));
  EXPECT_TRUE(IsSafeRelativeName("\xFC\x5C..", false));
  EXPECT_FALSE(IsSafeRelativeName("\xA0\x5C..", false));  // 0xA0 is no lead byte
  EXPECT_FALSE(IsSafeRelativeName("\x80\x5C..", false));  // nor is 0x80
}

// The debug channel, line by line.
class DebugCapture : public ForwardingPlatform {
 public:
  void DebugOutput(const char* text) override { lines.emplace_back(text); }
  std::vector<std::string> lines;
};

// The lines DumpEntry writes for the first entry of a description.
std::vector<std::string> DumpLines(const Bytes& b) {
  Parsed parsed(b.data);
  EXPECT_NE(parsed.head(), nullptr);
  DebugCapture capture;
  if (parsed.head()) {
    ScopedPlatform scope(&capture);
    DumpEntry(parsed.head());
  }
  return capture.lines;
}

TEST(DumpEntry, ChangedEntryLine) {
  Bytes b;
  b.Plain(7, "a/old.bin", 10, kDigestA, "a/new.bin", 11, kDigestB);
  std::vector<std::string> lines = DumpLines(b);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("2-7: ", 0), 0u);
  EXPECT_EQ(lines[0], std::string("2-7: a/old.bin(10)[") + kDigestA +
                                  "] -> a/new.bin(11)[" + kDigestB + "]\n");
}

TEST(DumpEntry, RemovedAndNegativeIdLines) {
  Bytes b;
  b.Removed(-2, "gone.bin");
  std::vector<std::string> lines = DumpLines(b);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string("1--2: gone.bin(1)[") + kDigestA + "] -> (0)[]\n");
}

TEST(DumpEntry, GroupListsItsMembersBetweenRulers) {
  Bytes b;
  b.GroupOpen("data.zt4", 300, kDigestB)
      .Member(20, "data/m1.bin", "m1.bin")
      .Member(21, "", "/m2.bin")
      .Member(22, "", "")
      .GroupClose();
  std::vector<std::string> lines = DumpLines(b);
  std::vector<std::string> expected = {
      std::string("4--1: (0)[] -> data.zt4(300)[") + kDigestB + "]\n",
      "--- childinfo ---\n",
      std::string("2-20: data/m1.bin(3)[") + kDigestA + "] -> m1.bin(4)[" + kDigestB + "]\n",
      std::string("3-21: (0)[] -> /m2.bin(4)[") + kDigestB + "]\n",
      std::string("0-22: (0)[] -> (4)[") + kDigestB + "]\n",
      "-----------------\n",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(lines.back().size(), 18u);
}

TEST(DumpEntry, GroupWithoutMembersHasNoRulers) {
  Bytes b;
  b.GroupOpen("e.zt4", 16, kDigestA).GroupClose();
  std::vector<std::string> lines = DumpLines(b);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string("4--1: (0)[] -> e.zt4(16)[") + kDigestA + "]\n");
}

TEST(DumpEntry, VeryLongNamesAreWrittenWhole) {
  std::string oldName(3000, 'o');
  std::string newName = "dir/" + std::string(5000, 'n');
  Bytes b;
  b.Plain(1, oldName, 1, kDigestA, newName, 2, kDigestB);
  std::vector<std::string> lines = DumpLines(b);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "2-1: " + oldName + "(1)[" + kDigestA + "] -> " + newName + "(2)[" + kDigestB + "]\n");
}

}  // namespace
}  // namespace zt4
