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

// Long ascending batches are built as whole containers; the result must equal
// element-wise insertion for sparse and dense chunks (around the 4096-value
// array limit), ids across many chunks, the top of the id range, batches
// merged into a non-empty set, and batches that are not ascending.
TEST(Bitmap, AddManyAgreesWithStdSetForEveryBatchShape) {
  std::mt19937 rng(3);
  std::set<uint32_t> model;
  Bitmap bitmap;
  bitmap.add(70000);
  model.insert(70000);
  auto add_batch = [&](std::vector<uint32_t> ids) {
    bitmap.add_many(ids);
    model.insert(ids.begin(), ids.end());
    ASSERT_EQ(bitmap.cardinality(), model.size());
    ASSERT_EQ(bitmap.to_vector(), to_vec(model));
  };
  for (uint32_t card : {4095u, 4096u, 4097u, 20000u}) {
    std::set<uint32_t> chunk;
    while (chunk.size() < card) chunk.insert(65536 * 3 + rng() % 65536);
    add_batch({chunk.begin(), chunk.end()});
  }
  std::vector<uint32_t> spread, top, unsorted;
  for (uint32_t i = 0; i < 5000; ++i) spread.push_back(i * 977 + 5);
  add_batch(spread);
  for (uint32_t i = 2000; i > 0; --i) top.push_back(UINT32_MAX - i * 3 + 3);
  add_batch(top);
  for (uint32_t i = 0; i < 3000; ++i) unsorted.push_back(rng() % 400000);
  unsorted.push_back(unsorted.front());  // a repeat
  add_batch(unsorted);
  EXPECT_TRUE(bitmap.contains(UINT32_MAX));
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
