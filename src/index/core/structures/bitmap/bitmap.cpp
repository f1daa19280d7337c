#include "index/core/structures/bitmap/bitmap.h"

#include <roaring/roaring.h>

#include "util/panic.h"

namespace quorvane {
namespace {

void* checked_alloc(roaring_bitmap_t* raw) {
  check(raw != nullptr, "failed to create a bitmap");
  return raw;
}

inline roaring_bitmap_t* rb(void* raw) {
  return static_cast<roaring_bitmap_t*>(raw);
}
inline const roaring_bitmap_t* rb(const void* raw) {
  return static_cast<const roaring_bitmap_t*>(raw);
}

}  // namespace

Bitmap::Bitmap(Adopt, void* raw) : raw_(checked_alloc(static_cast<roaring_bitmap_t*>(raw))) {}
Bitmap::Bitmap() : Bitmap(Adopt{}, roaring_bitmap_create_with_capacity(0)) {}
Bitmap::Bitmap(uint32_t capacity)
    : Bitmap(Adopt{}, roaring_bitmap_create_with_capacity(capacity)) {}
Bitmap::Bitmap(std::initializer_list<uint32_t> ids) : Bitmap() {
  add_many(std::span<const uint32_t>(ids.begin(), ids.size()));
}

Bitmap Bitmap::from_ids(std::span<const uint32_t> ids) {
  Bitmap result;
  result.add_many(ids);
  return result;
}

Bitmap::Bitmap(const Bitmap& other) : Bitmap(Adopt{}, roaring_bitmap_copy(rb(other.raw_))) {}

Bitmap& Bitmap::operator=(const Bitmap& other) {
  if (this == &other) return *this;
  if (raw_ == nullptr) {
    raw_ = checked_alloc(roaring_bitmap_copy(rb(other.raw_)));
  } else {
    check(roaring_bitmap_overwrite(rb(raw_), rb(other.raw_)), "failed to copy a bitmap");
  }
  return *this;
}

Bitmap::~Bitmap() {
  if (raw_ != nullptr) roaring_bitmap_free(rb(raw_));
}

void Bitmap::add(uint32_t id) {
  roaring_bitmap_add(rb(raw_), id);
}
void Bitmap::add_many(std::span<const uint32_t> ids) {
  if (!ids.empty()) roaring_bitmap_add_many(rb(raw_), ids.size(), ids.data());
}
void Bitmap::remove(uint32_t id) {
  roaring_bitmap_remove(rb(raw_), id);
}
bool Bitmap::contains(uint32_t id) const {
  return roaring_bitmap_contains(rb(raw_), id);
}
void Bitmap::clear() {
  roaring_bitmap_clear(rb(raw_));
}

uint64_t Bitmap::cardinality() const {
  return roaring_bitmap_get_cardinality(rb(raw_));
}
bool Bitmap::is_empty() const {
  return roaring_bitmap_is_empty(rb(raw_));
}
std::optional<uint32_t> Bitmap::maximum() const {
  if (is_empty()) return std::nullopt;
  return roaring_bitmap_maximum(rb(raw_));
}

void Bitmap::union_with(const Bitmap& other) {
  roaring_bitmap_or_inplace(rb(raw_), rb(other.raw_));
}
void Bitmap::intersect_with(const Bitmap& other) {
  roaring_bitmap_and_inplace(rb(raw_), rb(other.raw_));
}
void Bitmap::difference_with(const Bitmap& other) {
  // CRoaring requires distinct operands for the in-place difference.
  if (this == &other) {
    clear();
  } else {
    roaring_bitmap_andnot_inplace(rb(raw_), rb(other.raw_));
  }
}
Bitmap Bitmap::unioned(const Bitmap& other) const {
  return Bitmap(Adopt{}, roaring_bitmap_or(rb(raw_), rb(other.raw_)));
}
Bitmap Bitmap::intersected(const Bitmap& other) const {
  return Bitmap(Adopt{}, roaring_bitmap_and(rb(raw_), rb(other.raw_)));
}
Bitmap Bitmap::differenced(const Bitmap& other) const {
  return Bitmap(Adopt{}, roaring_bitmap_andnot(rb(raw_), rb(other.raw_)));
}
bool Bitmap::intersects(const Bitmap& other) const {
  return roaring_bitmap_intersect(rb(raw_), rb(other.raw_));
}

bool Bitmap::is_subset_of(const Bitmap& other) const {
  return roaring_bitmap_is_subset(rb(raw_), rb(other.raw_));
}

void Bitmap::iterate_raw(bool (*fn)(uint32_t, void*), void* ctx) const {
  roaring_iterate(rb(raw_), fn, ctx);
}

std::vector<uint32_t> Bitmap::to_vector() const {
  std::vector<uint32_t> out(cardinality());
  if (!out.empty()) roaring_bitmap_to_uint32_array(rb(raw_), out.data());
  return out;
}

void Bitmap::optimize() {
  roaring_bitmap_run_optimize(rb(raw_));
  roaring_bitmap_shrink_to_fit(rb(raw_));
}
std::size_t Bitmap::size_in_bytes() const {
  return roaring_bitmap_size_in_bytes(rb(raw_));
}

bool operator==(const Bitmap& a, const Bitmap& b) {
  return roaring_bitmap_equals(rb(a.raw_), rb(b.raw_));
}

}  // namespace quorvane
