"""Brute-force scan oracle for Quorvane queries.

Every answer here is computed by looking at each object of a universe in plain Python, so the
engine's answers can be compared against it one object at a time.

Queries are described by small tuples (see ``to_expr`` for the mapping onto ``PyQueryExpr``):

    ("eq", path, x) ("ne", path, x) ("gt"|"ge"|"lt"|"le", path, x) ("bt", path, lo, hi)
    (a None bound of "bt" leaves that end open)
    ("in", path, [xs]) ("starts_with"|"ends_with"|"contains", path, text)
    ("and", [qs]) ("or", [qs]) ("not", q)

Attribute reads go through a getter ``get(obj, name) -> value`` that raises ``KeyError`` or
``AttributeError`` when ``obj`` has no attribute ``name``.  The default getter reads the object's
attribute with ``getattr``.
"""

from __future__ import annotations

import datetime
import decimal
import fractions
import math
import operator

from Quorvane import Indexable, PyQueryExpr as Q

try:
    import numpy
except ImportError:  # numpy scalars are then simply never generated
    numpy = None

_MISSING = object()
_CONTAINERS = (list, tuple, set)
_COLLECTION_QUERY_VALUES = (list, tuple, set, dict)
_NUMBERS = (int, float, decimal.Decimal, fractions.Fraction) + (
    (numpy.integer, numpy.floating) if numpy else ())
_BOOLS = (bool,) + ((numpy.bool_,) if numpy else ())

# The orders a range walks, in the order order_by places them.
FAMILIES = ("number", "str", "date", "naive datetime", "aware datetime", "naive time",
            "aware time", "timedelta")

def default_getter(obj, name):
    return getattr(obj, name)


def _read(obj, name, get):
    try:
        return get(obj, name)
    except (AttributeError, KeyError):
        return _MISSING


def _flatten(value, out):
    """Appends the scalars inside container ``value`` (depth first, in order).

    A container met again while it is being flattened (one that contains itself, directly or
    through other containers) contributes nothing the second time, as in the engine.  Walks
    with its own stack: values may be nested far deeper than Python's recursion limit."""
    on_path = {id(value)}
    stack = [(value, iter(value))]
    while stack:
        container, elements = stack[-1]
        for element in elements:
            if isinstance(element, _CONTAINERS):
                if id(element) not in on_path:
                    on_path.add(id(element))
                    stack.append((element, iter(element)))
                    break
            elif not isinstance(element, dict):
                out.append(element)
        else:
            stack.pop()
            on_path.discard(id(container))


def candidates(obj, name, get=default_getter):
    """The values an object offers to a leaf test on attribute ``name``."""
    value = _read(obj, name, get)
    if value is _MISSING or isinstance(value, dict):
        return []
    if isinstance(value, _CONTAINERS):
        out = []
        _flatten(value, out)
        return out
    return [value]


def is_number(x):
    """Numbers of every kind (int and float subclasses, numpy scalars, Decimal, Fraction), not
    bool."""
    return isinstance(x, _NUMBERS) and not isinstance(x, bool)


def exact_value(x):
    """A number's exact value: a Fraction, or a float for an infinity or a NaN. Python compares
    int, float, Decimal and Fraction exactly; numpy's own mixed comparisons do not, so numpy
    scalars are turned into their exact value first."""
    if isinstance(x, (int, fractions.Fraction)):
        return fractions.Fraction(x)
    if isinstance(x, decimal.Decimal):
        return fractions.Fraction(x) if x.is_finite() else float(x)
    if numpy is not None and isinstance(x, numpy.integer):
        return fractions.Fraction(int(x))
    if numpy is not None and isinstance(x, numpy.floating) and not isinstance(x, float):
        return fractions.Fraction(*x.as_integer_ratio()) if numpy.isfinite(x) else float(x)
    return x if math.isinf(x) or math.isnan(x) else fractions.Fraction(x)


def is_ordered_number(x):
    if not is_number(x):
        return False
    v = exact_value(x)
    return not (isinstance(v, float) and math.isnan(v))


