#include "index/core/structures/bitmap/sorted_ids.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace quorvane {

// A least-significant-digit radix sort whose digits widen with the number
// of ids and the largest id. One pass counts every digit; each digit then
// costs one scatter pass. Digits above the largest id, and digits every id
// shares, cost no pass.
std::span<const uint32_t> sorted_ids(std::span<uint32_t> ids) {
  const std::size_t n = ids.size();
  if (n < 64) {
    std::sort(ids.begin(), ids.end());
    return ids;
  }
  const uint32_t top = *std::max_element(ids.begin(), ids.end());
  if (top == 0) return ids;  // every id is 0
  // The width whose passes cost least: each digit costs a count and a
  // scatter of every id, and its counts to clear and sum; 999 ids below a
  // million sort in two 10-bit passes rather than three 8-bit ones.
  const int top_bits = std::bit_width(top);
  int bits = 8;
  int digits = 0;
  std::size_t least = SIZE_MAX;
  for (int width : {8, 10, 11, 13, 16}) {
    const int d = (top_bits + width - 1) / width;
    const std::size_t cost = static_cast<std::size_t>(d) * (2 * n + (std::size_t{1} << width));
    if (cost < least) least = cost, bits = width, digits = d;
  }
  const uint32_t mask = (uint32_t{1} << bits) - 1;
  const std::size_t radix = std::size_t{mask} + 1;
  std::vector<uint32_t> counts(radix * static_cast<std::size_t>(digits), 0);
  // Unrolled over the (at most four) digits.
  auto count = [&]<int D>() {
    uint32_t* c = counts.data();
    for (uint32_t id : ids) {
      for (int d = 0; d < D; ++d) ++c[d * radix + ((id >> (d * bits)) & mask)];
    }
  };
  switch (digits) {
    case 1:
      count.template operator()<1>();
      break;
    case 2:
      count.template operator()<2>();
      break;
    case 3:
      count.template operator()<3>();
      break;
    default:
      count.template operator()<4>();
      break;
  }
  std::unique_ptr<uint32_t[]> scratch(new uint32_t[n]);  // every slot is written before read
  uint32_t* from = ids.data();
  uint32_t* to = scratch.get();
  for (int d = 0; d < digits; ++d) {
    uint32_t* start = counts.data() + d * radix;
    const int shift = d * bits;
    if (start[(from[0] >> shift) & mask] == n) continue;  // every id shares this digit
    uint32_t sum = 0;
    for (std::size_t i = 0; i < radix; ++i) sum += std::exchange(start[i], sum);
    for (std::size_t i = 0; i < n; ++i) to[start[(from[i] >> shift) & mask]++] = from[i];
    std::swap(from, to);
  }
  if (from != ids.data()) std::copy(from, from + n, ids.data());
  return ids;
}

}  // namespace quorvane
