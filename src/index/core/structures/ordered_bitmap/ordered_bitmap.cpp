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
  all_.add(id);
  for (int i = 0; i < LEVELS; ++i) {
    if (key.bit(i)) ones_[i].add(id);
  }
}

void NumericalBitmap::remove(uint32_t id, NumericKey key) {
  all_.remove(id);
  for (int i = 0; i < LEVELS; ++i) {
    if (key.bit(i)) ones_[i].remove(id);
  }
}

void NumericalBitmap::push(uint32_t id, NumericKey key) {
  all_.push(id);
  for (int i = 0; i < LEVELS; ++i) {
    if (key.bit(i)) ones_[i].push(id);
  }
}

void NumericalBitmap::flush() {
  for (auto& one : ones_) one.flush();
  all_.flush();
}

Bitmap NumericalBitmap::get_eq(NumericKey key) const {
  // The answer is `all`, narrowed to one(i) for every 1 bit of the key and
  // stripped of one(i) for every 0 bit. A one cell holding every indexed id
  // cannot narrow, an empty one has nothing to strip; the reverse cases mean
  // no id has the key. Intersections go first, smallest cell first, so the
  // running result shrinks early; subtractions follow, largest cell first.
  const Bitmap& all = all_.bitmap();
  const uint64_t total = all.cardinality();
  if (total == 0) return Bitmap();
  struct Step {
    uint64_t size;
    const Bitmap* one;
  };
  std::array<Step, LEVELS> narrow, strip;
  int n_narrow = 0, n_strip = 0;
  for (int i = 0; i < LEVELS; ++i) {
    const Bitmap& one = ones_[i].bitmap();
    uint64_t size = one.cardinality();
    if (key.bit(i)) {
      if (size == 0) return Bitmap();
      if (size != total) narrow[n_narrow++] = {size, &one};
    } else {
      if (size == total) return Bitmap();
      if (size != 0) strip[n_strip++] = {size, &one};
    }
  }
  auto by_size = [](const Step& x, const Step& y) { return x.size < y.size; };
  std::sort(narrow.begin(), narrow.begin() + n_narrow, by_size);
  std::sort(strip.begin(), strip.begin() + n_strip,
            [&](const Step& x, const Step& y) { return by_size(y, x); });

  // Intersecting the first two directly saves copying the first.
  Bitmap result = n_narrow >= 2   ? narrow[0].one->intersected(*narrow[1].one)
                  : n_narrow == 1 ? *narrow[0].one
                                  : all;
  for (int k = 2; k < n_narrow && !result.is_empty(); ++k) result.intersect_with(*narrow[k].one);
  for (int k = 0; k < n_strip && !result.is_empty(); ++k) result.difference_with(*strip[k].one);
  return result;
}

void NumericalBitmap::walk(NumericKey key, Bitmap& base, const Bitmap& scope, Direction direction,
                           bool inclusive) const {
  ScratchLease lease;
  Bitmap& tmp = lease.bitmap();
  const bool greater = direction == Direction::Greater;
  const uint64_t total = all_.bitmap().cardinality();

  // `eq` holds the ids of scope whose key agrees with `key` on every level
  // above the current one; starting from `all` drops the ids of scope that
  // have no key. At each level the ids of `eq` that differ from `key` in the
  // queried direction join the answer: bit 1 against a query bit 0 for
  // "greater", bit 0 against a query bit 1 for "less". The others leave `eq`.
  Bitmap eq = scope.intersected(all_.bitmap());
  for (int i = LEVELS - 1; i >= 0 && !eq.is_empty(); --i) {
    const Bitmap& one = ones_[i].bitmap();
    if (key.bit(i)) {
      // An id of `eq` outside one(i) has bit 0 here. None exists when one(i)
      // holds every indexed id: the level changes nothing.
      if (one.cardinality() == total) continue;
      if (greater) {
        eq.intersect_with(one);
      } else {
        tmp = eq;
        tmp.difference_with(one);
        if (tmp.is_empty()) continue;
        base.union_with(tmp);
        eq.difference_with(tmp);
      }
    } else {
      // Only ids of `eq` in one(i) differ here; `eq` sharing none of them
      // (always so for an empty one(i)) makes the level a no-op, and testing
      // that is cheaper than the operations it saves.
      if (one.is_empty() || !eq.intersects(one)) continue;
      if (greater) {
        tmp = eq;
        tmp.intersect_with(one);
        base.union_with(tmp);
        eq.difference_with(tmp);
      } else {
        eq.difference_with(one);
      }
    }
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
  return all_.bitmap();
}

void NumericalBitmap::union_with(const NumericalBitmap& other) {
  if (this == &other) return;
  for (int i = 0; i < LEVELS; ++i) ones_[i].bitmap().union_with(other.ones_[i].bitmap());
  all_.bitmap().union_with(other.all_.bitmap());
}

void NumericalBitmap::intersect_with(const Bitmap& keep) {
  for (auto& one : ones_) {
    one.bitmap().intersect_with(keep);
    one.discard_pending();
  }
  all_.bitmap().intersect_with(keep);
  all_.discard_pending();
}

NumericalBitmap::Cell& NumericalBitmap::one_cell(int level) {
  if (level < 0 || level >= LEVELS) panic_out_of_bounds(static_cast<std::size_t>(level), LEVELS);
  return ones_[level];
}

const NumericalBitmap::Cell& NumericalBitmap::one_cell(int level) const {
  if (level < 0 || level >= LEVELS) panic_out_of_bounds(static_cast<std::size_t>(level), LEVELS);
  return ones_[level];
}

std::size_t NumericalBitmap::memory_bytes() const {
  std::size_t total = all_.bitmap().size_in_bytes();
  for (const auto& one : ones_) total += one.bitmap().size_in_bytes();
  return total;
}

}  // namespace quorvane
