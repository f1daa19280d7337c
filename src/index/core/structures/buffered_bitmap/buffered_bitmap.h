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
// lock of its own. The write state lives behind one pointer, made by the
// first push and freed by `flush` or `discard_pending`: outside a bulk write
// a cell is its Bitmap and one null word (16 bytes, nothing on the heap
// while the cell is empty).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "index/core/structures/bitmap/bitmap.h"

namespace quorvane {

class BufferedBitmap {
 public:
  // An empty cell: empty bitmap, nothing pending, no buffers.
  BufferedBitmap() noexcept = default;
  BufferedBitmap(const BufferedBitmap& other);
  BufferedBitmap& operator=(const BufferedBitmap& other);
  // Moves carry the pending ids; the moved-from cell is empty.
  BufferedBitmap(BufferedBitmap&& other) noexcept
      : bitmap_(std::move(other.bitmap_)), pending_(std::exchange(other.pending_, 0)) {}
  BufferedBitmap& operator=(BufferedBitmap&& other) noexcept {
    std::swap(bitmap_, other.bitmap_);
    std::swap(pending_, other.pending_);
    return *this;
  }
  ~BufferedBitmap() { discard_pending(); }

  // Adds `id` to the bitmap directly (the ordinary path).
  void add(uint32_t id) { bitmap_.add(id); }
  // Removes `id` from the bitmap. Pending ids are not searched: outside a
  // bulk write there are none.
  void remove(uint32_t id) { bitmap_.remove(id); }

  // Marks `id` pending; pending ids reach the bitmap by `flush` at the latest.
  // Kept to a few instructions and to the cell's word plus one line of the
  // chunk: this runs once per id for every cell an id goes to (some 40
  // cells per number). The chunk is scanned whole when emitted instead of
  // tracking the words touched or counting.
  void push(uint32_t id) {
    // The word of a chunk for id's key, less the chunk's address; a caller
    // pushing one id into many cells computes it once.
    const std::uintptr_t chunk_of_key = (std::uintptr_t{id >> 16} << VALUE_SHIFT) | CHUNK;
    const std::uintptr_t word = pending_;
    if ((word & ~ADDRESS_BITS) == chunk_of_key) [[likely]] {
      reinterpret_cast<Chunk*>(word - chunk_of_key)->set_bit(id);
    } else {
      push_elsewhere(id);
    }
  }

  // Moves every pending id into the bitmap and frees the buffers.
  void flush();
  // Drops every pending id without adding it, and frees the buffers.
  void discard_pending() noexcept;

  const Bitmap& bitmap() const { return bitmap_; }
  Bitmap& bitmap() { return bitmap_; }
  // Ids pushed and not yet in the bitmap: pushes waiting in an array
  // buffer, plus the distinct ids in the chunk. 0 exactly when nothing is
  // pending.
  uint32_t pending_count() const;

 private:
  static constexpr uint32_t WORDS = 1024;
  static constexpr uint32_t OVERFLOW_BATCH = 256;

  // The state of a cell busy enough to be given a chunk. Ids below the
  // chunk's run wait in `below`, an array buffer of their own.
  struct Chunk {
    void set_bit(uint32_t id) { words[(id & 0xFFFFu) >> 6] |= uint64_t{1} << (id & 63); }
    uint64_t words[WORDS] = {};  // all zero after each emit
    std::vector<uint32_t> below;
  };

  // The write state is one word: 0 outside a bulk write, else the address
  // of the state's block (below 2^48, as user-space addresses of x86-64 and
  // AArch64 are) with a tag and a 16-bit value in the top bits:
  // - ARRAY: the block is the array buffer, ids only, and the value is their
  //   count (its capacity follows from the count);
  // - CHUNK: the block is a Chunk and the value its key: the chunk holds ids
  //   key * 65536 + bit.
  // A push thus reads nothing but this word before the line it writes.
  static constexpr std::uintptr_t ARRAY = 1;
  static constexpr std::uintptr_t CHUNK = 2;
  static constexpr std::uintptr_t TAGS = 3;
  static constexpr int VALUE_SHIFT = 48;
  static constexpr std::uintptr_t ADDRESS_BITS = ((std::uintptr_t{1} << VALUE_SHIFT) - 1) & ~TAGS;

  static std::uintptr_t state_word(void* block, uint32_t value, std::uintptr_t tag);
  // The word of an array buffer from malloc / realloc; on failure the block
  // is freed.
  static std::uintptr_t array_word(void* block, uint32_t count);
  uint32_t state_value() const { return static_cast<uint32_t>(pending_ >> VALUE_SHIFT); }
  void* state_block() const { return reinterpret_cast<void*>(pending_ & ADDRESS_BITS); }

  void push_elsewhere(uint32_t id);
  // Adds the chunk's ids to the bitmap and clears it.
  void emit_chunk(Chunk& chunk, uint32_t key);

  Bitmap bitmap_;
  std::uintptr_t pending_ = 0;
};

}  // namespace quorvane
