// What every seed program shares: the corpus folder named on its command line, and the
// corpus inputs written into it one after another as seed-000, seed-001, ...
#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace zt4::fuzz {

// The folder named on the command line, created if needed. Otherwise a message and the
// program's exit status: 2 for a wrong command line, 1 when the folder cannot be made.
inline int OpenCorpusFolder(int argc, char** argv, const char* program,
                            std::filesystem::path* folder) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", program);
    return 2;
  }
  *folder = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(*folder, ec);
  if (ec) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }
  return 0;
}

// Writes the next corpus input; false when it could not be written whole.
inline bool WriteSeedFile(const std::filesystem::path& folder, const void* data, size_t size,
                          int* count) {
  char name[32];
  std::snprintf(name, sizeof name, "seed-%03d", (*count)++);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

}  // namespace zt4::fuzz
