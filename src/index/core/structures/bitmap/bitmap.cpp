#include "index/core/structures/bitmap/bitmap.h"

#include <roaring/roaring.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "index/core/structures/bitmap/dense_ids.h"
#include "util/panic.h"

namespace quorvane {
namespace {

static_assert(sizeof(std::uintptr_t) == 8, "the one-id form keeps the id in the upper half-word");

constexpr std::uintptr_t TAG_BITS = 3;
constexpr std::uintptr_t ONE_TAG = 1;
constexpr std::uintptr_t FEW_TAG = 2;
constexpr std::uintptr_t SPREAD_TAG = 3;

enum class Form { Empty, One, Few, Spread, Roaring };

inline Form form_of(std::uintptr_t word) {
  if (word == 0) return Form::Empty;
  switch (word & TAG_BITS) {
    case ONE_TAG:
      return Form::One;
    case FEW_TAG:
      return Form::Few;
    case SPREAD_TAG:
      return Form::Spread;
    default:
      return Form::Roaring;
  }
}

inline roaring_bitmap_t* rb(std::uintptr_t word) {
  return reinterpret_cast<roaring_bitmap_t*>(word);
}

// A CRoaring bitmap as a set's word.
std::uintptr_t roaring_word(roaring_bitmap_t* raw) {
  check(raw != nullptr, "failed to create a bitmap");
  const auto word = reinterpret_cast<std::uintptr_t>(raw);
  check((word & TAG_BITS) == 0, "a CRoaring bitmap is not word-aligned");
  return word;
}

inline std::uintptr_t one_word(uint32_t id) {
  return (std::uintptr_t{id} << 32) | ONE_TAG;
}
inline uint32_t one_id(std::uintptr_t word) {
  return static_cast<uint32_t>(word >> 32);
}

// A heap block of `Slot`s behind a set's tagged word: `HEADER` slots, the
// number of values among them at `COUNT` and the capacity at `CAPACITY`,
// then the values in ascending order.
template <class Slot, std::size_t HEADER, std::size_t COUNT, std::size_t CAPACITY,
          std::uintptr_t TAG>
struct Block {
  static std::size_t bytes(std::size_t capacity) { return sizeof(Slot) * (HEADER + capacity); }
  static Slot* of(std::uintptr_t word) { return reinterpret_cast<Slot*>(word & ~TAG_BITS); }
  static std::uintptr_t word(Slot* block) { return reinterpret_cast<std::uintptr_t>(block) | TAG; }
  // Allocates (from null) or resizes a block for `capacity` values and
  // records the capacity; the other header slots are the caller's.
  static Slot* resize(Slot* block, std::size_t capacity) {
    auto* out = static_cast<Slot*>(std::realloc(block, bytes(capacity)));
    check(out != nullptr, "failed to create a bitmap");
    check((reinterpret_cast<std::uintptr_t>(out) & TAG_BITS) == 0, "a block is not word-aligned");
    out[CAPACITY] = static_cast<Slot>(capacity);
    return out;
  }
  // Inserts `value` (nothing if present), growing a full block to
  // `grown(count)` slots; false, changing nothing, when it holds `max`.
  static bool insert(std::uintptr_t& word, Slot value, std::size_t max,
                     std::size_t (*grown)(std::size_t)) {
    Slot* block = of(word);
    const std::size_t size = block[COUNT];
    Slot* values = block + HEADER;
    // Ids mostly arrive ascending: appending needs no search.
    std::size_t at = size;
    if (value <= values[size - 1]) {
      at = static_cast<std::size_t>(std::lower_bound(values, values + size, value) - values);
      if (values[at] == value) return true;
    }
    if (size == block[CAPACITY]) {
      if (size == max) return false;
      block = resize(block, grown(size));
      word = Block::word(block);
      values = block + HEADER;
    }
    std::memmove(values + at + 1, values + at, sizeof(Slot) * (size - at));
    values[at] = value;
    block[COUNT] = static_cast<Slot>(size + 1);
    return true;
  }
  // Removes `value` if present; returns the number of values left.
  static std::size_t erase(std::uintptr_t word, Slot value) {
    Slot* block = of(word);
    const std::size_t size = block[COUNT];
    Slot* values = block + HEADER;
    Slot* at = std::lower_bound(values, values + size, value);
    if (at == values + size || *at != value) return size;
    std::memmove(at, at + 1, sizeof(Slot) * static_cast<std::size_t>(values + size - at - 1));
    block[COUNT] = static_cast<Slot>(size - 1);
    return size - 1;
  }
};

// A few-ids block is an array of 16-bit slots: the upper 16 bits shared by
// its ids, their count (2 or more), the capacity, one unused slot, then the
// lower 16 bits of each id in ascending order. Capacities grow by half,
// rounded to a multiple of 8 so that a block fills the allocator's 16-byte
// steps; a set of more than FEW_MAX ids goes to CRoaring, whose array
// containers take the same 2 bytes per id and whose operations are faster on
// large sets.
constexpr std::size_t FEW_HEADER = 4;
constexpr std::size_t FEW_MAX = 256;
constexpr std::size_t FEW_MIN_CAPACITY = 8;

std::size_t few_capacity_for(std::size_t count) {
  std::size_t capacity = FEW_MIN_CAPACITY;
  while (capacity < count)
    capacity = std::min(FEW_MAX, (capacity + capacity / 2 + 7) & ~std::size_t{7});
  return capacity;
}
std::size_t few_grown(std::size_t count) {
  return few_capacity_for(count + 1);
}
using FewBlock = Block<uint16_t, FEW_HEADER, 1, 2, FEW_TAG>;

// A spread block holds ids under different upper 16 bits: the few ids a
// value has among a million objects are scattered over as many 65536-id
// chunks, where CRoaring would make a container, two allocations, for each.
// Layout: the count, the capacity, then the ids ascending, all 32-bit.
// Capacities are multiples of 4 so that a block fills the allocator's 16-byte
// steps.
constexpr std::size_t SPREAD_HEADER = 2;
constexpr std::size_t SPREAD_MAX = FEW_MAX;

std::size_t spread_capacity_for(std::size_t count) {
  return std::min(SPREAD_MAX, (count + 3) & ~std::size_t{3});
}
std::size_t spread_grown(std::size_t count) {
  return spread_capacity_for(count + count / 2 + 1);
}
using SpreadBlock = Block<uint32_t, SPREAD_HEADER, 0, 1, SPREAD_TAG>;

// The ids of a set in the empty, one-id, few-ids or spread form, ascending;
// valid while the set is unchanged.
class Few {
 public:
  explicit Few(std::uintptr_t word) {
    switch (form_of(word)) {
      case Form::One: {
        const uint32_t id = one_id(word);
        base_ = id & 0xFFFF0000u;
        one_ = static_cast<uint16_t>(id);
        low_ = &one_;
        size_ = 1;
        break;
      }
      case Form::Few: {
        const uint16_t* block = FewBlock::of(word);
        base_ = uint32_t{block[0]} << 16;
        size_ = block[1];
        low_ = block + FEW_HEADER;
        break;
      }
      case Form::Spread: {
        const uint32_t* block = SpreadBlock::of(word);
        size_ = block[0];
        wide_ = block + SPREAD_HEADER;
        break;
      }
      default:
        break;
    }
  }
  Few(const Few&) = delete;
  Few& operator=(const Few&) = delete;

