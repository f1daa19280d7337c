// The interpreter lock (GIL) as native code sees it.
//
// Each thread keeps a nesting counter: above zero while the thread is inside
// the module holding the GIL. It is set aside while the GIL is released, so
// "counter > 0" is how native code knows it may touch Python objects.
//
// References dropped without the GIL are queued (see release_ref) and
// released at the next entry into the module, or when a thread takes the GIL
// back through GilRelease or GilAcquire.
#pragma once

#include "python/errors.h"

namespace quorvane {

// Whether this thread holds the GIL inside the module.
bool holds_gil() noexcept;

// Releases every queued reference; needs the GIL.
void drain_pending_releases() noexcept;

// Installs the lock wait hook that releases the GIL while a thread holding it
// waits for a busy native lock. Called once by module init.
void install_gil_aware_waiting() noexcept;

// Marks one entry into the module from Python (the GIL is held): increments
// the counter and drains the queued releases; decrements on exit.
class EntryScope {
 public:
  EntryScope() noexcept;
  ~EntryScope();
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
};

// Releases the GIL for native work and takes it back on destruction, then
// (unless told not to, for a caller that still holds a native lock) releases
// the references queued meanwhile. Requires the GIL. While released, only
// GilAcquire may touch Python.
class GilRelease {
 public:
  explicit GilRelease(bool drain_on_return = true) noexcept;
  ~GilRelease();
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  int saved_count_;
  bool drain_;
  PyThreadState* state_;
};

// Takes the GIL for a short Python step from native code; a no-op when this
// thread already holds it. Re-entrant. Never used while a native lock is
// held: it releases queued references, which runs finalizers.
class GilAcquire {
 public:
  GilAcquire() noexcept;
  ~GilAcquire();
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  bool acquired_;
  PyGILState_STATE state_;
};

// Runs `fn` with the GIL released (when held) and returns its result.
template <class F>
decltype(auto) without_gil(F&& fn) {
  GilRelease release;
  return fn();
}

// Calls `fn()` inside an entry scope, converting every failure into the raised
// Python exception; returns `error_value` on failure. Every function, method
// and slot of the module is such a trampoline.
template <class R, class F>
R guarded_call(R error_value, F&& fn) noexcept {
  EntryScope entry;
  try {
    return fn();
  } catch (...) {
    raise_current_exception();
    return error_value;
  }
}

// The common case: `fn` returns a PyRef whose reference is handed to Python.
template <class F>
PyObject* guarded(F&& fn) noexcept {
  return guarded_call<PyObject*>(nullptr, [&]() -> PyObject* { return fn().release(); });
}

}  // namespace quorvane
