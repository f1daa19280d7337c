#include "index/core/id_alloc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include "util/panic.h"

namespace quorvane {
namespace {

// Gives a test a pool in a known state and puts the process's pool back after.
class ScopedIdPool {
 public:
  explicit ScopedIdPool(detail::IdPoolState state)
      : saved_(detail::exchange_id_pool_for_test(std::move(state))) {}
  ~ScopedIdPool() { detail::exchange_id_pool_for_test(std::move(saved_)); }

 private:
  detail::IdPoolState saved_;
};

TEST(IdAlloc, ReleasedIdsComeBackMostRecentFirst) {
  uint32_t a = allocate_id();
  uint32_t b = allocate_id();
  ASSERT_NE(a, b);
  free_id(a);
  free_id(b);
  EXPECT_EQ(allocate_id(), b);
  EXPECT_EQ(allocate_id(), a);

  ScopedIdPool pool({100, {}});
  EXPECT_EQ(allocate_id(), 100u);
  EXPECT_EQ(allocate_id(), 101u);
  free_id(100);
  free_id(101);
  EXPECT_EQ(allocate_id(), 101u);
  EXPECT_EQ(allocate_id(), 100u);
  // Fresh ids follow on consecutively once the released ones are used up.
  EXPECT_EQ(allocate_id(), 102u);
  EXPECT_EQ(allocate_id(), 103u);
}

TEST(IdAlloc, IdsNeverHandedOutAreIgnoredOnRelease) {
  ScopedIdPool pool({50, {}});
  free_id(0);
  free_id(50);
  free_id(0xFFFFFFFFu);
  EXPECT_EQ(allocate_id(), 50u);
  EXPECT_EQ(allocate_id(), 51u);
}

TEST(IdAlloc, ExhaustionFailsOnlyWhileNothingWasReleased) {
  ScopedIdPool pool({0xFFFFFFFEu, {}});
  EXPECT_EQ(allocate_id(), 0xFFFFFFFEu);
  EXPECT_EQ(allocate_id(), 0xFFFFFFFFu);
  EXPECT_THROW(allocate_id(), Panic);
  EXPECT_THROW(allocate_id(), Panic);  // no wrap-around to ids in use
  free_id(0xFFFFFFFEu);
  free_id(7);  // handed out long ago
  EXPECT_EQ(allocate_id(), 7u);
  EXPECT_EQ(allocate_id(), 0xFFFFFFFEu);
  EXPECT_THROW(allocate_id(), Panic);
}

// Batches take released ids first (most recent first), then fresh ones, and
// fail whole when the fresh range cannot cover them.
TEST(IdAlloc, BatchesFollowTheSingleIdOrderAndFailWhole) {
  ScopedIdPool pool({0xFFFFFFF0u, {3, 9}});
  std::vector<uint32_t> ids(4);
  allocate_ids(ids);
  EXPECT_EQ(ids, (std::vector<uint32_t>{9, 3, 0xFFFFFFF0u, 0xFFFFFFF1u}));
  std::vector<uint32_t> too_many(15);
  EXPECT_THROW(allocate_ids(too_many), Panic);  // only 14 fresh ids are left
  std::vector<uint32_t> rest(14);
  allocate_ids(rest);
  EXPECT_EQ(rest.back(), 0xFFFFFFFFu);
  EXPECT_THROW(allocate_id(), Panic);
  free_ids(std::vector<uint32_t>{0, 3, 0xFFFFFFFFu});  // 0 was never handed out
  EXPECT_EQ(allocate_id(), 0xFFFFFFFFu);
  EXPECT_EQ(allocate_id(), 3u);
  EXPECT_THROW(allocate_id(), Panic);
}

TEST(IdAlloc, ConcurrentUseNeverHandsOutALiveIdTwice) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  std::vector<std::vector<uint32_t>> kept(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Churn through the free list while keeping every other id.
      for (int i = 0; i < kRounds; ++i) {
        uint32_t id = allocate_id();
        if (i % 100 == 0) {  // some batches in the mix
          std::vector<uint32_t> batch(3);
          allocate_ids(batch);
          free_ids(batch);
        }
        if (i % 2) {
          free_id(id);
        } else {
          kept[t].push_back(id);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<uint32_t> all;
  for (const auto& ids : kept) {
    for (uint32_t id : ids) {
      EXPECT_NE(id, 0u);
      EXPECT_TRUE(all.insert(id).second) << "id " << id << " handed out twice";
    }
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kRounds / 2));
  for (uint32_t id : all) free_id(id);
}

}  // namespace
}  // namespace quorvane
