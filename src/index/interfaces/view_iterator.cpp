#include "index/interfaces/view_iterator.h"

#include <array>
#include <memory>
#include <optional>
#include <variant>

#include "python/heap_type.h"
#include "util/lock.h"

namespace quorvane {
namespace {

PyTypeObject* ITERATOR_TYPE = nullptr;
constexpr char ITERATOR_NAME[] = "ViewIterator";

// Objects are taken this many at a time: one read lock of the item table per
// batch, and the first object of any view costs about what a batch does.
constexpr std::size_t BATCH = 256;

// How far an iterator has read its view.
struct Cursor {
  std::vector<uint32_t> ids;  // found and not fetched yet, from `next` on
  std::size_t next = 0;
  // Unordered: the next id that may be found (ids come in ascending order).
  // Ordered: the position in the page where the next walk starts.
  uint64_t rank = 0;
  // Ordered: the positions the next walk asks for. It doubles with every
  // walk, so a page read to its end costs a few walks of it, not one per
  // batch.
  uint64_t walk = BATCH;
  bool found_all = false;
  // Ordered: every id found so far. Each walk reads the values as they are
  // then: an object whose value changed between two walks is not met twice.
  Bitmap found;
};

// The iterator. `walk` and `objects` are read and written with the GIL;
// the cursor under `turn`, which one thread at a time holds while it finds
// and fetches the next batch (the GIL may be released meanwhile, and no
// Python code runs under it). `turn` lives as long as the iterator: clearing
// it (the collector) leaves the lock to a thread that may hold it.
// What an iterator walks: a view in ascending id order, or a page of an
// order (either holds the view and its index, null once cleared).
using Walk = std::variant<IndexView, Ordering>;

IndexView& source_of(Walk& walk) {
  return walk.index() == 0 ? std::get<IndexView>(walk) : std::get<Ordering>(walk).source;
}

struct ViewIterator {
  explicit ViewIterator(Walk w) : walk(std::move(w)) {}

