// The process-wide pool of object ids (32-bit, never 0).
//
// An id is unique among live holders at any moment and is the same in every
// engine. Released ids are handed out again, most recently released first,
// before any fresh id. Both operations may be called from any thread, with or
// without the interpreter lock; they serialise on one mutex.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorvane {

// An id no live holder owns. Throws `Panic("object ids exhausted")` when no
// id was released and all 2^32 - 1 fresh ids are used (the pool stays usable:
// a later release makes allocation succeed again). Throws `Panic` when the
// pool's mutex is poisoned.
uint32_t allocate_id();

// Fills `out` with ids no live holder owns, under one lock of the pool (as
// many allocate_id calls). On exhaustion nothing is taken and Panic is thrown.
void allocate_ids(std::span<uint32_t> out);

// Returns `id` to the pool. The caller owned `id` and no longer uses it.
// An id the pool never handed out (0, or not yet reached by the counter) is
// ignored, so fresh ids can never be handed out twice. An id released twice is
// NOT detected (that would cost a set lookup per release) and would then be
// handed out twice. Throws `Panic` when the pool's mutex is poisoned.
void free_id(uint32_t id);

// free_id for each of `ids`, under one lock of the pool.
void free_ids(std::span<const uint32_t> ids);

namespace detail {

// The whole pool state, for tests that need an exact starting point.
struct IdPoolState {
  uint32_t next_fresh;  // 0 once every fresh id was handed out
  std::vector<uint32_t> free_ids;
};

// Test-only: installs `state` and returns the previous one. Not for use while
// other threads use the pool.
IdPoolState exchange_id_pool_for_test(IdPoolState state);

}  // namespace detail
}  // namespace quorvane
