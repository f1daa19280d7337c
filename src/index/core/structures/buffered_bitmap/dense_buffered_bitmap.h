// DenseBufferedBitmap: an id-set cell whose bulk path collects pending ids as
// the bits of one 65536-id chunk, for cells that receive long ascending runs
// of ids (the numeric slices and the boolean cells of a bulk write).
//
// Setting a bit costs a few instructions; a finished chunk reaches the Bitmap
// as one whole container. A cell starts with a small array buffer and takes
// the chunk only once it has filled that buffer; ids below the current chunk
// (another run, or ids out of order) keep using the array buffer, so any
// order of ids is handled, at the array buffer's speed.
//
// As BufferedBitmap: the ordinary path adds directly, readers read `bitmap()`
// alone, and the owning structure's lock guards the cell. Both buffers are
// freed by `flush`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/structures/bitmap/bitmap.h"

namespace quorvane {

class DenseBufferedBitmap {
 public:
  // An empty cell: empty bitmap, nothing pending, no buffers.
  DenseBufferedBitmap() = default;
  DenseBufferedBitmap(const DenseBufferedBitmap& other);
  DenseBufferedBitmap& operator=(const DenseBufferedBitmap& other);
  // Moves carry the pending ids; the moved-from cell may only be destroyed or
  // assigned to.
  DenseBufferedBitmap(DenseBufferedBitmap&& other) noexcept = default;
  DenseBufferedBitmap& operator=(DenseBufferedBitmap&& other) noexcept = default;

  // Adds `id` to the bitmap directly (the ordinary path).
  void add(uint32_t id) { bitmap_.add(id); }
  // Removes `id` from the bitmap. Pending ids are not searched: outside a
  // bulk write there are none.
  void remove(uint32_t id) { bitmap_.remove(id); }

  // Marks `id` pending; pending ids reach the bitmap by `flush` at the latest.
  void push(uint32_t id) {
    if (chunk_ != nullptr && (id >> 16) == key_) [[likely]] {
      set_bit(id);
    } else {
      push_elsewhere(id);
    }
  }

  // Moves every pending id into the bitmap and frees the buffers.
  void flush();
  // Drops every pending id without adding it, and frees the buffers.
  void discard_pending();

  const Bitmap& bitmap() const { return bitmap_; }
  Bitmap& bitmap() { return bitmap_; }
  // Pushes not yet in the bitmap (an id pushed twice counts twice).
  uint32_t pending_count() const { return chunk_count_ + static_cast<uint32_t>(overflow_.size()); }

 private:
  static constexpr uint32_t WORDS = 1024;
  static constexpr std::size_t OVERFLOW_BATCH = 256;
  struct Chunk {
    uint64_t words[WORDS] = {};
  };

  void set_bit(uint32_t id) {
    const uint32_t word = (id & 0xFFFFu) >> 6;
    chunk_->words[word] |= uint64_t{1} << (id & 63);
    if (word < first_word_) first_word_ = word;
    if (word > last_word_) last_word_ = word;
    ++chunk_count_;
  }
  void push_elsewhere(uint32_t id);
  // Adds the chunk's ids to the bitmap and clears it.
  void emit_chunk();

  Bitmap bitmap_;
  std::unique_ptr<Chunk> chunk_;  // zero outside [first_word_, last_word_]
  uint32_t key_ = 0;              // the chunk holds ids key_ * 65536 + bit
  uint32_t first_word_ = WORDS;
  uint32_t last_word_ = 0;
  uint32_t chunk_count_ = 0;
  std::vector<uint32_t> overflow_;  // the array buffer
};

}  // namespace quorvane
