#include "index/core/query/query_map.h"

#include <algorithm>

#include "absl/container/inlined_vector.h"
#include "index/core/id_alloc.h"
#include "index/indexable.h"
#include "util/panic.h"

namespace quorvane {

namespace {

// Adds the ids of every bucket to `slices`, flushing as it goes so that the
// ids waiting to be added stay few whatever the size of the buckets.
void add_to_slices(NumericalBitmap& slices, const ValueBuckets<NumericKey, NumericOrder>& buckets) {
  constexpr std::size_t BATCH = std::size_t{1} << 16;
  std::size_t waiting = 0;
  auto push = [&](uint32_t id, NumericKey key) {
    slices.push(id, key);
    if (++waiting == BATCH) {
      slices.flush();
      waiting = 0;
    }
  };
  for (const auto& [key, set] : buckets.map()) {
    if (const Bitmap* large = set.large()) {
      large->for_each([&](uint32_t id) { push(id, key); });
    } else {
      for (uint32_t id : set.run()) push(id, key);
    }
  }
  slices.flush();
}

}  // namespace

Bitmap ElementTable::elements_of(const Bitmap& holders) const {
  Bitmap out;
  if (ids.bitmap().is_empty()) return out;
  std::vector<uint32_t> frontier = holders.to_vector();
  while (!frontier.empty()) {
    std::vector<uint32_t> next;
    for (uint32_t holder : frontier) {
      if (const ElementList* entries = by_holder.find(holder)) {
        for (const ElementList::Entry& entry : *entries) next.push_back(entry.id);
      }
    }
    out.add_many(next);
    frontier = std::move(next);
  }
  return out;
}

void NumericIndex::union_with(const NumericIndex& other, const Bitmap& only) {
  auto incoming = other.buckets;
  incoming.intersect_with(only);
  if (sliced && other.sliced) {
    slices.union_with(other.slices, &only);
  } else if (sliced) {
    add_to_slices(slices, incoming);
  }
  buckets.union_with(incoming);
  auto rational = other.rationals;
  rational.intersect_with(only);
  rationals.union_with(rational);
  slice_if_due();
}

void NumericIndex::slice_if_due() {
  if (sliced || buckets.distinct() <= SLICED_FROM) return;
  add_to_slices(slices, buckets);
  sliced = true;
}

void DirectSink::number(uint32_t id, NumericKey key, bool add) {
  map_.numbers.write()->update(id, key, add, false);
}
void DirectSink::rational(uint32_t id, const PyValue& value, bool add) {
  map_.numbers.write()->update_rational(id, value, add, false);
}
void DirectSink::temporal(uint32_t id, const PyValue& value, bool add) {
  map_.temporals.write()->update(id, value, add, false);
}
void DirectSink::string(uint32_t id, std::string_view text, bool add) {
  map_.strings.write()->update(id, text, add, false);
}
void DirectSink::boolean(uint32_t id, bool value, bool add) {
  auto bools = map_.bools.write();
  auto& cell = value ? bools->true_ids : bools->false_ids;
  add ? cell.add(id) : cell.remove(id);
}
void DirectSink::link(uint32_t holder, const PyValue& child, bool add) {
  const uint32_t child_id = record_of(child.object()).id();
  bool changed;
  {
    auto links = map_.links.write();
    changed = add ? links->register_path(holder, child_id) : links->unlink(holder, child_id);
  }
  if (changed) counter_.counted(child, add);
}
void DirectSink::elements(absl::FunctionRef<void(ElementTable&)> fn) {
  fn(*map_.elements.write());
}
void DirectSink::take_ids(std::span<uint32_t> out) {
  allocate_ids(out);
}
void DirectSink::record_ids(ElementTable& table, std::span<const uint32_t> ids) {
  table.ids.bitmap().add_many(ids);
}
void DirectSink::free_ids(std::vector<uint32_t> ids) {
  quorvane::free_ids(ids);
}

QueryMap::~QueryMap() {
  // Without this, every index dropped with container values would leave its
  // element ids out of the pool for good, and ever larger ids would make
  // every later item table larger.
  try {
    quorvane::free_ids(elements.unshared().ids.bitmap().to_vector());
  } catch (...) {
    // A poisoned pool keeps its ids; a destructor has no one to tell.
  }
}

void QueryMap::insert(ScalarSink& sink, uint32_t id, const PyValue& value,
                      std::span<const PreparedValue::Element> elements) {
  if (value.kind() == ValueKind::Iterable) {
    insert_elements(sink, id, elements);
  } else {
    insert_scalar(sink, id, value);
  }
}

void QueryMap::insert_scalar(ScalarSink& sink, uint32_t id, const PyValue& v) {
  update_scalar(sink, id, v, true);
}

void QueryMap::remove(ScalarSink& sink, uint32_t id, const PyValue& v) {
  update_scalar(sink, id, v, false);
}

void QueryMap::update_scalar(ScalarSink& sink, uint32_t id, const PyValue& v, bool add) {
  const IndexedAs kind = indexed_as(v);
  switch (kind) {
    case IndexedAs::Number:
      sink.number(id, number_key(v), add);
      break;
    case IndexedAs::Rational:
      sink.rational(id, v, add);
      break;
    case IndexedAs::Temporal:
      sink.temporal(id, v, add);
      break;
    case IndexedAs::Nothing:
      break;
    case IndexedAs::Text:
      sink.string(id, text_of(v), add);
      break;
    case IndexedAs::Boolean:
      sink.boolean(id, flag_of(v), add);
      break;
    case IndexedAs::Elements:
      // A container is added through its elements, and removed with them.
      if (add) throw Panic("a container value needs its elements");
      remove_elements(sink, id);
      break;
    case IndexedAs::Object:
    case IndexedAs::Identity:
      if (add) {
        insert_exact(id, v);
      } else {
        remove_exact(id, v);
      }
      if (kind == IndexedAs::Object) sink.link(id, v, add);
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

void QueryMap::remove_exact(uint32_t id, const PyValue& value) {
  auto shard = exact.get_shard(value.hash());
  auto it = shard->find(value);
  if (it == shard->end()) return;
  it->second.remove(id);
  // An emptied entry would keep its value (and the Python object) alive.
  if (it->second.is_empty()) shard->erase(it);
}

void QueryMap::insert_elements(ScalarSink& sink, uint32_t holder,
                               std::span<const PreparedValue::Element> values) {
  // A holder has one container per attribute: what was indexed for it before
  // (the same object added again) is replaced.
  remove_elements(sink, holder);
  if (values.empty()) return;
  // Set before any element is: a reader that sees it clear sees none.
  elements_added_.store(true, std::memory_order_release);
  absl::InlinedVector<uint32_t, 8> ids(values.size());
  sink.take_ids(ids);
  // Each holder's list is made whole before the lock: the elements of one
  // container, in their order (a nested container's follow their parent's).
  absl::InlinedVector<uint32_t, 8> owners(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const uint32_t parent = values[i].parent;
    owners[i] = parent == PreparedValue::TOP ? holder : ids[parent];
  }
  absl::InlinedVector<uint32_t, 8> order(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) order[i] = static_cast<uint32_t>(i);
  if (!std::is_sorted(owners.begin(), owners.end())) {
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return owners[a] < owners[b]; });
  }
  absl::InlinedVector<std::pair<uint32_t, ElementList>, 1> lists;
  absl::InlinedVector<uint32_t, 8> list_ids;
  absl::InlinedVector<const PyValue*, 8> list_values;
  for (std::size_t start = 0; start < order.size();) {
    const uint32_t owner = owners[order[start]];
    list_ids.clear();
    list_values.clear();
    std::size_t end = start;
    for (; end < order.size() && owners[order[end]] == owner; ++end) {
      list_ids.push_back(ids[order[end]]);
      list_values.push_back(&values[order[end]].value);
    }
    lists.emplace_back(owner, ElementList(list_ids, list_values));
    start = end;
  }
  sink.elements([&](ElementTable& table) {
    for (std::size_t i = 0; i < values.size(); ++i)
      table.holder_of.insert_or_assign(ids[i], owners[i]);
    for (auto& [owner, list] : lists) table.by_holder.insert_or_assign(owner, std::move(list));
    sink.record_ids(table, ids);
  });
  for (std::size_t i = 0; i < values.size(); ++i) {
    // A nested container is indexed through its own elements.
    if (values[i].value.kind() != ValueKind::Iterable) insert_scalar(sink, ids[i], values[i].value);
  }
}

void QueryMap::remove_elements(ScalarSink& sink, uint32_t holder) {
  std::vector<ElementList> removed;
  sink.elements([&](ElementTable& table) {
    // Nested containers are taken out level by level, without recursion.
    std::vector<uint32_t> holders{holder};
    while (!holders.empty()) {
      const uint32_t h = holders.back();
      holders.pop_back();
      ElementList list = table.by_holder.take(h);
      for (const ElementList::Entry& entry : list) {
        table.holder_of.erase(entry.id);
        table.ids.remove(entry.id);
        if (entry.nested()) holders.push_back(entry.id);
      }
      if (!list.empty()) removed.push_back(std::move(list));
    }
  });
  if (removed.empty()) return;
  std::vector<uint32_t> ids;
  for (const ElementList& list : removed) {
    for (const ElementList::Entry& entry : list) {
      if (!entry.nested()) remove(sink, entry.id, entry.value());
      ids.push_back(entry.id);
    }
  }
  sink.free_ids(std::move(ids));
}

void QueryMap::remove_keyed(uint32_t id, const PyValue& value, std::vector<uint32_t>& element_ids) {
  // A container's elements are taken out level by level, without recursion.
  std::vector<std::pair<uint32_t, PyValue>> pending;
  pending.emplace_back(id, value);
  while (!pending.empty()) {
    auto [holder, held] = std::move(pending.back());
    pending.pop_back();
    switch (indexed_as(held)) {
      case IndexedAs::Number:
        numbers.write()->buckets.remove(number_key(held), holder);
        break;
      case IndexedAs::Rational:
        numbers.write()->rationals.remove(*rational_of(held), holder);
        break;
      case IndexedAs::Temporal:
        temporals.write()->buckets.remove(temporal_of(held), holder);
        break;
      case IndexedAs::Text:
        strings.write()->update(holder, text_of(held), false, false);
        break;
      case IndexedAs::Object:
      case IndexedAs::Identity:
        remove_exact(holder, held);
        break;
      case IndexedAs::Elements: {
        auto table = elements.write();
        for (const ElementList::Entry& entry : table->by_holder.take(holder)) {
          table->holder_of.erase(entry.id);
          table->ids.remove(entry.id);
          element_ids.push_back(entry.id);
          pending.emplace_back(entry.id, entry.value());
        }
        break;
      }
      case IndexedAs::Boolean:
      case IndexedAs::Nothing:
        break;
    }
  }
}

void QueryMap::unmask_ids(Bitmap& ids) const {
  auto table = elements.read();
  if (table->ids.bitmap().is_empty()) return;
  for (;;) {
    Bitmap found = ids.intersected(table->ids.bitmap());
    if (found.is_empty()) return;
    ids.difference_with(found);
    // Element ids are handed out in runs, container by container, so their
    // holders mostly come out ascending: one batch adds them.
    std::vector<uint32_t> holders(found.cardinality());
    found.copy_to(holders.data());
    std::size_t kept = 0;
    for (uint32_t element : holders) {
      if (const uint32_t* holder = table->holder_of.find(element)) holders[kept++] = *holder;
    }
    holders.resize(kept);
    if (!std::is_sorted(holders.begin(), holders.end())) std::sort(holders.begin(), holders.end());
    holders.erase(std::unique(holders.begin(), holders.end()), holders.end());
    ids.add_many(holders);
  }
}

uint64_t QueryMap::size_hint() const {
  uint64_t n = 0;
  {
    auto numbers = this->numbers.read();
    n += numbers->buckets.distinct() + numbers->rationals.distinct();
  }
  n += strings.read()->buckets.distinct();
  n += temporals.read()->buckets.distinct();
  // An element costs a walk of its holder's entries besides its value.
  n += 3 * elements.read()->ids.bitmap().cardinality();
  return n;
}

uint64_t QueryMap::narrowing_cost(uint64_t removed) const {
  return size_hint() + removed * strings.read()->columns.column_count();
}

Bitmap QueryMap::element_ids() const {
  return elements.read()->ids.bitmap();
}

Bitmap QueryMap::holders_of(const Bitmap& children) const {
  return links.read()->get_parent_from_ids(children);
}

void QueryMap::for_each_held(uint32_t holder, absl::FunctionRef<void(uint32_t)> fn) const {
  auto table = elements.read();
  auto held = links.read();
  held->for_each_child(holder, fn);
  if (table->ids.bitmap().is_empty()) return;
  table->for_each_entry(
      holder, [&](const ElementList::Entry& entry) { held->for_each_child(entry.id, fn); });
}

std::vector<PreparedValue::Element> QueryMap::container_of(uint32_t holder) const {
  std::vector<PreparedValue::Element> out;
  auto table = elements.read();
  // Depth first, so that every element follows its enclosing container.
  struct Open {
    uint32_t holder;
    uint32_t position;  // of the enclosing element in `out`, or TOP
  };
  std::vector<Open> stack{{holder, PreparedValue::TOP}};
  while (!stack.empty()) {
    Open open = stack.back();
    stack.pop_back();
    const ElementList* entries = table->by_holder.find(open.holder);
    if (entries == nullptr) continue;
    for (const ElementList::Entry& entry : *entries) {
      const auto position = static_cast<uint32_t>(out.size());
      out.push_back({entry.value(), open.position});
      if (entry.nested()) stack.push_back({entry.id, position});
    }
  }
  return out;
}

}  // namespace quorvane
