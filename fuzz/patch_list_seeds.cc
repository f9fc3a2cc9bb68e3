// Writes the seed corpus of patch_list_fuzz into the folder named on the command line:
// valid update descriptions (plain records of every kind, groups with and without
// members, Shift-JIS names), each also cut in the middle, and a few refused ones that
// sit one step from valid (markers one letter off, unsafe names, nameless records); then
// compact descriptions (compact_seed_records.h) and heads one field off. Every seed is
// parsed first: one that is no longer taken (or refused) as meant fails the program, so
// the corpus does not quietly stop reaching what it was made for.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "compact_seed_records.h"
#include "seed_corpus.h"
#include "update/patch_list.h"
#include "update/patch_list_writer.h"

namespace {

const char kDigestA[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
const char kDigestB[] = "a9993e364706816aba3e25717850c26c9cd0d89d";

int seedCount = 0;
bool failed = false;

// Descriptions made by the system's own writer; `bytes` follows every call.
class Description {
 public:
  Description& Record(int32_t id, const std::string& oldName, int32_t oldSize,
                      const std::string& newName, int32_t newSize) {
    return Sync(writer_->Record(id, oldName.c_str(), oldSize, oldName.empty() ? "" : kDigestA,
                                newName.c_str(), newSize, newName.empty() ? "" : kDigestB));
  }
  Description& GroupOpen(const std::string& name, const std::string& marker = zt4::kGroupMarker) {
    writer_->Int(zt4::kGroupMark).Text(marker.c_str());
    return Sync(writer_->Text(name.c_str()).Int(4096).Text(kDigestB));
  }
  Description& GroupClose(const std::string& marker = zt4::kEndMarker) {
    return Sync(writer_->Int(zt4::kGroupMark).Text(marker.c_str()));
  }

  std::string bytes;

 private:
  Description& Sync(zt4::PatchListWriter& writer) {
    bytes.assign(reinterpret_cast<const char*>(writer.Data()), static_cast<size_t>(writer.Size()));
    return *this;
  }
  std::unique_ptr<zt4::PatchListWriter> writer_ = std::make_unique<zt4::PatchListWriter>();
};

void Write(const std::filesystem::path& folder, const std::string& bytes) {
  if (!zt4::fuzz::WriteSeedFile(folder, bytes.data(), bytes.size(), &seedCount)) failed = true;
}

// Writes the seed after checking that the full reader takes or refuses it as meant.
void WriteExpected(const std::filesystem::path& folder, const std::string& bytes, bool valid) {
  zt4::PatchEntry* head = zt4::ParsePatchList(reinterpret_cast<const uint8_t*>(bytes.data()),
                                              static_cast<int32_t>(bytes.size()));
  if ((head != nullptr) != valid) {
    std::fprintf(stderr, "seed %d is %s\n", seedCount, valid ? "refused" : "accepted");
    failed = true;
  }
  zt4::FreePatchList(head);
  Write(folder, bytes);
}

std::string Compact(const zt4::fuzz::CompactSeed& seed) {
  zt4::PatchListWriter writer;
  writer.CompactHead(seed.budget, reinterpret_cast<const uint8_t*>(seed.records.data()),
                     static_cast<int32_t>(seed.records.size()),
                     seed.latest ? zt4::kRunCompactVersion : zt4::kCompactVersion);
  if (!writer.Ok()) failed = true;
  return {reinterpret_cast<const char*>(writer.Data()), static_cast<size_t>(writer.Size())};
}

// The fields of a compact head: version, budget and records size follow the group mark
// and the marker with its zero.
constexpr size_t kVersionAt = 4 + sizeof zt4::kCompactMarker;
constexpr size_t kRecordsSizeAt = kVersionAt + 8;

std::string WithInt(std::string bytes, size_t at, int32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[at + i] = static_cast<char>(static_cast<uint32_t>(value) >> (8 * i));
  }
  return bytes;
}

int32_t IntAt(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
  }
  return static_cast<int32_t>(v);
}

