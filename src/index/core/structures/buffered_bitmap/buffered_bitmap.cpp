#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"

#include <cstring>

namespace quorvane {

BufferedBitmap::BufferedBitmap(const BufferedBitmap& other)
    : bitmap_(other.bitmap_),
      chunk_(other.chunk_ ? std::make_unique<Chunk>(*other.chunk_) : nullptr),
      key_(other.key_),
      chunk_count_(other.chunk_count_),
      overflow_(other.overflow_) {}

BufferedBitmap& BufferedBitmap::operator=(const BufferedBitmap& other) {
  if (this != &other) *this = BufferedBitmap(other);
  return *this;
}

void BufferedBitmap::push_elsewhere(uint32_t id) {
  if (chunk_ == nullptr) {
    // The first ids of a write wait in the array buffer; only a cell that
    // fills it is busy enough to be given the chunk's 8 KiB.
    if (overflow_.size() < OVERFLOW_BATCH) {
      overflow_.push_back(id);
      return;
    }
    bitmap_.add_many(overflow_);
    overflow_.clear();
    chunk_ = std::make_unique<Chunk>();
    key_ = id >> 16;
  } else if ((id >> 16) > key_) {
    // An ascending run moved on: the finished chunk goes in whole.
    emit_chunk();
    key_ = id >> 16;
  } else {
    if (overflow_.size() == OVERFLOW_BATCH) {
      bitmap_.add_many(overflow_);
      overflow_.clear();
    }
    overflow_.push_back(id);
    return;
  }
  set_bit(id);
}

void BufferedBitmap::emit_chunk() {
  if (chunk_count_ == 0) return;
  bitmap_.add_chunk_bits(static_cast<uint16_t>(key_), chunk_->words, 0, WORDS - 1);
  std::memset(chunk_->words, 0, sizeof(chunk_->words));
  chunk_count_ = 0;
}

void BufferedBitmap::flush() {
  if (chunk_ != nullptr) emit_chunk();
  bitmap_.add_many(overflow_);
  discard_pending();
}

void BufferedBitmap::discard_pending() {
  chunk_.reset();
  chunk_count_ = 0;
  std::vector<uint32_t>().swap(overflow_);
}

}  // namespace quorvane
