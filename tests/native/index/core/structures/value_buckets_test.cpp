#include "index/core/structures/value_buckets/value_buckets.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <span>
#include <string>

#include "index/core/structures/bitmap/dense_ids.h"

namespace quorvane {
namespace {

using Buckets = ValueBuckets<int>;

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
  ASSERT_EQ(buckets.map().size(), oracle.size());  // emptied values are gone
  for (const auto& [key, ids] : oracle) {
    EXPECT_EQ(buckets.get(key).to_vector(), std::vector<uint32_t>(ids.begin(), ids.end()));
  }
  EXPECT_TRUE(buckets.get(999).is_empty());
}

// Every distinct value keeps its bucket, however many there are, and the
// buckets come in key order; strings order by their UTF-8 bytes, which is
// code point order, and are found by view.
TEST(ValueBuckets, KeepEveryValueInOrder) {
  Buckets many;
  for (int v = 100000; v-- > 0;) many.add(v * 7 % 100003, static_cast<uint32_t>(v));
  ASSERT_EQ(many.distinct(), 100000u);
  int previous = -1;
  for (const auto& [key, set] : many.map()) {
    EXPECT_LT(previous, key);
    EXPECT_EQ(set.cardinality(), 1u);
    previous = key;
  }

  ValueBuckets<TextKey, TextOrder> strings;
  const std::vector<std::string> texts = {"z",
                                          "\xc3\xa9",
                                          "a",
                                          "\xef\xbf\xbf",
                                          "\xf0\x9f\x98\x80",
                                          "ab",
                                          "a long string well past the inline size"};
  for (uint32_t i = 0; i < texts.size(); ++i) strings.push(texts[i], i);
  strings.flush();
  std::vector<std::string> order;
  for (const auto& entry : strings.map()) order.emplace_back(entry.first.view());
  // "a" < "a long..." < "ab" < "z" < U+00E9 < U+FFFF < U+1F600
  EXPECT_EQ(order, (std::vector<std::string>{texts[2], texts[6], texts[5], texts[0], texts[1],
                                             texts[3], texts[4]}));
  EXPECT_EQ(strings.get(std::string_view("ab")).to_vector(), (std::vector<uint32_t>{5}));
  strings.remove(std::string_view("ab"), 5);
  EXPECT_EQ(strings.distinct(), texts.size() - 1);
}

// Ids pushed in bulk and flushed end as if added one by one, next to ids
// added and removed directly before, across the flushes a large batch makes
// on its way.
TEST(ValueBuckets, PushedIdsEndAsIfAddedOneByOne) {
  std::mt19937 rng(5);
  Buckets pushed, added;
  for (uint32_t id = 0; id < 200; ++id) {
    int key = static_cast<int>(rng() % 30);
    pushed.add(key, id);
    added.add(key, id);
  }
  pushed.remove(3, 7), added.remove(3, 7);
  for (uint32_t id = 200; id < 3000 + 2 * Buckets::FLUSH_AFTER_PUSHES; ++id) {
    int key = static_cast<int>(rng() % 60);  // some keys new, some with 1 or 2 ids so far
    if (id % 7 == 0) key = 100 + static_cast<int>(id);  // a key of a single id
    pushed.push(key, id);
    added.add(key, id);
  }
  pushed.flush();
  ASSERT_EQ(pushed.map().size(), added.map().size());
  for (const auto& [key, set] : added.map()) {
    EXPECT_EQ(pushed.get(key).to_vector(), set.to_bitmap().to_vector()) << key;
    EXPECT_EQ(pushed.count(key), set.cardinality()) << key;
  }
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
}

// Narrowing empties values in runs that span whole tree nodes and in
// scattered ones, and leaves every surviving value its remaining ids.
TEST(ValueBuckets, NarrowingDropsExactlyTheEmptiedValuesAndTellsWhatEachLost) {
  Buckets buckets;
  std::map<int, std::set<uint32_t>> oracle;
  Bitmap removed;
  auto add = [&](int key, uint32_t id) {
    buckets.add(key, id);
    oracle[key].insert(id);
  };
  for (int key = 0; key < 20000; ++key) {
    add(key, static_cast<uint32_t>(key));
    if (key % 7 == 0) add(key, static_cast<uint32_t>(key + 20000));
    // A run of 3,000 values goes whole; elsewhere every third value.
    if ((key >= 5000 && key < 8000) || key % 3 == 0) removed.add(static_cast<uint32_t>(key));
  }
  // Sets larger and smaller than the removal, narrowed by a merge or by
  // looking their own ids up.
  for (uint32_t id = 0; id < 30000; ++id) add(-1, id);
  for (uint32_t id = 0; id < 600; id += 3) add(-2, id);
  std::map<int, std::vector<uint32_t>> taken;
  buckets.difference_with(removed, DenseIds(removed), [&](int key, std::span<const uint32_t> ids) {
    EXPECT_TRUE(taken.emplace(key, std::vector<uint32_t>(ids.begin(), ids.end())).second);
  });
  std::map<int, std::vector<uint32_t>> expected_taken;
  for (auto it = oracle.begin(); it != oracle.end();) {
    for (uint32_t id : removed.to_vector()) {
      if (it->second.erase(id) == 1) expected_taken[it->first].push_back(id);
    }
    it = it->second.empty() ? oracle.erase(it) : std::next(it);
  }
  EXPECT_EQ(taken, expected_taken);
  ASSERT_EQ(buckets.map().size(), oracle.size());
  auto kept = oracle.begin();
  for (const auto& [key, set] : buckets.map()) {  // in order, with nothing else between
    EXPECT_EQ(key, kept->first);
    EXPECT_EQ(set.to_bitmap().to_vector(),
              std::vector<uint32_t>(kept->second.begin(), kept->second.end()));
    ++kept;
  }
}

}  // namespace
}  // namespace quorvane
