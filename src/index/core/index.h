// IndexAPI: the engine behind every Index, and the reach engine beside it.
//
// An engine holds the objects added to it (`items`, indexed by object id),
// one QueryMap per attribute id (`query_maps`) and the set of member ids.
//
// Nested objects. Every Index engine owns one reach engine, which holds every
// object reachable from the Index's members through Indexable attribute
// values (directly, through containers, and through other reachable
// objects), each once, with all its attributes; the maps of both engines
// record the links holder -> held object. A dotted path a.b.c is answered in
// the reach engine and mapped back through the links, one segment at a time.
// An object is a member of the reach engine while links point at it (a count
// per object); a cycle of objects that only point at each other is found and
// dropped by a sweep from the Index's members.
//
// Locks (see docs/architecture.md for the whole order), in the order one
// thread may hold them together:
//   union turns (ascending engine serial) -> one object lock ->
//   gate (Index engine before its reach engine; between two Index engines,
//   ascending serial) -> query_maps -> member_ids -> one lock inside one
//   QueryMap (a bulk writer: that map's locks in field order) -> items ->
//   link_counts (a leaf).
// A thread never waits for an object lock while it holds a gate or any lock
// after it, and no Python code runs under any of them.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/container/inlined_vector.h"
#include "absl/functional/function_ref.h"
#include "index/core/change_clock.h"
#include "index/core/filtered_index.h"
#include "index/core/pending_work.h"
#include "index/core/query/equal_key.h"
#include "index/core/query/query_expr.h"
#include "index/core/query/query_map.h"
#include "index/core/structures/bitmap/bitmap.h"
#include "index/indexable.h"
#include "util/lock.h"

namespace quorvane {

// Held shared by every change of one object's values in an engine, and
// exclusively by the operations that change the engine as a whole (narrowing,
// union, sweep), so that those never interleave with a half-done change.
struct Gate {};

class IndexAPI;
// What a query evaluation reads.
struct EvalScope {
  const MapVector& maps;  // the engine's maps (caller holds query_maps shared)
  IndexAPI* reach;        // where dotted paths continue (null: none)
};

// An engine's member ids, which also keep whether they fill an interval
// (every id between the smallest and the largest, as an engine's members do
// until it drops one), so that membership tests of a few ids are two
// comparisons. The interval is found by the first reader after each write:
// a writer forgets it when it takes the lock, and no reader holds the lock
// while it writes, so a remembered interval always belongs to the ids. The
// set is reached only through `read` and `write`, so no writer can skip
// forgetting the interval.
class MemberIds {
 public:
  // The member set as a shared, unchanging copy (read guard held): made once
  // after each write and shared by every whole-index view until the next.
  std::shared_ptr<const Bitmap> snapshot(const Bitmap& ids) const {
    auto cached = snapshot_.lock();
    if (*cached == nullptr) *cached = std::make_shared<const Bitmap>(ids);
    return *cached;
  }
  // Whether `ids` is the snapshot of the member set as it is now.
  bool is_current(const std::shared_ptr<const Bitmap>& ids) const {
    return *snapshot_.lock() == ids;
  }
  ReadGuard<Bitmap> read() const { return ids_.read(); }
  std::optional<ReadGuard<Bitmap>> try_read() const { return ids_.try_read(); }
  WriteGuard<Bitmap> write() {
    WriteGuard<Bitmap> guard = ids_.write();
    interval_.store(UNKNOWN, std::memory_order_relaxed);
    std::shared_ptr<const Bitmap> stale;  // released after the leaf lock
    std::swap(stale, *snapshot_.lock());
    return guard;
  }
  // The interval `ids` (this lock's set, read guard held) fill, if they do.
  std::optional<IdInterval> interval(const Bitmap& ids) const {
    uint64_t known = interval_.load(std::memory_order_relaxed);
    if (known == UNKNOWN) {
      const std::optional<IdInterval> found = ids.interval();
      known = found ? (uint64_t{found->hi} << 32 | found->lo) : NONE;
      interval_.store(known, std::memory_order_relaxed);
    }
    if (known == NONE) return std::nullopt;
    return IdInterval{static_cast<uint32_t>(known), static_cast<uint32_t>(known >> 32)};
  }

