// Writes the seed corpus of patch_list_fuzz into the folder named on the command line:
// valid update descriptions (plain records of every kind, groups with and without
// members, Shift-JIS names), each also cut in the middle, and a few refused ones that
// sit one step from valid (markers one letter off, unsafe names, nameless records).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "seed_corpus.h"

namespace {

const char kDigestA[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
const char kDigestB[] = "a9993e364706816aba3e25717850c26c9cd0d89d";

int seedCount = 0;
bool failed = false;

// The description's byte layout: int32 little-endian, texts followed by a zero byte.
class Description {
 public:
  Description& Int(int32_t value) {
    auto v = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(v >> shift));
    return *this;
  }
  Description& Text(const std::string& text) {
    bytes += text;
    bytes.push_back('\0');
    return *this;
  }
  Description& Record(int32_t id, const std::string& oldName, int32_t oldSize,
                      const std::string& newName, int32_t newSize) {
    return Int(id)
        .Text(oldName)
        .Int(oldSize)
        .Text(oldName.empty() ? "" : kDigestA)
        .Text(newName)
        .Int(newSize)
        .Text(newName.empty() ? "" : kDigestB);
  }
  Description& GroupOpen(const std::string& name, const std::string& marker = "@ZT4_COPY") {
    return Int(-1).Text(marker).Text(name).Int(4096).Text(kDigestB);
  }
  Description& GroupClose(const std::string& marker = "@END") { return Int(-1).Text(marker); }

  std::string bytes;
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
