// HybridSet growth: adding n ids to a fresh set walks it through its forms
// (Small up to 3 ids, then Large), so small n measure the inline array and
// large n the bitmap path and the conversion.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "index/core/structures/hybrid_set/hybrid_set.h"

namespace quorvane {
namespace {

void BM_HybridSetAdd(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    HybridSet set;
    // A multiplicative stride scatters ids without an RNG in the loop.
    for (uint32_t i = 0; i < n; ++i) set.add(i * 2654435761u >> 8);
    benchmark::DoNotOptimize(set);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_HybridSetAdd)->Arg(1)->Arg(3)->Arg(4)->Arg(16)->Arg(1024);

void BM_HybridSetUnionSmall(benchmark::State& state) {
  HybridSet other = HybridSet::of(40);
  other.add(7);
  for (auto _ : state) {
    HybridSet set = HybridSet::of(12);
    set.union_with(other);
    benchmark::DoNotOptimize(set);
  }
}
BENCHMARK(BM_HybridSetUnionSmall);

void BM_HybridSetAddToBitmap(benchmark::State& state) {
  HybridSet set;
  for (uint32_t id : {5u, 900u, 70000u}) set.add(id);
  for (auto _ : state) {
    Bitmap out;
    set.add_to(out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_HybridSetAddToBitmap);

}  // namespace
}  // namespace quorvane