  std::size_t size() const { return size_; }
  uint32_t operator[](std::size_t i) const { return wide_ ? wide_[i] : base_ | low_[i]; }
  bool contains(uint32_t id) const {
    if (wide_) return std::binary_search(wide_, wide_ + size_, id);
    return size_ != 0 && (id & 0xFFFF0000u) == base_ &&
           std::binary_search(low_, low_ + size_, static_cast<uint16_t>(id));
  }

 private:
  uint32_t base_ = 0;
  const uint16_t* low_ = nullptr;
  const uint32_t* wide_ = nullptr;  // the ids of a spread block
  std::size_t size_ = 0;
  uint16_t one_ = 0;
};

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

void roaring_add_many(roaring_bitmap_t* target, std::span<const uint32_t> ids) {
  // The image is little-endian; large ascending batches (bulk insertion of
  // consecutive objects) are built as whole containers and merged.
  if (std::endian::native == std::endian::little && ids.size() >= SERIALIZED_BATCH_MIN &&
      strictly_ascending(ids)) {
    if (merge_built(target, build_from_ascending(ids))) return;
  }
  roaring_bitmap_add_many(target, ids.size(), ids.data());
}

// The number of bits set in words[first, last]. Built for generic x86-64,
// std::popcount is a library call per word; where the processor has the
// POPCNT instruction a clone using it is picked when the module loads (not
// under ThreadSanitizer, whose runtime is not ready when the clone is picked).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("popcnt", "default")))
#endif
std::size_t
count_bits(const uint64_t* words, std::size_t first, std::size_t last) {
  std::size_t card = 0;
  for (std::size_t w = first; w <= last; ++w) card += std::popcount(words[w]);
  return card;
}

}  // namespace

Bitmap::Bitmap(Adopt, void* raw) : word_(roaring_word(static_cast<roaring_bitmap_t*>(raw))) {}
Bitmap::Bitmap(uint32_t capacity) {
  if (capacity > 0) word_ = roaring_word(roaring_bitmap_create_with_capacity(capacity));
}
Bitmap::Bitmap(std::initializer_list<uint32_t> ids) {
  add_many(std::span<const uint32_t>(ids.begin(), ids.size()));
}

Bitmap Bitmap::from_ids(std::span<const uint32_t> ids) {
  Bitmap result;
  if (strictly_ascending(ids)) {
    // Built in its form at once (a key lookup's few ids, a sorted batch).
    result.assign_ascending(ids);
  } else {
    result.add_many(ids);
  }
  return result;
}

Bitmap::Bitmap(const Bitmap& other) {
  switch (form_of(other.word_)) {
    case Form::Empty:
    case Form::One:
      word_ = other.word_;
      return;
    case Form::Few: {
      const uint16_t* from = FewBlock::of(other.word_);
      uint16_t* block = FewBlock::resize(nullptr, few_capacity_for(from[1]));
      block[0] = from[0];
      block[1] = from[1];
      std::memcpy(block + FEW_HEADER, from + FEW_HEADER, sizeof(uint16_t) * from[1]);
      word_ = FewBlock::word(block);
      return;
    }
    case Form::Spread: {
      const uint32_t* from = SpreadBlock::of(other.word_);
      uint32_t* block = SpreadBlock::resize(nullptr, spread_capacity_for(from[0]));
      block[0] = from[0];
      std::memcpy(block + SPREAD_HEADER, from + SPREAD_HEADER, sizeof(uint32_t) * from[0]);
      word_ = SpreadBlock::word(block);
      return;
    }
    case Form::Roaring:
      word_ = roaring_word(roaring_bitmap_copy(rb(other.word_)));
      return;
  }
}

Bitmap& Bitmap::operator=(const Bitmap& other) {
  if (this == &other) return *this;
  if (is_roaring() && other.is_roaring()) {
    check(roaring_bitmap_overwrite(rb(word_), rb(other.word_)), "failed to copy a bitmap");
  } else {
    Bitmap copy(other);
    std::swap(word_, copy.word_);
  }
  return *this;
}

Bitmap::~Bitmap() {
  release();
}

namespace {

// The forms' storage handling works on a set's word, so that the CRoaring
// fast paths of the members stay small.

void release_word(std::uintptr_t& word) noexcept {
  switch (form_of(word)) {
    case Form::Few:
      std::free(FewBlock::of(word));
      break;
    case Form::Spread:
      std::free(SpreadBlock::of(word));
      break;
    case Form::Roaring:
      roaring_bitmap_free(rb(word));
      break;
    default:
      break;
  }
  word = 0;
}

// A new CRoaring bitmap holding `ids` (strictly ascending).
roaring_bitmap_t* roaring_of(std::span<const uint32_t> ids) {
  if (std::endian::native == std::endian::little && ids.size() > FEW_MAX) {
    if (roaring_bitmap_t* built = build_from_ascending(ids)) return built;
  }
  roaring_bitmap_t* made = rb(roaring_word(roaring_bitmap_create_with_capacity(0)));
  roaring_add_many(made, ids);
  return made;
}

void assign_word(std::uintptr_t& word, std::span<const uint32_t> ids) {
  const std::size_t n = ids.size();
  std::uintptr_t built = 0;
  if (n == 1) {
    built = one_word(ids[0]);
  } else if (n > 1 && n <= FEW_MAX && (ids[0] >> 16) == (ids[n - 1] >> 16)) {
    uint16_t* block = FewBlock::resize(nullptr, few_capacity_for(n));
    block[0] = static_cast<uint16_t>(ids[0] >> 16);
    block[1] = static_cast<uint16_t>(n);
    for (std::size_t i = 0; i < n; ++i) block[FEW_HEADER + i] = static_cast<uint16_t>(ids[i]);
    built = FewBlock::word(block);
  } else if (n > 1 && n <= SPREAD_MAX) {
    uint32_t* block = SpreadBlock::resize(nullptr, spread_capacity_for(n));
    block[0] = static_cast<uint32_t>(n);
    std::memcpy(block + SPREAD_HEADER, ids.data(), sizeof(uint32_t) * n);
    built = SpreadBlock::word(block);
  } else if (n > 1) {
    built = reinterpret_cast<std::uintptr_t>(roaring_of(ids));
  }
  release_word(word);
  word = built;
}

roaring_bitmap_t* roaring_word_of(std::uintptr_t& word) {
  if (form_of(word) != Form::Roaring) {
    uint32_t ids[FEW_MAX];
    std::size_t n = 0;
    {
      Few few(word);
      for (; n < few.size(); ++n) ids[n] = few[n];
    }
    roaring_bitmap_t* made = roaring_of(std::span<const uint32_t>(ids, n));
    release_word(word);
    word = reinterpret_cast<std::uintptr_t>(made);
  }
  return rb(word);
}

// Bitmap::add for a set not in the CRoaring form.
[[gnu::noinline]] void add_to_small(std::uintptr_t& word, uint32_t id) {
  switch (form_of(word)) {
    case Form::Empty:
      word = one_word(id);
      return;
    case Form::One: {
      const uint32_t held = one_id(word);
      if (held == id) return;
      const uint32_t both[2] = {std::min(held, id), std::max(held, id)};
      assign_word(word, both);
      return;
    }
    case Form::Few: {
      uint16_t* block = FewBlock::of(word);
      if ((id >> 16) != block[0]) {
        if (block[1] >= SPREAD_MAX) break;
        // Under another key: the ids move to a spread block.
        uint32_t ids[SPREAD_MAX];
        std::size_t n = 0;
        {
          Few few(word);
          bool placed = false;
          for (std::size_t i = 0; i < few.size(); ++i) {
            if (!placed && id < few[i]) ids[n++] = id, placed = true;
            ids[n++] = few[i];
          }
          if (!placed) ids[n++] = id;
        }
        assign_word(word, std::span<const uint32_t>(ids, n));
        return;
      }
      if (FewBlock::insert(word, static_cast<uint16_t>(id), FEW_MAX, few_grown)) return;
      break;
    }
    case Form::Spread:
      if (SpreadBlock::insert(word, id, SPREAD_MAX, spread_grown)) return;
      break;
    case Form::Roaring:
      break;
  }
  roaring_bitmap_add(roaring_word_of(word), id);
}

}  // namespace

void Bitmap::release() noexcept {
  release_word(word_);
}

void Bitmap::assign_ascending(std::span<const uint32_t> ids) {
  assign_word(word_, ids);
}

void* Bitmap::to_roaring() {
  return roaring_word_of(word_);
}

void Bitmap::add(uint32_t id) {
  if (is_roaring()) [[likely]] {
    roaring_bitmap_add(rb(word_), id);
  } else {
    add_to_small(word_, id);
  }
}

void Bitmap::add_many(std::span<const uint32_t> ids) {
  if (ids.empty()) return;
  if (!is_roaring()) {
    if (cardinality() + ids.size() <= FEW_MAX) {
      if (!strictly_ascending(ids)) {
        for (uint32_t id : ids) add(id);
        return;
      }
      // An ascending batch (a flushed write buffer) is merged in one pass
      // and stored at once.
      uint32_t merged[FEW_MAX];
      std::size_t n = 0;
      {
        Few mine(word_);
        std::size_t i = 0, j = 0;
        while (i < mine.size() && j < ids.size()) {
          const uint32_t a = mine[i], b = ids[j];
          merged[n++] = std::min(a, b);
          i += a <= b;
          j += b <= a;
        }
        for (; i < mine.size(); ++i) merged[n++] = mine[i];
        for (; j < ids.size(); ++j) merged[n++] = ids[j];
        if (n == mine.size()) return;
      }
      assign_ascending(std::span<const uint32_t>(merged, n));
      return;
    }
    if (word_ == 0 && ids.size() > FEW_MAX && strictly_ascending(ids)) {
      // A new set is the built image itself, not a copy of it.
      assign_word(word_, ids);
      return;
    }
    to_roaring();
  }
  roaring_add_many(rb(word_), ids);
}

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
  if (!is_roaring()) {
    if (cardinality() + card <= FEW_MAX) {
      for_each_bit([&](uint16_t low) { add(base | low); });
      return;
    }
    to_roaring();
  }
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
    if (merge_built(rb(word_), image.read())) return;
  }
  std::vector<uint32_t> ids;
  ids.reserve(card);
  for_each_bit([&](uint16_t low) { ids.push_back(base | low); });
  roaring_bitmap_add_many(rb(word_), ids.size(), ids.data());
}