 private:
  // lo above hi: no interval encodes as these.
  static constexpr uint64_t UNKNOWN = 1, NONE = 2;
  RwLock<Bitmap> ids_;
  mutable std::atomic<uint64_t> interval_{UNKNOWN};
  mutable Mutex<std::shared_ptr<const Bitmap>, WordMutex> snapshot_{LEAF};
};

class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
 public:
  // An engine for an Index, with its reach engine.
  static std::shared_ptr<IndexAPI> create();

  // What members point at (made on first use; the engine keeps one
  // reference to it).
  EngineAnchor* anchor();

  // ---- one object at a time (the caller holds the object's lock) ----

  // Indexes the object's current values (its containers as `snap` walked
  // them): a member's once more (a repeated add; the caller holds a change of
  // the engine's clock), another's before it becomes a member, which it does
  // when `publish` is called for it. Nested objects are queued in `work`.
  // False, changing nothing, when the object holds a container `snap` did
  // not walk.
  bool add_snapshot(ObjectGuard& guard, const ObjectSnapshot& snap, PendingWork& work);
  // After an assignment of attribute `attr` of object `id` (from `old`, if
  // it had a value, to `value`): re-indexes it if the object is a member or
  // being added. The caller holds the gate shared and a change of the clock.
  void reindex_attribute(const ReadGuard<Gate>& gate, uint32_t id, uint32_t attr,
                         const PyValue* old, const PreparedValue& value, PendingWork& work);
  // Reach engine: makes the entry's object a member (with its values) while
  // links point at it, and drops it once none does. Takes the object's lock.
  // False when its values need a snapshot taken with the GIL (it holds a
  // container and `work` has no current snapshot of it), or when it is to be
  // stored and only the GIL can make its first holder.
  bool reconcile(PendingWork::Reconcile& entry, PendingWork& work);
  // Takes the object out of the members with the values it holds now
  // (object lock held); the objects it held leave the reach engine once
  // nothing else links to them (queued in `work`). False, changing nothing,
  // when it is not a member.
  bool remove_member(const ObjectGuard& guard, const Indexable& rec, PendingWork& work);

  // ---- many objects (bulk_add.cpp) ----

  // Indexes snapshots of objects that are not members in one batch, before
  // they become members (`publish`): the engine's locks once, values through
  // bulk writers (large batches on several threads). Objects changed since
  // their snapshot are returned, to be added again one by one.
  std::vector<StoredItem> add_batch(std::span<const ObjectSnapshot> batch, PendingWork& work);

  // ---- objects being added ----
  //
  // An object joins in two steps: its values are written while it is "being
  // added" (assignments keep them current, queries do not see it), then it
  // becomes a member with all of them at once. So a query never sees a member
  // without its values.

  // Marks `ids` as being added (those that are not members).
  void begin_adding(const Bitmap& ids);
  // Takes an object that is being added out again with the values it holds
  // now (object lock held), as if it had never been added; the objects it
  // held leave the reach engine once nothing else links to them (queued in
  // `work`). False, changing nothing, when it is not being added.
  bool abandon_adding(const ObjectGuard& guard, const Indexable& rec, PendingWork& work);
  // Makes the objects of `ids` still being added members.
  void publish(const Bitmap& ids);

  // Whether `ids` is the snapshot of the members as they are now and no
  // object is being added (see FilteredView::is_whole_index).
  bool is_whole_and_settled(const std::shared_ptr<const Bitmap>& ids) const {
    return member_ids.is_current(ids) && adding_.read()->is_empty();
  }

  // ---- clocks and gates ----

  // The clock of this engine and its reach engine (see change_clock.h).
  ChangeClock& clock() const noexcept { return *clock_; }
  const std::shared_ptr<ChangeClock>& clock_ref() const noexcept { return clock_; }
  // The order in which gates of several engines are taken: by the Index
  // engine's serial, its reach engine right after it.
  uint64_t gate_order() const noexcept { return family_serial_ * 2 + (reach_ ? 0 : 1); }

  // ---- reading ----

