// zt4_make_install OUT SIZE_MIB [SEED]: writes OUT/old and OUT/new, a realistic install
// and its next version, deterministically. A few hundred plain files in subfolders and
// four archives holding most of the bytes in a few thousand members; about 5% of the
// files and members of the new version are changed, added or removed.
// zt4_make_install --big OUT SIZE_MIB: one file of SIZE_MIB changed in place (a few
// hundred runs of bytes over its whole length) beside one small changed file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "driver/process_objects.h"

namespace {

namespace fs = std::filesystem;

// Text that codes like game scripts: words, numbers, line structure.
std::string TextLike(std::mt19937_64& random, size_t size) {
  static const char* kWords[] = {"the",   "dungeon", "town",  "sword",  "quest", "dragon",
                                 "shop",  "potion",  "north", "castle", "gold",  "night",
                                 "scene", "music",   "enemy", "speak",  "door",  "key"};
  std::string out;
  out.reserve(size + 32);
  while (out.size() < size) {
    out += kWords[random() % 18];
    out += (random() % 9 == 0) ? "\n" : " ";
    if (random() % 13 == 0) out += std::to_string(random() % 100000) + " ";
  }
  out.resize(size);
  return out;
}

// Data that codes like executables and assets: runs, small values, some noise.
std::string BinaryLike(std::mt19937_64& random, size_t size) {
  std::string out(size, '\0');
  size_t i = 0;
  while (i < size) {
    size_t run = 16 + random() % 256;
    int style = static_cast<int>(random() % 4);
    uint8_t base = static_cast<uint8_t>(random());
    for (size_t k = 0; k < run && i < size; ++k, ++i) {
      switch (style) {
        case 0: out[i] = 0; break;
        case 1: out[i] = static_cast<char>(base + (random() % 8)); break;
        case 2: out[i] = static_cast<char>(random()); break;
        default: out[i] = static_cast<char>(base + k); break;
      }
    }
  }
  return out;
}

std::string Content(std::mt19937_64& random, size_t size) {
  return random() % 2 ? TextLike(random, size) : BinaryLike(random, size);
}

// Changes a few runs of bytes in place, sometimes the length too.
std::string Changed(std::mt19937_64& random, std::string content) {
  int edits = 1 + static_cast<int>(random() % 4);
  for (int e = 0; e < edits && !content.empty(); ++e) {
    size_t at = random() % content.size();
    size_t length = std::min<size_t>(1 + random() % 2048, content.size() - at);
    for (size_t k = 0; k < length; ++k) content[at + k] = static_cast<char>(random());
  }
  if (random() % 3 == 0) content += TextLike(random, random() % 4096);
  return content;
}

bool WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

using Members = std::vector<std::pair<std::string, std::string>>;  // in data order

bool WriteArchive(const fs::path& path, const Members& members) {
  fs::create_directories(path.parent_path());
  zt4::ArchiveWriter writer;
  if (!writer.Create(zt4::PoolString(path.string().c_str()))) return false;
  for (const auto& [name, content] : members) {
    if (!writer.Add(reinterpret_cast<const uint8_t*>(content.data()),
                    static_cast<uint32_t>(content.size()), zt4::PoolString(name.c_str()))) {
      return false;
    }
  }
  return writer.Finish();
}

}  // namespace

