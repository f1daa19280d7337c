#include "index/core/index.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <system_error>
#include <thread>

#include "index/core/id_alloc.h"
#include "index/core/query/query_ops.h"
#include "index/indexable_protocol.h"
#include "util/panic.h"

namespace quorvane {
namespace {

std::atomic<uint64_t> NEXT_ENGINE_SERIAL{1};

}  // namespace

IndexAPI::IndexAPI()
    : query_maps(std::make_shared<RwLock<MapVector>>()),
      items(std::make_shared<RwLock<ItemTable>>()),
      serial(NEXT_ENGINE_SERIAL.fetch_add(1, std::memory_order_relaxed)) {}

IndexAPI::~IndexAPI() {
  if (EngineAnchor* anchor = anchor_.load(std::memory_order_acquire)) EngineAnchor::unref(anchor);
}

EngineAnchor* IndexAPI::anchor() {
  EngineAnchor* anchor = anchor_.load(std::memory_order_acquire);
  if (anchor != nullptr) return anchor;
  auto made = std::make_unique<EngineAnchor>(weak_from_this());
  if (anchor_.compare_exchange_strong(anchor, made.get(), std::memory_order_acq_rel)) {
    return made.release();
  }
  return anchor;  // another thread made it first
}

std::shared_ptr<IndexAPI> IndexAPI::create() {
  auto engine = std::make_shared<IndexAPI>();
  engine->reach_ = std::make_shared<IndexAPI>();
  engine->reach_->owner_ = engine;
  auto clock = std::make_shared<ChangeClock>();
  engine->clock_ = clock;
  engine->reach_->clock_ = clock;
  engine->family_serial_ = engine->serial;
  engine->reach_->family_serial_ = engine->serial;
  engine->view_sources_ = std::make_shared<const ViewSources>(
      ViewSources{engine->query_maps, engine->reach_, engine->items, clock, engine});
  engine->reach_->view_sources_ = std::make_shared<const ViewSources>(ViewSources{
      engine->reach_->query_maps, nullptr, engine->reach_->items, clock, engine->reach_});
  return engine;
}

void PendingWork::merge(PendingWork&& other) {
  for (auto& item : other.reconcile) reconcile.push_back(std::move(item));
  for (auto& [id, snap] : other.snapshots) snapshots.insert_or_assign(id, std::move(snap));
  for (auto& engine : other.touched) {
    if (std::find(touched.begin(), touched.end(), engine) == touched.end()) {
      touched.push_back(std::move(engine));
    }
  }
  other = PendingWork();
}

QueryMap& IndexAPI::map_of(uint32_t attr) {
  {
    auto maps = query_maps->read();
    if (attr < maps->size() && (*maps)[attr] != nullptr) return *(*maps)[attr];
  }
  // Built without the lock, which is taken exclusively only to install it; if
  // another thread installed one meanwhile, that one is used.
  auto fresh = std::make_unique<QueryMap>();
  auto maps = query_maps->write();
  if (maps->size() <= attr) maps->resize(attr + 1);
  if ((*maps)[attr] == nullptr) (*maps)[attr] = std::move(fresh);
  return *(*maps)[attr];
}

bool IndexAPI::index_values(const ObjectGuard& guard, const ObjectSnapshot& snap,
                            PendingWork& work) {
  const uint32_t id = snap.id();
  ReachCounter counter(*this, work);
  return snap.for_each_now(guard, [&](uint32_t attr, const PyValue& value, Elements elements) {
    QueryMap& map = map_of(attr);
    DirectSink sink(map, counter);
    map.insert(sink, id, value, elements);
  });
}

void IndexAPI::remove_values(uint32_t id, const AttributeMap& values, PendingWork& work) {
  ReachCounter counter(*this, work);
  auto maps = query_maps->read();
  values.for_each([&](uint32_t attr, const PyValue& value) {
    if (attr >= maps->size() || (*maps)[attr] == nullptr) return;
    QueryMap& map = *(*maps)[attr];
    DirectSink sink(map, counter);
    map.remove(sink, id, value);
  });
}

bool IndexAPI::add_snapshot(ObjectGuard& guard, const ObjectSnapshot& snap, PendingWork& work) {
  if (!snap.complete_now(guard)) return false;
  const uint32_t id = snap.id();
  Indexable::register_engine(guard, shared_from_this());
  auto shared = gate.read();
  if (!member_ids.read()->contains(id)) adding_.write()->add(id);
  // The item first: an id is never a member without its object.
  items->write()->store(id, snap.item);
  return index_values(guard, snap, work);
}

void IndexAPI::begin_adding(const Bitmap& ids) {
  auto members = member_ids.read();
  adding_.write()->union_with(ids.differenced(*members));
}

void IndexAPI::publish(const Bitmap& ids) {
  auto shared = gate.read();
  auto members = member_ids.write();
  auto adding = adding_.write();
  members->union_with(ids.intersected(*adding));
  adding->difference_with(ids);
}

bool IndexAPI::member_or_adding(uint32_t id) {
  if (member_ids.read()->contains(id)) return true;
  return adding_.read()->contains(id);
}

void IndexAPI::reindex_attribute(const ReadGuard<Gate>&, uint32_t id, uint32_t attr,
                                 const PyValue* old, const PreparedValue& value,
                                 PendingWork& work) {
  // An engine that dropped the object (narrowing, or a reach engine whose
  // last link to it went) is not updated; one adding it is.
  if (!member_or_adding(id)) return;
  QueryMap& map = map_of(attr);
  ReachCounter counter(*this, work);
  DirectSink sink(map, counter);
  if (old != nullptr) map.remove(sink, id, *old);
  map.insert(sink, id, value);
}

void IndexAPI::drop_member(uint32_t id, const AttributeMap& values, PendingWork& work) {
  // No longer a member first: a query never sees a member with half its
  // values gone.
  member_ids.write()->remove(id);
  take_out(id, values, work);
}

void IndexAPI::take_out(uint32_t id, const AttributeMap& values, PendingWork& work) {
  remove_values(id, values, work);
  std::shared_ptr<RetiredItems> keep;  // both released after the lock
  StoredItem dropped;
  {
    auto table = items->write();
    dropped = table->take(id, keep);
  }
}

bool IndexAPI::abandon_adding(const ObjectGuard&, const Indexable& rec, PendingWork& work) {
  const uint32_t id = rec.id();
  // Exclusively, as a removal: no union or bulk writer meets it half gone.
  auto exclusive = gate.write();
  {
    auto adding = adding_.write();
    if (!adding->contains(id)) return false;
    adding->remove(id);
  }
  // Queries never saw it.
  take_out(id, rec.attributes(), work);
  return true;
}

bool IndexAPI::remove_member(const ObjectGuard&, const Indexable& rec, PendingWork& work) {
  const uint32_t id = rec.id();
  // Exclusively, as a narrowing does: a union copying this engine's
  // structures (with the gate shared) sees the object with all its values or
  // with none, and a bulk writer re-reads the members before it writes.
  auto exclusive = gate.write();
  {
    // The member set first: a query (which reads the members under their
    // lock) never sees a member with half its values gone.
    auto members = member_ids.write();
    if (!members->contains(id)) return false;
    members->remove(id);
  }
  take_out(id, rec.attributes(), work);
  return true;
}

void IndexAPI::count_link(const PyValue& child, bool added, PendingWork& work) {
  const uint32_t id = record_of(child.object()).id();
  StoredItem undoomed;  // released after the lock
  {
    auto counts = link_counts_.lock();
    if (added) {
      ++counts->count[id];
      if (counts->doomed.contains(id)) {
        // Reachable again, and with it whatever it links to: every object
        // being dropped is brought back in step with its links.
        for (auto& [doomed_id, item] : counts->doomed) {
          work.reconcile.push_back({shared_from_this(), std::move(item), nullptr});
        }
        counts->doomed.clear();
      }
    } else if (auto it = counts->count.find(id); it != counts->count.end()) {
      if (--it->second == 0) {
        counts->count.erase(it);
        if (auto node = counts->doomed.extract(id)) undoomed = std::move(node.mapped());
      } else {
        // The child may now be held only by a cycle that nothing else
        // reaches: collect_cycles looks from it, a sweep finds it anyway.
        ++counts->dropped_since_sweep;
        counts->suspects.insert(id);
      }
    }
  }
  // Joined without the GIL when engines hold the child already; otherwise the
  // holder is made with the GIL if the child is to be stored (see reconcile).
  StoredItem item = StoredItem::join(child.object());
  if (item) {
    work.reconcile.push_back({shared_from_this(), std::move(item), nullptr});
  } else {
    work.reconcile.push_back({shared_from_this(), StoredItem(), child.reference()});
  }
  auto self = shared_from_this();
  if (std::find(work.touched.begin(), work.touched.end(), self) == work.touched.end()) {
    work.touched.push_back(std::move(self));
  }
}

void IndexAPI::collect_cycles(PendingWork& work) {
  // The most objects one look visits, and the most suspects it starts from;
  // beyond them the amortised sweep does the work. So does an object linked
  // from more than SHARED objects here: a look from it would cost in
  // proportion to how widely it is shared (a zone every entity's position
  // holds), which a change of one entity must not pay.
  static constexpr std::size_t BUDGET = 4096;
  static constexpr uint64_t SHARED = 64;
  absl::flat_hash_set<uint32_t> suspects;
  {
    auto counts = link_counts_.lock();
    suspects = std::exchange(counts->suspects, {});
  }
  if (suspects.empty() || suspects.size() > BUDGET) return;
  // Exclusively: the links between this engine's objects stay as they are.
  // Links from the Index engine's members may come and go meanwhile; they
  // are only counted, and the counts are checked again at the end.
  auto exclusive = gate.write();
  auto maps = query_maps->read();
  auto members = member_ids.read();
  // Links to `id` from this engine's objects, and the objects they come from.
  auto links_from_here = [&](uint32_t id) {
    uint64_t n = 0;
    for (const auto& map : *maps) {
      if (map != nullptr) n += map->links.read()->parent_count(id);
    }
    return n;
  };
  auto holders_here = [&](uint32_t id) {
    Bitmap out;
    const Bitmap one = Bitmap::from_ids(std::vector<uint32_t>{id});
    for (const auto& map : *maps) {
      if (map == nullptr) continue;
      Bitmap holders = map->holders_of(one);
      map->unmask_ids(holders);
      out.union_with(holders);
    }
    out.intersect_with(*members);
    return out;
  };
  // An object is unreachable when nothing outside this engine links to it or
  // to any object with a path of links to it: its holders here, theirs, and
  // so on, none linked from outside.
  absl::flat_hash_map<uint32_t, uint64_t> internal;  // unreachable: links from here
  std::size_t visited = 0;
  for (uint32_t suspect : suspects) {
    if (internal.contains(suspect) || !members->contains(suspect)) continue;
    absl::flat_hash_map<uint32_t, uint64_t> group;
    std::vector<uint32_t> stack{suspect};
    bool reached = false;
    while (!stack.empty() && !reached) {
      const uint32_t id = stack.back();
      stack.pop_back();
      if (group.contains(id) || internal.contains(id)) continue;
      if (++visited > BUDGET) return;
      const uint64_t here = links_from_here(id);
      if (here > SHARED) return;
      uint64_t all;
      {
        auto counts = link_counts_.lock();
        auto it = counts->count.find(id);
        all = it == counts->count.end() ? 0 : it->second;
      }
      if (all > here) {
        reached = true;
        break;
      }
      group.emplace(id, here);
      holders_here(id).for_each([&](uint32_t holder) { stack.push_back(holder); });
    }
    if (!reached) internal.insert(group.begin(), group.end());
  }
  if (internal.empty()) return;
  std::vector<std::pair<uint32_t, StoredItem>> items_of;
  {
    auto table = items->read();
    for (const auto& [id, here] : internal) {
      const StoredItem* item = table->find(id);
      items_of.emplace_back(id, item != nullptr ? *item : StoredItem());
    }
  }
  auto counts = link_counts_.lock();
  for (const auto& [id, here] : internal) {
    auto it = counts->count.find(id);
    // Linked from outside since it was looked at: nothing is dropped.
    if (it != counts->count.end() && it->second != here) return;
  }
  for (auto& [id, item] : items_of) {
    // An object without links is dropped by the reconcile its last link
    // queued; only linked ones are marked (the mark goes with the last link).
    if (!counts->count.contains(id)) continue;
    work.reconcile.push_back({shared_from_this(), item, nullptr});
    counts->doomed.insert_or_assign(id, std::move(item));
  }
}

bool IndexAPI::reconcile(PendingWork::Reconcile& entry, PendingWork& work) {
  Indexable& rec = record_of(entry.get());
  const uint32_t id = rec.id();
  auto guard = rec.lock();
  auto shared = gate.read();
  const bool linked = linked_in(*link_counts_.lock(), id);
  const bool member = member_ids.read()->contains(id);
  if (linked == member) return true;
  if (!linked) {
    drop_member(id, rec.attributes(), work);
    return true;
  }
  // Values object.__setattr__ left aside are moved in with the GIL first.
  if (may_have_staged(entry.get())) return false;
  auto cached = work.snapshots.find(id);
  if (!entry.object) {
    // The engine's holder: one made with the GIL for a snapshot, or one that
    // joins existing holders; with neither, it is made with the GIL.
    entry.object =
        cached != work.snapshots.end() ? cached->second.item : StoredItem::join(entry.linked.get());
    if (!entry.object) return false;
  }
  const StoredItem& object = entry.object;
  const ObjectSnapshot local = ObjectSnapshot::of(object);
  const ObjectSnapshot& snap = cached != work.snapshots.end() ? cached->second : local;
  if (!snap.complete_now(guard)) return false;
  Indexable::register_engine(guard, shared_from_this());
  items->write()->store(id, object);
  // A member once all its values are in (the object's lock keeps
  // assignments out meanwhile).
  index_values(guard, snap, work);
  member_ids.write()->add(id);
  return true;
}

std::vector<StoredItem> IndexAPI::members() {
  auto members = member_ids.read();
  auto table = items->read();
  std::vector<StoredItem> out;
  out.reserve(members->cardinality());
  members->for_each([&](uint32_t id) {
    const StoredItem* item = table->find(id);
    check(item != nullptr && *item, "an engine member without its object");
    out.push_back(*item);
  });
  return out;
}

uint64_t IndexAPI::member_count() {
  return member_ids.read()->cardinality();
}

bool IndexAPI::is_member(PyObject* object) {
  // A live object's id is its own: no other live object (nor element) has it.
  return member_ids.read()->contains(record_of(object).id());
}

// The member set stays read-locked while the view pins the item table's
// generation, so every id of the answer either keeps its object in the table
// or is retired where the view finds it.
FilteredView IndexAPI::view_of(absl::FunctionRef<Bitmap(const EvalScope&, const Bitmap&)> answer) {
  return *view_if([&](const EvalScope& scope, const Bitmap& members) -> std::optional<Bitmap> {
    return answer(scope, members);
  });
}

std::optional<FilteredView> IndexAPI::view_if(
    absl::FunctionRef<std::optional<Bitmap>(const EvalScope&, const Bitmap&)> answer) {
  // The answer and the generation pinned for it, read with no change running.
  struct Found {
    std::optional<Bitmap> ids;
    std::shared_ptr<RetiredItems> pinned;
    std::shared_ptr<RetiredItems> displaced;  // dropped after every lock
  };
  Found found = clock_->read([&] {
    Found out;
    auto maps = query_maps->read();
    auto members = member_ids.read();
    out.ids = answer(EvalScope{*maps, reach_.get()}, *members);
    // The member set stays read-locked while the view pins the item table's
    // generation, so every id of the answer either keeps its object in the
    // table or is retired where the view finds it. No generation is pinned
    // for nothing.
    if (out.ids) out.pinned = items->read()->pin(out.displaced);
    return out;
  });
  if (!found.ids) return std::nullopt;
  return FilteredView(view_sources_, std::move(found.pinned), std::move(*found.ids));
}

FilteredView IndexAPI::reduced(const std::vector<QueryRef>& conditions) {
  return view_of([&](const EvalScope& scope, const Bitmap& members) {
    return evaluate_and_queries_vec(scope, members, conditions);
  });
}

FilteredView IndexAPI::reduced_query(const QueryExpr& query) {
  return view_of([&](const EvalScope& scope, const Bitmap& members) {
    return evaluate_query(scope, members, query);
  });
}

std::optional<absl::InlinedVector<PyRef, 16>> IndexAPI::few_equal(std::span<const EqualKey> keys) {
  std::optional<FewIds> ids = clock_->read([&] {
    auto maps = query_maps->read();
    auto members = member_ids.read();
    return few_equal_ids(*maps, *members, keys, [&] { return member_ids.interval(*members); });
  });
  if (!ids) return std::nullopt;
  absl::InlinedVector<PyRef, 16> objects;
  objects.reserve(ids->size());
  auto table = items->read();
  for (uint32_t id : *ids) {
    // A member dropped since it was found is not listed.
    const StoredItem* item = table->find(id);
    if (item == nullptr) continue;
    // The table holds a reference too: dropping this one never finalizes.
    objects.push_back(PyRef::borrow(item->get()));
  }
  return objects;
}

std::optional<FilteredView> IndexAPI::few_equal_view(std::span<const QueryRef> conditions) {
  EqualKeys keys;
  if (!equal_keys(conditions, keys)) return std::nullopt;
  return view_if([&](const EvalScope& scope, const Bitmap& members) -> std::optional<Bitmap> {
    auto filled = [&] { return member_ids.interval(members); };
    if (keys.size() == 1) return few_equal_set(scope.maps, members, keys.front(), filled);
    std::optional<FewIds> ids = few_equal_ids(scope.maps, members, keys, filled);
    if (!ids) return std::nullopt;
    return Bitmap::from_ids(*ids);
  });
}

uint64_t IndexAPI::count(const std::vector<QueryRef>& conditions) {
  return clock_->read([&] {
    auto maps = query_maps->read();
    auto members = member_ids.read();
    if (conditions.empty()) return members->cardinality();
    return evaluate_and_queries_vec(EvalScope{*maps, reach_.get()}, *members, conditions)
        .cardinality();
  });
}

std::optional<uint64_t> IndexAPI::few_equal_count(std::span<const QueryRef> conditions) {
  EqualKeys keys;
  if (!equal_keys(conditions, keys)) return std::nullopt;
  std::optional<FewIds> ids = clock_->read([&] {
    auto maps = query_maps->read();
    auto members = member_ids.read();
    return few_equal_ids(*maps, *members, keys, [&] { return member_ids.interval(*members); });
  });
  if (!ids) return std::nullopt;
  return ids->size();
}

FilteredView IndexAPI::all_members() {
  // The members' snapshot, shared with every other whole-index view made
  // since the last write: no copy of the member set per view.
  struct Found {
    std::shared_ptr<const Bitmap> ids;
    std::shared_ptr<RetiredItems> pinned;
    std::shared_ptr<RetiredItems> displaced;  // dropped after every lock
  };
  Found found = clock_->read([&] {
    Found out;
    auto members = member_ids.read();
    out.ids = member_ids.snapshot(*members);
    out.pinned = items->read()->pin(out.displaced);
    return out;
  });
  return FilteredView(view_sources_, std::move(found.pinned), std::move(found.ids));
}

void IndexAPI::reduce(const std::vector<QueryRef>& conditions) {
  // Keeping what does not match q is dropping what does: the ids are those
  // q finds, not the complement of the complement.
  if (conditions.size() == 1 && conditions.front()->kind == QueryKind::Not) {
    remove_where(conditions.front()->children);
    return;
  }
  drop_found([&](const EvalScope& scope, const Bitmap& members) {
    return members.differenced(evaluate_and_queries_vec(scope, members, conditions));
  });
}

uint64_t IndexAPI::remove_where(const std::vector<QueryRef>& conditions) {
  return drop_found([&](const EvalScope& scope, const Bitmap& members) {
    return evaluate_and_queries_vec(scope, members, conditions);
  });
}

uint64_t IndexAPI::drop_found(absl::FunctionRef<Bitmap(const EvalScope&, const Bitmap&)> find) {
  // The members to drop are found first, as any query finds them; the
  // narrowing then drops those still members. An object assigned in between
  // leaves after its assignment, as if the assignment came after the
  // narrowing (its values then no longer matter here).
  const Bitmap found = clock_->read([&] {
    auto maps = query_maps->read();
    auto members = member_ids.read();
    return find(EvalScope{*maps, reach_.get()}, *members);
  });
  std::vector<StoredItem> dropped;  // released after every lock
  // A change under the clock (see remove_objects), begun before any lock.
  ChangeScope change;
  while (!change.try_begin({clock_})) change.wait();
  {
    // Exclusively: no change of one object's values is half done meanwhile
    // (each holds the gate shared), so every member dropped goes with all its
    // values, and an assignment that comes later finds the object gone.
    auto exclusive = gate.write();
    narrow(found, dropped);
  }
  sweep_reach();
  const uint64_t count = dropped.size();
  StoredItem::release_all(dropped);
  return count;
}

void IndexAPI::clear() {
  std::vector<StoredItem> dropped;  // released after every lock
  ChangeScope change;               // as in drop_found
  while (!change.try_begin({clock_})) change.wait();
  {
    auto exclusive = gate.write();
    const Bitmap removed = *member_ids.read();
    narrow(removed, dropped);
  }
  sweep_reach();
  StoredItem::release_all(dropped);
}

void IndexAPI::narrow(const Bitmap& requested, std::vector<StoredItem>& dropped) {
  auto maps = query_maps->read();
  Bitmap removed;
  {
    // No longer members first: a query never sees a member with half its
    // values gone.
    auto members = member_ids.write();
    removed = requested.intersected(*members);
    if (removed.is_empty()) return;
    members->difference_with(removed);
  }
  const RemovalPlan plan = choose_removal(*maps, removed.cardinality());
  const Bitmap by_scan = remove_keyed(*maps, plan, removed);
  narrow_maps(plan.passed, removed);
  if (!by_scan.is_empty()) narrow_maps(plan.keyed, by_scan);
  std::shared_ptr<RetiredItems> keep;  // released after the lock
  auto table = items->write();
  table->take_many(removed, dropped, keep);
}

void IndexAPI::narrow_maps(const std::vector<QueryMap*>& all, const Bitmap& removed) {
  // Each map has its own locks, so a large narrowing shares the maps between
  // this thread and one more, each taking the next when done with one, the
  // costliest first.
  constexpr uint64_t WORTH_A_THREAD = 16384;
  if (all.empty() || removed.is_empty()) return;
  const DenseIds dense(removed);
  if (removed.cardinality() < WORTH_A_THREAD || all.size() < 2) {
    for (QueryMap* map : all) narrow_map(*map, removed, dense);
    return;
  }
  std::vector<std::pair<uint64_t, QueryMap*>> costs;
  for (QueryMap* map : all) costs.emplace_back(map->narrowing_cost(removed.cardinality()), map);
  std::sort(costs.begin(), costs.end(), std::greater<>());
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  auto run = [&] {
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < costs.size();) {
      narrow_map(*costs[i].second, removed, dense);
    }
  };
  std::optional<std::thread> helper;
  try {
    helper.emplace([&] {
      try {
        run();
      } catch (...) {
        failure = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    // No thread to be had: every map here.
  }
  run();
  if (helper) helper->join();
  if (failure) std::rethrow_exception(failure);
}

IndexAPI::RemovalPlan IndexAPI::choose_removal(const MapVector& maps, uint64_t removed) {
  // Each attribute on its own: taking the values out one by one costs a
  // lookup per object going, a pass a visit per distinct value. The pass
  // reads the tree in order and the lookups jump through it, each also
  // reading the object: a lookup costs about as much as 64 visits. So a
  // price or a timestamp loses a few objects by lookups, and a colour, or
  // any attribute when many objects go, by a pass.
  constexpr uint64_t LOOKUP_COST = 64;
  RemovalPlan plan;
  plan.keyed_attr.assign(maps.size(), false);
  for (uint32_t attr = 0; attr < maps.size(); ++attr) {
    QueryMap* map = maps[attr].get();
    if (map == nullptr) continue;
    plan.keyed_attr[attr] = removed * LOOKUP_COST <= map->size_hint();
    (plan.keyed_attr[attr] ? plan.keyed : plan.passed).push_back(map);
  }
  return plan;
}

Bitmap IndexAPI::remove_keyed(const MapVector& maps, const RemovalPlan& plan,
                              const Bitmap& removed) {
  // The values are taken out of the structures keyed by value or by a
  // string's bytes one by one, and the sets kept per bit lose them all at
  // once. The values are read under each object's lock, tried (the exclusive
  // gate keeps an assignment from reaching this engine, but one may hold the
  // lock between its engines and storing the value); an object whose lock is
  // busy is returned, left to a pass over these maps.
  if (plan.keyed.empty()) return {};
  std::vector<StoredItem> objects;
  {
    auto table = items->read();
    objects.reserve(removed.cardinality());
    removed.for_each([&](uint32_t id) {
      if (const StoredItem* item = table->find(id)) objects.push_back(*item);
    });
  }
  Bitmap by_scan;
  std::vector<uint32_t> elements;  // of the containers taken out
  for (const StoredItem& object : objects) {
    Indexable& rec = record_of(object.get());
    auto guard = rec.try_lock();
    if (!guard) {
      by_scan.add(rec.id());
      continue;
    }
    rec.attributes().for_each([&](uint32_t attr, const PyValue& value) {
      if (attr < maps.size() && plan.keyed_attr[attr]) {
        maps[attr]->remove_keyed(rec.id(), value, elements);
      }
    });
  }
  Bitmap done = removed.differenced(by_scan);
  std::sort(elements.begin(), elements.end());
  done.add_many(elements);
  for (QueryMap* map : plan.keyed) narrow_bits(*map, done);
  free_ids(elements);
  return by_scan;
}

void IndexAPI::narrow_map(QueryMap& map, const Bitmap& removed, const DenseIds& removed_dense) {
  // The values of the objects dropped and of their containers' elements go;
  // those of the members and of objects being added stay. The element ids
  // go back to the pool.
  Bitmap removed_all = removed;
  std::vector<uint32_t> freed;
  {
    auto table = map.elements.write();
    if (!table->ids.bitmap().is_empty()) {
      // Level by level: only an element that is itself a container holds
      // elements of its own.
      std::vector<uint32_t> holders = removed.to_vector();
      while (!holders.empty()) {
        std::vector<uint32_t> nested;
        for (uint32_t holder : holders) {
          for (const ElementList::Entry& entry : table->by_holder.take(holder)) {
            table->holder_of.erase(entry.id);
            freed.push_back(entry.id);
            if (entry.nested()) nested.push_back(entry.id);
          }
        }
        holders = std::move(nested);
      }
      std::sort(freed.begin(), freed.end());
      const Bitmap dropped = Bitmap::from_ids(freed);
      table->ids.bitmap().difference_with(dropped);
      removed_all.union_with(dropped);
    }
  }
  std::optional<DenseIds> with_elements;
  if (!freed.empty()) with_elements.emplace(removed_all);
  const DenseIds& dense = freed.empty() ? removed_dense : *with_elements;
  for (std::size_t s = 0; s < ExactMap::SHARD_COUNT; ++s) {
    auto shard = map.exact.write_shard(s);
    for (auto it = shard->begin(); it != shard->end();) {
      it->second.difference_with(removed_all, dense);
      if (it->second.is_empty()) {
        shard->erase(it++);
      } else {
        ++it;
      }
    }
  }
  {
    // The pass over the strings tells which ids each string lost; the
    // columns then lose them once per cell those strings pass through: work
    // in proportion to the removed strings' bytes, not to all the columns.
    auto strings = map.strings.write();
    PositionalBitmap::Removal columns(strings->columns);
    strings->buckets.difference_with(removed_all, dense, [&columns](const TextKey& text, auto ids) {
      columns.add(text.view(), ids);
    });
    columns.apply();
    strings->empty.difference_with(removed_all);
  }
  {
    auto numbers = map.numbers.write();
    numbers->buckets.difference_with(removed_all, dense);
    numbers->rationals.difference_with(removed_all, dense);
  }
  map.temporals.write()->buckets.difference_with(removed_all, dense);
  narrow_bits(map, removed_all);
  free_ids(freed);
}

void IndexAPI::narrow_bits(QueryMap& map, const Bitmap& removed) {
  map.numbers.write()->slices.difference_with(removed);
  {
    auto bools = map.bools.write();
    bools->true_ids.bitmap().difference_with(removed);
    bools->false_ids.bitmap().difference_with(removed);
  }
  // The links of removed holders go; the counts are recounted by the sweep
  // that follows every narrowing.
  map.links.write()->drop_parents(removed);
}

void IndexAPI::sweep_reach() {
  if (!reach_) return;
  // What the sweep drops (objects, and the counts it replaces with their
  // marks) is released after every lock.
  std::vector<StoredItem> dropped;
  LinkCounts replaced;
  sweep_reach_into(dropped, replaced);
}

void IndexAPI::sweep_reach_into(std::vector<StoredItem>& dropped, LinkCounts& replaced) {
  IndexAPI& reach = *reach_;
  auto mine = gate.write();
  auto theirs = reach.gate.write();
  auto maps = query_maps->read();
  auto reach_maps = reach.query_maps->read();
  // Mark everything the members reach, depth first with an explicit stack.
  Bitmap marked;
  std::vector<uint32_t> stack;
  for (const auto& map : *maps) {
    if (map != nullptr) {
      Bitmap roots = map->links.read()->all_children();
      roots.for_each([&](uint32_t id) { stack.push_back(id); });
    }
  }
  while (!stack.empty()) {
    const uint32_t id = stack.back();
    stack.pop_back();
    if (marked.contains(id)) continue;
    marked.add(id);
    for (const auto& map : *reach_maps) {
      if (map != nullptr)
        map->for_each_held(id, [&](uint32_t child) {
          if (!marked.contains(child)) stack.push_back(child);
        });
    }
  }
  Bitmap garbage = reach.member_ids.read()->differenced(marked);
  reach_maps.unlock();
  reach.narrow(garbage, dropped);
  // Recount every link from what the maps hold now.
  LinkCounts counts;
  auto count_map = [&](const QueryMap& map) {
    map.links.read()->for_each_link_child([&](uint32_t child) { ++counts.count[child]; });
  };
  for (const auto& map : *maps) {
    if (map != nullptr) count_map(*map);
  }
  reach_maps = reach.query_maps->read();
  for (const auto& map : *reach_maps) {
    if (map != nullptr) count_map(*map);
  }
  std::swap(*reach.link_counts_.lock(), counts);
  replaced = std::move(counts);
}

bool IndexAPI::sweep_reach_if_due() {
  if (!reach_) return false;
  const uint64_t dropped = reach_->link_counts_.lock()->dropped_since_sweep;
  if (dropped < 1024) return false;
  if (dropped < reach_->member_ids.read()->cardinality()) return false;
  sweep_reach();
  return true;
}

}  // namespace quorvane
