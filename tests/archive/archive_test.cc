#include "archive/archive.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/heap.h"
#include "base/stream.h"
#include "codec/crc32.h"
#include "codec/range_codec.h"
#include "support/scripted_platform.h"
#include "support/patch_writer.h"
#include "support/test_files.h"

namespace zt4 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string ReadAll(const std::string& path) {
  std::string content;
  EXPECT_TRUE(test::ReadFile(path, &content)) << path;
  return content;
}

// Writes an archive of the given (name, content) members in order; returns the file.
std::string WriteArchive(const std::string& path,
                         const std::vector<std::pair<std::string, std::string>>& members) {
  {
    ArchiveWriter writer;
    EXPECT_TRUE(writer.Create(PoolString(path.c_str())));
    for (const auto& [name, content] : members) {
      EXPECT_TRUE(writer.Add(reinterpret_cast<const uint8_t*>(content.data()),
                             static_cast<uint32_t>(content.size()), PoolString(name.c_str())))
          << name;
    }
  }
  return ReadAll(path);
}

std::string Extracted(Archive& archive, const char* name, bool* ok = nullptr) {
  uint8_t* data = nullptr;
  int32_t size = -1;
  bool extracted = archive.Extract(PoolString(name), &data, &size);
  if (ok) *ok = extracted;
  if (!extracted) {
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0);
    return "<failed>";
  }
  std::string content(reinterpret_cast<char*>(data), static_cast<size_t>(size));
  FreeBlock(data);
  return content;
}

TEST(ArchiveWriter, OneMemberArchiveIsTheKnownFortySevenBytes) {
  test::TempFolder folder;
  std::string file = WriteArchive(folder / "a.zt4", {{"/a", "abc"}});
  const Bytes expected = {
      0x54, 0x52, 0x56, 0x36,  // magic "TRV6"
      0x17, 0x00, 0x00, 0x00,  // indexOffset 23
      0x17, 0x00, 0x00, 0x00,  // indexSize 23
      0xAA, 0xAF, 0xCA, 0x78,  // indexCrc
      0x61, 0x01, 0x9D, 0x95, 0x33, 0xBA, 0x00,  // member /a: "abc" coded
      // the coded index
      0x00, 0xFF, 0x01, 0x00, 0x22, 0xDF, 0x1E, 0x40, 0x91, 0xD0, 0xA0, 0x6F, 0xBC, 0xBA, 0x58,
      0xBE, 0x09, 0xFF, 0xF0, 0xF3, 0xB0, 0xE7, 0xB3, 0x00};
  EXPECT_EQ(ToBytes(file), expected);

  // The index before coding: count 1, "/a", storedSize 7, contentSize 3, offset 16, crc.
  const Bytes index = {0x01, 0x00, 0x00, 0x00, 0x2F, 0x61, 0x00, 0x07, 0x00, 0x00, 0x00, 0x03,
                       0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0xC2, 0x41, 0x24, 0x35};
  RangeCodec codec;
  uint8_t* decoded = codec.DecompressAlloc(expected.data() + 23, 24, 23);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(Bytes(decoded, decoded + 23), index);
  FreeBlock(decoded);

  Archive archive;
  ASSERT_TRUE(archive.Open(PoolString((folder / "a.zt4").c_str())));
  EXPECT_EQ(Extracted(archive, "/a"), "abc");
  bool ok = true;
  Extracted(archive, "/b", &ok);
  EXPECT_FALSE(ok);
}

TEST(ArchiveWriter, EmptyArchiveIsTwentyThreeBytesAndCannotBeOpened) {
  test::TempFolder folder;
  std::string file = WriteArchive(folder / "e.zt4", {});
  const Bytes expected = {0x54, 0x52, 0x56, 0x36, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                          0x1C, 0xDF, 0x44, 0x21, 0x00, 0x00, 0x00, 0x16, 0xFF, 0x4E, 0xF0};
  EXPECT_EQ(ToBytes(file), expected);
  Archive archive;
  EXPECT_FALSE(archive.Open(PoolString((folder / "e.zt4").c_str())));
  EXPECT_FALSE(archive.IsOpen());
}

