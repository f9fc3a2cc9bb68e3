// Writes the seed corpus of patch_list_fuzz into the folder named on the command line:
// valid update descriptions (plain records of every kind, groups with and without
// members, Shift-JIS names), each also cut in the middle, and a few refused ones that
// sit one step from valid (markers one letter off, unsafe names, nameless records).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

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
    Write(folder, valid);
    Write(folder, valid.substr(0, valid.size() / 2));  // cut inside a record
    Write(folder, valid.substr(0, valid.size() - 1));  // last zero missing
    Write(folder, valid + valid);                      // read on as further records
  }
  for (const std::string& refused : RefusedDescriptions()) Write(folder, refused);
  if (failed) {
    std::fprintf(stderr, "cannot write the seeds\n");
    return 1;
  }
  std::printf("%d seeds written\n", seedCount);
  return 0;
}
