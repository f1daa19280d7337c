// Checking in from native work that may run long.
//
// Whoever starts such work (the Python layer, for a query) may watch it: the
// work calls `check_long_work()` between its steps, and once it has run past
// the watch's deadline the watch's action runs, once, on the working thread.
// The Python layer lets go of the interpreter lock there: a short query keeps
// it (giving it up and taking it back would cost a handoff, up to the
// interpreter's switch interval when other threads run Python), a long one
// lets other threads run for the rest of it.
#pragma once

#include <chrono>
#include <cstdint>

namespace quorvane {

// Check-ins between two readings of the clock.
inline constexpr uint32_t CHECKS_PER_CLOCK_READ = 64;

struct LongWorkWatch {
  std::chrono::steady_clock::time_point deadline;
  void (*on_long)(void* owner);
  void* owner;
  uint32_t countdown;  // checks left before the clock is read again
};

// The watch of this thread's current work, if any (cleared once it fired).
[[gnu::tls_model("initial-exec")]] inline thread_local LongWorkWatch* LONG_WORK_WATCH = nullptr;

// Checks in: reads the clock once every few calls, so a loop may check in for
// each value it visits.
inline void check_long_work() {
  LongWorkWatch* watch = LONG_WORK_WATCH;
  if (watch == nullptr || --watch->countdown != 0) return;
  watch->countdown = CHECKS_PER_CLOCK_READ;
  if (std::chrono::steady_clock::now() < watch->deadline) return;
  LONG_WORK_WATCH = nullptr;
  watch->on_long(watch->owner);
}

}  // namespace quorvane
