#include "index/core/index.h"

#include "index/core/id_alloc.h"
#include "index/core/insertion_chain.h"
#include "index/core/query/query_ops.h"
#include "util/panic.h"

namespace quorvane {

IndexAPI::IndexAPI(std::weak_ptr<IndexAPI> parent_engine)
    : query_maps(std::make_shared<RwLock<MapVector>>()),
      items(std::make_shared<RwLock<ItemTable>>()),
      parent(std::move(parent_engine)) {}

std::shared_ptr<IndexAPI> IndexAPI::create(std::weak_ptr<IndexAPI> parent) {
  return std::make_shared<IndexAPI>(std::move(parent));
}

const std::shared_ptr<IndexAPI>& default_index() {
  static const auto* engine = new std::shared_ptr<IndexAPI>(IndexAPI::create());
  return *engine;
}

QueryMap& IndexAPI::map_for(ReadGuard<MapVector>& maps, uint32_t attr) {
  if (attr < maps->size() && (*maps)[attr] != nullptr) return *(*maps)[attr];
  // The map (and its nested engine) is built without any engine lock; the
  // exclusive lock is taken only to install it. If another thread installed
  // one meanwhile, that one is used and ours is dropped, so every value
  // inserted for the attribute stays in the one installed map.
  auto fresh = std::make_unique<QueryMap>(weak_from_this());
  maps.unlock();
  {
    auto writable = query_maps->write();
    if (writable->size() <= attr) writable->resize(attr + 1);
    if ((*writable)[attr] == nullptr) (*writable)[attr] = std::move(fresh);
  }
  maps = query_maps->read();
  return *(*maps)[attr];
}

void IndexAPI::add_object(const StoredItem& item, const Indexable& rec) {
  uint32_t id = rec.id();
  InsertionScope scope(id);
  std::exception_ptr failure;
  with_object_lock(rec.attributes(), CANNOT_READ, [&](AttributeMap& attrs) {
    // Container values are walked and converted first: a value that cannot
    // be converted fails the call before the engine changes, and the failure
    // is rethrown only after the object's lock is released (it is not an
    // internal failure of the lock's holder).
    std::vector<std::pair<uint32_t, PreparedValue>> values;
    values.reserve(attrs.size());
    try {
      attrs.for_each([&](uint32_t attr, const PyValue& value) {
        values.emplace_back(attr, prepare_value(value));
      });
    } catch (...) {
      failure = std::current_exception();
      return;
    }
    member_ids.write()->add(id);
    {
      auto table = items->write();
      if (table->size() <= id) table->resize(std::max<std::size_t>(id + 1, table->size() * 2));
      (*table)[id] = item;
    }
    for (const auto& [attr, value] : values) add_prepared(id, attr, value);
  });
  if (failure) std::rethrow_exception(failure);
}

void IndexAPI::add_index(uint32_t id, uint32_t attr, const PyValue& value) {
  add_prepared(id, attr, prepare_value(value));
}

void IndexAPI::add_prepared(uint32_t id, uint32_t attr, const PreparedValue& value) {
  auto maps = query_maps->read();
  map_for(maps, attr).insert(id, value);
}

void IndexAPI::remove_index(uint32_t id, uint32_t attr, const PyValue& value) {
  auto maps = query_maps->read();
  if (attr >= maps->size() || (*maps)[attr] == nullptr) return;
  (*maps)[attr]->remove(id, value);
}

void IndexAPI::remove_object(uint32_t id, const Indexable& rec) {
  with_object_lock(rec.attributes(), CANNOT_READ, [&](AttributeMap& attrs) {
    attrs.for_each([&](uint32_t attr, const PyValue& value) { remove_index(id, attr, value); });
  });
  member_ids.write()->remove(id);
  StoredItem dropped;
  {
    auto table = items->write();
    if (id < table->size()) dropped = std::move((*table)[id]);
  }
}

FilteredView IndexAPI::reduced(const std::vector<QueryExpr>& conditions) {
  auto maps = query_maps->read();
  auto members = member_ids.read();
  return FilteredView{query_maps, items, evaluate_and_queries_vec(*maps, *members, conditions)};
}

FilteredView IndexAPI::reduced_query(const QueryExpr& query) {
  auto maps = query_maps->read();
  auto members = member_ids.read();
  return FilteredView{query_maps, items, evaluate_query(*maps, *members, query)};
}

void IndexAPI::reduce(const std::vector<QueryExpr>& conditions) {
  // The evaluation's read locks are released before the narrowing takes its
  // own, so no lock is acquired twice by one thread.
  Bitmap keep = reduced(conditions).bitmap;
  keep_only_from_bitmap(keep);
}

void IndexAPI::narrow_map(QueryMap& map, const Bitmap& keep, const Bitmap& removed) {
  // Element ids survive with their holders, through nested containers; the
  // elements of removed holders are dropped and their ids go back to the pool.
  Bitmap kept_all = keep;
  Bitmap removed_all = removed;
  std::vector<uint32_t> freed;
  {
    auto table = map.elements.write();
    if (!table->ids.is_empty()) {
      std::vector<uint32_t> frontier = keep.to_vector();
      while (!frontier.empty()) {
        std::vector<uint32_t> next;
        for (uint32_t holder : frontier) {
          auto it = table->by_holder.find(holder);
          if (it == table->by_holder.end()) continue;
          for (const auto& entry : it->second) next.push_back(entry.id);
        }
        kept_all.add_many(next);
        frontier = std::move(next);
      }
      Bitmap dropped = table->ids.differenced(kept_all);
      dropped.for_each([&](uint32_t element) {
        auto holder = table->holder_of.find(element);
        if (holder != table->holder_of.end()) {
          table->by_holder.erase(holder->second);
          table->holder_of.erase(holder);
        }
        freed.push_back(element);
      });
      table->ids.difference_with(dropped);
      removed_all.union_with(dropped);
    }
  }
  for (std::size_t s = 0; s < ExactMap::SHARD_COUNT; ++s) {
    auto shard = map.exact.write_shard(s);
    for (auto it = shard->begin(); it != shard->end();) {
      it->second.intersect_with(kept_all);
      if (it->second.is_empty()) {
        shard->erase(it++);
      } else {
        ++it;
      }
    }
  }
  {
    auto strings = map.strings.write();
    strings->columns.intersect_with(kept_all);
    strings->empty.intersect_with(kept_all);
  }
  map.numbers.write()->intersect_with(kept_all);
  {
    auto bools = map.bools.write();
    bools->true_ids.bitmap().intersect_with(kept_all);
    bools->false_ids.bitmap().intersect_with(kept_all);
  }
  // Nested objects stay while a kept holder still holds them; the links of
  // removed holders go, so a later object reusing such an id is not taken for
  // a holder it never was.
  IndexAPI& nested = *map.nested;
  Bitmap child_keep;
  {
    auto links = nested.parent_links.write();
    links->drop_parents(removed_all);
    child_keep = links->children_of(kept_all);
  }
  nested.keep_only_from_bitmap(child_keep);
  for (uint32_t element : freed) free_id(element);
}

void IndexAPI::keep_only_from_bitmap(const Bitmap& keep) {
  Bitmap removed;
  {
    auto members = member_ids.write();
    removed = members->differenced(keep);
    members->intersect_with(keep);
  }
  Bitmap kept = member_ids.read()->intersected(keep);
  {
    auto maps = query_maps->read();
    for (const auto& map : *maps) {
      if (map != nullptr) narrow_map(*map, kept, removed);
    }
  }
  std::vector<StoredItem> dropped;
  {
    auto table = items->write();
    removed.for_each([&](uint32_t id) {
      if (id < table->size()) dropped.push_back(std::move((*table)[id]));
    });
  }
}

std::vector<SharedPyRef> FilteredView::collect() const {
  std::vector<SharedPyRef> out;
  out.reserve(bitmap.cardinality());
  auto table = items->read();
  bitmap.for_each([&](uint32_t id) {
    if (id >= table->size() || (*table)[id] == nullptr) panic_out_of_bounds(id, table->size());
    out.push_back((*table)[id]);
  });
  return out;
}

}  // namespace quorvane

namespace quorvane {

void IndexAPI::union_with(IndexAPI& other) {
  std::vector<StoredItem> incoming;
  {
    Bitmap members = *other.member_ids.read();
    incoming = FilteredView{other.query_maps, other.items, std::move(members)}.collect();
  }
  auto self = shared_from_this();
  for (const StoredItem& item : incoming) {
    const Indexable& rec = record_of(item->get());
    rec.register_engine(self);
    add_object(item, rec);
  }
}

}  // namespace quorvane
