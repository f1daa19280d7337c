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
// A column keeps only the cells that were written: a cell is made when the
// first string with that byte (or starting / ending) at that column is
// stored, and freed again when removals or intersect_with leave it empty. A
// column with no cell is one null pointer, so widening the row makes no
// cell, and a long string costs its bytes' cells and nothing for the 255
// byte values it does not have. An absent cell reads as an empty set.
//
// Queries read only the cells' bitmaps: ids pushed by the bulk path are seen
// after flush(). No lock inside; the owner guards the index with a
// reader/writer lock.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/bitmap/dense_ids.h"
#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"

namespace quorvane {

class PositionalBitmap {
 public:
  // Cell pushes after which push flushes by itself (see push).
  static constexpr std::size_t FLUSH_AFTER_PUSHES = std::size_t{1} << 24;

  using Cell = BufferedBitmap;

  // A new index has no columns.
  PositionalBitmap() = default;
  // A bitmap whose push flushes by itself after `flush_after_pushes` cell
  // pushes (tests use small counts).
  explicit PositionalBitmap(std::size_t flush_after_pushes) : flush_after_(flush_after_pushes) {}
  PositionalBitmap(PositionalBitmap&&) noexcept = default;
  PositionalBitmap& operator=(PositionalBitmap&&) noexcept = default;

  std::size_t column_count() const { return columns_.size(); }

  // Widens to at least `n` columns (rounded up to even), adding half of the
  // new columns in front and half behind; cells, pending ids included, move
  // with their columns, and the new columns hold no cell. Does nothing when
  // there are already `n` columns.
  void expand_map(std::size_t n);

  // Stores `text` for `id` by adding to the cells directly; widens first when
  // the text is not strictly shorter than the column count. Empty: no-op.
  void insert(std::string_view text, uint32_t id);
  // As insert, but through the cells' pending buffers (bulk writing); the ids
  // become visible to queries after flush().
  void push(std::string_view text, uint32_t id);
  // Moves every pending id into its cell's bitmap.
  void flush();
  // Removes `text` stored for `id` from the cells' bitmaps (call it outside
  // a bulk write: pending ids are not searched). Never widens; a text that
  // cannot fit the columns is simply not stored. Absent ids, empty texts:
  // no-op.
  void remove(std::string_view text, uint32_t id);
  class Removal;

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

  // Approximate bytes held: the columns, their cell blocks and the bitmaps
  // of their cells.
  std::size_t memory_bytes() const;

  // The start column of a string of `n` bytes in a row of `count` columns,
  // for 1 <= n < count.
  static std::size_t start_column(std::size_t n, std::size_t count) {
    return count / 2 - n / 2 - 1;
  }

  // Cells by position, for inspection; a cell never written (or freed) is a
  // shared empty cell. `column` < column_count(), else Panic.
  const Cell& starts_cell(std::size_t column) const { return cell_at(column, STARTS); }
  const Cell& ends_cell(std::size_t column) const { return cell_at(column, ENDS); }
  const Cell& byte_cell(std::size_t column, uint8_t byte) const { return cell_at(column, byte); }
  // The number of cells that exist in `column` (0 to 258).
  std::size_t cell_count(std::size_t column) const;

 private:
  // A cell's code within its column: its byte value, or one of these.
  static constexpr uint16_t STARTS = 256;
  static constexpr uint16_t ENDS = 257;

  // The existing cells of one column, in one heap block: the code of each
  // cell, for more than SPARSE_MAX cells the slot of every code, the count
  // and capacity, then the cells in the order they were made. The column
  // holds the address of its first cell, tagged when the block is dense, and
  // the slot table and the count sit at fixed distances before that cell:
  // a dense column finds a cell with one read of its table; a sparse one
  // scans its few codes. 0 while the column has no cell.
  class Column {
   public:
    Column() noexcept = default;
    Column(Column&& other) noexcept : bits_(std::exchange(other.bits_, 0)) {}
    Column& operator=(Column&& other) noexcept {
      std::swap(bits_, other.bits_);
      return *this;
    }
    ~Column();

    std::size_t size() const { return bits_ == 0 ? 0 : header().size; }
    // The cell of `code`, or null when it does not exist.
    const Cell* find(uint16_t code) const {
      const std::size_t slot = slot_of(code);
      return slot == NOT_FOUND ? nullptr : cells() + slot;
    }
    // The cell of `code`, made empty when it does not exist yet.
    Cell& get(uint16_t code) {
      const std::size_t slot = slot_of(code);
      return slot == NOT_FOUND ? make(code) : cells()[slot];
    }
    // Removes `id` from the cell of `code`, if any; frees the cell if that
    // leaves it empty with nothing pending.
    void remove(uint16_t code, uint32_t id);
    // The same for every id of `ids`.
    void remove(uint16_t code, const Bitmap& ids);
    // Calls `fn(code, cell)` on every cell.
    template <class F>
    void for_each(F&& fn) const;
    // Calls `fn(cell)` on every cell, then frees those left empty with
    // nothing pending.
    template <class F>
    void update(F&& fn);
    // Bytes of the block (not of the cells' bitmaps).
    std::size_t block_bytes() const;

