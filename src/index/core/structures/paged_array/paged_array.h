// PagedArray: a map from 32-bit ids to values, in one of two forms chosen by
// which costs less memory for the ids in use:
//   pages  fixed pages of 2^PAGE_BITS slots, allocated when their first slot
//          is written and freed when their last slot is erased, found through
//          a directory with one entry per page of the id range;
//   sparse a hash table of the ids in use.
//
// The id pool hands ids out densely (and a batch's ids as runs), so a large
// table is usually paged: looking an id up is two array reads instead of a
// hash probe, and writing a run of ids touches memory in order. The
// directory spans the pages from the lowest in use to the highest. But ids
// are shared by every engine of the process: a table of a few objects, or of
// objects scattered over a large id range, would pay a directory entry for
// every page of its span and a whole page per object. Such a table stays
// sparse. The form is reconsidered whenever the size has doubled or
// halved since it was last chosen (amortised: a check costs about the size).
//
// No lock of its own: it lives under the lock of the structure that owns it.
// A write may move every value (a change of form), so pointers into the
// table last only until the next write.
#pragma once

#include <algorithm>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"

namespace quorvane {

template <class T, unsigned PAGE_BITS>
class PagedArray {
 public:
  static constexpr uint32_t PAGE_SIZE = uint32_t{1} << PAGE_BITS;

  // The value of `id`, or nullptr when none is stored.
  const T* find(uint32_t id) const {
    if (!paged_) {
      if (sparse_ == nullptr) return nullptr;
      auto it = sparse_->find(id);
      return it == sparse_->end() ? nullptr : &it->second;
    }
    const Page* page = page_of(id);
    if (page == nullptr || !page->used[id & MASK]) return nullptr;
    return &page->slots[id & MASK];
  }
  T* find(uint32_t id) { return const_cast<T*>(std::as_const(*this).find(id)); }
  // The slot of `id` when its page exists, whether a value is stored there or
  // not (an unused slot holds T{}); sparse, the value or T{}. For values
  // whose empty form is never stored, testing the slot itself spares reading
  // the page's used bits.
  const T* slot(uint32_t id) const {
    if (!paged_) {
      const T* found = find(id);
      return found != nullptr ? found : &EMPTY;
    }
    const Page* page = page_of(id);
    return page != nullptr ? &page->slots[id & MASK] : nullptr;
  }
  bool contains(uint32_t id) const { return find(id) != nullptr; }

  // Stores `value` for `id` (replacing any value it had); returns the slot.
  T& insert_or_assign(uint32_t id, T value) {
    if (!paged_) {
      if (sparse_ == nullptr) sparse_ = std::make_unique<Sparse>();
      auto [it, fresh] = sparse_->insert_or_assign(id, std::move(value));
      if (!fresh || ++size_ < next_check_) return it->second;
      reconsider();
      return *find(id);
    }
    std::unique_ptr<Page>& entry = directory_entry(id >> PAGE_BITS);
    if (entry == nullptr) {
      entry = std::make_unique<Page>();
      ++page_count_;
    }
    Page& page = *entry;
    if (!page.used[id & MASK]) {
      page.used[id & MASK] = true;
      ++page.count;
      ++size_;
    }
    T& slot = page.slots[id & MASK];
    slot = std::move(value);
    if (size_ < next_check_) return slot;
    reconsider();
    return *find(id);
  }

  // Removes the value of `id` and returns it (T{} when there was none).
  T take(uint32_t id) {
    T value{};
    if (!paged_) {
      if (sparse_ == nullptr) return value;
      auto it = sparse_->find(id);
      if (it == sparse_->end()) return value;
      value = std::move(it->second);
      sparse_->erase(it);
    } else {
      Page* page = const_cast<Page*>(page_of(id));
      if (page == nullptr || !page->used[id & MASK]) return value;
      value = std::exchange(page->slots[id & MASK], T{});
      page->used[id & MASK] = false;
      if (--page->count == 0) {
        pages_[(id >> PAGE_BITS) - base_].reset();
        --page_count_;
      }
    }
    if (--size_ < last_check_ / 2) reconsider();
    return value;
  }
  void erase(uint32_t id) { take(id); }

  // The number of ids with a value.
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Calls fn(id, value) for every stored value, in ascending id order.
  template <class F>
  void for_each(F&& fn) const {
    if (!paged_) {
      if (sparse_ == nullptr) return;
      std::vector<uint32_t> ids;
      ids.reserve(sparse_->size());
      for (const auto& entry : *sparse_) ids.push_back(entry.first);
      std::sort(ids.begin(), ids.end());
      for (uint32_t id : ids) fn(id, sparse_->find(id)->second);
      return;
    }
    for (std::size_t p = 0; p < pages_.size(); ++p) {
      const Page* page = pages_[p].get();
      if (page == nullptr) continue;
      for (uint32_t i = 0; i < PAGE_SIZE; ++i) {
        if (page->used[i])
          fn(static_cast<uint32_t>(((p + base_) << PAGE_BITS) | i), page->slots[i]);
      }
    }
  }

  // Whether the values are in pages (else in the sparse table).
  bool paged() const noexcept { return paged_; }

