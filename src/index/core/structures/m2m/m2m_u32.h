// M2MU32: the exact many-to-many relation between the objects of a nested
// engine (children) and the objects or element ids of its parent engine
// (parents).
//
// Both directions are kept, each as a table from id to the set of linked ids,
// so that a question costs in proportion to the ids it asks about and every
// answer is exact. A table entry exists only while its set is non-empty.
// No locking inside: the engine holds the relation behind a reader/writer lock.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstddef>
#include <cstdint>

#include "index/core/structures/bitmap/bitmap.h"
#include "index/core/structures/hybrid_set/hybrid_set.h"

namespace quorvane {

class M2MU32 {
 public:
  // Records the link (parent, child); recording an existing link changes
  // nothing.
  void register_path(uint32_t parent, uint32_t child);
  // Removes the link (parent, child); returns whether it existed.
  bool unlink(uint32_t parent, uint32_t child);

  // Number of parents linked to `child` (0 when it has none).
  std::size_t parent_count(uint32_t child) const;
  bool has_parents(uint32_t child) const;

  // Exactly the parents linked to at least one id of `children` (a new set).
  Bitmap get_parent_from_ids(const Bitmap& children) const;
  // Exactly the children linked to at least one id of `parents` (a new set).
  Bitmap children_of(const Bitmap& parents) const;
  // Every parent with at least one link.
  Bitmap all_parents() const;

  // Removes every link of the ids in `parents`; returns those of their
  // children that have no parent left afterwards.
  Bitmap drop_parents(const Bitmap& parents);

  // Adds every link of `other` to this relation.
  void union_with(const M2MU32& other);

  // Whether no link is recorded.
  bool is_empty() const;
  // Approximate heap and inline bytes held by the relation.
  std::size_t memory_bytes() const;

 private:
  using Table = absl::flat_hash_map<uint32_t, HybridSet>;

  Table children_by_parent_;
  Table parents_by_child_;
};

}  // namespace quorvane