// Reads the raw index records of an archive file: (name, storedSize, contentSize, offset).
struct Record {
  std::string name;
  uint32_t storedSize, contentSize, offset, crc;
};

std::vector<Record> RawIndex(const std::string& file) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
  uint32_t indexOffset = GetU32(bytes + 4);
  uint32_t indexSize = GetU32(bytes + 8);
  RangeCodec codec;
  uint8_t* index = codec.DecompressAlloc(bytes + indexOffset,
                                         static_cast<int32_t>(file.size() - indexOffset),
                                         static_cast<int32_t>(indexSize));
  std::vector<Record> records;
  if (!index) return records;
  uint32_t count = GetU32(index);
  const uint8_t* at = index + 4;
  for (uint32_t i = 0; i < count; ++i) {
    Record r;
    r.name = reinterpret_cast<const char*>(at);
    at += r.name.size() + 1;
    r.storedSize = GetU32(at);
    r.contentSize = GetU32(at + 4);
    r.offset = GetU32(at + 8);
    r.crc = GetU32(at + 12);
    at += 16;
    records.push_back(r);
  }
  FreeBlock(index);
  return records;
}

TEST(ArchiveWriter, IndexFollowsTheTablesOrderAndDataTheAddOrder) {
  test::TempFolder folder;
  std::string file =
      WriteArchive(folder / "o.zt4", {{"/b", "bbbb"}, {"/12", ""}, {"/a", "a"}, {"/30", "thirty"}});
  std::vector<Record> records = RawIndex(file);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].name, "/30");
  EXPECT_EQ(records[1].name, "/12");
  EXPECT_EQ(records[2].name, "/a");
  EXPECT_EQ(records[3].name, "/b");
  std::map<std::string, Record> byName;
  for (const Record& r : records) byName[r.name] = r;
  EXPECT_EQ(byName["/b"].offset, 16u);
  // The empty member has no bytes and the offset where it was added.
  EXPECT_EQ(byName["/12"].offset, 16u + byName["/b"].storedSize);
  EXPECT_EQ(byName["/12"].storedSize, 0u);
  EXPECT_EQ(byName["/12"].contentSize, 0u);
  EXPECT_EQ(byName["/12"].crc, 0u);
  EXPECT_EQ(byName["/a"].offset, byName["/12"].offset);
  EXPECT_EQ(byName["/30"].offset, byName["/a"].offset + byName["/a"].storedSize);
  uint32_t indexOffset = GetU32(reinterpret_cast<const uint8_t*>(file.data()) + 4);
  EXPECT_EQ(indexOffset, byName["/30"].offset + byName["/30"].storedSize);

  Archive archive;
  ASSERT_TRUE(archive.Open(PoolString((folder / "o.zt4").c_str())));
  EXPECT_EQ(Extracted(archive, "/12"), "");  // a 0-byte member extracts as empty
  EXPECT_EQ(Extracted(archive, "/30"), "thirty");
  EXPECT_EQ(Extracted(archive, "/b"), "bbbb");
}

// Records as the reader's sink sees them while it reads the index.
bool CollectName(const PoolString& name, const ArchiveEntry& /*entry*/, void* user) {
  static_cast<std::vector<std::string>*>(user)->emplace_back(name.Text());
  return true;
}

