// NumericalBitmap: the ordered numeric index of one attribute, a bit-sliced
// index over 76-bit sort keys (NumericKey).
//
// Level i (0 = least significant key bit, 75 = most significant) holds one
// cell: the ids whose key has bit i = 1. A separate `all` cell holds every
// indexed id, so the ids with bit i = 0 are `all - one(i)` and are never
// stored. An insertion thus costs one set insertion per 1 bit of the key plus
// one into `all` (about ten for a small non-negative integer, not 76), and
// memory follows. Negative numbers, whose keys are bit-inverted, set most bits
// and gain little.
// Invariant outside a bulk write: every one cell is a subset of `all`, and an
// id of `all` is in exactly the one cells of its key's 1 bits. Range and
// equality queries rely on it and read cell bitmaps only (never pending ids).
// No key is stored anywhere else.
//
// No lock of its own: queries run under the owner's read lock, and may run on
// many threads at once; every change needs the owner's write lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"
#include "index/core/structures/ordered_bitmap/numeric_key.h"

namespace quorvane {

class NumericalBitmap {
 public:
  static constexpr int LEVELS = 76;
  using Cell = BufferedBitmap;

  // 76 empty one cells and an empty `all`.
  NumericalBitmap() = default;

  // Adds `id` under `key`: into `all` and the one cell of every 1 bit of the
  // key, directly into the bitmaps.
  void add(uint32_t id, NumericKey key);
  // Removes `id` from `all` and the one cells of `key`. It must be the key the
  // id was added under, or `id` stays behind in one cells outside `all`.
  void remove(uint32_t id, NumericKey key);
  // Buffered form of `add` for bulk writers; invisible to queries until
  // `flush`.
  void push(uint32_t id, NumericKey key);
  // Flushes every cell: one cells of levels 0..75, then `all`.
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
  // Adds every id of `scope` whose key lies between `lo` and `hi` (each end
  // included when closed) in one walk; nothing when lo is above hi.
  void get_between_into_base(NumericKey lo, bool lo_closed, NumericKey hi, bool hi_closed,
                             Bitmap& base, const Bitmap& scope) const;

  // Every indexed id (a copy of `all`).
  Bitmap all_ids() const;
  uint64_t size() const { return all_.bitmap().cardinality(); }

  // The highest (or lowest) key of the ids of `scope`, found level by level
  // from the most significant bit (76 intersections with a shrinking set);
  // none when no id of `scope` is indexed.
  std::optional<NumericKey> extreme_key(const Bitmap& scope, bool highest) const;

  // Cell by cell bitmap union with `other`, or with the ids of `other` that
  // are in `*only` when given (pending ids of `other` are not read; this
  // index's own pending ids stay pending).
  void union_with(const NumericalBitmap& other, const Bitmap* only = nullptr);
  // Cell by cell intersection with `keep`; pending ids are dropped.
  void intersect_with(const Bitmap& keep);
  // Cell by cell difference with `removed`; pending ids are dropped.
  void difference_with(const Bitmap& removed);

  // The cell of the ids whose key has bit `level` = 1. Throws Panic unless
  // 0 <= level < 76.
  Cell& one_cell(int level);
  const Cell& one_cell(int level) const;
  // The cell of every indexed id.
  Cell& all_cell() { return all_; }
  const Cell& all_cell() const { return all_; }

  // Bytes held by the cells' bitmaps, for memory reports.
  std::size_t memory_bytes() const;

 private:
  // Calls fn(cell) for the one cell of every 1 bit of `key`.
  template <class F>
  void for_each_one(NumericKey key, F&& fn);
  enum class Direction { Greater, Less };
  void walk(NumericKey key, Bitmap& base, const Bitmap& scope, Direction direction,
            bool inclusive) const;
  // The walk from level `top` down, over `eq`: ids whose key agrees with
  // `key` on every level above `top`. `tmp` is scratch.
  void walk(NumericKey key, Bitmap& base, Bitmap eq, int top, Direction direction, bool inclusive,
            Bitmap& tmp) const;

  using Cells = std::array<Cell, LEVELS>;
  // The cells, made when the first number is added (an attribute that never
  // holds a number costs a null pointer).
  Cells& ones();

  std::unique_ptr<Cells> ones_;
  Cell all_;
};

}  // namespace quorvane
