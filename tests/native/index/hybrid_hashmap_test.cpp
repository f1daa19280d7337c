#include "index/hybrid_hashmap.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace quorvane {
namespace {

template <class V>
std::vector<std::pair<uint32_t, int>> entries(const HybridHashmap<V>& map) {
  std::vector<std::pair<uint32_t, int>> out;
  map.for_each([&](uint32_t key, const V& value) {
    if constexpr (std::is_same_v<V, int>) {
      out.emplace_back(key, value);
    } else {
      out.emplace_back(key, *value);
    }
  });
  return out;
}

TEST(HybridHashmap, SmallFormKeepsFirstInsertionOrder) {
  HybridHashmap<int> map;
  EXPECT_TRUE(map.is_small());
  EXPECT_EQ(map.get(5), nullptr);
  map.insert(5, 50);
  map.insert(3, 30);
  map.insert(9, 90);
  map.insert(3, 31);
  using E = std::vector<std::pair<uint32_t, int>>;
  EXPECT_EQ(entries(map), (E{{5, 50}, {3, 31}, {9, 90}}));
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(map.get(4), nullptr);
  ASSERT_NE(map.get(3), nullptr);
  EXPECT_EQ(*map.get(3), 31);
}

TEST(HybridHashmap, NinthDistinctKeySpillsWithEveryValue) {
  HybridHashmap<std::unique_ptr<int>> map;  // move-only values
  for (uint32_t k = 0; k < 8; ++k) map.insert(k * 7, std::make_unique<int>(k));
  // Replacing in a full inline map does not spill.
  map.insert(14, std::make_unique<int>(-2));
  EXPECT_TRUE(map.is_small());
  EXPECT_EQ(map.size(), 8u);

  map.insert(1000, std::make_unique<int>(1000));
  EXPECT_FALSE(map.is_small());
  EXPECT_EQ(map.size(), 9u);
  for (uint32_t k = 0; k < 8; ++k) {
    ASSERT_NE(map.get(k * 7), nullptr);
    EXPECT_EQ(**map.get(k * 7), k == 2 ? -2 : static_cast<int>(k));
  }
  ASSERT_NE(map.get(1000), nullptr);
  EXPECT_EQ(**map.get(1000), 1000);
  EXPECT_EQ(map.get(1), nullptr);

  // Never returns to the inline form; replacement still works.
  map.insert(0, std::make_unique<int>(77));
  EXPECT_FALSE(map.is_small());
  EXPECT_EQ(**map.get(0), 77);
  EXPECT_EQ(map.size(), 9u);
}

// Every value the map held is released exactly when replaced or when the map
// goes, in both forms, including after moves of the whole map.
TEST(HybridHashmap, ReleasesReplacedAndRemainingValues) {
  for (int count : {3, 8, 12}) {
    std::vector<std::weak_ptr<int>> watched;
    std::weak_ptr<int> replaced;
    {
      HybridHashmap<std::shared_ptr<int>> map;
      for (int k = 0; k < count; ++k) {
        auto value = std::make_shared<int>(k);
        watched.push_back(value);
        map.insert(k, std::move(value));
      }
      replaced = *map.get(1);
      map.insert(1, std::make_shared<int>(-1));
      EXPECT_TRUE(replaced.expired());

      HybridHashmap<std::shared_ptr<int>> moved(std::move(map));
      HybridHashmap<std::shared_ptr<int>> assigned;
      assigned.insert(99, std::make_shared<int>(99));
      assigned = std::move(moved);
      EXPECT_EQ(assigned.size(), static_cast<std::size_t>(count));
      for (int k = 0; k < count; ++k) {
        if (k == 1) continue;
        EXPECT_FALSE(watched[k].expired());
        EXPECT_EQ(watched[k].use_count(), 1) << "value " << k << " was copied, not moved";
        EXPECT_EQ(**assigned.get(k), k);
      }
    }
    for (const auto& w : watched) EXPECT_TRUE(w.expired());
  }
}

// Random inserts against std::map, with key ranges that stay inline and
// ranges that spill at different moments; copies must be independent.
TEST(HybridHashmap, AgreesWithStdMap) {
  std::mt19937 rng(5);
  for (int round = 0; round < 200; ++round) {
    uint32_t key_range = 1 + rng() % 24;
    HybridHashmap<int> map;
    std::map<uint32_t, int> oracle;
    std::vector<uint32_t> first_order;
    int steps = 1 + rng() % 40;
    for (int step = 0; step < steps; ++step) {
      uint32_t key = rng() % key_range * 1000003u;  // spread over the 32-bit range
      int value = static_cast<int>(rng());
      if (!oracle.count(key)) first_order.push_back(key);
      oracle[key] = value;
      map.insert(key, value);

      ASSERT_EQ(map.size(), oracle.size());
      ASSERT_EQ(map.is_small(), first_order.size() <= 8);
    }
    for (uint32_t k = 0; k <= key_range; ++k) {
      uint32_t key = k * 1000003u;
      auto it = oracle.find(key);
      const int* got = map.get(key);
      if (it == oracle.end()) {
        EXPECT_EQ(got, nullptr);
      } else {
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(*got, it->second);
      }
    }
    auto listed = entries(map);
    if (map.is_small()) {
      ASSERT_EQ(listed.size(), first_order.size());
      for (std::size_t i = 0; i < listed.size(); ++i) EXPECT_EQ(listed[i].first, first_order[i]);
    }
    std::map<uint32_t, int> listed_map(listed.begin(), listed.end());
    EXPECT_EQ(listed_map.size(), listed.size()) << "a key was listed twice";
    EXPECT_EQ(listed_map, oracle);

    HybridHashmap<int> copy = map;
    copy.insert(7, -7);
    EXPECT_EQ(entries(map), listed);
  }
}

}  // namespace
}  // namespace quorvane
