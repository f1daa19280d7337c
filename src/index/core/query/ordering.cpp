#include "index/core/query/ordering.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "index/core/query/path_target.h"

namespace quorvane {
namespace {

// Fills one page while values are visited in order.
class PageWalk {
 public:
  // `whole`: every id of the value sets is in the universe (see facets).
  PageWalk(const Bitmap& universe, bool whole, uint64_t offset, uint64_t limit)
      : universe_(universe), whole_(whole), offset_(offset), limit_(limit) {}

  // Places the ids of one value (ascending); false once the page is full.
  bool value(const HybridSet& set) {
    if (const Bitmap* large = set.large()) return value(*large);
    for (uint32_t id : set.run()) {
      if ((whole_ || universe_.contains(id)) && !place(id)) return false;
    }
    return true;
  }
  bool value(const Bitmap& ids) {
    bool more = true;
    auto each = [&](uint32_t id) { return more = place(id); };
    if (whole_) {
      // The page costs what it holds: no set is built for a value.
      ids.for_each(each);
    } else {
      ids.intersected(universe_).for_each(each);
    }
    return more;
  }
  // Places every id of the universe not placed yet.
  void rest() {
    universe_.differenced(placed_).for_each([&](uint32_t id) { return place(id); });
  }
  bool full() const { return page_.size() >= limit_; }
  std::vector<uint32_t> take() { return std::move(page_); }

 private:
  bool place(uint32_t id) {
    // An object re-indexed during the walk may show under two values: it
    // keeps the first place it got.
    if (placed_.contains(id)) return !full();
    placed_.add(id);
    if (skipped_ < offset_) {
      ++skipped_;
    } else {
      page_.push_back(id);
    }
    return !full();
  }

  const Bitmap& universe_;
  bool whole_;
  uint64_t offset_;
  uint64_t limit_;
  uint64_t skipped_ = 0;
  Bitmap placed_;
  std::vector<uint32_t> page_;
};

// Whether the ids of a value set are all in the universe (a whole-index view
// of a map that never held a container: see facets).
bool whole_map(const QueryMap& map, bool whole) {
  return whole && !map.may_hold_elements();
}

// Calls on_group(ids) with the tie groups of `universe` by `key` in order
// (the objects without a value last, as one group) until it returns false.
template <class OnGroup>
void tie_groups(const EvalScope& scope, const SortKey& key, const Bitmap& universe, bool whole,
                OnGroup&& on_group) {
  PathTarget target(scope, key.path, universe);
  Bitmap placed;
  uint64_t left = universe.cardinality();
  bool more = true;
  if (const QueryMap* map = target.map()) {
    const bool all_in = target.direct() && whole_map(*map, whole);
    auto group = [&](const auto&, const auto& set) {
      Bitmap ids;
      if constexpr (std::is_same_v<std::decay_t<decltype(set)>, Bitmap>) {
        ids = all_in ? set : target.holders(set, true);
      } else {
        ids = all_in ? set.to_bitmap() : target.holders(set, true);
      }
      // An object re-indexed during the walk may show under two values: it
      // keeps the first place it got.
      if (!placed.is_empty()) ids.difference_with(placed);
      const uint64_t n = ids.cardinality();
      if (n == 0) return true;
      placed.union_with(ids);
      left -= std::min(left, n);
      return on_group(std::move(ids)) && left > 0;
    };
    more = visit_in_order(*map, key.descending, group,
                          target.direct() && !all_in ? &universe : nullptr);
  }
  if (more && left > 0) {
    Bitmap rest = universe.differenced(placed);
    if (!rest.is_empty()) on_group(std::move(rest));
  }
}

// The page [offset, offset + limit) of a few objects ordered by a plain
// attribute, when each holds an int64 or a double and the attribute has many
// more values: each object's key is read from the bit slices (a membership
// test per bit) and the few keys sorted, where a walk between the objects'
// lowest and highest values would visit most of the values (a tie group of
// a few objects ordered by a second key, typically). None when the walk
// costs less, or when some object holds another kind of value or none.
std::optional<std::vector<uint32_t>> few_numbers_page(const QueryMap& map, const Bitmap& universe,
                                                      bool descending, uint64_t offset,
                                                      uint64_t limit) {
  // Reading a key costs about as much as visiting a few dozen values; a walk
  // visits about the values between the objects' lowest and the page's last.
  constexpr uint64_t KEY_COST = 64, MOST = 4096;
  const uint64_t n = universe.cardinality();
  if (n > MOST) return std::nullopt;
  auto numbers = map.numbers.read();
  const uint64_t walked = numbers->buckets.distinct() * std::min(n, offset + limit + 1) / (n + 1);
  if (n * KEY_COST >= walked) return std::nullopt;
  const NumericalBitmap& slices = numbers->slices;
  const Bitmap& all = slices.all_cell().bitmap();
  std::vector<std::pair<NumericKey, uint32_t>> keyed;
  keyed.reserve(n);
  bool numbers_only = true;
  universe.for_each([&](uint32_t id) {
    if (!all.contains(id)) return numbers_only = false;
    NumericKey key{0, 0};
    for (int level = 0; level < NumericalBitmap::LEVELS; ++level) {
      if (!slices.one_cell(level).bitmap().contains(id)) continue;
      if (level < 64) {
        key.mantissa |= uint64_t{1} << level;
      } else {
        key.high = static_cast<uint16_t>(key.high | (1u << (level - 64)));
      }
    }
    keyed.emplace_back(key, id);
    return true;
  });
  if (!numbers_only) return std::nullopt;
  // Ascending ids in, so a stable sort keeps ties by id.
  std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
    return descending ? b.first < a.first : a.first < b.first;
  });
  std::vector<uint32_t> page;
  for (uint64_t i = offset; i < keyed.size() && page.size() < limit; ++i) {
    page.push_back(keyed[i].second);
  }
  return page;
}

