#include "index/core/structures/bitmap/bitmap.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace quorvane {
namespace {

std::vector<uint32_t> to_vec(const std::set<uint32_t>& s) {
  return {s.begin(), s.end()};
}

TEST(Bitmap, SetOperationsAgreeWithStdSet) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    std::set<uint32_t> a, b;
    Bitmap ba, bb;
    uint32_t range = round % 2 ? 200 : 5'000'000;
    for (int i = 0; i < 300; ++i) {
      uint32_t x = rng() % range, y = rng() % range;
      a.insert(x), ba.add(x);
      b.insert(y), bb.add(y);
    }
    std::set<uint32_t> u = a, inter, diff;
    u.insert(b.begin(), b.end());
    for (auto x : a) (b.count(x) ? inter : diff).insert(x);

    EXPECT_EQ(ba.unioned(bb).to_vector(), to_vec(u));
    EXPECT_EQ(ba.intersected(bb).to_vector(), to_vec(inter));
    EXPECT_EQ(ba.differenced(bb).to_vector(), to_vec(diff));
    EXPECT_EQ(ba.intersects(bb), !inter.empty());
    EXPECT_EQ(ba.is_subset_of(bb), inter.size() == a.size());
    EXPECT_TRUE(ba.intersected(bb).is_subset_of(bb));

    Bitmap in_place = ba;
    in_place.union_with(bb);
    EXPECT_EQ(in_place.to_vector(), to_vec(u));
    in_place = ba;
    in_place.intersect_with(bb);
    EXPECT_EQ(in_place.to_vector(), to_vec(inter));
    in_place = ba;
    in_place.difference_with(bb);
    EXPECT_EQ(in_place.to_vector(), to_vec(diff));
    EXPECT_EQ(ba.cardinality(), a.size());
    EXPECT_EQ(ba.maximum(), *a.rbegin());
  }
}

TEST(Bitmap, CopiesAreIndependentAndSelfDifferenceEmpties) {
  Bitmap a{1, 2, 3};
  Bitmap b = a;
  b.add(4);
  a.remove(1);
  EXPECT_EQ(a.to_vector(), (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(b.to_vector(), (std::vector<uint32_t>{1, 2, 3, 4}));
  b.difference_with(b);
  EXPECT_TRUE(b.is_empty());
  EXPECT_EQ(b.maximum(), std::nullopt);
}

TEST(Bitmap, ForEachVisitsAscendingAndStopsEarly) {
  Bitmap a{70000, 5, 1u << 31, 9};
  std::vector<uint32_t> seen;
  a.for_each([&](uint32_t id) { seen.push_back(id); });
  EXPECT_EQ(seen, (std::vector<uint32_t>{5, 9, 70000, 1u << 31}));
  seen.clear();
  a.for_each([&](uint32_t id) {
    seen.push_back(id);
    return seen.size() < 2;
  });
  EXPECT_EQ(seen, (std::vector<uint32_t>{5, 9}));
}

}  // namespace
}  // namespace quorvane
