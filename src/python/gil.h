// The interpreter lock (GIL) as native code sees it.
//
// Each thread keeps a nesting counter: above zero while the thread is inside
// the module holding the GIL. It is set aside while the GIL is released, so
// "counter > 0" is how native code knows it may touch Python objects.
//
// References dropped without the GIL are queued (see release_ref) and
// released at the next entry into the module, or when a thread takes the GIL
// back through GilRelease.
//
// Interpreter exit. While the interpreter finalizes, CPython 3.13 ends any
// other thread that asks for the GIL by unwinding its stack (pthread_exit).
// That unwinding must pass through the module's frames: every place that
// takes the GIL back (GilRelease's destructor, the lock wait hook) may throw
// it, no function on the way is noexcept, and the entry trampoline lets it
// through (a `catch (...)` that swallowed it would abort the process).
#pragma once

#include <cxxabi.h>

#include <chrono>
#include <cstddef>

#include "python/errors.h"
#include "util/long_work.h"

namespace quorvane {

// Whether this thread holds the GIL inside the module.
bool holds_gil() noexcept;

// Whether some thread works inside the module without the GIL (between a
// GilRelease and the end of its native work). While none does, no native
// structure changes unless a thread holding the GIL changes it, which is what
// the collector's two readings of an object's references during one
// collection need to agree.
bool threads_work_without_gil() noexcept;

// Releases every queued reference; needs the GIL. Finalizers may run (and,
// at interpreter exit, end the thread).
void drain_pending_releases();

// Installs the lock wait hook that releases the GIL while a thread holding it
// waits for a busy native lock. Called once by module init.
void install_gil_aware_waiting() noexcept;

// Marks one entry into the module from Python (the GIL is held): increments
// the counter and drains the queued releases; decrements on exit.
class EntryScope {
 public:
  EntryScope();
  ~EntryScope();
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
};

// Releases the GIL for native work and takes it back on destruction, then
// (unless told not to, for a caller that still holds a native lock) releases
// the references queued meanwhile. Requires the GIL. While released, nothing
// may touch Python. The destructor may end the thread at interpreter exit
// (see the top of this file), hence noexcept(false).
class GilRelease {
 public:
  explicit GilRelease(bool drain_on_return = true) noexcept;
  ~GilRelease() noexcept(false);
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  int saved_count_;
  bool drain_;
  PyThreadState* state_;
};

// Runs `fn` with the GIL released (when held) and returns its result.
template <class F>
decltype(auto) without_gil(F&& fn) {
  GilRelease release;
  return fn();
}

// Native work that may be long: starts with the GIL and lets go of it once
// the work has run for PATIENCE, at the next point where it checks in (see
// util/long_work.h), taking it back on destruction. Releases are deferred
// throughout, as by DeferredReleases. Nothing the work does between check-ins
// may rely on the GIL. The destructor may end the thread at interpreter exit
// (see the top of this file).
class GilReleaseWhenLong {
 public:
  // A handoff costs up to the switch interval (5 ms) when other threads run
  // Python; work that has run this long is likely to run at least as long again.
  static constexpr std::chrono::microseconds PATIENCE{500};

  GilReleaseWhenLong() noexcept;
  ~GilReleaseWhenLong() noexcept(false);
  GilReleaseWhenLong(const GilReleaseWhenLong&) = delete;
  GilReleaseWhenLong& operator=(const GilReleaseWhenLong&) = delete;

 private:
  static void let_go(void* self);

  LongWorkWatch watch_;
  LongWorkWatch* outer_;
  bool watching_ = false;
  int saved_count_ = 0;
  PyThreadState* state_ = nullptr;
};

// Queues the references released on this thread while it lives, as if the
// GIL were not held, so that no finalizer runs under the native locks of
// native work done with the GIL; the caller releases them (drain) once its
// locks are released.
class DeferredReleases {
 public:
  DeferredReleases() noexcept;
  ~DeferredReleases();
  DeferredReleases(const DeferredReleases&) = delete;
  DeferredReleases& operator=(const DeferredReleases&) = delete;
};

// Native work worth this many values (or ids) pays for giving up the GIL:
// giving it up costs a handoff, and taking it back waits for the thread that
// holds it, up to the interpreter's switch interval (5 ms) when other threads
// run Python code. Shorter work keeps it.
inline constexpr std::size_t WORTH_RELEASING_THE_GIL = 4096;

// Runs `fn` as native work: without the GIL when `long_work`, else with it
// and its releases deferred (see DeferredReleases). Either way no finalizer
// runs inside; references released meanwhile are released at the next
// drain, which the caller does once it holds no native lock.
template <class F>
decltype(auto) native_work(bool long_work, F&& fn) {
  if (long_work) {
    GilRelease release(/*drain_on_return=*/false);
    return fn();
  }
  DeferredReleases defer;
  return fn();
}

// Runs `fn`, a read that may be long when `maybe_long`: with the GIL until it
// has run long enough to pay for letting go (see GilReleaseWhenLong), with
// its releases deferred either way.
template <class F>
decltype(auto) read_work(bool maybe_long, F&& fn) {
  DeferredReleases defer;
  if (!maybe_long) return fn();
  GilReleaseWhenLong release;
  return fn();
}

// Calls `fn()` inside an entry scope, converting every failure into the raised
// Python exception; returns `error_value` on failure. Every function, method
// and slot of the module is such a trampoline. Only the unwinding that ends
// a thread at interpreter exit passes through (see the top of this file).
template <class R, class F>
R guarded_call(R error_value, F&& fn) {
  EntryScope entry;
  try {
    return fn();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_current_exception();
    return error_value;
  }
}

// The common case: `fn` returns a PyRef whose reference is handed to Python.
template <class F>
PyObject* guarded(F&& fn) {
  return guarded_call<PyObject*>(nullptr, [&]() -> PyObject* { return fn().release(); });
}

}  // namespace quorvane