// Appends to `out` the page [offset, offset + limit) of `universe` ordered
// by one key, the last: ties by id.
void last_key_page(const EvalScope& scope, const SortKey& key, const Bitmap& universe, bool whole,
                   uint64_t offset, uint64_t limit, std::vector<uint32_t>& out) {
  if (key.path.find('.') == std::string::npos) {
    // A plain attribute: its value sets are read in place, without a set
    // built per value.
    const QueryMap* map = map_named(scope.maps, key.path);
    if (map != nullptr && !whole) {
      if (auto page = few_numbers_page(*map, universe, key.descending, offset, limit)) {
        out.insert(out.end(), page->begin(), page->end());
        return;
      }
    }
    PageWalk walk(universe, map != nullptr && whole_map(*map, whole), offset, limit);
    auto place = [&](const auto&, const auto& set) { return walk.value(set); };
    if (map == nullptr ||
        visit_in_order(*map, key.descending, place, whole ? nullptr : &universe)) {
      walk.rest();
    }
    for (uint32_t id : walk.take()) out.push_back(id);
    return;
  }
  uint64_t skipped = 0;
  const std::size_t full = out.size() + limit;
  tie_groups(scope, key, universe, false, [&](Bitmap ids) {
    ids.for_each([&](uint32_t id) {
      if (skipped < offset) {
        ++skipped;
      } else {
        out.push_back(id);
      }
      return out.size() < full;
    });
    return out.size() < full;
  });
}

}  // namespace

