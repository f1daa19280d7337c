// ValueBuckets: the ids of each distinct value of an attribute, ordered by
// value, kept beside the bit-sliced numeric index and the positional string
// index whatever the number of distinct values.
//
// An equality or `in_` is one lookup per value, proportional to its answer;
// a narrow range or a prefix walks only the values it covers; ordering walks
// values in order; counting reads set sizes. Wide ranges and substring tests
// are left to the other indexes (the query planner decides).
//
// No lock of its own: it lives under the lock of the structure beside it. A
// bulk writer gathers its ids with `push` and adds them with `flush`, holding
// that lock in between (nothing reads the buckets while ids are pending).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "absl/container/btree_map.h"
#include "absl/container/flat_hash_map.h"
#include "absl/types/compare.h"
#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/hybrid_set/hybrid_set.h"
#include "index/core/structures/value_buckets/text_key.h"

namespace quorvane {

// Orders stored strings, and looks them up by view, by their UTF-8 bytes,
// which is code point order.
struct TextOrder {
  using is_transparent = void;
  static std::string_view text(const TextKey& s) noexcept { return s.view(); }
  static std::string_view text(std::string_view s) noexcept { return s; }
  // Three-way, so that a tree search compares each key it passes once.
  template <class A, class B>
  absl::weak_ordering operator()(const A& a, const B& b) const noexcept {
    const int c = text(a).compare(text(b));
    return c < 0   ? absl::weak_ordering::less
           : c > 0 ? absl::weak_ordering::greater
                   : absl::weak_ordering::equivalent;
  }
};

// The form of a stored key that hashes and compares for grouping.
inline std::string_view lookup_form(const TextKey& key) noexcept {
  return key.view();
}
template <class Key>
const Key& lookup_form(const Key& key) noexcept {
  return key;
}

// A leading part of a key whose order agrees with the key's: the first eight
// bytes of a string, read big-endian (zero-padded); other keys whole.
inline uint64_t sort_prefix(const TextKey& key) noexcept {
  const std::string_view text = key.view();
  uint64_t prefix = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    prefix = (prefix << 8) | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
  }
  return prefix;
}
template <class Key>
const Key& sort_prefix(const Key& key) noexcept {
  return key;
}

// `Key` orders with `Compare`, which may also compare lookup forms of the
// key (a string view for a stored string).
// An ordered map with nodes of about `NodeBytes`. abseil's btree_map fixes
// them at 256 bytes, six of these entries: a walk over a large attribute
// then misses the cache every few values, and the node headers cost more
// memory. Nodes of 2 KiB halved a pass over a million distinct values, made
// the map 8% smaller and adding one by one 15% faster, with lookups
// unchanged.
template <class Key, class Value, class Compare, int NodeBytes>
class WideBtreeMap : public absl::container_internal::btree_map_container<
                         absl::container_internal::btree<absl::container_internal::map_params<
                             Key, Value, Compare, std::allocator<std::pair<const Key, Value>>,
                             NodeBytes, /*IsMulti=*/false>>> {
  using Base = typename WideBtreeMap::btree_map_container;

 public:
  using Base::Base;
};

template <class Key, class Compare = std::less<>>
class ValueBuckets {
 public:
  using Map = WideBtreeMap<Key, HybridSet, Compare, 2048>;

  template <class K>
  void add(const K& key, uint32_t id) {
    auto it = map_.lower_bound(key);
    if (it != map_.end() && !before(key, it->first)) {
      it->second.add(id);
      return;
    }
    map_.emplace_hint(it, Key(key), HybridSet::of(id));
  }

  // As `add`, but the id is only gathered; `flush` adds the gathered ids in
  // key order, one lookup and one batched add per distinct key. A large
  // batch flushes as it goes, so that what waits stays bounded (a flush of
  // this many ids costs little more per id than one at the end).
  static constexpr std::size_t FLUSH_AFTER_PUSHES = std::size_t{1} << 18;
  template <class K>
  void push(const K& key, uint32_t id) {
    pending_.emplace_back(Key(key), id);
    if (pending_.size() >= FLUSH_AFTER_PUSHES) flush();
  }

