#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "util/panic.h"

namespace quorvane {
namespace {

static_assert(sizeof(std::uintptr_t) == 8, "a cell's write state is one tagged word");

// An array buffer holds 8 ids at first and doubles when full, so that its
// capacity follows from its count.
constexpr uint32_t FIRST_CAPACITY = 8;

uint32_t array_capacity(uint32_t count) {
  return std::max(FIRST_CAPACITY, std::bit_ceil(count));
}

uint32_t* array_ids(void* block) {
  return static_cast<uint32_t*>(block);
}

}  // namespace

std::uintptr_t BufferedBitmap::state_word(void* block, uint32_t value, std::uintptr_t tag) {
  const auto address = reinterpret_cast<std::uintptr_t>(block);
  check((address & ~ADDRESS_BITS) == 0, "a write buffer's address does not fit 48 bits");
  return address | (std::uintptr_t{value} << VALUE_SHIFT) | tag;
}

std::uintptr_t BufferedBitmap::array_word(void* block, uint32_t count) {
  check(block != nullptr, "failed to allocate a write buffer");
  std::unique_ptr<void, decltype(&std::free)> owned(block, &std::free);
  const std::uintptr_t word = state_word(block, count, ARRAY);
  owned.release();
  return word;
}

BufferedBitmap::BufferedBitmap(const BufferedBitmap& other) : bitmap_(other.bitmap_) {
  switch (other.pending_ & TAGS) {
    case ARRAY: {
      const uint32_t count = other.state_value();
      pending_ = array_word(std::malloc(sizeof(uint32_t) * array_capacity(count)), count);
      std::memcpy(state_block(), other.state_block(), sizeof(uint32_t) * count);
      break;
    }
    case CHUNK: {
      auto chunk = std::make_unique<Chunk>(*static_cast<const Chunk*>(other.state_block()));
      pending_ = state_word(chunk.get(), other.state_value(), CHUNK);
      chunk.release();
      break;
    }
    default:
      break;
  }
}

BufferedBitmap& BufferedBitmap::operator=(const BufferedBitmap& other) {
  if (this != &other) *this = BufferedBitmap(other);
  return *this;
}

uint32_t BufferedBitmap::pending_count() const {
  switch (pending_ & TAGS) {
    case ARRAY:
      return state_value();
    case CHUNK: {
      const auto& chunk = *static_cast<const Chunk*>(state_block());
      auto count = static_cast<uint32_t>(chunk.below.size());
      for (uint64_t word : chunk.words) count += static_cast<uint32_t>(std::popcount(word));
      return count;
    }
    default:
      return 0;
  }
}

void BufferedBitmap::push_elsewhere(uint32_t id) {
  if ((pending_ & TAGS) != CHUNK) {
    // The first ids of a write wait in the array buffer; only a cell that
    // fills it is busy enough to be given the chunk's 8 KiB.
    const uint32_t count = state_value();
    uint32_t* ids = array_ids(state_block());
    if (count < OVERFLOW_BATCH) {
      if (pending_ == 0 || (count >= FIRST_CAPACITY && std::has_single_bit(count))) {
        void* grown = std::realloc(ids, sizeof(uint32_t) * array_capacity(count + 1));
        check(grown != nullptr, "failed to allocate a write buffer");  // `ids` still held
        pending_ = 0;  // `ids` is gone: a failure below loses the pending ids, not memory
        pending_ = array_word(grown, count);
        ids = array_ids(grown);
      }
      ids[count] = id;
      pending_ += std::uintptr_t{1} << VALUE_SHIFT;
      return;
    }
    auto chunk = std::make_unique<Chunk>();
    chunk->set_bit(id);
    const std::uintptr_t word = state_word(chunk.get(), id >> 16, CHUNK);
    bitmap_.add_many(std::span<const uint32_t>(ids, count));
    std::free(ids);
    pending_ = word;
    chunk.release();
    return;
  }
  auto& chunk = *static_cast<Chunk*>(state_block());
  const uint32_t key = state_value();
  if ((id >> 16) > key) {
    // An ascending run moved on: the finished chunk goes in whole.
    emit_chunk(chunk, key);
    pending_ = state_word(&chunk, id >> 16, CHUNK);
    chunk.set_bit(id);
  } else {
    if (chunk.below.size() == OVERFLOW_BATCH) {
      bitmap_.add_many(chunk.below);
      chunk.below.clear();
    }
    chunk.below.push_back(id);
  }
}

void BufferedBitmap::emit_chunk(Chunk& chunk, uint32_t key) {
  bitmap_.add_chunk_bits(static_cast<uint16_t>(key), chunk.words, 0, WORDS - 1);
  std::memset(chunk.words, 0, sizeof(chunk.words));
}

void BufferedBitmap::flush() {
  switch (pending_ & TAGS) {
    case ARRAY:
      bitmap_.add_many(std::span<const uint32_t>(array_ids(state_block()), state_value()));
      break;
    case CHUNK: {
      auto& chunk = *static_cast<Chunk*>(state_block());
      emit_chunk(chunk, state_value());
      bitmap_.add_many(chunk.below);
      break;
    }
    default:
      return;
  }
  discard_pending();
}

void BufferedBitmap::discard_pending() noexcept {
  switch (pending_ & TAGS) {
    case ARRAY:
      std::free(state_block());
      break;
    case CHUNK:
      delete static_cast<Chunk*>(state_block());
      break;
    default:
      break;
  }
  pending_ = 0;
}

}  // namespace quorvane
