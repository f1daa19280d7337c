// IndexAPI::visit_references: the references an engine shows the cyclic
// collector, so that cycles through an index (a member holding its index, a
// view of it, or anything that leads back to it) are freed like cycles of
// plain objects.
//
// The collector may only be shown references that exist, each once. All the
// native holders of one object (item tables of every engine, views' retired
// objects, queued work) share one Python reference, so an engine shows an
// object only when every holder of it is one of its own two item tables: then
// no other engine shows it. A value of the maps is shown when the map's copy
// is the only holder of its reference (the object's own attribute, while it
// holds the value, shows it instead). Everything else (objects shared with
// another index, objects a view keeps after they left) stays hidden, which
// only keeps those objects alive, as before.
//
// The collector reads these twice per collection (to count references, then
// to mark what is reachable), and both readings must agree: the caller
// visits nothing while any thread works on an engine without the GIL, and
// otherwise nothing can change in between. A structure whose lock another
// thread holds (waiting for the GIL in the middle of a change) is passed over
// both times.
#include <map>
#include <memory>

#include "index/core/index.h"

namespace quorvane {
namespace {

// The references of the values an engine's maps keep, each counted once per
// copy: a reference is shown when every copy of it is one of these (the
// element of a container and the exact-value entry made for it share one,
// for instance), and hidden when any copy lives elsewhere (the attribute of
// an object holding the value, a query, work in progress).
class ValueReferences {
 public:
  void add(const SharedPyRef& ref) {
    if (!ref) return;
    if (ref.use_count() == 1) {
      alone_.push_back(ref.get());
    } else {
      // Keyed by a weak pointer, which leaves the use count as it is.
      Copies& entry = shared_[std::weak_ptr<PyObject>(ref)];
      ++entry.copies;
      entry.object = ref.get();
    }
  }
  void add(const PyValue& value) { add(value.reference()); }

  int visit_all(absl::FunctionRef<int(PyObject*)> visit) const {
    for (PyObject* object : alone_) {
      if (int result = visit(object)) return result;
    }
    for (const auto& [ref, copies] : shared_) {
      if (copies.copies == ref.use_count()) {
        if (int result = visit(copies.object)) return result;
      }
    }
    return 0;
  }

 private:
  std::vector<PyObject*> alone_;
  struct Copies {
    long copies = 0;
    PyObject* object = nullptr;
  };
  std::map<std::weak_ptr<PyObject>, Copies, std::owner_less<>> shared_;
};

// The values one map keeps: exact values, rational and temporal keys, and
// the elements of containers.
void add_map_values(const QueryMap& map, ValueReferences& out) {
  for (std::size_t s = 0; s < ExactMap::SHARD_COUNT; ++s) {
    if (auto shard = map.exact.try_read_shard(s)) {
      for (const auto& [value, ids] : **shard) out.add(value);
    }
  }
  if (auto numbers = map.numbers.try_read()) {
    for (const auto& [key, ids] : (*numbers)->rationals.map()) out.add(key.object);
  }
  if (auto temporals = map.temporals.try_read()) {
    for (const auto& [key, ids] : (*temporals)->buckets.map()) out.add(key.object);
  }
  if (auto elements = map.elements.try_read()) {
    (*elements)->by_holder.for_each([&](uint32_t, const ElementList& entries) {
      for (const ElementList::Entry& entry : entries) {
        if (const PyValue* kept = entry.kept()) out.add(*kept);
      }
    });
  }
}

void add_engine_values(const IndexAPI& engine, ValueReferences& out) {
  auto maps = engine.query_maps->try_read();
  if (!maps) return;
  for (const auto& map : **maps) {
    if (map != nullptr) add_map_values(*map, out);
  }
}

}  // namespace

int IndexAPI::visit_references(absl::FunctionRef<int(PyObject*)> visit) const {
  auto mine = items->try_read();
  std::optional<ReadGuard<ItemTable>> reached;
  if (reach_) reached = reach_->items->try_read();
  int result = 0;
  // An object shown is held by the tables that can be read and by nothing
  // else (a table that cannot be read counts as holding nothing, so an object
  // it does hold is not shown).
  auto visit_object = [&](const StoredItem& item, uint32_t holders_here) {
    if (result == 0 && StoredItem::holders_of(item.get()) == holders_here) {
      result = visit(item.get());
    }
  };
  if (mine) {
    (*mine)->for_each([&](uint32_t id, const StoredItem& item) {
      visit_object(item, 1 + (reached && (*reached)->find(id) != nullptr ? 1 : 0));
    });
  }
  if (reached) {
    (*reached)->for_each([&](uint32_t id, const StoredItem& item) {
      if (!mine || (*mine)->find(id) == nullptr) visit_object(item, 1);
    });
  }
  if (result != 0) return result;
  ValueReferences values;
  add_engine_values(*this, values);
  if (reach_) add_engine_values(*reach_, values);
  return values.visit_all(visit);
}

}  // namespace quorvane
