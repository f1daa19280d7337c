// The lock family: a mutex and a reader/writer lock, each guarding its data
// and carrying a poison mark.
//
// Poisoning: a write guard (every mutex guard is one) that is destroyed while
// an exception unwinds through the thread that took it marks its lock
// poisoned, unless the thread was already unwinding when it took the lock.
// A poisoned lock stays poisoned: every later acquisition throws `Panic`.
//
// Waiting: an acquisition first tries the lock. Only when it is busy does the
// thread wait, through the process-wide wait hook. The Python layer installs
// a hook that releases the interpreter lock for the wait when the thread
// holds it, so a thread holding the interpreter lock never blocks on a native
// lock whose holder may be waiting for the interpreter lock. A thread that
// let go of the interpreter lock for the wait does not keep the lock while it
// takes the interpreter lock back: it waits until the lock is free, lets go
// of it, and tries again with the interpreter lock held. So no acquisition
// ever holds a lock while it waits for the interpreter lock (which is what
// lets a fork handler block on a process-wide lock with the interpreter lock
// held).
//
// Leaf locks: a mutex made with `LEAF` is never held while its holder waits
// for anything else (the interpreter lock included), so a thread that wants
// it simply blocks, keeping the interpreter lock if it has it. Functions that
// must not throw (destructors, releases of references) take only leaf locks.
//
// Guards are move-only; functions that need a lock held take its guard.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

#include "util/panic.h"

namespace quorvane {

inline constexpr const char* POISONED_LOCK =
    "poisoned lock: another operation failed while holding it";

// Runs `wait(ctx, gil_released)`, a blocking wait for a busy lock, and
// returns `gil_released`: whether the interpreter lock was released for the
// wait (and is held again on return). The default runs it directly (false).
using WaitFn = void (*)(void* ctx, bool gil_released);
using WaitHook = bool (*)(WaitFn wait, void* ctx);
void set_wait_hook(WaitHook hook) noexcept;
bool run_blocking_wait(WaitFn wait, void* ctx);

namespace detail {

// Acquires a lock that `try_acquire` found busy: `acquire` blocks until the
// lock is this thread's, `release` lets go of it. Returns once it is held.
template <class Try, class Acquire, class Release>
void acquire_busy(Try&& try_acquire, Acquire&& acquire, Release&& release) {
  struct Ctx {
    Acquire& acquire;
    Release& release;
  } ctx{acquire, release};
  for (;;) {
    const bool gil_released = run_blocking_wait(
        [](void* raw, bool gil_released) {
          auto* c = static_cast<Ctx*>(raw);
          c->acquire();
          // Not kept while the interpreter lock is taken back.
          if (gil_released) c->release();
        },
        &ctx);
    if (!gil_released || try_acquire()) return;
  }
}

// Shared poison bookkeeping of both lock kinds.
class PoisonFlag {
 public:
  bool is_poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }
  void poison() noexcept { poisoned_.store(true, std::memory_order_release); }

 private:
  std::atomic<bool> poisoned_{false};
};

// Releases a lock on destruction; a poisoning guard poisons it when destroyed
// by unwinding.
template <class Lock, bool kExclusive, bool kPoisons = kExclusive>
class GuardBase {
 public:
  GuardBase() = default;
  // Only a poisoning guard needs the unwinding count (a reader changes
  // nothing, so it never poisons): others cost no query of the exception
  // state.
  GuardBase(Lock* lock) noexcept
      : lock_(lock), unwinding_at_entry_(kPoisons ? std::uncaught_exceptions() : 0) {}
  GuardBase(GuardBase&& other) noexcept
      : lock_(std::exchange(other.lock_, nullptr)),
        unwinding_at_entry_(other.unwinding_at_entry_) {}
  GuardBase& operator=(GuardBase&& other) noexcept {
    if (this != &other) {
      unlock();
      lock_ = std::exchange(other.lock_, nullptr);
      unwinding_at_entry_ = other.unwinding_at_entry_;
    }
    return *this;
  }
  GuardBase(const GuardBase&) = delete;
  GuardBase& operator=(const GuardBase&) = delete;
  ~GuardBase() { unlock(); }

