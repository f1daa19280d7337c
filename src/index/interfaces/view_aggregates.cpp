#include "index/interfaces/view_aggregates.h"

#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "index/core/index.h"
#include "index/core/query/aggregates.h"
#include "index/core/query/query_ops.h"
#include "index/interfaces/filtered_index.h"
#include "index/interfaces/ordered_view.h"
#include "index/interfaces/query.h"
#include "index/value_conversion.h"
#include "python/arg_binding.h"
#include "python/repr.h"

namespace quorvane {
namespace {

// decimal.Decimal and fractions.Fraction, imported on first use and kept for
// the life of the process.
PyObject* stdlib_class(PyObject*& cache, const char* module, const char* name) {
  if (cache == nullptr) {
    PyRef found = PyRef::steal_or_throw(PyImport_ImportModule(module));
    cache = PyRef::steal_or_throw(PyObject_GetAttrString(found.get(), name)).release();
  }
  return cache;
}
PyObject* DECIMAL = nullptr;
PyObject* FRACTION = nullptr;

PyRef py_int(uint64_t n) {
  return PyRef::steal_or_throw(PyLong_FromUnsignedLongLong(n));
}

// An int of little-endian words (32 or 64 bits each), negated when asked.
template <class Word>
PyRef int_of_words(std::span<const Word> words, bool negative) {
  std::vector<unsigned char> bytes;
  bytes.reserve(words.size() * sizeof(Word));
  for (Word w : words) {
    for (std::size_t i = 0; i < sizeof(Word); ++i)
      bytes.push_back(static_cast<unsigned char>(w >> (8 * i)));
  }
  PyRef n = PyRef::steal_or_throw(PyLong_FromUnsignedNativeBytes(
      bytes.data(), bytes.size(),
      Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER));
  return negative ? PyRef::steal_or_throw(PyNumber_Negative(n.get())) : n;
}

// The sum (or mean) of the totals as Python adds numbers: an int when every
// value is integral, a Fraction or a Decimal when the non-integral values
// include such numbers (a Fraction beside a Decimal is refused, as Python
// refuses adding them), else a float, rounded once from the exact total.
PyRef total_of(const NumberTotals& totals, bool mean) {
  const ExactSum& sum = totals.numbers;
  const uint64_t n = totals.count;
  if (sum.positive_infinities() > 0 || sum.negative_infinities() > 0) {
    const double inf = sum.positive_infinities() == 0   ? -HUGE_VAL
                       : sum.negative_infinities() == 0 ? HUGE_VAL
                                                        : std::nan("");
    return PyRef::steal_or_throw(PyFloat_FromDouble(inf));
  }
  const auto words = sum.magnitude();
  PyRef scaled = int_of_words(std::span<const uint64_t>(words), sum.negative());
  PyRef ints = py_int(totals.trues);
  std::vector<std::pair<const RationalKey*, uint64_t>> fractions;
  bool decimal = false, fraction = false;
  for (const auto& [key, count] : totals.rationals) {
    // A Decimal beyond the int64 and double values (Decimal("1E+400")) makes
    // the total a Decimal, as adding it would.
    const bool is_decimal = PyObject_TypeCheck(
        key.object.get(),
        reinterpret_cast<PyTypeObject*>(stdlib_class(DECIMAL, "decimal", "Decimal")));
    decimal |= is_decimal;
    if (key.number->is_integer()) {
      PyRef value = int_of_rational(*key.number);
      ints = PyRef::steal_or_throw(PyNumber_Add(
          ints.get(),
          PyRef::steal_or_throw(PyNumber_Multiply(value.get(), py_int(count).get())).get()));
      continue;
    }
    fractions.emplace_back(&key, count);
    fraction |= !is_decimal;
  }
  if (decimal && fraction) {
    throw PyErr(PyExc_TypeError,
                "unsupported operand type(s) for +: 'decimal.Decimal' and 'Fraction'");
  }
  PyRef shift = py_int(ExactSum::SCALE);
  if (!sum.has_fraction() && fractions.empty() && !decimal) {
    // Every value integral: the total is an int (a mean beyond the floats
    // raises OverflowError, as dividing ints does).
    PyRef whole = PyRef::steal_or_throw(PyNumber_Rshift(scaled.get(), shift.get()));
    PyRef total = PyRef::steal_or_throw(PyNumber_Add(whole.get(), ints.get()));
    return mean ? PyRef::steal_or_throw(PyNumber_TrueDivide(total.get(), py_int(n).get())) : total;
  }
  // The exact total as a Fraction.
  PyObject* fraction_class = stdlib_class(FRACTION, "fractions", "Fraction");
  PyRef unit = PyRef::steal_or_throw(PyNumber_Lshift(py_int(1).get(), shift.get()));
  PyRef numerator = PyRef::steal_or_throw(PyNumber_Add(
      scaled.get(), PyRef::steal_or_throw(PyNumber_Lshift(ints.get(), shift.get())).get()));
  PyRef exact = PyRef::steal_or_throw(
      PyObject_CallFunctionObjArgs(fraction_class, numerator.get(), unit.get(), nullptr));
  for (const auto& [key, count] : fractions) {
    const RationalNumber& number = *key->number;
    PyRef top = int_of_words(std::span<const uint32_t>(number.numerator()), number.negative());
    PyRef bottom = int_of_words(std::span<const uint32_t>(number.denominator()), false);
    PyRef value = PyRef::steal_or_throw(
        PyObject_CallFunctionObjArgs(fraction_class, top.get(), bottom.get(), nullptr));
    PyRef times = PyRef::steal_or_throw(PyNumber_Multiply(value.get(), py_int(count).get()));
    exact = PyRef::steal_or_throw(PyNumber_Add(exact.get(), times.get()));
  }
  if (mean) exact = PyRef::steal_or_throw(PyNumber_TrueDivide(exact.get(), py_int(n).get()));
  if (fraction) return exact;
  if (decimal) {
    // Rounded once, to the current context.
    PyObject* decimal_class = stdlib_class(DECIMAL, "decimal", "Decimal");
    PyRef top = PyRef::steal_or_throw(PyObject_GetAttrString(exact.get(), "numerator"));
    PyRef bottom = PyRef::steal_or_throw(PyObject_GetAttrString(exact.get(), "denominator"));
    PyRef d_top = PyRef::steal_or_throw(PyObject_CallOneArg(decimal_class, top.get()));
    PyRef d_bottom = PyRef::steal_or_throw(PyObject_CallOneArg(decimal_class, bottom.get()));
    return PyRef::steal_or_throw(PyNumber_TrueDivide(d_top.get(), d_bottom.get()));
  }
  PyObject* rounded = PyNumber_Float(exact.get());
  if (rounded == nullptr && PyErr_ExceptionMatches(PyExc_OverflowError)) {
    // Beyond the floats, as adding floats overflows to an infinity.
    PyErr_Clear();
    const int sign = PyObject_RichCompareBool(exact.get(), py_int(0).get(), Py_LT);
    if (sign < 0) throw PyErr::fetch();
    return PyRef::steal_or_throw(PyFloat_FromDouble(sign == 1 ? -HUGE_VAL : HUGE_VAL));
  }
  return PyRef::steal_or_throw(rounded);
}

}  // namespace

PyRef aggregate_call(Aggregate kind, const FilteredView& view, const char* full_name,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const bool with_default = kind != Aggregate::Sum;
  const Signature optional_default{full_name, {"attribute", "default"}, false, 1};
  const Signature attribute_only{full_name, {"attribute"}};
  BoundArgs bound =
      bind_fastcall(with_default ? optional_default : attribute_only, args, nargs, kwnames);
  const std::string path(extract_str(bound[0], "attribute"));
  PyObject* fallback = with_default ? bound[1] : nullptr;
  if (kind == Aggregate::Min || kind == Aggregate::Max) {
    // The answer is nearly always among the first values of a plain
    // attribute: the walk keeps the GIL until it runs long. Following a
    // dotted path from a large view is long from the start.
    const bool highest = kind == Aggregate::Max;
    const bool whole = view.is_whole_index();
    const std::optional<FacetValue> found = read_values(
        view,
        [&](const EvalScope& scope) {
          return extreme_value(scope, path, view.bitmap(), highest, whole);
        },
        path.find('.') == std::string::npos ? ReadRelease::WhenLong : ReadRelease::WhenLarge);
    if (found) return facet_object(*found);
    if (fallback != nullptr) return PyRef::borrow(fallback);
    PyErr_Format(PyExc_ValueError, "%s: no object holds an ordered value of '%s'", full_name,
                 path.c_str());
    throw PyErr::fetch();
  }
  NumberTotals totals = read_values(view, [&](const EvalScope& scope) {
    return number_totals(scope, path, view.bitmap(), view.is_whole_index());
  });
  if (totals.other != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s: an object holds a %s in '%s', which is not a number",
                 full_name, totals.other, path.c_str());
    throw PyErr::fetch();
  }
  if (kind == Aggregate::Mean && totals.count == 0) {
    if (fallback != nullptr) return PyRef::borrow(fallback);
    PyErr_Format(PyExc_ValueError, "%s: no object holds a number in '%s'", full_name, path.c_str());
    throw PyErr::fetch();
  }
  return total_of(totals, kind == Aggregate::Mean);
}

