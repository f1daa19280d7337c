// NumericalBitmap over 1M ids carrying 1M distinct integer keys (negative and
// positive): queries with scope = every id, insertion by `add` and by bulk
// `push`, and memory per id. The argument of the range benchmarks is the
// query key's rank in per mille of the ids.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"

namespace quorvane {
namespace {

constexpr uint32_t ID_COUNT = 1'000'000;
constexpr int64_t OFFSET = ID_COUNT / 2;

// values[id] is a permutation of [-500000, 500000).
const std::vector<int64_t>& values() {
  static const std::vector<int64_t> out = [] {
    std::vector<int64_t> v(ID_COUNT);
    std::iota(v.begin(), v.end(), -OFFSET);
    std::shuffle(v.begin(), v.end(), std::mt19937_64(42));
    return v;
  }();
  return out;
}

void optimize(NumericalBitmap& index) {
  for (int i = 0; i < NumericalBitmap::LEVELS; ++i) index.one_cell(i).bitmap().optimize();
  index.all_cell().bitmap().optimize();
}

// Bytes of the loaded index before run compression, for the memory report.
std::size_t unoptimized_bytes = 0;

const NumericalBitmap& loaded_index() {
  static const NumericalBitmap index = [] {
    NumericalBitmap built;
    const auto& v = values();
    for (uint32_t id = 0; id < ID_COUNT; ++id) built.push(id, numeric_key(v[id]));
    built.flush();
    unoptimized_bytes = built.memory_bytes();
    optimize(built);
    return built;
  }();
  return index;
}

const Bitmap& all_ids() {
  static const Bitmap all = loaded_index().all_ids();
  return all;
}

NumericKey key_at_rank(int64_t per_mille) {
  return numeric_key(-OFFSET + static_cast<int64_t>(ID_COUNT) * per_mille / 1000);
}

template <void (NumericalBitmap::*Query)(NumericKey, Bitmap&, const Bitmap&) const>
void BM_NumericRange(benchmark::State& state) {
  const NumericalBitmap& index = loaded_index();
  const Bitmap& scope = all_ids();
  NumericKey key = key_at_rank(state.range(0));
  uint64_t found = 0;
  for (auto _ : state) {
    Bitmap base;
    (index.*Query)(key, base, scope);
    found = base.cardinality();
    benchmark::DoNotOptimize(found);
  }
  state.counters["ids"] = static_cast<double>(found);
}
BENCHMARK_TEMPLATE(BM_NumericRange, &NumericalBitmap::get_gt_into_base)
    ->Arg(10)
    ->Arg(500)
    ->Arg(990)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_NumericRange, &NumericalBitmap::get_lte_into_base)
    ->Arg(500)
    ->Unit(benchmark::kMicrosecond);

void BM_NumericGetEq(benchmark::State& state) {
  const NumericalBitmap& index = loaded_index();
  std::mt19937_64 rng(1);
  for (auto _ : state) {
    NumericKey key = numeric_key(static_cast<int64_t>(rng() % ID_COUNT) - OFFSET);
    Bitmap hit = index.get_eq(key);
    benchmark::DoNotOptimize(hit);
  }
}
BENCHMARK(BM_NumericGetEq)->Unit(benchmark::kMicrosecond);

void BM_NumericAdd(benchmark::State& state) {
  NumericalBitmap index;
  const auto& v = values();
  uint32_t id = 0;
  for (auto _ : state) {
    index.add(id, numeric_key(v[id % ID_COUNT]));
    ++id;
  }
}
BENCHMARK(BM_NumericAdd);

// Bulk path: one push per id, flushed every ID_COUNT ids.
void BM_NumericPush(benchmark::State& state) {
  NumericalBitmap index;
  const auto& v = values();
  uint32_t id = 0;
  for (auto _ : state) {
    index.push(id, numeric_key(v[id % ID_COUNT]));
    if (++id % ID_COUNT == 0) index.flush();
  }
  index.flush();
}
BENCHMARK(BM_NumericPush);

// Bytes per id as counters (the timing, of memory_bytes itself, is not of
// interest). Argument 0: the loaded index; 1: 1M random small integers in
// [0, 1000), whose keys have few 1 bits. Both after run compression.
void BM_NumericMemory(benchmark::State& state) {
  static const NumericalBitmap small = [] {
    NumericalBitmap built;
    std::mt19937 rng(7);
    for (uint32_t id = 0; id < ID_COUNT; ++id)
      built.push(id, numeric_key(static_cast<int64_t>(rng() % 1000)));
    built.flush();
    optimize(built);
    return built;
  }();
  const NumericalBitmap& index = state.range(0) == 0 ? loaded_index() : small;
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes = index.memory_bytes();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["bytes_per_id"] = static_cast<double>(bytes) / ID_COUNT;
  if (state.range(0) == 0) {
    state.counters["unoptimized_bytes_per_id"] = static_cast<double>(unoptimized_bytes) / ID_COUNT;
  }
}
BENCHMARK(BM_NumericMemory)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvane
