// Exact parent links: following 10k (and 500k) children back to their
// parents among 1M links, and recording the links.
#include <benchmark/benchmark.h>

#include <random>
#include <utility>
#include <vector>

#include "index/core/structures/m2m/m2m_u32.h"

namespace quorvane {
namespace {

constexpr uint32_t LINK_COUNT = 1'000'000;
constexpr uint32_t CHILD_RANGE = 500'000;  // about two parents per child
constexpr uint32_t PARENT_RANGE = 2'000'000;

const std::vector<std::pair<uint32_t, uint32_t>>& link_pairs() {
  static const auto pairs = [] {
    std::mt19937 rng(7);
    std::vector<std::pair<uint32_t, uint32_t>> out(LINK_COUNT);
    for (auto& [parent, child] : out) parent = rng() % PARENT_RANGE, child = rng() % CHILD_RANGE;
    return out;
  }();
  return pairs;
}

const M2MU32& loaded_links() {
  static const M2MU32 links = [] {
    M2MU32 built;
    for (auto [parent, child] : link_pairs()) built.register_path(parent, child);
    return built;
  }();
  return links;
}

void BM_M2MRegisterPath(benchmark::State& state) {
  for (auto _ : state) {
    M2MU32 links;
    for (auto [parent, child] : link_pairs()) links.register_path(parent, child);
    benchmark::DoNotOptimize(links.is_empty());
  }
  state.SetItemsProcessed(state.iterations() * LINK_COUNT);
}
BENCHMARK(BM_M2MRegisterPath)->Unit(benchmark::kMillisecond);

void BM_M2MGetParentFromIds(benchmark::State& state) {
  const M2MU32& links = loaded_links();
  std::mt19937 rng(9);
  std::vector<Bitmap> asks(8);
  for (Bitmap& ask : asks) {
    while (ask.cardinality() < static_cast<uint64_t>(state.range(0))) ask.add(rng() % CHILD_RANGE);
  }
  std::size_t i = 0;
  uint64_t found = 0;
  for (auto _ : state) found += links.get_parent_from_ids(asks[i++ % asks.size()]).cardinality();
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["parents"] =
      benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_M2MGetParentFromIds)->Arg(10'000)->Arg(400'000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvane
