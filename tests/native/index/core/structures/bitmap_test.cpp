#include "index/core/structures/bitmap/bitmap.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quorvane {
namespace {

using Model = std::set<uint32_t>;

std::vector<uint32_t> to_vec(const std::set<uint32_t>& s) {
  return {s.begin(), s.end()};
}

// Checks every read of `bitmap` against `model`: contents and order, count,
// emptiness, maximum, membership of the ids and of their neighbours, early
// stop of for_each, and equality with a set built another way.
void expect_holds(const Bitmap& bitmap, const Model& model) {
  ASSERT_EQ(bitmap.to_vector(), to_vec(model));
  EXPECT_EQ(bitmap.cardinality(), model.size());
  EXPECT_EQ(bitmap.is_empty(), model.empty());
  EXPECT_EQ(bitmap.maximum(), model.empty() ? std::nullopt : std::optional(*model.rbegin()));
  for (uint32_t id : model) {
    EXPECT_TRUE(bitmap.contains(id)) << id;
    for (uint32_t near : {id - 1, id + 1, id ^ 0x10000u}) {
      EXPECT_EQ(bitmap.contains(near), model.count(near) == 1) << near;
    }
  }
  EXPECT_FALSE(bitmap.contains(123456789u) && model.count(123456789u) == 0);
  std::vector<uint32_t> first_two;
  bitmap.for_each([&](uint32_t id) {
    first_two.push_back(id);
    return first_two.size() < 2;
  });
  std::vector<uint32_t> expected(model.begin(), model.end());
  expected.resize(std::min<std::size_t>(2, expected.size()));
  EXPECT_EQ(first_two, expected);
  const std::vector<uint32_t> ids(model.begin(), model.end());
  EXPECT_TRUE(bitmap == Bitmap::from_ids(ids));
  // Read in pieces of several widths, each from one past the last id read,
  // the pieces put together are the ids; nothing is read past the largest.
  for (std::size_t width : {1, 7, 300}) {
    std::vector<uint32_t> pieces, piece(width);
    for (uint64_t first = 0; first <= UINT32_MAX;) {
      const std::size_t n = bitmap.copy_from(static_cast<uint32_t>(first), piece);
      pieces.insert(pieces.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
      if (n < width) break;
      first = uint64_t{piece[n - 1]} + 1;
    }
    EXPECT_EQ(pieces, ids) << width;
    if (!ids.empty() && ids.back() < UINT32_MAX) {
      EXPECT_EQ(bitmap.copy_from(ids.back() + 1, piece), 0u);
    }
  }
}

// Sets of every storage shape, drawn from one small universe so that they
// overlap: empty, one id, a few ids under one 65536-id key (2, up to the
// few-ids limit of 256, one past it), ids under two keys and under many (up
// to the same limit, one past it), ids at the top of
// the id range, and large sets, sparse and dense.
std::vector<std::pair<std::string, Model>> shapes() {
  std::mt19937 rng(99);
  const uint32_t key5 = 5u << 16, key6 = 6u << 16;
  auto few = [&](uint32_t base, std::size_t count, uint32_t spread) {
    Model m;
    while (m.size() < count) m.insert(base + rng() % spread);
    return m;
  };
  std::vector<std::pair<std::string, Model>> out;
  out.push_back({"empty", {}});
  out.push_back({"one", {key5 + 7}});
  out.push_back({"one other key", {key6 + 7}});
  out.push_back({"two", {key5 + 7, key5 + 9}});
  out.push_back({"few in a row", {key5 + 7, key5 + 8, key5 + 9, key5 + 10}});
  out.push_back({"few", few(key5, 20, 40)});
  out.push_back({"few 256", few(key5, 256, 400)});
  out.push_back({"few 257", few(key5, 257, 400)});
  out.push_back({"two keys", {key5 + 7, key6 + 7}});
  // Ids under many keys: each shape of up to 256 ids is one spread block.
  auto scattered = [&](std::size_t count) {
    Model m;
    while (m.size() < count) m.insert(key5 + rng() % (40u << 16));
    return m;
  };
  out.push_back({"scattered", scattered(18)});
  out.push_back({"scattered 256", scattered(256)});
  out.push_back({"scattered 257", scattered(257)});
  Model spread = few(key5, 150, 400);
  for (uint32_t id : few(key6, 150, 400)) spread.insert(id);
  out.push_back({"spread", spread});
  out.push_back({"top", {UINT32_MAX - 3, UINT32_MAX}});
  Model large = few(key5, 3000, 5000);
  for (uint32_t i = 0; i < 2000; ++i) large.insert(rng() % 50'000'000);
  out.push_back({"large", large});
  Model dense;
  for (uint32_t id = key5; id < key5 + 70000; id += 1 + (id % 3 == 0)) dense.insert(id);
  out.push_back({"dense", dense});
  // Every id of a range (as an engine's members are), one inside it, and
  // one with a single id missing, which must not pass for a range.
  Model interval, inside;
  for (uint32_t id = key5; id <= key5 + 70000; ++id) interval.insert(id);
  for (uint32_t id = key5 + 300; id <= key5 + 5000; ++id) inside.insert(id);
  Model gap = interval;
  gap.erase(key5 + 4000);
  out.push_back({"interval", interval});
  out.push_back({"interval inside", inside});
  out.push_back({"interval with a gap", gap});
  return out;
}

// Builds a set holding `model` in one of several ways.
Bitmap build(const Model& model, int way) {
  const std::vector<uint32_t> ids(model.begin(), model.end());
  Bitmap out;
  switch (way % 4) {
    case 0:
      for (uint32_t id : ids) out.add(id);
      break;
    case 1:
      for (auto it = ids.rbegin(); it != ids.rend(); ++it) out.add(*it);
      break;
    case 2:
      out = Bitmap::from_ids(ids);
      break;
    default: {
      // Through a larger set shrunk by removals.
      for (uint32_t id : ids) out.add(id);
      for (uint32_t extra : {1u, 5u << 16, 999'999'999u}) {
        if (model.count(extra) == 0) {
          out.add(extra);
          out.remove(extra);
        }
      }
      break;
    }
  }
  return out;
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
// add_many and add_chunk_bits into sets of every shape: batches that fit
// the few-ids form and batches that do not, under the set's key or another.
TEST(Bitmap, BatchesAddToEveryShape) {
  std::mt19937 rng(21);
  int way = 0;
  for (const auto& [name, model] : shapes()) {
    for (uint16_t key : {uint16_t{5}, uint16_t{6}}) {
      for (std::size_t count : {1u, 40u, 300u, 5000u}) {
        SCOPED_TRACE(name + ", key " + std::to_string(key) + ", " + std::to_string(count));
        std::vector<uint64_t> words(1024, 0);
        std::vector<uint32_t> batch;
        Model expected = model;
        std::size_t first = 1023, last = 0;
        for (std::size_t i = 0; i < count; ++i) {
          const uint32_t low = rng() % (count < 100 ? 600 : 65536);
          words[low >> 6] |= uint64_t{1} << (low & 63);
          first = std::min<std::size_t>(first, low >> 6);
          last = std::max<std::size_t>(last, low >> 6);
          batch.push_back((uint32_t{key} << 16) | low);
          expected.insert(batch.back());
        }
        Bitmap by_bits = build(model, way++);
        by_bits.add_chunk_bits(key, words.data(), first, last);
        expect_holds(by_bits, expected);
        Bitmap by_batch = build(model, way++);
        by_batch.add_many(batch);
        expect_holds(by_batch, expected);
      }
    }
  }
  Bitmap unchanged{1, 2};
  std::vector<uint64_t> zero(1024, 0);
  unchanged.add_chunk_bits(3, zero.data(), 0, 1023);
  unchanged.add_many({});
  expect_holds(unchanged, {1, 2});
}

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

// Every operation on every pair of set shapes (each storage form against
// each, the empty one included) agrees with std::set, and every result
// reads back correctly through every read.
TEST(Bitmap, EveryOperationAgreesWithStdSetForEveryPairOfShapes) {
  const auto all = shapes();
  int way = 0;
  for (const auto& [a_name, a] : all) {
    for (const auto& [b_name, b] : all) {
      SCOPED_TRACE(a_name + " with " + b_name);
      const Bitmap ba = build(a, way++);
      const Bitmap bb = build(b, way++);
      Model u = a, inter, diff;
      u.insert(b.begin(), b.end());
      for (uint32_t x : a) (b.count(x) ? inter : diff).insert(x);

      expect_holds(ba.unioned(bb), u);
      expect_holds(ba.intersected(bb), inter);
      expect_holds(ba.differenced(bb), diff);
      EXPECT_EQ(ba.intersects(bb), !inter.empty());
      EXPECT_EQ(ba.is_subset_of(bb), inter.size() == a.size());
      EXPECT_EQ(ba == bb, a == b);

      Bitmap in_place = ba;
      in_place.union_with(bb);
      expect_holds(in_place, u);
      in_place = ba;
      in_place.intersect_with(bb);
      expect_holds(in_place, inter);
      in_place = ba;
      in_place.difference_with(bb);
      expect_holds(in_place, diff);
      // A result keeps working as a set: add to it and remove from it.
      in_place.add(5u << 16);
      diff.insert(5u << 16);
      if (!a.empty()) {
        in_place.remove(*a.begin());
        diff.erase(*a.begin());
      }
      expect_holds(in_place, diff);
    }
  }
}

// Each form with itself, and the reads of every shape built every way.
TEST(Bitmap, SelfOperationsAndReadsOfEveryShape) {
  int way = 0;
  for (const auto& [name, model] : shapes()) {
    SCOPED_TRACE(name);
    for (int i = 0; i < 4; ++i) expect_holds(build(model, way++), model);
    // The bounds of a set that fills them, in every form.
    for (int i = 0; i < 4; ++i) {
      const std::optional<IdInterval> interval = build(model, way++).interval();
      const bool fills =
          !model.empty() && uint64_t{*model.rbegin()} - *model.begin() + 1 == model.size();
      ASSERT_EQ(interval.has_value(), fills);
      if (fills) {
        EXPECT_EQ(interval->lo, *model.begin());
        EXPECT_EQ(interval->hi, *model.rbegin());
      }
    }
    // Whether every id lies within bounds: exactly the model's span, and
    // bounds one id short at either end.
    if (!model.empty()) {
      const uint32_t lo = *model.begin(), hi = *model.rbegin();
      const Bitmap b = build(model, way++);
      EXPECT_TRUE(b.is_within({lo, hi}));
      EXPECT_TRUE(b.is_within({0, UINT32_MAX}));
      if (lo < hi) {
        EXPECT_FALSE(b.is_within({lo + 1, hi}));
        EXPECT_FALSE(b.is_within({lo, hi - 1}));
      }
    } else {
      EXPECT_TRUE(build(model, way++).is_within({5, 4}));
    }
    Bitmap a = build(model, way++);
    a.union_with(a);
    expect_holds(a, model);
    a.intersect_with(a);
    expect_holds(a, model);
    EXPECT_TRUE(a.is_subset_of(a));
    EXPECT_TRUE(a == a);
    EXPECT_EQ(a.intersects(a), !model.empty());
    Bitmap copy(a);
    Bitmap assigned;
    assigned = a;
    Bitmap moved(std::move(copy));
    expect_holds(copy, {});  // a moved-from set is empty and usable
    copy.add(3);
    expect_holds(copy, {3});
    a.optimize();
    expect_holds(a, model);
    expect_holds(assigned, model);
    expect_holds(moved, model);
    a.difference_with(a);
    expect_holds(a, {});
    assigned.clear();
    expect_holds(assigned, {});
    assigned.add(9);
    expect_holds(assigned, {9});
  }
  Bitmap none;
  expect_holds(none, {});
  expect_holds(Bitmap(0u), {});
  Bitmap with_room(16u);
  EXPECT_TRUE(with_room.is_empty());
  EXPECT_EQ(with_room.to_vector(), std::vector<uint32_t>{});
  with_room.add(4);
  EXPECT_EQ(with_room.to_vector(), std::vector<uint32_t>{4});
}

// Growing and shrinking one set across its forms: a few ids up to 256 under
// one key, the 257th, a second key, then removals down to one id and to
// none, where the storage is gone.
TEST(Bitmap, FormsChangeAtTheirLimitsWithoutLosingIds) {
  std::mt19937 rng(4);
  const uint32_t key = 9u << 16;
  Bitmap set;
  Model model;
  auto step = [&](uint32_t id, bool add) {
    if (add) {
      set.add(id), model.insert(id);
    } else {
      set.remove(id), model.erase(id);
    }
    expect_holds(set, model);
  };
  std::vector<uint32_t> lows(300);
  for (uint32_t i = 0; i < lows.size(); ++i) lows[i] = key + i * 7;
  std::shuffle(lows.begin(), lows.end(), rng);
  EXPECT_EQ(set.size_in_bytes(), 0u) << "an empty set allocates nothing";
  step(lows[0], true);
  EXPECT_EQ(set.size_in_bytes(), 0u) << "one id is held inside the set";
  for (std::size_t i = 1; i < 256; ++i) step(lows[i], true);
  EXPECT_GT(set.size_in_bytes(), 0u);
  step(lows[0], true);  // a repeat at the limit changes nothing
  step(lows[256], true);
  step(key + 5, false);  // absent: nothing happens
  for (std::size_t i = 0; i < 200; ++i) step(lows[i], false);
  step(7, true);  // another key
  while (!model.empty()) step(*model.begin(), false);
  EXPECT_EQ(set.size_in_bytes(), 0u);

  // Few ids that gain an id under another key, and lose it again.
  Bitmap few{key + 1, key + 2, key + 3};
  few.add(key + 65536);
  few.remove(key + 65536);
  expect_holds(few, {key + 1, key + 2, key + 3});
  few.remove(key + 2);
  few.remove(key + 1);
  expect_holds(few, {key + 3});
  few.remove(key + 3);
  few.remove(key + 3);
  expect_holds(few, {});
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
