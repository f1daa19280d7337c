// IndexAPI::union_with: merges another engine into this one structure by
// structure (set unions restricted to the objects brought in), instead of
// indexing the objects again value by value.
//
// The copy reads the other engine's structures without the objects' locks,
// so an assignment running meanwhile may be copied half done. Every object
// brought in therefore lists this engine first (each assignment from then on
// notes its values here, the new ones with their walked containers), and
// once the copy is done every object assigned meanwhile is put right under
// its lock: the noted values go (whatever the copy took was one of them) and
// the current ones are indexed again. None of this needs the GIL, so no
// Python code runs during a union.
//
// Unions take turns: a union holds the turns of both engines for its whole
// run (lower serial first), so two opposite unions cannot deadlock and a
// union never reads an engine whose own union is not yet put right.
#include <algorithm>

#include "absl/container/flat_hash_set.h"
#include "index/core/index.h"

namespace quorvane {
namespace {

// A container of an object brought in, copied under the object's lock.
struct ContainerToCopy {
  StoredItem holder;
  uint32_t attr;
};

}  // namespace

// The steps of one union, in the order they run.
class UnionRun {
 public:
  UnionRun(IndexAPI& self, IndexAPI& other) : self_(self), other_(other) {}

  // Without the GIL: registration, the copy, the containers.
  void copy(PendingWork& work) {
    std::vector<StoredItem> incoming = other_.members();
    Bitmap ids;
    {
      std::vector<uint32_t> list;
      list.reserve(incoming.size());
      for (const StoredItem& item : incoming) list.push_back(record_of(item.get()).id());
      ids = Bitmap::from_ids(list);
    }
    {
      auto log = self_.union_log_.lock();
      log->active = true;
      log->incoming = ids;
      log->values.clear();
    }
    self_.union_active_.store(true, std::memory_order_release);
    auto engine = self_.shared_from_this();
    for (const StoredItem& item : incoming) {
      auto guard = record_of(item.get()).lock();
      Indexable::register_engine(guard, engine);
    }
    copy_structures(incoming, ids, work);
    copy_containers(work);
    // An object dropped from the other engine before its containers were
    // copied goes again (unless this engine held it before): the union took
    // place before that narrowing, or after it, never half of each.
    for (uint32_t id : dropped_) self_.union_log_.lock()->values.try_emplace(id);
  }

  // Puts right every object assigned since the copy began, each once; an
  // object put right notes nothing more (its later assignments update this
  // engine themselves, as it is a member). Closes the log when none is left.
  void repair(PendingWork& work) {
    ReachCounter counter(self_, work);
    for (;;) {
      std::vector<uint32_t> ids;
      {
        auto log = self_.union_log_.lock();
        if (log->values.empty()) {
          log->active = false;
          log->incoming.clear();
          log->repaired.clear();
          self_.union_active_.store(false, std::memory_order_release);
          return;
        }
        for (const auto& entry : log->values) ids.push_back(entry.first);
      }
      for (uint32_t id : ids) {
        StoredItem item;
        {
          auto table = self_.items->read();
          if (const StoredItem* found = table->find(id)) item = *found;
        }
        auto take_noted = [&] {
          IndexAPI::NotedValues noted;
          auto log = self_.union_log_.lock();
          if (auto node = log->values.extract(id)) noted = std::move(node.mapped());
          log->repaired.add(id);
          return noted;
        };
        if (!item) {
          take_noted();
          continue;
        }
        Indexable& rec = record_of(item.get());
        // With the object's lock held, nothing more is noted for it once it is
        // marked, so the last value noted per attribute is its current one.
        auto guard = rec.lock();
        const IndexAPI::NotedValues noted = take_noted();
        auto shared = self_.gate.read();
        if (!self_.member_ids.read()->contains(id)) continue;
        for (const auto& [attr, value] : noted) {
          QueryMap& map = self_.map_of(attr);
          DirectSink sink(map, counter);
          map.remove(sink, id, value.value);
        }
        if (dropped_.contains(id)) {
          self_.drop_member(id, rec.attributes(), work);
          continue;
        }
        absl::flat_hash_set<uint32_t> done;
        for (auto it = noted.rbegin(); it != noted.rend(); ++it) {
          const auto& [attr, value] = *it;
          if (!done.insert(attr).second) continue;
          QueryMap& map = self_.map_of(attr);
          DirectSink sink(map, counter);
          map.insert(sink, id, value);
        }
      }
    }
  }

 private:
  void copy_structures(const std::vector<StoredItem>& incoming, Bitmap ids, PendingWork& work) {
    // Both gates exclusively here and shared there, in serial order: no
    // narrowing of either engine runs meanwhile, and every change of one
    // object's values in this engine is either done or not begun.
    IndexAPI& first = self_.serial < other_.serial ? self_ : other_;
    std::optional<WriteGuard<Gate>> mine;
    std::optional<ReadGuard<Gate>> theirs;
    if (&first == &self_) {
      mine.emplace(self_.gate.write());
      theirs.emplace(other_.gate.read());
    } else {
      theirs.emplace(other_.gate.read());
      mine.emplace(self_.gate.write());
    }
    // Objects the other engine dropped since they were listed stay out.
    ids.intersect_with(*other_.member_ids.read());
    previous_ = self_.member_ids.read()->intersected(ids);
    std::vector<uint32_t> attrs;
    {
      auto maps = other_.query_maps->read();
      for (uint32_t a = 0; a < maps->size(); ++a) {
        if ((*maps)[a] != nullptr) attrs.push_back(a);
      }
    }
    ReachCounter counter(self_, work);
    for (uint32_t attr : attrs) {
      const QueryMap* theirs_map;
      {
        auto maps = other_.query_maps->read();
        theirs_map = (*maps)[attr].get();
      }
      copy_map(self_.map_of(attr), *theirs_map, attr, incoming, ids, counter);
    }
    {
      auto table = self_.items->write();
      for (const StoredItem& item : incoming) {
        const uint32_t id = record_of(item.get()).id();
        if (ids.contains(id)) table->store(id, item);
      }
    }
    self_.member_ids.write()->union_with(ids);
  }

