// PagedArray: a map from 32-bit ids to values, stored as fixed pages of
// 2^PAGE_BITS slots that are allocated when their first slot is written and
// freed when their last slot is erased.
//
// The id pool hands ids out densely (and a batch's ids as runs), so looking
// an id up is two array reads instead of a hash probe, writing a run of ids
// touches memory in order, and memory follows the id ranges in use: a page
// costs 2^PAGE_BITS slots however few of them are used.
//
// No lock of its own: it lives under the lock of the structure that owns it.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace quorvane {

template <class T, unsigned PAGE_BITS>
class PagedArray {
 public:
  static constexpr uint32_t PAGE_SIZE = uint32_t{1} << PAGE_BITS;

  // The value of `id`, or nullptr when none is stored.
  const T* find(uint32_t id) const {
    const Page* page = page_of(id);
    if (page == nullptr || !page->used[id & MASK]) return nullptr;
    return &page->slots[id & MASK];
  }
  T* find(uint32_t id) { return const_cast<T*>(std::as_const(*this).find(id)); }
  // The slot of `id` when its page exists, whether a value is stored there or
  // not (an unused slot holds T{}). For values whose empty form is never
  // stored, testing the slot itself spares reading the page's used bits.
  const T* slot(uint32_t id) const {
    const Page* page = page_of(id);
    return page != nullptr ? &page->slots[id & MASK] : nullptr;
  }
  bool contains(uint32_t id) const { return find(id) != nullptr; }

  // Stores `value` for `id` (replacing any value it had); returns the slot.
  T& insert_or_assign(uint32_t id, T value) {
    const std::size_t p = id >> PAGE_BITS;
    if (p >= pages_.size()) pages_.resize(p + 1);
    if (pages_[p] == nullptr) pages_[p] = std::make_unique<Page>();
    Page& page = *pages_[p];
    if (!page.used[id & MASK]) {
      page.used[id & MASK] = true;
      ++page.count;
      ++size_;
    }
    T& slot = page.slots[id & MASK];
    slot = std::move(value);
    return slot;
  }

  // Removes the value of `id` and returns it (T{} when there was none).
  T take(uint32_t id) {
    const std::size_t p = id >> PAGE_BITS;
    Page* page = p < pages_.size() ? pages_[p].get() : nullptr;
    if (page == nullptr || !page->used[id & MASK]) return T{};
    T value = std::exchange(page->slots[id & MASK], T{});
    page->used[id & MASK] = false;
    --size_;
    if (--page->count == 0) pages_[p].reset();
    return value;
  }
  void erase(uint32_t id) { take(id); }

  // The number of ids with a value.
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Calls fn(id, value) for every stored value, in ascending id order.
  template <class F>
  void for_each(F&& fn) const {
    for (std::size_t p = 0; p < pages_.size(); ++p) {
      const Page* page = pages_[p].get();
      if (page == nullptr) continue;
      for (uint32_t i = 0; i < PAGE_SIZE; ++i) {
        if (page->used[i]) fn(static_cast<uint32_t>((p << PAGE_BITS) | i), page->slots[i]);
      }
    }
  }

  // Bytes held by the page table and the pages.
  std::size_t memory_bytes() const {
    std::size_t bytes = sizeof(*this) + pages_.capacity() * sizeof(std::unique_ptr<Page>);
    for (const auto& page : pages_) bytes += page != nullptr ? sizeof(Page) : 0;
    return bytes;
  }

 private:
  static constexpr uint32_t MASK = PAGE_SIZE - 1;
  struct Page {
    T slots[PAGE_SIZE] = {};
    std::bitset<PAGE_SIZE> used;
    uint32_t count = 0;
  };

  const Page* page_of(uint32_t id) const {
    const std::size_t p = id >> PAGE_BITS;
    return p < pages_.size() ? pages_[p].get() : nullptr;
  }

  std::vector<std::unique_ptr<Page>> pages_;
  std::size_t size_ = 0;
};

}  // namespace quorvane
