// BufferedBitmap: an id-set cell that can collect ids in a small pending
// buffer and add them to its Bitmap in one batched insertion.
//
// The ordinary insertion path adds directly; only bulk writers push. Readers
// read `bitmap()` alone: outside a bulk write no id is pending, and a bulk
// writer holds the lock of the owning structure until it has flushed.
// No lock of its own: guarded by the structure that holds the cell.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "index/core/structures/bitmap/bitmap.h"

namespace quorvane {

template <uint32_t K>
class BufferedBitmap {
  static_assert(K > 0, "a cell needs room for at least one pending id");

 public:
  static constexpr uint32_t CAPACITY = K;

  // An empty cell: empty bitmap, no pending id, no buffer.
  BufferedBitmap() = default;
  BufferedBitmap(const BufferedBitmap& other) : bitmap_(other.bitmap_) { copy_pending(other); }
  BufferedBitmap& operator=(const BufferedBitmap& other) {
    if (this != &other) {
      bitmap_ = other.bitmap_;
      copy_pending(other);
    }
    return *this;
  }
  // Moving a cell moves its pending ids with it; the moved-from cell keeps no
  // pending id and, like a moved-from Bitmap, may only be destroyed or
  // assigned to.
  BufferedBitmap(BufferedBitmap&& other) noexcept
      : bitmap_(std::move(other.bitmap_)),
        pending_(std::move(other.pending_)),
        count_(std::exchange(other.count_, 0)) {}
  BufferedBitmap& operator=(BufferedBitmap&& other) noexcept {
    if (this != &other) {
      bitmap_ = std::move(other.bitmap_);
      pending_ = std::move(other.pending_);
      count_ = std::exchange(other.count_, 0);
    }
    return *this;
  }

  // Adds `id` to the bitmap directly (the ordinary path).
  void add(uint32_t id) { bitmap_.add(id); }
  // Removes `id` from the bitmap. Pending ids are not searched: outside a
  // bulk write there are none.
  void remove(uint32_t id) { bitmap_.remove(id); }

  // Appends `id` to the pending buffer; a full buffer is first emptied into
  // the bitmap with one batched insertion, so at most K ids are ever pending.
  // The buffer is allocated by the first push and freed by `flush`, so a cell
  // costs no buffer memory outside a bulk write.
  void push(uint32_t id) {
    if (count_ == K || pending_ == nullptr) [[unlikely]]
      make_room();
    pending_[count_++] = id;
  }

  // Moves every pending id into the bitmap and frees the buffer.
  void flush() {
    if (count_ != 0) bitmap_.add_many(std::span<const uint32_t>(pending_.get(), count_));
    discard_pending();
  }

  // Drops every pending id without adding it, and frees the buffer.
  void discard_pending() {
    pending_.reset();
    count_ = 0;
  }

  const Bitmap& bitmap() const { return bitmap_; }
  Bitmap& bitmap() { return bitmap_; }
  uint32_t pending_count() const { return count_; }
  // The pending ids in push order.
  std::span<const uint32_t> pending() const { return {pending_.get(), count_}; }

 private:
  void make_room() {
    if (pending_ == nullptr) {
      pending_ = std::make_unique_for_overwrite<uint32_t[]>(K);
      count_ = 0;
    } else {
      bitmap_.add_many(std::span<const uint32_t>(pending_.get(), K));
      count_ = 0;
    }
  }
  void copy_pending(const BufferedBitmap& other) {
    count_ = other.count_;
    if (other.pending_ == nullptr) {
      pending_.reset();
      return;
    }
    pending_ = std::make_unique_for_overwrite<uint32_t[]>(K);
    std::copy(other.pending_.get(), other.pending_.get() + count_, pending_.get());
  }

  Bitmap bitmap_;
  std::unique_ptr<uint32_t[]> pending_;  // K slots while a bulk write uses the cell
  uint32_t count_ = 0;                   // positions [0, count_) are in use
};

}  // namespace quorvane
