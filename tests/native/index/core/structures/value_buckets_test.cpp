#include "index/core/structures/value_buckets/value_buckets.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "absl/container/btree_map.h"

namespace quorvane {
namespace {

using Buckets = ValueBuckets<absl::btree_map<int, HybridSet>>;

TEST(ValueBuckets, AgreesWithAMapOfSetsUnderAddsAndRemoves) {
  std::mt19937 rng(11);
  Buckets buckets;
  std::map<int, std::set<uint32_t>> oracle;
  for (int step = 0; step < 20000; ++step) {
    int key = static_cast<int>(rng() % 50);
    uint32_t id = rng() % 400;
    if (rng() % 3 == 0) {
      buckets.remove(key, id);
      if (oracle.count(key)) {
        oracle[key].erase(id);
        if (oracle[key].empty()) oracle.erase(key);
      }
    } else {
      buckets.add(key, id);
      oracle[key].insert(id);
    }
  }
  ASSERT_TRUE(buckets.enabled());
  ASSERT_EQ(buckets.map().size(), oracle.size());  // emptied values are gone
  for (const auto& [key, ids] : oracle) {
    EXPECT_EQ(buckets.get(key).to_vector(), std::vector<uint32_t>(ids.begin(), ids.end()));
  }
  EXPECT_TRUE(buckets.get(999).is_empty());
}

TEST(ValueBuckets, TooManyDistinctValuesDropTheBucketsForGood) {
  Buckets buckets;
  for (int v = 0; v < static_cast<int>(Buckets::MAX_DISTINCT); ++v) buckets.add(v, 1);
  EXPECT_TRUE(buckets.enabled());
  buckets.add(0, 2);  // a known value does not count
  EXPECT_TRUE(buckets.enabled());
  buckets.add(-1, 3);
  EXPECT_FALSE(buckets.enabled());
  EXPECT_TRUE(buckets.map().empty());
  buckets.add(5, 4);
  EXPECT_FALSE(buckets.enabled());
  EXPECT_TRUE(buckets.map().empty());
}

// Ids pushed in bulk and flushed end as if added one by one, next to ids
// added and removed directly before; the distinct-value limit counts values
// already held and values only pending alike.
TEST(ValueBuckets, PushedIdsEndAsIfAddedOneByOne) {
  std::mt19937 rng(5);
  Buckets pushed, added;
  for (uint32_t id = 0; id < 200; ++id) {
    int key = static_cast<int>(rng() % 30);
    pushed.add(key, id);
    added.add(key, id);
  }
  pushed.remove(3, 7), added.remove(3, 7);
  for (uint32_t id = 200; id < 3000; ++id) {
    int key = static_cast<int>(rng() % 60);  // some keys new, some with 1 or 2 ids so far
    if (id % 7 == 0) key = 100 + static_cast<int>(id);  // a key of a single id
    pushed.push(key, id);
    added.add(key, id);
  }
  pushed.flush();
  ASSERT_TRUE(pushed.enabled());
  ASSERT_EQ(pushed.map().size(), added.map().size());
  for (const auto& [key, set] : added.map()) {
    EXPECT_EQ(pushed.get(key).to_vector(), set.to_bitmap().to_vector()) << key;
    EXPECT_EQ(pushed.count(key), set.cardinality()) << key;
  }

  Buckets limit;
  for (int v = 0; v < static_cast<int>(Buckets::MAX_DISTINCT) - 2; ++v) limit.add(v, 1);
  limit.push(0, 2);  // held already: not new
  limit.push(-1, 3);
  limit.push(-1, 4);  // pending already: counted once
  limit.push(-2, 5);
  EXPECT_TRUE(limit.enabled());
  limit.push(-3, 6);
  EXPECT_FALSE(limit.enabled());
  limit.flush();
  EXPECT_TRUE(limit.map().empty());
}

TEST(ValueBuckets, UnionAndNarrowing) {
  Buckets a, b;
  a.add(1, 10);
  a.add(2, 20);
  b.add(2, 21);
  b.add(3, 30);
  a.union_with(b);
  EXPECT_EQ(a.get(2).to_vector(), (std::vector<uint32_t>{20, 21}));
  EXPECT_EQ(a.get(3).to_vector(), (std::vector<uint32_t>{30}));
  a.intersect_with(Bitmap{10, 21});
  EXPECT_EQ(a.map().size(), 2u);
  EXPECT_EQ(a.get(2).to_vector(), (std::vector<uint32_t>{21}));
  EXPECT_TRUE(a.get(3).is_empty());
  Buckets dropped;
  for (int v = 0; v <= static_cast<int>(Buckets::MAX_DISTINCT); ++v) dropped.add(v, 1);
  a.union_with(dropped);  // a union with dropped buckets cannot be complete
  EXPECT_FALSE(a.enabled());
}

}  // namespace
}  // namespace quorvane
