#include "index/core/structures/positional_bitmap/positional_bitmap.h"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/panic.h"

namespace quorvane {

const PositionalBitmap::Column& PositionalBitmap::at(std::size_t column) const {
  if (column >= columns_.size()) panic_out_of_bounds(column, columns_.size());
  return columns_[column];
}

void PositionalBitmap::expand_map(std::size_t n) {
  // Columns are moved, never copied, when the row grows or rotates.
  static_assert(std::is_nothrow_move_constructible_v<Column>);
  const std::size_t target = n + (n & 1);
  const std::size_t count = columns_.size();
  if (target <= count) return;
  const std::size_t shift = (target - count) / 2;
  columns_.resize(target);
  // The new columns were appended; bring half of them to the front.
  std::rotate(columns_.begin(), columns_.end() - static_cast<std::ptrdiff_t>(shift),
              columns_.end());
}

template <class Op>
void PositionalBitmap::for_each_cell_of(std::size_t start, std::string_view text, Op&& op) {
  const std::size_t n = text.size();
  op(columns_[start].starts);
  for (std::size_t k = 0; k < n; ++k) op(columns_[start + k].bytes[static_cast<uint8_t>(text[k])]);
  op(columns_[start + n - 1].ends);
}

void PositionalBitmap::insert(std::string_view text, uint32_t id) {
  if (text.empty()) return;
  if (text.size() >= columns_.size()) expand_map(text.size() + 1);
  for_each_cell_of(start_column(text.size(), columns_.size()), text,
                   [id](Cell& cell) { cell.add(id); });
}

void PositionalBitmap::push(std::string_view text, uint32_t id) {
  if (text.empty()) return;
  if (text.size() >= columns_.size()) expand_map(text.size() + 1);
  for_each_cell_of(start_column(text.size(), columns_.size()), text,
                   [id](Cell& cell) { cell.push(id); });
}

void PositionalBitmap::flush() {
  for (Column& column : columns_) {
    column.starts.flush();
    column.ends.flush();
    for (Cell& cell : column.bytes) cell.flush();
  }
}

void PositionalBitmap::remove(std::string_view text, uint32_t id) {
  if (text.empty() || text.size() >= columns_.size()) return;
  for_each_cell_of(start_column(text.size(), columns_.size()), text,
                   [id](Cell& cell) { cell.remove(id); });
}

// The cells a candidate placement must all hold, intersected in an order
// that keeps the working set small: the smallest byte cell first, then the
// boundary cells (dense sets, so intersecting with them costs only the size
// of the working set), then the other byte cells from the smallest up.
class PositionalBitmap::CellIntersection {
 public:
  void clear() {
    boundaries_.clear();
    bytes_.clear();
  }
  // Adds a boundary / byte cell; returns false when it is empty (the
  // intersection is then empty and the candidate can be skipped).
  bool add_boundary(const Bitmap& cell) {
    if (cell.is_empty()) return false;
    boundaries_.push_back(&cell);
    return true;
  }
  bool add_byte(const Bitmap& cell) {
    const uint64_t cardinality = cell.cardinality();
    if (cardinality == 0) return false;
    bytes_.emplace_back(cardinality, &cell);
    return true;
  }