void Bitmap::remove(uint32_t id) {
  switch (form_of(word_)) {
    case Form::Empty:
      return;
    case Form::One:
      if (one_id(word_) == id) word_ = 0;
      return;
    case Form::Few:
    case Form::Spread: {
      const bool few = form_of(word_) == Form::Few;
      if (few && (id >> 16) != FewBlock::of(word_)[0]) return;
      const std::size_t left =
          few ? FewBlock::erase(word_, static_cast<uint16_t>(id)) : SpreadBlock::erase(word_, id);
      if (left == 1) {
        const uint32_t last = Few(word_)[0];
        release();
        word_ = one_word(last);
      }
      return;
    }
    case Form::Roaring:
      roaring_bitmap_remove(rb(word_), id);
      if (roaring_bitmap_is_empty(rb(word_))) release();
      return;
  }
}

bool Bitmap::contains(uint32_t id) const {
  if (is_roaring()) return roaring_bitmap_contains(rb(word_), id);
  return Few(word_).contains(id);
}

void Bitmap::clear() {
  release();
}

uint64_t Bitmap::cardinality() const {
  switch (form_of(word_)) {
    case Form::Empty:
      return 0;
    case Form::One:
      return 1;
    case Form::Few:
      return FewBlock::of(word_)[1];
    case Form::Spread:
      return SpreadBlock::of(word_)[0];
    case Form::Roaring:
      break;
  }
  return roaring_bitmap_get_cardinality(rb(word_));
}
bool Bitmap::is_empty() const {
  return word_ == 0 || (is_roaring() && roaring_bitmap_is_empty(rb(word_)));
}
std::optional<uint32_t> Bitmap::maximum() const {
  if (is_empty()) return std::nullopt;
  if (is_roaring()) return roaring_bitmap_maximum(rb(word_));
  Few few(word_);
  return few[few.size() - 1];
}
bool Bitmap::is_within(IdInterval bounds) const {
  if (is_empty()) return true;
  if (is_roaring()) {
    return bounds.contains(roaring_bitmap_minimum(rb(word_))) &&
           bounds.contains(roaring_bitmap_maximum(rb(word_)));
  }
  Few few(word_);
  return bounds.contains(few[0]) && bounds.contains(few[few.size() - 1]);
}

