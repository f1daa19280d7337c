#include "index/core/query/query_map.h"

#include <cmath>
#include <variant>

#include "absl/container/inlined_vector.h"
#include "index/core/id_alloc.h"
#include "index/core/index.h"
#include "index/core/insertion_chain.h"
#include "python/gil.h"
#include "util/panic.h"

namespace quorvane {
namespace {

std::string_view text_of(const PyValue& v) {
  return std::get<SmallStr>(v.primitave()).view();
}

NumericKey key_of(const PyValue& v) {
  return v.kind() == ValueKind::Int ? numeric_key(std::get<int64_t>(v.primitave()))
                                    : numeric_key(std::get<double>(v.primitave()));
}

// NaN equals nothing and orders with nothing, so it is not indexed as a
// number at all: no equality or range query can then find it.
bool is_nan(const PyValue& v) {
  return v.kind() == ValueKind::Float && std::isnan(std::get<double>(v.primitave()));
}

// Walks a container as it is now; needs the GIL.
std::vector<PreparedValue> walk_container(PyObject* container, IterableKind kind) {
  std::vector<PreparedValue> out;
  switch (kind) {
    case IterableKind::Dict:
      break;  // a dict stores nothing
    case IterableKind::List: {
      // Re-read the length at every step: converting an element may run
      // Python code that shrinks the list.
      Py_ssize_t start_len = PyList_GET_SIZE(container);
      out.reserve(static_cast<std::size_t>(start_len));
      for (Py_ssize_t i = 0; i < std::min(start_len, PyList_GET_SIZE(container)); ++i) {
        PyRef item = PyRef::borrow(PyList_GET_ITEM(container, i));
        out.push_back(prepare_value(PyValue::stored_from_object(item.get())));
      }
      break;
    }
    case IterableKind::Tuple:
      out.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(container)));
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(container); ++i) {
        out.push_back(prepare_value(PyValue::stored_from_object(PyTuple_GET_ITEM(container, i))));
      }
      break;
    case IterableKind::Set: {
      out.reserve(static_cast<std::size_t>(PySet_GET_SIZE(container)));
      PyRef iter = PyRef::steal(PyObject_GetIter(container));
      if (!iter) throw Panic("cannot iterate a set value");
      while (PyObject* item = PyIter_Next(iter.get())) {
        PyRef owned = PyRef::steal(item);
        out.push_back(prepare_value(PyValue::stored_from_object(owned.get())));
      }
      if (PyErr_Occurred()) {
        PyErr_Clear();
        throw Panic("a set value failed while being iterated");
      }
      break;
    }
  }
  return out;
}

}  // namespace

PreparedValue prepare_value(const PyValue& value) {
  if (value.kind() != ValueKind::Iterable) return PreparedValue{value, {}};
  GilAcquire gil;
  const auto& iterable = std::get<IterableValue>(value.primitave());
  return PreparedValue{value, walk_container(value.object(), iterable.kind)};
}

QueryMap::QueryMap(std::weak_ptr<IndexAPI> owner_engine)
    : owner(std::move(owner_engine)), nested(IndexAPI::create(owner)) {}

namespace {

// Each scalar under a short write lock of its structure; nested work at once.
class DirectSink final : public ScalarSink {
 public:
  explicit DirectSink(QueryMap& map) : map_(map) {}
  void number(uint32_t id, NumericKey key, bool add) override {
    map_.numbers.write()->update(id, key, add, false);
  }
  void string(uint32_t id, std::string_view text, bool add) override {
    map_.strings.write()->update(id, text, add, false);
  }
  void boolean(uint32_t id, bool value, bool add) override {
    auto bools = map_.bools.write();
    auto& cell = value ? bools->true_ids : bools->false_ids;
    add ? cell.add(id) : cell.remove(id);
  }
  void nested(std::function<void()> work) override { work(); }
  void elements(absl::FunctionRef<void(ElementTable&)> fn) override { fn(*map_.elements.write()); }
  void take_ids(std::span<uint32_t> out) override { allocate_ids(out); }
  void record_ids(ElementTable& table, std::span<const uint32_t> ids) override {
    table.ids.bitmap().add_many(ids);
  }

 private:
  QueryMap& map_;
};

}  // namespace

QueryMap::~QueryMap() {
  // Without this, every index dropped with container values would leave its
  // element ids out of the pool for good, and ever larger ids would make
  // every later item table larger.
  try {
    free_ids(elements.unshared().ids.bitmap().to_vector());
  } catch (...) {
    // A poisoned pool keeps its ids; a destructor has no one to tell.
  }
}

void QueryMap::insert(uint32_t id, const PreparedValue& prepared) {
  DirectSink sink(*this);
  insert(sink, id, prepared);
}

void QueryMap::remove(uint32_t id, const PyValue& value) {
  DirectSink sink(*this);
  remove(sink, id, value);
}

void QueryMap::insert_container(uint32_t holder, const std::vector<PreparedValue>& values) {
  DirectSink sink(*this);
  insert_elements(sink, holder, values);
}

void QueryMap::insert(ScalarSink& sink, uint32_t id, const PreparedValue& prepared) {
  if (prepared.value.kind() == ValueKind::Iterable) {
    insert_elements(sink, id, prepared.elements);
  } else {
    insert_scalar(sink, id, prepared.value);
  }
}