TEST(ArchiveOverMemory, TheSameBytesAsOnDiskReadBackInFileOrder) {
  test::TempFolder folder;
  const test::Members members = {{"/b", "bbbb"}, {"/12", ""}, {"/a", "a"}, {"/30", "thirty"}};
  std::string inMemory = test::ArchiveBytes(members);
  EXPECT_EQ(inMemory, WriteArchive(folder / "o.zt4", members));

  auto* stream = new MemoryStream;
  auto* copy = AllocBlock(inMemory.size());
  std::memcpy(copy, inMemory.data(), inMemory.size());
  stream->Attach(copy, static_cast<uint32_t>(inMemory.size()), true);
  Archive archive;
  std::vector<std::string> names;
  ASSERT_TRUE(archive.Open(stream, CollectName, &names));
  EXPECT_EQ(names, (std::vector<std::string>{"/30", "/12", "/a", "/b"}));
  EXPECT_EQ(Extracted(archive, "/30"), "thirty");

  // A sink that refuses a record refuses the archive.
  auto* again = new MemoryStream;
  again->Attach(reinterpret_cast<uint8_t*>(inMemory.data()), static_cast<uint32_t>(inMemory.size()),
                false);
  auto refuse = [](const PoolString&, const ArchiveEntry&, void*) { return false; };
  EXPECT_FALSE(archive.Open(again, refuse, nullptr));
  EXPECT_FALSE(archive.IsOpen());
}

TEST(ArchiveWriter, AnAbandonedArchiveHasNoValidHeader) {
  MemoryStream bytes;
  ASSERT_TRUE(bytes.CreateBlock(64, true));
  {
    ArchiveWriter writer;
    ASSERT_TRUE(writer.Create(&bytes));
    const uint8_t data[] = {'x', 'y'};
    ASSERT_TRUE(writer.Add(data, 2, PoolString("/m")));
    writer.Abandon();
    EXPECT_FALSE(writer.Finish());  // nothing left to finish, also not in the destructor
  }
  ASSERT_GT(bytes.Size(), 16);
  EXPECT_EQ(GetU32(bytes.Data()), 0u);  // the placeholder header stays
  auto* stream = new MemoryStream;
  stream->Attach(bytes.Data(), static_cast<uint32_t>(bytes.Size()), false);
  Archive archive;
  EXPECT_FALSE(archive.Open(stream));
}

TEST(ArchiveWriter, RefusesEmptyAndRepeatedNames) {
  MemoryStream bytes;
  ASSERT_TRUE(bytes.CreateBlock(64, true));
  ArchiveWriter writer;
  ASSERT_TRUE(writer.Create(&bytes));
  const uint8_t one[] = {'1'};
  const uint8_t two[] = {'2', '2'};
  EXPECT_TRUE(writer.Add(one, 1, PoolString("/x")));
  EXPECT_FALSE(writer.Add(two, 2, PoolString("/x")));
  EXPECT_FALSE(writer.Add(two, 2, PoolString("")));
  EXPECT_TRUE(writer.Finish());
  std::string file(reinterpret_cast<const char*>(bytes.Data()), static_cast<size_t>(bytes.Size()));
  std::vector<Record> records = RawIndex(file);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].contentSize, 1u);
  // Nothing of the refused members was written: the index follows the first member.
  EXPECT_EQ(GetU32(bytes.Data() + 4), 16u + records[0].storedSize);
}

TEST(ArchiveWriter, MemberNamedLikeTheIndexLeavesNoValidHeader) {
  test::TempFolder folder;
  std::string path = folder / "h.zt4";
  {
    ArchiveWriter writer;
    ASSERT_TRUE(writer.Create(PoolString(path.c_str())));
    const uint8_t data[] = {'x'};
    ASSERT_TRUE(writer.Add(data, 1, PoolString(kIndexMemberName)));
    EXPECT_FALSE(writer.Finish());
  }
  std::string file = ReadAll(path);
  EXPECT_EQ(file.substr(0, 16), std::string(16, '\0'));
  Archive archive;
  EXPECT_FALSE(archive.Open(PoolString(path.c_str())));
}

// An archive file put together by hand: header fields, member data and the raw index
// (coded here), so that the reader's checks can be reached one by one.
std::string HandMade(const std::string& members, const Bytes& index, uint32_t magic = kArchiveMagic) {
  RangeCodec codec;
  int32_t codedLength = 0;
  uint8_t* coded = codec.CompressAlloc(index.data(), static_cast<int32_t>(index.size()), &codedLength);
  std::string file(16, '\0');
  auto* header = reinterpret_cast<uint8_t*>(file.data());
  PutU32(header, magic);
  PutU32(header + 4, static_cast<uint32_t>(16 + members.size()));
  PutU32(header + 8, static_cast<uint32_t>(index.size()));
  PutU32(header + 12, Crc32(index.data(), index.size(), 0));
  file += members;
  file.append(reinterpret_cast<char*>(coded), static_cast<size_t>(codedLength));
  FreeBlock(coded);
  return file;
}

