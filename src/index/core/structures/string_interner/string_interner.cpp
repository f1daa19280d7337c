#include "index/core/structures/string_interner/string_interner.h"

#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "util/lock.h"
#include "util/panic.h"

namespace quorvane {
namespace {

// The first table holds up to 32 names.
constexpr unsigned INITIAL_TABLE_BITS = 6;

// Texts are copied into chunks of this size; a text longer than
// OWN_CHUNK_FROM gets a chunk of its own so that it wastes no chunk tail.
constexpr std::size_t CHUNK_BYTES = 64 * 1024;
constexpr std::size_t OWN_CHUNK_FROM = CHUNK_BYTES / 8;

// A slot holds the low 32 bits of the name's hash (checked before the bytes
// are compared) above id + 1; 0 marks a free slot.
uint64_t make_slot(uint64_t hash, uint32_t id) {
  return (hash << 32) | (uint64_t{id} + 1);
}

}  // namespace

// An open-addressing table with linear probing, at most half full. Slots are
// only ever filled, never changed or cleared, so a reader probing while the
// writer fills a slot sees either the slot or its absence.
struct StrInterner::Table {
  Table(unsigned table_bits, const Table* previous)
      : bits(table_bits),
        mask((std::size_t{1} << table_bits) - 1),
        replaced(previous),
        slots(std::size_t{1} << table_bits) {}

  std::size_t capacity() const noexcept { return mask + 1; }
  // Position from the high bits of the hash; the tag in the slot uses the low ones.
  std::size_t home(uint64_t hash) const noexcept { return hash >> (64 - bits); }

  // Writer only, with room left (the table never gets more than half full).
  void insert(uint64_t hash, uint32_t id) noexcept {
    std::size_t i = home(hash);
    while (slots[i].load(std::memory_order_relaxed) != 0) i = (i + 1) & mask;
    slots[i].store(make_slot(hash, id), std::memory_order_release);
  }

