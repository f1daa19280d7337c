// BufferedBitmap: an id-set cell that can collect ids in a small pending
// buffer and add them to its Bitmap in one batched insertion.
//
// The ordinary insertion path adds directly; only bulk writers push. Readers
// read `bitmap()` alone: outside a bulk write no id is pending, and a bulk
// writer holds the lock of the owning structure until it has flushed.
// No lock of its own: guarded by the structure that holds the cell.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "index/core/structures/bitmap/bitmap.h"
#include "util/panic.h"

namespace quorvane {

template <uint32_t K>
class BufferedBitmap {
  static_assert(K > 0, "a cell needs room for at least one pending id");

 public:
  static constexpr uint32_t CAPACITY = K;

  // An empty cell: empty bitmap, no pending id.
  BufferedBitmap() = default;
  BufferedBitmap(const BufferedBitmap&) = default;
  BufferedBitmap& operator=(const BufferedBitmap&) = default;
  // Moving a cell moves its pending ids with it; the moved-from cell keeps no
  // pending id and, like a moved-from Bitmap, may only be destroyed or
  // assigned to.
  BufferedBitmap(BufferedBitmap&& other) noexcept
      : bitmap_(std::move(other.bitmap_)), count_(std::exchange(other.count_, 0)) {
    copy_pending(other);
  }
  BufferedBitmap& operator=(BufferedBitmap&& other) noexcept {
    if (this != &other) {
      bitmap_ = std::move(other.bitmap_);
      count_ = std::exchange(other.count_, 0);
      copy_pending(other);
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
  void push(uint32_t id) {
    if (count_ == K) {
      bitmap_.add_many(std::span<const uint32_t>(pending_, K));
      count_ = 0;
    }
    pending_[count_++] = id;
  }

  // Moves every pending id into the bitmap. Throws Panic if the pending count
  // is above K (never produced by push).
  void flush() {
    check(count_ <= K, "BufferedBitmap pending count above capacity");
    if (count_ != 0) {
      bitmap_.add_many(std::span<const uint32_t>(pending_, count_));
      count_ = 0;
    }
  }

  // Drops every pending id without adding it.
  void discard_pending() { count_ = 0; }

  const Bitmap& bitmap() const { return bitmap_; }
  Bitmap& bitmap() { return bitmap_; }
  uint32_t pending_count() const { return count_; }
  // The pending ids in push order.
  std::span<const uint32_t> pending() const { return {pending_, count_}; }

 private:
  void copy_pending(const BufferedBitmap& other) {
    for (uint32_t i = 0; i < count_; ++i) pending_[i] = other.pending_[i];
  }

  uint32_t pending_[K] = {};  // positions [0, count_) are in use
  Bitmap bitmap_;
  uint32_t count_ = 0;
};

}  // namespace quorvane
