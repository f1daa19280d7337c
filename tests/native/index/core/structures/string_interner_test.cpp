#include "index/core/structures/string_interner/string_interner.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace quorvane {
namespace {

uint64_t constant_hash(std::string_view) {
  return 42;
}

TEST(StrInterner, IdsAreDenseInOrderOfFirstUse) {
  StrInterner interner;
  EXPECT_EQ(interner.size(), 0u);
  EXPECT_EQ(interner.find("a"), std::nullopt);
  EXPECT_THROW(interner.str(0), Panic);
  EXPECT_EQ(interner.intern("a"), 0u);
  EXPECT_EQ(interner.intern("b"), 1u);
  EXPECT_EQ(interner.intern("a"), 0u);
  EXPECT_EQ(interner.intern(""), 2u);
  EXPECT_EQ(interner.intern(""), 2u);
  EXPECT_EQ(interner.size(), 3u);
  EXPECT_EQ(interner.str(0), "a");
  EXPECT_EQ(interner.str(1), "b");
  EXPECT_EQ(interner.str(2), "");
  EXPECT_EQ(interner.find(""), 2u);
  EXPECT_THROW(interner.str(3), Panic);

  // The process-wide interner: one instance, the next new name gets the next id.
  EXPECT_EQ(&INTERNER(), &INTERNER());
  std::string fresh = "string_interner_test: a name nobody else uses";
  while (INTERNER().find(fresh)) fresh += '+';  // the test may run repeatedly
  std::size_t known = INTERNER().size();
  uint32_t id = INTERNER().intern(fresh);
  EXPECT_EQ(id, known);
  EXPECT_EQ(INTERNER().str(id), fresh);
  EXPECT_EQ(INTERNER().find(fresh), id);
}

TEST(StrInterner, FindNeverAdds) {
  StrInterner interner;
  EXPECT_EQ(interner.find("x"), std::nullopt);
  EXPECT_EQ(interner.find(""), std::nullopt);
  EXPECT_EQ(interner.size(), 0u);
  // The first new name still gets id 0: nothing was reserved by the lookups.
  EXPECT_EQ(interner.intern("y"), 0u);
  EXPECT_EQ(interner.find("x"), std::nullopt);
  EXPECT_EQ(interner.size(), 1u);
  EXPECT_EQ(interner.intern("x"), 1u);
  EXPECT_EQ(interner.find("x"), 1u);
}

// Random texts (prefix-sharing, empty, embedded NUL) against a std::map that
// numbers texts by first appearance, with the real hash and with one that
// puts every text of a length at the same position.
TEST(StrInterner, AgreesWithMapOracleIncludingForcedCollisions) {
  for (ByteHashFn hash : std::vector<ByteHashFn>{&hash_bytes, &constant_hash}) {
    StrInterner interner(hash);
    std::map<std::string, uint32_t> oracle;
    std::mt19937 rng(11);
    for (int i = 0; i < 3000; ++i) {
      std::string text(rng() % 5, 'a');
      for (char& c : text) c = "ab\0c"[rng() % 4];
      auto found = interner.find(text);
      auto [it, fresh] = oracle.try_emplace(text, static_cast<uint32_t>(oracle.size()));
      if (fresh) {
        ASSERT_EQ(found, std::nullopt) << "text of length " << text.size();
      } else {
        ASSERT_EQ(found, it->second) << "text of length " << text.size();
      }
      ASSERT_EQ(interner.intern(text), it->second) << "text of length " << text.size();
    }
    ASSERT_EQ(interner.size(), oracle.size());
    for (const auto& [text, id] : oracle) {
      EXPECT_EQ(interner.find(text), id);
      EXPECT_EQ(interner.str(id), text);
    }
    EXPECT_EQ(interner.find("abcab"), std::nullopt);  // longer than any generated text
  }
}

// Enough names for the table to be rebuilt many times and for the texts to
// fill many chunks, including texts that get a chunk of their own.
TEST(StrInterner, HundredThousandNames) {
  constexpr uint32_t kNames = 100000;
  auto name = [](uint32_t i) {
    std::string text = "attribute_" + std::to_string(i);
    if (i % 997 == 0) text.append(20000 + i % 7, 'z');
    return text;
  };
  StrInterner interner;
  for (uint32_t i = 0; i < kNames; ++i) ASSERT_EQ(interner.intern(name(i)), i);
  ASSERT_EQ(interner.size(), kNames);
  for (uint32_t i = 0; i < kNames; ++i) {
    std::string text = name(i);
    ASSERT_EQ(interner.find(text), i);
    ASSERT_EQ(interner.intern(text), i);
    ASSERT_EQ(interner.str(i), text);
  }
  for (uint32_t i = 0; i < 1000; ++i) {
    ASSERT_EQ(interner.find("missing_" + std::to_string(i)), std::nullopt);
  }
  EXPECT_EQ(interner.size(), kNames);
  EXPECT_THROW(interner.str(kNames), Panic);
}

TEST(StrInterner, TooLongTextFailsAndLeavesInternerUsable) {
  // A readable (zero-filled, lazily mapped) range one byte over the limit.
  std::size_t len = MAX_INTERNED_LEN + 1;
  void* mem = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  std::string_view huge(static_cast<const char*>(mem), len);

  StrInterner interner;
  interner.intern("before");
  EXPECT_EQ(interner.find(huge), std::nullopt);
  EXPECT_THROW(interner.intern(huge), Panic);
  EXPECT_EQ(interner.size(), 1u);
  EXPECT_EQ(interner.intern("after"), 1u);
  EXPECT_EQ(interner.intern("before"), 0u);
  munmap(mem, len);
}

// Writers intern overlapping sets of new names in different orders while
// readers find() and str() whatever is there. Every writer must see one id
// per text, and the ids must be exactly 0..names-1.
TEST(StrInterner, ConcurrentInternFindAndStr) {
  constexpr int kWriters = 4;
  constexpr int kReaders = 2;
  constexpr int kNames = 2000;
  auto name = [](int i) { return "name" + std::to_string(i); };
  for (ByteHashFn hash : std::vector<ByteHashFn>{&hash_bytes, &constant_hash}) {
    const int names = hash == &constant_hash ? kNames / 8 : kNames;
    StrInterner interner(hash);
    std::vector<std::vector<int64_t>> seen(kWriters, std::vector<int64_t>(names, -1));
    std::atomic<int> writers_left{kWriters};
    std::atomic<int> reader_faults{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kWriters; ++t) {
      threads.emplace_back([&, t] {
        // Each writer takes a different three quarters of the names.
        std::vector<int> order;
        for (int i = 0; i < names; ++i) {
          if (i % kWriters != t) order.push_back(i);
        }
        std::shuffle(order.begin(), order.end(), std::mt19937(t));
        for (int i : order) seen[t][i] = interner.intern(name(i));
        writers_left.fetch_sub(1);
      });
    }
    for (int r = 0; r < kReaders; ++r) {
      threads.emplace_back([&, r] {
        std::mt19937 rng(100 + r);
        while (writers_left.load() > 0) {
          try {
            // A name found has a valid id, and every id counted has its name found.
            int i = static_cast<int>(rng() % names);
            if (auto id = interner.find(name(i))) {
              if (interner.str(*id) != name(i)) reader_faults.fetch_add(1);
            }
            std::size_t size = interner.size();
            if (size > 0) {
              auto id = static_cast<uint32_t>(rng() % size);
              if (interner.find(interner.str(id)) != id) reader_faults.fetch_add(1);
            }
          } catch (const Panic&) {
            reader_faults.fetch_add(1);
          }
        }
      });
    }
    for (auto& th : threads) th.join();

    EXPECT_EQ(reader_faults.load(), 0);
    ASSERT_EQ(interner.size(), static_cast<std::size_t>(names));
    std::vector<bool> used(names, false);
    for (int i = 0; i < names; ++i) {
      int64_t id = -1;
      for (int t = 0; t < kWriters; ++t) {
        if (seen[t][i] == -1) continue;
        if (id == -1) id = seen[t][i];
        ASSERT_EQ(seen[t][i], id) << name(i);
      }
      ASSERT_GE(id, 0);
      ASSERT_LT(id, names);
      ASSERT_FALSE(used[id]) << "id " << id << " given to two names";
      used[id] = true;
      EXPECT_EQ(interner.str(static_cast<uint32_t>(id)), name(i));
    }
  }
}

// Forks while another thread keeps adding names (and so keeps taking the
// mutex): every child must be able to add, find and read names, and see the
// names it inherited complete. A child stuck on the mutex is killed by its
// alarm, which fails the test instead of hanging it.
TEST(StrInterner, ForkWhileAnotherThreadInternsLeavesUsableInterner) {
  constexpr int kForks = 40;
  auto name = [](uint32_t i) { return "w" + std::to_string(i); };
  StrInterner interner;
  interner.intern(name(0));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (uint32_t i = 1; i < 1000000 && !stop.load(std::memory_order_relaxed); ++i) {
      interner.intern(name(i));
    }
  });
  struct StopWriter {
    std::atomic<bool>& stop;
    std::thread& writer;
    ~StopWriter() {
      stop = true;
      writer.join();
    }
  } stop_writer{stop, writer};
  for (int round = 0; round < kForks; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      alarm(20);
      const auto inherited = static_cast<uint32_t>(interner.size());
      bool ok = inherited > 0;
      for (uint32_t i = 0; ok && i < inherited; i += 1 + i / 64) {
        ok = interner.str(i) == name(i) && interner.find(name(i)) == i;
      }
      ok = ok && interner.find(name(inherited - 1)) == inherited - 1;
      ok = ok && interner.intern("child only") == inherited;
      ok = ok && interner.intern("child only, too") == inherited + 1;
      ok = ok && interner.find("child only") == inherited;
      ok = ok && interner.str(inherited + 1) == "child only, too";
      ok = ok && interner.intern(name(0)) == 0;
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
    ASSERT_EQ(WEXITSTATUS(status), 0) << "round " << round;
  }
  EXPECT_EQ(interner.find("child only"), std::nullopt);  // the children's names stay theirs
}

}  // namespace
}  // namespace quorvane
