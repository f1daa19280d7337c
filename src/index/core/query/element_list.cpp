#include "index/core/query/element_list.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "util/panic.h"

namespace quorvane {

namespace {

// Longer strings keep their PyValue: the length has 24 bits of the entry.
constexpr std::size_t LONGEST_TEXT = (std::size_t{1} << 24) - 1;

// A value that keeps no object and whose native form an entry can hold.
bool held_in_entry(const PyValue& value) {
  if (value.object() != nullptr) return false;
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
    case ValueKind::Bool:
      return true;
    case ValueKind::Str:
      return text_of(value).size() <= LONGEST_TEXT;
    default:
      return false;
  }
}

}  // namespace

ElementList::ElementList(std::span<const uint32_t> ids, std::span<const PyValue* const> values) {
  check(ids.size() == values.size(), "element ids and values differ in number");
  if (ids.empty()) return;
  check(ids.size() <= UINT32_MAX, "container too large to index");
  std::size_t text_bytes = 0;
  for (const PyValue* value : values) {
    if (value->kind() == ValueKind::Str && held_in_entry(*value) &&
        text_of(*value).size() > sizeof(uint64_t)) {
      text_bytes += text_of(*value).size();
    }
  }
  const std::size_t entry_bytes = sizeof(Block) + ids.size() * sizeof(Entry);
  void* raw = std::malloc(entry_bytes + text_bytes);
  if (raw == nullptr) throw std::bad_alloc();
  block_ = new (raw) Block{0, 0};
  try {
    fill(ids, values, static_cast<char*>(raw) + entry_bytes);
  } catch (...) {
    release();
    throw;
  }
}

void ElementList::fill(std::span<const uint32_t> ids, std::span<const PyValue* const> values,
                       char* text_at) {
  // Entries are counted as they are made, so that a failure part way frees
  // exactly the values kept so far.
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const PyValue& value = *values[i];
    Entry& entry = *new (block_->entries() + i) Entry{};
    entry.id = ids[i];
    if (!held_in_entry(value)) {
      entry.form_ = Entry::KEPT;
      entry.payload_ = reinterpret_cast<uintptr_t>(new PyValue(value));
    } else if (const auto* i64 = std::get_if<int64_t>(&value.primitave())) {
      entry.form_ = Entry::INT;
      entry.payload_ = static_cast<uint64_t>(*i64);
    } else if (const auto* f = std::get_if<double>(&value.primitave())) {
      entry.form_ = Entry::FLOAT;
      entry.payload_ = std::bit_cast<uint64_t>(*f);
    } else if (const auto* b = std::get_if<bool>(&value.primitave())) {
      entry.form_ = Entry::BOOL;
      entry.payload_ = *b ? 1 : 0;
    } else {
      const std::string_view text = text_of(value);
      const auto length = static_cast<uint32_t>(text.size());
      if (text.size() <= sizeof(uint64_t)) {
        entry.form_ = Entry::SHORT_TEXT | (length << 8);
        std::memcpy(&entry.payload_, text.data(), text.size());
      } else {
        entry.form_ = Entry::LONG_TEXT | (length << 8);
        std::memcpy(text_at, text.data(), text.size());
        entry.payload_ = reinterpret_cast<uintptr_t>(text_at);
        text_at += text.size();
      }
    }
    ++block_->size;
  }
}

void ElementList::release() noexcept {
  if (block_ == nullptr) return;
  for (const Entry& entry : *this) delete entry.kept();
  std::free(std::exchange(block_, nullptr));
}

ValueKind ElementList::Entry::kind() const noexcept {
  switch (form()) {
    case INT:
      return ValueKind::Int;
    case FLOAT:
      return ValueKind::Float;
    case BOOL:
      return ValueKind::Bool;
    case SHORT_TEXT:
    case LONG_TEXT:
      return ValueKind::Str;
    case KEPT:
      break;
  }
  return kept()->kind();
}

const PyValue* ElementList::Entry::kept() const noexcept {
  return form() == KEPT ? reinterpret_cast<const PyValue*>(payload_) : nullptr;
}

std::string_view ElementList::Entry::text() const noexcept {
  switch (form()) {
    case SHORT_TEXT:
      return std::string_view(reinterpret_cast<const char*>(&payload_), length());
    case LONG_TEXT:
      return std::string_view(reinterpret_cast<const char*>(payload_), length());
    default:
      return text_of(*kept());
  }
}

PyValue ElementList::Entry::value() const {
  switch (form()) {
    case INT:
      return PyValue::of_int(nullptr, static_cast<int64_t>(payload_));
    case FLOAT:
      return PyValue::of_float(nullptr, std::bit_cast<double>(payload_));
    case BOOL:
      return PyValue::of_bool(nullptr, payload_ != 0);
    case SHORT_TEXT:
    case LONG_TEXT:
      return PyValue::of_str(nullptr, text());
    case KEPT:
      break;
  }
  return *kept();
}

}  // namespace quorvane
