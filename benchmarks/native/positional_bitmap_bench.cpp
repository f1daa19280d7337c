// String placement and the four matching queries of the positional string
// index, over 1M random lowercase strings of 5 to 20 bytes; and the heap an
// index of a few long strings takes.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <random>
#include <string>
#include <vector>

#include "index/core/structures/positional_bitmap/positional_bitmap.h"

namespace quorvane {
namespace {

constexpr uint32_t STRING_COUNT = 1'000'000;

const std::vector<std::string>& corpus() {
  static const std::vector<std::string> strings = [] {
    std::mt19937 rng(42);
    std::vector<std::string> out(STRING_COUNT);
    for (std::string& s : out) {
      s.resize(5 + rng() % 16);
      for (char& c : s) c = static_cast<char>('a' + rng() % 26);
    }
    return out;
  }();
  return strings;
}

const PositionalBitmap& loaded_index() {
  static const PositionalBitmap index = [] {
    PositionalBitmap built;
    const auto& strings = corpus();
    for (uint32_t id = 0; id < strings.size(); ++id) built.insert(strings[id], id);
    return built;
  }();
  return index;
}

// Needles of `length` bytes cut from stored strings at `where` (0: prefix,
// 1: suffix, 2: middle), so that every needle has matches.
std::vector<std::string> needles(std::size_t length, int where) {
  std::mt19937 rng(static_cast<uint32_t>(length * 3 + where));
  std::vector<std::string> out;
  const auto& strings = corpus();
  while (out.size() < 256) {
    const std::string& s = strings[rng() % strings.size()];
    if (length == 0) {
      out.push_back(s);
    } else if (where == 0) {
      out.push_back(s.substr(0, length));
    } else if (where == 1) {
      out.push_back(s.substr(s.size() - length));
    } else {
      out.push_back(s.substr(rng() % (s.size() - length + 1), length));
    }
  }
  return out;
}

void BM_PositionalBitmapInsert(benchmark::State& state) {
  const auto& strings = corpus();
  for (auto _ : state) {
    PositionalBitmap index;
    for (uint32_t id = 0; id < strings.size(); ++id) index.insert(strings[id], id);
    benchmark::DoNotOptimize(index.column_count());
  }
  state.SetItemsProcessed(state.iterations() * STRING_COUNT);
}
BENCHMARK(BM_PositionalBitmapInsert)->Unit(benchmark::kMillisecond);

void BM_PositionalBitmapPushFlush(benchmark::State& state) {
  const auto& strings = corpus();
  for (auto _ : state) {
    PositionalBitmap index;
    for (uint32_t id = 0; id < strings.size(); ++id) index.push(strings[id], id);
    index.flush();
    benchmark::DoNotOptimize(index.column_count());
  }
  state.SetItemsProcessed(state.iterations() * STRING_COUNT);
}
BENCHMARK(BM_PositionalBitmapPushFlush)->Unit(benchmark::kMillisecond);

template <class Query>
void run_queries(benchmark::State& state, const std::vector<std::string>& texts, Query query) {
  const PositionalBitmap& index = loaded_index();
  std::size_t i = 0;
  uint64_t found = 0;
  for (auto _ : state) {
    Bitmap result = query(index, texts[i++ % texts.size()]);
    found += result.cardinality();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["matches"] =
      benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
}

void BM_PositionalBitmapEqual(benchmark::State& state) {
  run_queries(state, needles(0, 0),
              [](const PositionalBitmap& index, const std::string& t) { return index.equal(t); });
}
BENCHMARK(BM_PositionalBitmapEqual)->Unit(benchmark::kMicrosecond);

void BM_PositionalBitmapStartsWith(benchmark::State& state) {
  run_queries(
      state, needles(static_cast<std::size_t>(state.range(0)), 0),
      [](const PositionalBitmap& index, const std::string& t) { return index.starts_with(t); });
}
BENCHMARK(BM_PositionalBitmapStartsWith)->Arg(1)->Arg(3)->Arg(5)->Unit(benchmark::kMicrosecond);

void BM_PositionalBitmapEndsWith(benchmark::State& state) {
  run_queries(
      state, needles(static_cast<std::size_t>(state.range(0)), 1),
      [](const PositionalBitmap& index, const std::string& t) { return index.ends_with(t); });
}
BENCHMARK(BM_PositionalBitmapEndsWith)->Arg(1)->Arg(3)->Arg(5)->Unit(benchmark::kMicrosecond);

void BM_PositionalBitmapContains(benchmark::State& state) {
  run_queries(
      state, needles(static_cast<std::size_t>(state.range(0)), 2),
      [](const PositionalBitmap& index, const std::string& t) { return index.contains(t); });
}
BENCHMARK(BM_PositionalBitmapContains)->Arg(1)->Arg(3)->Arg(5)->Unit(benchmark::kMicrosecond);

// Heap bytes in use (glibc's count, mapped blocks included).
double heap_in_use() {
  const auto info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

// The heap held by an index of `count` distinct strings of `length` bytes,
// drawn from lowercase letters (alphabet 0) or from the bytes 1..255
// (alphabet 1), filled by insert (mode 0) or by push and flush (mode 1).
// "per_text_byte" is that heap over the bytes of the strings themselves.
void BM_PositionalBitmapHeap(benchmark::State& state) {
  const auto count = static_cast<uint32_t>(state.range(0));
  const auto length = static_cast<std::size_t>(state.range(1));
  const bool any_byte = state.range(2) == 1;
  const bool bulk = state.range(3) == 1;
  std::mt19937 rng(7);
  std::vector<std::string> strings(count, std::string(length, ' '));
  for (std::string& s : strings) {
    for (char& c : s) c = static_cast<char>(any_byte ? 1 + rng() % 255 : 'a' + rng() % 26);
  }
  double heap = 0;
  std::size_t reported = 0;
  for (auto _ : state) {
    const double before = heap_in_use();
    PositionalBitmap index;
    for (uint32_t id = 0; id < count; ++id) {
      if (bulk) {
        index.push(strings[id], id);
      } else {
        index.insert(strings[id], id);
      }
    }
    if (bulk) index.flush();
    heap = heap_in_use() - before;
    reported = index.memory_bytes();
    benchmark::DoNotOptimize(index.column_count());
  }
  const double text = static_cast<double>(count) * static_cast<double>(length);
  state.counters["heap_MiB"] = heap / (1 << 20);
  state.counters["per_text_byte"] = heap / text;
  state.counters["memory_bytes_MiB"] = static_cast<double>(reported) / (1 << 20);
}
BENCHMARK(BM_PositionalBitmapHeap)
    ->ArgNames({"strings", "length", "any_byte", "bulk"})
    ->Args({1, 10'000, 0, 0})
    ->Args({1, 40'000, 0, 0})
    ->Args({10'000, 10'000, 0, 0})
    ->Args({10'000, 10'000, 1, 0})
    ->Args({10'000, 10'000, 1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvane
