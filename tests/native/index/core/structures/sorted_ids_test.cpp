#include "index/core/structures/bitmap/sorted_ids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace quorvane {
namespace {

// Every size band (each sorts by digits of another width) and every id
// range (one digit to four, high digits shared or not) against std::sort.
TEST(SortedIds, AgreesWithStdSortInEveryBandAndIdRange) {
  std::mt19937 rng(3);
  for (std::size_t n : {0u, 1u, 63u, 64u, 1000u, 4095u, 4096u, 20000u, 65535u, 65536u, 200000u}) {
    for (uint64_t limit : {uint64_t{256}, uint64_t{1} << 16, uint64_t{1} << 20, uint64_t{1} << 24,
                           uint64_t{1} << 32}) {
      std::uniform_int_distribution<uint64_t> pick(0, limit - 1);
      std::vector<uint32_t> ids(n);
      for (uint32_t& id : ids) id = static_cast<uint32_t>(pick(rng));
      std::vector<uint32_t> expected = ids;
      std::sort(expected.begin(), expected.end());
      const auto got = sorted_ids(ids);
      ASSERT_EQ(std::vector<uint32_t>(got.begin(), got.end()), expected) << n << " " << limit;
      ASSERT_EQ(got.data(), ids.data());  // in place
    }
  }
}

// Ids that share their low digits, or all but one digit, or are all equal
// (all 0 has no digit to sort by):
// the passes that a shared digit skips must not lose the order of the others.
TEST(SortedIds, SharedDigitsAndDuplicates) {
  std::mt19937 rng(5);
  for (std::size_t n : {100u, 5000u, 70000u}) {
    std::vector<std::vector<uint32_t>> cases(4, std::vector<uint32_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
      cases[0][i] = static_cast<uint32_t>(rng() % 4096) << 20 | 0x5A5A5u;  // low digits shared
      cases[1][i] = 0xAB000000u | static_cast<uint32_t>(rng() % 256);      // high digits shared
      cases[2][i] = 0xFFFFFFFFu;                                           // all equal
      cases[3][i] = 0;                                                     // no digit at all
    }
    for (std::vector<uint32_t>& ids : cases) {
      std::vector<uint32_t> expected = ids;
      std::sort(expected.begin(), expected.end());
      const auto got = sorted_ids(ids);
      ASSERT_EQ(std::vector<uint32_t>(got.begin(), got.end()), expected) << n;
    }
  }
}

}  // namespace
}  // namespace quorvane
