#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "index/core/structures/shards/hashmap.h"

namespace quorvane {
namespace {

// A key with a cached hash that is deliberately coarse: many different texts
// share one hash, so lookups must rely on equality, not on the hash.
struct Key {
  std::string text;
  uint64_t hash;
  bool operator==(const Key& other) const { return text == other.text; }
};
struct KeyCachedHash {
  uint64_t operator()(const Key& key) const { return key.hash; }
};
Key key_of(const std::string& text) {
  return Key{text, hash_bytes(text) % 37};
}

using Map = ShardedHashMap<Key, std::vector<uint32_t>, KeyCachedHash>;

void add(Map& map, const Key& key, uint32_t id) {
  auto shard = map.get_shard(key.hash);
  (*shard)[key].push_back(id);
}

std::size_t total_entries(const Map& map) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < Map::SHARD_COUNT; ++i) n += map.read_shard(i)->size();
  return n;
}

TEST(ShardedHashMap, ShardIndexIsFxHashOfBothHalves) {
  // Reference values computed by hand from the 32-bit FxHash rounds.
  EXPECT_EQ(Map::shard_index(0), 0u);
  EXPECT_EQ(Map::shard_index(1), 15u);
  EXPECT_EQ(Map::shard_index(0x100000000ull), 11u);
  EXPECT_EQ(Map::shard_index(12345), 13u);
  EXPECT_EQ(Map::shard_index(0xdeadbeefcafebabeull), 3u);
  EXPECT_EQ(Map::shard_index(~0ull), 5u);
  std::set<std::size_t> seen;
  for (uint64_t h = 0; h < 1000; ++h) seen.insert(Map::shard_index(h * 0x9e3779b97f4a7c15ull));
  EXPECT_EQ(seen.size(), Map::SHARD_COUNT);
}

TEST(ShardedHashMap, EqualKeysShareOneEntryAndGetCopies) {
  Map map;
  EXPECT_TRUE(map.is_empty());
  EXPECT_EQ(map.get(key_of("absent")), std::nullopt);
  EXPECT_TRUE(map.is_empty()) << "get must not create an entry";

  // Two distinct key objects that are equal land in one entry of one shard.
  add(map, Key{"alpha", 7}, 1);
  add(map, Key{"alpha", 7}, 2);
  // Same cached hash, different text: a separate entry in the same shard.
  add(map, Key{"beta", 7}, 3);
  EXPECT_EQ(total_entries(map), 2u);
  EXPECT_EQ(map.read_shard(Map::shard_index(7))->size(), 2u);
  EXPECT_EQ(map.get(Key{"alpha", 7}), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(map.get(Key{"beta", 7}), (std::vector<uint32_t>{3}));
  EXPECT_EQ(map.get(Key{"gamma", 7}), std::nullopt);

  auto copy = map.get(Key{"alpha", 7});
  add(map, Key{"alpha", 7}, 4);
  map.get_shard(7)->erase(Key{"beta", 7});
  EXPECT_EQ(copy, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(map.get(Key{"alpha", 7}), (std::vector<uint32_t>{1, 2, 4}));
  EXPECT_EQ(map.get(Key{"beta", 7}), std::nullopt);
  EXPECT_FALSE(map.is_empty());

  EXPECT_THROW(map.read_shard(Map::SHARD_COUNT), Panic);
  Map moved = std::move(map);
  EXPECT_EQ(moved.get(Key{"alpha", 7}), (std::vector<uint32_t>{1, 2, 4}));
}

TEST(ShardedHashMap, ConcurrentWritersLoseNothing) {
  constexpr int THREADS = 6, PER_THREAD = 2000;
  Map map;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&map, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < PER_THREAD; ++i) {
        uint32_t id = static_cast<uint32_t>(t * PER_THREAD + i);
        // Keys private to this thread, and keys every thread writes to.
        add(map, key_of("own-" + std::to_string(id)), id);
        add(map, key_of("shared-" + std::to_string(rng() % 50)), id);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::map<std::string, std::multiset<uint32_t>> oracle;
  for (int t = 0; t < THREADS; ++t) {
    std::mt19937 rng(t);
    for (int i = 0; i < PER_THREAD; ++i) {
      uint32_t id = static_cast<uint32_t>(t * PER_THREAD + i);
      oracle["own-" + std::to_string(id)].insert(id);
      oracle["shared-" + std::to_string(rng() % 50)].insert(id);
    }
  }
  EXPECT_EQ(total_entries(map), oracle.size());
  for (const auto& [text, ids] : oracle) {
    auto got = map.get(key_of(text));
    ASSERT_TRUE(got.has_value()) << text;
    EXPECT_EQ(std::multiset<uint32_t>(got->begin(), got->end()), ids) << text;
  }
}

}  // namespace
}  // namespace quorvane
