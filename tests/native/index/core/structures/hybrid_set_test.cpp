#include "index/core/structures/hybrid_set/hybrid_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "util/panic.h"

namespace quorvane {
namespace {

using Kind = HybridSet::Kind;
using V = std::vector<uint32_t>;

V contents(const HybridSet& s) {
  if (s.large() != nullptr) return s.large()->to_vector();
  return {s.run().begin(), s.run().end()};
}

// A set of form `kind` holding `ids` (at most 3 if Small, 4 if Medium,
// which a Small set becomes through a union of 4 ids, as in index merging).
HybridSet make(Kind kind, const std::set<uint32_t>& ids) {
  HybridSet s;
  if (kind == Kind::Empty) return s;
  V v(ids.begin(), ids.end());
  if (kind == Kind::Large) {
    for (uint32_t id : {1000, 1001, 1002, 1003}) s.add(id);
    for (uint32_t id : {1000, 1001, 1002, 1003}) s.remove(id);
  }
  for (size_t i = 0; i < v.size() && (i < 3 || kind == Kind::Large); ++i) s.add(v[i]);
  if (kind == Kind::Medium && v.size() == 4) s.union_with(HybridSet::of(v[3]));
  if (v.empty() && kind != Kind::Large) s.add(7), s.remove(7);  // an emptied Small
  if (kind == Kind::Medium) s.intersect_with(Bitmap::from_ids(v));
  return s;
}

TEST(HybridSet, ConversionsAndFailuresAsDocumented) {
  HybridSet s;
  s.add(7), s.add(3), s.add(3), s.add(5);  // a duplicate while below 3 ids is a no-op
  EXPECT_EQ(s.kind(), Kind::Small);
  EXPECT_EQ(contents(s), (V{3, 5, 7}));
  HybridSet dup = s;
  s.add(1);
  EXPECT_EQ(s.kind(), Kind::Large);
  EXPECT_EQ(contents(s), (V{1, 3, 5, 7}));
  dup.add(3);  // the fourth add converts even a duplicate
  EXPECT_EQ(dup.kind(), Kind::Large);
  EXPECT_EQ(contents(dup), (V{3, 5, 7}));

  HybridSet medium = make(Kind::Medium, {1, 2, 3, 4});
  medium.add(2);  // the fifth add converts a Medium
  EXPECT_EQ(medium.kind(), Kind::Large);

  HybridSet one = HybridSet::of(2);
  one.remove(2);
  EXPECT_EQ(one.kind(), Kind::Small);
  EXPECT_TRUE(one.is_empty());

  HybridSet empty;
  auto panic_text = [](auto fn) -> std::string {
    try {
      fn();
    } catch (const Panic& p) {
      return p.what();
    }
    return "<no panic>";
  };
  EXPECT_EQ(panic_text([&] { empty.remove(1); }), "called remove on Empty");
  EXPECT_EQ(panic_text([&] { (void)empty.is_empty(); }), "called is_empty on Empty");
  EXPECT_FALSE(empty.contains(0));
  EXPECT_EQ(empty.cardinality(), 0u);
}

TEST(HybridSet, RandomOperationsMatchStdSet) {
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    HybridSet s;
    std::set<uint32_t> oracle;
    Kind prev = Kind::Empty;
    uint32_t range = round % 3 == 0 ? 6 : 100000;
    for (int step = 0; step < 60; ++step) {
      uint32_t id = rng() % range;
      int op = rng() % 12;
      if (op < 6 || s.kind() == Kind::Empty) {
        s.add(id), oracle.insert(id);
      } else if (op < 9) {
        s.remove(id), oracle.erase(id);
      } else if (op == 10) {
        const V more{id, (id + 7) % range, (id + 11) % range};
        s.add_many(more), oracle.insert(more.begin(), more.end());
      } else if (op == 11) {
        s.union_with(HybridSet::of((id + 3) % range)), oracle.insert((id + 3) % range);
      } else {
        Bitmap keep;
        for (uint32_t x : oracle) {
          if (rng() % 3) keep.add(x);
        }
        s.intersect_with(keep);
        std::erase_if(oracle, [&](uint32_t x) { return !keep.contains(x); });
      }
      ASSERT_GE(s.kind(), prev) << "a set went back to a smaller form";
      prev = s.kind();
      V expected(oracle.begin(), oracle.end());
      ASSERT_EQ(contents(s), expected);
      // Twice: the second answer is the size a reader counted and kept,
      // which every change must forget.
      ASSERT_EQ(s.cardinality(), oracle.size());
      ASSERT_EQ(s.cardinality(), oracle.size());
      ASSERT_EQ(s.is_empty(), oracle.empty());
      ASSERT_EQ(s.contains(id), oracle.count(id) == 1);
      Bitmap out{4000000000u};
      s.add_to(out);
      out.remove(4000000000u);
      ASSERT_EQ(out.to_vector(), expected);
      ASSERT_EQ(s.to_bitmap().to_vector(), expected);
    }
  }
}

TEST(HybridSet, AddManyHoldsEveryIdFromEveryForm) {
  std::mt19937 rng(8);
  for (Kind kind : {Kind::Empty, Kind::Small, Kind::Medium, Kind::Large}) {
    for (std::size_t n : {0u, 1u, 3u, 4u, 50u, 3000u}) {
      std::set<uint32_t> before;
      if (kind != Kind::Empty) before = {2, 9};
      HybridSet s = make(kind, before);
      V batch;
      for (std::size_t i = 0; i < n; ++i) batch.push_back(rng() % 20000);
      if (n > 4) std::sort(batch.begin(), batch.end());  // bulk batches come ascending
      s.add_many(batch);
      std::set<uint32_t> oracle = before;
      oracle.insert(batch.begin(), batch.end());
      ASSERT_EQ(contents(s), V(oracle.begin(), oracle.end())) << int(kind) << " " << n;
      if (n >= 4) {
        EXPECT_EQ(s.kind(), Kind::Large) << int(kind) << " " << n;
      } else if (n == 0) {
        EXPECT_EQ(s.kind(), kind);
      }
    }
  }
}

TEST(HybridSet, UnionFollowsFormTable) {
  std::mt19937 rng(17);
  const Kind kinds[] = {Kind::Empty, Kind::Small, Kind::Medium, Kind::Large};
  for (int round = 0; round < 400; ++round) {
    for (Kind ka : kinds) {
      for (Kind kb : kinds) {
        std::set<uint32_t> ia, ib;
        auto most = [](Kind kind) { return kind == Kind::Empty ? 1 : kind == Kind::Small ? 4 : 5; };
        for (int k = rng() % most(ka); k > 0; --k) ia.insert(rng() % 10);
        for (int k = rng() % most(kb); k > 0; --k) ib.insert(rng() % 10);
        HybridSet a = make(ka, ia), b = make(kb, ib);
        ASSERT_EQ(a.kind(), ka);
        ASSERT_EQ(b.kind(), kb);
        a.union_with(b);
        std::set<uint32_t> both = ia;
        both.insert(ib.begin(), ib.end());
        ASSERT_EQ(contents(a), V(both.begin(), both.end()));
        ASSERT_EQ(contents(b), V(ib.begin(), ib.end()));

        Kind expected =
            kb == Kind::Empty                                                      ? ka
            : ka == Kind::Empty                                                    ? kb
            : ka == Kind::Large || kb == Kind::Large || ia.size() + ib.size() > 4  ? Kind::Large
            : ka == Kind::Small && kb == Kind::Small && ia.size() + ib.size() <= 3 ? Kind::Small
                                                                                   : Kind::Medium;
        ASSERT_EQ(a.kind(), expected) << int(ka) << " with " << int(kb);
      }
    }
  }
}

TEST(HybridSet, CopiesAreDeepAndMovesEmptyTheSource) {
  for (Kind kind : {Kind::Small, Kind::Medium, Kind::Large}) {
    HybridSet original = make(kind, {10, 20, 30});
    HybridSet copy = original;
    HybridSet assigned = make(Kind::Large, {99});
    assigned = original;
    original.remove(10);
    EXPECT_EQ(contents(copy), (V{10, 20, 30}));
    EXPECT_EQ(contents(assigned), (V{10, 20, 30}));
    HybridSet moved = std::move(original);
    EXPECT_EQ(moved.kind(), kind);
    EXPECT_EQ(contents(moved), (V{20, 30}));
    EXPECT_EQ(original.kind(), Kind::Empty);  // NOLINT(bugprone-use-after-move)
  }
}

}  // namespace
}  // namespace quorvane
