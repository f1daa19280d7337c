// ElementList: the elements of one container as a value index keeps them
// under their holder: per element its id and what was indexed for it, which
// is what removing the element later needs (the container may have changed
// since) and what an equality over a few holders compares.
//
// Containers are mostly lists of a few numbers or short strings, and an index
// holds one list per object that has such a value, so the whole list is one
// block: a 16-byte entry per element, and the bytes of strings too long to
// sit in their entry after the entries. A number, boolean or string keeps
// only its native form (the index never kept their objects); any other value
// (a nested container, an Indexable, a fraction, a date, an object matched by
// identity, a string of 16 MiB or more) keeps its whole PyValue behind its
// entry. A list never changes once made: a holder's container is indexed again
// as a new list.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "index/value.h"

namespace quorvane {

class ElementList {
 public:
  class Entry {
   public:
    uint32_t id;

    ValueKind kind() const noexcept;
    bool nested() const noexcept { return kind() == ValueKind::Iterable; }
    // The element's value as it was indexed (rebuilt for a number, boolean or
    // string; a copy of the kept PyValue otherwise).
    PyValue value() const;
    // The text of a string element (kind() == Str), without rebuilding it.
    std::string_view text() const noexcept;
    // The kept PyValue of an element that is not a number, boolean or string
    // (what may hold Python references), or null.
    const PyValue* kept() const noexcept;

   private:
    friend class ElementList;
    enum Form : uint8_t { INT, FLOAT, BOOL, SHORT_TEXT, LONG_TEXT, KEPT };
    // The form in the low byte, a string's length in the three above it.
    uint32_t form_;
    // The int64 or double's bits, the boolean, up to 8 bytes of text, a
    // pointer to the text after the entries, or a pointer to the kept value.
    uint64_t payload_;

    Form form() const noexcept { return static_cast<Form>(form_ & 0xFF); }
    uint32_t length() const noexcept { return form_ >> 8; }
  };
  static_assert(sizeof(Entry) == 16);

  ElementList() noexcept = default;
  // The list of elements `values[i]` under the ids `ids[i]`, in that order.
  ElementList(std::span<const uint32_t> ids, std::span<const PyValue* const> values);
  ElementList(ElementList&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  ElementList& operator=(ElementList&& other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~ElementList() { release(); }

  uint32_t size() const noexcept { return block_ == nullptr ? 0 : block_->size; }
  bool empty() const noexcept { return size() == 0; }
  const Entry* begin() const noexcept { return block_ == nullptr ? nullptr : block_->entries(); }
  const Entry* end() const noexcept { return begin() + size(); }

 private:
  struct Block {
    uint32_t size;
    uint32_t unused;
    // Followed by `size` entries, then the bytes of long strings.
    Entry* entries() noexcept { return reinterpret_cast<Entry*>(this + 1); }
  };

  // Makes the entries; `text_at` is where long strings' bytes go.
  void fill(std::span<const uint32_t> ids, std::span<const PyValue* const> values, char* text_at);
  void release() noexcept;

  Block* block_ = nullptr;
};

}  // namespace quorvane