  // Bytes held by the directory and the pages, or by the sparse table.
  std::size_t memory_bytes() const {
    return sizeof(*this) + pages_.capacity() * sizeof(std::unique_ptr<Page>) +
           page_count_ * sizeof(Page) +
           (sparse_ != nullptr ? sizeof(Sparse) + sparse_->capacity() * (sizeof(Entry) + 1) : 0);
  }

 private:
  static constexpr uint32_t MASK = PAGE_SIZE - 1;
  // Below this size a table is always sparse: a handful of values never pays
  // for a page.
  static constexpr uint32_t FIRST_CHECK = 16;
  struct Page {
    T slots[PAGE_SIZE] = {};
    std::bitset<PAGE_SIZE> used;
    uint32_t count = 0;
  };
  using Entry = std::pair<const uint32_t, T>;
  using Sparse = absl::flat_hash_map<uint32_t, T>;
  inline static const T EMPTY{};

  const Page* page_of(uint32_t id) const {
    // Pages below the base wrap around to large offsets.
    const std::size_t p = std::size_t{id >> PAGE_BITS} - base_;
    return p < pages_.size() ? pages_[p].get() : nullptr;
  }

  // The directory entry of page `p`, the directory widened to reach it
  // (downwards by at least its span, so that ids handed out below it do not
  // shift it entry by entry).
  std::unique_ptr<Page>& directory_entry(uint32_t p) {
    if (pages_.empty()) base_ = p;
    if (p < base_) {
      const std::size_t below =
          std::max<std::size_t>(base_ - p, std::min<std::size_t>(base_, pages_.size()));
      std::vector<std::unique_ptr<Page>> wider(below + pages_.size());
      std::move(pages_.begin(), pages_.end(), wider.begin() + below);
      pages_.swap(wider);
      base_ -= static_cast<uint32_t>(below);
    }
    if (p - base_ >= pages_.size()) pages_.resize(p - base_ + 1);
    return pages_[p - base_];
  }

  // What `pages` pages in a span of `span` pages would cost, and what the
  // sparse table would for the same values (its slack as it grows included).
  static std::size_t paged_bytes(std::size_t pages, std::size_t span) {
    return pages * sizeof(Page) + span * sizeof(std::unique_ptr<Page>);
  }
  std::size_t sparse_bytes() const { return size_ * (sizeof(Entry) + 1) * 12 / 7; }

  // Chooses the form again (see the header). Pages are chosen only when they cost
  // less than the sparse table, and left only when they cost twice as much,
  // so that a table near the line does not change form back and forth.
  void reconsider() {
    last_check_ = size_;
    next_check_ = std::max<uint32_t>(FIRST_CHECK, size_ * 2);
    if (!paged_) {
      absl::flat_hash_set<uint32_t> pages;
      uint32_t low = UINT32_MAX, high = 0;
      for (const auto& entry : *sparse_) {
        const uint32_t p = entry.first >> PAGE_BITS;
        pages.insert(p);
        low = std::min(low, p);
        high = std::max(high, p);
      }
      if (size_ >= FIRST_CHECK && paged_bytes(pages.size(), high - low + 1) < sparse_bytes()) {
        to_pages(low, high);
      } else if (sparse_->capacity() > 4 * std::size_t{size_} + FIRST_CHECK) {
        sparse_->rehash(0);  // a table that shrank gives its slack back
      }
    } else {
      if (size_ < FIRST_CHECK || paged_bytes(page_count_, pages_.size()) > 2 * sparse_bytes()) {
        to_sparse();
      }
    }
  }

  void to_pages(uint32_t low, uint32_t high) {
    base_ = low;
    pages_.resize(high - low + 1);
    for (auto& [id, value] : *sparse_) {
      auto& page = pages_[(id >> PAGE_BITS) - low];
      if (page == nullptr) {
        page = std::make_unique<Page>();
        ++page_count_;
      }
      page->used[id & MASK] = true;
      ++page->count;
      page->slots[id & MASK] = std::move(value);
    }
    sparse_.reset();
    paged_ = true;
  }

  void to_sparse() {
    sparse_ = std::make_unique<Sparse>();
    sparse_->reserve(size_);
    for (std::size_t p = 0; p < pages_.size(); ++p) {
      Page* page = pages_[p].get();
      if (page == nullptr) continue;
      for (uint32_t i = 0; i < PAGE_SIZE; ++i) {
        if (page->used[i]) {
          sparse_->emplace(static_cast<uint32_t>(((p + base_) << PAGE_BITS) | i),
                           std::move(page->slots[i]));
        }
      }
    }
    std::vector<std::unique_ptr<Page>>().swap(pages_);
    page_count_ = 0;
    paged_ = false;
  }

  // Made with the first value: an empty table is its directory and a few
  // counters.
  std::unique_ptr<Sparse> sparse_;
  std::vector<std::unique_ptr<Page>> pages_;  // from page `base_` on
  uint32_t base_ = 0;
  uint32_t size_ = 0;
  uint32_t page_count_ = 0;
  uint32_t last_check_ = 0;
  uint32_t next_check_ = FIRST_CHECK;
  bool paged_ = false;
};

}  // namespace quorvane
