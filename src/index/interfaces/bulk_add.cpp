#include "index/core/indexing.h"
#include "index/interfaces/index.h"
#include "index/types.h"
#include "python/arg_binding.h"
#include "python/gil.h"

namespace quorvane {

ProgressReporter::ProgressReporter(PyObject* callback, const char* param)
    : callback_(callback == Py_None ? nullptr : callback) {
  if (callback_ != nullptr && !PyCallable_Check(callback_)) {
    convert_arg(param, [&] { throw_cannot_convert(callback_, "Callable"); });
  }
}

void ProgressReporter::operator()(std::size_t done, std::size_t total) {
  if (PyErr_CheckSignals() < 0) throw PyErr::fetch();
  // A few reports a second are all a progress bar shows.
  constexpr auto INTERVAL = std::chrono::milliseconds(250);
  const auto now = std::chrono::steady_clock::now();
  if (done < total && last_ && now - *last_ < INTERVAL) return;
  last_ = now;
  PyRef::steal_or_throw(PyObject_CallFunction(callback_, "nn", static_cast<Py_ssize_t>(done),
                                              static_cast<Py_ssize_t>(total)));
}

PyObject* Index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"Index.add_object_many()", {"objs", "progress"}, false, 1};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    ProgressReporter progress(bound[1] == nullptr ? Py_None : bound[1], "progress");
    // Every element is checked before anything changes: a failing batch adds
    // nothing, not even its valid elements.
    std::vector<StoredItem> batch = indexable_items(bound[0], sig.full_name);
    std::shared_ptr<IndexAPI> api = reinterpret_cast<IndexObject*>(self)->api;
    auto call = [&](std::size_t done, std::size_t total) { progress(done, total); };
    BatchProgress report(call);
    add_objects(*api, std::move(batch), progress ? &report : nullptr);
    return PyRef::borrow(Py_None);
  });
}

std::vector<StoredItem> indexable_items(PyObject* objs, const char* full_name) {
  std::vector<PyRef> objects = extract_iterable(objs, full_name, "Indexable objects");
  std::vector<StoredItem> batch;
  batch.reserve(objects.size());
  for (const PyRef& obj : objects) {
    if (!PyObject_TypeCheck(obj.get(), indexable_type())) {
      throw_type_error(std::string(full_name) + " takes Indexable objects; item " +
                       std::to_string(batch.size()) + " is " + type_name(obj.get()));
    }
    batch.push_back(StoredItem::borrow(obj.get()));
  }
  return batch;
}

PyObject* Index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig{"Index.union_with()", {"other"}};
    BoundArgs bound = bind_fastcall(sig, args, nargs, kwnames);
    auto* other = extract_instance<IndexObject>(bound[0], index_type(), "Index", "other");
    std::shared_ptr<IndexAPI> api = reinterpret_cast<IndexObject*>(self)->api;
    std::shared_ptr<IndexAPI> source = other->api;
    // Merging an index into itself changes nothing.
    if (api == source) return PyRef::borrow(Py_None);
    PendingWork work;
    const Bitmap added = without_gil([&] { return api->union_with(*source, work); });
    try {
      run_pending(work);
    } catch (...) {
      api->publish(added);  // the objects copied are members whatever their nested ones do
      throw;
    }
    api->publish(added);
    return PyRef::borrow(Py_None);
  });
}

}  // namespace quorvane