std::vector<std::string> ValidDescriptions() {
  std::vector<std::string> all;
  all.push_back(Description().Record(1, "a.bin", 10, "a.bin", 12).bytes);
  all.push_back(Description().Record(2, "gone.bin", 3, "", 0).bytes);
  all.push_back(Description().Record(-2, "", 0, "sub/new.bin", 7).bytes);
  all.push_back(Description().GroupOpen("empty.zt4").GroupClose().bytes);
  all.push_back(Description()
                    .Record(1, "data/old.bin", 100, "data/new.bin", 120)
                    .Record(2, "removed.txt", 5, "", 0)
                    .GroupOpen("data.zt4")
                    .Record(10, "data/keep.bin", 8, "keep.bin", 8)
                    .Record(11, "", 0, "/fresh.bin", 9)
                    .Record(12, "", 0, "", 0)
                    .Record(13, "data/moved.bin", 4, "sub/moved.bin", 4)
                    .GroupClose()
                    .Record(3, "", 0, "added.bin", 1)
                    .bytes);
  // Shift-JIS names whose second byte is 0x5C, and two groups back to back.
  all.push_back(
      Description()
          .Record(4, "\x83\x5C\x83t\x83g/\x95\x5C.txt", 20, "\x83\x5C\x83t\x83g/\x95\x5C.txt", 21)
          .GroupOpen("\x83\x5C/a.zt4")
          .Record(20, "\x83\x5C/a/\x95\x5C.bin", 2, "\x95\x5C.bin", 2)
          .GroupClose()
          .GroupOpen("b.zt4")
          .Record(21, "", 0, "b.bin", 3)
          .GroupClose()
          .bytes);
  return all;
}

std::vector<std::string> RefusedDescriptions() {
  std::vector<std::string> all;
  all.push_back(Description().Record(1, "", 0, "", 0).bytes);
  all.push_back(Description().GroupOpen("a.zt4", "@ZT4_COPYY").GroupClose().bytes);
  all.push_back(Description().GroupOpen("a.zt4", "@ZT4_COP").GroupClose().bytes);
  all.push_back(Description().GroupOpen("a.zt4").GroupClose("@ENDD").bytes);
  all.push_back(Description().Record(1, "../up.bin", 1, "", 0).bytes);
  all.push_back(Description().Record(1, "", 0, "a\\..\\up.bin", 1).bytes);
  all.push_back(Description().Record(1, "C:\\x.bin", 1, "", 0).bytes);
  all.push_back(Description().Record(1, "", 0, "\\\\server\\share\\x", 1).bytes);
  all.push_back(Description().Record(1, "", 0, "a.bin:stream", 1).bytes);
  all.push_back(Description().Record(1, "", 0, "sub/nul.txt", 1).bytes);
  all.push_back(Description().GroupOpen("/abs.zt4").GroupClose().bytes);
  all.push_back(Description().GroupOpen("a.zt4").Record(1, "", 0, "/../x", 1).GroupClose().bytes);
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path folder;
  if (int status = zt4::fuzz::OpenCorpusFolder(argc, argv, "patch_list_seeds", &folder)) return status;
  for (const std::string& valid : ValidDescriptions()) {
    WriteExpected(folder, valid, true);
    Write(folder, valid.substr(0, valid.size() / 2));  // cut inside a record
    Write(folder, valid.substr(0, valid.size() - 1));  // last zero missing
    Write(folder, valid + valid);                      // read on as further records
  }
  for (const std::string& refused : RefusedDescriptions()) WriteExpected(folder, refused, false);
  const std::vector<zt4::fuzz::CompactSeed> compact = zt4::fuzz::CompactSeeds();
  for (const zt4::fuzz::CompactSeed& seed : compact) {
    WriteExpected(folder, Compact(seed), seed.valid);
  }
  // One valid compact description with its head or frame a step off.
  const std::string valid = Compact(compact.front());
  const int32_t recordsSize = IntAt(valid, kRecordsSizeAt);
  WriteExpected(folder, WithInt(valid, kVersionAt, zt4::kRunCompactVersion + 1), false);
  WriteExpected(folder, WithInt(valid, kRecordsSizeAt, recordsSize + 1), false);
  WriteExpected(folder, WithInt(valid, kRecordsSizeAt, recordsSize - 1), false);
  WriteExpected(folder, WithInt(valid, kRecordsSizeAt, 0), false);
  WriteExpected(folder, valid + '\0', false);                       // a byte after the frame
  WriteExpected(folder, valid.substr(0, valid.size() - 1), false);  // the frame cut
  WriteExpected(folder, valid.substr(0, kRecordsSizeAt), false);    // the head cut
  if (failed) {
    std::fprintf(stderr, "cannot write the seeds as meant\n");
    return 1;
  }
  std::printf("%d seeds written\n", seedCount);
  return 0;
}
