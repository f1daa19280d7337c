#include "index/core/structures/ordered_bitmap/ordered_bitmap.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "util/panic.h"

namespace quorvane {
namespace {

// Per-thread scratch set of the range queries: the holder of each level's
// partial result, one per thread instead of a fresh set per level or query.
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

template <class F>
void NumericalBitmap::for_each_one(NumericKey key, F&& fn) {
  // Only the key's 1 bits, lowest first.
  for (uint64_t m = key.mantissa; m != 0; m &= m - 1) fn(ones()[std::countr_zero(m)]);
  for (uint32_t h = key.high & 0xFFFu; h != 0; h &= h - 1) fn(ones()[64 + std::countr_zero(h)]);
}

void NumericalBitmap::add(uint32_t id, NumericKey key) {
  all_.add(id);
  for_each_one(key, [id](Cell& cell) { cell.add(id); });
}

void NumericalBitmap::remove(uint32_t id, NumericKey key) {
  all_.remove(id);
  for_each_one(key, [id](Cell& cell) { cell.remove(id); });
}

void NumericalBitmap::push(uint32_t id, NumericKey key) {
  all_.push(id);
  for_each_one(key, [id](Cell& cell) { cell.push(id); });
}

void NumericalBitmap::flush() {
  if (ones_ != nullptr) {
    for (auto& one : *ones_) one.flush();
  }
  all_.flush();
}

Bitmap NumericalBitmap::get_eq(NumericKey key) const {
  // The answer is `all` narrowed to one(i) for every 1 bit of the key and
  // stripped of one(i) for every 0 bit. A level whose implicit key cell (one(i)
  // for a 1 bit, all - one(i) for a 0 bit) is all of `all` cannot narrow and
  // is left out; an empty one means no id has the key.
  const Bitmap& all = all_.bitmap();
  const uint64_t total = all.cardinality();
  if (total == 0) return Bitmap();
  struct Step {
    uint64_t kept;  // size of the implicit key cell
    const Bitmap* one;
    bool narrow;  // intersect with `one` (1 bit), else subtract it (0 bit)
  };
  std::array<Step, LEVELS> steps;
  int n = 0;
  for (int i = LEVELS - 1; i >= 0; --i) {
    const Bitmap& one = one_cell(i).bitmap();
    const uint64_t size = one.cardinality();
    const bool narrow = key.bit(i);
    const uint64_t kept = narrow ? size : total - size;
    if (kept == 0) return Bitmap();
    if (kept != total) steps[n++] = {kept, &one, narrow};
  }
  if (n == 0) return all;  // one key value for every indexed id
  // Smallest key cell first, so that the running result shrinks early
  // (measured faster on integer data than all intersections first or a walk
  // from the top bit). Stable, so that ties keep the top-down order.
  std::stable_sort(steps.begin(), steps.begin() + n,
                   [](const Step& x, const Step& y) { return x.kept < y.kept; });

  // The first step that narrows, taken with another step out of place, saves
  // copying a cell into the result.
  Bitmap result;
  int k = 1;
  if (n >= 2 && (steps[0].narrow || steps[1].narrow)) {
    const Step& x = steps[0].narrow ? steps[0] : steps[1];
    const Step& y = steps[0].narrow ? steps[1] : steps[0];
    result = y.narrow ? x.one->intersected(*y.one) : x.one->differenced(*y.one);
    k = 2;
  } else {
    result = steps[0].narrow ? *steps[0].one : all.differenced(*steps[0].one);
  }
  for (; k < n && !result.is_empty(); ++k) {
    const Step& step = steps[k];
    if (step.narrow) {
      // A read-only subset test is cheaper than an intersection that keeps all.
      if (!result.is_subset_of(*step.one)) result.intersect_with(*step.one);
    } else if (result.intersects(*step.one)) {
      // The read-only test is cheaper than a difference that removes nothing,
      // the common case once the result is small.
      result.difference_with(*step.one);
    }
  }
  return result;
}

void NumericalBitmap::walk(NumericKey key, Bitmap& base, Bitmap eq, int top, Direction direction,
                           bool inclusive, Bitmap& tmp) const {
  const bool greater = direction == Direction::Greater;
  const uint64_t total = all_.bitmap().cardinality();

  // `eq` holds the ids whose key agrees with `key` on every level above the
  // current one. At each level the ids of `eq` that differ from `key` in the
  // queried direction join the answer (bit 1 against a query bit 0 for
  // "greater", bit 0 against a query bit 1 for "less"); every id that differs
  // leaves `eq`. Results are computed out of place into `tmp` rather than by
  // copying `eq` first: CRoaring allocates the containers either way.
  for (int i = top; i >= 0 && !eq.is_empty(); --i) {
    const Bitmap& one = one_cell(i).bitmap();
    if (key.bit(i)) {
      // The ids of `eq` outside one(i) differ. None exists when one(i) holds
      // every indexed id.
      if (one.cardinality() == total || eq.is_subset_of(one)) continue;
      if (greater) {
        eq.intersect_with(one);
        continue;
      }
      const uint64_t before = eq.cardinality();
      tmp = eq.intersected(one);
      if (tmp.cardinality() == before) continue;  // none differs
      eq.difference_with(tmp);                    // the ids with bit 0 here
      base.union_with(eq);
      std::swap(eq, tmp);
    } else {
      // The ids of `eq` in one(i) differ. When there are none (always so for
      // an empty one(i)) the level changes nothing, and the read-only test
      // is cheaper than the operations it saves.
      if (one.is_empty() || !eq.intersects(one)) continue;
      if (greater) {
        tmp = eq.intersected(one);
        base.union_with(tmp);
        eq.difference_with(tmp);
      } else {
        eq.difference_with(one);
      }
    }
  }
  if (inclusive) base.union_with(eq);
}

void NumericalBitmap::walk(NumericKey key, Bitmap& base, const Bitmap& scope, Direction direction,
                           bool inclusive) const {
  ScratchLease lease;
  // Starting from `all` drops the ids of scope that have no key.
  walk(key, base, scope.intersected(all_.bitmap()), LEVELS - 1, direction, inclusive,
       lease.bitmap());
  lease.bitmap().clear();  // keep no large scratch alive between queries
}

void NumericalBitmap::get_between_into_base(NumericKey lo, bool lo_closed, NumericKey hi,
                                            bool hi_closed, Bitmap& base,
                                            const Bitmap& scope) const {
  // Both ends in one walk: while the ends agree on a level, an id that
  // differs there lies outside the range on one side or the other and
  // leaves; at the first level where they differ (lo has 0, hi has 1) the
  // remaining ids part into those sharing lo's prefix, walked against lo
  // alone, and those sharing hi's, walked against hi alone. Every id is
  // walked once, where two one-sided walks would go over the scope twice.
  ScratchLease lease;
  const Bitmap& all = all_.bitmap();
  const uint64_t total = all.cardinality();
  // `eq` is made at the first level that narrows; until then the scope
  // stands for it. Meeting a one cell drops the ids without a key too (one
  // cells lie within `all`); `all` itself is met only when no level did.
  Bitmap eq;
  bool made = false, keyed = false;
  int i = LEVELS - 1;
  for (; i >= 0 && (!made || !eq.is_empty()); --i) {
    const bool bit = lo.bit(i);
    if (bit != hi.bit(i)) break;
    const Bitmap& one = one_cell(i).bitmap();
    const Bitmap& from = made ? eq : scope;
    if (bit) {
      if (one.cardinality() == total) continue;  // every key has the bit
      if (from.is_subset_of(one)) {
        if (!made) eq = scope;
        made = keyed = true;
        continue;
      }
      if (made) {
        eq.intersect_with(one);
      } else {
        eq = scope.intersected(one);
      }
      made = keyed = true;
    } else {
      if (one.is_empty() || !from.intersects(one)) continue;
      if (made) {
        eq.difference_with(one);
      } else {
        eq = scope.differenced(one);
      }
      made = true;
    }
  }
  if (!made) {
    eq = scope.intersected(all);
  } else if (!keyed) {
    eq.intersect_with(all);
  }
  if (i < 0) {
    // lo == hi: the ids left have exactly that key.
    if (lo_closed && hi_closed) base.union_with(eq);
  } else if (!eq.is_empty() && !lo.bit(i)) {  // lo above hi covers nothing
    Bitmap upper = eq.intersected(one_cell(i).bitmap());
    if (!upper.is_empty()) eq.difference_with(upper);
    walk(lo, base, std::move(eq), i - 1, Direction::Greater, lo_closed, lease.bitmap());
    walk(hi, base, std::move(upper), i - 1, Direction::Less, hi_closed, lease.bitmap());
  }
  lease.bitmap().clear();
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

std::optional<NumericKey> NumericalBitmap::extreme_key(const Bitmap& scope, bool highest) const {
  Bitmap candidates = all_.bitmap().intersected(scope);
  if (candidates.is_empty()) return std::nullopt;
  NumericKey key{0, 0};
  for (int level = LEVELS - 1; level >= 0; --level) {
    const Bitmap& ones = one_cell(level).bitmap();
    Bitmap kept = highest ? candidates.intersected(ones) : candidates.differenced(ones);
    // The preferred bit when some candidate has it, else the other one.
    const bool bit = highest ? !kept.is_empty() : kept.is_empty();
    if (!kept.is_empty()) candidates = std::move(kept);
    if (bit) {
      if (level >= 64) {
        key.high = static_cast<uint16_t>(key.high | (1u << (level - 64)));
      } else {
        key.mantissa |= uint64_t{1} << level;
      }
    }
  }
  return key;
}

void NumericalBitmap::union_with(const NumericalBitmap& other, const Bitmap* only) {
  if (this == &other) return;
  auto merge = [only](Cell& into, const Cell& from) {
    if (only == nullptr) {
      into.bitmap().union_with(from.bitmap());
    } else if (!from.bitmap().is_empty()) {
      into.bitmap().union_with(from.bitmap().intersected(*only));
    }
  };
  if (other.ones_ != nullptr) {
    for (int i = 0; i < LEVELS; ++i) merge(ones()[i], (*other.ones_)[i]);
  }
  merge(all_, other.all_);
}

void NumericalBitmap::intersect_with(const Bitmap& keep) {
  if (ones_ != nullptr) {
    for (auto& one : *ones_) {
      one.bitmap().intersect_with(keep);
      one.discard_pending();
    }
  }
  all_.bitmap().intersect_with(keep);
  all_.discard_pending();
}

void NumericalBitmap::difference_with(const Bitmap& removed) {
  if (ones_ != nullptr) {
    for (auto& one : *ones_) {
      one.bitmap().difference_with(removed);
      one.discard_pending();
    }
  }
  all_.bitmap().difference_with(removed);
  all_.discard_pending();
}

NumericalBitmap::Cells& NumericalBitmap::ones() {
  if (ones_ == nullptr) ones_ = std::make_unique<Cells>();
  return *ones_;
}

NumericalBitmap::Cell& NumericalBitmap::one_cell(int level) {
  if (level < 0 || level >= LEVELS) panic_out_of_bounds(static_cast<std::size_t>(level), LEVELS);
  return ones()[level];
}

const NumericalBitmap::Cell& NumericalBitmap::one_cell(int level) const {
  if (level < 0 || level >= LEVELS) panic_out_of_bounds(static_cast<std::size_t>(level), LEVELS);
  static const Cell EMPTY;
  return ones_ != nullptr ? (*ones_)[level] : EMPTY;
}

std::size_t NumericalBitmap::memory_bytes() const {
  std::size_t total = all_.bitmap().size_in_bytes();
  if (ones_ != nullptr) {
    for (const auto& one : *ones_) total += one.bitmap().size_in_bytes();
  }
  return total;
}

}  // namespace quorvane
