// Runs a fuzz target without libFuzzer: first over a few built-in inputs,
// then over every file in the folders (or the files) named on the command
// line, in name order. Any failed check inside the target aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void RunOne(const std::vector<uint8_t>& input) {
  // An exactly sized heap copy, so a sanitizer sees reads past the end.
  std::vector<uint8_t> copy(input);
  LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
}

bool ReadFile(const std::filesystem::path& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  size_t runs = 0;
  RunOne({});
  for (int b = 0; b < 256; ++b) RunOne({static_cast<uint8_t>(b)});
  RunOne(std::vector<uint8_t>(64, 0));
  RunOne(std::vector<uint8_t>(64, 0xFF));
  runs += 259;

  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
        if (entry.is_regular_file(ec)) files.push_back(entry.path());
      }
      if (ec) {
        std::fprintf(stderr, "cannot list %s\n", argv[i]);
        return 1;
      }
      std::sort(files.begin(), files.end());
    } else if (std::filesystem::is_regular_file(arg, ec)) {
      files.push_back(arg);
    } else {
      std::fprintf(stderr, "no such file or folder: %s\n", argv[i]);
      return 1;
    }
    for (const auto& file : files) {
      std::vector<uint8_t> input;
      if (!ReadFile(file, &input)) {
        std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
        return 1;
      }
      RunOne(input);
      ++runs;
    }
  }
  std::printf("%lu inputs replayed\n", static_cast<unsigned long>(runs));
  return 0;
}
