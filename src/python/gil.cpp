#include "python/gil.h"

#include <pthread.h>

#include <vector>

#include "util/lock.h"

namespace quorvane {
namespace {

// Read on every entry into the module: the initial-exec model makes that one
// load instead of a call into the dynamic loader (four bytes of static TLS).
[[gnu::tls_model("initial-exec")]] thread_local int GIL_COUNT = 0;
// Above zero while this thread defers its releases (see DeferredReleases).
[[gnu::tls_model("initial-exec")]] thread_local int RELEASES_DEFERRED = 0;

// References released by threads that did not hold the GIL. Created by the
// first deferred release and never destroyed (it may be used during shutdown).
Mutex<std::vector<PyObject*>>* PENDING_RELEASES = nullptr;
// Whether the queue may hold anything: checked without the queue's mutex, so
// that entering the module costs one load while nothing is queued.
std::atomic<bool> PENDING_NONEMPTY{false};
std::once_flag PENDING_ONCE;

// Threads between a GilRelease and the end of their native work. Raised with
// the GIL; lowered once the work is done, before the GIL is taken back.
std::atomic<uint32_t> WORKING_WITHOUT_GIL{0};

Mutex<std::vector<PyObject*>>& pending() {
  std::call_once(PENDING_ONCE, [] {
    PENDING_RELEASES = new Mutex<std::vector<PyObject*>>(LEAF);
    // Held across fork() by the forking thread, so that the child does not
    // inherit it locked by a thread it does not have.
    pthread_atfork([] { PENDING_RELEASES->hold_for_fork(); },
                   [] { PENDING_RELEASES->release_after_fork(); },
                   [] { PENDING_RELEASES->release_after_fork(); });
  });
  return *PENDING_RELEASES;
}

// A thread holding the GIL lets go of it while it waits for a busy native
// lock, so a holder of that lock that waits for the GIL can finish.
bool wait_releasing_gil(WaitFn wait, void* ctx) {
  if (GIL_COUNT <= 0) {
    wait(ctx, false);
    return false;
  }
  PyThreadState* state = PyEval_SaveThread();
  wait(ctx, true);
  PyEval_RestoreThread(state);
  return true;
}

}  // namespace

bool holds_gil() noexcept {
  return GIL_COUNT > 0;
}

bool threads_work_without_gil() noexcept {
  return WORKING_WITHOUT_GIL.load(std::memory_order_acquire) > 0;
}

void release_ref(PyObject* obj) noexcept {
  // Its own fast path: a chain of objects released one inside another
  // nests this call once per level, so it keeps its frame small.
  if (GIL_COUNT > 0 && RELEASES_DEFERRED == 0) {
    Py_DECREF(obj);
    return;
  }
  release_refs(std::span<PyObject* const>(&obj, 1));
}

void release_refs(std::span<PyObject* const> objs) noexcept {
  if (objs.empty()) return;
  if (GIL_COUNT > 0 && RELEASES_DEFERRED == 0) {
    for (PyObject* obj : objs) Py_DECREF(obj);
    return;
  }
  // A leaf lock: only ever held for an append or a swap.
  try {
    auto queue = pending().lock();
    queue->insert(queue->end(), objs.begin(), objs.end());
    PENDING_NONEMPTY.store(true, std::memory_order_release);
  } catch (const std::exception&) {
    // No memory to queue them, or a poisoned queue: without the GIL the
    // references can only be kept, which leaks the objects rather than
    // ending the process.
  }
}

void drain_pending_releases() {
  if (RELEASES_DEFERRED > 0 || !PENDING_NONEMPTY.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  try {
    auto guard = PENDING_RELEASES->lock();  // a leaf lock: never waits for the GIL
    PENDING_NONEMPTY.store(false, std::memory_order_relaxed);
    if (guard->empty()) return;
    batch.swap(*guard);
  } catch (const Panic&) {
    return;  // poisoned: the queued references stay
  }
  for (PyObject* obj : batch) Py_DECREF(obj);
}

void install_gil_aware_waiting() noexcept {
  set_wait_hook(&wait_releasing_gil);
}

EntryScope::EntryScope() {
  ++GIL_COUNT;
  drain_pending_releases();
}
EntryScope::~EntryScope() {
  --GIL_COUNT;
}

DeferredReleases::DeferredReleases() noexcept {
  ++RELEASES_DEFERRED;
}
DeferredReleases::~DeferredReleases() {
  --RELEASES_DEFERRED;
}

// Lets go of the GIL for native work, keeping the thread's nesting count
// aside; take_gil_back undoes it (and may end the thread at interpreter exit).
static PyThreadState* let_go_of_gil(int& saved_count) noexcept {
  saved_count = GIL_COUNT;
  GIL_COUNT = 0;
  WORKING_WITHOUT_GIL.fetch_add(1, std::memory_order_acq_rel);
  return PyEval_SaveThread();
}
static void take_gil_back(PyThreadState* state, int saved_count) {
  WORKING_WITHOUT_GIL.fetch_sub(1, std::memory_order_acq_rel);
  PyEval_RestoreThread(state);
  GIL_COUNT = saved_count;
}

GilRelease::GilRelease(bool drain_on_return) noexcept
    : drain_(drain_on_return), state_(let_go_of_gil(saved_count_)) {}
GilRelease::~GilRelease() noexcept(false) {
  take_gil_back(state_, saved_count_);
  if (drain_) drain_pending_releases();
}

GilReleaseWhenLong::GilReleaseWhenLong() noexcept : outer_(LONG_WORK_WATCH) {
  if (GIL_COUNT <= 0) return;  // already without the GIL
  watch_ = {std::chrono::steady_clock::now() + PATIENCE, &GilReleaseWhenLong::let_go, this,
            CHECKS_PER_CLOCK_READ};
  LONG_WORK_WATCH = &watch_;
  watching_ = true;
}

void GilReleaseWhenLong::let_go(void* owner) {
  auto& self = *static_cast<GilReleaseWhenLong*>(owner);
  self.state_ = let_go_of_gil(self.saved_count_);
}

GilReleaseWhenLong::~GilReleaseWhenLong() noexcept(false) {
  if (!watching_) return;
  LONG_WORK_WATCH = outer_;
  if (state_ != nullptr) take_gil_back(state_, saved_count_);
}

}  // namespace quorvane
