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

import math
import operator

from Quorvane import Indexable, PyQueryExpr as Q

_MISSING = object()
_CONTAINERS = (list, tuple, set)
_COLLECTION_QUERY_VALUES = (list, tuple, set, dict)
_NUMERIC = (int, float)


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
    """int or float proper (bool and int/float subclasses are not numbers for the index)."""
    return type(x) in _NUMERIC


def is_ordered_number(x):
    return is_number(x) and not (type(x) is float and math.isnan(x))


def key_equal(candidate, x):
    """Key equality between a stored candidate and a query value."""
    if isinstance(x, _COLLECTION_QUERY_VALUES):
        return False
    if is_number(x):
        return is_ordered_number(candidate) and is_ordered_number(x) and candidate == x
    if type(x) is bool:
        return type(candidate) is bool and candidate == x
    if type(x) is str:
        return type(candidate) is str and candidate == x
    return candidate is x


_ORDER = {"gt": operator.gt, "ge": operator.ge, "lt": operator.lt, "le": operator.le}
_TEXT = {
    "starts_with": lambda c, t: c.startswith(t),
    "ends_with": lambda c, t: c.endswith(t),
    "contains": lambda c, t: t in c,
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
    if op in _ORDER:
        (x,) = args
        if not is_ordered_number(x):
            return lambda c: False
        cmp = _ORDER[op]
        return lambda c: is_ordered_number(c) and cmp(c, x)
    if op == "bt":
        lo, hi = args
        if not all(is_number(b) or b is None for b in (lo, hi)):
            raise ValueError("between needs numeric bounds (None: open)")
        return lambda c: (is_ordered_number(c) and (lo is None or lo <= c)
                          and (hi is None or c <= hi))
    if op in _TEXT:
        (t,) = args
        if type(t) is not str:
            return lambda c: False
        fn = _TEXT[op]
        return lambda c: type(c) is str and fn(c, t)
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
