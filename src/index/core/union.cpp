// IndexAPI::union_with: merges another engine into this one structure by
// structure (set unions restricted to the objects brought in), instead of
// indexing the objects again value by value.
//
// The objects brought in are being added (see IndexAPI::publish) until the
// caller publishes them, so queries see none of them half copied. Every one
// lists this engine first, so that an assignment from then on updates it
// too. An assignment holds the gates of all its engines (shared) for its
// whole change, and the copy holds both engines' gates exclusively, so the
// copy sees each object with all its assignments done in both engines, or
// none: what it copies is current. Containers are copied afterwards under
// their holders' locks, as every change of a container is. None of this
// needs the GIL, so no Python code runs during a union.
//
// Unions take turns: a union holds the turns of both engines for its whole
// run (lower serial first), so two opposite unions cannot deadlock.
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

  // Without the GIL. Returns the objects brought in, to be published once
  // the nested work is done.
  Bitmap run(PendingWork& work) {
    std::vector<StoredItem> incoming = other_.members();
    Bitmap ids;
    {
      std::vector<uint32_t> list;
      list.reserve(incoming.size());
      for (const StoredItem& item : incoming) list.push_back(record_of(item.get()).id());
      ids = Bitmap::from_ids(list);
    }
    self_.begin_adding(ids);
    auto engine = self_.shared_from_this();
    for (const StoredItem& item : incoming) {
      auto guard = record_of(item.get()).lock();
      Indexable::register_engine(guard, engine);
    }
    copy_structures(incoming, ids, work);
    copy_containers(work);
    forget_dropped(incoming, work);
    return ids;
  }

 private:
  void copy_structures(const std::vector<StoredItem>& incoming, Bitmap& ids, PendingWork& work) {
    // Both gates exclusively, in serial order: no narrowing of either engine
    // and no assignment is half done meanwhile.
    IndexAPI& first = self_.serial < other_.serial ? self_ : other_;
    std::optional<WriteGuard<Gate>> mine;
    std::optional<WriteGuard<Gate>> theirs;
    if (&first == &self_) {
      mine.emplace(self_.gate.write());
      theirs.emplace(other_.gate.write());
    } else {
      theirs.emplace(other_.gate.write());
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
    auto table = self_.items->write();
    for (const StoredItem& item : incoming) {
      const uint32_t id = record_of(item.get()).id();
      if (ids.contains(id)) table->store(id, item);
    }
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
      numbers->union_with(*other, ids);
    }
    {
      auto bools = mine.bools.write();
      auto other = theirs.bools.read();
      bools->true_ids.bitmap().union_with(only_incoming(other->true_ids.bitmap()));
      bools->false_ids.bitmap().union_with(only_incoming(other->false_ids.bitmap()));
    }
    {
      auto temporals = mine.temporals.write();
      auto other = theirs.temporals.read();
      auto buckets = other->buckets;
      buckets.intersect_with(ids);
      temporals->buckets.union_with(buckets);
    }
  }

  // Each holder's container, read from the other engine and indexed here
  // under the holder's lock (as every change of a container is): the copy is
  // then the container's current state. A member here already changes under
  // the clock; an object being added is seen by no query yet.
  void copy_containers(PendingWork& work) {
    ReachCounter counter(self_, work);
    for (const ContainerToCopy& copy : containers_) {
      Indexable& rec = record_of(copy.holder.get());
      const uint32_t id = rec.id();
      ChangeScope change;
      for (;;) {
        auto guard = rec.lock();
        const QueryMap* theirs;
        {
          auto maps = other_.query_maps->read();
          theirs = (*maps)[copy.attr].get();
        }
        std::vector<PreparedValue::Element> elements;
        {
          auto shared = other_.gate.read();
          if (!other_.member_ids.read()->contains(id)) {
            if (!previous_.contains(id)) dropped_.insert(id);
            break;
          }
          elements = theirs->container_of(id);
        }
        const bool member = previous_.contains(id);
        if (member && !change.try_begin({self_.clock_ref()})) {
          guard.unlock();
          change.wait();
          continue;
        }
        auto shared = self_.gate.read();
        if (!self_.member_or_adding(id)) break;
        QueryMap& mine = self_.map_of(copy.attr);
        DirectSink sink(mine, counter);
        mine.insert_elements(sink, id, elements);
        break;
      }
    }
  }

  // An object the other engine dropped before its containers were copied is
  // not brought in (unless this engine held it before): the union took place
  // before that narrowing, or after it, never half of each. Its values copied
  // so far go, and it is not published.
  void forget_dropped(const std::vector<StoredItem>& incoming, PendingWork& work) {
    if (dropped_.empty()) return;
    Bitmap gone;
    for (const StoredItem& item : incoming) {
      Indexable& rec = record_of(item.get());
      if (!dropped_.contains(rec.id())) continue;
      auto guard = rec.lock();
      auto shared = self_.gate.read();
      if (!self_.adding_.read()->contains(rec.id())) continue;
      self_.remove_values(rec.id(), rec.attributes(), work);
      gone.add(rec.id());
    }
    self_.adding_.write()->difference_with(gone);
    std::shared_ptr<RetiredItems> keep;
    std::vector<StoredItem> released;  // after the lock
    auto table = self_.items->write();
    table->take_many(gone, released, keep);
  }

  IndexAPI& self_;
  IndexAPI& other_;
  std::vector<ContainerToCopy> containers_;
  Bitmap previous_;                        // objects brought in that were members here already
  absl::flat_hash_set<uint32_t> dropped_;  // objects the other engine dropped meanwhile
};

Bitmap IndexAPI::union_with(IndexAPI& other, PendingWork& work) {
  if (&other == this) return Bitmap();
  IndexAPI& first = serial < other.serial ? *this : other;
  IndexAPI& second = &first == this ? other : *this;
  auto first_turn = first.union_turn_.lock();
  auto second_turn = second.union_turn_.lock();
  return UnionRun(*this, other).run(work);
}

}  // namespace quorvane