   private:
    struct Header {
      uint16_t size;
      uint16_t capacity;
    };
    static constexpr std::size_t SPARSE_MAX = 16;
    static constexpr std::size_t CODES = 258;
    static constexpr uint16_t NO_SLOT = 0xFFFF;
    static constexpr std::size_t NOT_FOUND = static_cast<std::size_t>(-1);
    static constexpr std::uintptr_t DENSE_TAG = 1;  // cells are 8-byte aligned

    static bool dense(std::size_t capacity) { return capacity > SPARSE_MAX; }
    // The bytes of a block of `capacity` cells before its first cell.
    static std::size_t prefix_bytes(std::size_t capacity) {
      const std::size_t bytes =
          sizeof(uint16_t) * (capacity + (dense(capacity) ? CODES : 0)) + sizeof(Header);
      return (bytes + alignof(Cell) - 1) / alignof(Cell) * alignof(Cell);
    }
    Cell* cells() const { return reinterpret_cast<Cell*>(bits_ & ~DENSE_TAG); }
    bool is_dense() const { return (bits_ & DENSE_TAG) != 0; }
    void set_cells(Cell* cells, std::size_t capacity) {
      bits_ = reinterpret_cast<std::uintptr_t>(cells) | (dense(capacity) ? DENSE_TAG : 0);
    }
    char* first_cell_byte() const { return reinterpret_cast<char*>(cells()); }
    Header& header() const {
      return *reinterpret_cast<Header*>(first_cell_byte() - sizeof(Header));
    }
    // The slot of every code (NO_SLOT if absent); dense blocks only.
    uint16_t* slots() const {
      return reinterpret_cast<uint16_t*>(first_cell_byte() - sizeof(Header)) - CODES;
    }
    // The code of every cell, at the start of the block.
    uint16_t* codes() const {
      return reinterpret_cast<uint16_t*>(first_cell_byte() - prefix_bytes(header().capacity));
    }
    // The slot of the cell of `code`, or NOT_FOUND.
    std::size_t slot_of(uint16_t code) const {
      if (is_dense()) {
        const uint16_t slot = slots()[code];
        return slot == NO_SLOT ? NOT_FOUND : slot;
      }
      if (bits_ == 0) return NOT_FOUND;
      const Header& h = header();
      const uint16_t* code_of = codes();
      for (std::size_t i = 0; i < h.size; ++i) {
        if (code_of[i] == code) return i;
      }
      return NOT_FOUND;
    }
    // Adds an empty cell for `code` (absent so far).
    Cell& make(uint16_t code);
    // Moves the cells to a new block of `capacity` (>= size) slots; frees
    // the block for 0.
    void reallocate(std::size_t capacity);
    // Frees the cell in `slot` (the block too when it was the last one); the
    // last cell takes its slot.
    void erase(std::size_t slot);

    std::uintptr_t bits_ = 0;  // the first cell's address | DENSE_TAG
  };

  class CellIntersection;

  const Cell& cell_at(std::size_t column, uint16_t code) const;
  // The bitmap of a cell, or null when the cell does not exist.
  const Bitmap* bits(std::size_t column, uint16_t code) const {
    const Cell* cell = columns_[column].find(code);
    return cell == nullptr ? nullptr : &cell->bitmap();
  }
  // Calls `op(cell)` on every cell that holds a string of `text.size()`
  // bytes placed at `start`, making the missing ones.
  template <class Op>
  void for_each_cell_of(std::size_t start, std::string_view text, Op&& op);
  // Adds the cells of text[k] at column base + k to `cells`; false as soon as
  // one is empty.
  bool gather(CellIntersection& cells, std::size_t base, std::string_view text) const;

  std::vector<Column> columns_;
  std::size_t pushed_since_flush_ = 0;
  std::size_t flush_after_ = FLUSH_AFTER_PUSHES;
};

// Many strings' ids taken out of a PositionalBitmap at once: each cell loses
// the ids of every string through it in one operation, so that the work is
// that of the strings' bytes, not of the cells times the strings (a byte
// shared by a hundred strings would otherwise narrow its cell a hundred
// times). Call it outside a bulk write, as remove.
class PositionalBitmap::Removal {
 public:
  explicit Removal(PositionalBitmap& bits) : bits_(bits) {}
  // Takes the ascending `ids`, all storing `text`, out (on apply). No id
  // comes twice; texts that cannot fit the columns are ignored.
  void add(std::string_view text, std::span<const uint32_t> ids);
  // Narrows the cells by everything added.
  void apply();

 private:
  PositionalBitmap& bits_;
  // The cells met so far, by column and code, numbered in order of meeting.
  absl::flat_hash_map<uint32_t, uint32_t> cell_number_;
  std::vector<uint32_t> cells_;       // column << 9 | code, by number
  std::vector<uint32_t> text_cells_;  // the numbers of each text's cells
  std::vector<uint32_t> text_start_;  // where each text's run begins there
  std::vector<uint64_t> owners_;      // id << 32 | text, by text
};

}  // namespace quorvane
