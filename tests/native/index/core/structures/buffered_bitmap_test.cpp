#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace quorvane {
namespace {

std::vector<uint32_t> sorted(const std::set<uint32_t>& s) {
  return {s.begin(), s.end()};
}

// Pushes `ids` into a cell that already holds some ids, with flushes at random
// points, and checks the cell against the set of everything added.
void expect_pushes_land(const std::vector<uint32_t>& ids, std::mt19937& rng) {
  BufferedBitmap cell;
  std::set<uint32_t> model = {1, 70000, 4000000};
  for (uint32_t id : model) cell.add(id);
  for (uint32_t id : ids) {
    cell.push(id);
    model.insert(id);
    if (rng() % 5000 == 0) {
      cell.flush();
      ASSERT_EQ(cell.pending_count(), 0u);
      ASSERT_EQ(cell.bitmap().to_vector(), sorted(model));
    }
  }
  cell.flush();
  EXPECT_EQ(cell.pending_count(), 0u);
  EXPECT_EQ(cell.bitmap().to_vector(), sorted(model));
}

// Ascending runs (dense and sparse chunks), two interleaved runs, runs that
// go back, random order, repeats and ids spread thinly over many chunks all
// end up exactly in the bitmap.
TEST(BufferedBitmap, EveryOrderOfPushesLandsExactly) {
  std::mt19937 rng(17);
  std::vector<uint32_t> dense, sparse, interleaved, random, spread;
  for (uint32_t id = 100; id < 300000; ++id) {
    if (rng() % 2) dense.push_back(id);
    if (rng() % 100 == 0) sparse.push_back(id);
  }
  for (uint32_t i = 0; i < 100000; ++i) {
    interleaved.push_back(i * 3);
    interleaved.push_back(5000000 + i * 2);
  }
  for (int i = 0; i < 50000; ++i) random.push_back(rng() % 2000000);
  random.push_back(random.front());
  for (uint32_t i = 0; i < 3000; ++i) spread.push_back(i * 65536 * 7 + i % 65536);
  std::vector<uint32_t> back_and_forth = dense;
  back_and_forth.insert(back_and_forth.end(), sparse.begin(), sparse.end());
  // The last keys of the id range, where the chunk's key is 0xFFFF.
  std::vector<uint32_t> top;
  for (uint32_t id = UINT32_MAX - 200000; id < UINT32_MAX; id += 1 + rng() % 3) top.push_back(id);
  top.push_back(UINT32_MAX);
  for (const auto* ids : {&dense, &sparse, &interleaved, &random, &spread, &back_and_forth, &top}) {
    expect_pushes_land(*ids, rng);
  }
}

// The write state exists only between the first push and flush / discard;
// copies take their own, moves carry it, and a cell keeps working after
// each step. Pushes waiting in the array buffer count each, ids in the
// chunk count once.
TEST(BufferedBitmap, WriteStateComesAndGoesWithTheWrite) {
  BufferedBitmap cell;
  cell.add(1);
  cell.push(9);
  cell.push(9);
  EXPECT_EQ(cell.pending_count(), 2u) << "the array buffer keeps repeats";
  cell.flush();
  EXPECT_EQ(cell.pending_count(), 0u);
  EXPECT_EQ(cell.bitmap().to_vector(), (std::vector<uint32_t>{1, 9}));

  // Enough ascending ids to be given a chunk (the 256 that filled the
  // array buffer went to the bitmap then), a repeat in it, one below it.
  for (uint32_t id = 1000; id < 1400; ++id) cell.push(id);
  cell.push(1300);
  cell.push(500);
  EXPECT_EQ(cell.pending_count(), 144u + 1u);
  BufferedBitmap copy = cell;
  BufferedBitmap assigned;
  assigned.push(77);  // its own pending ids are dropped by the assignment
  assigned = cell;
  BufferedBitmap moved = std::move(cell);
  EXPECT_EQ(cell.pending_count(), 0u);
  EXPECT_TRUE(cell.bitmap().is_empty());
  cell.push(5);
  cell.flush();
  EXPECT_EQ(cell.bitmap().to_vector(), (std::vector<uint32_t>{5}));

  std::vector<uint32_t> expected{1, 9, 500};
  for (uint32_t id = 1000; id < 1400; ++id) expected.push_back(id);
  for (BufferedBitmap* c : {&copy, &assigned, &moved}) {
    EXPECT_EQ(c->pending_count(), 145u);
    c->push(70000);  // the run moves on to the next key
    c->flush();
    EXPECT_EQ(c->pending_count(), 0u);
    auto with_next = expected;
    with_next.push_back(70000);
    EXPECT_EQ(c->bitmap().to_vector(), with_next);
  }
  copy.discard_pending();
  copy.push(3);
  copy.discard_pending();
  EXPECT_EQ(copy.pending_count(), 0u);
  EXPECT_FALSE(copy.bitmap().contains(3));
  copy.remove(70000);
  EXPECT_FALSE(copy.bitmap().contains(70000));
}

TEST(BufferedBitmap, PendingIdsStayInvisibleUntilFlushAndCanBeDropped) {
  BufferedBitmap cell;
  cell.push(5);
  cell.push(6);
  cell.push(3);  // below the chunk's run: waits in the array buffer
  EXPECT_EQ(cell.pending_count(), 3u);
  EXPECT_TRUE(cell.bitmap().is_empty());
  BufferedBitmap copy = cell;
  cell.discard_pending();
  cell.flush();
  EXPECT_TRUE(cell.bitmap().is_empty());
  copy.flush();
  EXPECT_EQ(copy.bitmap().to_vector(), (std::vector<uint32_t>{3, 5, 6}));
  BufferedBitmap moved = std::move(copy);
  moved.push(65536 * 3);
  moved.flush();
  EXPECT_EQ(moved.bitmap().cardinality(), 4u);
}

}  // namespace
}  // namespace quorvane