namespace {

// The ids of the few-ids side `few` that `other` holds (or, with `keep` false,
// does not hold), into `out` (room for FEW_MAX); returns their count.
template <class Set>
std::size_t filter_few(const Few& few, const Set& other, bool keep, uint32_t* out) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < few.size(); ++i) {
    if (other.contains(few[i]) == keep) out[n++] = few[i];
  }
  return n;
}

// The bounds of a CRoaring set that holds every id from its minimum to its
// maximum, as an engine's members do until it drops one (none for any other
// set): whether another set lies within it then follows from the bounds,
// with no pass over either set. A few membership probes turn most other sets
// away before the maximum, which can cost a scan over a chunk's empty tail.
std::optional<IdInterval> interval_of(const roaring_bitmap_t* r) {
  if (roaring_bitmap_is_empty(r)) return std::nullopt;
  const uint64_t card = roaring_bitmap_get_cardinality(r);
  const uint32_t lo = roaring_bitmap_minimum(r);
  const uint64_t hi = lo + card - 1;  // the maximum, if it is an interval
  if (hi > UINT32_MAX) return std::nullopt;
  for (uint64_t k = 1; k <= 4; ++k) {
    if (!roaring_bitmap_contains(r, static_cast<uint32_t>(lo + (card - 1) * k / 4))) {
      return std::nullopt;
    }
  }
  if (roaring_bitmap_maximum(r) != hi) return std::nullopt;
  return IdInterval{lo, static_cast<uint32_t>(hi)};
}

