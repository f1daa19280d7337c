// BufferedBitmap: an id-set cell (of the numeric slices, the positional
// string columns and the boolean sets) that bulk writers can fill without one
// set insertion per id.
//
// The ordinary path adds to the Bitmap directly. A bulk writer pushes: ids
// wait in a small array buffer, and a cell that fills it (one receiving a
// long run of ids) collects the rest as the bits of one 65536-id chunk, where
// setting a bit costs a few instructions and a finished chunk reaches the
// Bitmap as one whole container. Ids below the current chunk (another run,
// or ids out of order) keep using the array buffer, so any order of ids is
// handled, at the array buffer's speed.
//
// Readers read `bitmap()` alone: outside a bulk write nothing is pending, and
// a bulk writer holds the owning structure's lock until it has flushed. No
// lock of its own. Both buffers are freed by `flush`, so a cell costs no
// buffer memory outside a bulk write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/structures/bitmap/bitmap.h"

namespace quorvane {

class BufferedBitmap {
 public:
  // An empty cell: empty bitmap, nothing pending, no buffers.
  BufferedBitmap() = default;
  BufferedBitmap(const BufferedBitmap& other);
  BufferedBitmap& operator=(const BufferedBitmap& other);
  // Moves carry the pending ids; the moved-from cell may only be destroyed or
  // assigned to.
  BufferedBitmap(BufferedBitmap&& other) noexcept = default;
  BufferedBitmap& operator=(BufferedBitmap&& other) noexcept = default;

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

  // Kept to a few instructions: this runs once per id for every cell an id
  // goes to (some 40 cells per number). The chunk is scanned whole when
  // emitted instead of tracking the words touched.
  void set_bit(uint32_t id) {
    chunk_->words[(id & 0xFFFFu) >> 6] |= uint64_t{1} << (id & 63);
    ++chunk_count_;
  }
  void push_elsewhere(uint32_t id);
  // Adds the chunk's ids to the bitmap and clears it.
  void emit_chunk();

  Bitmap bitmap_;
  std::unique_ptr<Chunk> chunk_;  // all zero after each emit
  uint32_t key_ = 0;              // the chunk holds ids key_ * 65536 + bit
  uint32_t chunk_count_ = 0;
  std::vector<uint32_t> overflow_;  // the array buffer
};

}  // namespace quorvane
