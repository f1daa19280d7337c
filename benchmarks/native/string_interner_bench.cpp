#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "index/core/structures/string_interner/string_interner.h"

namespace quorvane {
namespace {

std::vector<std::string> names(int count, const std::string& prefix) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

// Known names: the snapshot path. One interner shared by all benchmark
// threads, so the threaded run shows contention on the published snapshot.
void BM_InternerInternHit(benchmark::State& state) {
  static StrInterner& interner = *new StrInterner();
  auto known = names(static_cast<int>(state.range(0)), "attribute_");
  for (const auto& n : known) interner.intern(n);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(interner.intern(known[i]));
    if (++i == known.size()) i = 0;
  }
}
BENCHMARK(BM_InternerInternHit)->Arg(16)->Arg(256);
BENCHMARK(BM_InternerInternHit)->Arg(16)->Threads(4);

// New names into an interner holding about range(0) names: the mutex path,
// which republishes a full snapshot each time.
void BM_InternerInternMiss(benchmark::State& state) {
  const int base = static_cast<int>(state.range(0));
  auto fresh = names(base, "fresh_");
  auto existing = names(base, "attribute_");
  auto make = [&] {
    auto interner = std::make_unique<StrInterner>();
    for (const auto& n : existing) interner->intern(n);
    return interner;
  };
  auto interner = make();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(interner->intern(fresh[i]));
    if (++i == fresh.size()) {
      state.PauseTiming();
      interner = make();
      i = 0;
      state.ResumeTiming();
    }
  }
}
BENCHMARK(BM_InternerInternMiss)->Arg(16)->Arg(256);

}  // namespace
}  // namespace quorvane
