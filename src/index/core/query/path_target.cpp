#include "index/core/query/path_target.h"

#include <algorithm>
#include <span>

#include "index/core/query/query_ops.h"
#include "index/core/structures/string_interner/string_interner.h"

namespace quorvane {
namespace {

using Owners = absl::InlinedVector<uint32_t, 1>;
using Frontier = absl::flat_hash_map<uint32_t, Owners>;

// One segment of a dotted path: `sources(fn)` calls fn(holder, owners) for
// each object reached so far with the universe's objects reaching it; each
// Indexable it holds in `map` (directly or in its container) that is a
// member of the reach engine (`members`; null: all are) joins `to` with
// those owners. Owners of a holder with a container or several held objects
// are plural.
template <class Sources>
void step(const QueryMap& map, Sources&& sources, const Bitmap* members, Frontier& to,
          std::vector<uint32_t>& plural) {
  auto table = map.elements.read();
  auto links = map.links.read();
  sources([&](uint32_t holder, std::span<const uint32_t> owners) {
    std::size_t held = 0;
    auto reach = [&](uint32_t child) {
      if (members != nullptr && !members->contains(child)) return;
      ++held;
      Owners& into = to[child];
      into.insert(into.end(), owners.begin(), owners.end());
    };
    links->for_each_child(holder, reach);
    const bool container = table->by_holder.find(holder) != nullptr;
    if (container) {
      table->for_each_entry(
          holder, [&](const ElementList::Entry& entry) { links->for_each_child(entry.id, reach); });
    }
    if (container || held > 1) plural.insert(plural.end(), owners.begin(), owners.end());
  });
}

}  // namespace

const QueryMap* map_named(const MapVector& maps, std::string_view name) {
  auto attr = INTERNER().find(name);
  if (!attr || *attr >= maps.size()) return nullptr;
  return maps[*attr].get();
}

PathTarget::PathTarget(const EvalScope& scope, std::string_view path, const Bitmap& universe)
    : universe_(universe) {
  const std::size_t dot = path.find('.');
  const QueryMap* head = map_named(scope.maps, path.substr(0, dot));
  if (head == nullptr) return;
  if (dot == std::string_view::npos) {
    map_ = head;
    if (!head->may_hold_elements()) return;
    std::vector<uint32_t> holders;
    {
      auto table = head->elements.read();
      universe.for_each([&](uint32_t id) {
        if (table->by_holder.find(id) != nullptr) holders.push_back(id);
      });
    }
    record_elements(holders);
    plural_ = Bitmap::from_ids(holders);
    plural_any_ = !holders.empty();
    return;
  }
  if (scope.reach == nullptr) return;
  dotted_ = true;
  const std::vector<std::string_view> rest = path_tail(path);
  std::vector<uint32_t> plural;
  Frontier frontier;
  // The head's links are read before any lock of the reach engine is taken,
  // as query evaluation reads them (after it has left the reach engine).
  step(
      *head,
      [&](auto&& fn) {
        universe.for_each([&](uint32_t id) {
          fn(id, std::span<const uint32_t>(&id, 1));
          return true;
        });
      },
      nullptr, frontier, plural);
  reach_maps_.emplace(scope.reach->query_maps->read());
  {
    auto members = scope.reach->member_ids.read();
    // Only members of the reach engine are reached, as queries reach them.
    for (auto it = frontier.begin(); it != frontier.end();) {
      if (members->contains(it->first)) {
        ++it;
      } else {
        frontier.erase(it++);
      }
    }
    for (std::size_t i = 0; i + 1 < rest.size() && !frontier.empty(); ++i) {
      const QueryMap* map = map_named(**reach_maps_, rest[i]);
      if (map == nullptr) return;
      Frontier next;
      step(
          *map,
          [&](auto&& fn) {
            for (const auto& [holder, owners] : frontier) fn(holder, owners);
          },
          &*members, next, plural);
      frontier = std::move(next);
    }
  }
  if (frontier.empty()) return;
  // Without a map of the last segment, the ends hold no value, but an object
  // reaching them through a container is still plural.
  map_ = map_named(**reach_maps_, rest.back());
  std::vector<uint32_t> ends;
  ends.reserve(frontier.size());
  for (auto& [end, owners] : frontier) {
    std::sort(owners.begin(), owners.end());
    owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
    ends.push_back(end);
  }
  owners_ = std::move(frontier);
  std::sort(ends.begin(), ends.end());
  ends_ = Bitmap::from_ids(ends);
  if (map_ != nullptr && map_->may_hold_elements()) {
    std::vector<uint32_t> holding;
    {
      auto table = map_->elements.read();
      for (uint32_t end : ends) {
        if (table->by_holder.find(end) != nullptr) holding.push_back(end);
      }
    }
    record_elements(holding);
    for (uint32_t end : holding) {
      const Owners& owners = owners_.at(end);
      plural.insert(plural.end(), owners.begin(), owners.end());
    }
  }
  std::sort(plural.begin(), plural.end());
  plural.erase(std::unique(plural.begin(), plural.end()), plural.end());
  plural_ = Bitmap::from_ids(plural);
  // Plural only counts for an object reaching some object at the last step.
  for (const auto& [end, owners] : owners_) {
    for (uint32_t owner : owners) {
      if (plural_.contains(owner)) {
        plural_any_ = true;
        return;
      }
    }
  }
}

void PathTarget::record_elements(const std::vector<uint32_t>& ends) {
  if (ends.empty()) return;
  std::vector<uint32_t> elements;
  {
    auto table = map_->elements.read();
    for (uint32_t end : ends) {
      table->for_each_entry(end, [&](const ElementList::Entry& entry) {
        element_end_[entry.id] = end;
        elements.push_back(entry.id);
      });
    }
  }
  std::sort(elements.begin(), elements.end());
  element_ids_ = Bitmap::from_ids(elements);
}

void PathTarget::add_holders(uint32_t id, bool single_only, std::vector<uint32_t>& out) const {
  uint32_t end = id;
  if (!element_end_.empty()) {
    auto element = element_end_.find(id);
    if (element != element_end_.end()) {
      if (single_only) return;
      end = element->second;
    }
  }
  if (!dotted_) {
    if (end != id || universe_.contains(id)) out.push_back(end);
    return;
  }
  if (end == id && !ends_.contains(id)) return;
  auto found = owners_.find(end);
  if (found == owners_.end()) return;
  for (uint32_t owner : found->second) {
    if (!single_only || !plural_.contains(owner)) out.push_back(owner);
  }
}

Bitmap PathTarget::finish(std::vector<uint32_t>& ids) const {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return Bitmap::from_ids(ids);
}

Bitmap PathTarget::holders(const HybridSet& set, bool single_only) const {
  if (const Bitmap* large = set.large()) return holders(*large, single_only);
  std::vector<uint32_t> out;
  if (direct()) {
    for (uint32_t id : set.run()) {
      if (universe_.contains(id)) out.push_back(id);
    }
    return Bitmap::from_ids(out);  // ascending as the run is
  }
  for (uint32_t id : set.run()) add_holders(id, single_only, out);
  return finish(out);
}

Bitmap PathTarget::holders(const Bitmap& set, bool single_only) const {
  if (direct()) return set.intersected(universe_);
  std::vector<uint32_t> out;
  // Few of a large set's ids are ends or elements: narrowing first spares
  // the lookups.
  Bitmap within = set.intersected(dotted_ ? ends_ : universe_);
  within.for_each([&](uint32_t id) { add_holders(id, single_only, out); });
  if (!single_only && !element_ids_.is_empty()) {
    set.intersected(element_ids_).for_each([&](uint32_t id) { add_holders(id, false, out); });
  }
  return finish(out);
}

}  // namespace quorvane
