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
  for (const auto* ids : {&dense, &sparse, &interleaved, &random, &spread, &back_and_forth}) {
    expect_pushes_land(*ids, rng);
  }
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
