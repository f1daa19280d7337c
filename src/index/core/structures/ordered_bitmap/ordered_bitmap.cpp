#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"

#include <algorithm>

#include "util/panic.h"

namespace quorvane {
namespace {

// Per-thread scratch set of the range queries, reused by every query of the
// thread instead of a fresh set per level or per query.
thread_local Bitmap TMP_BITMAP;
thread_local bool TMP_BITMAP_TAKEN = false;

// Exclusive use of this thread's TMP_BITMAP for one query.
class ScratchLease {
 public:
  ScratchLease() {
    check(!TMP_BITMAP_TAKEN, "scratch bitmap of this thread already taken");
    TMP_BITMAP_TAKEN = true;
  }
  ~ScratchLease() { TMP_BITMAP_TAKEN = false; }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  Bitmap& bitmap() { return TMP_BITMAP; }
};

}  // namespace

void NumericalBitmap::add(uint32_t id, NumericKey key) {
  for (int i = 0; i < LEVELS; ++i) levels_[i][key.bit(i)].add(id);
}

void NumericalBitmap::remove(uint32_t id, NumericKey key) {
  for (int i = 0; i < LEVELS; ++i) levels_[i][key.bit(i)].remove(id);
}

void NumericalBitmap::push(uint32_t id, NumericKey key) {
  for (int i = 0; i < LEVELS; ++i) levels_[i][key.bit(i)].push(id);
}

void NumericalBitmap::flush() {
  for (auto& level : levels_) {
    level[0].flush();
    level[1].flush();
  }
}

Bitmap NumericalBitmap::get_eq(NumericKey key) const {
  // The answer is the intersection of the key's cell at every level. Cells
  // are taken in ascending size so that the running result shrinks early. A
  // level whose other cell is empty has every indexed id in the key's cell
  // and cannot narrow the result, so it is skipped.
  struct Candidate {
    uint64_t size;
    const Bitmap* cell;
  };
  std::array<Candidate, LEVELS> narrowing;
  int n = 0;
  const Bitmap* any_cell = nullptr;
  for (int i = 0; i < LEVELS; ++i) {
    bool b = key.bit(i);
    const Bitmap& same = levels_[i][b].bitmap();
    if (same.is_empty()) return Bitmap();
    any_cell = &same;
    if (!levels_[i][!b].bitmap().is_empty()) narrowing[n++] = {same.cardinality(), &same};
  }
  std::sort(narrowing.begin(), narrowing.begin() + n,
            [](const Candidate& x, const Candidate& y) { return x.size < y.size; });
  if (n == 0) return *any_cell;  // one key value for every indexed id
  // Intersecting the first two directly saves copying the first.
  Bitmap result = n >= 2 ? narrowing[0].cell->intersected(*narrowing[1].cell) : *narrowing[0].cell;
  for (int k = 2; k < n && !result.is_empty(); ++k) result.intersect_with(*narrowing[k].cell);
  return result;
}

void NumericalBitmap::walk(NumericKey key, Bitmap& base, const Bitmap& scope, Direction direction,
                           bool inclusive) const {
  ScratchLease lease;
  Bitmap& tmp = lease.bitmap();
  // At each level, ids that agree with `key` above it and differ at it in the
  // queried direction are part of the answer: bit 1 against a query bit 0
  // for "greater", the reverse for "less".
  auto in_direction = [&](bool b) { return direction == Direction::Greater ? !b : b; };

  // Top level: `eq` starts as the ids of scope whose top bit agrees, which
  // also drops the ids of scope that have no key.
  int top = LEVELS - 1;
  bool b = key.bit(top);
  const Bitmap& top_other = levels_[top][!b].bitmap();
  if (in_direction(b)) {
    tmp = scope;
    tmp.intersect_with(top_other);
    base.union_with(tmp);
  }
  Bitmap eq = scope.intersected(levels_[top][b].bitmap());

  // Below the top, `eq` holds indexed ids only, each in exactly one cell per
  // level: when `eq` shares nothing with the other cell it already lies in
  // the key's cell, and the level neither adds ids nor narrows `eq`. Testing
  // that is cheaper than the intersections it saves.
  for (int i = top - 1; i >= 0 && !eq.is_empty(); --i) {
    b = key.bit(i);
    const Bitmap& same = levels_[i][b].bitmap();
    const Bitmap& other = levels_[i][!b].bitmap();
    if (other.is_empty() || !eq.intersects(other)) continue;
    if (in_direction(b)) {
      tmp = eq;
      tmp.intersect_with(other);
      base.union_with(tmp);
    }
    eq.intersect_with(same);
  }
  if (inclusive) base.union_with(eq);
  tmp.clear();  // keep no large scratch alive between queries
}

void NumericalBitmap::get_gt_into_base(NumericKey key, Bitmap& base, const Bitmap& scope) const {
  walk(key, base, scope, Direction::Greater, false);
}
void NumericalBitmap::get_gte_into_base(NumericKey key, Bitmap& base, const Bitmap& scope) const {
  walk(key, base, scope, Direction::Greater, true);
}
void NumericalBitmap::get_lt_into_base(NumericKey key, Bitmap& base, const Bitmap& scope) const {
  walk(key, base, scope, Direction::Less, false);
}
void NumericalBitmap::get_lte_into_base(NumericKey key, Bitmap& base, const Bitmap& scope) const {
  walk(key, base, scope, Direction::Less, true);
}

Bitmap NumericalBitmap::all_ids() const {
  const auto& top = levels_[LEVELS - 1];
  return top[0].bitmap().unioned(top[1].bitmap());
}

void NumericalBitmap::union_with(const NumericalBitmap& other) {
  if (this == &other) return;
  for (int i = 0; i < LEVELS; ++i) {
    for (int b = 0; b < 2; ++b) levels_[i][b].bitmap().union_with(other.levels_[i][b].bitmap());
  }
}

void NumericalBitmap::intersect_with(const Bitmap& keep) {
  for (auto& level : levels_) {
    for (auto& cell : level) {
      cell.bitmap().intersect_with(keep);
      cell.discard_pending();
    }
  }
}

NumericalBitmap::Cell& NumericalBitmap::cell(int level, bool bit) {
  if (level < 0 || level >= LEVELS) panic_out_of_bounds(static_cast<std::size_t>(level), LEVELS);
  return levels_[level][bit];
}

const NumericalBitmap::Cell& NumericalBitmap::cell(int level, bool bit) const {
  if (level < 0 || level >= LEVELS) panic_out_of_bounds(static_cast<std::size_t>(level), LEVELS);
  return levels_[level][bit];
}

std::size_t NumericalBitmap::memory_bytes() const {
  std::size_t total = 0;
  for (const auto& level : levels_) {
    for (const auto& cell : level) total += cell.bitmap().size_in_bytes();
  }
  return total;
}

}  // namespace quorvane