def family(x):
    """The order ``x`` belongs to (one of FAMILIES), or None: a bool, a container, None and
    objects of other kinds have none."""
    if is_number(x):
        return "number"
    if isinstance(x, str):
        return "str"
    if isinstance(x, datetime.datetime):
        return "aware datetime" if x.utcoffset() is not None else "naive datetime"
    if isinstance(x, datetime.date):
        return "date"
    if isinstance(x, datetime.time):
        return "aware time" if x.utcoffset() is not None else "naive time"
    if isinstance(x, datetime.timedelta):
        return "timedelta"
    return None


def sort_value(x):
    """What orders ``x`` within its family."""
    if is_number(x):
        return exact_value(x)
    if isinstance(x, str):
        return str.__str__(x)
    return x


def key_equal(candidate, x):
    """Key equality between a stored candidate and a query value: as Python compares them within
    a family (numbers by exact value, str subclasses by text, datetimes by instant, naive and
    aware apart), bools only with bools, everything else by identity."""
    if isinstance(x, _COLLECTION_QUERY_VALUES):
        return False
    if isinstance(x, _BOOLS):
        return isinstance(candidate, _BOOLS) and bool(candidate) == bool(x)
    kind = family(x)
    if kind is None:
        return candidate is x
    if family(candidate) != kind:
        return False
    if kind == "number":
        return is_ordered_number(candidate) and is_ordered_number(x) and (
            exact_value(candidate) == exact_value(x))
    return sort_value(candidate) == sort_value(x)


def refused(query):
    """Whether building ``query`` raises TypeError: a range leaf whose bounds have no order or
    belong to different orders (``bt`` with both bounds None included), a text test of
    something else than a str."""
    op = query[0]
    if op in ("and", "or"):
        return any(refused(q) for q in query[1])
    if op == "not":
        return refused(query[1])
    if op in _ORDER:
        return family(query[2]) is None
    if op in _TEXT:
        return not isinstance(query[2], str)
    if op == "bt":
        bounds = [b for b in query[2:] if b is not None]
        kinds = {family(b) for b in bounds}
        return not bounds or None in kinds or len(kinds) > 1
    return False


_ORDER = {"gt": operator.gt, "ge": operator.ge, "lt": operator.lt, "le": operator.le}
# str's own methods: a str subclass is matched by its text.
_TEXT = {
    "starts_with": str.startswith,
    "ends_with": str.endswith,
    "contains": str.__contains__,
}


def _leaf_test(op, args):
    """Returns a predicate over a single candidate for the positive form of a leaf."""
    if op == "eq":
        (x,) = args
        return lambda c: key_equal(c, x)
    if op == "in":
        (xs,) = args
        xs = list(xs)
        return lambda c: any(key_equal(c, x) for x in xs)
    if op in _ORDER or op == "bt":
        if op == "bt":
            ends = [(lo_op, b) for lo_op, b in zip((operator.ge, operator.le), args)
                    if b is not None]
        else:
            ends = [(_ORDER[op], args[0])]
        kinds = {family(b) for _, b in ends}
        if not ends or None in kinds or len(kinds) > 1:
            raise ValueError("a range needs bounds of one order (None: open)")
        (kind,) = kinds
        if kind == "number" and not all(is_ordered_number(b) for _, b in ends):
            return lambda c: False  # a NaN bound orders with nothing
        ends = [(cmp, sort_value(b)) for cmp, b in ends]
        return lambda c: (family(c) == kind and (kind != "number" or is_ordered_number(c))
                          and all(cmp(sort_value(c), b) for cmp, b in ends))
    if op in _TEXT:
        (t,) = args
        if not isinstance(t, str):
            return lambda c: False
        fn = _TEXT[op]
        return lambda c: isinstance(c, str) and fn(c, t)
    raise ValueError(f"unknown leaf operator {op!r}")


def path_matches(obj, path, test, get=default_getter):
    """True if some candidate reached through ``path`` satisfies ``test``."""
    head, dot, rest = path.partition(".")
    cands = candidates(obj, head, get)
    if not dot:
        return any(test(c) for c in cands)
    return any(
        isinstance(c, Indexable) and path_matches(c, rest, test, get) for c in cands
    )


