#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "index/core/structures/string_interner/string_interner.h"

namespace quorvane {
namespace {

constexpr int kSharedNames = 100000;

std::vector<std::string> names(int count, const std::string& prefix) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

const std::vector<std::string>& known_names() {
  static const auto* const known = new std::vector<std::string>(names(kSharedNames, "attribute_"));
  return *known;
}

// One interner holding kSharedNames names, shared by all benchmarks and
// threads, so threaded runs show contention on the read path.
StrInterner& shared_interner() {
  static StrInterner* const interner = [] {
    auto* made = new StrInterner();
    for (const auto& n : known_names()) made->intern(n);
    return made;
  }();
  return *interner;
}

// Interning range(0) new names into an empty interner: the cost per new name,
// which must not grow with the number of names already held.
void BM_InternerInternNew(benchmark::State& state) {
  auto fresh = names(static_cast<int>(state.range(0)), "fresh_");
  for (auto _ : state) {
    auto interner = std::make_unique<StrInterner>();
    for (const auto& n : fresh) benchmark::DoNotOptimize(interner->intern(n));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InternerInternNew)->Arg(1000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Looking up known names, cycling through the first range(0) of them.
void BM_InternerFindKnown(benchmark::State& state) {
  StrInterner& interner = shared_interner();
  const auto& known = known_names();
  const auto count = static_cast<std::size_t>(state.range(0));
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(interner.find(known[i]));
    if (++i == count) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InternerFindKnown)->Arg(16)->Arg(100000);
BENCHMARK(BM_InternerFindKnown)->Arg(16)->Threads(2)->Threads(4);

// Looking up names that were never interned.
void BM_InternerFindUnknown(benchmark::State& state) {
  StrInterner& interner = shared_interner();
  static const auto* const missing = new std::vector<std::string>(names(1024, "missing_"));
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(interner.find((*missing)[i]));
    if (++i == missing->size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InternerFindUnknown);
BENCHMARK(BM_InternerFindUnknown)->Threads(2)->Threads(4);

// intern() of names already known: the same read path plus the length check.
void BM_InternerInternKnown(benchmark::State& state) {
  StrInterner& interner = shared_interner();
  const auto& known = known_names();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(interner.intern(known[i]));
    if (++i == 256) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InternerInternKnown);
BENCHMARK(BM_InternerInternKnown)->Threads(4);

}  // namespace
}  // namespace quorvane
