// IndexAPI::add_batch: many objects into one engine, the engine's locks taken
// once and values written through bulk writers.
#include <algorithm>
#include <system_error>
#include <thread>

#include "absl/container/flat_hash_set.h"
#include "index/core/index.h"
#include "index/core/query/delayed_query.h"

namespace quorvane {
namespace {

// The batch's attributes in groups, each written by its own thread (one group
// for a small batch; none without attributes). Maps are independent (each
// has its own locks), so a large batch is written by up to
// MAX_WRITER_THREADS threads, each owning some maps. The split balances an
// estimate of the work: one unit per object for a scalar attribute, and
// three more per element for containers (an element costs its holder's entry
// besides the value itself). Small batches stay on the calling thread:
// starting a thread costs more than they take.
std::vector<std::vector<uint32_t>> split_attributes(
    std::vector<uint32_t> attrs, std::size_t objects,
    const absl::flat_hash_map<uint32_t, std::size_t>& element_counts) {
  static constexpr std::size_t MAX_WRITER_THREADS = 4;
  static constexpr std::size_t MIN_OBJECTS_PER_THREAD = 16384;
  std::sort(attrs.begin(), attrs.end());
  std::size_t threads = std::min({MAX_WRITER_THREADS, attrs.size(),
                                  std::max<std::size_t>(1, std::thread::hardware_concurrency()),
                                  std::max<std::size_t>(1, objects / MIN_OBJECTS_PER_THREAD)});
  if (threads <= 1) {
    return attrs.empty() ? std::vector<std::vector<uint32_t>>{}
                         : std::vector<std::vector<uint32_t>>{attrs};
  }
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

}  // namespace

std::vector<StoredItem> IndexAPI::add_batch(std::span<const ObjectSnapshot> batch,
                                            PendingWork& work) {
  auto self = shared_from_this();
  // Registered first, each under its own lock, so that an assignment from
  // now on updates this engine too.
  // The names the objects hold are read under the same lock: an assignment
  // on another thread may grow (and so move) an object's attributes.
  std::vector<const ObjectSnapshot*> current;
  std::vector<StoredItem> stale;
  std::vector<uint32_t> attrs;
  absl::flat_hash_set<uint32_t> seen;
  current.reserve(batch.size());
  for (const ObjectSnapshot& snap : batch) {
    const Indexable& rec = record_of(snap.item.get());
    auto guard = rec.lock();
    Indexable::register_engine(guard, self);
    rec.attributes().for_each_object([&](uint32_t attr, PyObject*) {
      if (seen.insert(attr).second) attrs.push_back(attr);
    });
    current.push_back(&snap);
  }
  absl::flat_hash_map<uint32_t, std::size_t> element_counts;
  Bitmap batch_ids;
  {
    std::vector<uint32_t> ids;
    ids.reserve(current.size());
    for (const ObjectSnapshot* snap : current) {
      ids.push_back(snap->id());  // ascending
      for (const auto& [attr, container] : snap->containers) {
        element_counts[attr] += container.elements.size();
      }
    }
    batch_ids = Bitmap::from_ids(ids);
    auto shared = gate.read();
    for (uint32_t attr : attrs) map_of(attr);
    auto table = items->write();
    for (const ObjectSnapshot* snap : current) table->store(snap->id(), snap->item);
  }

  std::vector<std::vector<uint32_t>> groups =
      split_attributes(attrs, current.size(), element_counts);
  // Attribute ids grow with every name ever used, so nothing here is sized
  // by them: each attribute's group is looked up.
  absl::flat_hash_map<uint32_t, std::size_t> owner;  // attribute -> its group
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (uint32_t attr : groups[g]) owner[attr] = g;
  }
  struct GroupResult {
    PendingWork work;
    std::vector<StoredItem> stale;
    std::exception_ptr failure;
  };
  std::vector<GroupResult> results(groups.size());

