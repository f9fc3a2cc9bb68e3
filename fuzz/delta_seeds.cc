// Writes the seed corpus of delta_fuzz into the folder named on the command line: the
// new size (4 bytes) and a payload of delta records, valid ones (empty, one record, many,
// overlapping, reaching exactly the end, empty records at the end) and ones a step from
// valid (a cut header, data past the payload, a record one byte past the new size,
// lengths near 2^31 and 2^32). The crashers the fuzzer has found are kept at the end as
// byte arrays.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

int seedCount = 0;
bool failed = false;

void PutLe32(Bytes* out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

Bytes Record(uint32_t offset, uint32_t length, const std::string& data) {
  Bytes out;
  PutLe32(&out, offset);
  PutLe32(&out, length);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes Records(const std::vector<std::pair<uint32_t, std::string>>& records) {
  Bytes out;
  for (const auto& [offset, data] : records) {
    Bytes one = Record(offset, static_cast<uint32_t>(data.size()), data);
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

void Write(const std::filesystem::path& folder, uint32_t newSize, const Bytes& payload) {
  Bytes file;
  PutLe32(&file, newSize);
  file.insert(file.end(), payload.begin(), payload.end());
  char name[32];
  std::snprintf(name, sizeof name, "seed-%03d", seedCount++);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  if (!out) failed = true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: delta_seeds FOLDER\n");
    return 2;
  }
  const std::filesystem::path folder(argv[1]);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }

  // Valid payloads.
  Write(folder, 0, {});
  Write(folder, 100, {});
  Write(folder, 16, Records({{4, "NEW"}}));
  Write(folder, 170, Records({{4, "NEW"}, {165, "tail"}}));  // the sample readme's delta
  Write(folder, 16, Records({{0, "abcdefgh"}, {4, "XYZ"}, {15, "!"}}));
  Write(folder, 8, Records({{0, "12345678"}}));   // exactly to the end
  Write(folder, 8, Records({{8, ""}, {0, ""}}));  // empty records
  std::vector<std::pair<uint32_t, std::string>> many;
  for (uint32_t i = 0; i < 64; ++i)
    many.emplace_back(i * 3, std::string(i % 5, static_cast<char>('a' + i % 26)));
  Write(folder, 200, Records(many));

  // One step from valid.
  Bytes good = Records({{4, "NEW"}, {10, "more"}});
  for (size_t cut = 1; cut <= good.size(); ++cut) {
    Write(folder, 32, Bytes(good.begin(), good.end() - static_cast<std::ptrdiff_t>(cut)));
  }
  Write(folder, 6, Records({{4, "NEW"}}));      // one byte past the new size
  Write(folder, 16, Record(0, 9, "12345678"));  // data past the payload
  Write(folder, 16, Record(0, 0x7FFFFFFF, "x"));
  Write(folder, 16, Record(0, 0x80000000u, "x"));
  Write(folder, 16, Record(0, 0xFFFFFFFFu, "x"));
  Write(folder, 16, Record(0xFFFFFFFFu, 1, "x"));  // offset + length wraps 32 bits
  Write(folder, 16, Record(0xFFFFFFF8u, 8, "12345678"));
  Write(folder, 0xFFFFF, Record(0xFFFFE, 1, "x"));
  Write(folder, 0x80000010u, Record(0, 1, "x"));  // new size beyond what is kept

  if (failed) {
    std::fprintf(stderr, "could not write every seed\n");
    return 1;
  }
  std::printf("%d seeds written\n", seedCount);
  return 0;
}
