// M2MU32: an exact many-to-many relation between 32-bit ids, used for the
// links from the objects (or container elements) that hold an Indexable as an
// attribute value (parents) to the objects they hold (children).
//
// Both directions are kept, each as a table from id to the set of linked ids,
// so that a question costs in proportion to the ids it asks about and every
// answer is exact. A table entry exists only while its set is non-empty.
// No locking inside: the engine holds the relation behind a reader/writer lock.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/functional/function_ref.h>

#include <cstddef>
#include <cstdint>

#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/hybrid_set/hybrid_set.h"

namespace quorvane {

class M2MU32 {
 public:
  // Records the link (parent, child); returns false, changing nothing, when
  // it was recorded already.
  bool register_path(uint32_t parent, uint32_t child);
  // Removes the link (parent, child); returns whether it existed.
  bool unlink(uint32_t parent, uint32_t child);

  // Number of parents linked to `child` (0 when it has none).
  std::size_t parent_count(uint32_t child) const;
  bool has_parents(uint32_t child) const;

  // Calls `fn(child)` for every child of `parent`.
  template <class F>
  void for_each_child(uint32_t parent, F&& fn) const {
    auto it = children_by_parent_.find(parent);
    if (it == children_by_parent_.end()) return;
    if (const Bitmap* large = it->second.large()) {
      large->for_each([&](uint32_t child) { fn(child); });
    } else {
      for (uint32_t child : it->second.run()) fn(child);
    }
  }
  // Calls `fn(child)` once per link (a child with n parents n times).
  template <class F>
  void for_each_link_child(F&& fn) const {
    for (const auto& [child, parents] : parents_by_child_) {
      for (uint64_t i = parents.cardinality(); i > 0; --i) fn(child);
    }
  }

  // Exactly the parents linked to at least one id of `children` (a new set).
  Bitmap get_parent_from_ids(const Bitmap& children) const;
  // Exactly the children linked to at least one id of `parents` (a new set).
  Bitmap children_of(const Bitmap& parents) const;
  // Every parent with at least one link.
  Bitmap all_parents() const;
  // Every child with at least one link.
  Bitmap all_children() const;

  // Removes every link of the ids in `parents`, calling `on_dropped(child)`
  // once per removed link; returns those of their children that have no
  // parent left afterwards.
  Bitmap drop_parents(const Bitmap& parents);
  template <class F>
  Bitmap drop_parents(const Bitmap& parents, F&& on_dropped) {
    return drop_parents_calling(parents, [&](uint32_t child) { on_dropped(child); });
  }

  // Adds every link of `other` to this relation.
  void union_with(const M2MU32& other);

  // Whether no link is recorded.
  bool is_empty() const;
  // Approximate heap and inline bytes held by the relation.
  std::size_t memory_bytes() const;

 private:
  using Table = absl::flat_hash_map<uint32_t, HybridSet>;
  Bitmap drop_parents_calling(const Bitmap& parents, absl::FunctionRef<void(uint32_t)> on_dropped);

  Table children_by_parent_;
  Table parents_by_child_;
};

}  // namespace quorvane
