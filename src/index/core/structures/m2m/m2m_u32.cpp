#include "index/core/structures/m2m/m2m_u32.h"

#include <algorithm>
#include <span>
#include <vector>

#include "util/panic.h"

namespace quorvane {
namespace {

using Table = absl::flat_hash_map<uint32_t, HybridSet>;

// Adds `value` to the set of `key`; false when it was there already.
bool link(Table& table, uint32_t key, uint32_t value) {
  auto it = table.find(key);
  if (it == table.end()) {
    table.emplace(key, HybridSet::of(value));
    return true;
  }
  if (it->second.contains(value)) return false;
  it->second.add(value);
  return true;
}

// Removes `value` from the set of `key`, dropping the entry once it is empty.
bool unlink_one(Table& table, uint32_t key, uint32_t value) {
  auto it = table.find(key);
  if (it == table.end() || !it->second.contains(value)) return false;
  it->second.remove(value);
  if (it->second.is_empty()) table.erase(it);
  return true;
}

// Appends the ids of `set` to `out`.
void append_ids(const HybridSet& set, std::vector<uint32_t>& out) {
  if (const Bitmap* large = set.large()) {
    large->for_each([&](uint32_t id) { out.push_back(id); });
  } else {
    std::span<const uint32_t> run = set.run();
    out.insert(out.end(), run.begin(), run.end());
  }
}

// The union of the sets of every key in `keys`. Walks whichever side is
// smaller: the asked ids (one lookup each) or the table (one membership test
// per entry). The ids are gathered first and added sorted in one batch,
// which is much cheaper than merging many tiny sets one by one.
Bitmap linked_to_any(const Table& table, const Bitmap& keys) {
  Bitmap out;
  if (table.empty() || keys.is_empty()) return out;
  std::vector<uint32_t> ids;
  if (keys.cardinality() <= table.size()) {
    keys.for_each([&](uint32_t key) {
      auto it = table.find(key);
      if (it != table.end()) append_ids(it->second, ids);
    });
  } else {
    for (const auto& [key, set] : table) {
      if (keys.contains(key)) append_ids(set, ids);
    }
  }
  std::sort(ids.begin(), ids.end());
  out.add_many(ids);
  return out;
}

void union_table(Table& into, const Table& from) {
  for (const auto& [key, set] : from) {
    auto it = into.find(key);
    if (it == into.end()) {
      into.emplace(key, set);
    } else {
      it->second.union_with(set);
    }
  }
}

std::size_t table_bytes(const Table& table) {
  std::size_t bytes = table.capacity() * (sizeof(Table::value_type) + 1);
  for (const auto& [key, set] : table) bytes += set.memory_bytes();
  return bytes;
}

}  // namespace

bool M2MU32::register_path(uint32_t parent, uint32_t child) {
  if (!link(children_by_parent_, parent, child)) return false;
  check(link(parents_by_child_, child, parent), "parent links: directions out of step");
  return true;
}

bool M2MU32::unlink(uint32_t parent, uint32_t child) {
  if (!unlink_one(children_by_parent_, parent, child)) return false;
  check(unlink_one(parents_by_child_, child, parent), "parent links: directions out of step");
  return true;
}

std::size_t M2MU32::parent_count(uint32_t child) const {
  auto it = parents_by_child_.find(child);
  return it == parents_by_child_.end() ? 0 : static_cast<std::size_t>(it->second.cardinality());
}

bool M2MU32::has_parents(uint32_t child) const {
  return parents_by_child_.contains(child);
}

Bitmap M2MU32::get_parent_from_ids(const Bitmap& children) const {
  return linked_to_any(parents_by_child_, children);
}

Bitmap M2MU32::children_of(const Bitmap& parents) const {
  return linked_to_any(children_by_parent_, parents);
}

Bitmap M2MU32::all_parents() const {
  std::vector<uint32_t> ids;
  ids.reserve(children_by_parent_.size());
  for (const auto& entry : children_by_parent_) ids.push_back(entry.first);
  std::sort(ids.begin(), ids.end());
  return Bitmap::from_ids(ids);
}

Bitmap M2MU32::all_children() const {
  std::vector<uint32_t> ids;
  ids.reserve(parents_by_child_.size());
  for (const auto& entry : parents_by_child_) ids.push_back(entry.first);
  std::sort(ids.begin(), ids.end());
  return Bitmap::from_ids(ids);
}

Bitmap M2MU32::drop_parents(const Bitmap& parents) {
  return drop_parents_calling(parents, [](uint32_t) {});
}

Bitmap M2MU32::drop_parents_calling(const Bitmap& parents,
                                    absl::FunctionRef<void(uint32_t)> on_dropped) {
  Bitmap orphans;
  Bitmap children;  // reused for every dropped parent
  auto detach = [&](uint32_t parent, const HybridSet& linked) {
    children.clear();
    linked.add_to(children);
    children.for_each([&](uint32_t child) {
      auto it = parents_by_child_.find(child);
      check(it != parents_by_child_.end(), "parent links: directions out of step");
      it->second.remove(parent);
      on_dropped(child);
      if (it->second.is_empty()) {
        parents_by_child_.erase(it);
        orphans.add(child);
      }
    });
  };

  if (children_by_parent_.empty() || parents.is_empty()) return orphans;
  if (parents.cardinality() <= children_by_parent_.size()) {
    parents.for_each([&](uint32_t parent) {
      auto it = children_by_parent_.find(parent);
      if (it == children_by_parent_.end()) return;
      detach(parent, it->second);
      children_by_parent_.erase(it);
    });
  } else {
    for (auto it = children_by_parent_.begin(); it != children_by_parent_.end();) {
      if (parents.contains(it->first)) {
        detach(it->first, it->second);
        children_by_parent_.erase(it++);
      } else {
        ++it;
      }
    }
  }
  return orphans;
}

void M2MU32::union_with(const M2MU32& other) {
  if (&other == this) return;
  union_table(children_by_parent_, other.children_by_parent_);
  union_table(parents_by_child_, other.parents_by_child_);
}

bool M2MU32::is_empty() const {
  return children_by_parent_.empty();
}

std::size_t M2MU32::memory_bytes() const {
  return sizeof(*this) + table_bytes(children_by_parent_) + table_bytes(parents_by_child_);
}

}  // namespace quorvane
