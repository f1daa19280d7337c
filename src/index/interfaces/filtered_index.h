// The Python class FilteredIndex: a read-only view of an engine, and the
// listing of objects that Index shares with it.
#pragma once

#include <span>
#include <vector>

#include "index/core/filtered_index.h"
#include "index/core/index.h"
#include "python/gil.h"

namespace quorvane {

// A view and the Index whose structures it reads, which it keeps alive: the
// collector then sees each view as a reference to its index (every view of
// an index reads the same structures, which only the index shows it).
struct IndexView {
  FilteredView view;
  PyRef index;  // null once the collector cleared the view
};

struct FilteredIndexObject {
  PyObject_HEAD IndexView state;
};

PyTypeObject* create_filtered_index_type();
PyTypeObject* filtered_index_type() noexcept;

// Wraps a view of the Index `index` in a new FilteredIndex object.
PyRef wrap_view(FilteredView view, PyObject* index);

// When a read of a view gives up the GIL: from the start when the view is
// large enough to pay for it; once the read has run long (see read_work), for
// searches, whose time the view's size does not tell; never, for a read known
// to be short whatever the size.
enum class ReadRelease { WhenLarge, WhenLong, Never };

// What `read(scope)` answers from the values of the view's index, read by
// the index's clock (no change half seen), without the GIL as `release`
// says; the references released meanwhile stay queued: the caller drains
// them (drain_pending_releases) once it holds no lock, as they may run
// finalizers.
template <class F>
auto read_values_deferred(const FilteredView& view, F&& read,
                          ReadRelease release = ReadRelease::WhenLarge) {
  const bool large = release != ReadRelease::Never && view.size() >= 16 * WORTH_RELEASING_THE_GIL;
  auto work = [&] {
    return view.clock().read([&] {
      auto maps = view.query_maps()->read();
      return read(EvalScope{*maps, view.reach()});
    });
  };
  if (release == ReadRelease::WhenLong) return read_work(large, work);
  return native_work(large, work);
}

// The same, draining the queued releases before it returns.
template <class F>
auto read_values(const FilteredView& view, F&& read, ReadRelease release = ReadRelease::WhenLarge) {
  auto answer = read_values_deferred(view, std::forward<F>(read), release);
  drain_pending_releases();
  return answer;
}

// tp_traverse and tp_clear of the objects that hold an IndexView.
int view_traverse(PyObject* self, const IndexView& state, visitproc visit, void* arg);
void view_clear(IndexView& state);

// The repr of an Index or a view: "<Index of 1,234 objects>", with `detail`
// (", by ...") before the closing bracket.
PyRef sized_repr(const char* class_name, uint64_t count, std::string_view detail = {});

// The objects of a view as a new Python list, in ascending id order.
PyRef collect_list(const FilteredView& view);
// The objects of `ids` (some of the view's, in that order) as a new list.
PyRef collect_list(const FilteredView& view, std::span<const uint32_t> ids);

}  // namespace quorvane
