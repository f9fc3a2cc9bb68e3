// zt4_update_floor OLD NEW SCRATCH: the unavoidable work of an update from OLD to NEW,
// measured with the project's own primitives: hashing every old byte (plain files, and
// the decoded members of archives) and every new byte once, decoding every old archive
// member once, and writing every new byte once and putting it on the disk. Files are
// read and hashed a MiB at a time, as the applier does. Prints one "name seconds bytes"
// line per part, then the total. Meant to run on one core (taskset).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/heap.h"
#include "base/stream.h"
#include "codec/sha1.h"
#include "driver/process_objects.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Part {
  double seconds = 0;
  uint64_t bytes = 0;
};

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct MemberSink {
  zt4::Archive* archive;
  std::vector<std::string> names;
};

bool CollectName(const zt4::PoolString& key, zt4::ArchiveEntry&, void* user) {
  static_cast<MemberSink*>(user)->names.emplace_back(key.Text());
  return true;
}

constexpr size_t kPiece = 1 << 20;

// Hashes a file a piece at a time; the reading counts with the hashing.
void HashFile(const fs::path& path, Part* hash) {
  auto start = Clock::now();
  std::ifstream in(path, std::ios::binary);
  std::vector<char> piece(kPiece);
  zt4::Sha1 sha;
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    std::streamsize n = in.gcount();
    if (n <= 0) break;
    sha.Update(piece.data(), static_cast<size_t>(n));
    hash->bytes += static_cast<uint64_t>(n);
  }
  char digest[41];
  sha.FinishHex(digest);
  hash->seconds += Since(start);
}

}  // namespace

int main(int argc, char** argv) {
  zt4::StartProcessObjects();
  if (argc < 4) {
    std::fputs("usage: zt4_update_floor OLD NEW SCRATCH\n", stderr);
    return 1;
  }
  fs::path oldDir = argv[1], newDir = argv[2], scratch = argv[3];
  Part hash, decode, write;
  char digest[41];

  for (const auto& item : fs::recursive_directory_iterator(oldDir)) {
    if (!item.is_regular_file()) continue;
    if (item.path().extension() == ".zt4") {
      zt4::Archive archive;
      if (!archive.Open(zt4::PoolString(fs::absolute(item.path()).string().c_str()))) return 1;
      MemberSink sink{&archive, {}};
      const_cast<zt4::ArchiveIndex&>(archive.Index()).ForEachEntry(CollectName, &sink);
      for (const std::string& name : sink.names) {
        uint8_t* content = nullptr;
        int32_t size = 0;
        auto start = Clock::now();
        if (!archive.Extract(zt4::PoolString(name.c_str()), &content, &size)) return 1;
        decode.seconds += Since(start);
        decode.bytes += static_cast<uint64_t>(size);
        start = Clock::now();
        zt4::Sha1Hex(content, static_cast<size_t>(size), digest);
        hash.seconds += Since(start);
        hash.bytes += static_cast<uint64_t>(size);
        zt4::FreeBlock(content);
      }
    } else {
      HashFile(item.path(), &hash);
    }
  }

  fs::remove_all(scratch);
  for (const auto& item : fs::recursive_directory_iterator(newDir)) {
    if (!item.is_regular_file()) continue;
    HashFile(item.path(), &hash);
    fs::path target = scratch / fs::relative(item.path(), newDir);
    fs::create_directories(target.parent_path());
    // Written a piece at a time from the new file, then flushed; the reading is not counted.
    std::ifstream in(item.path(), std::ios::binary);
    zt4::FileStream out;
    if (!out.Open(zt4::PoolString(target.string().c_str()), zt4::CreateMode)) return 1;
    std::vector<char> piece(kPiece);
    while (in) {
      in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
      std::streamsize n = in.gcount();
      if (n <= 0) break;
      auto start = Clock::now();
      if (!out.Write(piece.data(), static_cast<int32_t>(n))) return 1;
      write.seconds += Since(start);
      write.bytes += static_cast<uint64_t>(n);
    }
    auto start = Clock::now();
    if (!out.Flush()) return 1;
    out.Close();
    write.seconds += Since(start);
  }
  fs::remove_all(scratch);

  std::printf("hash %.3f %llu\n", hash.seconds, static_cast<unsigned long long>(hash.bytes));
  std::printf("decode %.3f %llu\n", decode.seconds, static_cast<unsigned long long>(decode.bytes));
  std::printf("write %.3f %llu\n", write.seconds, static_cast<unsigned long long>(write.bytes));
  std::printf("floor %.3f\n", hash.seconds + decode.seconds + write.seconds);
  return 0;
}