  // References to every member's object in ascending id order.
  std::vector<StoredItem> members();
  uint64_t member_count();
  // Whether `object` (a live Indexable) is a member.
  bool is_member(PyObject* object);
  // Views of the members satisfying all `conditions` / `query`.
  FilteredView reduced(const std::vector<QueryRef>& conditions);
  FilteredView reduced_query(const QueryExpr& query);
  // The objects of the members equal to every key (plain equalities),
  // in ascending id order, when their value sets show at most FEW_ANSWER of
  // them; none when they do not (see few_equal_ids). Needs the GIL: answers
  // that small are not worth releasing it.
  std::optional<absl::InlinedVector<PyRef, 16>> few_equal(std::span<const EqualKey> keys);
  // The view of the members equal to every condition, made as `few_equal`
  // finds them (with the GIL held); none when that does not apply.
  std::optional<FilteredView> few_equal_view(std::span<const QueryRef> conditions);
  // How many members satisfy all `conditions` (no view is made).
  uint64_t count(const std::vector<QueryRef>& conditions);
  // The same for plain equalities whose value sets show at most FEW_ANSWER
  // members (see few_equal_ids); none when that does not apply.
  std::optional<uint64_t> few_equal_count(std::span<const QueryRef> conditions);
  // A view of every member (what collect and iteration list).
  FilteredView all_members();
  // The view of the ids `answer` picks from the members.
  FilteredView view_of(absl::FunctionRef<Bitmap(const EvalScope&, const Bitmap&)> answer);
  // The same when `answer` gives ids; none (nothing pinned) when it does not.
  std::optional<FilteredView> view_if(
      absl::FunctionRef<std::optional<Bitmap>(const EvalScope&, const Bitmap&)> answer);

  // ---- the engine as a whole ----

  // Keeps only members satisfying all `conditions`, then sweeps the reach
  // engine.
  void reduce(const std::vector<QueryRef>& conditions);
  // Drops the members satisfying all `conditions` (no conditions: every
  // member), then sweeps the reach engine; returns how many were dropped.
  uint64_t remove_where(const std::vector<QueryRef>& conditions);
  // Drops every member, then sweeps the reach engine.
  void clear();
  // Drops from the reach engine every object no member reaches any more.
  void sweep_reach();
  // Sweeps when enough links went away since the last sweep to make a sweep
  // pay for itself (amortised: a sweep costs about the reach engine's size);
  // returns whether it swept.
  bool sweep_reach_if_due();
  // Reach engine: looks, from each object that lost a link but kept others
  // since the last look, for a group of objects that only link to each other
  // (a cycle nothing else reaches) and queues them in `work` to be dropped.
  // Bounded work per look: what it cannot settle cheaply is left to the
  // sweep.
  void collect_cycles(PendingWork& work);

  // Merges `other` into this engine (union.cpp); `other` is read, never
  // changed. No GIL needed; nested objects are queued in `work`. The objects
  // brought in are being added until the caller publishes them (returned).
  Bitmap union_with(IndexAPI& other, PendingWork& work);

  // ---- what the cyclic collector sees (collector_references.cpp) ----

  // Calls `visit` with every Python object this engine and its reach engine
  // own a reference to that nothing else shares: each object whose native
  // holders are all in their item tables, and each value only their maps
  // keep. A structure that another thread is writing is passed over. Returns
  // the first nonzero result of `visit`. GIL held, and no thread may be
  // working on any engine without the GIL (the answer would not hold still).
  int visit_references(absl::FunctionRef<int(PyObject*)> visit) const;

  // ---- the reach engine's link counts ----

  // Counts one link to `child` added or removed, and queues the child.
  void count_link(const PyValue& child, bool added, PendingWork& work);
  // Where this engine's links point: its reach engine, or itself for a
  // reach engine (whose objects' values nest into it again).
  IndexAPI& link_target() noexcept { return reach_ ? *reach_ : *this; }
  IndexAPI* reach() const noexcept { return reach_.get(); }
  // A reach engine's Index engine (null for an Index engine, or once gone).
  std::shared_ptr<IndexAPI> owner() const { return owner_.lock(); }
  const std::shared_ptr<IndexAPI>& reach_ref() const noexcept { return reach_; }

  // Shared state; each field names its guard.
  RwLock<Gate> gate;
  std::shared_ptr<RwLock<MapVector>> query_maps;  // slots are never removed while the engine lives
  std::shared_ptr<RwLock<ItemTable>> items;       // written under gate (any mode)
  MemberIds member_ids;                           // written under gate (any mode)
  const uint64_t serial;                          // lock order between engines

  IndexAPI();
  ~IndexAPI();