def path_candidates(obj, path, get=default_getter):
    """All candidates a leaf test on ``path`` looks at for ``obj``."""
    head, dot, rest = path.partition(".")
    cands = candidates(obj, head, get)
    if not dot:
        return cands
    out = []
    for c in cands:
        if isinstance(c, Indexable):
            out.extend(path_candidates(c, rest, get))
    return out


def matches(obj, query, get=default_getter):
    op = query[0]
    if op == "and":
        return all(matches(obj, q, get) for q in query[1])
    if op == "or":
        return any(matches(obj, q, get) for q in query[1])
    if op == "not":
        return not matches(obj, query[1], get)
    if op == "ne":
        return not path_matches(obj, query[1], _leaf_test("eq", query[2:]), get)
    return path_matches(obj, query[1], _leaf_test(op, query[2:]), get)


def scan(universe, query, get=default_getter):
    """The objects of ``universe`` matching ``query`` (same order as ``universe``)."""
    return [o for o in universe if matches(o, query, get)]


def keywords_query(kw):
    """The query that ``get_by_attribute(**kw)`` / ``reduced(**kw)`` stand for."""
    return ("and", [("eq", k, v) for k, v in kw.items()])


def to_expr(query):
    """Builds the engine expression for a tuple query."""
    op = query[0]
    if op == "and":
        return Q.and_(*[to_expr(q) for q in query[1]])
    if op == "or":
        return Q.or_(*[to_expr(q) for q in query[1]])
    if op == "not":
        return Q.not_(to_expr(query[1]))
    if op == "in":
        return Q.in_(query[1], list(query[2]))
    if op == "bt":
        return Q.bt(query[1], query[2], query[3])
    if op in ("eq", "ne", "gt", "ge", "lt", "le", "starts_with", "ends_with", "contains"):
        return getattr(Q, op)(query[1], query[2])
    raise ValueError(f"unknown operator {op!r}")


def describe(query):
    """Readable rendering of a tuple query, for failure messages."""
    op = query[0]
    if op in ("and", "or"):
        return f"Q.{op}_(" + ", ".join(describe(q) for q in query[1]) + ")"
    if op == "not":
        return f"Q.not_({describe(query[1])})"
    if op == "in":
        return f"Q.in_({query[1]!r}, {list(query[2])!r})"
    return f"Q.{op}(" + ", ".join(repr(a) for a in query[1:]) + ")"


def identities(objs):
    return {id(o) for o in objs}


def check_result(result, expected, universe_label="", query=None):
    """Asserts the engine's list equals the expected objects as a set, without duplicates."""
    got_ids = [id(o) for o in result]
    assert len(got_ids) == len(set(got_ids)), f"duplicates in result {universe_label}"
    got, want = set(got_ids), identities(expected)
    if got != want:
        extra = [o for o in result if id(o) not in want]
        missing = [o for o in expected if id(o) not in got]
        where = f" for {describe(query)}" if query is not None else ""
        raise AssertionError(
            f"{universe_label}{where}: {len(extra)} unexpected, {len(missing)} missing\n"
            f"  unexpected: {[_show(o) for o in extra[:5]]}\n"
            f"  missing:    {[_show(o) for o in missing[:5]]}"
        )


def _show(obj, names=("a", "b", "s", "l", "n")):
    parts = []
    for n in names:
        v = _read(obj, n, default_getter)
        if v is not _MISSING:
            parts.append(f"{n}={_short(v)}")
    return f"<{type(obj).__name__}@{id(obj):x} " + " ".join(parts) + ">"


def _short(v, depth=0):
    if isinstance(v, Indexable):
        return f"<obj@{id(v):x}>"
    if isinstance(v, (list, tuple)):
        # Values may contain themselves or nest deeply: show the first levels only.
        inner = "..." if depth >= 3 else ", ".join(_short(e, depth + 1) for e in v[:8])
        return f"[{inner}]" if isinstance(v, list) else f"({inner})"
    r = repr(v)
    return r if len(r) <= 40 else r[:37] + "..."
