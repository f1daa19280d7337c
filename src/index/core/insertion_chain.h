// The chain of objects being indexed on this thread, outermost first.
//
// Indexing an object indexes the Indexable values of its attributes in nested
// engines, recursively. A value that is a proper ancestor in this chain (an
// object above the one being indexed) would make the recursion endless, so
// it is not nested again: x.a = x nests x once, a.p = b with b.p = a nests b
// under a and stops there.
#pragma once

#include <cstdint>

namespace quorvane {

// Marks `id` as being indexed on this thread for the scope's lifetime.
class InsertionScope {
 public:
  explicit InsertionScope(uint32_t id);
  ~InsertionScope();
  InsertionScope(const InsertionScope&) = delete;
  InsertionScope& operator=(const InsertionScope&) = delete;
};

// Whether `id` is in the chain below its innermost entry.
bool insertion_chain_has_ancestor(uint32_t id) noexcept;

}  // namespace quorvane
