// ShardedHashMap: a hash map split into 16 independently locked shards, so
// that writers of different keys rarely contend and readers never block each
// other.
//
// Keys carry their own cached 64-bit hash (`CachedHash` reads it, it must
// agree with `Eq`: equal keys have equal cached hashes). The cached hash picks
// the shard; inside a shard the entry is found through the per-map keyed hash
// below.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "util/fxhash.h"
#include "util/lock.h"
#include "util/panic.h"

namespace quorvane {

namespace detail {

// A fresh seed for every map made in this process, so that two maps never
// share their in-shard hash (walking one map while filling another stays
// well spread).
inline uint64_t next_sharded_map_seed() {
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace detail

template <class K, class V, class CachedHash, class Eq = std::equal_to<K>>
class ShardedHashMap {
 public:
  static constexpr std::size_t SHARD_COUNT = 16;
  static_assert(std::has_single_bit(SHARD_COUNT), "the shard mask needs a power of two");

  // The per-map keyed hash inside a shard: absl's process-randomly seeded
  // hash of (map seed, cached hash). Only the cached hash of a key is read.
  class KeyHash {
   public:
    explicit KeyHash(uint64_t seed = 0) : seed_(seed) {}
    std::size_t operator()(const K& key) const { return absl::HashOf(seed_, CachedHash{}(key)); }

   private:
    uint64_t seed_;
  };

  using Map = absl::flat_hash_map<K, V, KeyHash, Eq>;

  // A map of 16 empty shards, made when first used: a map that never holds
  // anything costs one pointer.
  ShardedHashMap() = default;
  ShardedHashMap(ShardedHashMap&& other) noexcept
      : shards_(other.shards_.exchange(nullptr, std::memory_order_acq_rel)) {}
  ShardedHashMap& operator=(ShardedHashMap&& other) noexcept {
    if (this != &other) {
      delete shards_.exchange(other.shards_.exchange(nullptr, std::memory_order_acq_rel),
                              std::memory_order_acq_rel);
    }
    return *this;
  }
  ~ShardedHashMap() { delete shards_.load(std::memory_order_acquire); }

  // The shard of a cached hash: FxHash of its low then high 32-bit half,
  // masked to the shard count.
  static std::size_t shard_index(uint64_t hash) {
    return static_cast<std::size_t>(FxHasher().word64(hash).finish() & (SHARD_COUNT - 1));
  }

  // An independent copy of the value stored for `key`, or none; never creates
  // an entry. Read-locks the key's shard for the lookup only. Throws `Panic`
  // when the shard is poisoned.
  std::optional<V> get(const K& key) const {
    auto guard = shard(shard_index(CachedHash{}(key))).read();
    auto it = guard->find(key);
    if (it == guard->end()) return std::nullopt;
    return std::optional<V>(it->second);
  }

  // The number of ids stored for `key` (0 when it is absent), read without
  // copying them. Read-locks the key's shard for the lookup only.
  uint64_t count(const K& key) const {
    if (shards_.load(std::memory_order_acquire) == nullptr) return 0;
    auto guard = shard(shard_index(CachedHash{}(key))).read();
    auto it = guard->find(key);
    return it == guard->end() ? 0 : it->second.cardinality();
  }

  // The shard that holds (or will hold) keys with cached hash `hash`, locked
  // for writing until the guard is dropped. Throws `Panic` when poisoned.
  WriteGuard<Map> get_shard(uint64_t hash) { return shard(shard_index(hash)).write(); }

  // Shard `i` (0 <= i < SHARD_COUNT) locked for reading / writing, for passes
  // over the whole map. Throws `Panic` on an index out of range or a poisoned
  // shard.
  ReadGuard<Map> read_shard(std::size_t i) const { return shard(i).read(); }
  WriteGuard<Map> write_shard(std::size_t i) { return shard(i).write(); }
  // Shard `i` locked for reading if no writer holds it now; none when it is
  // busy or poisoned, or when nothing was ever stored (it is then not made).
  std::optional<ReadGuard<Map>> try_read_shard(std::size_t i) const {
    Shards* have = shards_.load(std::memory_order_acquire);
    if (have == nullptr || i >= SHARD_COUNT) return std::nullopt;
    return (*have)[i].try_read();
  }

  // Whether every shard is empty. Read-locks the shards one at a time, so the
  // answer is not a snapshot while writers run.
  bool is_empty() const {
    for (std::size_t i = 0; i < SHARD_COUNT; ++i) {
      if (!shard(i).read()->empty()) return false;
    }
    return true;
  }

 private:
  using Shards = std::array<RwLock<Map>, SHARD_COUNT>;

  // Locking mutates the lock, never the map's contents, so const readers may
  // take shard locks.
  RwLock<Map>& shard(std::size_t i) const {
    if (i >= SHARD_COUNT) panic_out_of_bounds(i, SHARD_COUNT);
    return (*shards())[i];
  }
  // The shards, made by the first thread to need them (a thread that loses
  // the race to install its own uses the winner's).
  Shards* shards() const {
    Shards* have = shards_.load(std::memory_order_acquire);
    if (have != nullptr) return have;
    auto fresh = std::make_unique<Shards>();
    const uint64_t seed = detail::next_sharded_map_seed();
    for (auto& shard : *fresh) shard.unshared() = Map(0, KeyHash(seed));
    if (shards_.compare_exchange_strong(have, fresh.get(), std::memory_order_acq_rel)) {
      return fresh.release();
    }
    return have;
  }

  mutable std::atomic<Shards*> shards_{nullptr};
};

}  // namespace quorvane
