#include "index/core/structures/paged_array/paged_array.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace quorvane {
namespace {

// Small pages, so that the random ids below span many of them and pages are
// freed and made again.
using Array = PagedArray<std::string, 4>;

void expect_same(const Array& array, const std::map<uint32_t, std::string>& oracle) {
  ASSERT_EQ(array.size(), oracle.size());
  using Entries = std::vector<std::pair<uint32_t, std::string>>;
  Entries seen;
  array.for_each([&](uint32_t id, const std::string& v) { seen.emplace_back(id, v); });
  ASSERT_EQ(seen, Entries(oracle.begin(), oracle.end()));
}

TEST(PagedArray, AgreesWithAMapUnderInsertsAndTakes) {
  std::mt19937 rng(3);
  Array array;
  std::map<uint32_t, std::string> oracle;
  for (int step = 0; step < 20000; ++step) {
    // Mostly a dense range, sometimes far ids.
    uint32_t id = rng() % 8 == 0 ? rng() % 100000 : rng() % 300;
    if (rng() % 3 == 0) {
      auto it = oracle.find(id);
      std::string want = it == oracle.end() ? std::string() : it->second;
      ASSERT_EQ(array.take(id), want) << id;
      if (it != oracle.end()) oracle.erase(it);
      ASSERT_FALSE(array.contains(id));
    } else {
      std::string value = std::to_string(step);
      array.insert_or_assign(id, value);
      oracle[id] = value;
    }
    const std::string* found = array.find(id);
    ASSERT_EQ(found != nullptr, oracle.count(id) == 1);
    if (found != nullptr) {
      ASSERT_EQ(*found, oracle[id]);
    }
  }
  expect_same(array, oracle);
}

TEST(PagedArray, DefaultValuesAreStoredAndPagesAreFreedWhenEmptied) {
  PagedArray<uint32_t, 10> array;
  const std::size_t bare = array.memory_bytes();
  // A stored 0 is a value, not an absent slot.
  array.insert_or_assign(5, 0);
  EXPECT_TRUE(array.contains(5));
  EXPECT_FALSE(array.contains(4));
  EXPECT_FALSE(array.contains(5 + 1024));
  for (uint32_t id = 2048; id < 4096; ++id) array.insert_or_assign(id, id * 2);
  EXPECT_EQ(array.size(), 2049u);
  EXPECT_EQ(*array.find(3000), 6000u);
  EXPECT_TRUE(array.paged());
  const std::size_t full = array.memory_bytes();
  EXPECT_GE(full - bare, 3 * 1024 * sizeof(uint32_t));  // three pages, of 1024 slots
  for (uint32_t id = 2048; id < 4096; ++id) array.erase(id);
  array.erase(5);
  array.erase(5);  // erasing an absent id is a no-op
  EXPECT_TRUE(array.empty());
  EXPECT_LT(array.memory_bytes(), full - 3 * 1024 * sizeof(uint32_t) + 1);
  EXPECT_EQ(array.find(3000), nullptr);
}

// Ids are shared by every table of the process: a few values with high ids,
// or values scattered over a wide range, cost about the values, not a
// directory entry per page below them or a page per value.
TEST(PagedArray, FewOrScatteredIdsCostAboutTheirValues) {
  for (uint32_t stride : {1u, 4096u}) {
    PagedArray<uint64_t, 9> array;
    std::map<uint32_t, uint64_t> oracle;
    for (uint32_t i = 0; i < 300; ++i) {
      const uint32_t id = 50'000'000 + i * stride;
      array.insert_or_assign(id, i);
      oracle[id] = i;
      if (i < 10) {
        EXPECT_LT(array.memory_bytes(), 1024u) << i;
      }
    }
    // Dense ids move into pages once a page costs less; scattered ones never.
    EXPECT_EQ(array.paged(), stride == 1);
    EXPECT_LT(array.memory_bytes(), stride == 1 ? 16 * 1024u : 300 * 64u);
    // Emptied again, a dense table goes back to the sparse form.
    for (uint32_t i = 0; i < 295; ++i) oracle.erase(50'000'000 + i * stride);
    for (uint32_t i = 0; i < 295; ++i) array.erase(50'000'000 + i * stride);
    EXPECT_FALSE(array.paged());
    using Entries = std::vector<std::pair<uint32_t, uint64_t>>;
    Entries seen;
    array.for_each([&](uint32_t id, uint64_t v) { seen.emplace_back(id, v); });
    EXPECT_EQ(seen, Entries(oracle.begin(), oracle.end()));
  }
}

}  // namespace
}  // namespace quorvane