// The big file is written a MiB at a time, the new version beside the old one.
int MakeBigInstall(const fs::path& out, uint64_t size) {
  std::mt19937_64 random(2026);
  fs::create_directories(out / "old");
  fs::create_directories(out / "new");
  std::ofstream oldFile(out / "old" / "big.bin", std::ios::binary);
  std::ofstream newFile(out / "new" / "big.bin", std::ios::binary);
  const uint64_t piece = 1 << 20;
  for (uint64_t at = 0; at < size; at += piece) {
    std::string content = BinaryLike(random, static_cast<size_t>(std::min(piece, size - at)));
    oldFile.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (at / piece % 4 == 1) {
      size_t from = random() % content.size();
      size_t length = std::min<size_t>(512 + random() % 8192, content.size() - from);
      for (size_t k = 0; k < length; ++k) content[from + k] = static_cast<char>(random());
    }
    newFile.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  return WriteFile(out / "old" / "readme.txt", "version 1\n") &&
                 WriteFile(out / "new" / "readme.txt", "version 2\n") && oldFile && newFile
             ? 0
             : 1;
}

int main(int argc, char** argv) {
  zt4::StartProcessObjects();
  if (argc == 4 && std::string(argv[1]) == "--big") {
    return MakeBigInstall(argv[2], static_cast<uint64_t>(std::atoll(argv[3])) << 20);
  }
  if (argc < 3) {
    std::fputs("usage: zt4_make_install OUT SIZE_MIB [SEED] | --big OUT SIZE_MIB\n", stderr);
    return 1;
  }
  fs::path out = argv[1];
  uint64_t total = static_cast<uint64_t>(std::atoll(argv[2])) << 20;
  std::mt19937_64 random(argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 2026);

  // A quarter of the bytes in plain files, the rest in four archives.
  std::map<std::string, std::string> oldFiles;
  const int kPlainFiles = 320;
  uint64_t plainBytes = total / 4;
  for (int i = 0; i < kPlainFiles; ++i) {
    size_t size = static_cast<size_t>(plainBytes / kPlainFiles / 2 + random() % (plainBytes / kPlainFiles));
    if (i % 40 == 0) size = 0;  // a few empty files
    std::string name = "folder" + std::to_string(i % 12) + "/sub" + std::to_string(i % 5) +
                       "/file" + std::to_string(i) + (i % 2 ? ".txt" : ".bin");
    oldFiles[name] = Content(random, size);
  }
  std::map<std::string, Members> oldArchives;
  const char* kArchives[] = {"data/maps.zt4", "data/script.zt4", "sound/se.zt4", "movie.zt4"};
  uint64_t archiveBytes = total - plainBytes;
  for (int a = 0; a < 4; ++a) {
    Members members;
    int count = 600 + static_cast<int>(random() % 400);
    for (int m = 0; m < count; ++m) {
      size_t size = static_cast<size_t>(archiveBytes / 4 / count / 2 + random() % (archiveBytes / 4 / count));
      if (m % 97 == 0) size = 0;
      members.push_back({"/m" + std::to_string(m) + (m % 3 ? ".dat" : ".txt"), Content(random, size)});
    }
    oldArchives[kArchives[a]] = members;
  }

  // The next version: about 5% of files and members changed, added or removed.
  std::map<std::string, std::string> newFiles;
  for (const auto& [name, content] : oldFiles) {
    uint64_t roll = random() % 100;
    if (roll < 2) continue;                                    // removed
    newFiles[name] = roll < 5 ? Changed(random, content) : content;  // changed or kept
  }
  for (int i = 0; i < kPlainFiles / 50; ++i) {
    newFiles["added/new" + std::to_string(i) + ".bin"] = Content(random, 4096 + random() % 65536);
  }
  std::map<std::string, Members> newArchives;
  for (const auto& [name, members] : oldArchives) {
    Members next;
    for (const auto& [member, content] : members) {
      uint64_t roll = random() % 100;
      if (roll < 1) continue;
      next.push_back({member, roll < 4 ? Changed(random, content) : content});
      if (roll == 99) next.push_back({member + ".new", Content(random, 1024 + random() % 32768)});
    }
    newArchives[name] = next;
  }

  for (const auto& [name, content] : oldFiles) {
    if (!WriteFile(out / "old" / name, content)) return 1;
  }
  for (const auto& [name, content] : newFiles) {
    if (!WriteFile(out / "new" / name, content)) return 1;
  }
  for (const auto& [name, members] : oldArchives) {
    if (!WriteArchive(out / "old" / name, members)) return 1;
  }
  for (const auto& [name, members] : newArchives) {
    if (!WriteArchive(out / "new" / name, members)) return 1;
  }
  return 0;
}