  Walk walk;
  std::vector<PyRef> objects;  // fetched, from `next_object` on
  std::size_t next_object = 0;
  std::unique_ptr<Mutex<Cursor>> turn = std::make_unique<Mutex<Cursor>>();
};

struct ViewIteratorObject {
  PyObject_HEAD ViewIterator state;
};

ViewIterator& state_of(PyObject* self) {
  return reinterpret_cast<ViewIteratorObject*>(self)->state;
}

int Iterator_traverse(PyObject* self, visitproc visit, void* arg) {
  ViewIterator& it = state_of(self);
  if (int err = view_traverse(self, source_of(it.walk), visit, arg)) return err;
  for (std::size_t i = it.next_object; i < it.objects.size(); ++i) Py_VISIT(it.objects[i].get());
  return 0;
}

int Iterator_clear(PyObject* self) {
  return guarded_call(-1, [&] {
    ViewIterator& it = state_of(self);
    view_clear(source_of(it.walk));
    std::vector<PyRef> dropped = std::move(it.objects);
    it.objects.clear();
    it.next_object = 0;
    return 0;
  });
}

// Finds the next ids of the view (cursor held): a piece of its id set, or
// the next walk of its order.
void find_ids(Walk& walk, Cursor& cursor) {
  const FilteredView& view = source_of(walk).view;
  cursor.next = 0;
  const Ordering* order = std::get_if<Ordering>(&walk);
  if (order == nullptr) {
    cursor.ids.resize(BATCH);
    const std::size_t n =
        cursor.rank > UINT32_MAX
            ? 0
            : view.bitmap().copy_from(static_cast<uint32_t>(cursor.rank), cursor.ids);
    cursor.ids.resize(n);
    if (n > 0) cursor.rank = uint64_t{cursor.ids.back()} + 1;
    cursor.found_all = n < BATCH;
    return;
  }
  std::vector<uint32_t> found = page_ids(*order, cursor.rank, cursor.walk);
  const bool last = found.size() < cursor.walk;
  cursor.rank += cursor.walk;
  cursor.walk = std::min<uint64_t>(cursor.walk * 2, uint64_t{1} << 40);
  cursor.ids.clear();
  for (uint32_t id : found) {
    if (!cursor.found.contains(id)) cursor.ids.push_back(id);
  }
  cursor.found.add_many(cursor.ids);
  if (!last) return;
  cursor.found_all = true;
  // The whole order: an object that a change moved before the walks' start
  // was passed over by them; it comes last, so every object comes once.
  if (is_whole_order(*order)) {
    view.bitmap().differenced(cursor.found).for_each([&](uint32_t id) {
      cursor.ids.push_back(id);
    });
  }
}

// Takes the next batch into `it.objects`; false when there is none.
bool fetch(ViewIterator& it) {
  // Declared before the turn's guard, so that what they hold is released
  // after it (a last reference may run a finalizer).
  std::optional<Walk> walk;
  std::vector<PyRef> batch, replaced;
  {
    auto cursor = it.turn->lock_quiet();
    // Another thread may have fetched while this one waited.
    if (it.next_object < it.objects.size()) return true;
    if (!source_of(it.walk).index) return false;  // cleared by the collector
    // A copy: the collector may clear the iterator while the GIL is released.
    walk.emplace(it.walk);
    if (cursor->next == cursor->ids.size()) {
      if (cursor->found_all) return false;
      find_ids(*walk, *cursor);
      if (cursor->ids.empty()) return false;
    }
    const std::size_t n = std::min(BATCH, cursor->ids.size() - cursor->next);
    std::array<PyObject*, BATCH> raw;
    source_of(*walk).view.objects_into({cursor->ids.data() + cursor->next, n}, raw.data());
    cursor->next += n;
    batch.reserve(n);
    for (std::size_t i = 0; i < n; ++i) batch.push_back(PyRef::borrow(raw[i]));
    if (source_of(it.walk).index) {
      replaced = std::exchange(it.objects, std::move(batch));
      it.next_object = 0;
    }
  }
  drain_pending_releases();
  return it.next_object < it.objects.size();
}

PyObject* Iterator_next(PyObject* self) {
  return guarded_call<PyObject*>(nullptr, [&]() -> PyObject* {
    ViewIterator& it = state_of(self);
    // Null without an exception ends the iteration.
    while (it.next_object >= it.objects.size()) {
      if (!fetch(it)) return nullptr;
    }
    return it.objects[it.next_object++].release();
  });
}

PyType_Slot ITERATOR_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("An iterator over the objects of an Index, a FilteredIndex or an "
                                  "OrderedView, taking them a batch at a time.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<ITERATOR_NAME>)},
    {Py_tp_dealloc,
     reinterpret_cast<void*>(
         native_dealloc<ViewIteratorObject, ViewIterator, &ViewIteratorObject::state>)},
    {Py_tp_traverse, reinterpret_cast<void*>(Iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Iterator_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(Iterator_next)},
    {0, nullptr},
};

PyType_Spec ITERATOR_SPEC = {"Quorvane.ViewIterator", static_cast<int>(sizeof(ViewIteratorObject)),
                             0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                             ITERATOR_SLOTS};

PyRef new_iterator(Walk walk) {
  return new_instance(ITERATOR_TYPE, &ViewIteratorObject::state, ViewIterator(std::move(walk)));
}

}  // namespace

PyRef iterate_view(IndexView source) {
  return new_iterator(Walk(std::in_place_index<0>, std::move(source)));
}

PyRef iterate_ordering(Ordering ordering) {
  return new_iterator(Walk(std::in_place_index<1>, std::move(ordering)));
}

PyTypeObject* create_view_iterator_type() {
  return create_type_once(ITERATOR_TYPE, ITERATOR_SPEC);
}

}  // namespace quorvane
