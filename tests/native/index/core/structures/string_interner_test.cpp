#include "index/core/structures/string_interner/string_interner.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
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
  EXPECT_EQ(interner.snapshot()->size(), 0u);
  EXPECT_EQ(interner.snapshot()->get("a"), std::nullopt);
  EXPECT_EQ(interner.intern("a"), 0u);
  EXPECT_EQ(interner.intern("b"), 1u);
  EXPECT_EQ(interner.intern("a"), 0u);
  EXPECT_EQ(interner.intern(""), 2u);
  EXPECT_EQ(interner.intern(""), 2u);
  auto snap = interner.snapshot();
  EXPECT_EQ(snap->size(), 3u);
  EXPECT_EQ(snap->str(0), "a");
  EXPECT_EQ(snap->str(2), "");
  EXPECT_EQ(snap->get(""), 2u);
  EXPECT_THROW(snap->str(3), Panic);

  // The process-wide interner: one instance, the next new name gets the next id.
  EXPECT_EQ(&INTERNER(), &INTERNER());
  std::size_t known = INTERNER().snapshot()->size();
  uint32_t id = INTERNER().intern("string_interner_test: a name nobody else uses");
  EXPECT_EQ(id, known);
  EXPECT_EQ(INTERNER().snapshot()->str(id), "string_interner_test: a name nobody else uses");
}

// Random texts (prefix-sharing, empty, embedded NUL) against a std::map that
// numbers texts by first appearance, with the real hash and with one that
// puts every text of a length under the same key.
TEST(StrInterner, AgreesWithMapOracleIncludingForcedCollisions) {
  for (ByteHashFn hash : std::vector<ByteHashFn>{&hash_bytes, &constant_hash}) {
    StrInterner interner(hash);
    std::map<std::string, uint32_t> oracle;
    std::mt19937 rng(11);
    for (int i = 0; i < 3000; ++i) {
      std::string text(rng() % 5, 'a');
      for (char& c : text) c = "ab\0c"[rng() % 4];
      auto [it, fresh] = oracle.try_emplace(text, static_cast<uint32_t>(oracle.size()));
      ASSERT_EQ(interner.intern(text), it->second) << "text of length " << text.size();
      if (fresh) {
        EXPECT_EQ(interner.snapshot()->get(text), it->second);
      }
    }
    auto snap = interner.snapshot();
    ASSERT_EQ(snap->size(), oracle.size());
    for (const auto& [text, id] : oracle) {
      EXPECT_EQ(snap->get(text), id);
      EXPECT_EQ(snap->str(id), text);
    }
    EXPECT_EQ(snap->get("abcab"), std::nullopt);  // longer than any generated text
  }
}

TEST(StrInterner, SnapshotsAreFrozenAndOutliveRepublication) {
  StrInterner interner;
  interner.intern("x");
  auto before = interner.snapshot();
  uint32_t id = interner.intern("y");
  for (int i = 0; i < 100; ++i) interner.intern("filler" + std::to_string(i));

  EXPECT_EQ(before->get("y"), std::nullopt);
  EXPECT_EQ(before->size(), 1u);
  EXPECT_EQ(before->get("x"), 0u);
  EXPECT_THROW(before->str(id), Panic);
  auto after = interner.snapshot();
  EXPECT_EQ(after->get("y"), id);
  EXPECT_EQ(after->size(), 102u);
}

TEST(StrInterner, TooLongTextFailsWithoutPoisoning) {
  // A readable (zero-filled, lazily mapped) range one byte over the limit.
  std::size_t len = MAX_INTERNED_LEN + 1;
  void* mem = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  std::string_view huge(static_cast<const char*>(mem), len);

  StrInterner interner;
  interner.intern("before");
  EXPECT_EQ(interner.snapshot()->get(huge), std::nullopt);
  EXPECT_THROW(interner.intern(huge), Panic);
  EXPECT_EQ(interner.intern("after"), 1u);
  EXPECT_EQ(interner.intern("before"), 0u);
  munmap(mem, len);
}

TEST(StrInterner, ConcurrentInternOfSameNewNamesGivesOneIdPerName) {
  constexpr int kThreads = 8;
  constexpr int kNames = 300;
  for (ByteHashFn hash : std::vector<ByteHashFn>{&hash_bytes, &constant_hash}) {
    StrInterner interner(hash);
    std::vector<std::vector<uint32_t>> seen(kThreads, std::vector<uint32_t>(kNames));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::vector<int> order(kNames);
        for (int i = 0; i < kNames; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937(t));
        for (int i : order) seen[t][i] = interner.intern("name" + std::to_string(i));
      });
    }
    for (auto& th : threads) th.join();

    auto snap = interner.snapshot();
    ASSERT_EQ(snap->size(), static_cast<std::size_t>(kNames));
    for (int i = 0; i < kNames; ++i) {
      for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][i], seen[0][i]) << "name" << i;
      EXPECT_EQ(snap->str(seen[0][i]), "name" + std::to_string(i));
    }
  }
}

}  // namespace
}  // namespace quorvane