  // result |= the intersection of the added cells (at least one byte cell).
  void union_into(Bitmap& result) {
    std::sort(bytes_.begin(), bytes_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    order_.clear();
    order_.push_back(bytes_[0].second);
    order_.insert(order_.end(), boundaries_.begin(), boundaries_.end());
    for (std::size_t i = 1; i < bytes_.size(); ++i) order_.push_back(bytes_[i].second);

    if (order_.size() == 1) {
      result.union_with(*order_[0]);
      return;
    }
    Bitmap work = order_[0]->intersected(*order_[1]);
    for (std::size_t i = 2; i < order_.size() && !work.is_empty(); ++i)
      work.intersect_with(*order_[i]);
    if (!work.is_empty()) result.union_with(work);
  }

 private:
  std::vector<const Bitmap*> boundaries_;
  std::vector<std::pair<uint64_t, const Bitmap*>> bytes_;
  std::vector<const Bitmap*> order_;
};

bool PositionalBitmap::gather(CellIntersection& cells, std::size_t base,
                              std::string_view text) const {
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (!cells.add_byte(byte_bits(base + k, text[k]))) return false;
  }
  return true;
}

// In every query below, a needle of n >= C bytes matches nothing: stored
// strings are strictly shorter than C.

Bitmap PositionalBitmap::equal(std::string_view text) const {
  Bitmap result;
  const std::size_t n = text.size();
  const std::size_t count = columns_.size();
  if (n == 0 || n >= count) return result;
  const std::size_t start = start_column(n, count);
  CellIntersection cells;
  if (cells.add_boundary(columns_[start].starts.bitmap()) &&
      cells.add_boundary(columns_[start + n - 1].ends.bitmap()) && gather(cells, start, text)) {
    cells.union_into(result);
  }
  return result;
}

Bitmap PositionalBitmap::starts_with(std::string_view text) const {
  Bitmap result;
  const std::size_t n = text.size();
  const std::size_t count = columns_.size();
  if (n == 0 || n >= count) return result;
  // Strings start at or before the middle column C/2 - 1, and a match of n
  // bytes must fit the row.
  const std::size_t last_start = std::min(count - n, count / 2 - 1);
  CellIntersection cells;
  for (std::size_t j = 0; j <= last_start; ++j) {
    cells.clear();
    if (cells.add_boundary(columns_[j].starts.bitmap()) && gather(cells, j, text))
      cells.union_into(result);
  }
  return result;
}

Bitmap PositionalBitmap::ends_with(std::string_view text) const {
  Bitmap result;
  const std::size_t n = text.size();
  const std::size_t count = columns_.size();
  if (n == 0 || n >= count) return result;
  // Strings end at or after the middle column C/2 - 1, and a match of n
  // bytes ending at e needs e >= n - 1.
  CellIntersection cells;
  for (std::size_t e = std::max(n - 1, count / 2 - 1); e < count; ++e) {
    cells.clear();
    if (cells.add_boundary(columns_[e].ends.bitmap()) && gather(cells, e + 1 - n, text))
      cells.union_into(result);
  }
  return result;
}

Bitmap PositionalBitmap::contains(std::string_view text) const {
  Bitmap result;
  const std::size_t n = text.size();
  const std::size_t count = columns_.size();
  if (n == 0 || n >= count) return result;
  CellIntersection cells;
  for (std::size_t j = 0; j + n <= count; ++j) {
    cells.clear();
    if (gather(cells, j, text)) cells.union_into(result);
  }
  return result;
}

Bitmap PositionalBitmap::all_ids() const {
  Bitmap result;
  for (const Column& column : columns_) result.union_with(column.starts.bitmap());
  return result;
}

void PositionalBitmap::union_with(const PositionalBitmap& other, const Bitmap* only) {
  if (&other == this) return;
  if (other.columns_.size() > columns_.size()) expand_map(other.columns_.size());
  // Both rows use the same centring rule, so other's column j is this
  // row's column j + shift.
  const std::size_t shift = (columns_.size() - other.columns_.size()) / 2;
  auto merge = [only](Cell& into, const Cell& from) {
    check(from.pending_count() == 0, "union with a string index that has pending ids");
    if (from.bitmap().is_empty()) return;
    if (only == nullptr) {
      into.bitmap().union_with(from.bitmap());
    } else {
      into.bitmap().union_with(from.bitmap().intersected(*only));
    }
  };
  for (std::size_t j = 0; j < other.columns_.size(); ++j) {
    Column& into = columns_[j + shift];
    const Column& from = other.columns_[j];
    merge(into.starts, from.starts);
    merge(into.ends, from.ends);
    for (std::size_t b = 0; b < 256; ++b) merge(into.bytes[b], from.bytes[b]);
  }
}

void PositionalBitmap::intersect_with(const Bitmap& keep) {
  flush();
  for (Column& column : columns_) {
    column.starts.bitmap().intersect_with(keep);
    column.ends.bitmap().intersect_with(keep);
    for (Cell& cell : column.bytes) {
      if (!cell.bitmap().is_empty()) cell.bitmap().intersect_with(keep);
    }
  }
}

std::size_t PositionalBitmap::memory_bytes() const {
  std::size_t bytes = sizeof(*this) + columns_.capacity() * sizeof(Column);
  for (const Column& column : columns_) {
    bytes += column.starts.bitmap().size_in_bytes() + column.ends.bitmap().size_in_bytes();
    for (const Cell& cell : column.bytes) bytes += cell.bitmap().size_in_bytes();
  }
  return bytes;
}

}  // namespace quorvane
