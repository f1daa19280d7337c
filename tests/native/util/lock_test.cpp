#include "util/lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace quorvane {
namespace {

TEST(Lock, WriteGuardUnwoundByFailurePoisonsForGood) {
  RwLock<int> lock(1);
  EXPECT_THROW(
      {
        auto guard = lock.write();
        *guard = 2;
        throw Panic("boom");
      },
      Panic);
  EXPECT_TRUE(lock.is_poisoned());
  EXPECT_THROW(lock.read(), Panic);
  try {
    lock.write("custom text");
    FAIL();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "custom text");
  }
}

TEST(Lock, ReadGuardUnwoundDoesNotPoison) {
  RwLock<int> lock(1);
  EXPECT_THROW(
      {
        auto guard = lock.read();
        throw std::runtime_error("x");
      },
      std::runtime_error);
  EXPECT_FALSE(lock.is_poisoned());
  EXPECT_EQ(*lock.read(), 1);
}

TEST(Lock, QuietGuardUnwoundDoesNotPoisonButStillExcludes) {
  Mutex<int, WordMutex> mutex(0);
  EXPECT_THROW(
      {
        auto guard = mutex.lock_quiet();
        *guard = 1;
        EXPECT_FALSE(mutex.try_lock().has_value());  // held like any other guard
        throw std::runtime_error("x");
      },
      std::runtime_error);
  EXPECT_FALSE(mutex.is_poisoned());
  EXPECT_EQ(*mutex.lock(), 1);
  // A poisoned mutex refuses quiet guards too.
  EXPECT_THROW(
      {
        auto guard = mutex.lock();
        throw Panic("x");
      },
      Panic);
  EXPECT_THROW(mutex.lock_quiet(), Panic);
}

TEST(Lock, GuardTakenDuringUnwindingDoesNotPoison) {
  Mutex<int> mutex(0);
  struct Cleanup {
    Mutex<int>* m;
    ~Cleanup() { *m->lock() += 1; }
  };
  EXPECT_THROW(
      {
        Cleanup c{&mutex};
        throw Panic("x");
      },
      Panic);
  EXPECT_FALSE(mutex.is_poisoned());
  EXPECT_EQ(*mutex.lock(), 1);
}

TEST(Lock, MutexSerialisesWriters) {
  Mutex<long> counter(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) *counter.lock() += 1;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(*counter.lock(), 80000);
}

// The word mutex under contention (waiters sleeping and being woken) and its
// poison mark, as the object lock uses them.
TEST(Lock, WordMutexSerialisesWritersAndPoisons) {
  Mutex<long, WordMutex> counter(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        auto guard = counter.lock();
        long seen = *guard;
        if (i % 64 == 0) std::this_thread::yield();  // hold it long enough for waiters to sleep
        *guard = seen + 1;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(*counter.lock(), 160000);
  EXPECT_TRUE(counter.try_lock().has_value());
  {
    auto held = counter.lock();
    EXPECT_FALSE(counter.try_lock().has_value());
  }
  EXPECT_THROW(
      {
        auto guard = counter.lock();
        throw Panic("x");
      },
      Panic);
  EXPECT_TRUE(counter.is_poisoned());
  EXPECT_THROW(counter.lock(), Panic);
  EXPECT_LE(sizeof(Mutex<void*, WordMutex>), 16u);
}

// The reader/writer word under contention: writers exclude readers and one
// another (a reader never sees a half-written pair), readers share it, and
// sleepers of both kinds are woken when it comes free.
TEST(Lock, RwLockExcludesWritersFromReadersAndWakesSleepers) {
  RwLock<std::pair<long, long>> pair(std::pair<long, long>{0, 0});
  std::atomic<bool> torn{false};
  std::atomic<int> readers_inside{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        auto guard = pair.write();
        if (readers_inside.load() != 0) torn = true;
        guard->first += 1;
        if (i % 64 == 0) std::this_thread::yield();  // long enough for others to sleep
        guard->second += 1;
      }
    });
  }
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        auto guard = pair.read();
        readers_inside.fetch_add(1);
        if (guard->first != guard->second) torn = true;
        if (i % 64 == 0) std::this_thread::yield();
        readers_inside.fetch_sub(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn.load());
  EXPECT_EQ(pair.read()->first, 80000);
  EXPECT_EQ(pair.read()->second, 80000);
  {
    auto first = pair.read();
    auto second = pair.read();  // readers share the lock
    EXPECT_EQ(first->first, second->first);
  }
  EXPECT_LE(sizeof(RwLock<void*>), 16u);
}