  // Adds every pushed id and frees what gathered them. Ids are grouped by
  // key with one hash probe each, and only the distinct keys are sorted, so
  // a batch of many ids over few values costs little more than its probes.
  void flush() {
    if (pending_.empty()) return;
    absl::flat_hash_map<LookupForm, uint32_t> group_of;
    std::vector<uint32_t> first;  // per group: the position of its first id
    std::vector<uint32_t> group(pending_.size());
    for (std::size_t i = 0; i < pending_.size(); ++i) {
      auto [it, fresh] =
          group_of.try_emplace(lookup_form(pending_[i].first), static_cast<uint32_t>(first.size()));
      if (fresh) first.push_back(static_cast<uint32_t>(i));
      group[i] = it->second;
    }
    absl::flat_hash_map<LookupForm, uint32_t>().swap(group_of);
    // The ids by group, in the order pushed (a counting sort).
    std::vector<uint32_t> start(first.size() + 1, 0);
    for (uint32_t g : group) ++start[g + 1];
    for (std::size_t g = 1; g < start.size(); ++g) start[g] += start[g - 1];
    std::vector<uint32_t> ids(pending_.size());
    {
      std::vector<uint32_t> next(start.begin(), start.end() - 1);
      for (std::size_t i = 0; i < pending_.size(); ++i) ids[next[group[i]]++] = pending_[i].second;
    }
    // Distinct keys in order: sorted by a leading part that compares as one
    // word, the whole key only where leading parts tie.
    std::vector<std::pair<SortPrefix, uint32_t>> order(first.size());
    for (uint32_t g = 0; g < order.size(); ++g)
      order[g] = {sort_prefix(pending_[first[g]].first), g};
    std::sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
      if (a.first != b.first) return a.first < b.first;
      return before(pending_[first[a.second]].first, pending_[first[b.second]].first);
    });
    for (const auto& [prefix, g] : order) {
      Key& key = pending_[first[g]].first;
      const std::span<const uint32_t> run(ids.data() + start[g], start[g + 1] - start[g]);
      // Keys past the last one (a fresh index) append without a search.
      auto at = map_.empty() || before(std::prev(map_.end())->first, key) ? map_.end()
                                                                          : map_.lower_bound(key);
      if (at == map_.end() || before(key, at->first)) {
        at = map_.emplace_hint(at, std::move(key),
                               run.size() == 1 ? HybridSet::of(run[0]) : HybridSet());
        if (run.size() == 1) continue;
      }
      at->second.add_many(run);
    }
    std::vector<std::pair<Key, uint32_t>>().swap(pending_);
  }

  template <class K>
  void remove(const K& key, uint32_t id) {
    auto it = map_.find(key);
    if (it == map_.end()) return;
    it->second.remove(id);
    if (it->second.is_empty()) map_.erase(it);
  }

  // The ids of `key` (empty when absent).
  template <class K>
  Bitmap get(const K& key) const {
    auto it = map_.find(key);
    return it == map_.end() ? Bitmap() : it->second.to_bitmap();
  }

  // The number of ids of `key`.
  template <class K>
  uint64_t count(const K& key) const {
    auto it = map_.find(key);
    return it == map_.end() ? 0 : it->second.cardinality();
  }

  const Map& map() const noexcept { return map_; }
  std::size_t distinct() const noexcept { return map_.size(); }

  void union_with(const ValueBuckets& other) {
    auto hint = map_.begin();
    for (const auto& [key, set] : other.map_) {
      hint = map_.lower_bound(key);
      if (hint == map_.end() || before(key, hint->first)) {
        hint = map_.emplace_hint(hint, key, set);
      } else {
        hint->second.union_with(set);
      }
    }
  }

  void intersect_with(const Bitmap& keep) {
    for (auto it = map_.begin(); it != map_.end();) {
      it->second.intersect_with(keep);
      it = it->second.is_empty() ? map_.erase(it) : std::next(it);
    }
  }
  // Drops the ids of `removed` (`dense` holds the same ids) from every value.
  void difference_with(const Bitmap& removed, const DenseIds& dense) {
    // erase_if closes the gaps of a leaf once rather than per emptied value
    // (absl::erase_if of a btree_map, for the wider map).
    // The test narrows as it goes (harmless if it ran twice on a value).
    absl::container_internal::btree_access::erase_if(map_, [&](auto& entry) {
      entry.second.difference_with(removed, dense);
      return entry.second.is_empty();
    });
  }
  // The same, calling `taken(key, ids)` with the ascending ids each value
  // lost, for the structures that keep the values' ids by their contents.
  template <class Taken>
  void difference_with(const Bitmap& removed, const DenseIds& dense, Taken&& taken) {
    std::vector<uint32_t> gone;
    absl::container_internal::btree_access::erase_if(map_, [&](auto& entry) {
      gone.clear();
      entry.second.difference_with(removed, dense, &gone);
      if (!gone.empty()) taken(entry.first, std::span<const uint32_t>(gone));
      return entry.second.is_empty();
    });
  }

  // Bytes of the entries and the id sets (not the tree's slack), for memory
  // reports.
  std::size_t memory_bytes() const {
    std::size_t total = sizeof(*this) + map_.size() * sizeof(typename Map::value_type);
    for (const auto& entry : map_) total += entry.second.memory_bytes();
    return total;
  }

 private:
  // Whether `a` orders before `b` (the comparison may be three-way).
  template <class A, class B>
  bool before(const A& a, const B& b) const {
    return absl::compare_internal::compare_result_as_less_than(map_.key_comp()(a, b));
  }

  using LookupForm = std::decay_t<decltype(lookup_form(std::declval<const Key&>()))>;
  using SortPrefix = std::decay_t<decltype(sort_prefix(std::declval<const Key&>()))>;

  Map map_;
  std::vector<std::pair<Key, uint32_t>> pending_;
};

}  // namespace quorvane
