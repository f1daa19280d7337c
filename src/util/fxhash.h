// FxHash: the 32-bit multiplicative hash shared by values, the interner, the
// attribute map and shard selection, and a fast 64-bit byte hash.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvane {

inline constexpr uint32_t FX_SEED = 0x93d765dd;

// Incremental FxHash over 32-bit words; `finish` applies the final rotation
// and zero-extends to 64 bits.
class FxHasher {
 public:
  constexpr FxHasher& word(uint32_t w) {
    h_ = (h_ + w) * FX_SEED;
    return *this;
  }
  // A 64-bit value is fed as its low, then its high half.
  constexpr FxHasher& word64(uint64_t w) {
    return word(static_cast<uint32_t>(w)).word(static_cast<uint32_t>(w >> 32));
  }
  constexpr uint64_t finish() const { return std::rotl(h_, 15); }

 private:
  uint32_t h_ = 0;
};

// FxHash of one 32-bit key (the attribute map's key hash).
constexpr uint64_t fx_hash_u32(uint32_t key) {
  return FxHasher().word(key).finish();
}

// A fast, well-distributed, non-cryptographic 64-bit hash of bytes
// (wyhash-style multiply-fold). Values never leave the process, so only
// consistency within one process matters.
uint64_t hash_bytes(std::string_view bytes) noexcept;

}  // namespace quorvane
