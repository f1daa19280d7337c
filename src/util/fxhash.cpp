#include "util/fxhash.h"

#include <cstring>

namespace quorvane {
namespace {

constexpr uint64_t P0 = 0xa0761d6478bd642full;
constexpr uint64_t P1 = 0xe7037ed1a0b428dbull;
constexpr uint64_t P2 = 0x8ebc6af09c88c6e3ull;

inline uint64_t mix(uint64_t a, uint64_t b) {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

inline uint64_t read64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline uint64_t read_tail(const unsigned char* p, std::size_t n) {
  // 1..7 bytes, little-endian packed.
  uint64_t v = 0;
  std::memcpy(&v, p, n);
  return v;
}

}  // namespace

uint64_t hash_bytes(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  uint64_t seed = P0 ^ (n * P1);
  while (n >= 16) {
    seed = mix(read64(p) ^ P1, read64(p + 8) ^ seed);
    p += 16;
    n -= 16;
  }
  uint64_t a = 0, b = 0;
  if (n >= 8) {
    a = read64(p);
    b = n > 8 ? read_tail(p + 8, n - 8) : 0;
  } else if (n > 0) {
    a = read_tail(p, n);
  }
  return mix(P1 ^ bytes.size(), mix(a ^ P1, b ^ seed ^ P2));
}

}  // namespace quorvane