namespace {

// A condition as the PyQueryExpr builder that makes it: eq('a', 5); an
// and_, or_ or not_ by its kind and its number of members. Runs the values'
// own __repr__ (no native lock is held).
std::string condition_text(const QueryExpr& query) {
  const std::string name = QUERY_BUILDER_NAMES[static_cast<int>(query.kind)];
  switch (query.kind) {
    case QueryKind::And:
    case QueryKind::Or:
      return name + " of " + std::to_string(query.children.size());
    case QueryKind::Not:
      return name;
    default:
      break;
  }
  PyRef attr = str_from_utf8(query.attr.view());
  std::string out = name + "(" + repr_text(attr.get());
  std::vector<std::string> values;
  for (const PyValue& value : query.values) values.push_back(repr_text(value.to_object().get()));
  if (query.kind == QueryKind::In) {
    out += ", [";
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + values[i];
    return out + "])";
  }
  for (const std::string& v : values) out += ", " + v;
  return out + ")";
}

}  // namespace

PyRef explain_call(const FilteredView& view, IndexAPI* api, const char* full_name,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::vector<QueryRef> conditions = query_and_keywords(full_name, args, nargs, kwnames);
  PlanTrace trace;
  const uint64_t found = read_values(view, [&](const EvalScope& scope) {
    trace.clear();  // a read that met a change is read again
    return evaluate_and_queries_vec(scope, view.bitmap(), conditions, &trace)
        .intersected(view.bitmap())
        .cardinality();
  });
  std::string text = "QUERY PLAN over " + std::to_string(view.size()) +
                     " objects: " + std::to_string(found) + " found\n";
  if (conditions.empty()) text += "no condition: every object\n";
  if (api != nullptr && api->few_equal_count(conditions)) {
    text +=
        "equalities answered from their value sets directly (few objects match): the planner "
        "below is what a larger answer would take\n";
  }
  // Steps are numbered within their node, indented by depth.
  std::vector<int> numbers;
  for (const PlanStep& step : trace) {
    numbers.resize(static_cast<std::size_t>(step.depth) + 1, 0);
    const int number = ++numbers[static_cast<std::size_t>(step.depth)];
    text += std::string(static_cast<std::size_t>(step.depth) * 3, ' ') + std::to_string(number) +
            ". " + condition_text(*step.query) + ": ";
    if (step.conjunct) {
      text += step.estimate ? "estimated " + std::to_string(*step.estimate) : "no estimate";
      text += ", ";
    }
    if (step.skipped) {
      text += "not evaluated (stopped early: the answer was already empty)\n";
    } else {
      text += "searched " + std::to_string(step.within) + ", found " + std::to_string(step.found) +
              "\n";
    }
  }
  return PyRef::steal_or_throw(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace quorvane

namespace quorvane {

const char MIN_DOC[] =
    "min($self, attribute, default=...)\n--\n\n"
    "Returns the smallest value of attribute among the objects, in the order order_by "
    "follows (numbers first, then strings, False and True, then temporal values): the value "
    "order_by(attribute) puts first, read from the index's sets without visiting objects. "
    "Objects lacking the attribute or holding a value without an order (NaN, a list, tuple "
    "or set, an Indexable, a value of another kind) are passed over; a dotted path counts "
    "for an object only when it reaches one value. Numbers are given as count_by gives them.\n"
    "Raises ValueError when no object holds an ordered value, unless default is given (then "
    "returned); TypeError when attribute is not a str.\n"
    "Keeps the GIL while it walks the values of a plain attribute, unless the walk runs for "
    "half a millisecond in a view of 65,536 objects or more (the answer nearly always lies "
    "among the first values): it lets go of it then, for the rest; releases it to follow a "
    "dotted path in such a view.";

const char MAX_DOC[] =
    "max($self, attribute, default=...)\n--\n\n"
    "Returns the largest value of attribute among the objects: the value "
    "order_by(attribute, descending=True) puts first (see min).\n"
    "Raises ValueError when no object holds an ordered value, unless default is given (then "
    "returned); TypeError when attribute is not a str.\n"
    "Keeps the GIL while it walks the values of a plain attribute, unless the walk runs for "
    "half a millisecond in a view of 65,536 objects or more (the answer nearly always lies "
    "among the first values): it lets go of it then, for the rest; releases it to follow a "
    "dotted path in such a view.";

const char SUM_DOC[] =
    "sum($self, attribute)\n--\n\n"
    "Returns the sum of the numbers the objects hold in attribute, from the index's value "
    "counts (each distinct value times the number of objects holding it): 0 when none does. "
    "Objects lacking the attribute or holding a NaN (which the index does not keep) are passed "
    "over; True adds 1 and False 0, as Python adds them. The total is exact: an int when every "
    "value is integral, else a Fraction or a Decimal when the non-integral values include "
    "such numbers, else a float rounded once from the exact total (as math.fsum; sum() of "
    "the values may differ in the last digits). The index keeps a number equal to an int or "
    "a float as that int or float (Decimal('1.5') as 1.5), and infinities add up as floats "
    "do.\n"
    "Raises TypeError when an object holds a value that is not a number (a str, a temporal "
    "value, a list, tuple or set, another object; or several values through a dotted path), "
    "when Fractions and Decimals meet, or when attribute is not a str.\n"
    "Releases the GIL while it reads a view of 65,536 objects or more; keeps it for a "
    "smaller one.";

const char MEAN_DOC[] =
    "mean($self, attribute, default=...)\n--\n\n"
    "Returns sum(attribute) divided by the number of objects holding a number in "
    "attribute, computed from the exact total and rounded once: a float for ints and floats "
    "(like sum(values) / len(values)), a Fraction or a Decimal for those.\n"
    "Raises ValueError when no object holds a number, unless default is given (then "
    "returned); TypeError as sum does.\n"
    "Releases the GIL while it reads a view of 65,536 objects or more; keeps it for a "
    "smaller one.";

const char EXPLAIN_DOC[] =
    "explain($self, query=None, /, **kwargs)\n--\n\n"
    "Returns, as text, the plan the query (and keyword equalities, as count takes them) "
    "followed over the objects: each condition in the order the planner took it, the size it "
    "estimated for it from the value sets (when it could), the number of objects it was "
    "searched in and found, nested and_, or_ and not_ indented under their node, and the "
    "conditions left out once the answer was empty. The query is evaluated once to record "
    "this.\n"
    "Raises as count does.\n"
    "Releases the GIL while it searches a view of 65,536 objects or more; keeps it for a "
    "smaller one.";

}  // namespace quorvane
