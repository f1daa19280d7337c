// DenseIds: a set of ids for membership tests in a tight loop (a few
// nanoseconds each): one bit per id, in 8 KiB pages made for the 65536-id
// chunks the set touches. Built once from a Bitmap, for a pass that tests
// many ids against it (narrowing every value set of an attribute).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/structures/bitmap/bitmap.h"

namespace quorvane {

class DenseIds {
 public:
  explicit DenseIds(const Bitmap& ids) {
    ids.for_each([this](uint32_t id) {
      const uint32_t chunk = id >> 16;
      if (chunk >= pages_.size()) pages_.resize(chunk + 1);
      if (pages_[chunk] == nullptr) pages_[chunk] = std::make_unique<uint64_t[]>(WORDS);
      pages_[chunk][(id & 0xFFFF) >> 6] |= uint64_t{1} << (id & 63);
    });
  }

  bool contains(uint32_t id) const noexcept {
    const uint32_t chunk = id >> 16;
    if (chunk >= pages_.size() || pages_[chunk] == nullptr) return false;
    return (pages_[chunk][(id & 0xFFFF) >> 6] >> (id & 63)) & 1;
  }

 private:
  static constexpr std::size_t WORDS = 65536 / 64;
  std::vector<std::unique_ptr<uint64_t[]>> pages_;
};

}  // namespace quorvane