std::vector<uint32_t> ordered_page(const EvalScope& scope, std::span<const SortKey> keys,
                                   const Bitmap& universe, uint64_t offset, uint64_t limit,
                                   bool whole) {
  std::vector<uint32_t> out;
  const uint64_t size = universe.cardinality();
  if (limit == 0 || offset >= size) return out;
  limit = std::min(limit, size - offset);
  // What is left to order: the objects of `ids` (or of `own`) at positions
  // [offset, offset + limit) of their order by keys[key] and after. Tasks
  // are taken last first, so that a group's tasks run in the order of its
  // values.
  struct Task {
    Bitmap own;
    const Bitmap* ids;  // null: `own`
    std::size_t key;
    uint64_t offset;
    uint64_t limit;
    bool whole;
  };
  std::vector<Task> stack;
  stack.push_back(Task{Bitmap(), &universe, 0, offset, limit, whole});
  while (!stack.empty()) {
    Task task = std::move(stack.back());
    stack.pop_back();
    const Bitmap& ids = task.ids != nullptr ? *task.ids : task.own;
    if (task.key == keys.size() || ids.cardinality() == 1) {
      uint64_t at = 0;
      const uint64_t end = task.offset + task.limit;
      ids.for_each([&](uint32_t id) {
        if (at >= task.offset) out.push_back(id);
        return ++at < end;
      });
      continue;
    }
    if (task.key + 1 == keys.size()) {
      last_key_page(scope, keys[task.key], ids, task.whole, task.offset, task.limit, out);
      continue;
    }
    // The groups of this key that the page reaches into, each to be ordered
    // by the next key.
    std::vector<Task> groups;
    uint64_t before = 0;
    const uint64_t end = task.offset + task.limit;
    tie_groups(scope, keys[task.key], ids, task.whole, [&](Bitmap group) {
      const uint64_t n = group.cardinality();
      if (before + n > task.offset) {
        const uint64_t from = task.offset > before ? task.offset - before : 0;
        const uint64_t take = std::min(n - from, end - before - from);
        groups.push_back(Task{std::move(group), nullptr, task.key + 1, from, take, false});
      }
      before += n;
      return before < end;
    });
    for (auto it = groups.rbegin(); it != groups.rend(); ++it) stack.push_back(std::move(*it));
  }
  return out;
}

namespace {

// The facets of a map no container element was ever added to: counted under
// each structure's lock as it is read, from the sets' own sizes when the
// universe is the whole index (every id of a set is then a member), else by
// intersecting each set with the universe without building a set.
std::vector<Facet> plain_facets(const QueryMap& map, const Bitmap& universe, bool whole) {
  std::vector<Facet> out;
  {
    auto numbers = map.numbers.read();
    std::size_t n = numbers->buckets.distinct() + numbers->rationals.distinct();
    numbers.unlock();
    n += map.strings.read()->buckets.distinct() + 3;
    out.reserve(n);
  }
  auto count_of = [&](const HybridSet& set) -> uint64_t {
    if (whole) return set.cardinality();
    if (const Bitmap* large = set.large()) return large->intersection_cardinality(universe);
    uint64_t n = 0;
    for (uint32_t id : set.run()) n += universe.contains(id) ? 1 : 0;
    return n;
  };
  auto count_bitmap = [&](const Bitmap& ids) -> uint64_t {
    return whole ? ids.cardinality() : ids.intersection_cardinality(universe);
  };
  auto emit = [&](auto value, uint64_t count) {
    if (count > 0) out.push_back(Facet{std::move(value), count});
  };
  {
    auto lock = map.numbers.read();
    auto count = [&](const auto& key, const HybridSet& set) {
      emit(key, count_of(set));
      return true;
    };
    const auto& buckets = lock->buckets.map();
    visit_numbers(buckets.begin(), buckets.end(), lock->rationals.map(), false, count, count);
  }
  {
    auto lock = map.strings.read();
    emit(SmallStr(), count_bitmap(lock->empty));
    for (const auto& [text, set] : lock->buckets.map()) emit(SmallStr(text.view()), count_of(set));
  }
  {
    auto lock = map.bools.read();
    emit(false, count_bitmap(lock->false_ids.bitmap()));
    emit(true, count_bitmap(lock->true_ids.bitmap()));
  }
  {
    auto lock = map.temporals.read();
    for (const auto& [key, set] : lock->buckets.map()) emit(key, count_of(set));
  }
  for (std::size_t i = 0; i < ExactMap::SHARD_COUNT; ++i) {
    auto shard = map.exact.read_shard(i);
    for (const auto& [value, set] : *shard) emit(value, count_of(set));
  }
  return out;
}

}  // namespace

