// The attribute-name interner: every distinct attribute name gets a dense
// 32-bit id (0, 1, 2, ... in order of first use) that is never reused.
//
// Growing happens on the mutex-guarded `MutableInterner`; after each new
// name it is frozen into an `ImmutableInterner` snapshot and published
// through an atomically swapped shared pointer, so the common read path
// (names already known) never waits on the mutex and allocates nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "util/fxhash.h"
#include "util/lock.h"

namespace quorvane {

// The longest text the interner stores; a longer one is an internal failure.
inline constexpr std::size_t MAX_INTERNED_LEN = 2147483636;

// 64-bit hash of a text's bytes; replaceable per interner (tests force collisions).
using ByteHashFn = uint64_t (*)(std::string_view);

// An immutable shared string: one allocation holding the reference count and
// the bytes. Copies share the bytes; the text never changes.
class InternedStr {
 public:
  explicit InternedStr(std::string_view text);
  std::string_view view() const noexcept { return {bytes_.get(), size_}; }
  std::size_t size() const noexcept { return size_; }

 private:
  std::shared_ptr<const char[]> bytes_;
  std::size_t size_;
};

// Lookup key: (string hash, byte length). Different texts may share a key;
// the ids stored under it are told apart by comparing the stored bytes.
struct InternKey {
  uint64_t hash;
  uint32_t len;
  friend bool operator==(const InternKey&, const InternKey&) = default;
};

// FxHash over (low half of the string hash, high half, byte length).
struct InternKeyHash {
  std::size_t operator()(const InternKey& key) const noexcept {
    return FxHasher().word64(key.hash).word(key.len).finish();
  }
};

using InternLookup =
    absl::flat_hash_map<InternKey, absl::InlinedVector<uint32_t, 1>, InternKeyHash>;

// A frozen, read-only copy of the interner. Safe to read from any thread
// without locking; it never changes after construction.
class ImmutableInterner {
 public:
  ImmutableInterner(std::vector<InternedStr> strings, InternLookup lookup, ByteHashFn byte_hash)
      : strings_(std::move(strings)), lookup_(std::move(lookup)), byte_hash_(byte_hash) {}

  // The id of `text` if this snapshot knows it. Takes no lock, allocates nothing.
  std::optional<uint32_t> get(std::string_view text) const;
  // The text of `id`; an id this snapshot does not know throws `Panic` (bounds).
  std::string_view str(uint32_t id) const;
  // Number of ids known; they are exactly [0, size() - 1].
  std::size_t size() const noexcept { return strings_.size(); }

 private:
  std::vector<InternedStr> strings_;
  InternLookup lookup_;
  ByteHashFn byte_hash_;
};

// The growing side. Not synchronised: `StrInterner` keeps it behind its mutex.
class MutableInterner {
 public:
  explicit MutableInterner(ByteHashFn byte_hash);

  // Returns the id of `text`, appending it if it is new; `created` tells which.
  // `text` must be at most MAX_INTERNED_LEN bytes (checked by the caller, so
  // that a bad name never fails while the mutex is held).
  uint32_t intern(std::string_view text, bool& created);
  // A complete snapshot; strings are shared, the lookup map is copied.
  ImmutableInterner freeze() const;

 private:
  std::vector<InternedStr> strings_;
  InternLookup lookup_;
  ByteHashFn byte_hash_;
};

// An atomically swappable shared pointer. Readers hold a spin flag only for
// the reference-count increment of one copy and never wait on the interner
// mutex. (std::atomic<std::shared_ptr> is not used: the GCC 12 library
// releases its internal lock with relaxed order after a load, which races
// with the next store.)
template <class T>
class AtomicSharedPtr {
 public:
  explicit AtomicSharedPtr(std::shared_ptr<T> ptr) : ptr_(std::move(ptr)) {}

  std::shared_ptr<T> load() const noexcept {
    lock();
    std::shared_ptr<T> copy = ptr_;
    busy_.store(false, std::memory_order_release);
    return copy;
  }
  // The replaced pointer is dropped after the flag is released, so a reader
  // never waits for a snapshot to be destroyed.
  void store(std::shared_ptr<T> next) noexcept {
    lock();
    ptr_.swap(next);
    busy_.store(false, std::memory_order_release);
  }

 private:
  void lock() const noexcept {
    while (busy_.exchange(true, std::memory_order_acquire)) {
      while (busy_.load(std::memory_order_relaxed)) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
      }
    }
  }

  mutable std::atomic<bool> busy_{false};
  std::shared_ptr<T> ptr_;
};

// The interner: the growing side under a mutex plus the published snapshot.
class StrInterner {
 public:
  // `byte_hash` is the hash of a text's bytes behind the lookup key; tests
  // replace it to force collisions.
  explicit StrInterner(ByteHashFn byte_hash = &hash_bytes);
  StrInterner(const StrInterner&) = delete;
  StrInterner& operator=(const StrInterner&) = delete;

  // The id of `text`, created if needed. Known names are answered from the
  // snapshot without locking; a new name takes the mutex and publishes a new
  // snapshot before returning. Throws `Panic` for a text longer than
  // MAX_INTERNED_LEN and when the mutex is poisoned.
  uint32_t intern(std::string_view text);
  // The current snapshot. Holding it keeps it alive (and valid) while newer
  // snapshots are published; it contains every id handed out before the load.
  std::shared_ptr<const ImmutableInterner> snapshot() const { return immutable_.load(); }

 private:
  Mutex<MutableInterner> mutable_;
  AtomicSharedPtr<const ImmutableInterner> immutable_;
};

// The process-wide interner of attribute names: created on first use, never destroyed.
StrInterner& INTERNER();

}  // namespace quorvane
