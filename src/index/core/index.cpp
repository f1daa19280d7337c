#include "index/core/index.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <thread>

#include "absl/container/flat_hash_map.h"
#include "index/core/id_alloc.h"
#include "index/core/insertion_chain.h"
#include "index/core/query/delayed_query.h"
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

QueryMap& IndexAPI::map_of(uint32_t attr) {
  auto maps = query_maps->read();
  return map_for(maps, attr);
}

namespace {

// The attribute ids of an object, read under its lock.
std::vector<uint32_t> attribute_ids(const Indexable& rec) {
  return with_object_lock(rec.attributes(), CANNOT_READ, [](AttributeMap& attrs) {
    std::vector<uint32_t> out;
    out.reserve(attrs.size());
    attrs.for_each([&](uint32_t attr, const PyValue&) { out.push_back(attr); });
    return out;
  });
}

// The object's values with containers walked; throws (changing nothing) when
// an element cannot be converted.
std::vector<std::pair<uint32_t, PreparedValue>> prepared_values(const AttributeMap& attrs) {
  std::vector<std::pair<uint32_t, PreparedValue>> values;
  values.reserve(attrs.size());
  attrs.for_each([&](uint32_t attr, const PyValue& value) {
    values.emplace_back(attr, prepare_value(value));
  });
  return values;
}

// Runs `write(attrs)` under `rec`'s attribute lock with the writers open
// (`open` opens them unless they are). A thread never waits for an object's
// lock while its writers hold map locks, since the lock's holder may be
// waiting for one of them: when the lock is busy, `close` closes the writers,
// the lock is awaited, and the writers are opened again under it.
template <class Open, class Close, class Write>
void write_under_object_lock(const Indexable& rec, Open&& open, Close&& close, Write&& write) {
  open();
  if (try_with_object_lock(rec.attributes(), CANNOT_READ, write)) return;
  close();
  with_object_lock(rec.attributes(), CANNOT_READ, [&](AttributeMap& attrs) {
    open();
    write(attrs);
  });
}

void store_item(ItemTable& table, uint32_t id, const StoredItem& item) {
  // Doubling keeps a run of ascending ids to a logarithmic number of resizes.
  if (table.size() <= id) table.resize(std::max<std::size_t>(id + 1, table.size() * 2));
  table[id] = item;
}

}  // namespace

void IndexAPI::ensure_maps(const std::vector<uint32_t>& attrs) {
  auto maps = query_maps->read();
  for (uint32_t attr : attrs) map_for(maps, attr);
}

void IndexAPI::add_object(const StoredItem& item, const Indexable& rec) {
  uint32_t id = rec.id();
  ensure_maps(attribute_ids(rec));
  InsertionScope scope(id);
  std::exception_ptr failure;
  with_object_lock(rec.attributes(), CANNOT_READ, [&](AttributeMap& attrs) {
    // Container values are walked and converted first: a value that cannot
    // be converted fails the call before the engine changes, and the failure
    // is rethrown only after the object's lock is released (it is not an
    // internal failure of the lock's holder).
    std::vector<std::pair<uint32_t, PreparedValue>> values;
    try {
      values = prepared_values(attrs);
    } catch (...) {
      failure = std::current_exception();
      return;
    }
    // The item first: an id is never a member without its object.
    store_item(*items->write(), id, item);
    member_ids.write()->add(id);
    for (const auto& [attr, value] : values) add_prepared(id, attr, value);
  });
  if (failure) std::rethrow_exception(failure);
}

IndexAPI::PreparedBatch IndexAPI::prepare_objects(const std::vector<StoredItem>& batch) {
  // Objects in ascending id order, each once: every cell of the value
  // structures then receives its ids in order, which CRoaring appends fastest.
  std::vector<std::pair<uint32_t, uint32_t>> order;  // (id, position in batch)
  order.reserve(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    order.emplace_back(record_of(batch[i]->get()).id(), static_cast<uint32_t>(i));
  }
  if (!std::is_sorted(order.begin(), order.end())) std::sort(order.begin(), order.end());
  PreparedBatch prepared;
  prepared.objects.reserve(order.size());
  std::vector<bool> attr_seen;
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k > 0 && order[k].first == order[k - 1].first) continue;
    const StoredItem& item = batch[order[k].second];
    const Indexable& rec = record_of(item->get());
    PreparedObject entry{item, &rec, {}};
    with_object_lock(rec.attributes(), CANNOT_READ, [&](AttributeMap& attrs) {
      attrs.for_each([&](uint32_t attr, const PyValue& value) {
        if (attr >= attr_seen.size()) attr_seen.resize(attr + 1);
        if (!attr_seen[attr]) {
          attr_seen[attr] = true;
          prepared.attrs.push_back(attr);
        }
        if (value.kind() == ValueKind::Iterable) {
          entry.containers.emplace_back(attr, prepare_value(value));
        }
      });
    });
    prepared.objects.push_back(std::move(entry));
  }
  return prepared;
}

