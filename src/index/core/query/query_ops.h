// Query evaluation: turns a QueryExpr into the set of ids, within a universe,
// of the objects that satisfy it, using the QueryMaps of one engine.
//
// Every answer is a subset of its universe. Container values match through
// their elements (any element satisfying a leaf makes the holder match), and
// a dotted path a.b.c is answered in the reach engine, where the last segment
// is tested, then mapped back through the links of each segment in turn (no
// recursion over the path). Callers hold the engine's `query_maps` shared
// and whatever guards the universe.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "absl/functional/function_ref.h"
#include "index/core/index.h"
#include "index/core/query/equal_key.h"

namespace quorvane {

// Splits a path at its first "." into the head and the rest (if any).
std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view attr);
// The segments of a path after its head ("a.b.c": "b", "c"); none for a
// plain name.
std::vector<std::string_view> path_tail(std::string_view path);

// Answers of at most this many objects are found and listed with the
// interpreter lock held: releasing it and taking it back would cost more.
inline constexpr uint64_t FEW_ANSWER = 256;

// Ids of a small answer, ascending.
using FewIds = absl::InlinedVector<uint32_t, 16>;

// The ids of `universe` equal to every key, when each key's attribute is a
// plain one without containers and the smallest value set holds at most
// FEW_ANSWER ids; none otherwise (the caller then evaluates a query). Reads
// the value sets directly: no set is built.
// `filled()` gives the interval `universe` fills, if it fills one.
std::optional<FewIds> few_equal_ids(const MapVector& maps, const Bitmap& universe,
                                    std::span<const EqualKey> keys,
                                    absl::FunctionRef<std::optional<IdInterval>()> filled);
// As few_equal_ids for one key, as a set: a copy of the key's value set,
// narrowed to `universe` only when some of its ids lie outside it.
std::optional<Bitmap> few_equal_set(const MapVector& maps, const Bitmap& universe,
                                    const EqualKey& key,
                                    absl::FunctionRef<std::optional<IdInterval>()> filled);

// One step an evaluation took, recorded when asked (explain): a member of a
// conjunction, or of an or_ or not_, in the order it was taken.
struct PlanStep {
  int depth;                         // 0: a member of the top conjunction; nested ones deeper
  const QueryExpr* query;            // the member (a leaf, or an and_/or_/not_ node)
  bool conjunct;                     // a member of an and_: its place came from the planner
  std::optional<uint64_t> estimate;  // a conjunct's size as the planner knew it, if it did
  uint64_t within = 0;               // the size of the universe it was evaluated in
  uint64_t found = 0;                // the size of its answer
  bool skipped = false;              // not evaluated: its conjunction's running answer was empty
};
using PlanTrace = std::vector<PlanStep>;

// The ids of `universe` satisfying `query`.
Bitmap evaluate_query(const EvalScope& scope, const Bitmap& universe, const QueryExpr& query);

// The conjunction of `queries`: cheap members first, each evaluated within
// the running intersection, stopping once it is empty. An empty list yields
// the universe. `trace`, when given, receives the steps taken (recording
// costs nothing when it is not).
Bitmap evaluate_and_queries_vec(const EvalScope& scope, const Bitmap& universe,
                                const std::vector<QueryRef>& queries, PlanTrace* trace = nullptr);

}  // namespace quorvane
