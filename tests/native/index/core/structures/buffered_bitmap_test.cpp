#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace quorvane {
namespace {

std::vector<uint32_t> range(uint32_t from, uint32_t to) {
  std::vector<uint32_t> v(to - from);
  std::iota(v.begin(), v.end(), from);
  return v;
}

TEST(BufferedBitmap, PushBatchesWhenTheNextIdArrivesAndFlushEmpties) {
  BufferedBitmap<64> cell;
  for (uint32_t id = 0; id < 64; ++id) cell.push(id);
  EXPECT_TRUE(cell.bitmap().is_empty());  // a full buffer waits for the next id
  cell.push(64);
  EXPECT_EQ(cell.bitmap().to_vector(), range(0, 64));
  EXPECT_EQ(cell.pending_count(), 1u);
  cell.flush();
  cell.flush();  // nothing pending: no change
  EXPECT_EQ(cell.bitmap().to_vector(), range(0, 65));
  EXPECT_EQ(cell.pending_count(), 0u);

  BufferedBitmap<32> small;
  for (uint32_t id = 100; id < 200; ++id) small.push(id);
  EXPECT_EQ(small.pending_count(), 4u);
  small.flush();
  EXPECT_EQ(small.bitmap().to_vector(), range(100, 200));
}

TEST(BufferedBitmap, DirectPathsBypassTheBufferAndMovesCarryPending) {
  BufferedBitmap<64> cell;
  cell.add(5);
  cell.push(6);
  cell.push(7);
  cell.remove(6);  // pending ids are not searched
  EXPECT_EQ(cell.bitmap().to_vector(), (std::vector<uint32_t>{5}));
  BufferedBitmap<64> target;
  target.add(1);
  target = std::move(cell);
  target.flush();
  EXPECT_EQ(target.bitmap().to_vector(), (std::vector<uint32_t>{5, 6, 7}));
}

}  // namespace
}  // namespace quorvane
