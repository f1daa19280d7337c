// NumericalBitmap: the ordered numeric index of one attribute, a bit-sliced
// index over 76-bit sort keys (NumericKey).
//
// Level i (0 = least significant key bit, 75 = most significant) holds two
// cells: the ids whose key has bit i = 0 (zero cell) and = 1 (one cell).
// Invariant outside a bulk write: every indexed id is in exactly one cell of
// every level. Range and equality queries rely on it and read cell bitmaps
// only (never pending ids). No key is stored anywhere else.
//
// No lock of its own: queries run under the owner's read lock, and may run on
// many threads at once; every change needs the owner's write lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"
#include "index/core/structures/ordered_bitmap/numeric_key.h"

namespace quorvane {

class NumericalBitmap {
 public:
  static constexpr int LEVELS = 76;
  using Cell = BufferedBitmap<64>;

  // 76 levels of two empty cells.
  NumericalBitmap() = default;

  // Adds `id` under `key`: one cell per level, directly into the bitmaps.
  void add(uint32_t id, NumericKey key);
  // Removes `id` from the cells of `key`. It must be the key the id was added
  // under, or the one-cell-per-level invariant breaks.
  void remove(uint32_t id, NumericKey key);
  // Buffered form of `add` for bulk writers; invisible to queries until
  // `flush`.
  void push(uint32_t id, NumericKey key);
  // Flushes every cell: levels 0..75, zero cell then one cell.
  void flush();

  // The ids whose key equals `key`.
  Bitmap get_eq(NumericKey key) const;

  // Range queries: add to `base` (by union; ids already there stay) every id
  // of `scope` whose key is >, >=, <, <= `key`. Ids of `scope` not in the
  // index are never added. Each takes this thread's scratch bitmap for its
  // duration and throws Panic if the thread is already inside one.
  void get_gt_into_base(NumericKey key, Bitmap& base, const Bitmap& scope) const;
  void get_gte_into_base(NumericKey key, Bitmap& base, const Bitmap& scope) const;
  void get_lt_into_base(NumericKey key, Bitmap& base, const Bitmap& scope) const;
  void get_lte_into_base(NumericKey key, Bitmap& base, const Bitmap& scope) const;

  // Every indexed id (the union of the top level's two cells).
  Bitmap all_ids() const;

  // Cell by cell bitmap union with `other` (pending ids of `other` are not
  // read; this index's own pending ids stay pending).
  void union_with(const NumericalBitmap& other);
  // Cell by cell intersection with `keep`; pending ids are dropped.
  void intersect_with(const Bitmap& keep);

  // The cell of key bit value `bit` at `level`. Throws Panic unless
  // 0 <= level < 76.
  Cell& cell(int level, bool bit);
  const Cell& cell(int level, bool bit) const;

  // Bytes held by the cells' bitmaps, for memory reports.
  std::size_t memory_bytes() const;

 private:
  enum class Direction { Greater, Less };
  void walk(NumericKey key, Bitmap& base, const Bitmap& scope, Direction direction,
            bool inclusive) const;

  std::array<std::array<Cell, 2>, LEVELS> levels_;
};

}  // namespace quorvane
