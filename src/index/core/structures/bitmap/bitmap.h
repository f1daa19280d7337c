// Bitmap: the one owning wrapper over a CRoaring bitmap, a compressed set of
// 32-bit ids.
//
// Ownership: a Bitmap owns its CRoaring bitmap and frees it on destruction.
// A moved-from Bitmap may only be destroyed or assigned to.
// Failure: a failed allocation of a CRoaring bitmap throws `Panic`.
// Naming: `x_with` changes this set in place, `x-ed` returns a new set.
// Written against the CRoaring API common to 0.2.x and 4.x.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace quorvane {

class Bitmap {
 public:
  // An empty set.
  Bitmap();
  // An empty set with room for `capacity` containers.
  explicit Bitmap(uint32_t capacity);
  Bitmap(std::initializer_list<uint32_t> ids);
  static Bitmap from_ids(std::span<const uint32_t> ids);

  Bitmap(const Bitmap& other);
  // Overwrites this set with a copy of `other`.
  Bitmap& operator=(const Bitmap& other);
  Bitmap(Bitmap&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
  Bitmap& operator=(Bitmap&& other) noexcept {
    std::swap(raw_, other.raw_);
    return *this;
  }
  ~Bitmap();

  void add(uint32_t id);
  // Adds every id of `ids` (any order, repeats allowed); fastest for long
  // strictly ascending runs.
  void add_many(std::span<const uint32_t> ids);
  // Adds key * 65536 + i for every 1 bit i of `words`, a 1024-word bitset of
  // one 65536-id chunk whose words outside [first_word, last_word] are zero.
  void add_chunk_bits(uint16_t key, const uint64_t* words, std::size_t first_word,
                      std::size_t last_word);
  void remove(uint32_t id);
  bool contains(uint32_t id) const;
  void clear();

  uint64_t cardinality() const;
  bool is_empty() const;
  // The largest id, or none for an empty set.
  std::optional<uint32_t> maximum() const;

  void union_with(const Bitmap& other);
  void intersect_with(const Bitmap& other);
  void difference_with(const Bitmap& other);
  Bitmap unioned(const Bitmap& other) const;
  Bitmap intersected(const Bitmap& other) const;
  Bitmap differenced(const Bitmap& other) const;
  // Whether the two sets share at least one id.
  bool intersects(const Bitmap& other) const;
  // Whether every id of this set is in `other`.
  bool is_subset_of(const Bitmap& other) const;

  // Calls `fn(id)` for every id in ascending order; `fn` returns false to stop.
  template <class F>
  void for_each(F&& fn) const {
    iterate_raw(
        [](uint32_t id, void* ctx) -> bool {
          using R = decltype((*static_cast<std::remove_reference_t<F>*>(ctx))(id));
          if constexpr (std::is_same_v<R, bool>) {
            return (*static_cast<std::remove_reference_t<F>*>(ctx))(id);
          } else {
            (*static_cast<std::remove_reference_t<F>*>(ctx))(id);
            return true;
          }
        },
        &fn);
  }
  std::vector<uint32_t> to_vector() const;

  // Compresses runs; returns bytes the set occupies in memory.
  void optimize();
  std::size_t size_in_bytes() const;

  friend bool operator==(const Bitmap& a, const Bitmap& b);

 private:
  // Takes ownership of a CRoaring bitmap (opaque here so that this header
  // does not depend on how the CRoaring version namespaces its types).
  struct Adopt {};
  Bitmap(Adopt, void* raw);
  void iterate_raw(bool (*fn)(uint32_t, void*), void* ctx) const;

  void* raw_;
};

}  // namespace quorvane
