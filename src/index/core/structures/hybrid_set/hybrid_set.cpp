#include "index/core/structures/hybrid_set/hybrid_set.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "util/panic.h"

namespace quorvane {

static_assert(sizeof(HybridSet) == 16, "a HybridSet should stay within 16 bytes");

HybridSet HybridSet::of(uint32_t id) {
  HybridSet set;
  set.add(id);
  return set;
}

HybridSet::HybridSet(const HybridSet& other) : kind_(Kind::Empty) {
  switch (other.kind_) {
    case Kind::Empty:
      break;
    case Kind::Small:
      std::copy_n(other.small_(), SMALL_CAPACITY, small_());
      small_len_ = other.small_len_;
      break;
    case Kind::Medium:
      new (storage_) CenteredArray*(new CenteredArray(*other.medium_()));
      break;
    case Kind::Large:
      new (storage_) Bitmap(other.large_());
      start_count();
      break;
  }
  kind_ = other.kind_;
}

HybridSet& HybridSet::operator=(const HybridSet& other) {
  if (this != &other) {
    HybridSet copy(other);  // may throw; this set is untouched until it succeeds
    reset();
    steal(copy);
  }
  return *this;
}

HybridSet::HybridSet(HybridSet&& other) noexcept : kind_(Kind::Empty) {
  steal(other);
}

HybridSet& HybridSet::operator=(HybridSet&& other) noexcept {
  if (this != &other) {
    reset();
    steal(other);
  }
  return *this;
}

HybridSet::~HybridSet() {
  reset();
}

void HybridSet::reset() noexcept {
  switch (kind_) {
    case Kind::Empty:
    case Kind::Small:
      break;
    case Kind::Medium:
      delete medium_();
      break;
    case Kind::Large:
      large_().~Bitmap();
      break;
  }
  kind_ = Kind::Empty;
}

void HybridSet::steal(HybridSet& other) noexcept {
  Kind kind = other.kind_;
  switch (kind) {
    case Kind::Empty:
      break;
    case Kind::Small:
      std::copy_n(other.small_(), SMALL_CAPACITY, small_());
      small_len_ = other.small_len_;
      break;
    case Kind::Medium:
      new (storage_) CenteredArray*(other.medium_());
      other.kind_ = Kind::Empty;  // the allocation now belongs to this set
      break;
    case Kind::Large:
      new (storage_) Bitmap(std::move(other.large_()));
      start_count();
      break;
  }
  kind_ = kind;
  other.reset();
}

void HybridSet::become_large(Bitmap&& bitmap) noexcept {
  reset();
  new (storage_) Bitmap(std::move(bitmap));
  start_count();
  kind_ = Kind::Large;
}

void HybridSet::become_medium(CenteredArray* array) noexcept {
  reset();
  new (storage_) CenteredArray*(array);
  kind_ = Kind::Medium;
}

void HybridSet::become_array(std::span<const uint32_t> ids) {
  if (ids.size() > SMALL_CAPACITY) {
    become_medium(new CenteredArray(CenteredArray::from_sorted(ids)));
    return;
  }
  reset();
  std::fill_n(small_(), SMALL_CAPACITY, 0);
  std::copy(ids.begin(), ids.end(), small_());
  small_len_ = static_cast<uint8_t>(ids.size());
  kind_ = Kind::Small;
}

void HybridSet::small_insert(uint32_t id) noexcept {
  uint32_t* ids = small_();
  uint32_t at = 0;
  while (at < small_len_ && ids[at] < id) ++at;
  if (at < small_len_ && ids[at] == id) return;
  for (uint32_t i = small_len_; i > at; --i) ids[i] = ids[i - 1];
  ids[at] = id;
  ++small_len_;
}

void HybridSet::array_remove(uint32_t id) noexcept {
  if (kind_ == Kind::Medium) {
    medium_()->remove(id);
    return;
  }
  uint32_t* ids = small_();
  uint32_t at = 0;
  while (at < small_len_ && ids[at] != id) ++at;
  if (at == small_len_) return;
  for (uint32_t i = at + 1; i < small_len_; ++i) ids[i - 1] = ids[i];
  --small_len_;
}

void HybridSet::add(uint32_t id) {
  switch (kind_) {
    case Kind::Empty:
      become_array({&id, 1});
      return;
    case Kind::Small:
      // Small converts at its fourth add.
      if (small_len_ >= SMALL_CAPACITY) break;
      small_insert(id);
      return;
    case Kind::Medium:
      if (medium_()->len() >= CenteredArray::CAPACITY) break;
      medium_()->insert(id);
      return;
    case Kind::Large:
      forget_count();
      large_().add(id);
      return;
  }
  Bitmap bitmap;
  bitmap.add_many(run());
  bitmap.add(id);
  become_large(std::move(bitmap));
}

void HybridSet::add_many(std::span<const uint32_t> ids) {
  if (kind_ == Kind::Large) {
    forget_count();
    large_().add_many(ids);
    return;
  }
  if (ids.size() < CenteredArray::CAPACITY) {
    for (uint32_t id : ids) add(id);
    return;
  }
  Bitmap bitmap;
  if (kind_ != Kind::Empty) bitmap.add_many(run());
  bitmap.add_many(ids);
  become_large(std::move(bitmap));
}

void HybridSet::remove(uint32_t id) {
  switch (kind_) {
    case Kind::Empty:
      throw Panic("called remove on Empty");
    case Kind::Small:
    case Kind::Medium:
      array_remove(id);
      return;
    case Kind::Large:
      forget_count();
      large_().remove(id);
      return;
  }
}

bool HybridSet::is_empty() const {
  switch (kind_) {
    case Kind::Small:
    case Kind::Medium:
      return run().empty();
    case Kind::Large:
      return large_().is_empty();
    case Kind::Empty:
      break;
  }
  throw Panic("called is_empty on Empty");
}

bool HybridSet::contains(uint32_t id) const {
  switch (kind_) {
    case Kind::Small:
    case Kind::Medium: {
      const auto ids = run();
      return std::find(ids.begin(), ids.end(), id) != ids.end();
    }
    case Kind::Large:
      return large_().contains(id);
    case Kind::Empty:
      break;
  }
  return false;
}

uint64_t HybridSet::cardinality() const {
  switch (kind_) {
    case Kind::Small:
    case Kind::Medium:
      return run().size();
    case Kind::Large: {
      const uint32_t known = large_count_().load(std::memory_order_relaxed);
      if (known != UNCOUNTED) return known;
      const uint64_t counted = large_().cardinality();
      if (counted < UNCOUNTED) {
        large_count_().store(static_cast<uint32_t>(counted), std::memory_order_relaxed);
      }
      return counted;
    }
    case Kind::Empty:
      break;
  }
  return 0;
}

void HybridSet::add_to(Bitmap& out) const {
  switch (kind_) {
    case Kind::Small:
    case Kind::Medium:
      out.add_many(run());
      return;
    case Kind::Large:
      out.union_with(large_());
      return;
    case Kind::Empty:
      return;
  }
}

Bitmap HybridSet::to_bitmap() const {
  if (kind_ == Kind::Large) return large_();
  Bitmap out;
  add_to(out);
  return out;
}

void HybridSet::union_with(const HybridSet& other) {
  forget_count();
  if (this == &other) {
    HybridSet copy(other);
    union_with(copy);
    return;
  }
  if (other.kind_ == Kind::Empty) return;
  if (kind_ == Kind::Empty) {
    *this = other;
    return;
  }
  if (other.kind_ == Kind::Large) {
    if (kind_ == Kind::Large) {
      large_().union_with(other.large_());
    } else {
      Bitmap bitmap(other.large_());
      bitmap.add_many(run());
      become_large(std::move(bitmap));
    }
    return;
  }
  // `other` is an array from here on.
  if (kind_ == Kind::Large) {
    large_().add_many(other.run());
    return;
  }
  const auto mine = run(), theirs = other.run();
  if (mine.size() + theirs.size() > CenteredArray::CAPACITY) {
    Bitmap bitmap;
    bitmap.add_many(mine);
    bitmap.add_many(theirs);
    become_large(std::move(bitmap));
    return;
  }
  uint32_t merged[CenteredArray::CAPACITY];
  const auto end = std::set_union(mine.begin(), mine.end(), theirs.begin(), theirs.end(), merged);
  const std::span<const uint32_t> ids(merged, static_cast<std::size_t>(end - merged));
  const bool small = kind_ == Kind::Small && other.kind_ == Kind::Small &&
                     mine.size() + theirs.size() <= SMALL_CAPACITY;
  if (small) {
    become_array(ids);
  } else if (kind_ == Kind::Medium) {
    // Merging into the allocation this set already owns saves an allocation.
    *medium_() = CenteredArray::from_sorted(ids);
  } else {
    become_medium(new CenteredArray(CenteredArray::from_sorted(ids)));
  }
}

void HybridSet::intersect_with(const Bitmap& keep) {
  forget_count();
  switch (kind_) {
    case Kind::Empty:
      return;
    case Kind::Large:
      large_().intersect_with(keep);
      return;
    case Kind::Small:
    case Kind::Medium:
      break;
  }
  uint32_t kept[CenteredArray::CAPACITY];
  uint32_t n = 0;
  for (uint32_t id : run()) {
    if (keep.contains(id)) kept[n++] = id;
  }
  CenteredArray narrowed = CenteredArray::from_sorted({kept, n});
  if (kind_ == Kind::Medium) {
    *medium_() = narrowed;
  } else {
    become_medium(new CenteredArray(narrowed));
  }
}

void HybridSet::difference_with(const Bitmap& removed, const DenseIds& dense,
                                std::vector<uint32_t>* gone) {
  forget_count();
  switch (kind_) {
    case Kind::Empty:
      return;
    case Kind::Large:
      large_().difference_with(removed, dense, gone);
      return;
    case Kind::Small:
    case Kind::Medium:
      break;
  }
  // Collected first: removing shifts the run being read.
  uint32_t taken[CenteredArray::CAPACITY];
  uint32_t n = 0;
  for (uint32_t id : run()) {
    if (dense.contains(id)) taken[n++] = id;
  }
  for (uint32_t i = 0; i < n; ++i) array_remove(taken[i]);
  if (gone != nullptr) gone->insert(gone->end(), taken, taken + n);
}

std::size_t HybridSet::memory_bytes() const {
  switch (kind_) {
    case Kind::Medium:
      return sizeof(CenteredArray);
    case Kind::Large:
      return large_().size_in_bytes();
    case Kind::Empty:
    case Kind::Small:
      break;
  }
  return 0;
}

}  // namespace quorvane