  // One group's maps, written object by object. The writers hold the maps'
  // locks and the gate shared between objects; a thread never waits for an
  // object's lock while holding them (the lock's holder may be waiting for
  // one of them): when the lock is busy, the writers are closed, the lock is
  // awaited, and they are opened again under it. Each object is written only
  // while it is still being added (another thread may have finished adding
  // it meanwhile); an object changed since its snapshot is written with its
  // values as they are now.
  auto write_group = [&](std::size_t g) {
    GroupResult& result = results[g];
    try {
      const std::vector<uint32_t>& mine = groups[g];
      ReachCounter counter(*this, result.work);
      std::optional<ReadGuard<Gate>> shared;
      Bitmap live;
      // By attribute; empty while closed.
      absl::flat_hash_map<uint32_t, std::unique_ptr<BulkQueryMapAdder>> writers;
      bool reserved = false;
      auto close = [&] {
        writers.clear();
        shared.reset();
      };
      auto open = [&] {
        shared.emplace(gate.read());
        live = adding_.read()->intersected(batch_ids);
        // Opened in ascending attribute order (`mine` is sorted), so that any
        // two writers of the same maps take the maps' locks in one order.
        for (uint32_t attr : mine) {
          auto& writer = writers[attr];
          writer = std::make_unique<BulkQueryMapAdder>(map_of(attr), counter);
          // The batch's element ids, taken at once per attribute: the
          // containers then get ascending runs of ids, which the cells
          // append fastest.
          auto it = element_counts.find(attr);
          if (!reserved && it != element_counts.end()) {
            writer->reserve_element_ids(it->second);
          }
        }
        reserved = true;
      };
      for (const ObjectSnapshot* snap : current) {
        Indexable& rec = record_of(snap->item.get());
        auto write = [&](const ObjectGuard& guard) {
          if (!live.contains(rec.id())) return;
          // The values as they are now: an attribute assigned since the
          // snapshot is written with its new value (an assignment from now on
          // updates this engine itself). An attribute no group writes
          // (assigned since the batch was prepared), or a container the
          // snapshot did not walk: the object is added again on its own.
          // Only this group's values are read: each is a load from an
          // object of its own, which a large batch rarely finds in cache.
          bool unowned = false;
          BulkQueryMapAdder* writer = nullptr;
          const bool complete = snap->for_each_now(
              guard,
              [&](uint32_t, const PyValue& value, Elements elements) {
                writer->add(rec.id(), value, elements);
              },
              [&](uint32_t attr) {
                auto it = writers.find(attr);
                if (it != writers.end()) {
                  writer = it->second.get();
                  return true;
                }
                if (!owner.contains(attr)) unowned = true;
                return false;
              });
          if (g == 0 && (!complete || unowned)) result.stale.push_back(snap->item);
        };
        if (writers.empty()) open();
        if (auto guard = rec.try_lock()) {
          write(*guard);
          continue;
        }
        close();
        auto guard = rec.lock();
        open();
        write(guard);
      }
      close();
    } catch (...) {
      result.failure = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  std::vector<std::size_t> here;
  if (!groups.empty()) here.push_back(0);
  for (std::size_t g = 1; g < groups.size(); ++g) {
    try {
      threads.emplace_back(write_group, g);
    } catch (const std::system_error&) {
      // No thread to be had: the group is written here.
      here.push_back(g);
    }
  }
  for (std::size_t g : here) write_group(g);
  for (std::thread& t : threads) t.join();
  absl::flat_hash_set<uint32_t> seen_stale;
  for (const StoredItem& item : stale) seen_stale.insert(record_of(item.get()).id());
  for (GroupResult& result : results) {
    if (result.failure) std::rethrow_exception(result.failure);
    work.merge(std::move(result.work));
    for (StoredItem& item : result.stale) {
      if (seen_stale.insert(record_of(item.get()).id()).second) stale.push_back(std::move(item));
    }
  }
  return stale;
}

}  // namespace quorvane
