// The attribute-name interner: every distinct attribute name gets a dense
// 32-bit id (0, 1, 2, ... in order of first use) that is never reused.
//
// Reads never lock: `find` probes an open-addressing table published
// through an atomic pointer, and `str` indexes a segmented array whose
// segments never move. Only a new name takes the mutex; it appends one
// entry and one slot, so interning is amortised O(1). When the table fills
// up it is rebuilt at double the size and republished; the replaced tables
// are kept until the interner is destroyed (the process-wide one never is),
// because a reader may still be probing one and there is no cheaper way to
// know when the last has left.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

#include "util/fxhash.h"
#include "util/lock.h"
#include "util/panic.h"

namespace quorvane {

// The longest text the interner stores; a longer one is an internal failure.
inline constexpr std::size_t MAX_INTERNED_LEN = 2147483636;

// 64-bit hash of a text's bytes; replaceable per interner (tests force collisions).
using ByteHashFn = uint64_t (*)(std::string_view);

class StrInterner {
 public:
  // `byte_hash` is the hash of a text's bytes behind the table position;
  // tests replace it to force collisions.
  explicit StrInterner(ByteHashFn byte_hash = &hash_bytes);
  ~StrInterner();
  StrInterner(const StrInterner&) = delete;
  StrInterner& operator=(const StrInterner&) = delete;

  // The id of `text` if it was interned before; never adds anything. Takes
  // no lock and allocates nothing. A name being interned by another thread
  // at the same time may or may not be seen.
  std::optional<uint32_t> find(std::string_view text) const;
  // The id of `text`, created if new. A known name is answered like `find`;
  // a new one takes the mutex. Throws `Panic` for a text longer than
  // MAX_INTERNED_LEN (before locking) and when the 2^32 - 1 ids are used up.
  uint32_t intern(std::string_view text);
  // The text of `id`, valid for the life of the interner. Takes no lock.
  // Throws `Panic` (out of bounds) for an id not handed out yet.
  std::string_view str(uint32_t id) const;
  // Number of ids handed out; they are exactly [0, size() - 1], and `find`
  // answers the name of each of them.
  std::size_t size() const noexcept { return size_.load(std::memory_order_acquire); }

 private:
  struct Entry {
    const char* bytes;
    uint64_t hash;
    uint32_t len;
  };
  struct Table;
  struct Chunk;

  // Segment k holds 2^(FIRST_SEGMENT_BITS + k) entries, so SEGMENTS of them
  // cover every 32-bit id; a segment, once allocated, never moves.
  static constexpr unsigned FIRST_SEGMENT_BITS = 8;
  static constexpr std::size_t SEGMENTS = 33 - FIRST_SEGMENT_BITS;

  struct Place {
    unsigned segment;
    std::size_t index;
  };
  static Place place_of(uint32_t id) noexcept;

  uint64_t key_hash(std::string_view text) const;
  std::optional<uint32_t> lookup(const Table& table, std::string_view text, uint64_t hash) const;
  const Entry& entry(uint32_t id) const;
  Entry& new_entry(uint32_t id);
  const char* copy_text(std::string_view text);

  // Fork handling over every live interner (see the .cpp).
  static void track(StrInterner* interner);
  static void untrack(StrInterner* interner);
  static void lock_all_before_fork();
  static void unlock_all_after_fork();

  ByteHashFn byte_hash_;
  std::atomic<Table*> table_{nullptr};
  std::array<std::atomic<Entry*>, SEGMENTS> segments_{};
  std::atomic<uint32_t> size_{0};

  // Writer side, touched only with `writer_` held. Nothing that can fail runs
  // under it after the first change, so it is never poisoned in practice.
  struct Writer {};
  Mutex<Writer> writer_{LEAF};
  char* arena_cursor_ = nullptr;
  char* arena_end_ = nullptr;
  Chunk* chunks_ = nullptr;
};

// The process-wide interner of attribute names: created on first use, never destroyed.
StrInterner& INTERNER();

}  // namespace quorvane
