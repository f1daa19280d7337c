// ChangeClock: lets a query judge every object on one state of it while
// other threads change objects.
//
// One clock serves an Index engine and its reach engine. A change that
// touches the values of objects that queries can see (an assignment, an
// object added again with its containers, a union putting an assignment
// right) runs between `begin` and `end`, with nested work included. Objects
// entering or leaving an engine need no clock: their values are written
// before they become members and taken out after they stop being members.
//
// A reader runs optimistically: it notes the clock, reads, and keeps its
// answer if no change was running and none began or ended meanwhile. After
// a few failed tries it asks for quiet: changes not yet begun wait, the
// running ones finish, and the reader reads alone. So a reader costs two
// atomic loads when nothing changes, and neither side can starve the other:
// a reader waits for at most the changes running when it asked, and a change
// waits for at most the readers asking then.
//
// Waiting. A thread waits (releasing the GIL) only while it holds no object
// lock and no change of any clock: a change waiting for a quiet reader would
// otherwise keep another reader's quiet from coming. A thread inside a change
// (its own Python code running a query, say) reads without waiting, seeing
// its own change half done.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace quorvane {

class ChangeClock {
 public:
  // Begins a change, unless a reader is asking for quiet and this thread
  // holds no change yet (false then: the caller lets go of its object lock,
  // calls `wait_for_quiet_readers`, and tries again).
  bool try_begin() noexcept;
  // Ends a change begun by `try_begin`.
  void end() noexcept;
  // Blocks until no reader asks for quiet (the GIL released meanwhile).
  void wait_for_quiet_readers();

  // Calls `read()` and returns its result, read while no change ran (see
  // above). `read` must be safe to call again.
  template <class F>
  auto read(F&& read) -> decltype(read());

  // Whether this thread holds a change of some clock.
  static bool changing_here() noexcept;

 private:
  friend class ChangeScope;
  bool readers_ask_for_quiet() const noexcept {
    return quiet_readers_.load(std::memory_order_seq_cst) != 0;
  }
  void begin() noexcept;

  static constexpr int OPTIMISTIC_TRIES = 2;
  struct Quiet {
    explicit Quiet(ChangeClock& clock);
    ~Quiet();
    ChangeClock& clock;
  };

  std::atomic<uint64_t> epoch_{0};          // +1 at every begin and every end
  std::atomic<uint32_t> changing_{0};       // changes running
  std::atomic<uint32_t> quiet_readers_{0};  // readers waiting for quiet or reading in it
};

// The changes of one operation on several clocks (the engines an object is
// a member of), begun together and ended together. Each clock once.
class ChangeScope {
 public:
  ChangeScope() = default;
  ChangeScope(const ChangeScope&) = delete;
  ChangeScope& operator=(const ChangeScope&) = delete;
  ~ChangeScope() { end(); }

  // Begins a change on every clock of `clocks` (nulls skipped), or none:
  // false (nothing begun) when one of them has readers asking for quiet; the
  // caller then lets go of its object lock and calls `wait()`. The scope
  // keeps the clocks alive (their engines may go meanwhile).
  bool try_begin(std::vector<std::shared_ptr<ChangeClock>> clocks);
  // Waits until the clock that refused has no reader asking for quiet.
  void wait();
  // Ends every change begun (also done by the destructor).
  void end() noexcept;

 private:
  std::vector<std::shared_ptr<ChangeClock>> begun_;
  std::shared_ptr<ChangeClock> refused_;
};

template <class F>
auto ChangeClock::read(F&& read) -> decltype(read()) {
  if (changing_here()) return read();
  for (int attempt = 0; attempt < OPTIMISTIC_TRIES; ++attempt) {
    const uint64_t before = epoch_.load(std::memory_order_seq_cst);
    if (changing_.load(std::memory_order_seq_cst) != 0) continue;
    auto answer = read();
    if (changing_.load(std::memory_order_seq_cst) == 0 &&
        epoch_.load(std::memory_order_seq_cst) == before) {
      return answer;
    }
  }
  Quiet quiet(*this);
  return read();
}

}  // namespace quorvane
