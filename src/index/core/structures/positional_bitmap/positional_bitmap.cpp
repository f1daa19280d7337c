#include "index/core/structures/positional_bitmap/positional_bitmap.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/panic.h"

namespace quorvane {

namespace {

using Cell = PositionalBitmap::Cell;

static_assert(sizeof(Cell) == 16, "a cell is its bitmap and one pointer");

const Cell& shared_empty_cell() {
  static const Cell empty;
  return empty;
}

}  // namespace

// --- Column ------------------------------------------------------------------

PositionalBitmap::Column::~Column() {
  if (bits_ != 0) reallocate(0);
}

std::size_t PositionalBitmap::Column::block_bytes() const {
  if (bits_ == 0) return 0;
  const std::size_t capacity = header().capacity;
  return prefix_bytes(capacity) + sizeof(Cell) * capacity;
}

void PositionalBitmap::Column::reallocate(std::size_t capacity) {
  const std::size_t size = this->size();
  Column made;
  if (capacity > 0) {
    char* block =
        static_cast<char*>(::operator new(prefix_bytes(capacity) + sizeof(Cell) * capacity));
    made.set_cells(reinterpret_cast<Cell*>(block + prefix_bytes(capacity)), capacity);
    new (&made.header()) Header{static_cast<uint16_t>(size), static_cast<uint16_t>(capacity)};
    uint16_t* to_codes = made.codes();
    if (size > 0) std::memcpy(to_codes, codes(), sizeof(uint16_t) * size);
    if (dense(capacity)) {
      uint16_t* to_slots = made.slots();
      std::fill_n(to_slots, CODES, NO_SLOT);
      for (std::size_t i = 0; i < size; ++i) to_slots[to_codes[i]] = static_cast<uint16_t>(i);
    }
    for (std::size_t i = 0; i < size; ++i) new (made.cells() + i) Cell(std::move(cells()[i]));
  }
  if (bits_ != 0) {
    char* block = first_cell_byte() - prefix_bytes(header().capacity);
    std::destroy_n(cells(), size);
    ::operator delete(static_cast<void*>(block));
  }
  bits_ = std::exchange(made.bits_, 0);
}

PositionalBitmap::Cell& PositionalBitmap::Column::make(uint16_t code) {
  // A column holds at most 258 cells: grow by doubling up to that.
  const std::size_t size = this->size();
  const std::size_t capacity = bits_ == 0 ? 0 : header().capacity;
  if (size == capacity) reallocate(std::min<std::size_t>(capacity == 0 ? 1 : 2 * capacity, CODES));
  Cell* cell = new (cells() + size) Cell();
  codes()[size] = code;
  if (dense(header().capacity)) slots()[code] = static_cast<uint16_t>(size);
  header().size = static_cast<uint16_t>(size + 1);
  return *cell;
}

void PositionalBitmap::Column::erase(std::size_t slot) {
  const std::size_t last = size() - 1;
  if (last == 0) {
    reallocate(0);
    return;
  }
  uint16_t* code_of = codes();
  const bool is_dense = dense(header().capacity);
  if (is_dense) slots()[code_of[slot]] = NO_SLOT;
  if (slot != last) {
    cells()[slot] = std::move(cells()[last]);
    code_of[slot] = code_of[last];
    if (is_dense) slots()[code_of[slot]] = static_cast<uint16_t>(slot);
  }
  std::destroy_at(cells() + last);
  header().size = static_cast<uint16_t>(last);
  // Give memory back once most of the block is unused.
  const std::size_t capacity = header().capacity;
  if (4 * last <= capacity && capacity > 4) reallocate(capacity / 2);
}

void PositionalBitmap::Column::remove(uint16_t code, uint32_t id) {
  const std::size_t slot = slot_of(code);
  if (slot == NOT_FOUND) return;
  Cell& cell = cells()[slot];
  cell.remove(id);
  if (cell.pending_count() == 0 && cell.bitmap().is_empty()) erase(slot);
}

void PositionalBitmap::Column::remove(uint16_t code, const Bitmap& ids) {
  const std::size_t slot = slot_of(code);
  if (slot == NOT_FOUND) return;
  Cell& cell = cells()[slot];
  cell.bitmap().difference_with(ids);
  if (cell.pending_count() == 0 && cell.bitmap().is_empty()) erase(slot);
}

template <class F>
void PositionalBitmap::Column::for_each(F&& fn) const {
  const std::size_t size = this->size();
  if (size == 0) return;
  const uint16_t* code_of = codes();
  for (std::size_t i = 0; i < size; ++i) fn(code_of[i], std::as_const(cells()[i]));
}

template <class F>
void PositionalBitmap::Column::update(F&& fn) {
  // Erasing slot i moves the last cell, already seen, into it.
  for (std::size_t i = size(); i-- > 0;) {
    Cell& cell = cells()[i];
    fn(cell);
    if (cell.pending_count() == 0 && cell.bitmap().is_empty()) erase(i);
  }
}

// --- PositionalBitmap --------------------------------------------------------

const PositionalBitmap::Cell& PositionalBitmap::cell_at(std::size_t column, uint16_t code) const {
  if (column >= columns_.size()) panic_out_of_bounds(column, columns_.size());
  const Cell* cell = columns_[column].find(code);
  return cell == nullptr ? shared_empty_cell() : *cell;
}

std::size_t PositionalBitmap::cell_count(std::size_t column) const {
  if (column >= columns_.size()) panic_out_of_bounds(column, columns_.size());
  return columns_[column].size();
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
  // The byte cells are looked up a batch at a time before any is changed, so
  // that the lookups overlap instead of each waiting for the update before
  // it. A batch has one cell per column, and making a cell moves only the
  // cells of its own column.
  constexpr std::size_t BATCH = 16;
  const std::size_t n = text.size();
  op(columns_[start].get(STARTS));
  Cell* batch[BATCH];
  for (std::size_t k = 0; k < n; k += BATCH) {
    const std::size_t m = std::min(BATCH, n - k);
    for (std::size_t i = 0; i < m; ++i) {
      batch[i] = &columns_[start + k + i].get(static_cast<uint8_t>(text[k + i]));
    }
    for (std::size_t i = 0; i < m; ++i) op(*batch[i]);
  }
  op(columns_[start + n - 1].get(ENDS));
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
  // Pending ids are flushed every so many pushes: a pending cell holds a
  // buffer (up to an 8 KB chunk) until then, which long strings, spread over
  // many cells, would otherwise multiply into several times their text.
  pushed_since_flush_ += text.size() + 2;
  if (pushed_since_flush_ >= flush_after_) flush();
}

void PositionalBitmap::flush() {
  pushed_since_flush_ = 0;
  for (Column& column : columns_) column.update([](Cell& cell) { cell.flush(); });
}

void PositionalBitmap::remove(std::string_view text, uint32_t id) {
  if (text.empty() || text.size() >= columns_.size()) return;
  // Only existing cells are touched; one left empty is freed.
  const std::size_t n = text.size();
  const std::size_t start = start_column(n, columns_.size());
  columns_[start].remove(STARTS, id);
  for (std::size_t k = 0; k < n; ++k) columns_[start + k].remove(static_cast<uint8_t>(text[k]), id);
  columns_[start + n - 1].remove(ENDS, id);
}

void PositionalBitmap::Removal::add(std::string_view text, std::span<const uint32_t> ids) {
  const std::size_t count = bits_.columns_.size();
  if (ids.empty() || text.empty() || text.size() >= count) return;
  const uint32_t number = static_cast<uint32_t>(text_start_.size());
  text_start_.push_back(static_cast<uint32_t>(text_cells_.size()));
  auto meet = [this](std::size_t column, uint16_t code) {
    const uint32_t key = static_cast<uint32_t>(column) << 9 | code;
    auto [at, made] = cell_number_.try_emplace(key, static_cast<uint32_t>(cells_.size()));
    if (made) cells_.push_back(key);
    text_cells_.push_back(at->second);
  };
  const std::size_t n = text.size();
  const std::size_t start = start_column(n, count);
  meet(start, STARTS);
  for (std::size_t k = 0; k < n; ++k) meet(start + k, static_cast<uint8_t>(text[k]));
  meet(start + n - 1, ENDS);
  for (uint32_t id : ids) owners_.push_back(uint64_t{id} << 32 | number);
}

void PositionalBitmap::Removal::apply() {
  // In id order, each cell's ids come out ascending, ready to be a set.
  std::sort(owners_.begin(), owners_.end());
  text_start_.push_back(static_cast<uint32_t>(text_cells_.size()));
  std::vector<std::vector<uint32_t>> gone(cells_.size());
  for (uint64_t owner : owners_) {
    const uint32_t text = static_cast<uint32_t>(owner);
    for (uint32_t k = text_start_[text]; k < text_start_[text + 1]; ++k) {
      gone[text_cells_[k]].push_back(static_cast<uint32_t>(owner >> 32));
    }
  }
  for (std::size_t c = 0; c < cells_.size(); ++c) {
    Column& column = bits_.columns_[cells_[c] >> 9];
    const uint16_t code = cells_[c] & 0x1FF;
    if (gone[c].size() == 1) {
      column.remove(code, gone[c][0]);
    } else {
      column.remove(code, Bitmap::from_ids(gone[c]));
    }
  }
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
  // Adds a boundary / byte cell (null: absent); returns false when it is
  // empty (the intersection is then empty and the candidate can be skipped).
  bool add_boundary(const Bitmap* cell) {
    if (cell == nullptr || cell->is_empty()) return false;
    boundaries_.push_back(cell);
    return true;
  }
  bool add_byte(const Bitmap* cell) {
    const uint64_t cardinality = cell == nullptr ? 0 : cell->cardinality();
    if (cardinality == 0) return false;
    bytes_.emplace_back(cardinality, cell);
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
    if (!cells.add_byte(bits(base + k, static_cast<uint8_t>(text[k])))) return false;
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
  if (cells.add_boundary(bits(start, STARTS)) && cells.add_boundary(bits(start + n - 1, ENDS)) &&
      gather(cells, start, text)) {
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
    if (cells.add_boundary(bits(j, STARTS)) && gather(cells, j, text)) cells.union_into(result);
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
    if (cells.add_boundary(bits(e, ENDS)) && gather(cells, e + 1 - n, text))
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
  for (const Column& column : columns_) {
    if (const Cell* starts = column.find(STARTS)) result.union_with(starts->bitmap());
  }
  return result;
}

void PositionalBitmap::union_with(const PositionalBitmap& other, const Bitmap* only) {
  if (&other == this) return;
  if (other.columns_.size() > columns_.size()) expand_map(other.columns_.size());
  // Both rows use the same centring rule, so other's column j is this
  // row's column j + shift.
  const std::size_t shift = (columns_.size() - other.columns_.size()) / 2;
  for (std::size_t j = 0; j < other.columns_.size(); ++j) {
    Column& into = columns_[j + shift];
    other.columns_[j].for_each([&](uint16_t code, const Cell& from) {
      check(from.pending_count() == 0, "union with a string index that has pending ids");
      if (from.bitmap().is_empty()) return;
      if (only == nullptr) {
        into.get(code).bitmap().union_with(from.bitmap());
        return;
      }
      // Ids outside `only` make no cell.
      Bitmap part = from.bitmap().intersected(*only);
      if (!part.is_empty()) into.get(code).bitmap().union_with(part);
    });
  }
}

void PositionalBitmap::intersect_with(const Bitmap& keep) {
  flush();
  for (Column& column : columns_) {
    column.update([&keep](Cell& cell) { cell.bitmap().intersect_with(keep); });
  }
}

std::size_t PositionalBitmap::memory_bytes() const {
  std::size_t bytes = sizeof(*this) + columns_.capacity() * sizeof(Column);
  for (const Column& column : columns_) {
    bytes += column.block_bytes();
    column.for_each(
        [&bytes](uint16_t, const Cell& cell) { bytes += cell.bitmap().size_in_bytes(); });
  }
  return bytes;
}

}  // namespace quorvane
