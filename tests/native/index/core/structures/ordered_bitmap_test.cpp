#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "util/panic.h"

namespace quorvane {
namespace {

using V = std::vector<uint32_t>;
using Query = void (NumericalBitmap::*)(NumericKey, Bitmap&, const Bitmap&) const;
using Pred = std::function<bool(NumericKey, NumericKey)>;

const std::pair<Query, Pred> QUERIES[] = {
    {&NumericalBitmap::get_gt_into_base, std::greater<NumericKey>()},
    {&NumericalBitmap::get_gte_into_base, std::greater_equal<NumericKey>()},
    {&NumericalBitmap::get_lt_into_base, std::less<NumericKey>()},
    {&NumericalBitmap::get_lte_into_base, std::less_equal<NumericKey>()},
};

// An index next to its trivially correct model, id -> key.
struct Model {
  NumericalBitmap index;
  std::map<uint32_t, NumericKey> keys;

  void add(uint32_t id, NumericKey key) {
    if (keys.count(id)) remove(id);  // one key per id, as the index expects
    index.add(id, key);
    keys[id] = key;
  }
  void remove(uint32_t id) {
    index.remove(id, keys.at(id));
    keys.erase(id);
  }
  // base ∪ {id of scope whose key k satisfies pred(k, key)}
  V expected(Bitmap base, const Bitmap& scope, const Pred& pred, NumericKey key) const {
    for (auto [id, k] : keys) {
      if (scope.contains(id) && pred(k, key)) base.add(id);
    }
    return base.to_vector();
  }
};

// Keys with many duplicates: small ints and quarter floats (some equal to the
// ints), extreme integers, subnormals and infinities.
NumericKey random_key(std::mt19937& rng) {
  const int64_t big[] = {std::numeric_limits<int64_t>::min(), -(int64_t{1} << 62) - 1,
                         (int64_t{1} << 62) + 1, std::numeric_limits<int64_t>::max()};
  const double odd[] = {std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(),
                        1e300,
                        -1e-300,
                        std::numeric_limits<double>::denorm_min(),
                        -2 * std::numeric_limits<double>::denorm_min()};
  switch (rng() % 5) {
    case 0:
    case 1:
      return numeric_key(static_cast<int64_t>(rng() % 41) - 20);
    case 2:
      return numeric_key((static_cast<double>(rng() % 41) - 20) / 4);
    case 3:
      return numeric_key(big[rng() % 4]);
    default:
      return numeric_key(odd[rng() % 6]);
  }
}

// Every one cell holds exactly the ids whose key has that bit set, `all`
// exactly the ids of the model, and nothing is pending.
void check_cells(const Model& m) {
  Bitmap all;
  for (const auto& e : m.keys) all.add(e.first);
  ASSERT_EQ(m.index.all_cell().bitmap(), all);
  ASSERT_EQ(m.index.all_cell().pending_count(), 0u);
  for (int i = 0; i < NumericalBitmap::LEVELS; ++i) {
    Bitmap ones;
    for (auto [id, k] : m.keys) {
      if (k.bit(i)) ones.add(id);
    }
    ASSERT_EQ(m.index.one_cell(i).bitmap(), ones) << "level " << i;
    ASSERT_EQ(m.index.one_cell(i).pending_count(), 0u);
  }
}

void check_queries(const Model& m, std::mt19937& rng, int rounds) {
  for (int q = 0; q < rounds; ++q) {
    NumericKey key = random_key(rng);
    Bitmap scope, base{100000}, every;       // 100000 is outside every scope
    for (uint32_t id = 0; id < 600; ++id) {  // ids past 500 have no key
      every.add(id);
      if (rng() % 4) scope.add(id);
      if (rng() % 10 == 0) base.add(id);
    }
    for (const auto& [query, pred] : QUERIES) {
      Bitmap out = base;
      (m.index.*query)(key, out, scope);
      ASSERT_EQ(out.to_vector(), m.expected(base, scope, pred, key));
    }
    ASSERT_EQ(m.index.get_eq(key).to_vector(),
              m.expected(Bitmap(), every, std::equal_to<NumericKey>(), key));
    // Two-sided ranges: ends in either order, often equal, each open or closed.
    const NumericKey other = rng() % 4 == 0 ? key : random_key(rng);
    for (int ends = 0; ends < 4; ++ends) {
      const bool lo_closed = ends & 1, hi_closed = ends & 2;
      const Pred between = [&](NumericKey k, NumericKey) {
        return (lo_closed ? k >= key : k > key) && (hi_closed ? k <= other : k < other);
      };
      Bitmap out = base;
      m.index.get_between_into_base(key, lo_closed, other, hi_closed, out, scope);
      ASSERT_EQ(out.to_vector(), m.expected(base, scope, between, key))
          << "ends " << ends << (key == other ? " (equal)" : "");
    }
  }
}

// Every two-sided range over small non-negative integers (keys sharing their
// top levels, where no level narrows by a 1 bit), in a scope that also holds
// ids without a key: those never join the answer.
TEST(NumericalBitmap, EveryRangeOfSmallIntegersLeavesOutIdsWithoutAKey) {
  NumericalBitmap index;
  Bitmap scope;
  for (uint32_t id = 0; id < 60; ++id) {
    if (id < 40) index.add(id, numeric_key(int64_t{id}));  // ids 40..59 have no key
    scope.add(id);
  }
  for (int64_t lo = 0; lo <= 40; ++lo) {
    for (int64_t hi = 0; hi <= 40; ++hi) {
      for (int ends = 0; ends < 4; ++ends) {
        const bool lo_closed = ends & 1, hi_closed = ends & 2;
        Bitmap got;
        index.get_between_into_base(numeric_key(lo), lo_closed, numeric_key(hi), hi_closed, got,
                                    scope);
        V expected;
        for (int64_t v = 0; v < 40; ++v) {
          if ((lo_closed ? v >= lo : v > lo) && (hi_closed ? v <= hi : v < hi)) {
            expected.push_back(static_cast<uint32_t>(v));
          }
        }
        ASSERT_EQ(got.to_vector(), expected) << lo << ".." << hi << " ends " << ends;
      }
    }
  }
}

TEST(NumericalBitmap, SmallDocumentedCases) {
  NumericalBitmap index;
  const Bitmap all{1, 2, 3, 4};  // id 4 has no key
  for (uint32_t id : {1, 2, 3}) index.add(id, numeric_key(int64_t{id}));
  const V expected[] = {{3, 7}, {2, 3, 7}, {1, 7}, {1, 2, 7}};  // 7 was in base
  for (int q = 0; q < 4; ++q) {
    Bitmap base{7};
    (index.*QUERIES[q].first)(numeric_key(2.0), base, all);
    EXPECT_EQ(base.to_vector(), expected[q]) << q;
  }
  EXPECT_EQ(index.get_eq(numeric_key(int64_t{2})).to_vector(), (V{2}));
  EXPECT_TRUE(index.get_eq(numeric_key(int64_t{5})).is_empty());
  EXPECT_EQ(index.all_ids().to_vector(), (V{1, 2, 3}));

  NumericalBitmap empty;
  Bitmap base{9};
  empty.get_gte_into_base(numeric_key(0.0), base, all);
  empty.get_lte_into_base(numeric_key(0.0), base, all);
  EXPECT_EQ(base.to_vector(), (V{9}));
  EXPECT_THROW(index.one_cell(76), Panic);
  EXPECT_THROW(index.one_cell(-1), Panic);

  // Zero has a single 1 bit (the sign flag, level 75): the id goes into that
  // one cell and `all` only, and removing it empties both.
  NumericalBitmap zero;
  zero.add(5, numeric_key(0.0));
  for (int i = 0; i < NumericalBitmap::LEVELS; ++i) {
    EXPECT_EQ(zero.one_cell(i).bitmap().to_vector(), i == 75 ? V{5} : V{}) << i;
  }
  EXPECT_EQ(zero.get_eq(numeric_key(int64_t{0})).to_vector(), (V{5}));
  zero.remove(5, numeric_key(0.0));
  EXPECT_TRUE(zero.all_cell().bitmap().is_empty());
  EXPECT_TRUE(zero.one_cell(75).bitmap().is_empty());
}

TEST(NumericalBitmap, RandomQueriesMatchBruteForce) {
  std::mt19937 rng(21);
  for (int round = 0; round < 12; ++round) {
    Model m;
    uint32_t count = round == 0 ? 1 : 50 + rng() % 450;
    for (uint32_t n = 0; n < count; ++n) m.add(rng() % 500, random_key(rng));
    for (int n = 0; n < 40 && !m.keys.empty(); ++n) {
      m.remove(std::next(m.keys.begin(), rng() % m.keys.size())->first);
    }
    check_cells(m);
    check_queries(m, rng, 30);
    while (!m.keys.empty()) m.remove(m.keys.begin()->first);
    check_cells(m);  // every cell empty: removal leaves no trace
    ASSERT_TRUE(m.index.get_eq(random_key(rng)).is_empty());
  }
}

// The extreme keys of any scope are its model's minimum and maximum; a scope
// holding no indexed id has none.
TEST(NumericalBitmap, ExtremeKeysOfAScopeAreItsMinimumAndMaximum) {
  std::mt19937 rng(33);
  Model m;
  for (uint32_t n = 0; n < 400; ++n) m.add(rng() % 600, random_key(rng));
  for (int round = 0; round < 60; ++round) {
    Bitmap scope;
    std::vector<NumericKey> in_scope;
    for (uint32_t id = 0; id < 700; ++id) {
      if (rng() % (1 + round % 9) != 0) continue;
      scope.add(id);
      if (auto it = m.keys.find(id); it != m.keys.end()) in_scope.push_back(it->second);
    }
    auto low = m.index.extreme_key(scope, false), high = m.index.extreme_key(scope, true);
    if (in_scope.empty()) {
      EXPECT_FALSE(low || high);
      continue;
    }
    ASSERT_TRUE(low && high);
    EXPECT_EQ(*low, *std::min_element(in_scope.begin(), in_scope.end()));
    EXPECT_EQ(*high, *std::max_element(in_scope.begin(), in_scope.end()));
  }
  EXPECT_FALSE(m.index.extreme_key(Bitmap{1000, 2000}, true));
}

TEST(NumericalBitmap, BulkWritesMergesAndNarrowingKeepQueriesExact) {
  std::mt19937 rng(8);
  Model direct, left, right;
  NumericalBitmap pushed;
  for (uint32_t id = 0; id < 500; ++id) {
    NumericKey key = random_key(rng);
    direct.add(id, key);
    pushed.push(id, key);
    (id % 3 ? left : right).add(id, key);
  }
  pushed.flush();
  left.index.union_with(right.index);
  check_cells(direct);
  ASSERT_EQ(pushed.all_cell().pending_count(), 0u);
  ASSERT_EQ(pushed.all_cell().bitmap(), direct.index.all_cell().bitmap());
  ASSERT_EQ(left.index.all_cell().bitmap(), direct.index.all_cell().bitmap());
  for (int i = 0; i < NumericalBitmap::LEVELS; ++i) {
    ASSERT_EQ(pushed.one_cell(i).pending_count(), 0u);
    ASSERT_EQ(pushed.one_cell(i).bitmap(), direct.index.one_cell(i).bitmap()) << i;
    ASSERT_EQ(left.index.one_cell(i).bitmap(), direct.index.one_cell(i).bitmap()) << i;
  }

  Bitmap keep, remaining;
  for (uint32_t id = 0; id < 600; id += 1 + rng() % 3) keep.add(id);
  direct.index.push(7, numeric_key(int64_t{1}));  // pending ids are dropped by narrowing
  direct.index.intersect_with(keep);
  std::erase_if(direct.keys, [&](const auto& e) { return !keep.contains(e.first); });
  for (const auto& e : direct.keys) remaining.add(e.first);
  EXPECT_EQ(direct.index.all_ids(), remaining);
  check_cells(direct);  // also: the pending id 7 was dropped everywhere
  check_queries(direct, rng, 10);
}

// A union limited to some ids takes their keys and leaves no bit of the
// others' keys anywhere (an id may even be held by both sides' models at once).
TEST(NumericalBitmap, UnionLimitedToSomeIdsTakesOnlyTheirKeys) {
  std::mt19937 rng(9);
  Model mine, theirs;
  Bitmap only;
  std::map<uint32_t, NumericKey> expected;
  for (uint32_t id = 0; id < 400; ++id) {
    NumericKey key = random_key(rng);
    if (id % 2 == 1) {
      mine.add(id, key);
      expected[id] = key;
    } else {
      theirs.add(id, key);
      if (id % 4 == 0) only.add(id), expected[id] = key;
    }
  }
  for (uint32_t id = 1; id < 400; id += 8) theirs.add(id, random_key(rng));  // not in `only`
  only.add(100000);                                                          // held by neither
  mine.index.union_with(theirs.index, &only);
  mine.keys = expected;
  check_cells(mine);
  check_queries(mine, rng, 10);
}

TEST(NumericalBitmap, ConcurrentQueriesUseTheirOwnScratch) {
  std::mt19937 rng(4);
  Model m;
  for (uint32_t id = 0; id < 600; ++id) m.add(id, random_key(rng));
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 local(100 + t);
      const Bitmap scope = m.index.all_ids();
      for (int q = 0; q < 200; ++q) {
        NumericKey key = random_key(local);
        Bitmap out;
        m.index.get_lt_into_base(key, out, scope);
        failures[t] += out.to_vector() != m.expected(Bitmap(), scope, std::less<NumericKey>(), key);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace quorvane