TEST(Lock, BusyLocksAreWaitedForThroughTheHook) {
  static std::atomic<int> hook_calls{0};
  set_wait_hook([](WaitFn wait, void* ctx) {
    hook_calls.fetch_add(1);
    wait(ctx, false);
    return false;
  });
  RwLock<int> lock(0);
  std::atomic<bool> held{false};
  std::thread holder([&] {
    auto guard = lock.write();
    held = true;
    // Release only once the other thread is waiting through the hook.
    while (hook_calls.load() == 0) std::this_thread::yield();
    *guard = 7;
  });
  while (!held) std::this_thread::yield();
  int seen = *lock.read();
  holder.join();
  EXPECT_EQ(seen, 7);
  EXPECT_EQ(hook_calls.load(), 1);
  // An uncontended acquisition does not call the hook.
  *lock.write() = 8;
  EXPECT_EQ(hook_calls.load(), 1);
  set_wait_hook(nullptr);
}

// A leaf mutex is waited for by blocking, never through the hook (its holder
// waits for nothing), and a try-read never waits at all.
TEST(Lock, LeafMutexBlocksWithoutTheHookAndTryReadNeverWaits) {
  static std::atomic<int> hook_calls{0};
  set_wait_hook([](WaitFn wait, void* ctx) {
    hook_calls.fetch_add(1);
    wait(ctx, false);
    return false;
  });
  Mutex<int> leaf(LEAF, 0);
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    auto guard = leaf.lock();
    held = true;
    while (!release) std::this_thread::yield();
    *guard = 7;
  });
  while (!held) std::this_thread::yield();
  std::thread waiter([&] { EXPECT_EQ(*leaf.lock(), 7); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  release = true;
  holder.join();
  waiter.join();
  EXPECT_EQ(hook_calls.load(), 0);

  RwLock<int> rw(1);
  {
    auto writing = rw.write();
    EXPECT_FALSE(rw.try_read().has_value());
  }
  auto reading = rw.try_read();
  ASSERT_TRUE(reading.has_value());
  EXPECT_EQ(**reading, 1);
  EXPECT_EQ(hook_calls.load(), 0);
  set_wait_hook(nullptr);
}

// A hook that stands for one that lets go of the interpreter lock: while it
// "takes it back" (after the wait), the lock must not be held by this thread,
// and the acquisition still ends with the lock held.
TEST(Lock, WaitersReleasingTheInterpreterLockDoNotKeepTheLockMeanwhile) {
  static Mutex<int>* watched = nullptr;
  static std::atomic<int> held_while_retaking{0};
  static std::atomic<int> hook_calls{0};
  Mutex<int> mutex(0);
  watched = &mutex;
  set_wait_hook([](WaitFn wait, void* ctx) {
    hook_calls.fetch_add(1);
    wait(ctx, true);
    // "Retaking the interpreter lock": the mutex must be free here.
    if (!watched->try_lock()) held_while_retaking.fetch_add(1);
    return true;
  });
  std::atomic<bool> held{false};
  std::thread holder([&] {
    auto guard = mutex.lock();
    held = true;
    while (hook_calls.load() == 0) std::this_thread::yield();
    *guard = 5;
  });
  while (!held) std::this_thread::yield();
  {
    auto guard = mutex.lock();
    EXPECT_EQ(*guard, 5);
    *guard = 6;
  }
  holder.join();
  set_wait_hook(nullptr);
  EXPECT_EQ(held_while_retaking.load(), 0);
  EXPECT_GE(hook_calls.load(), 1);
  EXPECT_EQ(*mutex.lock(), 6);
}

TEST(Lock, MovedGuardReleasesOnce) {
  Mutex<int> mutex(0);
  {
    auto a = mutex.lock();
    auto b = std::move(a);
    EXPECT_FALSE(a.owns_lock());
    EXPECT_TRUE(b.owns_lock());
  }
  auto again = mutex.lock();
  EXPECT_TRUE(again.owns_lock());
}

}  // namespace
}  // namespace quorvane
