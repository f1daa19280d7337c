// ValueBuckets: the ids of each distinct value of an attribute, kept beside
// the bit-sliced numeric index and the positional string index while the
// attribute has few distinct values.
//
// For such attributes (sizes, colours, categories) an equality is one lookup
// and a range or a string match visits only the values it covers, instead of
// intersecting dozens of dense cells. Once more than MAX_DISTINCT values have
// been seen the buckets are dropped for good and the other indexes answer
// alone, so memory stays bounded by the distinct values, not the ids.
//
// No lock of its own: it lives under the lock of the structure beside it. A
// bulk writer gathers its ids with `push` and adds them with `flush`, holding
// that lock in between (nothing reads the buckets while ids are pending).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/hybrid_set/hybrid_set.h"

namespace quorvane {

// `Map` is an ordered or hashed map from the value's key to a HybridSet.
template <class Map>
class ValueBuckets {
 public:
  static constexpr std::size_t MAX_DISTINCT = 4096;

  // Whether the buckets hold every indexed id (false once dropped).
  bool enabled() const noexcept { return enabled_; }

  template <class K>
  void add(const K& key, uint32_t id) {
    if (!enabled_) return;
    auto it = map_.find(key);
    if (it != map_.end()) {
      it->second.add(id);
      return;
    }
    if (map_.size() >= MAX_DISTINCT) {
      disable();
      return;
    }
    map_.emplace(typename Map::key_type(key), HybridSet::of(id));
  }

  // As `add`, but the id is only gathered under its key; `flush` adds the
  // gathered ids with one lookup and one batched add per distinct key.
  template <class K>
  void push(const K& key, uint32_t id) {
    if (!enabled_) return;
    auto [it, fresh] = pending_.try_emplace(key);
    if (fresh && map_.find(key) == map_.end() && map_.size() + ++pending_new_ > MAX_DISTINCT) {
      disable();
      return;
    }
    it->second.push_back(id);
  }

  // Adds every pushed id and frees what gathered them.
  void flush() {
    if (pending_.empty()) return;
    for (auto& [key, ids] : pending_) {
      auto it = map_.find(key);
      if (it == map_.end()) it = map_.emplace(key, HybridSet()).first;
      it->second.add_many(ids);
    }
    Pending().swap(pending_);
    pending_new_ = 0;
  }

  template <class K>
  void remove(const K& key, uint32_t id) {
    if (!enabled_) return;
    auto it = map_.find(key);
    if (it == map_.end()) return;
    it->second.remove(id);
    if (it->second.is_empty()) map_.erase(it);
  }

  // The ids of `key` (empty when absent). Only meaningful while enabled.
  template <class K>
  Bitmap get(const K& key) const {
    auto it = map_.find(key);
    return it == map_.end() ? Bitmap() : it->second.to_bitmap();
  }

  // The ids of `key` that are in `scope`.
  template <class K>
  Bitmap get_within(const K& key, const Bitmap& scope) const {
    auto it = map_.find(key);
    if (it == map_.end()) return Bitmap();
    if (const Bitmap* large = it->second.large()) return large->intersected(scope);
    Bitmap out;
    for (uint32_t id : it->second.run()) {
      if (scope.contains(id)) out.add(id);
    }
    return out;
  }

  // The number of ids of `key`.
  template <class K>
  uint64_t count(const K& key) const {
    auto it = map_.find(key);
    return it == map_.end() ? 0 : it->second.cardinality();
  }

  const Map& map() const noexcept { return map_; }

  void union_with(const ValueBuckets& other) {
    if (!enabled_ || !other.enabled_) {
      disable();
      return;
    }
    for (const auto& [key, set] : other.map_) {
      auto it = map_.find(key);
      if (it == map_.end()) {
        if (map_.size() >= MAX_DISTINCT) {
          disable();
          return;
        }
        map_.emplace(key, set);
      } else {
        it->second.union_with(set);
      }
    }
  }

  void intersect_with(const Bitmap& keep) {
    std::vector<typename Map::key_type> emptied;
    for (auto& [key, set] : map_) {
      set.intersect_with(keep);
      if (set.is_empty()) emptied.push_back(key);
    }
    for (const auto& key : emptied) map_.erase(key);
  }

  std::size_t memory_bytes() const {
    std::size_t total = sizeof(*this);
    for (const auto& [key, set] : map_) total += sizeof(key) + set.memory_bytes();
    return total;
  }

 private:
  void disable() {
    enabled_ = false;
    Map().swap(map_);
    Pending().swap(pending_);
    pending_new_ = 0;
  }

  using Pending = absl::flat_hash_map<typename Map::key_type, std::vector<uint32_t>>;

  bool enabled_ = true;
  Map map_;
  Pending pending_;
  std::size_t pending_new_ = 0;  // pending keys that the map does not hold yet
};

}  // namespace quorvane
