// PositionalBitmap: the string index of one attribute. Strings are laid out
// byte by byte in a row of columns, centred in the row; every column keeps
// one id set per byte value plus the ids of the strings that start and that
// end in it. Equality, prefix, suffix and substring questions then reduce to
// intersections of a few neighbouring cells.
//
// Layout rules the queries rely on:
// - The column count C is always even, and every stored string is strictly
//   shorter than C (insertion widens first).
// - A string of n >= 1 bytes starts at column C/2 - n/2 - 1 (integer
//   division), occupies n consecutive columns and ends at start + n - 1.
// - Widening by 2d columns adds d columns on each side, so a string placed at
//   s now sits at s + d, which is where the rule places it in the wider row.
// - Each id holds at most one string in an index: an id must be removed
//   before it is inserted with another text.
// - Empty strings are never stored; every operation treats an empty text as
//   "nothing to do" or "empty answer", so the caller keeps empty strings in
//   a set of its own (and answers an empty needle from it and all_ids()).
//
// Queries read only the cells' bitmaps: ids pushed by the bulk path are seen
// after flush(). No lock inside; the owner guards the index with a
// reader/writer lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"

namespace quorvane {

class PositionalBitmap {
 public:
  using Cell = BufferedBitmap;

  // A new index has no columns.
  PositionalBitmap() = default;
  PositionalBitmap(PositionalBitmap&&) noexcept = default;
  PositionalBitmap& operator=(PositionalBitmap&&) noexcept = default;

  std::size_t column_count() const { return columns_.size(); }

  // Widens to at least `n` columns (rounded up to even), adding half of the
  // new columns in front and half behind; cells, pending ids included, move
  // with their columns. Does nothing when there are already `n` columns.
  void expand_map(std::size_t n);

  // Stores `text` for `id` by adding to the cells directly; widens first when
  // the text is not strictly shorter than the column count. Empty: no-op.
  void insert(std::string_view text, uint32_t id);
  // As insert, but through the cells' pending buffers (bulk writing); the ids
  // become visible to queries after flush().
  void push(std::string_view text, uint32_t id);
  // Moves every pending id into its cell's bitmap: per column the start cell,
  // the end cell, then the byte cells 0..255.
  void flush();
  // Removes `text` stored for `id` from the cells' bitmaps (call it outside
  // a bulk write: pending ids are not searched). Never widens; a text that
  // cannot fit the columns is simply not stored. Absent ids, empty texts:
  // no-op.
  void remove(std::string_view text, uint32_t id);

  // The ids whose stored string is exactly `text`; empty for an empty text.
  Bitmap equal(std::string_view text) const;
  // The ids whose stored string begins / ends with `text`, byte for byte;
  // empty for an empty text.
  Bitmap starts_with(std::string_view text) const;
  Bitmap ends_with(std::string_view text) const;
  // The ids whose stored string contains `text` as a contiguous run of bytes;
  // empty for an empty text.
  Bitmap contains(std::string_view text) const;
  // Every id with a stored string (the union of the start cells).
  Bitmap all_ids() const;

  // Adds every string of `other` to this index (only the strings of ids in
  // `*only`, when given), widening to other's column count first. `other`
  // must have no pending ids (Panic otherwise).
  void union_with(const PositionalBitmap& other, const Bitmap* only = nullptr);
  // Keeps only the ids in `keep`, in every cell (pending ids are flushed
  // first).
  void intersect_with(const Bitmap& keep);

  // Approximate bytes held: the columns plus the bitmaps of their cells.
  std::size_t memory_bytes() const;

  // The start column of a string of `n` bytes in a row of `count` columns,
  // for 1 <= n < count.
  static std::size_t start_column(std::size_t n, std::size_t count) {
    return count / 2 - n / 2 - 1;
  }

  // Cells by position, for inspection. `column` < column_count(), else Panic.
  const Cell& starts_cell(std::size_t column) const { return at(column).starts; }
  const Cell& ends_cell(std::size_t column) const { return at(column).ends; }
  const Cell& byte_cell(std::size_t column, uint8_t byte) const { return at(column).bytes[byte]; }

 private:
  struct Column {
    Cell starts;
    Cell ends;
    std::array<Cell, 256> bytes;
  };

  class CellIntersection;

  const Column& at(std::size_t column) const;
  const Bitmap& byte_bits(std::size_t column, char byte) const {
    return columns_[column].bytes[static_cast<uint8_t>(byte)].bitmap();
  }
  // Calls `op(cell)` on every cell that holds a string of `text.size()`
  // bytes placed at `start`.
  template <class Op>
  void for_each_cell_of(std::size_t start, std::string_view text, Op&& op);
  // Adds the cells of text[k] at column base + k to `cells`; false as soon as
  // one is empty.
  bool gather(CellIntersection& cells, std::size_t base, std::string_view text) const;

  std::vector<Column> columns_;
};

}  // namespace quorvane
