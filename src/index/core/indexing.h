// Moving objects into engines and keeping them current.
//
// Each operation here alternates two kinds of phase:
// - with the GIL and no native lock: converting values and walking
//   containers, which runs Python code (__hash__, iteration) that may do
//   anything, including assigning attributes of the objects involved;
// - without the GIL: the native work, one object lock at a time, which checks
//   that the object has not changed since its values were converted and
//   starts again with fresh values when it has.
// Values an operation replaces are released after its last lock, so their
// finalizers run with no lock held. Nested objects are queued (PendingWork)
// and worked off after the operation's own locks are released.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "absl/functional/function_ref.h"
#include "index/core/index.h"
#include "index/core/pending_work.h"

namespace quorvane {

// How often an operation takes fresh values of an object that keeps changing
// under it (Python code run by the conversion itself assigning it) before it
// gives up with RuntimeError.
inline constexpr int MAX_SNAPSHOT_ATTEMPTS = 8;

// Tells how far a batch has come: called between parts of the work, with the
// GIL and no native lock held, with the objects done and their total, and a
// last time once every object is done (done == total). It may throw (a
// callback raised, or the user interrupted): the batch is then undone.
using BatchProgress = absl::FunctionRef<void(std::size_t done, std::size_t total)>;

// Adds `objects` to `engine` (each distinct object once). GIL held on entry
// and on return. The objects are written in parts (with `progress`, smaller
// ones, with a call after each); they become members together at the end.
// When anything throws on the way (a value that cannot be indexed, a call of
// `progress`), those written are taken out again (queries never saw them)
// before the exception goes on.
void add_objects(IndexAPI& engine, std::vector<StoredItem> objects,
                 BatchProgress* progress = nullptr);

// Takes `objects` out of `engine` (each with the values it holds then, and
// the nested objects only it reached). Returns how many were members; the
// others change nothing. GIL held on entry and on return; no Python code
// runs until the replaced references are released at the end. With
// `progress`, they leave in parts with a call between them; when a call
// throws, those removed are added again before the exception goes on.
std::size_t remove_objects(IndexAPI& engine, const std::vector<StoredItem>& objects,
                           BatchProgress* progress = nullptr);

// `self.name = value` for an Indexable: converts the value, re-indexes the
// object in every engine that holds it, then stores the value. GIL held.
void assign_attribute(PyObject* self, PyObject* name, PyObject* value);
// Assigns each (name, value) pair in order (no descriptor or __setattr__ of
// the class is consulted).
// The caller keeps the names and values alive.
void assign_attributes(PyObject* self, std::span<const std::pair<PyObject*, PyObject*>> items);
// The same for a value object.__setattr__ left aside: stored only if
// `still_wanted()`, asked with the GIL and the object's lock held, says it
// is still the latest one (a later value is stored by its own turn; it must
// run no Python code). Nested work goes to `into` when given.
void assign_if(PyObject* self, PyObject* name, PyObject* value,
               absl::FunctionRef<bool()> still_wanted, PendingWork* into);

// Works off `work` until it is empty, taking snapshots with the GIL for the
// objects that need them. GIL held on entry and on return. An object whose
// values cannot be indexed is left out and its error raised at the end.
void run_pending(PendingWork& work);

// Snapshots (GIL held) of the objects reachable from `roots` through
// Indexable values that `reach` does not hold yet, so that their values are
// converted, and their errors raised, before anything changes.
void snapshot_reachable(const std::vector<ObjectSnapshot>& roots, IndexAPI& reach,
                        PendingWork& work);

}  // namespace quorvane
