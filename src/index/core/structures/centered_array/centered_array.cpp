#include "index/core/structures/centered_array/centered_array.h"

#include "util/panic.h"

namespace quorvane {

uint32_t CenteredArray::search(uint32_t v, bool& found) const {
  const uint32_t* run = data_ + start_;
  uint32_t base = 0;
  uint32_t size = len_;
  while (size > 1) {
    uint32_t half = size / 2;
    if (run[base + half] <= v) base += half;
    size -= half;
  }
  found = len_ > 0 && run[base] == v;
  if (len_ > 0 && run[base] < v) ++base;
  return base;
}

bool CenteredArray::contains(uint32_t v) const {
  bool found;
  search(v, found);
  return found;
}

void CenteredArray::insert(uint32_t v) {
  check(len_ < CAPACITY, "CenteredArray full");
  // With no free slot on one side, re-centre first so that both sides have
  // room (or the run starts at 0 and the back has room).
  if (start_ + len_ >= CAPACITY || start_ == 0) {
    uint32_t b = (CAPACITY - len_) / 2;
    if (b != start_) {
      uint32_t tmp[CAPACITY];
      for (uint32_t i = 0; i < len_; ++i) tmp[i] = data_[start_ + i];
      for (uint32_t i = 0; i < len_; ++i) data_[b + i] = tmp[i];
      start_ = static_cast<uint8_t>(b);
    }
  }
  bool found;
  uint32_t pos = search(v, found);
  if (found) return;
  if (start_ > 0 && pos < len_ / 2u) {
    // Shift the head one slot toward the front.
    for (uint32_t i = 0; i < pos; ++i) data_[start_ - 1 + i] = data_[start_ + i];
    --start_;
  } else {
    // Shift the tail one slot toward the back.
    for (uint32_t i = len_; i > pos; --i) data_[start_ + i] = data_[start_ + i - 1];
  }
  data_[start_ + pos] = v;
  ++len_;
}

void CenteredArray::remove(uint32_t v) {
  bool found;
  uint32_t pos = search(v, found);
  if (!found) return;
  uint32_t slot = start_ + pos;
  if (slot < len_ / 2u) {
    // Close the gap from the front: the head moves one slot back.
    for (uint32_t i = pos; i > 0; --i) data_[start_ + i] = data_[start_ + i - 1];
    ++start_;
  } else {
    for (uint32_t i = pos + 1; i < len_; ++i) data_[start_ + i - 1] = data_[start_ + i];
  }
  --len_;
}

void CenteredArray::union_with(const CenteredArray& other) {
  uint32_t buf[CAPACITY];
  uint32_t n = 0;
  auto emit = [&](uint32_t x) {
    if (n >= CAPACITY) panic_out_of_bounds(n, CAPACITY);
    buf[n++] = x;
  };
  const uint32_t* a = data_ + start_;
  const uint32_t* b = other.data_ + other.start_;
  uint32_t i = 0, j = 0;
  while (i < len_ && j < other.len_) {
    if (a[i] < b[j]) {
      emit(a[i++]);
    } else if (b[j] < a[i]) {
      emit(b[j++]);
    } else {
      emit(a[i]);
      ++i, ++j;
    }
  }
  while (i < len_) emit(a[i++]);
  while (j < other.len_) emit(b[j++]);
  // Everything is merged into `buf` before any field changes, so a failure
  // above leaves this array intact (and `other` may alias this).
  uint32_t s = (CAPACITY - n) / 2;
  for (uint32_t k = 0; k < n; ++k) data_[s + k] = buf[k];
  start_ = static_cast<uint8_t>(s);
  len_ = static_cast<uint8_t>(n);
}

CenteredArray CenteredArray::from_sorted(std::span<const uint32_t> ids) {
  if (ids.size() > CAPACITY) panic_out_of_bounds(ids.size(), CAPACITY);
  CenteredArray out;
  uint32_t n = static_cast<uint32_t>(ids.size());
  uint32_t s = (CAPACITY - n) / 2;
  for (uint32_t k = 0; k < n; ++k) {
    check(k == 0 || ids[k - 1] < ids[k], "CenteredArray ids not ascending");
    out.data_[s + k] = ids[k];
  }
  out.start_ = static_cast<uint8_t>(s);
  out.len_ = static_cast<uint8_t>(n);
  return out;
}

}  // namespace quorvane
