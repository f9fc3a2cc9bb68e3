// The builder's block matcher on a game-sized file's change: 256 MiB of alternating MiB of
// text-like lines and random bytes, then the same with a 6-byte edit, 1 MiB of random
// bytes inserted in the middle and half a MiB deleted near the end. Indexing the old
// content and matching the new one are measured apart, in bytes of the content per
// second; the counters say how many new bytes were left unmatched and what the index
// holds.
#include <benchmark/benchmark.h>

#include <string>

#include "zt4mkpatch/block_matcher.h"

namespace {

struct Scenario {
  std::string old;
  std::string changed;
  uint64_t inserted = 1 << 20;

  Scenario() {
    constexpr size_t kSize = size_t{256} << 20;
    uint64_t state = 1;
    auto next = [&state] {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      return state >> 33;
    };
    old.reserve(kSize);
    while (old.size() < kSize) {
      if ((old.size() >> 20) % 2 == 0) {
        old += "line " + std::to_string(next() % 100000) + " of the data file\n";
      } else {
        old += static_cast<char>(next());
      }
    }
    old.resize(kSize);
    changed = old;
    changed.replace(5 << 20, 6, "EDITED");
    std::string insertion(inserted, '\0');
    for (char& c : insertion) c = static_cast<char>(next());
    changed.insert(kSize / 2, insertion);
    changed.erase(kSize - (8 << 20), 512 << 10);
  }
};

const Scenario& Data() {
  static Scenario scenario;
  return scenario;
}

zt4::builder::OldSpan OldOf(const Scenario& s) {
  return {reinterpret_cast<const uint8_t*>(s.old.data()), s.old.size()};
}

void BM_BlockMatcherIndex(benchmark::State& state) {
  const Scenario& s = Data();
  size_t indexBytes = 0;
  for (auto _ : state) {
    zt4::builder::SpanRanges ranges({OldOf(s)}, {});
    zt4::builder::BlockMatcher matcher({s.old.size()}, ranges);
    indexBytes = matcher.IndexBytes();
    benchmark::DoNotOptimize(indexBytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.old.size()));
  state.counters["index_MiB"] = static_cast<double>(indexBytes) / (1 << 20);
}
BENCHMARK(BM_BlockMatcherIndex)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_BlockMatcherMatch(benchmark::State& state) {
  const Scenario& s = Data();
  zt4::builder::SpanRanges ranges({OldOf(s)}, {});
  zt4::builder::BlockMatcher matcher({s.old.size()}, ranges);
  uint64_t matched = 0;
  std::vector<zt4::builder::BlockMatch> matches;
  for (auto _ : state) {
    matched = 0;
    if (!matcher.Match(reinterpret_cast<const uint8_t*>(s.changed.data()), s.changed.size(), 0,
                       ranges, &matches)) {
      state.SkipWithError("an old range could not be read");
      break;
    }
    for (const auto& m : matches) matched += m.length;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.changed.size()));
  state.counters["unmatched_bytes"] = static_cast<double>(s.changed.size() - matched);
  state.counters["inserted_bytes"] = static_cast<double>(s.inserted + 6);
  state.counters["block"] = static_cast<double>(matcher.BlockSize());
}
BENCHMARK(BM_BlockMatcherMatch)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