void IndexAPI::add_objects(const PreparedBatch& batch) {
  using Entry = PreparedObject;
  const std::vector<Entry>& entries = batch.objects;
  auto self = shared_from_this();
  for (const Entry& e : entries) e.rec->register_engine(self);
  ensure_maps(batch.attrs);
  {
    auto table = items->write();
    for (const Entry& e : entries) store_item(*table, e.rec->id(), e.item);
  }
  {
    auto members = member_ids.write();
    std::vector<uint32_t> ids;
    ids.reserve(entries.size());
    for (const Entry& e : entries) ids.push_back(e.rec->id());  // ascending
    members->add_many(ids);
  }
  // The batch's element ids, taken at once per attribute: the containers
  // then get ascending runs of ids, which the cells append fastest.
  absl::flat_hash_map<uint32_t, std::size_t> element_counts;
  for (const Entry& e : entries) {
    for (const auto& [attr, walked] : e.containers) element_counts[attr] += walked.elements.size();
  }
  std::vector<std::vector<uint32_t>> groups = split_attributes(batch, element_counts);
  std::vector<uint8_t> owner;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (uint32_t attr : groups[g]) {
      if (owner.size() <= attr) owner.resize(attr + 1);
      owner[attr] = static_cast<uint8_t>(g + 1);
    }
  }
  std::vector<std::vector<std::function<void()>>> deferred(groups.size());
  auto write = [&](std::size_t g) {
    write_values(entries, groups[g], owner, static_cast<uint8_t>(g + 1), element_counts,
                 deferred[g]);
  };
  // Each group of maps after the first is written by a thread of its own;
  // the first here, with any group no thread could be started for.
  std::vector<std::exception_ptr> failures(groups.size());
  auto write_group = [&](std::size_t g) {
    try {
      write(g);
    } catch (...) {
      failures[g] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  std::vector<std::size_t> here;
  if (!groups.empty()) here.push_back(0);
  for (std::size_t g = 1; g < groups.size(); ++g) {
    try {
      threads.emplace_back(write_group, g);
    } catch (const std::system_error&) {
      here.push_back(g);
    }
  }
  for (std::size_t g : here) write_group(g);
  for (std::thread& t : threads) t.join();
  for (const auto& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
  for (const auto& group : deferred) {
    for (const auto& work : group) work();
  }
}

std::vector<std::vector<uint32_t>> IndexAPI::split_attributes(
    const PreparedBatch& batch, const absl::flat_hash_map<uint32_t, std::size_t>& element_counts) {
  // Maps are independent (each has its own locks), so a large batch is
  // written by up to MAX_WRITER_THREADS threads, each owning some maps. The
  // split balances an estimate of the work: one unit per object for a scalar
  // attribute, and three more per element for containers (an element costs
  // its holder's entry besides the value itself). Small batches stay on the
  // calling thread: starting a thread costs more than they take.
  static constexpr std::size_t MAX_WRITER_THREADS = 4;
  static constexpr std::size_t MIN_OBJECTS_PER_THREAD = 16384;
  std::vector<uint32_t> attrs = batch.attrs;
  std::sort(attrs.begin(), attrs.end());
  const std::size_t objects = batch.objects.size();
  std::size_t threads = std::min({MAX_WRITER_THREADS, attrs.size(),
                                  std::max<std::size_t>(1, std::thread::hardware_concurrency()),
                                  std::max<std::size_t>(1, objects / MIN_OBJECTS_PER_THREAD)});
  if (threads <= 1)
    return attrs.empty() ? std::vector<std::vector<uint32_t>>{}
                         : std::vector<std::vector<uint32_t>>{attrs};
  std::vector<std::pair<std::size_t, uint32_t>> costs;  // (estimate, attr)
  for (uint32_t attr : attrs) {
    auto it = element_counts.find(attr);
    costs.emplace_back(objects + (it == element_counts.end() ? 0 : 3 * it->second), attr);
  }
  std::sort(costs.begin(), costs.end(), std::greater<>());
  std::vector<std::vector<uint32_t>> groups(threads);
  std::vector<std::size_t> load(threads, 0);
  for (const auto& [cost, attr] : costs) {
    std::size_t g = std::min_element(load.begin(), load.end()) - load.begin();
    load[g] += cost;
    groups[g].push_back(attr);
  }
  for (auto& group : groups) std::sort(group.begin(), group.end());
  return groups;
}

void IndexAPI::write_values(const std::vector<PreparedObject>& entries, std::vector<uint32_t> attrs,
                            const std::vector<uint8_t>& owner, uint8_t me,
                            absl::flat_hash_map<uint32_t, std::size_t> element_counts,
                            std::vector<std::function<void()>>& deferred) {
  BulkQueryMapAdder::Holder holder;
  // Writers are opened together in ascending attribute order, so that any
  // two writers of the same maps take the maps' locks in one order.
  std::vector<std::unique_ptr<BulkQueryMapAdder>> writers;  // empty while closed
  auto finish_writers = [&] { writers.clear(); };
  auto open_writers = [&] {
    writers.resize(attrs.back() + 1);
    for (uint32_t attr : attrs) {
      writers[attr] = std::make_unique<BulkQueryMapAdder>(map_of(attr), deferred, &holder);
      if (auto it = element_counts.find(attr); it != element_counts.end()) {
        writers[attr]->reserve_element_ids(it->second);
        element_counts.erase(it);
      }
    }
  };
  for (const PreparedObject& e : entries) {
    holder = {e.rec->id(), e.rec};
    auto index_values = [&](AttributeMap& current) {
      current.for_each([&](uint32_t attr, const PyValue& value) {
        // Another writer's attribute; attributes assigned since the batch was
        // prepared belong to the first writer.
        const uint8_t attr_owner = attr < owner.size() ? owner[attr] : 0;
        if (attr_owner != me && (attr_owner != 0 || me != 1)) return;
        if (attr >= writers.size() || writers[attr] == nullptr) {
          // An attribute assigned since the batch was prepared (its map is
          // made when the writers open again).
          finish_writers();
          attrs.insert(std::upper_bound(attrs.begin(), attrs.end(), attr), attr);
          open_writers();
        }
        if (value.kind() != ValueKind::Iterable) {
          writers[attr]->add_scalar(holder.id, value);
          return;
        }
        // The container walked beforehand, unless another was assigned since.
        for (const auto& [walked_attr, walked] : e.containers) {
          if (walked_attr == attr && walked.value == value) {
            writers[attr]->add(holder.id, walked);
            return;
          }
        }
        writers[attr]->add(holder.id, prepare_value(value));
      });
    };
    write_under_object_lock(
        *e.rec,
        [&] {
          if (writers.empty() && !attrs.empty()) open_writers();
        },
        finish_writers, index_values);
  }
  finish_writers();
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
  // Membership ends under the object's lock, which assignments also hold
  // while they check membership and update the engine.
  with_object_lock(rec.attributes(), CANNOT_READ, [&](AttributeMap& attrs) {
    attrs.for_each([&](uint32_t attr, const PyValue& value) { remove_index(id, attr, value); });
    member_ids.write()->remove(id);
  });
  StoredItem dropped;
  {
    auto table = items->write();
    if (id < table->size()) dropped = std::move((*table)[id]);
  }
}

std::vector<StoredItem> IndexAPI::members() {
  auto members = member_ids.read();
  return objects_of(*items, *members);
}

// The member set stays read-locked while the view takes its objects, so no
// id of the answer can lose its object in between.
FilteredView IndexAPI::reduced(const std::vector<QueryExpr>& conditions) {
  auto maps = query_maps->read();
  auto members = member_ids.read();
  return FilteredView(query_maps, *items, evaluate_and_queries_vec(*maps, *members, conditions));
}

FilteredView IndexAPI::reduced_query(const QueryExpr& query) {
  auto maps = query_maps->read();
  auto members = member_ids.read();
  return FilteredView(query_maps, *items, evaluate_query(*maps, *members, query));
}

Bitmap IndexAPI::evaluate(const QueryExpr& query) {
  auto maps = query_maps->read();
  auto members = member_ids.read();
  return evaluate_query(*maps, *members, query);
}

void IndexAPI::reduce(const std::vector<QueryExpr>& conditions) {
  // The evaluation's read locks are released before the narrowing takes its
  // own, so no lock is acquired twice by one thread.
  Bitmap keep;
  {
    auto maps = query_maps->read();
    auto members = member_ids.read();
    keep = evaluate_and_queries_vec(*maps, *members, conditions);
  }
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
    if (!table->ids.bitmap().is_empty()) {
      std::vector<uint32_t> frontier = keep.to_vector();
      while (!frontier.empty()) {
        std::vector<uint32_t> next;
        for (uint32_t holder : frontier) {
          if (const auto* entries = table->by_holder.find(holder)) {
            for (const auto& entry : *entries) next.push_back(entry.id);
          }
        }
        kept_all.add_many(next);
        frontier = std::move(next);
      }
      Bitmap dropped = table->ids.bitmap().differenced(kept_all);
      dropped.for_each([&](uint32_t element) {
        if (const uint32_t* holder = table->holder_of.find(element)) {
          table->by_holder.erase(*holder);
          table->holder_of.erase(element);
        }
        freed.push_back(element);
      });
      table->ids.bitmap().difference_with(dropped);
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
    strings->buckets.intersect_with(kept_all);
  }
  {
    auto numbers = map.numbers.write();
    numbers->slices.intersect_with(kept_all);
    numbers->buckets.intersect_with(kept_all);
  }
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

}  // namespace quorvane

namespace quorvane {
namespace {

// The container of `holder` as `other` indexed it, with nested containers.
std::vector<PreparedValue> element_tree(const ElementTable& table, uint32_t holder) {
  std::vector<PreparedValue> out;
  const auto* entries = table.by_holder.find(holder);
  if (entries == nullptr) return out;
  for (const ElementEntry& entry : *entries) {
    out.push_back(PreparedValue{entry.value, element_tree(table, entry.id)});
  }
  return out;
}

// Merges map `other` into `self`. Object ids are merged set by set; element
// ids belong to one map each (they return to the pool when their container
// leaves it), so `other`'s containers are indexed again here under fresh
// element ids.
void union_map(QueryMap& self, const QueryMap& other, const Bitmap& incoming,
               const std::vector<const Indexable*>& records) {
  // Only the objects being brought in: anything added to the other index
  // since is not listed by this engine, so it would not be kept current.
  std::vector<std::pair<const Indexable*, std::vector<PreparedValue>>> containers;
  std::size_t position = 0;
  {
    auto table = other.elements.read();
    incoming.for_each([&](uint32_t holder) {
      const Indexable* rec = records[position++];
      if (table->by_holder.contains(holder))
        containers.emplace_back(rec, element_tree(*table, holder));
    });
  }
  auto without_foreign = [&](const Bitmap& ids) { return ids.intersected(incoming); };
  for (std::size_t s = 0; s < ExactMap::SHARD_COUNT; ++s) {
    std::vector<std::pair<PyValue, HybridSet>> entries;
    {
      auto shard = other.exact.read_shard(s);
      for (const auto& [value, set] : *shard) entries.emplace_back(value, set);
    }
    auto shard = self.exact.write_shard(s);
    for (auto& [value, set] : entries) {
      Bitmap ids = without_foreign(set.to_bitmap());
      if (ids.is_empty()) continue;
      auto it = shard->find(value);
      if (it == shard->end()) it = shard->emplace(value, HybridSet::of(*ids.maximum())).first;
      ids.for_each([&](uint32_t id) { it->second.add(id); });
    }
  }
  // Only the ids brought in: other's element ids are other's own, and the
  // containers are indexed again below under ids of this map.
  {
    auto mine = self.strings.write();
    auto theirs = other.strings.read();
    mine->columns.union_with(theirs->columns, &incoming);
    mine->empty.union_with(without_foreign(theirs->empty));
    auto buckets = theirs->buckets;
    buckets.intersect_with(incoming);
    mine->buckets.union_with(buckets);
  }
  {
    auto mine = self.numbers.write();
    auto theirs = other.numbers.read();
    mine->slices.union_with(theirs->slices, &incoming);
    auto buckets = theirs->buckets;
    buckets.intersect_with(incoming);
    mine->buckets.union_with(buckets);
  }
  {
    auto mine = self.bools.write();
    auto theirs = other.bools.read();
    mine->true_ids.bitmap().union_with(without_foreign(theirs->true_ids.bitmap()));
    mine->false_ids.bitmap().union_with(without_foreign(theirs->false_ids.bitmap()));
  }
  // Nested objects and their links to objects; links to other's element ids
  // are made again when the containers are indexed below.
  self.nested->union_with(*other.nested);
  {
    M2MU32 links = *other.nested->parent_links.read();
    Bitmap parents = links.all_parents();
    parents.difference_with(incoming);
    links.drop_parents(parents);
    self.nested->parent_links.write()->union_with(links);
  }
  std::vector<std::function<void()>> deferred;
  {
    BulkQueryMapAdder::Holder holder;
    std::optional<BulkQueryMapAdder> writer;
    // A holder's container is replaced under the holder's lock, as every
    // change of it is: an assignment updating this map meanwhile would
    // otherwise be cut in two, and the elements it indexed after the
    // replacement would stay under ids given back to the pool.
    for (const auto& [rec, values] : containers) {
      holder = {rec->id(), rec};
      write_under_object_lock(
          *rec,
          [&] {
            if (!writer) writer.emplace(self, deferred, &holder);
          },
          [&] { writer.reset(); },
          [&](AttributeMap&) { writer->add_container(rec->id(), values); });
    }
  }
  for (const auto& work : deferred) work();
}

}  // namespace

void IndexAPI::note_assignment(uint32_t id, uint32_t attr, const PyValue* old,
                               const PyValue& value) {
  if (!union_active_.load(std::memory_order_acquire)) return;
  auto log = union_log_.lock();
  if (!log->active || !log->incoming.contains(id)) return;
  auto& values = log->values[id];
  if (old != nullptr) values.emplace_back(attr, *old);
  values.emplace_back(attr, value);
}

void IndexAPI::repair_after_union(
    absl::flat_hash_map<uint32_t, std::vector<std::pair<uint32_t, PyValue>>> changes) {
  for (auto& [id, values] : changes) {
    StoredItem item;
    {
      auto table = items->read();
      if (id < table->size()) item = (*table)[id];
    }
    if (!item) continue;
    const Indexable& rec = record_of(item->get());
    InsertionScope scope(id);
    with_object_lock(rec.attributes(), CANNOT_READ, [&](AttributeMap& attrs) {
      // Whatever the union copied for these attributes was one of these values.
      for (const auto& [attr, value] : values) remove_index(id, attr, value);
      for (const auto& [attr, value] : values) {
        if (const PyValue* now = attrs.get(attr)) add_index(id, attr, *now);
      }
    });
  }
}

void IndexAPI::union_with(IndexAPI& other) {
  if (&other == this) return;
  auto turn = union_turn_.lock();
  std::vector<StoredItem> incoming = other.members();
  Bitmap incoming_ids;
  std::vector<const Indexable*> records;
  records.reserve(incoming.size());
  for (const StoredItem& item : incoming) {
    records.push_back(&record_of(item->get()));
    incoming_ids.add(records.back()->id());
  }
  {
    auto log = union_log_.lock();
    log->active = true;
    log->incoming = incoming_ids;
    log->values.clear();
  }
  union_active_.store(true, std::memory_order_release);
  // Every object brought in lists this engine, so that later assignments
  // update it too. An assignment already running finishes first.
  auto self = shared_from_this();
  for (const StoredItem& item : incoming) record_of(item->get()).register_engine(self);
  std::vector<uint32_t> attrs;
  {
    auto theirs = other.query_maps->read();
    for (uint32_t a = 0; a < theirs->size(); ++a) {
      if ((*theirs)[a] != nullptr) attrs.push_back(a);
    }
  }
  ensure_maps(attrs);
  for (uint32_t a : attrs) {
    const QueryMap& theirs = *(*other.query_maps->read())[a];
    union_map(map_of(a), theirs, incoming_ids, records);
  }
  {
    auto table = items->write();
    for (const StoredItem& item : incoming) store_item(*table, record_of(item->get()).id(), item);
  }
  {
    std::vector<uint32_t> ids;
    ids.reserve(incoming.size());
    for (const StoredItem& item : incoming) ids.push_back(record_of(item->get()).id());
    member_ids.write()->add_many(ids);
  }
  absl::flat_hash_map<uint32_t, std::vector<std::pair<uint32_t, PyValue>>> changes;
  {
    auto log = union_log_.lock();
    log->active = false;
    changes = std::move(log->values);
    log->values.clear();
    log->incoming.clear();
  }
  union_active_.store(false, std::memory_order_release);
  repair_after_union(std::move(changes));
}

}  // namespace quorvane