// Whether the CRoaring set `inner` is non-empty and lies within the set
// `outer` because `outer` is an interval around it.
bool within_interval(const roaring_bitmap_t* inner, const roaring_bitmap_t* outer) {
  if (roaring_bitmap_is_empty(inner)) return false;
  const std::optional<IdInterval> bounds = interval_of(outer);
  return bounds && roaring_bitmap_minimum(inner) >= bounds->lo &&
         roaring_bitmap_maximum(inner) <= bounds->hi;
}

}  // namespace

std::optional<IdInterval> Bitmap::interval() const {
  if (is_empty()) return std::nullopt;
  if (is_roaring()) return interval_of(rb(word_));
  Few few(word_);
  const uint32_t lo = few[0], hi = few[few.size() - 1];
  if (uint64_t{hi} - lo + 1 != few.size()) return std::nullopt;
  return IdInterval{lo, hi};
}

void Bitmap::union_with(const Bitmap& other) {
  if (this == &other || other.word_ == 0) return;
  if (other.is_roaring()) {
    if (word_ == 0) {
      *this = other;
    } else {
      roaring_bitmap_or_inplace(static_cast<roaring_bitmap_t*>(to_roaring()), rb(other.word_));
    }
    return;
  }
  Few theirs(other.word_);
  uint32_t ids[2 * FEW_MAX];
  if (is_roaring()) {
    for (std::size_t i = 0; i < theirs.size(); ++i) ids[i] = theirs[i];
    roaring_bitmap_add_many(rb(word_), theirs.size(), ids);
    return;
  }
  std::size_t n = 0;
  {
    Few mine(word_);
    std::size_t i = 0, j = 0;
    while (i < mine.size() && j < theirs.size()) {
      const uint32_t a = mine[i], b = theirs[j];
      ids[n++] = std::min(a, b);
      i += a <= b;
      j += b <= a;
    }
    for (; i < mine.size(); ++i) ids[n++] = mine[i];
    for (; j < theirs.size(); ++j) ids[n++] = theirs[j];
    if (n == mine.size()) return;  // nothing new
  }
  assign_ascending(std::span<const uint32_t>(ids, n));
}

