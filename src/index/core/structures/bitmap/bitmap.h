// Bitmap: the one owning wrapper over a CRoaring bitmap, a compressed set of
// 32-bit ids.
//
// Small sets skip CRoaring, whose smallest set costs about 150 heap bytes:
// the index keeps millions of cells holding a few ids each. A set is in one
// of four forms, chosen by what it holds and never visible outside:
// - empty: no storage at all (a new or cleared set, a moved-from one);
// - one id: held inside the object itself;
// - a few ids (2 to 256) sharing their upper 16 bits: one heap block of
//   sorted 16-bit values;
// - a few ids (2 to 256) under different upper 16 bits: one heap block of
//   sorted 32-bit ids (CRoaring would make a container for each 65536-id
//   chunk they touch);
// - anything else: a CRoaring bitmap.
// A set leaves the few-ids form for CRoaring when it outgrows it; results of
// operations take the smallest form that fits when one operand is small.
//
// Ownership: a Bitmap owns its storage and frees it on destruction.
// Failure: a failed allocation throws `Panic`.
// Naming: `x_with` changes this set in place, `x-ed` returns a new set.
// Const operations never change the storage (readers share a set).
// Written against the CRoaring API common to 0.2.x and 4.x.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorvane {

// Every id from `lo` to `hi`, both included.
struct IdInterval {
  uint32_t lo, hi;
  bool contains(uint32_t id) const noexcept { return lo <= id && id <= hi; }
};

class DenseIds;

class Bitmap {
 public:
  // An empty set; allocates nothing.
  Bitmap() noexcept = default;
  // An empty CRoaring set with room for `capacity` containers (none for 0).
  explicit Bitmap(uint32_t capacity);
  Bitmap(std::initializer_list<uint32_t> ids);
  static Bitmap from_ids(std::span<const uint32_t> ids);

  Bitmap(const Bitmap& other);
  // Overwrites this set with a copy of `other`.
  Bitmap& operator=(const Bitmap& other);
  // The moved-from set is empty.
  Bitmap(Bitmap&& other) noexcept : word_(std::exchange(other.word_, 0)) {}
  Bitmap& operator=(Bitmap&& other) noexcept {
    std::swap(word_, other.word_);
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
  // Whether every id lies in `bounds` (true for the empty set).
  bool is_within(IdInterval bounds) const;
  // The bounds of a set that holds every id between its smallest and its
  // largest; none for any other set (the empty one included).
  std::optional<IdInterval> interval() const;

  void union_with(const Bitmap& other);
  void intersect_with(const Bitmap& other);
  void difference_with(const Bitmap& other);
  // The same, with `dense` holding the ids of `other` for the tests a set
  // of a few ids makes; appends the ids taken out, ascending, to `*gone`
  // when given.
  void difference_with(const Bitmap& other, const DenseIds& dense,
                       std::vector<uint32_t>* gone = nullptr);
  Bitmap unioned(const Bitmap& other) const;
  Bitmap intersected(const Bitmap& other) const;
  Bitmap differenced(const Bitmap& other) const;
  // Whether the two sets share at least one id.
  bool intersects(const Bitmap& other) const;
  // How many ids the two sets share (no set is built).
  uint64_t intersection_cardinality(const Bitmap& other) const;
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
  // Writes the ids in ascending order to out[0, cardinality()).
  void copy_to(uint32_t* out) const;
  // Writes the smallest ids not below `first`, ascending, to the front of
  // `out` (as many as fit); returns how many it wrote (fewer than out.size()
  // past the largest id). Costs what it writes plus a search for `first`, so
  // a set is read in pieces without a copy.
  std::size_t copy_from(uint32_t first, std::span<uint32_t> out) const;

  // Compresses runs and drops spare room.
  void optimize();
  // The heap bytes the set's storage takes: 0 while it holds at most one id
  // (unless it was made with a capacity).
  std::size_t size_in_bytes() const;

  friend bool operator==(const Bitmap& a, const Bitmap& b);

 private:
  // Takes ownership of a CRoaring bitmap (opaque here so that this header
  // does not depend on how the CRoaring version namespaces its types).
  struct Adopt {};
  Bitmap(Adopt, void* raw);
  void iterate_raw(bool (*fn)(uint32_t, void*), void* ctx) const;

  // Frees the storage; the set is then empty.
  void release() noexcept;
  // Makes this set hold exactly `ids` (strictly ascending, not pointing
  // into this set's storage), in the smallest form that fits.
  void assign_ascending(std::span<const uint32_t> ids);
  // Moves the set to the CRoaring form (kept if already there) and returns
  // the CRoaring bitmap.
  void* to_roaring();
  bool is_roaring() const { return word_ != 0 && (word_ & 3) == 0; }

  // 0: empty; low bits 01: one id, in the upper 32 bits; low bits 10: a
  // few-ids block; 11: a spread block; 00: a CRoaring bitmap.
  std::uintptr_t word_ = 0;
};

}  // namespace quorvane