void QueryMap::insert_scalar(ScalarSink& sink, uint32_t id, const PyValue& v) {
  switch (v.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      if (!is_nan(v)) sink.number(id, key_of(v), true);
      break;
    case ValueKind::Str:
      sink.string(id, text_of(v), true);
      break;
    case ValueKind::Bool:
      sink.boolean(id, std::get<bool>(v.primitave()), true);
      break;
    case ValueKind::Iterable:
      throw Panic("a container value needs its elements");
    case ValueKind::Ind: {
      insert_exact(id, v);
      // Queued work checks that the value is still there: an assignment may
      // have replaced it in between.
      sink.nested([this, v, id] {
        if (holds_exact(id, v)) insert_indexable(std::get<StoredIndexable>(v.primitave()), id);
      });
      break;
    }
    case ValueKind::Unknown:
      insert_exact(id, v);
      break;
  }
}

void QueryMap::remove(ScalarSink& sink, uint32_t id, const PyValue& v) {
  switch (v.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      if (!is_nan(v)) sink.number(id, key_of(v), false);
      break;
    case ValueKind::Str:
      sink.string(id, text_of(v), false);
      break;
    case ValueKind::Bool:
      sink.boolean(id, std::get<bool>(v.primitave()), false);
      break;
    case ValueKind::Iterable:
      remove_elements(sink, id);
      break;
    case ValueKind::Ind: {
      remove_exact(id, v);
      const auto& stored = std::get<StoredIndexable>(v.primitave());
      sink.nested([this, stored, id] { detach_indexable(stored, id); });
      break;
    }
    case ValueKind::Unknown:
      remove_exact(id, v);
      break;
  }
}

void QueryMap::insert_exact(uint32_t id, const PyValue& value) {
  auto shard = exact.get_shard(value.hash());
  auto it = shard->find(value);
  if (it != shard->end()) {
    it->second.add(id);
  } else {
    shard->emplace(value, HybridSet::of(id));
  }
}

bool QueryMap::holds_exact(uint32_t id, const PyValue& value) const {
  auto set = exact.get(value);
  return set && set->contains(id);
}

void QueryMap::remove_exact(uint32_t id, const PyValue& value) {
  auto shard = exact.get_shard(value.hash());
  auto it = shard->find(value);
  if (it == shard->end()) return;
  it->second.remove(id);
  // An emptied entry would keep its value (and the Python object) alive.
  if (it->second.is_empty()) shard->erase(it);
}

void QueryMap::insert_elements(ScalarSink& sink, uint32_t holder,
                               const std::vector<PreparedValue>& values) {
  // A holder has one container per attribute: what was indexed for it before
  // (the same object added again) is replaced.
  remove_elements(sink, holder);
  if (values.empty()) return;
  absl::InlinedVector<uint32_t, 8> ids(values.size());
  sink.take_ids(ids);
  sink.elements([&](ElementTable& table) {
    auto& entries = table.by_holder.insert_or_assign(holder, {});
    entries.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      table.holder_of.insert_or_assign(ids[i], holder);
      entries.push_back(ElementEntry{ids[i], values[i].value});
    }
    sink.record_ids(table, ids);
  });
  for (std::size_t i = 0; i < values.size(); ++i) insert(sink, ids[i], values[i]);
}

void QueryMap::remove_elements(ScalarSink& sink, uint32_t holder) {
  std::vector<ElementEntry> entries;
  sink.elements([&](ElementTable& table) {
    entries = table.by_holder.take(holder);
    for (const auto& entry : entries) {
      table.holder_of.erase(entry.id);
      table.ids.remove(entry.id);
    }
  });
  if (entries.empty()) return;
  // The element lock is not held by a direct removal here: a nested
  // container's removal takes it again.
  for (const auto& entry : entries) remove(sink, entry.id, entry.value);
  // The ids go back to the pool only once nothing can hold them any more
  // (a bulk writer may still have them pending in its buffers).
  sink.nested([ids = std::move(entries)] {
    for (const auto& entry : ids) free_id(entry.id);
  });
}

void QueryMap::insert_indexable(const StoredIndexable& value, uint32_t parent_id) {
  uint32_t child = value.id();
  // An object met again among the objects being indexed above this one on
  // this thread would nest without end (x.a = x, a.p = b with b.p = a).
  if (insertion_chain_has_ancestor(child)) return;
  value.owned_handle->register_engine(nested);
  bool present;
  {
    auto links = nested->parent_links.write();
    present = links->has_parents(child);
    links->register_path(parent_id, child);
  }
  if (!present) nested->add_object(value.python_handle, *value.owned_handle);
}

void QueryMap::detach_indexable(const StoredIndexable& value, uint32_t parent_id) {
  uint32_t child = value.id();
  auto links = nested->parent_links.write();
  if (!links->unlink(parent_id, child) || links->has_parents(child)) return;
  // The last holder is gone: the nested object leaves the nested engine. The
  // links stay locked so that a new holder arriving meanwhile waits and then
  // adds the object afresh.
  nested->remove_object(child, *value.owned_handle);
}

void QueryMap::unmask_ids(Bitmap& ids) const {
  auto table = elements.read();
  if (table->ids.bitmap().is_empty()) return;
  for (;;) {
    Bitmap found = ids.intersected(table->ids.bitmap());
    if (found.is_empty()) return;
    ids.difference_with(found);
    std::vector<uint32_t> holders;
    holders.reserve(1024);
    found.for_each([&](uint32_t element) {
      if (const uint32_t* holder = table->holder_of.find(element)) holders.push_back(*holder);
    });
    ids.add_many(holders);
  }
}

Bitmap QueryMap::element_ids() const {
  return elements.read()->ids.bitmap();
}

bool QueryMap::has_elements() const {
  return !elements.read()->ids.bitmap().is_empty();
}

}  // namespace quorvane