void Bitmap::intersect_with(const Bitmap& other) {
  if (this == &other || word_ == 0) return;
  if (other.word_ == 0) {
    release();
    return;
  }
  if (is_roaring() && other.is_roaring()) {
    if (within_interval(rb(word_), rb(other.word_))) return;
    roaring_bitmap_and_inplace(rb(word_), rb(other.word_));
    if (roaring_bitmap_is_empty(rb(word_))) release();
    return;
  }
  // One side is small: the result is its ids that the other side holds.
  const bool mine_small = !is_roaring();
  uint32_t ids[FEW_MAX];
  std::size_t n;
  {
    Few few(mine_small ? word_ : other.word_);
    n = filter_few(few, mine_small ? other : *this, true, ids);
    if (mine_small && n == few.size()) return;
  }
  assign_ascending(std::span<const uint32_t>(ids, n));
}

void Bitmap::difference_with(const Bitmap& other) {
  // CRoaring requires distinct operands for the in-place difference.
  if (this == &other) {
    release();
    return;
  }
  if (word_ == 0 || other.word_ == 0) return;
  if (is_roaring()) {
    if (other.is_roaring()) {
      roaring_bitmap_andnot_inplace(rb(word_), rb(other.word_));
    } else {
      Few theirs(other.word_);
      for (std::size_t i = 0; i < theirs.size(); ++i) roaring_bitmap_remove(rb(word_), theirs[i]);
    }
    if (roaring_bitmap_is_empty(rb(word_))) release();
    return;
  }
  uint32_t ids[FEW_MAX];
  std::size_t n;
  {
    Few mine(word_);
    n = filter_few(mine, other, false, ids);
    if (n == mine.size()) return;
  }
  assign_ascending(std::span<const uint32_t>(ids, n));
}