namespace {

// Calls fn(value, holders) for every value of `target`'s map in the order of
// values (those without an order last), with the objects of the universe
// holding it (any number, maybe none).
template <class F>
void each_value_holders(const PathTarget& target, F&& fn) {
  const QueryMap* map = target.map();
  if (map == nullptr) return;
  visit_in_order(*map, false, [&](const auto& key, const auto& set) {
    fn(facet_value(key), target.holders(set, false));
    return true;
  });
  visit_unordered(*map, [&](const PyValue& value, const HybridSet& set) {
    fn(FacetValue(value), target.holders(set, false));
    return true;
  });
}

}  // namespace

std::vector<Facet> facets(const EvalScope& scope, std::string_view name, const Bitmap& universe,
                          bool whole) {
  std::vector<Facet> out;
  if (name.find('.') != std::string_view::npos) {
    PathTarget target(scope, name, universe);
    each_value_holders(target, [&](FacetValue value, const Bitmap& holders) {
      if (const uint64_t n = holders.cardinality()) out.push_back(Facet{std::move(value), n});
    });
    return out;
  }
  const QueryMap* map = map_named(scope.maps, name);
  if (map == nullptr) return out;
  const bool elements = map->may_hold_elements();
  if (!elements) return plain_facets(*map, universe, whole);
  // The element ids of the universe's containers (nested ones included): a
  // value's element ids are narrowed to them before their holders are found.
  Bitmap universe_elements;
  if (elements) universe_elements = map->elements.read()->elements_of(universe);
  // The number of objects of the universe holding one of `ids`, directly or
  // in a container (each holder once).
  auto count_bitmap = [&](const Bitmap& ids) -> uint64_t {
    if (!elements) return ids.intersected(universe).cardinality();
    Bitmap holders = ids.intersected(universe_elements);
    map->unmask_ids(holders);
    holders.union_with(ids.intersected(universe));
    return holders.cardinality();
  };
  auto count_of = [&](const HybridSet& set) -> uint64_t {
    if (elements) return count_bitmap(set.to_bitmap());
    if (const Bitmap* large = set.large()) return large->intersected(universe).cardinality();
    uint64_t n = 0;
    for (uint32_t id : set.run()) n += universe.contains(id) ? 1 : 0;
    return n;
  };
  auto emit = [&](auto value, uint64_t count) {
    if (count > 0) out.push_back(Facet{std::move(value), count});
  };
  // Sets are copied out under each structure's lock; holders are found after
  // (unmasking takes the element table's lock).
  {
    std::vector<std::pair<std::variant<NumericKey, RationalKey>, HybridSet>> numbers;
    {
      auto lock = map->numbers.read();
      auto copy = [&](const auto& key, const HybridSet& set) {
        numbers.emplace_back(key, set);
        return true;
      };
      const auto& buckets = lock->buckets.map();
      visit_numbers(buckets.begin(), buckets.end(), lock->rationals.map(), false, copy, copy);
    }
    for (const auto& [key, set] : numbers) {
      std::visit([&](const auto& k) { emit(k, count_of(set)); }, key);
    }
  }
  {
    std::vector<std::pair<TextKey, HybridSet>> strings;
    Bitmap empty;
    {
      auto lock = map->strings.read();
      empty = lock->empty;
      for (const auto& [text, set] : lock->buckets.map()) strings.emplace_back(text, set);
    }
    emit(SmallStr(), count_bitmap(empty));
    for (const auto& [text, set] : strings) emit(SmallStr(text.view()), count_of(set));
  }
  {
    Bitmap no, yes;
    {
      auto lock = map->bools.read();
      no = lock->false_ids.bitmap();
      yes = lock->true_ids.bitmap();
    }
    emit(false, count_bitmap(no));
    emit(true, count_bitmap(yes));
  }
  {
    std::vector<std::pair<TemporalKey, HybridSet>> temporals;
    {
      auto lock = map->temporals.read();
      for (const auto& [key, set] : lock->buckets.map()) temporals.emplace_back(key, set);
    }
    for (const auto& [key, set] : temporals) emit(key, count_of(set));
  }
  std::vector<std::pair<PyValue, HybridSet>> others;
  for (std::size_t i = 0; i < ExactMap::SHARD_COUNT; ++i) {
    auto shard = map->exact.read_shard(i);
    for (const auto& [value, set] : *shard) others.emplace_back(value, set);
  }
  for (const auto& [value, set] : others) emit(value, count_of(set));
  return out;
}

