#include "index/core/structures/bitmap/sorted_ids.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace quorvane {

// A least-significant-digit radix sort whose digits widen with the
// number of ids. One pass counts every digit; each digit then costs one
// scatter pass (its counts stay in the first-level cache). Digits above the
// largest id, and digits every id shares, cost no pass.
std::span<const uint32_t> sorted_ids(std::span<uint32_t> ids) {
  const std::size_t n = ids.size();
  if (n < 64) {
    std::sort(ids.begin(), ids.end());
    return ids;
  }
  const int bits = n < 4096 ? 8 : n < 65536 ? 11 : 16;
  const uint32_t mask = (uint32_t{1} << bits) - 1;
  const std::size_t radix = std::size_t{mask} + 1;
  const uint32_t top = *std::max_element(ids.begin(), ids.end());
  int digits = 0;
  while (digits * bits < 32 && (top >> (digits * bits)) != 0) ++digits;
  if (digits == 0) return ids;  // every id is 0
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