 private:
  friend class UnionRun;
  struct LinkCounts {
    absl::flat_hash_map<uint32_t, uint32_t> count;  // object id -> links to it
    uint64_t dropped_since_sweep = 0;               // links removed whose child kept others
    // Objects that lost a link and kept others since collect_cycles last
    // looked: only then can a cycle have lost its last link from outside.
    absl::flat_hash_set<uint32_t> suspects;
    // Objects collect_cycles found unreachable, while they are dropped: not
    // linked for reconcile whatever their count (their links come from each
    // other). A new link to one of them makes them all linked again.
    absl::flat_hash_map<uint32_t, StoredItem> doomed;
  };
  // Whether the object has links (link_counts_ held).
  static bool linked_in(const LinkCounts& counts, uint32_t id) {
    return counts.count.contains(id) && !counts.doomed.contains(id);
  }
  // The map of `attr`, created when missing. A map is never removed from a
  // live engine, so the reference stays valid after the vector's lock is
  // released. Gate held (any mode).
  QueryMap& map_of(uint32_t attr);
  // Indexes every current value of the snapshot's object (see add_snapshot).
  bool index_values(const ObjectGuard& guard, const ObjectSnapshot& snap, PendingWork& work);
  void remove_values(uint32_t id, const AttributeMap& values, PendingWork& work);
  // Drops the members of `removed`, with every value they and their
  // container elements have in every structure, their items and links (gate
  // held exclusively). Their holders go to `dropped`, for the caller to
  // release once every lock is released.
  void narrow(const Bitmap& removed, std::vector<StoredItem>& dropped);
  // `removed_dense` holds the ids of `removed`.
  void narrow_map(QueryMap& map, const Bitmap& removed, const DenseIds& removed_dense);
  // narrow_map for each of `maps` (on two threads when many ids go).
  void narrow_maps(const std::vector<QueryMap*>& maps, const Bitmap& removed);
  // How a removal narrows each map: the keyed ones lose the removed objects'
  // values one by one, the passed ones by a pass over their values.
  struct RemovalPlan {
    std::vector<bool> keyed_attr;  // by attribute index
    std::vector<QueryMap*> keyed, passed;
  };
  RemovalPlan choose_removal(const MapVector& maps, uint64_t removed);
  // Takes the values of the members of `removed` out of the plan's keyed maps
  // (see narrow); returns the ids whose objects were busy, left to narrow_map.
  Bitmap remove_keyed(const MapVector& maps, const RemovalPlan& plan, const Bitmap& removed);
  // Takes `removed` out of the sets kept per bit, and their links.
  void narrow_bits(QueryMap& map, const Bitmap& removed);
  // Removes a member with its current values (object lock held, gate held).
  void drop_member(uint32_t id, const AttributeMap& values, PendingWork& work);
  // Takes the values and the item of an object that no query sees (no
  // longer a member, or never one) out (gate held).
  void take_out(uint32_t id, const AttributeMap& values, PendingWork& work);
  // Drops the members `find(scope, members)` picks (see remove_where).
  uint64_t drop_found(absl::FunctionRef<Bitmap(const EvalScope&, const Bitmap&)> find);
  // Whether `id` is a member or being added (gate held).
  bool member_or_adding(uint32_t id);
  // The sweep, leaving what it drops to the caller (see sweep_reach).
  void sweep_reach_into(std::vector<StoredItem>& dropped, LinkCounts& replaced);

  std::shared_ptr<IndexAPI> reach_;                  // null in a reach engine
  std::shared_ptr<const ViewSources> view_sources_;  // what its views read (set by create)
  std::weak_ptr<IndexAPI> owner_;                    // a reach engine's Index engine
  std::atomic<EngineAnchor*> anchor_{nullptr};       // see anchor()
  Mutex<LinkCounts> link_counts_{LEAF};              // reach engine only
  std::shared_ptr<ChangeClock> clock_;               // shared with the reach engine
  uint64_t family_serial_ = 0;                       // the Index engine's serial
  // Objects being added (see publish): written under the gate (any mode),
  // after member_ids when both are held.
  RwLock<Bitmap> adding_;
  Mutex<bool> union_turn_;  // held for a whole union into or out of this engine
};

// Tells an engine's link target (its reach engine) of every link a sink adds
// or removes, queuing the objects linked to in `work`.
class ReachCounter final : public LinkCounter {
 public:
  ReachCounter(IndexAPI& engine, PendingWork& work) : target_(engine.link_target()), work_(work) {}
  void counted(const PyValue& child, bool added) override {
    target_.count_link(child, added, work_);
  }

 private:
  IndexAPI& target_;
  PendingWork& work_;
};

// The evaluation side of an engine as a query sees it.

}  // namespace quorvane