  // Releases the lock early; the guard is empty afterwards.
  void unlock() noexcept {
    if (lock_ == nullptr) return;
    if constexpr (kPoisons) {
      if (std::uncaught_exceptions() > unwinding_at_entry_) lock_->poison_flag().poison();
    }
    lock_->raw_unlock(kExclusive);
    lock_ = nullptr;
  }
  bool owns_lock() const noexcept { return lock_ != nullptr; }

 protected:
  Lock* lock_ = nullptr;
  int unwinding_at_entry_ = 0;
};

}  // namespace detail

// A mutex in one 32-bit word, for locks there are millions of (one per
// object): 0 free, 1 held, 2 held with waiters. Waiters sleep on the word
// (a futex on Linux) instead of spinning.
class WordMutex {
 public:
  bool try_lock() noexcept {
    uint32_t expected = 0;
    return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void lock() noexcept {
    if (try_lock()) return;
    // Marks the lock contended before sleeping, so the holder wakes a waiter.
    while (state_.exchange(2, std::memory_order_acquire) != 0) state_.wait(2);
  }
  void unlock() noexcept {
    if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
  }

 private:
  std::atomic<uint32_t> state_{0};
};

// A reader/writer lock in one 32-bit word: the number of readers, or
// WRITER while a writer holds it, and WAITING while a thread sleeps on the
// word. Readers enter whenever no writer holds the lock (as glibc's default
// reader/writer lock lets them), so a reader never waits for a writer that
// is itself waiting. Each uncontended path is one atomic operation.
class WordRwLock {
 public:
  bool try_lock_shared() noexcept {
    uint32_t seen = state_.load(std::memory_order_relaxed);
    while ((seen & WRITER) == 0) {
      if (state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }
  void lock_shared() noexcept {
    for (;;) {
      uint32_t seen = state_.load(std::memory_order_relaxed);
      if ((seen & WRITER) == 0) {
        if (state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
          return;
        }
        continue;
      }
      sleep_while(seen);
    }
  }
  void unlock_shared() noexcept {
    const uint32_t now = state_.fetch_sub(1, std::memory_order_release) - 1;
    if (now == WAITING) wake(now);  // the last reader left a sleeper behind
  }
  bool try_lock() noexcept {
    uint32_t seen = state_.load(std::memory_order_relaxed);
    // Free, perhaps with sleepers, whom the writer wakes when it leaves.
    return (seen & ~WAITING) == 0 &&
           state_.compare_exchange_strong(seen, seen | WRITER, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void lock() noexcept {
    for (;;) {
      uint32_t seen = state_.load(std::memory_order_relaxed);
      if ((seen & ~WAITING) == 0) {
        if (state_.compare_exchange_weak(seen, seen | WRITER, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
          return;
        }
        continue;
      }
      sleep_while(seen);
    }
  }
  void unlock() noexcept {
    if (state_.exchange(0, std::memory_order_release) & WAITING) state_.notify_all();
  }

 private:
  static constexpr uint32_t WRITER = 1u << 31;
  static constexpr uint32_t WAITING = 1u << 30;

  // Marks the word and sleeps until it changes and someone wakes the sleepers.
  void sleep_while(uint32_t seen) noexcept {
    if ((seen & WAITING) == 0 &&
        !state_.compare_exchange_weak(seen, seen | WAITING, std::memory_order_relaxed)) {
      return;  // changed meanwhile: look again
    }
    state_.wait(seen | WAITING, std::memory_order_relaxed);
  }
  // Clears the mark of a free lock and wakes its sleepers; if the lock was
  // taken meanwhile, its holder wakes them when it leaves.
  void wake(uint32_t seen) noexcept {
    if (state_.compare_exchange_strong(seen, 0, std::memory_order_relaxed)) state_.notify_all();
  }

  std::atomic<uint32_t> state_{0};
};

template <class T, class Raw = std::mutex>
class Mutex;
template <class T>
class RwLock;

// Tag of a leaf mutex's constructor (see the top of this file).
struct LeafLock {};
inline constexpr LeafLock LEAF{};

// Exclusive access to the data of a `Mutex`.
template <class T, class Raw = std::mutex, bool kPoisons = true>
class MutexGuard : public detail::GuardBase<Mutex<T, Raw>, true, kPoisons> {
 public:
  using detail::GuardBase<Mutex<T, Raw>, true, kPoisons>::GuardBase;
  T& operator*() const noexcept { return this->lock_->data_; }
  T* operator->() const noexcept { return &this->lock_->data_; }
};
// Exclusive access that never poisons the `Mutex` (see Mutex::lock_quiet).
template <class T, class Raw = std::mutex>
using QuietMutexGuard = MutexGuard<T, Raw, false>;

// Shared (read) access to the data of an `RwLock`.
template <class T>
class ReadGuard : public detail::GuardBase<RwLock<T>, false> {
 public:
  using detail::GuardBase<RwLock<T>, false>::GuardBase;
  const T& operator*() const noexcept { return this->lock_->data_; }
  const T* operator->() const noexcept { return &this->lock_->data_; }
};

// Exclusive (write) access to the data of an `RwLock`.
template <class T>
class WriteGuard : public detail::GuardBase<RwLock<T>, true> {
 public:
  using detail::GuardBase<RwLock<T>, true>::GuardBase;
  T& operator*() const noexcept { return this->lock_->data_; }
  T* operator->() const noexcept { return &this->lock_->data_; }
};

// A mutex around a `T`. `lock` throws `Panic(poisoned_message)` when poisoned.
// `Raw` is the lock itself: std::mutex, or WordMutex where size matters.
template <class T, class Raw>
class Mutex {
 public:
  template <class... Args>
  explicit Mutex(Args&&... args) : data_(std::forward<Args>(args)...) {}
  template <class... Args>
  explicit Mutex(LeafLock, Args&&... args) : leaf_(true), data_(std::forward<Args>(args)...) {}

  MutexGuard<T, Raw> lock(const char* poisoned_message = POISONED_LOCK) {
    acquire();
    return checked<MutexGuard<T, Raw>>(poisoned_message);
  }
  // As lock, for a section that leaves the data whole whatever it throws:
  // its guard does not poison, so it queries no unwinding state.
  QuietMutexGuard<T, Raw> lock_quiet(const char* poisoned_message = POISONED_LOCK) {
    acquire();
    return checked<QuietMutexGuard<T, Raw>>(poisoned_message);
  }
  // The lock if it is free now; an empty optional if it is busy.
  std::optional<MutexGuard<T, Raw>> try_lock(const char* poisoned_message = POISONED_LOCK) {
    if (!mutex_.try_lock()) return std::nullopt;
    return checked<MutexGuard<T, Raw>>(poisoned_message);
  }
  // The lock by a quiet guard (see lock_quiet) if it is free now and not
  // poisoned; an empty optional otherwise (never throws).
  std::optional<QuietMutexGuard<T, Raw>> try_lock_quiet() noexcept {
    if (!mutex_.try_lock()) return std::nullopt;
    if (poison_.is_poisoned()) {
      mutex_.unlock();
      return std::nullopt;
    }
    return QuietMutexGuard<T, Raw>(this);
  }
  bool is_poisoned() const noexcept { return poison_.is_poisoned(); }

  // Access without locking, for a value not yet shared with other threads.
  T& unshared() noexcept { return data_; }

  // For fork handlers of process-wide mutexes: held across fork() by the
  // forking thread, then released in both processes, so that the child does
  // not inherit the mutex locked by a thread it does not have. Blocks
  // without the wait hook (the forking thread keeps the GIL throughout).
  void hold_for_fork() noexcept { mutex_.lock(); }
  void release_after_fork() noexcept { mutex_.unlock(); }

 private:
  friend class MutexGuard<T, Raw, true>;
  friend class MutexGuard<T, Raw, false>;
  friend class detail::GuardBase<Mutex<T, Raw>, true, true>;
  friend class detail::GuardBase<Mutex<T, Raw>, true, false>;
  detail::PoisonFlag& poison_flag() noexcept { return poison_; }
  void raw_unlock(bool) noexcept { mutex_.unlock(); }
  void acquire() {
    if (mutex_.try_lock()) return;
    if (leaf_) {
      mutex_.lock();
    } else {
      detail::acquire_busy([this] { return mutex_.try_lock(); }, [this] { mutex_.lock(); },
                           [this] { mutex_.unlock(); });
    }
  }
  template <class Guard>
  Guard checked(const char* poisoned_message) {
    if (poison_.is_poisoned()) {
      mutex_.unlock();
      throw Panic(poisoned_message);
    }
    return Guard(this);
  }

  Raw mutex_;
  detail::PoisonFlag poison_;
  bool leaf_ = false;
  T data_;
};

// A reader/writer lock around a `T`. Acquisitions throw
// `Panic(poisoned_message)` when the lock is poisoned.
template <class T>
class RwLock {
 public:
  template <class... Args>
  explicit RwLock(Args&&... args) : data_(std::forward<Args>(args)...) {}

  // Shared access; a const lock can be read.
  ReadGuard<T> read(const char* poisoned_message = POISONED_LOCK) const {
    auto* self = const_cast<RwLock*>(this);
    if (!self->mutex_.try_lock_shared()) {
      detail::acquire_busy([self] { return self->mutex_.try_lock_shared(); },
                           [self] { self->mutex_.lock_shared(); },
                           [self] { self->mutex_.unlock_shared(); });
    }
    if (poison_.is_poisoned()) {
      self->mutex_.unlock_shared();
      throw Panic(poisoned_message);
    }
    return ReadGuard<T>(self);
  }
  // Shared access if no writer holds the lock now; never waits.
  std::optional<ReadGuard<T>> try_read() const {
    auto* self = const_cast<RwLock*>(this);
    if (!self->mutex_.try_lock_shared()) return std::nullopt;
    if (poison_.is_poisoned()) {
      self->mutex_.unlock_shared();
      return std::nullopt;
    }
    return ReadGuard<T>(self);
  }
  WriteGuard<T> write(const char* poisoned_message = POISONED_LOCK) {
    if (!mutex_.try_lock()) {
      detail::acquire_busy([this] { return mutex_.try_lock(); }, [this] { mutex_.lock(); },
                           [this] { mutex_.unlock(); });
    }
    if (poison_.is_poisoned()) {
      mutex_.unlock();
      throw Panic(poisoned_message);
    }
    return WriteGuard<T>(this);
  }
  bool is_poisoned() const noexcept { return poison_.is_poisoned(); }

  // Access without locking, for a value not yet shared with other threads.
  T& unshared() noexcept { return data_; }

 private:
  friend class ReadGuard<T>;
  friend class WriteGuard<T>;
  friend class detail::GuardBase<RwLock<T>, false>;
  friend class detail::GuardBase<RwLock<T>, true>;
  detail::PoisonFlag& poison_flag() noexcept { return poison_; }
  void raw_unlock(bool exclusive) noexcept {
    if (exclusive) {
      mutex_.unlock();
    } else {
      mutex_.unlock_shared();
    }
  }

  WordRwLock mutex_;
  detail::PoisonFlag poison_;
  T data_;
};

}  // namespace quorvane
