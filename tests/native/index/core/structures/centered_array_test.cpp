#include "index/core/structures/centered_array/centered_array.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "util/panic.h"

namespace quorvane {
namespace {

using V = std::vector<uint32_t>;

V ids(const CenteredArray& a) {
  return {a.run().begin(), a.run().end()};
}

TEST(CenteredArray, RunMovesAsDocumented) {
  CenteredArray a;
  a.insert(5);
  EXPECT_EQ(a.start(), 2u);
  a.insert(1);  // pos 0 is not below len / 2 = 0: the tail moves back
  EXPECT_EQ(a.start(), 2u);
  a.insert(9);  // no slot after the run: re-centre to slot 1 first
  EXPECT_EQ(a.start(), 1u);
  EXPECT_EQ(ids(a), (V{1, 5, 9}));
  CenteredArray b = a;
  b.remove(1);  // slot 1 is not below len / 2 = 1: the tail moves forward
  EXPECT_EQ(b.start(), 1u);
  EXPECT_EQ(ids(b), (V{5, 9}));
  a.insert(7);
  EXPECT_EQ(a.start(), 0u);
  EXPECT_EQ(ids(a), (V{1, 5, 7, 9}));
  try {
    a.insert(7);  // full, even for a present id
    FAIL();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "CenteredArray full");
  }
  a.remove(5);  // slot 1 is below len / 2 = 2: the head moves back
  EXPECT_EQ(a.start(), 1u);
  EXPECT_EQ(ids(a), (V{1, 7, 9}));
}

TEST(CenteredArray, RandomInsertRemoveMatchesStdSet) {
  std::mt19937 rng(11);
  // A small range forces duplicates; the extremes check unsigned order.
  const uint32_t values[] = {0, 1, 2, 3, 4, 5, 0x7fffffffu, 0x80000000u, 0xffffffffu};
  for (int round = 0; round < 2000; ++round) {
    CenteredArray a;
    std::set<uint32_t> oracle;
    for (int step = 0; step < 20; ++step) {
      uint32_t v = values[rng() % std::size(values)];
      if (rng() % 2 && oracle.size() < 4) {
        a.insert(v), oracle.insert(v);
      } else {
        a.remove(v), oracle.erase(v);
      }
      ASSERT_LE(a.start() + a.len(), CenteredArray::CAPACITY);
      ASSERT_EQ(ids(a), V(oracle.begin(), oracle.end()));
      for (uint32_t probe : values) ASSERT_EQ(a.contains(probe), oracle.count(probe) == 1);
    }
  }
}

TEST(CenteredArray, UnionMergesRecentresAndRejectsOverflow) {
  uint32_t a13[] = {1, 3}, a34[] = {3, 4}, a2[] = {2}, unsorted[] = {2, 1};
  CenteredArray a = CenteredArray::from_sorted(a13);
  a.union_with(CenteredArray::from_sorted(a34));
  EXPECT_EQ(ids(a), (V{1, 3, 4}));
  EXPECT_EQ(a.start(), 0u);
  CenteredArray b = CenteredArray::from_sorted(a2);
  b.union_with(CenteredArray());
  EXPECT_EQ(ids(b), (V{2}));
  EXPECT_EQ(b.start(), 1u);
  EXPECT_THROW(CenteredArray::from_sorted(unsorted), Panic);

  std::mt19937 rng(5);
  for (int round = 0; round < 3000; ++round) {
    CenteredArray x, y;
    std::set<uint32_t> both;
    for (int k = rng() % 4; k > 0; --k) x.insert(rng() % 8);
    for (int k = rng() % 4; k > 0; --k) y.insert(rng() % 8);
    both.insert(x.run().begin(), x.run().end());
    both.insert(y.run().begin(), y.run().end());
    V before = ids(x);
    if (both.size() > 4) {
      EXPECT_THROW(x.union_with(y), Panic);
      EXPECT_EQ(ids(x), before);  // a failed union leaves the array intact
    } else {
      x.union_with(y);
      EXPECT_EQ(ids(x), V(both.begin(), both.end()));
      EXPECT_EQ(x.start(), (4 - both.size()) / 2);
    }
  }
}

}  // namespace
}  // namespace quorvane
