#include "index/core/structures/bitmap/bitmap.h"

#include <roaring/roaring.h>

#include <bit>
#include <cstring>

#include "util/panic.h"

namespace quorvane {
namespace {

void* checked_alloc(roaring_bitmap_t* raw) {
  check(raw != nullptr, "failed to create a bitmap");
  return raw;
}

inline roaring_bitmap_t* rb(void* raw) {
  return static_cast<roaring_bitmap_t*>(raw);
}
inline const roaring_bitmap_t* rb(const void* raw) {
  return static_cast<const roaring_bitmap_t*>(raw);
}

// Batches below this size go through roaring_bitmap_add_many: building a
// serialized image only pays off once its fixed costs are spread thin.
constexpr std::size_t SERIALIZED_BATCH_MIN = 1024;
// CRoaring's portable format without run containers: a cookie, the container
// count, (key, cardinality - 1) per container, one offset per container, then
// each container as sorted 16-bit values (up to 4096 of them) or as a
// 65536-bit bitset.
constexpr uint32_t NO_RUN_COOKIE = 12346;
constexpr std::size_t ARRAY_LIMIT = 4096;
constexpr std::size_t BITSET_WORDS = 1024;
constexpr std::size_t BITSET_BYTES = 8 * BITSET_WORDS;

bool strictly_ascending(std::span<const uint32_t> ids) {
  for (std::size_t i = 1; i < ids.size(); ++i) {
    if (ids[i] <= ids[i - 1]) return false;
  }
  return true;
}

template <class T>
void put(char* at, T value) {
  std::memcpy(at, &value, sizeof(T));
}

// The portable image of a bitmap, written one container at a time in
// ascending key order; `read` turns it into a new CRoaring bitmap.
class Image {
 public:
  // Room for `containers` containers whose data takes `data_bytes`.
  Image(std::size_t containers, std::size_t data_bytes)
      : count_(containers), bytes_(8 + 8 * containers + data_bytes), offset_(8 + 8 * containers) {
    put<uint32_t>(bytes_.data(), NO_RUN_COOKIE);
    put<uint32_t>(bytes_.data() + 4, static_cast<uint32_t>(containers));
  }
  static std::size_t data_bytes(std::size_t card) {
    return card > ARRAY_LIMIT ? BITSET_BYTES : 2 * card;
  }
  // Starts container `key` of `card` values; returns where its data goes.
  char* begin(uint16_t key, std::size_t card) {
    char* out = bytes_.data();
    put<uint16_t>(out + 8 + 4 * next_, key);
    put<uint16_t>(out + 10 + 4 * next_, static_cast<uint16_t>(card - 1));
    put<uint32_t>(out + 8 + 4 * count_ + 4 * next_, static_cast<uint32_t>(offset_));
    char* data = out + offset_;
    offset_ += data_bytes(card);
    ++next_;
    return data;
  }
  // Null if CRoaring refuses the image.
  roaring_bitmap_t* read() const {
    return roaring_bitmap_portable_deserialize_safe(bytes_.data(), bytes_.size());
  }

