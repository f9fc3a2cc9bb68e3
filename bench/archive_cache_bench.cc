// What one open archive per path saves: verifying every member of an archive of 20,000
// small members, opening (and so reading and decoding the index of) the archive once per
// member, against opening it once through the cache.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/mount.h"
#include "base/heap.h"
#include "driver/process_objects.h"

namespace {

const bool kStarted = (zt4::StartProcessObjects(), true);

struct SmallMembers {
  std::string path;
  std::vector<std::string> names;

  SmallMembers() {
    path = (std::filesystem::temp_directory_path() / "zt4-bench-20000.zt4").string();
    zt4::ArchiveWriter writer;
    writer.Create(zt4::PoolString(path.c_str()));
    for (int i = 0; i < 20000; ++i) {
      std::string name = "/member" + std::to_string(i) + ".txt";
      std::string content = "content of " + name;
      writer.Add(reinterpret_cast<const uint8_t*>(content.data()),
                 static_cast<uint32_t>(content.size()), zt4::PoolString(name.c_str()));
      names.push_back(name);
    }
    writer.Finish();
  }
  ~SmallMembers() { std::filesystem::remove(path); }
};

const SmallMembers& Members() {
  static SmallMembers members;
  return members;
}

void ExtractOne(zt4::Archive& archive, const std::string& name) {
  uint8_t* data = nullptr;
  int32_t size = 0;
  archive.Extract(zt4::PoolString(name.c_str()), &data, &size);
  zt4::FreeBlock(data);
}

// The members that one run verifies: every 200th, so that reopening stays measurable.
void OpenPerMember(benchmark::State& state) {
  const SmallMembers& members = Members();
  for (auto _ : state) {
    for (size_t i = 0; i < members.names.size(); i += 200) {
      zt4::Archive archive;
      archive.Open(zt4::PoolString(members.path.c_str()));
      ExtractOne(archive, members.names[i]);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(members.names.size() / 200));
}
BENCHMARK(OpenPerMember)->Unit(benchmark::kMillisecond)->Iterations(3);

void OpenCachedPerMember(benchmark::State& state) {
  const SmallMembers& members = Members();
  for (auto _ : state) {
    zt4::CacheMiss miss;
    for (size_t i = 0; i < members.names.size(); i += 200) {
      ExtractOne(*zt4::OpenCached(members.path.c_str(), &miss), members.names[i]);
    }
    zt4::ReleaseArchiveCache();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(members.names.size() / 200));
}
BENCHMARK(OpenCachedPerMember)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
