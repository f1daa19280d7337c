// The attribute map of an object: attribute id -> value.
//
// Most objects have a handful of attributes, so up to 8 entries live inline
// (two parallel arrays searched linearly, no allocation); the ninth distinct
// key moves everything into a hash map for good. There is no removal:
// attributes are never deleted.
//
// No lock of its own: the owner keeps the map behind the object's attribute mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <variant>

#include "absl/container/flat_hash_map.h"
#include "util/fxhash.h"
#include "util/panic.h"

namespace quorvane {

// FxHash of the 32-bit key.
struct AttrKeyHash {
  std::size_t operator()(uint32_t key) const noexcept { return fx_hash_u32(key); }
};

template <class V>
class HybridHashmap {
 public:
  static constexpr std::size_t SMALL_CAPACITY = 8;
  // The map made on spill has room for this many entries before it grows.
  static constexpr std::size_t SPILL_RESERVE = 28;

  // Values are moved, never copied, between the two forms.
  static_assert(std::is_nothrow_move_constructible_v<V>, "values must move without throwing");

  HybridHashmap() = default;

  // Sets the value of `key`. A replaced value is released and the entry keeps
  // its place; the ninth distinct key turns the map into a hash map.
  void insert(uint32_t key, V value) {
    if (auto* map = std::get_if<Map>(&rep_)) {
      map->insert_or_assign(key, std::move(value));
      return;
    }
    auto& small = std::get<Small>(rep_);
    if (V* slot = small.find(key)) {
      *slot = std::move(value);
    } else if (small.len < SMALL_CAPACITY) {
      small.append(key, std::move(value));
    } else {
      spill(small, key, std::move(value));
    }
  }

  // The value of `key`, or nullptr. Valid until the next `insert`.
  const V* get(uint32_t key) const { return const_cast<HybridHashmap*>(this)->get(key); }
  V* get(uint32_t key) {
    if (auto* map = std::get_if<Map>(&rep_)) {
      auto it = map->find(key);
      return it == map->end() ? nullptr : &it->second;
    }
    return std::get<Small>(rep_).find(key);
  }

  std::size_t size() const noexcept {
    if (auto* map = std::get_if<Map>(&rep_)) return map->size();
    return std::get<Small>(rep_).len;
  }
  bool empty() const noexcept { return size() == 0; }
  // Whether the entries are still inline (fewer than 9 distinct keys ever set).
  bool is_small() const noexcept { return std::holds_alternative<Small>(rep_); }

  // Calls `fn(key, value)` for every entry: inline entries in order of first
  // insertion, hash map entries in the map's order (stable while unmodified).
  template <class F>
  void for_each(F&& fn) const {
    if (auto* map = std::get_if<Map>(&rep_)) {
      for (const auto& [key, value] : *map) fn(key, value);
      return;
    }
    const auto& small = std::get<Small>(rep_);
    for (std::size_t i = 0; i < small.len; ++i) fn(small.keys[i], small.values[i]);
  }

 private:
  using Map = absl::flat_hash_map<uint32_t, V, AttrKeyHash>;

  // Inline form: slots [0, len) hold live values, later slots hold nothing.
  struct Small {
    uint32_t keys[SMALL_CAPACITY];
    union {
      V values[SMALL_CAPACITY];
    };
    std::size_t len = 0;

    Small() noexcept {}
    Small(const Small& other) requires std::is_copy_constructible_v<V> { copy_from(other); }
    Small(Small&& other) noexcept { move_from(other); }
    Small& operator=(const Small& other) requires std::is_copy_constructible_v<V> {
      if (this != &other) {
        clear();
        copy_from(other);
      }
      return *this;
    }
    Small& operator=(Small&& other) noexcept {
      if (this != &other) {
        clear();
        move_from(other);
      }
      return *this;
    }
    ~Small() { clear(); }

    V* find(uint32_t key) {
      if (len > SMALL_CAPACITY) panic_out_of_bounds(len, SMALL_CAPACITY);
      for (std::size_t i = 0; i < len; ++i) {
        if (keys[i] == key) return &values[i];
      }
      return nullptr;
    }
    void append(uint32_t key, V&& value) {
      keys[len] = key;
      std::construct_at(&values[len], std::move(value));
      ++len;
    }
    void clear() noexcept {
      for (std::size_t i = 0; i < len; ++i) std::destroy_at(&values[i]);
      len = 0;
    }
    // Expects an empty map; `len` counts what is constructed so far.
    void copy_from(const Small& other) {
      for (; len < other.len; ++len) {
        keys[len] = other.keys[len];
        std::construct_at(&values[len], other.values[len]);
      }
    }
    // Leaves the source empty.
    void move_from(Small& other) noexcept {
      for (; len < other.len; ++len) {
        keys[len] = other.keys[len];
        std::construct_at(&values[len], std::move(other.values[len]));
      }
      other.clear();
    }
  };

  // Reserving first is the only allocation, so a failure leaves the inline
  // entries untouched; the moves after it cannot throw.
  void spill(Small& small, uint32_t key, V&& value) {
    Map map;
    map.reserve(SPILL_RESERVE);
    for (std::size_t i = 0; i < small.len; ++i) {
      map.try_emplace(small.keys[i], std::move(small.values[i]));
    }
    map.try_emplace(key, std::move(value));
    rep_.template emplace<Map>(std::move(map));
  }

  std::variant<Small, Map> rep_;
};

}  // namespace quorvane
