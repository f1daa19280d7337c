#include "index/core/change_clock.h"

#include <algorithm>

#include "util/lock.h"

namespace quorvane {
namespace {

// Changes this thread holds, of any clock.
[[gnu::tls_model("initial-exec")]] thread_local uint32_t CHANGES_HELD = 0;

// Blocks until `word` is 0, through the lock family's wait hook (which lets
// go of the GIL for the wait).
void wait_for_zero(std::atomic<uint32_t>& word) {
  while (word.load(std::memory_order_seq_cst) != 0) {
    run_blocking_wait(
        [](void* raw, bool) {
          auto* w = static_cast<std::atomic<uint32_t>*>(raw);
          for (uint32_t seen; (seen = w->load(std::memory_order_seq_cst)) != 0;) w->wait(seen);
        },
        &word);
  }
}

}  // namespace

bool ChangeClock::changing_here() noexcept {
  return CHANGES_HELD > 0;
}

bool ChangeClock::try_begin() noexcept {
  if (CHANGES_HELD == 0 && readers_ask_for_quiet()) return false;
  begin();
  return true;
}

void ChangeClock::begin() noexcept {
  // A reader that asks for quiet from now on waits for this change; it only
  // asks after its optimistic tries, so it does not starve changes either.
  changing_.fetch_add(1, std::memory_order_seq_cst);
  epoch_.fetch_add(1, std::memory_order_seq_cst);
  ++CHANGES_HELD;
}

void ChangeClock::end() noexcept {
  --CHANGES_HELD;
  epoch_.fetch_add(1, std::memory_order_seq_cst);
  if (changing_.fetch_sub(1, std::memory_order_seq_cst) == 1) changing_.notify_all();
}

void ChangeClock::wait_for_quiet_readers() {
  wait_for_zero(quiet_readers_);
}

ChangeClock::Quiet::Quiet(ChangeClock& c) : clock(c) {
  clock.quiet_readers_.fetch_add(1, std::memory_order_seq_cst);
  try {
    wait_for_zero(clock.changing_);
  } catch (...) {
    if (clock.quiet_readers_.fetch_sub(1, std::memory_order_seq_cst) == 1) {
      clock.quiet_readers_.notify_all();
    }
    throw;
  }
}

ChangeClock::Quiet::~Quiet() {
  if (clock.quiet_readers_.fetch_sub(1, std::memory_order_seq_cst) == 1) {
    clock.quiet_readers_.notify_all();
  }
}

bool ChangeScope::try_begin(std::vector<std::shared_ptr<ChangeClock>> clocks) {
  end();
  std::erase(clocks, nullptr);
  std::sort(clocks.begin(), clocks.end());
  clocks.erase(std::unique(clocks.begin(), clocks.end()), clocks.end());
  // Every clock is asked before any is begun (once one is, this thread
  // holds a change and would no longer defer to the others' readers).
  if (!ChangeClock::changing_here()) {
    for (const auto& clock : clocks) {
      if (clock->readers_ask_for_quiet()) {
        refused_ = clock;
        return false;
      }
    }
  }
  for (auto& clock : clocks) {
    clock->begin();
    begun_.push_back(std::move(clock));
  }
  refused_ = nullptr;
  return true;
}

void ChangeScope::wait() {
  if (refused_ != nullptr) refused_->wait_for_quiet_readers();
  refused_ = nullptr;
}

void ChangeScope::end() noexcept {
  for (auto it = begun_.rbegin(); it != begun_.rend(); ++it) (*it)->end();
  begun_.clear();
}

}  // namespace quorvane
