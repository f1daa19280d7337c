// HybridSet: the id set of one distinct attribute value.
//
// Most values are carried by a handful of objects, so a set starts as a tiny
// sorted array stored inside the set and becomes a compressed Bitmap once it
// outgrows it. Forms, in order: Empty, Small (up to 3 ascending ids inside
// the set), Medium (heap CenteredArray, made by narrowing and by merging
// arrays, up to 4 ids), Large (owned Bitmap). A set never returns to a
// smaller form. The whole set is 16 bytes: an ordered map of values keeps one
// per distinct value, and most of an attribute's values may be unique.
//
// No lock of its own: it is read and written under the lock of the map shard
// holding it. Every conversion builds the new form completely before the old
// one is released, so a failure leaves the set as it was.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/bitmap/dense_ids.h"
#include "index/core/structures/centered_array/centered_array.h"

namespace quorvane {

class HybridSet {
 public:
  enum class Kind : uint8_t { Empty, Small, Medium, Large };

  // An Empty set: no storage at all.
  HybridSet() noexcept : kind_(Kind::Empty) {}
  // A Small set holding `id`.
  static HybridSet of(uint32_t id);

  // Copies are deep (a Medium array or a Large bitmap is duplicated).
  HybridSet(const HybridSet& other);
  HybridSet& operator=(const HybridSet& other);
  // A moved-from set is Empty.
  HybridSet(HybridSet&& other) noexcept;
  HybridSet& operator=(HybridSet&& other) noexcept;
  ~HybridSet();

  Kind kind() const { return kind_; }

  // Inserts `id`. A Small set with 3 or more ids, or a Medium one with 4,
  // becomes Large before any duplicate test, so re-adding a present id to a
  // full array still converts it.
  void add(uint32_t id);
  // Inserts every id of `ids`: fewer than 4 one by one, as `add`; more make
  // the set Large at once, in one batched add.
  void add_many(std::span<const uint32_t> ids);
  // Removes `id` if present; the form never shrinks.
  // Throws Panic("called remove on Empty") on an Empty set.
  void remove(uint32_t id);
  // Whether the set holds no id (a Small/Medium run of length 0 counts).
  // Throws Panic("called is_empty on Empty") on an Empty set.
  bool is_empty() const;
  // False on Empty.
  bool contains(uint32_t id) const;
  // Number of ids; 0 on Empty.
  uint64_t cardinality() const;

  // out |= this: one batched add for an array, one union for a bitmap.
  void add_to(Bitmap& out) const;
  Bitmap to_bitmap() const;

  // this |= other, keeping the form rules of index merging: array runs whose
  // lengths (duplicates counted twice) add up to at most 4 are merged as
  // arrays (two Small sets whose lengths add up to at most 3 stay Small, any
  // other merge of arrays is Medium), otherwise the result is Large. An Empty `this` becomes a copy
  // of `other`; an Empty `other` changes nothing.
  void union_with(const HybridSet& other);
  // this &= keep. Small and Medium become Medium holding the kept ids in
  // ascending order; Large is intersected in place; Empty stays Empty.
  void intersect_with(const Bitmap& keep);
  // this -= removed (`dense` is the same ids, for the tests of the small
  // forms). Small and Medium lose their ids one by one (a set none of whose
  // ids is removed is left as it is); Large is differenced in place. Appends
  // the ids taken out, ascending, to `*gone` when given.
  void difference_with(const Bitmap& removed, const DenseIds& dense,
                       std::vector<uint32_t>* gone = nullptr);

  // The ascending ids of a Small or Medium set; an empty span otherwise.
  // Valid until the next change of the set.
  std::span<const uint32_t> run() const {
    if (kind_ == Kind::Small) return {small_(), small_len_};
    if (kind_ == Kind::Medium) return medium_()->run();
    return {};
  }
  // The bitmap of a Large set, else nullptr. Valid until the next change.
  const Bitmap* large() const { return kind_ == Kind::Large ? &large_() : nullptr; }

  // Heap bytes owned by the set (the Medium array or the bitmap's
  // serialized size), for memory reports.
  std::size_t memory_bytes() const;

 private:
  static constexpr uint32_t SMALL_CAPACITY = 3;

  uint32_t* small_() { return std::launder(reinterpret_cast<uint32_t*>(storage_)); }
  const uint32_t* small_() const {
    return std::launder(reinterpret_cast<const uint32_t*>(storage_));
  }
  CenteredArray*& medium_() { return *std::launder(reinterpret_cast<CenteredArray**>(storage_)); }
  CenteredArray* medium_() const {
    return *std::launder(reinterpret_cast<CenteredArray* const*>(storage_));
  }
  Bitmap& large_() { return *std::launder(reinterpret_cast<Bitmap*>(storage_)); }
  const Bitmap& large_() const { return *std::launder(reinterpret_cast<const Bitmap*>(storage_)); }

  // Small and Medium: inserts into the run (which has room) or removes.
  void small_insert(uint32_t id) noexcept;
  void array_remove(uint32_t id) noexcept;
  // Replaces the current form by a Small or Medium one holding `ids`
  // (ascending, at most 4).
  void become_array(std::span<const uint32_t> ids);

  // Releases the current form and leaves the set Empty.
  void reset() noexcept;
  // Replaces the current form (releasing it) by an owned bitmap.
  void become_large(Bitmap&& bitmap) noexcept;
  // Replaces the current form (releasing it) by a Medium set owning `array`.
  void become_medium(CenteredArray* array) noexcept;
  // Moves the form of `other` into this Empty set; `other` becomes Empty.
  void steal(HybridSet& other) noexcept;

  // One storage for the three payloads (up to 3 ids, the Medium pointer, the
  // Bitmap handle with a Large set's count); a Small set's length and the
  // form follow it.
  static constexpr std::size_t STORAGE = 12;
  static_assert(sizeof(Bitmap) + sizeof(std::atomic<uint32_t>) <= STORAGE &&
                sizeof(CenteredArray*) <= STORAGE && SMALL_CAPACITY * sizeof(uint32_t) <= STORAGE);
  alignas(std::max(alignof(CenteredArray*), alignof(Bitmap))) unsigned char storage_[STORAGE];
  uint8_t small_len_ = 0;
  Kind kind_;

  // A Large set's size once a reader has counted it, kept in the storage
  // the bitmap handle leaves free: a bitmap counts its containers one by
  // one, and facets ask every value's size on every call. Readers (holding
  // the map shared) store what they counted; every change (holding it
  // exclusively) forgets it, so a kept count always belongs to the set.
  // UNCOUNTED also stands for a set too large for 32 bits.
  static constexpr uint32_t UNCOUNTED = UINT32_MAX;
  static constexpr std::size_t COUNT_AT = sizeof(Bitmap);
  static_assert(COUNT_AT % alignof(std::atomic<uint32_t>) == 0);
  // Valid in the Large form only. A const set's count is still written by
  // the readers that count it (the object itself is never const).
  std::atomic<uint32_t>& large_count_() const {
    return *std::launder(
        reinterpret_cast<std::atomic<uint32_t>*>(const_cast<unsigned char*>(storage_) + COUNT_AT));
  }
  void start_count() noexcept { new (storage_ + COUNT_AT) std::atomic<uint32_t>(UNCOUNTED); }
  void forget_count() noexcept {
    if (kind_ == Kind::Large) large_count_().store(UNCOUNTED, std::memory_order_relaxed);
  }
};

}  // namespace quorvane
