#include "index/core/indexing.h"

#include <malloc.h>

#include <algorithm>

#include "absl/container/flat_hash_set.h"
#include "absl/container/inlined_vector.h"
#include "absl/functional/function_ref.h"
#include "index/core/structures/string_interner/string_interner.h"
#include "index/indexable_protocol.h"
#include "python/arg_binding.h"
#include "python/gil.h"

namespace quorvane {

ObjectSnapshot ObjectSnapshot::take(StoredItem item) {
  const Indexable& rec = record_of(item.get());
  ObjectSnapshot snap{StoredItem(), rec.version(), {}};
  // The containers are listed before any is walked: walking runs Python code,
  // which may assign the object's attributes (the version then tells).
  rec.attributes().for_each_boxed([&](uint32_t attr, const PyValue& value) {
    // The value borrows the container from the slot: the walk takes a
    // reference of its own, and afterwards the value is only compared (by
    // its token), so the container may go with a later assignment.
    if (value.kind() == ValueKind::Iterable)
      snap.containers.emplace_back(attr, PreparedValue{value, {}});
  });
  for (auto& [attr, container] : snap.containers) {
    container = prepare_value(std::move(container.value), INTERNER().str(attr));
  }
  snap.item = std::move(item);
  return snap;
}

namespace {

[[noreturn]] void throw_kept_changing() {
  throw PyErr(PyExc_RuntimeError,
              "the attributes of an object kept changing while it was being indexed");
}

// Calls `fn(object)` for every Indexable the snapshot's object holds, in its
// attributes or its walked containers (GIL held).
template <class F>
void for_each_indexable(const ObjectSnapshot& snap, F&& fn) {
  record_of(snap.item.get()).attributes().for_each_boxed([&](uint32_t, const PyValue& value) {
    if (value.kind() == ValueKind::Ind) fn(StoredItem::borrow(value.object()));
  });
  for (const auto& [attr, container] : snap.containers) {
    for (const auto& element : container.elements) {
      if (element.value.kind() == ValueKind::Ind) fn(StoredItem::borrow(element.value.object()));
    }
  }
}

// Adds one snapshot under its object's lock; false when a container was
// assigned to the object since.
bool add_one(IndexAPI& engine, const ObjectSnapshot& snap, PendingWork& work) {
  auto guard = record_of(snap.item.get()).lock();
  return engine.add_snapshot(guard, snap, work);
}

// Sweeps the reach engines whose links went away, when a sweep is due, and
// otherwise looks for cycles that lost their last link from outside (the
// objects to drop are queued in `work`).
void sweep_touched(PendingWork& work) {
  auto touched = std::exchange(work.touched, {});
  for (const auto& reach : touched) {
    auto owner = reach->owner();
    if (owner && !owner->sweep_reach_if_due()) reach->collect_cycles(work);
  }
}

}  // namespace

void snapshot_reachable(const std::vector<ObjectSnapshot>& roots, IndexAPI& reach,
                        PendingWork& work) {
  std::vector<StoredItem> stack;
  for (const auto& root : roots) {
    for_each_indexable(root, [&](StoredItem child) { stack.push_back(std::move(child)); });
  }
  while (!stack.empty()) {
    StoredItem object = std::move(stack.back());
    stack.pop_back();
    const uint32_t id = record_of(object.get()).id();
    if (work.snapshots.contains(id) || reach.member_ids.read()->contains(id)) continue;
    settle_staged(object.get(), &work);
    auto [it, fresh] = work.snapshots.emplace(id, ObjectSnapshot::take(std::move(object)));
    for_each_indexable(it->second, [&](StoredItem child) { stack.push_back(std::move(child)); });
  }
}

namespace {

constexpr std::size_t LARGE_BATCH = 65536;
// The fewest objects of one part of a batch without progress: large enough
// that the bulk writers' threads and flushes cost little per object.
constexpr std::size_t BULK_PART = std::size_t{1} << 16;

// Adds again, one by one with fresh values, the objects that changed while
// they were being added.
void retry_stale(IndexAPI& engine, std::vector<StoredItem>& stale, PendingWork& work) {
  for (int attempt = 1; !stale.empty(); ++attempt) {
    if (attempt >= MAX_SNAPSHOT_ATTEMPTS) throw_kept_changing();
    std::vector<ObjectSnapshot> retry;
    retry.reserve(stale.size());
    for (const StoredItem& item : stale) {
      settle_staged(item.get(), &work);
      retry.push_back(ObjectSnapshot::take(item));
    }
    snapshot_reachable(retry, *engine.reach(), work);
    stale.clear();
    native_work(retry.size() >= WORTH_RELEASING_THE_GIL / 8, [&] {
      for (const ObjectSnapshot& snap : retry) {
        if (!add_one(engine, snap, work)) stale.push_back(snap.item);
      }
    });
    drain_pending_releases();
  }
}

// The same, then works off the nested work.
void finish_adding(IndexAPI& engine, std::vector<StoredItem>& stale, PendingWork& work) {
  retry_stale(engine, stale, work);
  run_pending(work);
}

// Values to write or take out for `objects`: their attributes and the
// elements of their containers (GIL held).
std::size_t units_of(std::span<const ObjectSnapshot> objects) {
  std::size_t units = 0;
  for (const ObjectSnapshot& snap : objects) {
    units += record_of(snap.item.get()).attributes().size();
    for (const auto& [attr, container] : snap.containers) units += container.elements.size();
  }
  return units;
}

// How many objects one part of a batch with progress holds: enough for the
// bulk writers' threads (see add_batch), few enough for a call a few times a
// second.
std::size_t part_size(std::size_t total, std::size_t smallest) {
  constexpr std::size_t PARTS = 64;
  return std::max(smallest, (total + PARTS - 1) / PARTS);
}

// Writes objects one by one or as a batch (without the GIL when long).
// Returns the objects that changed meanwhile.
std::vector<StoredItem> write_objects(IndexAPI& engine, std::span<const ObjectSnapshot> batch,
                                      std::span<const ObjectSnapshot> one_by_one,
                                      PendingWork& work) {
  std::vector<StoredItem> stale;
  native_work(units_of(batch) + units_of(one_by_one) >= WORTH_RELEASING_THE_GIL, [&] {
    if (batch.size() == 1) {
      if (!add_one(engine, batch.front(), work)) stale.push_back(batch.front().item);
    } else if (!batch.empty()) {
      stale = engine.add_batch(batch, work);
    }
    for (const ObjectSnapshot& snap : one_by_one) {
      if (!add_one(engine, snap, work)) stale.push_back(snap.item);
    }
  });
  drain_pending_releases();
  return stale;
}

}  // namespace

void add_objects(IndexAPI& engine, std::vector<StoredItem> objects, BatchProgress* progress) {
  // Each object once, in ascending id order: every cell of the value
  // structures then receives its ids in order, which CRoaring appends fastest.
  std::vector<std::pair<uint32_t, const StoredItem*>> order;
  order.reserve(objects.size());
  for (const StoredItem& item : objects) order.emplace_back(record_of(item.get()).id(), &item);
  std::sort(order.begin(), order.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  order.erase(std::unique(order.begin(), order.end(),
                          [](const auto& a, const auto& b) { return a.first == b.first; }),
              order.end());
  PendingWork work;
  for (const auto& [id, item] : order) settle_staged((*item).get(), &work);

  // The objects are taken in parts: each part's snapshots (its walked
  // containers) and the bulk writers' buffers live only while that part is
  // written, so a large batch needs little more memory than the index it
  // leaves. Objects that are members already are added again one by one,
  // each part's under a change of the clock (their containers are indexed
  // anew); the others are written while being added and become members
  // together at the end (see IndexAPI::publish), so queries see none of them
  // half indexed. With `progress`, the parts are smaller, for a call a few
  // times a second.
  const std::size_t total = order.size();
  const std::size_t part =
      progress != nullptr ? part_size(total, 65536) : std::max(total / 32, BULK_PART);
  std::vector<const StoredItem*> begun;  // written while being added
  Bitmap added;
  try {
    for (std::size_t start = 0; start < total; start += part) {
      const std::size_t end = std::min(total, start + part);
      std::vector<ObjectSnapshot> snapshots;
      snapshots.reserve(end - start);
      for (std::size_t i = start; i < end; ++i) {
        snapshots.push_back(ObjectSnapshot::take(*order[i].second));
      }
      snapshot_reachable(snapshots, *engine.reach(), work);
      std::vector<ObjectSnapshot> again;
      std::vector<uint32_t> ids;
      for (auto& snap : snapshots) {
        if (engine.is_member(snap.item.get())) {
          again.push_back(std::move(snap));
        } else {
          ids.push_back(snap.id());  // ascending
        }
      }
      std::erase_if(snapshots, [](const ObjectSnapshot& snap) { return !snap.item; });
      ChangeScope change;
      if (!again.empty()) {
        while (!change.try_begin({engine.clock_ref()})) change.wait();
      }
      const Bitmap fresh = Bitmap::from_ids(ids);
      engine.begin_adding(fresh);
      added.union_with(fresh);
      for (std::size_t i = start; i < end; ++i) {
        if (fresh.contains(order[i].first)) begun.push_back(order[i].second);
      }
      std::vector<StoredItem> stale = write_objects(engine, snapshots, again, work);
      std::vector<ObjectSnapshot>().swap(snapshots);
      std::vector<ObjectSnapshot>().swap(again);
      finish_adding(engine, stale, work);
      change.end();
      if (progress != nullptr) (*progress)(end, total);
    }
  } catch (abi::__forced_unwind&) {
    throw;  // the interpreter is ending this thread: nothing may run now
  } catch (...) {
    // Taken out as they are now: an assignment since kept them current.
    native_work(begun.size() >= WORTH_RELEASING_THE_GIL / 8, [&] {
      for (const StoredItem* item : begun) {
        const Indexable& rec = record_of(item->get());
        auto guard = rec.lock();
        engine.abandon_adding(guard, rec, work);
      }
    });
    drain_pending_releases();
    run_pending(work);
    throw;
  }
  if (total == 0 && progress != nullptr) (*progress)(0, 0);
  engine.publish(added);
  // A large batch gathered its values in buffers (on several threads, each
  // with its own malloc arena) and took a snapshot of every object, all free
  // now: hand their pages back to the system rather than keep them.
  if (total >= LARGE_BATCH) {
    std::vector<std::pair<uint32_t, const StoredItem*>>().swap(order);
    std::vector<const StoredItem*>().swap(begun);
    std::vector<StoredItem>().swap(objects);
    without_gil([] { malloc_trim(0); });
  }
}

namespace {

// The values to take out of `objects`, elements of containers included (GIL
// held: a container's length is read from it).
std::size_t removal_units(std::span<const StoredItem> objects) {
  std::size_t work_units = 0;
  for (const StoredItem& item : objects) {
    record_of(item.get()).attributes().for_each_object([&](uint32_t, PyObject* value) {
      ++work_units;
      if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        work_units += static_cast<std::size_t>(Py_SIZE(value));
      } else if (PySet_CheckExact(value)) {
        work_units += static_cast<std::size_t>(PySet_GET_SIZE(value));
      }
    });
  }
  return work_units;
}

// Takes `objects` out of `engine`, adding those it removed to `removed`.
void remove_part(IndexAPI& engine, std::span<const StoredItem> objects,
                 std::vector<StoredItem>& removed, PendingWork& work) {
  const std::size_t work_units = removal_units(objects);
  {
    // A change under the clock, begun before any lock: between a member
    // leaving the member set and its values leaving the value sets, no
    // reader takes the sets' sizes for counts of members.
    ChangeScope change;
    while (!change.try_begin({engine.clock_ref()})) change.wait();
    native_work(work_units >= WORTH_RELEASING_THE_GIL, [&] {
      for (const StoredItem& item : objects) {
        const Indexable& rec = record_of(item.get());
        auto guard = rec.lock();
        if (engine.remove_member(guard, rec, work)) removed.push_back(item);
      }
    });
  }
  drain_pending_releases();
  run_pending(work);
}

}  // namespace

std::size_t remove_objects(IndexAPI& engine, const std::vector<StoredItem>& objects,
                           BatchProgress* progress) {
  PendingWork work;
  std::vector<StoredItem> removed;
  if (progress == nullptr) {
    remove_part(engine, objects, removed, work);
    return removed.size();
  }
  const std::size_t total = objects.size();
  const std::size_t part = part_size(total, 4096);
  try {
    if (objects.empty()) (*progress)(0, 0);
    for (std::size_t start = 0; start < total; start += part) {
      const std::size_t n = std::min(part, total - start);
      remove_part(engine, std::span(objects).subspan(start, n), removed, work);
      (*progress)(start + n, total);
    }
  } catch (abi::__forced_unwind&) {
    throw;  // as in add_objects
  } catch (...) {
    add_objects(engine, std::move(removed));
    throw;
  }
  return removed.size();
}

namespace {

// The body of every assignment: `still_wanted()` is asked with the GIL and
// the object's lock held, before anything changes (false: nothing happens);
// nested work is queued in `into`, or worked off here when it is null.
template <class Check>
void assign_checked(PyObject* self, PyObject* name, PyObject* value, Check&& still_wanted,
                    PendingWork* into) {
  std::string_view text = extract_str(name, "name");
  const uint32_t attr = intern_attribute(name, text);
  // The stored form is made before any lock (it only takes references). A
  // value kept bare needs no conversion unless an index holds the object:
  // its native form is then rebuilt from it, which runs no Python code.
  std::optional<AttributeMap::Slot> bare = AttributeMap::Slot::make_bare(value);
  std::optional<PreparedValue> converted;
  if (!bare) converted.emplace(PreparedValue{PyValue::stored_from_object(value, text), {}});
  AttributeMap::Slot slot =
      bare ? std::move(*bare) : AttributeMap::Slot::make(value, converted->value);
  // A container is walked only for an object that engines hold (walking
  // runs Python code, so the lock is let go for it and taken again).
  bool walked = !converted || converted->value.kind() != ValueKind::Iterable;
  Indexable& rec = record_of(self);
  // Made only for an object that engines hold (an object in no index, as
  // every object is while it is made, needs none).
  std::optional<PendingWork> work;
  AttributeMap::Slot replaced;
  // Declared before the lock's guard, so that it outlives it: holding an
  // engine alive here may make this the engine's last holder, and a dying
  // engine releases its objects, whose finalizers must not run under the
  // object's lock (they may assign this very object).
  std::vector<std::shared_ptr<IndexAPI>> engines;
  // The change as queries see it: from the first engine updated until the
  // nested objects are in step (see change_clock.h).
  ChangeScope change;
  for (;;) {
    auto guard = rec.lock();
    if (!still_wanted()) return;
    engines = Indexable::live_engines(guard);
    if (!engines.empty()) {
      if (!walked) {
        guard.unlock();
        engines.clear();
        converted = prepare_value(std::move(converted->value), text);
        walked = true;
        continue;
      }
      std::vector<std::shared_ptr<ChangeClock>> clocks;
      for (const auto& engine : engines) clocks.push_back(engine->clock_ref());
      if (!change.try_begin(std::move(clocks))) {
        // A reader waits for quiet: it is waited for without the lock.
        guard.unlock();
        engines.clear();
        change.wait();
        continue;
      }
      // The gates of every engine, shared and in their order, for the whole
      // change, so that a union copying one of them sees it done in all.
      std::sort(engines.begin(), engines.end(),
                [](const auto& a, const auto& b) { return a->gate_order() < b->gate_order(); });
      const std::optional<PyValue> old = rec.attributes().get(attr);
      // A large container is indexed without the GIL (taken back to store
      // the value, with the lock still held: nothing released meanwhile runs
      // a finalizer before the lock goes).
      if (!converted) converted.emplace(PreparedValue{slot.value(), {}});
      const PreparedValue& prepared = *converted;
      if (!work) work.emplace();
      native_work(prepared.elements.size() >= WORTH_RELEASING_THE_GIL, [&] {
        std::vector<ReadGuard<Gate>> gates;
        gates.reserve(engines.size());
        for (const auto& engine : engines) gates.push_back(engine->gate.read());
        for (std::size_t i = 0; i < engines.size(); ++i) {
          engines[i]->reindex_attribute(gates[i], rec.id(), attr, old ? &*old : nullptr, prepared,
                                        *work);
        }
      });
    }
    replaced = rec.store(guard, attr, std::move(slot));
    break;
  }
  // Released with no lock held: its finalizer may assign this object again.
  replaced = AttributeMap::Slot();
  engines.clear();
  drain_pending_releases();
  if (!work) return;
  if (into != nullptr) {
    into->merge(std::move(*work));
  } else {
    run_pending(*work);
  }
}

}  // namespace

void assign_attribute(PyObject* self, PyObject* name, PyObject* value) {
  assign_checked(
      self, name, value, [] { return true; }, nullptr);
}

void assign_attributes(PyObject* self, std::span<const std::pair<PyObject*, PyObject*>> items) {
  if (items.empty()) return;
  // Converted first, then stored under one lock when no engine holds the
  // object (a new one); otherwise each is assigned on its own.
  absl::InlinedVector<std::pair<uint32_t, AttributeMap::Slot>, 8> values;
  for (const auto& [name, value] : items) {
    std::string_view text = extract_str(name, "name");
    std::optional<AttributeMap::Slot> bare = AttributeMap::Slot::make_bare(value);
    values.emplace_back(
        intern_attribute(name, text),
        bare ? std::move(*bare)
             : AttributeMap::Slot::make(value, PyValue::stored_from_object(value, text)));
  }
  Indexable& rec = record_of(self);
  absl::InlinedVector<AttributeMap::Slot, 8> replaced;
  bool stored = false;
  {
    auto guard = rec.lock();
    if (guard->engines.empty()) {
      rec.reserve_attributes(guard, values.size());
      for (auto& [attr, value] : values)
        replaced.push_back(rec.store(guard, attr, std::move(value)));
      stored = true;
    }
  }
  replaced.clear();
  if (stored) return;
  for (const auto& [name, value] : items) assign_attribute(self, name, value);
}

void assign_if(PyObject* self, PyObject* name, PyObject* value,
               absl::FunctionRef<bool()> still_wanted, PendingWork* into) {
  assign_checked(self, name, value, still_wanted, into);
}

namespace {

// Works off the queue until it is empty (see run_pending).
void run_queue(PendingWork& work, absl::flat_hash_map<uint32_t, int>& attempts,
               std::optional<PyErr>& first_error) {
  while (!work.reconcile.empty()) {
    std::vector<PendingWork::Reconcile> need;
    native_work(work.reconcile.size() >= WORTH_RELEASING_THE_GIL / 16, [&] {
      while (!work.reconcile.empty()) {
        PendingWork::Reconcile next = std::move(work.reconcile.front());
        work.reconcile.pop_front();
        if (!next.reach->reconcile(next, work)) need.push_back(std::move(next));
      }
    });
    drain_pending_releases();
    absl::flat_hash_set<uint32_t> taken_now;
    for (auto& item : need) {
      if (!item.object) {
        item.object = StoredItem::borrow(item.linked.get());
        item.linked = nullptr;
      }
      const uint32_t id = record_of(item.object.get()).id();
      // An object queued more than once (several links to it) is walked once.
      if (!taken_now.insert(id).second) {
        work.reconcile.push_back(std::move(item));
        continue;
      }
      if (++attempts[id] > MAX_SNAPSHOT_ATTEMPTS) {
        if (!first_error) {
          first_error.emplace(PyExc_RuntimeError,
                              "the attributes of an object kept changing while it was being "
                              "indexed");
        }
        continue;
      }
      try {
        settle_staged(item.object.get(), &work);
      } catch (PyErr& err) {
        // The failing value is dropped: the object is indexed without it.
        if (!first_error) first_error.emplace(std::move(err));
      }
      std::vector<ObjectSnapshot> taken;
      try {
        taken.push_back(ObjectSnapshot::take(item.object));
      } catch (PyErr& err) {
        if (!first_error) first_error.emplace(std::move(err));
        continue;
      }
      try {
        // The objects it reaches are walked in this same phase, so that a
        // chain of objects holding containers costs one phase, not one each.
        snapshot_reachable(taken, *item.reach, work);
      } catch (PyErr&) {
        // Raised again when that object's own turn comes.
      }
      work.snapshots.insert_or_assign(id, std::move(taken.front()));
      work.reconcile.push_back(std::move(item));
    }
  }
}

}  // namespace

void run_pending(PendingWork& work) {
  absl::flat_hash_map<uint32_t, int> attempts;
  std::optional<PyErr> first_error;
  for (;;) {
    run_queue(work, attempts, first_error);
    work.snapshots.clear();
    if (work.touched.empty()) break;
    // A look for cycles is bounded and a sweep amortised: the GIL stays.
    native_work(false, [&] { sweep_touched(work); });
    drain_pending_releases();
    if (work.reconcile.empty()) break;
  }
  if (first_error) throw std::move(*first_error);
}

}  // namespace quorvane