Bytes IndexOf(const std::vector<Record>& records, uint32_t count) {
  Bytes index(4);
  PutU32(index.data(), count);
  for (const Record& r : records) {
    index.insert(index.end(), r.name.begin(), r.name.end());
    index.push_back(0);
    uint8_t fields[16];
    PutU32(fields, r.storedSize);
    PutU32(fields + 4, r.contentSize);
    PutU32(fields + 8, r.offset);
    PutU32(fields + 12, r.crc);
    index.insert(index.end(), fields, fields + 16);
  }
  return index;
}

class HandMadeArchive : public ::testing::Test {
 protected:
  bool Opens(const std::string& file) {
    std::string path = folder_ / ("f" + std::to_string(serial_++) + ".zt4");
    EXPECT_TRUE(test::WriteFile(path, file));
    return archive_.Open(PoolString(path.c_str()));
  }
  // "abc" coded, and a record for it named /a at offset 16.
  const std::string abc_ = std::string("\x61\x01\x9D\x95\x33\xBA\x00", 7);
  Record Abc(const char* name = "/a") { return Record{name, 7, 3, 16, 0x352441C2}; }

  test::TempFolder folder_;
  Archive archive_;
  int serial_ = 0;
};

TEST_F(HandMadeArchive, WellFormedOpens) {
  EXPECT_TRUE(Opens(HandMade(abc_, IndexOf({Abc()}, 1))));
  EXPECT_EQ(Extracted(archive_, "/a"), "abc");
}

TEST_F(HandMadeArchive, IndexWithExtraOrMissingBytesIsRefused) {
  Bytes index = IndexOf({Abc()}, 1);
  Bytes extra = index;
  extra.push_back(0);
  EXPECT_FALSE(Opens(HandMade(abc_, extra)));
  Bytes cut(index.begin(), index.end() - 1);
  EXPECT_FALSE(Opens(HandMade(abc_, cut)));
  EXPECT_FALSE(Opens(HandMade(abc_, IndexOf({Abc()}, 2))));  // count says more than there is
  EXPECT_FALSE(Opens(HandMade(abc_, IndexOf({}, 0))));        // only the count
  Bytes unterminated(index.begin(), index.begin() + 6);       // name without its zero
  EXPECT_FALSE(Opens(HandMade(abc_, unterminated)));
}

TEST_F(HandMadeArchive, HeaderFieldsAreChecked) {
  std::string good = HandMade(abc_, IndexOf({Abc()}, 1));
  EXPECT_FALSE(Opens(HandMade(abc_, IndexOf({Abc()}, 1), 0x37565254)));  // "TRV7"
  std::string file = good;
  PutU32(reinterpret_cast<uint8_t*>(file.data()) + 4, static_cast<uint32_t>(file.size()));
  EXPECT_FALSE(Opens(file));  // index offset at the end of the file
  file = good;
  PutU32(reinterpret_cast<uint8_t*>(file.data()) + 8, static_cast<uint32_t>(file.size()));
  EXPECT_FALSE(Opens(file));  // index size as large as the file
  file = good;
  file[12] ^= 1;
  EXPECT_FALSE(Opens(file));  // index CRC
  EXPECT_FALSE(Opens(good.substr(0, 15)));
  EXPECT_TRUE(Opens(good));
}

TEST_F(HandMadeArchive, RepeatedNameKeepsTheLaterRecord) {
  std::string members = abc_ + abc_;
  Record first = Abc();
  Record second = Abc();
  second.offset = 23;
  second.contentSize = 2;  // wrong on purpose: the later record must win
  EXPECT_TRUE(Opens(HandMade(members, IndexOf({first, second}, 2))));
  EXPECT_EQ(archive_.Index().EntryCount(), 1u);
  EXPECT_EQ(archive_.Find(PoolString("/a"))->offset, 23u);
  bool ok = true;
  Extracted(archive_, "/a", &ok);  // decodes to 3 bytes where 2 are expected
  EXPECT_FALSE(ok);
}