void Bitmap::difference_with(const Bitmap& other, const DenseIds& dense,
                             std::vector<uint32_t>* gone) {
  if (word_ == 0 || other.word_ == 0) return;
  if (is_roaring()) {
    const uint64_t mine = roaring_bitmap_get_cardinality(rb(word_));
    if (mine > other.cardinality()) {
      if (gone == nullptr) return difference_with(other);
      // The ids taken out are found once, and only they are merged away.
      const Bitmap taken = intersected(other);
      taken.for_each([gone](uint32_t id) { gone->push_back(id); });
      return difference_with(taken);
    }
    // No larger than the ids taken out: its own ids are looked up in the
    // dense form, which costs in proportion to this set rather than to a
    // merge with every container of the other (a value held by a few
    // hundred objects, narrowed by tens of thousands).
    std::vector<uint32_t> own_gone;
    std::vector<uint32_t>& out = gone != nullptr ? *gone : own_gone;
    const std::size_t first = out.size();
    for_each([&](uint32_t id) {
      if (dense.contains(id)) out.push_back(id);
    });
    if (out.size() == first) return;
    roaring_bitmap_remove_many(rb(word_), out.size() - first, out.data() + first);
    if (roaring_bitmap_is_empty(rb(word_))) release();
    return;
  }
  uint32_t ids[FEW_MAX];
  std::size_t n;
  {
    Few mine(word_);
    n = filter_few(mine, dense, false, ids);
    if (n == mine.size()) return;
    if (gone != nullptr) {
      for (std::size_t i = 0; i < mine.size(); ++i) {
        if (dense.contains(mine[i])) gone->push_back(mine[i]);
      }
    }
  }
  assign_ascending(std::span<const uint32_t>(ids, n));
}

Bitmap Bitmap::unioned(const Bitmap& other) const {
  if (is_roaring() && other.is_roaring()) {
    return Bitmap(Adopt{}, roaring_bitmap_or(rb(word_), rb(other.word_)));
  }
  // Copy the larger side, then add the smaller one to it.
  const bool other_larger =
      other.is_roaring() || (!is_roaring() && other.cardinality() > cardinality());
  Bitmap result(other_larger ? other : *this);
  result.union_with(other_larger ? *this : other);
  return result;
}
Bitmap Bitmap::intersected(const Bitmap& other) const {
  Bitmap result;
  if (word_ == 0 || other.word_ == 0) return result;
  if (is_roaring() && other.is_roaring()) {
    // A set within an interval set is its own intersection with it.
    if (within_interval(rb(word_), rb(other.word_))) return *this;
    if (within_interval(rb(other.word_), rb(word_))) return other;
    result = Bitmap(Adopt{}, roaring_bitmap_and(rb(word_), rb(other.word_)));
    if (roaring_bitmap_is_empty(rb(result.word_))) result.release();
    return result;
  }
  const bool mine_small = !is_roaring();
  uint32_t ids[FEW_MAX];
  std::size_t n;
  {
    Few few(mine_small ? word_ : other.word_);
    n = filter_few(few, mine_small ? other : *this, true, ids);
  }
  result.assign_ascending(std::span<const uint32_t>(ids, n));
  return result;
}
Bitmap Bitmap::differenced(const Bitmap& other) const {
  if (is_roaring() && other.is_roaring()) {
    Bitmap result(Adopt{}, roaring_bitmap_andnot(rb(word_), rb(other.word_)));
    if (roaring_bitmap_is_empty(rb(result.word_))) result.release();
    return result;
  }
  Bitmap result(*this);
  result.difference_with(other);
  return result;
}
bool Bitmap::intersects(const Bitmap& other) const {
  if (word_ == 0 || other.word_ == 0) return false;
  if (is_roaring() && other.is_roaring())
    return roaring_bitmap_intersect(rb(word_), rb(other.word_));
  const bool mine_small = !is_roaring();
  Few few(mine_small ? word_ : other.word_);
  const Bitmap& large = mine_small ? other : *this;
  for (std::size_t i = 0; i < few.size(); ++i) {
    if (large.contains(few[i])) return true;
  }
  return false;
}