 private:
  std::size_t count_;
  std::vector<char> bytes_;
  std::size_t offset_;
  std::size_t next_ = 0;
};

// A new bitmap of strictly ascending ids, made through the portable image: a
// few passes over memory instead of one container insertion per id.
roaring_bitmap_t* build_from_ascending(std::span<const uint32_t> ids) {
  struct Chunk {
    uint16_t key;
    std::size_t begin, end;
  };
  std::vector<Chunk> chunks;
  std::size_t data = 0;
  for (std::size_t i = 0; i < ids.size();) {
    uint32_t key = ids[i] >> 16;
    std::size_t j = i;
    while (j < ids.size() && (ids[j] >> 16) == key) ++j;
    chunks.push_back({static_cast<uint16_t>(key), i, j});
    data += Image::data_bytes(j - i);
    i = j;
  }
  Image image(chunks.size(), data);
  for (const Chunk& c : chunks) {
    const std::size_t card = c.end - c.begin;
    char* out = image.begin(c.key, card);
    if (card > ARRAY_LIMIT) {
      uint64_t words[BITSET_WORDS] = {};
      for (std::size_t i = c.begin; i < c.end; ++i) {
        uint16_t low = static_cast<uint16_t>(ids[i]);
        words[low >> 6] |= uint64_t{1} << (low & 63);
      }
      std::memcpy(out, words, BITSET_BYTES);
    } else {
      for (std::size_t i = c.begin; i < c.end; ++i, out += 2) {
        put<uint16_t>(out, static_cast<uint16_t>(ids[i]));
      }
    }
  }
  return image.read();
}

// Unions `built` (if any) into `target` and frees it; false if there was none.
bool merge_built(roaring_bitmap_t* target, roaring_bitmap_t* built) {
  if (built == nullptr) return false;
  roaring_bitmap_or_inplace(target, built);
  roaring_bitmap_free(built);
  return true;
}

}  // namespace

Bitmap::Bitmap(Adopt, void* raw) : raw_(checked_alloc(static_cast<roaring_bitmap_t*>(raw))) {}
Bitmap::Bitmap() : Bitmap(Adopt{}, roaring_bitmap_create_with_capacity(0)) {}
Bitmap::Bitmap(uint32_t capacity)
    : Bitmap(Adopt{}, roaring_bitmap_create_with_capacity(capacity)) {}
Bitmap::Bitmap(std::initializer_list<uint32_t> ids) : Bitmap() {
  add_many(std::span<const uint32_t>(ids.begin(), ids.size()));
}

Bitmap Bitmap::from_ids(std::span<const uint32_t> ids) {
  Bitmap result;
  result.add_many(ids);
  return result;
}

Bitmap::Bitmap(const Bitmap& other) : Bitmap(Adopt{}, roaring_bitmap_copy(rb(other.raw_))) {}

Bitmap& Bitmap::operator=(const Bitmap& other) {
  if (this == &other) return *this;
  if (raw_ == nullptr) {
    raw_ = checked_alloc(roaring_bitmap_copy(rb(other.raw_)));
  } else {
    check(roaring_bitmap_overwrite(rb(raw_), rb(other.raw_)), "failed to copy a bitmap");
  }
  return *this;
}

Bitmap::~Bitmap() {
  if (raw_ != nullptr) roaring_bitmap_free(rb(raw_));
}

void Bitmap::add(uint32_t id) {
  roaring_bitmap_add(rb(raw_), id);
}
void Bitmap::add_many(std::span<const uint32_t> ids) {
  if (ids.empty()) return;
  // The image is little-endian; large ascending batches (bulk insertion of
  // consecutive objects) are built as whole containers and merged.
  if (std::endian::native == std::endian::little && ids.size() >= SERIALIZED_BATCH_MIN &&
      strictly_ascending(ids)) {
    if (merge_built(rb(raw_), build_from_ascending(ids))) return;
  }
  roaring_bitmap_add_many(rb(raw_), ids.size(), ids.data());
}

namespace {

// The number of bits set in words[first, last]. Built for generic x86-64,
// std::popcount is a library call per word; where the processor has the
// POPCNT instruction a clone using it is picked when the module loads.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("popcnt", "default")))
#endif
std::size_t
count_bits(const uint64_t* words, std::size_t first, std::size_t last) {
  std::size_t card = 0;
  for (std::size_t w = first; w <= last; ++w) card += std::popcount(words[w]);
  return card;
}

}  // namespace

void Bitmap::add_chunk_bits(uint16_t key, const uint64_t* words, std::size_t first_word,
                            std::size_t last_word) {
  const std::size_t card = count_bits(words, first_word, last_word);
  if (card == 0) return;
  const uint32_t base = uint32_t{key} << 16;
  auto for_each_bit = [&](auto&& fn) {
    for (std::size_t w = first_word; w <= last_word; ++w) {
      for (uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
        fn(static_cast<uint16_t>(64 * w + std::countr_zero(bits)));
      }
    }
  };
  if (std::endian::native == std::endian::little && card >= 64) {
    Image image(1, Image::data_bytes(card));
    char* out = image.begin(key, card);
    if (card > ARRAY_LIMIT) {
      std::memset(out, 0, BITSET_BYTES);
      std::memcpy(out + 8 * first_word, words + first_word, 8 * (last_word - first_word + 1));
    } else {
      for_each_bit([&](uint16_t low) {
        put<uint16_t>(out, low);
        out += 2;
      });
    }
    if (merge_built(rb(raw_), image.read())) return;
  }
  std::vector<uint32_t> ids;
  ids.reserve(card);
  for_each_bit([&](uint16_t low) { ids.push_back(base | low); });
  roaring_bitmap_add_many(rb(raw_), ids.size(), ids.data());
}
void Bitmap::remove(uint32_t id) {
  roaring_bitmap_remove(rb(raw_), id);
}
bool Bitmap::contains(uint32_t id) const {
  return roaring_bitmap_contains(rb(raw_), id);
}
void Bitmap::clear() {
  roaring_bitmap_clear(rb(raw_));
}

uint64_t Bitmap::cardinality() const {
  return roaring_bitmap_get_cardinality(rb(raw_));
}
bool Bitmap::is_empty() const {
  return roaring_bitmap_is_empty(rb(raw_));
}
std::optional<uint32_t> Bitmap::maximum() const {
  if (is_empty()) return std::nullopt;
  return roaring_bitmap_maximum(rb(raw_));
}

void Bitmap::union_with(const Bitmap& other) {
  roaring_bitmap_or_inplace(rb(raw_), rb(other.raw_));
}
void Bitmap::intersect_with(const Bitmap& other) {
  roaring_bitmap_and_inplace(rb(raw_), rb(other.raw_));
}
void Bitmap::difference_with(const Bitmap& other) {
  // CRoaring requires distinct operands for the in-place difference.
  if (this == &other) {
    clear();
  } else {
    roaring_bitmap_andnot_inplace(rb(raw_), rb(other.raw_));
  }
}
Bitmap Bitmap::unioned(const Bitmap& other) const {
  return Bitmap(Adopt{}, roaring_bitmap_or(rb(raw_), rb(other.raw_)));
}
Bitmap Bitmap::intersected(const Bitmap& other) const {
  return Bitmap(Adopt{}, roaring_bitmap_and(rb(raw_), rb(other.raw_)));
}
Bitmap Bitmap::differenced(const Bitmap& other) const {
  return Bitmap(Adopt{}, roaring_bitmap_andnot(rb(raw_), rb(other.raw_)));
}
bool Bitmap::intersects(const Bitmap& other) const {
  return roaring_bitmap_intersect(rb(raw_), rb(other.raw_));
}

bool Bitmap::is_subset_of(const Bitmap& other) const {
  return roaring_bitmap_is_subset(rb(raw_), rb(other.raw_));
}

void Bitmap::iterate_raw(bool (*fn)(uint32_t, void*), void* ctx) const {
  roaring_iterate(rb(raw_), fn, ctx);
}

std::vector<uint32_t> Bitmap::to_vector() const {
  std::vector<uint32_t> out(cardinality());
  if (!out.empty()) roaring_bitmap_to_uint32_array(rb(raw_), out.data());
  return out;
}

void Bitmap::optimize() {
  roaring_bitmap_run_optimize(rb(raw_));
  roaring_bitmap_shrink_to_fit(rb(raw_));
}
std::size_t Bitmap::size_in_bytes() const {
  return roaring_bitmap_size_in_bytes(rb(raw_));
}

bool operator==(const Bitmap& a, const Bitmap& b) {
  return roaring_bitmap_equals(rb(a.raw_), rb(b.raw_));
}

}  // namespace quorvane