  unsigned bits;
  std::size_t mask;
  // The table this one replaced, freed with the interner.
  const Table* replaced;
  std::vector<std::atomic<uint64_t>> slots;
};

// A block of text bytes; the bytes follow the header.
struct StrInterner::Chunk {
  Chunk* next;
};

StrInterner::StrInterner(ByteHashFn byte_hash) : byte_hash_(byte_hash) {
  auto table = std::make_unique<Table>(INITIAL_TABLE_BITS, nullptr);
  track(this);
  table_.store(table.release(), std::memory_order_release);
}

StrInterner::~StrInterner() {
  untrack(this);
  for (const Table* table = table_.load(std::memory_order_relaxed); table != nullptr;) {
    const Table* replaced = table->replaced;
    delete table;
    table = replaced;
  }
  for (auto& segment : segments_) delete[] segment.load(std::memory_order_relaxed);
  for (Chunk* chunk = chunks_; chunk != nullptr;) {
    Chunk* next = chunk->next;
    ::operator delete(chunk);
    chunk = next;
  }
}

uint64_t StrInterner::key_hash(std::string_view text) const {
  // The length is mixed in so that texts told apart by length never share a
  // position even under a degenerate byte hash; the final mix spreads any
  // byte hash over both the position (high) and the tag (low) bits.
  uint64_t h = byte_hash_(text) ^ (uint64_t{text.size()} * 0x9e3779b97f4a7c15ull);
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h;
}

StrInterner::Place StrInterner::place_of(uint32_t id) noexcept {
  // Offsetting by the first segment's size makes the segment the position of
  // the highest set bit and the index within it the remaining bits.
  const uint64_t v = uint64_t{id} + (uint64_t{1} << FIRST_SEGMENT_BITS);
  const unsigned top = static_cast<unsigned>(std::bit_width(v)) - 1;
  return {top - FIRST_SEGMENT_BITS, static_cast<std::size_t>(v - (uint64_t{1} << top))};
}

const StrInterner::Entry& StrInterner::entry(uint32_t id) const {
  const Place place = place_of(id);
  return segments_[place.segment].load(std::memory_order_acquire)[place.index];
}

StrInterner::Entry& StrInterner::new_entry(uint32_t id) {
  const Place place = place_of(id);
  Entry* segment = segments_[place.segment].load(std::memory_order_relaxed);
  if (segment == nullptr) {
    segment = new Entry[std::size_t{1} << (FIRST_SEGMENT_BITS + place.segment)];
    segments_[place.segment].store(segment, std::memory_order_release);
  }
  return segment[place.index];
}

std::optional<uint32_t> StrInterner::lookup(const Table& table, std::string_view text,
                                            uint64_t hash) const {
  const auto tag = static_cast<uint32_t>(hash);
  for (std::size_t i = table.home(hash);; i = (i + 1) & table.mask) {
    // Acquire: the entry of an id seen here was written before its slot.
    const uint64_t slot = table.slots[i].load(std::memory_order_acquire);
    if (slot == 0) return std::nullopt;
    if (static_cast<uint32_t>(slot >> 32) != tag) continue;
    const auto id = static_cast<uint32_t>(slot) - 1;
    const Entry& e = entry(id);
    if (std::string_view(e.bytes, e.len) != text) continue;
    // An id is answered only once counted (see intern), so that the names
    // found and the ids below size() always agree.
    if (id >= size_.load(std::memory_order_acquire)) return std::nullopt;
    return id;
  }
}

std::optional<uint32_t> StrInterner::find(std::string_view text) const {
  // Longer texts are never stored (and hashing one would be slow).
  if (text.size() > MAX_INTERNED_LEN) return std::nullopt;
  return lookup(*table_.load(std::memory_order_acquire), text, key_hash(text));
}

std::string_view StrInterner::str(uint32_t id) const {
  const uint32_t count = size_.load(std::memory_order_acquire);
  if (id >= count) panic_out_of_bounds(id, count);
  const Entry& e = entry(id);
  return {e.bytes, e.len};
}

const char* StrInterner::copy_text(std::string_view text) {
  const std::size_t len = text.size();
  char* dest;
  if (len <= static_cast<std::size_t>(arena_end_ - arena_cursor_)) {
    dest = arena_cursor_;
    arena_cursor_ += len;
  } else {
    const bool own = len > OWN_CHUNK_FROM;
    const std::size_t bytes = own ? len : CHUNK_BYTES;
    auto* chunk = new (::operator new(sizeof(Chunk) + bytes)) Chunk{chunks_};
    chunks_ = chunk;
    dest = reinterpret_cast<char*>(chunk + 1);
    if (!own) {
      arena_cursor_ = dest + len;
      arena_end_ = dest + bytes;
    }
  }
  if (len != 0) std::memcpy(dest, text.data(), len);
  return dest;
}

uint32_t StrInterner::intern(std::string_view text) {
  // Checked before locking: a bad name must not get in anyone else's way.
  check(text.size() <= MAX_INTERNED_LEN, "attribute name too long to intern");
  const uint64_t hash = key_hash(text);
  if (auto id = lookup(*table_.load(std::memory_order_acquire), text, hash)) return *id;

  // The lock family never holds a lock while it waits for the interpreter
  // lock, so the fork handler below may block on it with the interpreter
  // lock held.
  auto guard = writer_.lock();
  // Only the mutex holder replaces the table, so this one is current.
  Table* table = table_.load(std::memory_order_relaxed);
  if (auto id = lookup(*table, text, hash)) return *id;  // added meanwhile by another thread
  const uint32_t id = size_.load(std::memory_order_relaxed);
  check(id < std::numeric_limits<uint32_t>::max(), "attribute name ids exhausted");

  // Everything that can fail is done before anything is published, so a
  // failure leaves the interner as it was (and there is nothing to poison).
  Entry& fresh = new_entry(id);
  std::unique_ptr<Table> grown;
  if (2 * (std::size_t{id} + 1) > table->capacity()) {
    grown = std::make_unique<Table>(table->bits + 1, table);
  }
  const char* bytes = copy_text(text);

  fresh = Entry{bytes, hash, static_cast<uint32_t>(text.size())};
  if (grown) {
    for (uint32_t i = 0; i <= id; ++i) grown->insert(entry(i).hash, i);
    // The replaced table stays allocated: readers may still be probing it.
    table_.store(grown.release(), std::memory_order_release);
  } else {
    table->insert(hash, id);
  }
  // Counted last: from here on `find` answers the id and `str` accepts it.
  size_.store(id + 1, std::memory_order_release);
  return id;
}

// Fork. A child gets the memory as it was at the fork, with the calling
// thread only. Were another thread halfway through adding a name, the child
// would inherit a mutex locked by a thread it does not have, next to a
// half-made entry or table, so re-creating the mutex in the child would not
// be enough. Instead a pthread_atfork handler takes the mutex of every live
// interner before the fork (waiting for additions in progress to finish), and
// both parent and child release them afterwards: the child inherits a
// complete interner with a free mutex. Registered here, once, so that every
// fork (os.fork, multiprocessing, or native code) is covered without the
// callers having to remember.
namespace {

struct LiveInterners {
  std::mutex mutex;
  std::vector<StrInterner*> list;
};

LiveInterners& live_interners() {
  // Deliberately leaked, like INTERNER(): forks may happen while the process exits.
  static auto* const live = new LiveInterners();
  return *live;
}

}  // namespace

void StrInterner::track(StrInterner* interner) {
  static const bool registered =
      pthread_atfork(&lock_all_before_fork, &unlock_all_after_fork, &unlock_all_after_fork) == 0;
  check(registered, "cannot register the interner's fork handlers");
  LiveInterners& live = live_interners();
  std::lock_guard<std::mutex> guard(live.mutex);
  live.list.push_back(interner);
}

void StrInterner::untrack(StrInterner* interner) {
  LiveInterners& live = live_interners();
  std::lock_guard<std::mutex> guard(live.mutex);
  live.list.erase(std::find(live.list.begin(), live.list.end(), interner));
}

void StrInterner::lock_all_before_fork() {
  // Plain blocking locks, without the wait hook: the forking thread may hold
  // the interpreter lock, and no writer holds its lock while it waits for it.
  LiveInterners& live = live_interners();
  live.mutex.lock();
  for (StrInterner* interner : live.list) interner->writer_.hold_for_fork();
}

void StrInterner::unlock_all_after_fork() {
  // In the child the calling thread is the one that locked them all.
  LiveInterners& live = live_interners();
  for (StrInterner* interner : live.list) interner->writer_.release_after_fork();
  live.mutex.unlock();
}

StrInterner& INTERNER() {
  // Deliberately leaked: threads may still intern while the process exits.
  static StrInterner* const interner = new StrInterner();
  return *interner;
}

}  // namespace quorvane