uint64_t Bitmap::intersection_cardinality(const Bitmap& other) const {
  if (word_ == 0 || other.word_ == 0) return 0;
  if (is_roaring() && other.is_roaring()) {
    if (within_interval(rb(word_), rb(other.word_))) return cardinality();
    return roaring_bitmap_and_cardinality(rb(word_), rb(other.word_));
  }
  const bool mine_small = !is_roaring();
  Few few(mine_small ? word_ : other.word_);
  const Bitmap& large = mine_small ? other : *this;
  uint64_t n = 0;
  for (std::size_t i = 0; i < few.size(); ++i) n += large.contains(few[i]) ? 1 : 0;
  return n;
}

bool Bitmap::is_subset_of(const Bitmap& other) const {
  if (this == &other || is_empty()) return true;
  if (other.word_ == 0) return false;
  if (is_roaring() && other.is_roaring()) {
    return within_interval(rb(word_), rb(other.word_)) ||
           roaring_bitmap_is_subset(rb(word_), rb(other.word_));
  }
  if (!is_roaring()) {
    Few mine(word_);
    for (std::size_t i = 0; i < mine.size(); ++i) {
      if (!other.contains(mine[i])) return false;
    }
    return true;
  }
  // A CRoaring set within a small one: it is small as well.
  if (cardinality() > other.cardinality()) return false;
  bool subset = true;
  for_each([&](uint32_t id) {
    subset = other.contains(id);
    return subset;
  });
  return subset;
}

void Bitmap::iterate_raw(bool (*fn)(uint32_t, void*), void* ctx) const {
  if (is_roaring()) {
    roaring_iterate(rb(word_), fn, ctx);
    return;
  }
  Few few(word_);
  for (std::size_t i = 0; i < few.size(); ++i) {
    if (!fn(few[i], ctx)) return;
  }
}

std::vector<uint32_t> Bitmap::to_vector() const {
  std::vector<uint32_t> out(cardinality());
  if (!out.empty()) copy_to(out.data());
  return out;
}

void Bitmap::copy_to(uint32_t* out) const {
  if (is_roaring()) {
    roaring_bitmap_to_uint32_array(rb(word_), out);
    return;
  }
  Few few(word_);
  for (std::size_t i = 0; i < few.size(); ++i) out[i] = few[i];
}

std::size_t Bitmap::copy_from(uint32_t first, std::span<uint32_t> out) const {
  if (out.empty()) return 0;
  if (is_roaring()) {
    // The iterator's names of CRoaring 0.2, which 4.x keeps as deprecated
    // aliases.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    roaring_uint32_iterator_t it;
    roaring_init_iterator(rb(word_), &it);
    if (!roaring_move_uint32_iterator_equalorlarger(&it, first)) return 0;
    return roaring_read_uint32_iterator(&it, out.data(), static_cast<uint32_t>(out.size()));
#pragma GCC diagnostic pop
  }
  Few few(word_);
  std::size_t i = 0;
  while (i < few.size() && few[i] < first) ++i;
  std::size_t n = 0;
  for (; i < few.size() && n < out.size(); ++i) out[n++] = few[i];
  return n;
}

void Bitmap::optimize() {
  switch (form_of(word_)) {
    case Form::Few: {
      uint16_t* block = FewBlock::of(word_);
      if (block[1] < block[2]) word_ = FewBlock::word(FewBlock::resize(block, block[1]));
      return;
    }
    case Form::Spread: {
      uint32_t* block = SpreadBlock::of(word_);
      const std::size_t fit = spread_capacity_for(block[0]);
      if (fit < block[1]) word_ = SpreadBlock::word(SpreadBlock::resize(block, fit));
      return;
    }
    case Form::Roaring:
      roaring_bitmap_run_optimize(rb(word_));
      roaring_bitmap_shrink_to_fit(rb(word_));
      return;
    default:
      return;
  }
}
std::size_t Bitmap::size_in_bytes() const {
  switch (form_of(word_)) {
    case Form::Few:
      return FewBlock::bytes(FewBlock::of(word_)[2]);
    case Form::Spread:
      return SpreadBlock::bytes(SpreadBlock::of(word_)[1]);
    case Form::Roaring:
      return roaring_bitmap_size_in_bytes(rb(word_));
    default:
      return 0;
  }
}

bool operator==(const Bitmap& a, const Bitmap& b) {
  if (a.is_roaring() && b.is_roaring()) return roaring_bitmap_equals(rb(a.word_), rb(b.word_));
  return a.cardinality() == b.cardinality() && a.is_subset_of(b);
}

}  // namespace quorvane
