#include "index/core/query/ordering.h"

#include <iterator>

#include "index/core/structures/string_interner/string_interner.h"

namespace quorvane {
namespace {

const QueryMap* map_named(const MapVector& maps, std::string_view name) {
  auto attr = INTERNER().find(name);
  if (!attr || *attr >= maps.size()) return nullptr;
  return maps[*attr].get();
}

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

// Visits `map`'s buckets forwards or backwards until `visit` returns false.
template <class Map, class F>
bool visit_buckets(const Map& map, bool descending, F&& visit) {
  if (descending) {
    for (auto it = map.rbegin(); it != map.rend(); ++it) {
      if (!visit(it->first, it->second)) return false;
    }
  } else {
    for (auto it = map.begin(); it != map.end(); ++it) {
      if (!visit(it->first, it->second)) return false;
    }
  }
  return true;
}

// Visits in value order (forwards or backwards) the numeric buckets in
// [first, last) merged with the rational numbers between them, until a
// visit returns false.
template <class It, class Rationals, class OnNumber, class OnRational>
bool visit_numbers(It first, It last, const Rationals& exact, bool descending, OnNumber&& on_number,
                   OnRational&& on_rational) {
  const RationalOrder less;
  auto merge = [&](auto p, auto p_end, auto r, auto r_end, auto plain_first) {
    while (p != p_end || r != r_end) {
      if (r == r_end || (p != p_end && plain_first(p->first, r->first))) {
        if (!on_number(p->first, p->second)) return false;
        ++p;
      } else {
        if (!on_rational(r->first, r->second)) return false;
        ++r;
      }
    }
    return true;
  };
  if (descending) {
    return merge(std::make_reverse_iterator(last), std::make_reverse_iterator(first),
                 exact.rbegin(), exact.rend(),
                 [&](const NumericKey& k, const RationalKey& q) { return less(q, k); });
  }
  return merge(first, last, exact.begin(), exact.end(),
               [&](const NumericKey& k, const RationalKey& q) { return less(k, q); });
}

}  // namespace

std::vector<uint32_t> ordered_page(const MapVector& maps, std::string_view name,
                                   const Bitmap& universe, bool descending, uint64_t offset,
                                   uint64_t limit, bool whole) {
  if (limit == 0) return {};
  const QueryMap* map = map_named(maps, name);
  // Container elements share the value sets under ids of their own: only a
  // map without them has value sets within the members.
  PageWalk walk(universe, whole && map != nullptr && !map->may_hold_elements(), offset, limit);
  // Each kind under its own lock, in the order of values.
  auto place = [&](const auto&, const HybridSet& set) { return walk.value(set); };
  auto numbers = [&] {
    auto lock = map->numbers.read();
    const auto& buckets = lock->buckets.map();
    auto first = buckets.begin(), last = buckets.end();
    // A view holding few of the numbers would walk past many values none of
    // its objects holds: its own lowest and highest values bound the walk
    // (the slices hold the int64 and double values, not the rational ones).
    if (!whole && universe.cardinality() * 16 < lock->slices.size()) {
      if (auto low = lock->slices.extreme_key(universe, false)) {
        first = buckets.lower_bound(*low);
        last = buckets.upper_bound(*lock->slices.extreme_key(universe, true));
      } else {
        first = last;
      }
    }
    return visit_numbers(first, last, lock->rationals.map(), descending, place, place);
  };
  auto strings = [&] {
    auto lock = map->strings.read();
    if (!descending && !walk.value(lock->empty)) return false;
    if (!visit_buckets(lock->buckets.map(), descending,
                       [&](const auto&, const HybridSet& set) { return walk.value(set); })) {
      return false;
    }
    return !descending || walk.value(lock->empty);
  };
  auto bools = [&] {
    auto lock = map->bools.read();
    const Bitmap& first = descending ? lock->true_ids.bitmap() : lock->false_ids.bitmap();
    const Bitmap& second = descending ? lock->false_ids.bitmap() : lock->true_ids.bitmap();
    return walk.value(first) && walk.value(second);
  };
  auto temporals = [&] {
    auto lock = map->temporals.read();
    return visit_buckets(lock->buckets.map(), descending, place);
  };
  if (map != nullptr) {
    const bool more = descending ? temporals() && bools() && strings() && numbers()
                                 : numbers() && strings() && bools() && temporals();
    if (!more) return walk.take();
  }
  walk.rest();
  return walk.take();
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

std::vector<Facet> facets(const MapVector& maps, std::string_view name, const Bitmap& universe,
                          bool whole) {
  std::vector<Facet> out;
  const QueryMap* map = map_named(maps, name);
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

}  // namespace quorvane