namespace {

// Each object's values of one attribute (indexes into a value list): in an
// array indexed by id when the ids are dense enough (the usual case: one
// value each, no hashing), else in a hash map. Objects with several values
// keep the others apart.
class ValuesById {
 public:
  ValuesById(const Bitmap& universe) {
    const uint64_t top = universe.maximum().value_or(0);
    if (top < 4 * universe.cardinality() + (uint64_t{1} << 20)) first_.assign(top + 1, NONE);
  }
  void add(uint32_t id, uint32_t value) {
    if (!first_.empty()) {
      uint32_t& slot = first_[id];
      if (slot == NONE) {
        slot = value;
        return;
      }
    }
    sparse_[id].push_back(value);
  }
  // Calls fn(value) for each value of `id`.
  template <class F>
  void each(uint32_t id, F&& fn) const {
    if (!first_.empty() && first_[id] != NONE) fn(first_[id]);
    if (sparse_.empty()) return;
    auto found = sparse_.find(id);
    if (found == sparse_.end()) return;
    for (uint32_t value : found->second) fn(value);
  }

 private:
  static constexpr uint32_t NONE = UINT32_MAX;
  std::vector<uint32_t> first_;
  absl::flat_hash_map<uint32_t, absl::InlinedVector<uint32_t, 2>> sparse_;
};

}  // namespace

FacetTable combined_facets(const EvalScope& scope, std::span<const std::string> paths,
                           const Bitmap& universe) {
  FacetTable table;
  table.values.resize(paths.size());
  // One target at a time: a dotted one holds the reach engine's maps.
  std::vector<ValuesById> held;
  held.reserve(paths.size());
  Bitmap counted = universe;
  for (std::size_t k = 0; k < paths.size() && !counted.is_empty(); ++k) {
    PathTarget target(scope, paths[k], counted);
    ValuesById& values = held.emplace_back(counted);
    Bitmap holding;
    each_value_holders(target, [&](FacetValue value, const Bitmap& holders) {
      if (holders.is_empty()) return;
      const auto index = static_cast<uint32_t>(table.values[k].size());
      table.values[k].push_back(std::move(value));
      holders.for_each([&](uint32_t id) { values.add(id, index); });
      holding.union_with(holders);
    });
    // Objects lacking an attribute count for no combination.
    counted = std::move(holding);
  }
  if (held.size() < paths.size()) return table;
  using Combination = absl::InlinedVector<uint32_t, 4>;
  absl::flat_hash_map<Combination, uint64_t> counts;
  std::vector<Combination> lists(paths.size());
  Combination combination(paths.size());
  std::vector<std::size_t> at(paths.size());
  counted.for_each([&](uint32_t id) {
    for (std::size_t k = 0; k < paths.size(); ++k) {
      lists[k].clear();
      held[k].each(id, [&](uint32_t value) { lists[k].push_back(value); });
    }
    // Every combination of the object's values, as an odometer.
    std::fill(at.begin(), at.end(), 0);
    for (;;) {
      for (std::size_t k = 0; k < paths.size(); ++k) combination[k] = lists[k][at[k]];
      ++counts[combination];
      std::size_t k = paths.size();
      while (k > 0 && ++at[k - 1] == lists[k - 1].size()) at[--k] = 0;
      if (k == 0) break;
    }
  });
  table.counts.reserve(counts.size());
  for (const auto& [key, n] : counts) {
    table.counts.emplace_back(std::vector<uint32_t>(key.begin(), key.end()), n);
  }
  std::sort(table.counts.begin(), table.counts.end());
  return table;
}

}  // namespace quorvane
