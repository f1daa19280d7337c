// TextKey: a distinct string value as the string buckets keep it, in 16
// bytes: up to 15 bytes inline, longer text in one heap block of its exact
// size. Copies are deep (keys are copied only by unions and bulk merges).
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace quorvane {

class TextKey {
 public:
  static constexpr std::size_t INLINE_CAPACITY = 15;

  TextKey() noexcept : bytes_{} {}
  explicit TextKey(std::string_view text) { assign(text); }
  TextKey(const TextKey& other) { assign(other.view()); }
  TextKey(TextKey&& other) noexcept { steal(other); }
  TextKey& operator=(const TextKey& other) {
    if (this != &other) {
      TextKey copy(other);
      drop();
      steal(copy);
    }
    return *this;
  }
  TextKey& operator=(TextKey&& other) noexcept {
    if (this != &other) {
      drop();
      steal(other);
    }
    return *this;
  }
  ~TextKey() { drop(); }

  std::string_view view() const noexcept {
    if (tag() != HEAP) return {bytes_, tag()};
    const char* heap = heap_block();
    uint32_t size;
    std::memcpy(&size, heap, sizeof size);
    return {heap + sizeof size, size};
  }

 private:
  static constexpr uint8_t HEAP = 0xFF;

  uint8_t tag() const noexcept { return static_cast<uint8_t>(bytes_[INLINE_CAPACITY]); }
  char* heap_block() const noexcept {
    char* heap;
    std::memcpy(&heap, bytes_, sizeof heap);
    return heap;
  }
  void assign(std::string_view text) {
    bytes_[INLINE_CAPACITY] = 0;
    if (text.size() <= INLINE_CAPACITY) {
      std::memcpy(bytes_, text.data(), text.size());
      bytes_[INLINE_CAPACITY] = static_cast<char>(text.size());
      return;
    }
    const auto size = static_cast<uint32_t>(text.size());
    char* heap = static_cast<char*>(::operator new(sizeof size + text.size()));
    std::memcpy(heap, &size, sizeof size);
    std::memcpy(heap + sizeof size, text.data(), text.size());
    std::memcpy(bytes_, &heap, sizeof heap);
    bytes_[INLINE_CAPACITY] = static_cast<char>(HEAP);
  }
  void steal(TextKey& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.bytes_[INLINE_CAPACITY] = 0;
  }
  void drop() noexcept {
    if (tag() == HEAP) ::operator delete(heap_block());
    bytes_[INLINE_CAPACITY] = 0;
  }

  // Inline: the bytes, then the length in the last byte. Heap: the block's
  // address (a 4-byte length, then the bytes), and HEAP in the last byte.
  alignas(8) char bytes_[INLINE_CAPACITY + 1];
};

static_assert(sizeof(TextKey) == 16);

}  // namespace quorvane
