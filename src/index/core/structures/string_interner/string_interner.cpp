#include "index/core/structures/string_interner/string_interner.h"

#include <cstring>
#include <limits>

#include "util/panic.h"

namespace quorvane {
namespace {

constexpr std::size_t INITIAL_CAPACITY = 1024;

InternKey key_of(std::string_view text, ByteHashFn byte_hash) {
  return {FxHasher().word64(byte_hash(text)).finish(), static_cast<uint32_t>(text.size())};
}

}  // namespace

InternedStr::InternedStr(std::string_view text) : size_(text.size()) {
  // One byte at least, so that the empty text also owns a valid allocation.
  auto bytes = std::make_shared_for_overwrite<char[]>(text.size() + 1);
  std::memcpy(bytes.get(), text.data(), text.size());
  bytes_ = std::move(bytes);
}

std::optional<uint32_t> ImmutableInterner::get(std::string_view text) const {
  // Longer texts are never stored; answering early also keeps the key's
  // 32-bit length exact.
  if (lookup_.empty() || text.size() > MAX_INTERNED_LEN) return std::nullopt;
  auto it = lookup_.find(key_of(text, byte_hash_));
  if (it == lookup_.end()) return std::nullopt;
  for (uint32_t id : it->second) {
    if (id >= strings_.size()) panic_out_of_bounds(id, strings_.size());
    if (strings_[id].view() == text) return id;
  }
  return std::nullopt;
}

std::string_view ImmutableInterner::str(uint32_t id) const {
  if (id >= strings_.size()) panic_out_of_bounds(id, strings_.size());
  return strings_[id].view();
}

MutableInterner::MutableInterner(ByteHashFn byte_hash) : byte_hash_(byte_hash) {
  strings_.reserve(INITIAL_CAPACITY);
  lookup_.reserve(INITIAL_CAPACITY);
}

uint32_t MutableInterner::intern(std::string_view text, bool& created) {
  created = false;
  auto& candidates = lookup_[key_of(text, byte_hash_)];
  for (uint32_t id : candidates) {
    if (id >= strings_.size()) panic_out_of_bounds(id, strings_.size());
    if (strings_[id].view() == text) return id;
  }
  check(strings_.size() < std::numeric_limits<uint32_t>::max(), "attribute name ids exhausted");
  auto id = static_cast<uint32_t>(strings_.size());
  strings_.emplace_back(text);
  candidates.push_back(id);
  created = true;
  return id;
}

ImmutableInterner MutableInterner::freeze() const {
  return ImmutableInterner(strings_, lookup_, byte_hash_);
}

StrInterner::StrInterner(ByteHashFn byte_hash)
    : mutable_(byte_hash),
      immutable_(std::make_shared<const ImmutableInterner>(mutable_.unshared().freeze())) {}

uint32_t StrInterner::intern(std::string_view text) {
  if (auto id = snapshot()->get(text)) return *id;
  // Checked before locking: a bad name must not poison the interner for everyone.
  check(text.size() <= MAX_INTERNED_LEN, "attribute name too long to intern");

  auto guard = mutable_.lock();
  bool created = false;
  uint32_t id = guard->intern(text, created);
  // A name found here was created by another thread, which published it
  // before releasing the mutex, so the current snapshot already has it.
  if (created) {
    // Published while the mutex is held, so snapshots appear in id order. The
    // replaced snapshot lives on until its last reader drops it.
    immutable_.store(std::make_shared<const ImmutableInterner>(guard->freeze()));
  }
  return id;
}

StrInterner& INTERNER() {
  // Deliberately leaked: threads may still intern while the process exits.
  static StrInterner* const interner = new StrInterner();
  return *interner;
}

}  // namespace quorvane
