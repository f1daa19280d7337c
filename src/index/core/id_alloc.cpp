#include "index/core/id_alloc.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <utility>

#include "util/lock.h"
#include "util/panic.h"

namespace quorvane {
namespace {

// The next never-used id; 0 after 2^32 - 1 has been handed out. Atomic for
// lock-free readers, but advanced only while FREE_IDS is locked.
std::atomic<uint32_t> GLOBAL_ID_COUNTER{1};

Mutex<std::vector<uint32_t>, WordMutex>* make_pool();

Mutex<std::vector<uint32_t>, WordMutex>& FREE_IDS() {
  // Deliberately leaked: objects may release ids while the process exits.
  static auto* const free_ids = make_pool();
  return *free_ids;
}

Mutex<std::vector<uint32_t>, WordMutex>* make_pool() {
  // A leaf lock in one word; every section leaves the pool whole whatever it
  // throws (a push that cannot grow changes nothing), so its guards are quiet
  // and cost no query of the unwinding state.
  auto* pool = new Mutex<std::vector<uint32_t>, WordMutex>(LEAF);
  // A fork while another thread holds the pool's mutex would leave it locked
  // for good in the child (which has only the forking thread): the forking
  // thread holds it across fork() instead.
  pthread_atfork([] { FREE_IDS().hold_for_fork(); }, [] { FREE_IDS().release_after_fork(); },
                 [] { FREE_IDS().release_after_fork(); });
  return pool;
}

bool was_handed_out(uint32_t id, uint32_t next_fresh) {
  return id != 0 && (next_fresh == 0 || id < next_fresh);
}

}  // namespace

uint32_t allocate_id() {
  {
    auto free_ids = FREE_IDS().lock_quiet();
    if (!free_ids->empty()) {
      uint32_t id = free_ids->back();
      free_ids->pop_back();
      return id;
    }
    if (GLOBAL_ID_COUNTER.load() != 0) return GLOBAL_ID_COUNTER.fetch_add(1);
  }
  // Thrown after unlocking: exhaustion must not poison the pool, so releases
  // (and allocations of what they release) keep working.
  throw Panic("object ids exhausted");
}

void allocate_ids(std::span<uint32_t> out) {
  {
    auto pool = FREE_IDS().lock_quiet();
    const std::size_t reused = std::min(out.size(), pool->size());
    const std::size_t fresh = out.size() - reused;
    const uint32_t next = GLOBAL_ID_COUNTER.load();
    // Fresh ids run up to 2^32 - 1; the counter turns 0 after the last one.
    const uint64_t fresh_left = next == 0 ? 0 : (uint64_t{1} << 32) - next;
    if (fresh <= fresh_left) {
      for (std::size_t i = 0; i < reused; ++i) {
        out[i] = pool->back();
        pool->pop_back();
      }
      for (std::size_t i = 0; i < fresh; ++i) out[reused + i] = next + static_cast<uint32_t>(i);
      GLOBAL_ID_COUNTER.store(static_cast<uint32_t>(next + fresh));
      return;
    }
  }
  throw Panic("object ids exhausted");
}

void free_id(uint32_t id) {
  auto free_ids = FREE_IDS().lock_quiet();
  if (!was_handed_out(id, GLOBAL_ID_COUNTER.load())) return;
  free_ids->push_back(id);
}

void free_ids(std::span<const uint32_t> ids) {
  auto pool = FREE_IDS().lock_quiet();
  const uint32_t next = GLOBAL_ID_COUNTER.load();
  for (uint32_t id : ids) {
    if (was_handed_out(id, next)) pool->push_back(id);
  }
}

namespace detail {

IdPoolState exchange_id_pool_for_test(IdPoolState state) {
  auto free_ids = FREE_IDS().lock_quiet();
  IdPoolState previous{GLOBAL_ID_COUNTER.exchange(state.next_fresh),
                       std::exchange(*free_ids, std::move(state.free_ids))};
  return previous;
}

}  // namespace detail
}  // namespace quorvane
