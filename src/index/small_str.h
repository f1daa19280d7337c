// SmallStr: an immutable UTF-8 string that keeps up to 23 bytes inline and
// longer text in one shared, reference-counted heap buffer (copying it only
// increments the count; the count is atomic, so copies cross threads).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace quorvane {

class SmallStr {
 public:
  static constexpr std::size_t INLINE_CAPACITY = 23;

  SmallStr() noexcept : inline_{}, tag_(0) {}
  explicit SmallStr(std::string_view text) {
    if (text.size() <= INLINE_CAPACITY) {
      tag_ = static_cast<uint8_t>(text.size());
      std::memcpy(inline_, text.data(), text.size());
    } else {
      tag_ = HEAP;
      void* raw = ::operator new(sizeof(Heap) + text.size());
      heap_ = new (raw) Heap{{1}, text.size()};
      std::memcpy(heap_->bytes(), text.data(), text.size());
    }
  }
  SmallStr(const SmallStr& other) noexcept { copy_from(other); }
  SmallStr(SmallStr&& other) noexcept { steal_from(other); }
  SmallStr& operator=(const SmallStr& other) noexcept {
    if (this != &other) {
      drop();
      copy_from(other);
    }
    return *this;
  }
  SmallStr& operator=(SmallStr&& other) noexcept {
    if (this != &other) {
      drop();
      steal_from(other);
    }
    return *this;
  }
  ~SmallStr() { drop(); }

  std::string_view view() const noexcept {
    return tag_ == HEAP ? std::string_view(heap_->bytes(), heap_->size)
                        : std::string_view(inline_, tag_);
  }
  std::size_t size() const noexcept { return view().size(); }
  friend bool operator==(const SmallStr& a, const SmallStr& b) noexcept {
    return a.view() == b.view();
  }

 private:
  static constexpr uint8_t HEAP = 0xFF;
  struct Heap {
    std::atomic<uint32_t> refs;
    std::size_t size;
    char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
  };

  void copy_from(const SmallStr& other) noexcept {
    tag_ = other.tag_;
    if (tag_ == HEAP) {
      heap_ = other.heap_;
      heap_->refs.fetch_add(1, std::memory_order_relaxed);
    } else {
      std::memcpy(inline_, other.inline_, INLINE_CAPACITY);
    }
  }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
  // A variant moves only its active member, but GCC (with the sanitizers'
  // instrumentation) follows every member's move and takes a string moved
  // out of a variant holding a number for uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
  void steal_from(SmallStr& other) noexcept {
    tag_ = other.tag_;
    if (tag_ == HEAP) {
      heap_ = other.heap_;
    } else {
      std::memcpy(inline_, other.inline_, INLINE_CAPACITY);
    }
    other.tag_ = 0;
  }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  void drop() noexcept {
    if (tag_ == HEAP && heap_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      heap_->~Heap();
      ::operator delete(heap_);
    }
    tag_ = 0;
  }

  union {
    char inline_[INLINE_CAPACITY];
    Heap* heap_;
  };
  uint8_t tag_;  // inline length 0..23, or HEAP
};

}  // namespace quorvane
