// CenteredArray: a sorted set of at most four ids whose occupied run floats in
// the middle of a fixed buffer, so that an insertion or a removal only shifts
// the shorter side of the run.
//
// It is the inline storage of small id sets (HybridSet). No locking of its
// own: it is guarded by whatever guards the set holding it.
#pragma once

#include <cstdint>
#include <span>

namespace quorvane {

class CenteredArray {
 public:
  static constexpr uint32_t CAPACITY = 4;

  // An empty array: every slot zero, run at slot 0 with length 0.
  CenteredArray() = default;

  // Inserts `v` keeping the run ascending; no effect if present.
  // Throws Panic("CenteredArray full") when the run already holds 4 ids.
  void insert(uint32_t v);
  // Removes `v` if present.
  void remove(uint32_t v);
  // In-place sorted union with `other`; the result is re-centred.
  // Throws the out-of-bounds Panic, leaving this array unchanged, when the
  // union would hold more than 4 ids.
  void union_with(const CenteredArray& other);

  // The ascending ids, data[start, start + len). Valid until the next change.
  std::span<const uint32_t> run() const { return {data_ + start_, len_}; }
  uint32_t start() const { return start_; }
  uint32_t len() const { return len_; }
  bool contains(uint32_t v) const;

  // An array holding `ids` (strictly ascending, at most 4), centred in the
  // buffer. Throws Panic on more than 4 ids or ids out of order.
  static CenteredArray from_sorted(std::span<const uint32_t> ids);

 private:
  // Position of `v` in the run: `found` is set when run[pos] == v, otherwise
  // pos is where `v` would be inserted.
  uint32_t search(uint32_t v, bool& found) const;

  uint32_t data_[CAPACITY] = {0, 0, 0, 0};
  // Both fit a byte (at most 4).
  uint8_t start_ = 0;
  uint8_t len_ = 0;
};

}  // namespace quorvane