  // Merges `theirs` into `mine` for the objects of `ids`. Element ids belong
  // to one map each (they return to the pool when their container leaves
  // it), so containers are copied afterwards, under fresh element ids.
  void copy_map(QueryMap& mine, const QueryMap& theirs, uint32_t attr,
                const std::vector<StoredItem>& incoming, const Bitmap& ids, ReachCounter& counter) {
    {
      auto table = theirs.elements.read();
      for (const StoredItem& item : incoming) {
        const uint32_t id = record_of(item.get()).id();
        if (ids.contains(id) && table->by_holder.contains(id)) containers_.push_back({item, attr});
      }
    }
    auto only_incoming = [&](const Bitmap& set) { return set.intersected(ids); };
    for (std::size_t s = 0; s < ExactMap::SHARD_COUNT; ++s) {
      std::vector<std::pair<PyValue, Bitmap>> entries;
      {
        auto shard = theirs.exact.read_shard(s);
        for (const auto& [value, set] : *shard) {
          Bitmap holders = only_incoming(set.to_bitmap());
          if (!holders.is_empty()) entries.emplace_back(value, std::move(holders));
        }
      }
      if (entries.empty()) continue;
      {
        auto shard = mine.exact.write_shard(s);
        for (const auto& [value, holders] : entries) {
          auto it = shard->find(value);
          if (it == shard->end()) it = shard->emplace(value, HybridSet()).first;
          holders.for_each([&](uint32_t id) { it->second.add(id); });
        }
      }
      // An Indexable held by an object is linked from it, and counted.
      for (const auto& [value, holders] : entries) {
        if (value.kind() != ValueKind::Ind) continue;
        const uint32_t child = record_of(value.object()).id();
        holders.for_each([&](uint32_t holder) {
          if (mine.links.write()->register_path(holder, child)) counter.counted(value, true);
        });
      }
    }
    {
      auto strings = mine.strings.write();
      auto other = theirs.strings.read();
      strings->columns.union_with(other->columns, &ids);
      strings->empty.union_with(only_incoming(other->empty));
      auto buckets = other->buckets;
      buckets.intersect_with(ids);
      strings->buckets.union_with(buckets);
    }
    {
      auto numbers = mine.numbers.write();
      auto other = theirs.numbers.read();
      numbers->slices.union_with(other->slices, &ids);
      auto buckets = other->buckets;
      buckets.intersect_with(ids);
      numbers->buckets.union_with(buckets);
    }
    {
      auto bools = mine.bools.write();
      auto other = theirs.bools.read();
      bools->true_ids.bitmap().union_with(only_incoming(other->true_ids.bitmap()));
      bools->false_ids.bitmap().union_with(only_incoming(other->false_ids.bitmap()));
    }
  }

  // Each holder's container, read from the other engine and indexed here
  // under the holder's lock (as every change of a container is): the copy is
  // then the container's current state.
  void copy_containers(PendingWork& work) {
    ReachCounter counter(self_, work);
    for (const ContainerToCopy& copy : containers_) {
      Indexable& rec = record_of(copy.holder.get());
      auto guard = rec.lock();
      const QueryMap* theirs;
      {
        auto maps = other_.query_maps->read();
        theirs = (*maps)[copy.attr].get();
      }
      std::vector<PreparedValue::Element> elements;
      {
        auto shared = other_.gate.read();
        if (!other_.member_ids.read()->contains(rec.id())) {
          if (!previous_.contains(rec.id())) dropped_.insert(rec.id());
          continue;
        }
        elements = theirs->container_of(rec.id());
      }
      auto shared = self_.gate.read();
      if (!self_.member_ids.read()->contains(rec.id())) continue;
      QueryMap& mine = self_.map_of(copy.attr);
      DirectSink sink(mine, counter);
      mine.insert_elements(sink, rec.id(), elements);
    }
  }

  IndexAPI& self_;
  IndexAPI& other_;
  std::vector<ContainerToCopy> containers_;
  Bitmap previous_;                        // objects brought in that were members here already
  absl::flat_hash_set<uint32_t> dropped_;  // objects the other engine dropped meanwhile
};

void IndexAPI::union_with(IndexAPI& other, PendingWork& work) {
  if (&other == this) return;
  IndexAPI& first = serial < other.serial ? *this : other;
  IndexAPI& second = &first == this ? other : *this;
  auto first_turn = first.union_turn_.lock();
  auto second_turn = second.union_turn_.lock();
  UnionRun run(*this, other);
  run.copy(work);
  run.repair(work);
}

}  // namespace quorvane