TEST_F(HandMadeArchive, DamagedMemberLeavesTheOthersReadable) {
  test::TempFolder folder;
  std::string file = WriteArchive(folder / "m.zt4", {{"/one", "first member"},
                                                     {"/two", "second member"},
                                                     {"/three", "third member"}});
  std::vector<Record> records = RawIndex(file);
  uint32_t twoOffset = 0;
  for (const Record& r : records) {
    if (r.name == "/two") twoOffset = r.offset;
  }
  file[twoOffset + 2] ^= 0x40;
  ASSERT_TRUE(Opens(file));
  bool ok = true;
  Extracted(archive_, "/two", &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(Extracted(archive_, "/one"), "first member");
  EXPECT_EQ(Extracted(archive_, "/three"), "third member");
}

TEST_F(HandMadeArchive, RecordClaimingBytesBeyondTheFileIsRefused) {
  Record huge = Abc();
  huge.storedSize = 0x7FFFFFF0;  // far more than the file holds: refused, not allocated
  Record past = Abc("/b");
  past.offset = 0x7FFFFF00;
  ASSERT_TRUE(Opens(HandMade(abc_, IndexOf({huge, past, Abc("/c")}, 3))));
  bool ok = true;
  Extracted(archive_, "/a", &ok);
  EXPECT_FALSE(ok);
  Extracted(archive_, "/b", &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(Extracted(archive_, "/c"), "abc");
}

TEST_F(HandMadeArchive, CrcMismatchIsRefused) {
  Record wrong = Abc();
  wrong.crc ^= 1;
  ASSERT_TRUE(Opens(HandMade(abc_, IndexOf({wrong}, 1))));
  bool ok = true;
  Extracted(archive_, "/a", &ok);
  EXPECT_FALSE(ok);
}

TEST_F(HandMadeArchive, IndexLargerThanTheFileCannotBeOpened) {
  // Many empty members with long names: the index outgrows the file.
  test::TempFolder folder;
  std::vector<std::pair<std::string, std::string>> members;
  for (int i = 0; i < 40; ++i) members.push_back({"/" + std::string(60, 'n') + std::to_string(i), ""});
  std::string file = WriteArchive(folder / "big.zt4", members);
  ASSERT_GT(file.size(), 16u);
  EXPECT_FALSE(Opens(file));
}

TEST(ArchiveRoundTrip, ManyMembersWithShiftJisNames) {
  test::TempFolder folder;
  std::mt19937 random(1234);
  std::vector<std::pair<std::string, std::string>> members;
  std::map<std::string, std::string> expected;
  const char* jp[] = {"\x83\x5C", "\x83\x74\x83\x40\x83\x43\x83\x8B", "\x95\x5C", "\x8F\x88"};
  while (members.size() < 300) {
    std::string name = "/" + std::string(jp[random() % 4]) + std::to_string(random() % 100000);
    if (expected.count(name)) continue;
    size_t size = random() % 7 == 0 ? 0 : random() % 5000;
    std::string content(size, '\0');
    int style = static_cast<int>(random() % 3);
    for (char& c : content) {
      c = style == 0 ? static_cast<char>(random()) : style == 1 ? 'a' + random() % 4 : 'z';
    }
    members.push_back({name, content});
    expected[name] = content;
  }
  std::string path = folder / "round.zt4";
  std::string first = WriteArchive(path, members);
  EXPECT_EQ(WriteArchive(folder / "again.zt4", members), first);  // deterministic
  Archive archive;
  ASSERT_TRUE(archive.Open(PoolString(path.c_str())));
  EXPECT_EQ(archive.Index().EntryCount(), 300u);
  for (const auto& [name, content] : expected) {
    EXPECT_EQ(Extracted(archive, name.c_str()), content) << test::HexOf(name);
  }
  // Reopening on the same object replaces what it held.
  ASSERT_TRUE(archive.Open(PoolString((folder / "again.zt4").c_str())));
  EXPECT_EQ(archive.Index().EntryCount(), 300u);
}

// A member taken in pieces is the member taken whole: members of several MiB (coded bytes
// read in many pieces, decoded ones handed over in many), an empty one, and a damaged one
// refused either way.
TEST(ArchiveRoundTrip, MembersInPiecesAreTheMembersWhole) {
  test::TempFolder folder;
  std::mt19937 random(99);
  std::string noise(3 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  std::string text;
  while (text.size() < (5u << 20)) {
    text += "the dungeon key " + std::to_string(random() % 1000) + "\n";
  }
  std::string path = folder / "big.zt4";
  std::string bytes = WriteArchive(path, {{"/noise", noise}, {"/text", text}, {"/empty", ""}});
  auto inPieces = [](Archive& archive, const char* name, std::string* content) {
    auto append = [](const uint8_t* data, int32_t size, void* user) {
      static_cast<std::string*>(user)->append(reinterpret_cast<const char*>(data),
                                              static_cast<size_t>(size));
    };
    content->clear();
    return archive.ExtractInPieces(PoolString(name), append, content);
  };
  Archive archive;
  ASSERT_TRUE(archive.Open(PoolString(path.c_str())));
  for (const char* name : {"/noise", "/text", "/empty"}) {
    std::string content;
    ASSERT_TRUE(inPieces(archive, name, &content)) << name;
    EXPECT_TRUE(content == Extracted(archive, name)) << name;
  }
  // A byte of the text's coded bytes changed: its CRC or its decoding fails, both ways.
  const ArchiveEntry* entry = archive.Find(PoolString("/text"));
  ASSERT_NE(entry, nullptr);
  bytes[entry->offset + entry->storedSize / 2] ^= 0x40;
  ASSERT_TRUE(test::WriteFile(folder / "damaged.zt4", bytes));
  Archive damaged;
  ASSERT_TRUE(damaged.Open(PoolString((folder / "damaged.zt4").c_str())));
  std::string content;
  EXPECT_FALSE(inPieces(damaged, "/text", &content));
  bool ok = true;
  Extracted(damaged, "/text", &ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(inPieces(damaged, "/noise", &content));

  // Two members extracted at once, from one archive or two, give each what it gives alone:
  // a damaged one is refused beside a good one, and the good one is whole.
  struct Side {
    Archive* archive;
    const char* name;
  };
  const std::pair<Side, Side> pairs[] = {
      {{&archive, "/noise"}, {&archive, "/text"}},  {{&archive, "/text"}, {&archive, "/empty"}},
      {{&archive, "/text"}, {&archive, "/text"}},   {{&damaged, "/text"}, {&archive, "/noise"}},
      {{&archive, "/text"}, {&damaged, "/text"}},
  };
  for (const auto& [a, b] : pairs) {
    std::string alone[2];
    const bool aloneOk[2] = {inPieces(*a.archive, a.name, &alone[0]),
                             inPieces(*b.archive, b.name, &alone[1])};
    std::string together[2];
    auto append = [](const uint8_t* data, int32_t size, void* user) {
      static_cast<std::string*>(user)->append(reinterpret_cast<const char*>(data),
                                              static_cast<size_t>(size));
    };
    bool ok[2] = {false, false};
    Archive::ExtractTwoInPieces({a.archive, a.archive->Find(PoolString(a.name)), append, &together[0]},
                                {b.archive, b.archive->Find(PoolString(b.name)), append, &together[1]},
                                &ok[0], &ok[1]);
    for (int i = 0; i < 2; ++i) {
      const char* name = i == 0 ? a.name : b.name;
      EXPECT_EQ(ok[i], aloneOk[i]) << name << " beside " << (i == 0 ? b.name : a.name);
      if (aloneOk[i]) {
        EXPECT_TRUE(together[i] == alone[i]) << name;
      }
    }
  }
}

}  // namespace
}  // namespace zt4
