"""Differential tests: every answer of the engine is compared with a brute-force scan in Python.

A hypothesis state machine drives a few indexes and views through random object creation,
insertion, removal, clearing, re-assignment, in-place narrowing (by keywords or by a query),
views, rebasing and unions, while a plain Python model keeps the member set of every index and
view and the attribute values of every object. After each step the engine's answers are
compared with ``scan_oracle``, and len(), iteration and ``in`` with the model.

A view answers through the value maps of the index it came from: a view member that this
index has since dropped (by ``reduce``, a removal or ``clear``) still collects, but has no values
there, so it answers like an object without attributes until it is added to that index again.

Budget: ``QUORVANE_HYPOTHESIS_EXAMPLES`` (default 40) scales the number of examples.
"""

from __future__ import annotations

import datetime as dt
import decimal
import enum
import faulthandler
import fractions
import itertools
import math
import os

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.stateful import (
    RuleBasedStateMachine,
    initialize,
    invariant,
    precondition,
    rule,
)

from Quorvane import FilteredIndex, Index, Indexable, PyQueryExpr as Q

import scan_oracle as so

EXAMPLES = int(os.environ.get("QUORVANE_HYPOTHESIS_EXAMPLES", "40"))

NAMES = ("a", "b", "s", "l", "n")
MAX_OBJECTS = 30
MAX_INDEXES = 5
MAX_VIEWS = 6


class Item(Indexable):
    pass


class Other(Indexable):
    pass


class Plain:
    def __repr__(self):
        return f"Plain@{id(self):x}"


class Color(enum.IntEnum):
    RED = 1
    BLUE = 2


class Tag(str):
    pass


class Stamp(dt.datetime):
    """A datetime subclass: a datetime like any other."""


# Objects compared by identity only; shared between stored values and query values.
OPAQUE = (None, Plain(), Plain(), frozenset({1, 2}), b"a")
# Subclasses compared as their base: numbers and strings.
SUBCLASSED = (Color.RED, Color.BLUE, Tag("a"), Tag("ab"))


class Ref:
    """Placeholder for an Indexable chosen among the objects existing when it is resolved."""

    __slots__ = ("k",)

    def __init__(self, k):
        self.k = k

    def __repr__(self):
        return f"Ref({self.k})"


class Stored:
    """Placeholder for a query value taken from the values currently stored in the objects.

    kind "any" picks any stored candidate, "number" a stored int/float, "text" a slice
    ``[i:j]`` of a stored str, so that queries hit stored values (and their edges) often.
    """

    __slots__ = ("kind", "k", "i", "j")

    def __init__(self, kind, k, i=0, j=None):
        self.kind, self.k, self.i, self.j = kind, k, i, j

    def __repr__(self):
        return f"Stored({self.kind!r}, {self.k}, {self.i}, {self.j})"


# Small pools make stored values and query values collide often; wide strategies add the rest.
INT_POOL = [0, 1, -1, 2, 3, 2**53, 2**53 + 1, 2**63 - 1, -(2**63), 2**63, 2**63 + 1, 2**64,
            -(2**63) - 1, 2**100]
FLOAT_POOL = [0.0, -0.0, 1.0, -1.0, 2.0, 1.5, 3.0, 0.1, 2.0**53, 2.0**63, -(2.0**63), math.inf,
              -math.inf, math.nan]
D, F = decimal.Decimal, fractions.Fraction
# Numbers of other kinds, equal to pool values or between them.
EXACT_POOL = [D(1), D("1.5"), D("0.1"), D(0.1), D("-0"), D("1e-30"), D("1e400"), D("NaN"),
              D("-Infinity"), F(1, 10), F(1, 3), F(3, 2), F(2**64 + 1, 2), F(-1, 2**70)]
if so.numpy is not None:
    np = so.numpy
    EXACT_POOL += [np.int8(1), np.uint64(2**64 - 1), np.int64(-(2**63)), np.float32(0.1),
                   np.float16(1.5), np.float64(2.0**53), np.longdouble(1) / 3,
                   np.float32("nan")]
UTC = dt.timezone.utc
EAST = dt.timezone(dt.timedelta(hours=1))
WEST = dt.timezone(dt.timedelta(hours=-5, minutes=-30))
# Dates, datetimes (naive, aware: some equal instants in other zones), times and timedeltas.
TEMPORAL_POOL = [
    dt.date(2024, 1, 1), dt.date(2024, 1, 2), dt.date(1, 1, 1), dt.date(9999, 12, 31),
    dt.datetime(2024, 1, 1), dt.datetime(2024, 1, 1, 0, 0, 0, 1), Stamp(2024, 1, 2),
    dt.datetime(2024, 1, 1, tzinfo=UTC), dt.datetime(2024, 1, 1, 1, tzinfo=EAST),
    dt.datetime(2023, 12, 31, 18, 30, tzinfo=WEST), dt.datetime(9999, 12, 31, 23, tzinfo=UTC),
    dt.time(0), dt.time(12, 30), dt.time(0, tzinfo=UTC), dt.time(1, tzinfo=EAST),
    dt.time(23, 59, 59, 999999, tzinfo=WEST), dt.timedelta(0), dt.timedelta(microseconds=1),
    dt.timedelta(days=-1), dt.timedelta(days=999999999, hours=23), dt.timedelta(days=-999999999),
]
STR_POOL = ["", "a", "ab", "ba", "abc", "é", "éa", "日本語", "x" * 31, "x" * 30 + "y"]
FRAGMENTS = ["", "a", "b", "ab", "c", "é", "日本", "語", "x", "xy", "x" * 10, "abcd"]

core = st.one_of(st.sampled_from(INT_POOL), st.sampled_from(FLOAT_POOL), st.booleans(),
                 st.sampled_from(STR_POOL), st.sampled_from(OPAQUE + SUBCLASSED),
                 st.sampled_from(EXACT_POOL), st.sampled_from(TEMPORAL_POOL))
wide_ints = st.one_of(st.integers(-(2**63), 2**63 - 1), st.integers(-(2**200), 2**200))
wide_floats = st.floats()
wide_exact = st.one_of(
    st.fractions(max_denominator=10**12),
    st.tuples(st.integers(-(10**30), 10**30), st.integers(-40, 40)).map(
        lambda t: D(t[0]).scaleb(t[1])),
)
wide_temporal = st.one_of(st.dates(), st.datetimes(), st.times(), st.timedeltas(),
                          st.datetimes(timezones=st.sampled_from([UTC, EAST, WEST])))
wide_texts = st.text(st.characters(codec="utf-8", exclude_categories=("Cs",)), max_size=40)
refs = st.integers(0, 10**6).map(Ref)
ints = st.one_of(st.sampled_from(INT_POOL), wide_ints)
floats = st.one_of(st.sampled_from(FLOAT_POOL), wide_floats)
texts = st.one_of(st.sampled_from(STR_POOL), wide_texts)
scalars = st.one_of(core, core, core, refs, refs, wide_ints, wide_floats, wide_texts, wide_exact,
                    wide_temporal)
hashables = scalars
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=4).map(tuple),
        st.frozensets(hashables, max_size=4).map(set),
        st.dictionaries(st.sampled_from(NAMES), inner, max_size=2),
    ),
    max_leaves=6,
)

stored_any = st.builds(Stored, st.just("any"), st.integers(0, 10**6))
stored_twin = st.builds(Stored, st.just("twin"), st.integers(0, 10**6), st.integers(0, 10**6))
stored_number_twin = st.builds(Stored, st.just("number twin"), st.integers(0, 10**6),
                               st.integers(0, 10**6))
stored_number = st.builds(Stored, st.just("number"), st.integers(0, 10**6))
stored_text = st.builds(Stored, st.just("text"), st.integers(0, 10**6), st.integers(-3, 3),
                        st.one_of(st.none(), st.integers(-3, 40)))
# "n" mostly holds a nested object and "l" mostly a list mixing nested objects and scalars, so
# that dotted paths (also through list elements) have something to walk.
VALUES_BY_NAME = {
    "n": st.one_of(refs, refs, refs, values),
    "l": st.one_of(st.lists(st.one_of(refs, scalars), max_size=4), values),
}


def values_for(name):
    return VALUES_BY_NAME.get(name, values)


query_scalars = st.one_of(
    stored_any,
    stored_any,
    stored_twin,
    scalars,
    st.builds(Plain),
    st.just(frozenset({1, 2})).map(frozenset),
    st.sampled_from([[1], (1,), {1}, {"a": 1}, [], ()]),
)
numbers = st.one_of(stored_number, stored_number, stored_number_twin,
                    st.sampled_from(INT_POOL + FLOAT_POOL + EXACT_POOL),
                    wide_ints, wide_floats, wide_exact)
stored_ordered = st.builds(Stored, st.just("ordered"), st.integers(0, 10**6),
                           st.integers(0, 10**6))
# Range bounds: any ordered value (a stored one or a near miss often), and now and then one
# without an order, which the builders refuse.
bounds = st.one_of(numbers, numbers, stored_ordered, stored_ordered, st.sampled_from(TEMPORAL_POOL),
                   wide_temporal, st.sampled_from(STR_POOL), query_scalars)
fragments = st.one_of(stored_text, stored_text, st.sampled_from(FRAGMENTS),
                      st.sampled_from(STR_POOL), wide_texts)


def paths():
    direct = st.sampled_from(NAMES)
    via = st.sampled_from(("n", "l", "a"))
    return st.one_of(
        direct,
        direct,
        st.tuples(via, direct).map(".".join),
        st.tuples(via, via, direct).map(".".join),
    )


def leaf_queries():
    p = paths()
    return st.one_of(
        st.tuples(st.sampled_from(["eq", "ne"]), p, query_scalars),
        st.tuples(st.sampled_from(["gt", "ge", "lt", "le"]), p, bounds),
        st.tuples(st.just("bt"), p, st.one_of(bounds, st.none()), st.one_of(bounds, st.none())),
        st.tuples(st.just("in"), p, st.lists(query_scalars, max_size=4)),
        st.tuples(st.sampled_from(["starts_with", "ends_with", "contains"]), p,
                  st.one_of(fragments, fragments, query_scalars)),
    )


queries = st.one_of(
    leaf_queries(),
    st.recursive(
        leaf_queries(),
        lambda inner: st.one_of(
            st.tuples(st.just("and"), st.lists(inner, min_size=1, max_size=3)),
            st.tuples(st.just("or"), st.lists(inner, min_size=1, max_size=3)),
            st.tuples(st.just("not"), inner),
            st.tuples(st.sampled_from(["and", "or"]), st.just([])),
        ),
        max_leaves=5,
    ),
)
keywords = st.dictionaries(paths(), query_scalars, min_size=1, max_size=2)


def twins(c):
    """Values that are easy to confuse with ``c`` but differ from it under key equality, or
    are equal to it under a different type (int vs float vs Decimal vs Fraction, naive vs aware,
    a date vs a datetime)."""
    out = []
    if type(c) is bool:
        out += [int(c), float(c), not c]
    elif isinstance(c, Tag):
        out += [str(c), str(c) + "x"]
    elif type(c) is str:
        out += [Tag(c), c + "x", c[:-1], c.upper()]
    elif so.is_number(c):
        v = so.exact_value(c)
        if isinstance(v, F):
            out += [v, v + F(1, 10**30), v - F(1, 10**30), v + 1]
            if v.denominator == 1:
                out += [int(v), F(2 * int(v) + 1, 2)]
                if v in (0, 1):
                    out += [bool(v)]
                if v in (1, 2):
                    out += [Color(int(v))]
            f = float(v) if abs(v) < 2**1000 else math.inf
            out += [f, math.nextafter(f, math.inf), math.nextafter(f, -math.inf), D(f)]
            if v.denominator == 1 or v.denominator.bit_count() == 1:
                out += [D(v.numerator) / D(v.denominator)]  # equal or rounded: a near miss
        elif not math.isnan(v):
            out += [-v, D(v), F(1, 2) if v > 0 else -F(1, 2)]
    elif isinstance(c, (dt.date, dt.time, dt.timedelta)):
        # Near the ends of their ranges some of these do not exist (OverflowError).
        for make in temporal_twins(c):
            try:
                out.append(make())
            except OverflowError:
                pass
    elif isinstance(c, frozenset):
        out += [frozenset(c)]
    elif c is None:
        out += [0, "", False]
    return out or [c]


def temporal_twins(c):
    """Makers of values next to a date, datetime, time or timedelta, or equal to it in another
    form."""
    if isinstance(c, dt.datetime):
        if c.utcoffset() is None:
            return [lambda: c.replace(tzinfo=UTC), lambda: c.date(),
                    lambda: c + dt.timedelta(microseconds=1)]
        return [lambda: c.astimezone(EAST), lambda: c.astimezone(WEST),
                lambda: c.replace(tzinfo=None), lambda: c - dt.timedelta(microseconds=1)]
    if isinstance(c, dt.date):
        return [lambda: dt.datetime(c.year, c.month, c.day), lambda: c + dt.timedelta(days=1)]
    if isinstance(c, dt.time):
        return [lambda: c.replace(tzinfo=None if c.utcoffset() is not None else UTC),
                lambda: c.replace(microsecond=(c.microsecond + 1) % 10**6)]
    return [lambda: c + dt.timedelta(microseconds=1), lambda: -c]


class StoredValues:
    """The values a leaf test on a path can see in ``objects``, by kind (computed lazily)."""

    def __init__(self, objects, get=so.default_getter):
        self.objects, self.get, self.cache = objects, get, {}

    def pick(self, placeholder, path):
        if path not in self.cache:
            found = {"any": [], "number": [], "text": [], "ordered": []}
            for obj in self.objects:
                for c in so.path_candidates(obj, path, self.get):
                    found["any"].append(c)
                    if so.family(c) is not None:
                        found["ordered"].append(c)
                    if so.is_number(c):
                        found["number"].append(c)
                    elif type(c) is str:
                        found["text"].append(c)
            self.cache[path] = found
        kind = {"twin": "any", "number twin": "number"}.get(placeholder.kind, placeholder.kind)
        found = self.cache[path][kind]
        if not found:
            return {"any": None, "number": 0, "text": "", "ordered": 0}[kind]
        picked = found[placeholder.k % len(found)]
        if placeholder.kind == "text":
            return picked[placeholder.i:placeholder.j]
        if placeholder.kind == "twin":
            options = twins(picked)
            return options[placeholder.i % len(options)]
        if placeholder.kind == "number twin":
            options = [t for t in twins(picked) if so.is_number(t)] or [picked]
            return options[placeholder.i % len(options)]
        if placeholder.kind == "ordered":
            # The value itself or a near miss of the same order.
            options = [picked] + [t for t in twins(picked) if so.family(t) == so.family(picked)]
            return options[placeholder.i % len(options)]
        return picked


def resolve(value, pool, stored=None, path=None):
    """Replaces Ref placeholders with objects of ``pool`` (or None when the pool is empty) and
    Stored placeholders with values that ``stored`` (a StoredValues) finds on ``path``."""
    if isinstance(value, Ref):
        return pool[value.k % len(pool)] if pool else None
    if isinstance(value, Stored):
        return stored.pick(value, path)
    if isinstance(value, list):
        return [resolve(v, pool, stored, path) for v in value]
    if isinstance(value, tuple):
        return tuple(resolve(v, pool, stored, path) for v in value)
    if isinstance(value, set):
        return {resolve(v, pool, stored, path) for v in value}
    if isinstance(value, dict):
        return {k: resolve(v, pool, stored, path) for k, v in value.items()}
    return value


def resolve_query(q, pool, stored=None):
    stored = stored or StoredValues(pool)
    op = q[0]
    if op in ("and", "or"):
        return (op, [resolve_query(x, pool, stored) for x in q[1]])
    if op == "not":
        return (op, resolve_query(q[1], pool, stored))
    return (op, q[1]) + tuple(resolve(a, pool, stored, q[1]) for a in q[2:])


def resolve_keywords(kw, pool, stored=None):
    stored = stored or StoredValues(pool)
    return {p: resolve(v, pool, stored, p) for p, v in kw.items()}


def same_value(read, stored):
    """A read-back attribute must be the stored value (equal scalars may be new objects)."""
    if read is stored:
        return True
    if type(read) is not type(stored):
        return False
    if type(stored) is float:
        return (math.isnan(read) and math.isnan(stored)) or (
            read == stored and math.copysign(1, read) == math.copysign(1, stored))
    if type(stored) in (int, str, bool):
        return read == stored
    return False


BATTERY_PATHS = NAMES + tuple(f"{h}.{n}" for h in ("n", "l") for n in NAMES) + (
    "n.n.a", "n.l.s", "l.n.b", "l.l.a")


def _distinct(values):
    seen, out = set(), []
    for v in values:
        key = (type(v), repr(v)) if not isinstance(v, (Indexable, Plain)) else id(v)
        if key not in seen:
            seen.add(key)
            out.append(v)
    return out


def battery(universe, get, limit=10):
    """Leaf queries built from the values stored in ``universe`` and their near misses."""
    for path in BATTERY_PATHS:
        stored = _distinct(c for o in universe for c in so.path_candidates(o, path, get))
        if not stored:
            continue
        stored = stored[:limit]
        probes = _distinct(stored + [t for c in stored for t in twins(c)])
        yield ("in", path, stored[:3])
        yield ("ne", path, stored[0])
        for x in probes:
            yield ("eq", path, x)
            if so.family(x) is not None:
                for op in ("gt", "ge", "lt", "le"):
                    yield (op, path, x)
                yield ("bt", path, x, x)
                yield ("bt", path, None, x)
                yield ("bt", path, x, None)
                if type(x) in (int, float):
                    yield ("bt", path, -x, x)
            if type(x) is str:
                yield ("starts_with", path, x[:1])
                yield ("ends_with", path, x[-2:])
                yield ("contains", path, x[1:3])
            elif not isinstance(x, Indexable):
                yield ("starts_with", path, x)  # refused when built


NO_ATTRIBUTES = Item()  # stands in for a view member its index no longer holds


def order_rank(v):
    """Where a value orders among others (see order_by), or None for a value without an order."""
    if v is NO_ATTRIBUTES:
        return None
    kind = so.family(v)
    if isinstance(v, so._BOOLS):
        return (2, bool(v))
    if kind == "number" and so.is_ordered_number(v):
        return (0, so.exact_value(v))
    if kind == "str":
        return (1, so.sort_value(v))
    if kind not in (None, "number"):
        return (1 + so.FAMILIES.index(kind), v)
    return None


def facet_keys(candidates):
    """The distinct values among ``candidates`` as count_by tells them apart."""
    keys = {}
    for c in candidates:
        kind = so.family(c)
        if isinstance(c, so._BOOLS):
            keys[("bool", bool(c))] = bool(c)
        elif so.is_ordered_number(c):
            keys[("number", so.exact_value(c))] = c
        elif kind == "str":
            keys[("str", so.sort_value(c))] = so.sort_value(c)
        elif kind not in (None, "number"):
            keys[(kind, c)] = c
        elif kind is None:
            keys[("identity", id(c))] = c
    return keys


def exact_of(v):
    return int(bool(v)) if isinstance(v, so._BOOLS) else so.exact_value(v)


def is_nan(v):
    x = so.exact_value(v)
    return isinstance(x, float) and math.isnan(x)


def exact_total(numbers):
    """The exact sum as a Fraction, or a float for infinities (nan when both signs meet)."""
    values = [exact_of(v) for v in numbers]
    infinite = {math.copysign(1, x) for x in values if isinstance(x, float)}
    if infinite:
        return math.nan if len(infinite) == 2 else math.copysign(math.inf, infinite.pop())
    return sum(values, fractions.Fraction(0))


def rational_kinds(numbers):
    """The kinds of the numbers the index keeps with their type, being no int64 or double: a
    "Decimal", or a non-integral "Fraction". A sum holding both is refused."""
    kinds = set()
    for v in numbers:
        x = exact_of(v)
        if isinstance(x, float) or fits_a_key(x):
            continue
        if isinstance(v, decimal.Decimal):
            kinds.add("Decimal")
        elif x.denominator != 1:
            kinds.add("Fraction")
    return kinds


def check_sums(target, path, values, refused, where):
    """sum and mean of ``path`` on ``target`` against the exact total of ``values`` (each
    object's single value), refused with TypeError when some object holds a non-number."""
    if refused:
        for method in (target.sum, target.mean):
            with pytest.raises(TypeError):
                method(path)
        return
    numbers = [v for v in values if isinstance(v, so._BOOLS) or not is_nan(v)]
    try:
        total = target.sum(path)
    except TypeError:
        # A Fraction beside a Decimal: refused as Python refuses adding them.
        assert rational_kinds(numbers) == {"Decimal", "Fraction"}, where
        return
    want = exact_total(numbers)
    assert same_number(total, want), (where, total, want)
    exact = [exact_of(v) for v in numbers]
    if all(not isinstance(x, float) and x == int(x) for x in exact):
        # Integral values add up to an int, or to a Decimal when a Decimal is beyond the int64
        # and double values (the index keeps such a number with its type).
        beyond = any(isinstance(v, decimal.Decimal) and not fits_a_key(x)
                     for v, x in zip(numbers, exact))
        assert isinstance(total, decimal.Decimal if beyond else int), (where, total)
    if not numbers:
        assert total == 0 and target.mean(path, default=None) is None, where
        return
    want_mean = want if isinstance(want, float) else want / len(numbers)
    if isinstance(total, int):
        # An int total divides as ints do: beyond the floats it overflows.
        try:
            want_mean = float(want_mean)
        except OverflowError:
            with pytest.raises(OverflowError):
                target.mean(path)
            return
    mean = target.mean(path)
    assert same_number(mean, want_mean), (where, mean, want_mean)


def fits_a_key(x):
    """Whether an exact value is an int64 or a double (the numeric index's own keys)."""
    if x.denominator == 1 and -(2**63) <= x < 2**63:
        return True
    try:
        return fractions.Fraction(float(x)) == x
    except OverflowError:
        return False


def same_number(got, want):
    """The engine's total (an int, float, Fraction or Decimal) against the exact one: exact, a
    float rounded once, a Decimal to the context's precision."""
    if isinstance(want, float):
        return isinstance(got, float) and (got == want or (math.isnan(got) and math.isnan(want)))
    if isinstance(got, float):
        try:
            return got == float(want)
        except OverflowError:  # floats adding up beyond the largest overflow to an infinity
            return got == (math.inf if want > 0 else -math.inf)
    if isinstance(got, decimal.Decimal):
        return got == decimal.Decimal(want.numerator) / decimal.Decimal(want.denominator)
    return got == want


class Container:
    """Model of an index or a view: the engine object plus its member identities."""

    def __init__(self, engine, members, label, parent=None):
        self.engine = engine
        self.members = dict(members)  # id -> object
        self.label = label
        self.parent = parent

    @property
    def is_view(self):
        return isinstance(self.engine, FilteredIndex)


class IndexMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.objects = []       # creation order; an object only references earlier ones
        self.attrs = []         # shadow attribute dicts, parallel to self.objects
        self.position = {}      # id(obj) -> creation number
        self.indexes = []
        self.views = []
        self.counter = 0

    # ----------------------------------------------------------------- helpers

    def get(self, obj, name):
        if obj is NO_ATTRIBUTES:
            raise KeyError(name)
        return self.attrs[self.position[id(obj)]][name]

    def stored(self):
        """Values for queries, taken from the members of the indexes and views."""
        members = {}
        for c in self.live():
            members.update(c.members)
        return StoredValues(list(members.values()) or self.objects, self.get)

    def universe(self, container):
        return sorted(container.members.values(), key=lambda o: self.position[id(o)])

    def live(self):
        return self.indexes + self.views

    def populated(self):
        return [c for c in self.live() if c.members]

    def new_label(self, kind):
        self.counter += 1
        return f"{kind}{self.counter}"

    def pick(self, data, seq, label):
        return seq[data.draw(st.integers(0, len(seq) - 1), label=label)]

    def expected(self, container, q):
        """Scan of the container's members; for a view, members that the index at the root of
        the view chain no longer holds answer like an object without attributes."""
        root = self.root(container)
        return [o for o in self.universe(container)
                if so.matches(o if id(o) in root.members else NO_ATTRIBUTES, q, self.get)]

    def refused(self, q):
        """A query with a range whose bounds have no common order is refused when built (and
        the caller then skips it)."""
        if not so.refused(q):
            return False
        with pytest.raises(TypeError, match="on attribute"):
            so.to_expr(q)
        return True

    def check_query(self, container, q):
        if self.refused(q):
            return
        expected = self.expected(container, q)
        view = container.engine.reduced_query(so.to_expr(q))
        result = view.collect()
        so.check_result(result, expected, f"{container.label}.reduced_query", q)
        self.check_order(result, container)

    def check_keywords(self, container, kw):
        expected = self.expected(container, so.keywords_query(kw))
        if container.is_view:
            result = container.engine.reduced(**kw).collect()
            where = f"{container.label}.reduced(**{kw!r})"
        else:
            result = container.engine.get_by_attribute(**kw)
            where = f"{container.label}.get_by_attribute(**{kw!r})"
        so.check_result(result, expected, where)
        self.check_order(result, container)

    def check_order(self, result, container):
        """A result is in the same relative order as the container's own collect()."""
        rank = {id(o): i for i, o in enumerate(container.engine.collect())}
        ranks = [rank.get(id(o), -1) for o in result]
        assert -1 not in ranks, f"{container.label}: result holds a non-member"
        assert ranks == sorted(ranks), f"{container.label}: result order differs from collect()"

    def spot_check(self, data, n=2):
        """A couple of random queries on every live index and view."""
        for _ in range(n):
            raw = data.draw(queries, label="spot query")
            q = resolve_query(raw, self.objects, self.stored())
            for container in self.populated():
                self.check_query(container, q)

    def add_container(self, seq, limit, container, data):
        if len(seq) < limit:
            seq.append(container)
        else:
            seq[data.draw(st.integers(0, limit - 1), label="replace slot")] = container

    # ------------------------------------------------------------------- rules

    @initialize(data=st.data(), n=st.integers(2, 3), population=st.integers(4, 16))
    def populate(self, data, n, population):
        for _ in range(n):
            self.indexes.append(Container(Index(), {}, self.new_label("idx")))
        for _ in range(population):
            self.create_object(data, data.draw(st.booleans()))
        for idx in self.indexes:
            if self.objects:
                self.add_object_many(data, idx)

    @precondition(lambda self: len(self.objects) < MAX_OBJECTS)
    @rule(data=st.data(), other_class=st.booleans())
    def create_object(self, data, other_class):
        names = data.draw(st.lists(st.sampled_from(NAMES), unique=True, max_size=len(NAMES)))
        raw = {n: data.draw(values_for(n), label=f"value {n}") for n in names}
        attrs = {n: resolve(v, self.objects) for n, v in raw.items()}
        obj = (Other if other_class else Item)(**attrs)
        self.position[id(obj)] = len(self.objects)
        self.objects.append(obj)
        self.attrs.append(dict(attrs))
        if data.draw(st.booleans(), label="add it"):
            idx = self.pick(data, self.indexes, "index")
            idx.engine.add_object(obj)
            idx.members[id(obj)] = obj

    @precondition(lambda self: self.objects)
    @rule(data=st.data(), times=st.integers(1, 2))
    def add_object(self, data, times):
        idx = self.pick(data, self.indexes, "index")
        obj = self.pick(data, self.objects, "object")
        for _ in range(times):
            idx.engine.add_object(obj)
        idx.members[id(obj)] = obj
        self.spot_check(data)

    @precondition(lambda self: self.objects)
    @rule(data=st.data())
    def add_object_many(self, data, idx=None):
        idx = idx or self.pick(data, self.indexes, "index")
        batch = data.draw(st.lists(st.sampled_from(self.objects), max_size=12), label="batch")
        idx.engine.add_object_many(batch)
        for obj in batch:
            idx.members[id(obj)] = obj
        self.spot_check(data)

    @precondition(lambda self: self.objects)
    @rule(data=st.data())
    def assign(self, data):
        k = data.draw(st.integers(0, len(self.objects) - 1), label="object")
        obj = self.objects[k]
        name = data.draw(st.sampled_from(NAMES), label="name")
        value = resolve(data.draw(values_for(name), label="value"), self.objects[:k])
        setattr(obj, name, value)
        self.attrs[k][name] = value
        read = getattr(obj, name)
        assert same_value(read, value), f"read back {read!r}, assigned {value!r}"
        self.spot_check(data)

    @precondition(lambda self: any(isinstance(v, list) for a in self.attrs for v in a.values()))
    @rule(data=st.data(), fresh=st.booleans())
    def mutate_list_then_assign(self, data, fresh):
        owners = [(k, n) for k, a in enumerate(self.attrs) for n, v in a.items()
                  if isinstance(v, list)]
        k, name = data.draw(st.sampled_from(owners), label="list owner")
        obj = self.objects[k]
        lst = self.attrs[k][name]
        action = data.draw(st.sampled_from(["append", "pop", "clear", "nested", "set"]))
        extra = resolve(data.draw(scalars, label="element"), self.objects[:k])
        if action == "append" or not lst:
            lst.append(extra)
        elif action == "pop":
            lst.pop(data.draw(st.integers(0, len(lst) - 1)))
        elif action == "clear":
            lst.clear()
        elif action == "nested":
            lst.append([extra, [extra]])
        else:
            lst[data.draw(st.integers(0, len(lst) - 1))] = extra
        value = list(lst) if fresh else lst
        setattr(obj, name, value)
        self.attrs[k][name] = value
        self.spot_check(data)

    @precondition(lambda self: any(len(i.members) >= 3 for i in self.indexes))
    @rule(data=st.data())
    def reduce(self, data):
        idx = self.pick(data, [i for i in self.indexes if len(i.members) >= 3], "index")
        if data.draw(st.integers(0, 3), label="view of it first") == 0:
            self.make_view(data, data.draw(st.booleans(), label="by query"), parent=idx)
        kw = resolve_keywords(data.draw(keywords, label="keywords"), self.objects, self.stored())
        idx.engine.reduce(**kw)
        keep = {id(o) for o in so.scan(self.universe(idx), so.keywords_query(kw), self.get)}
        idx.members = {i: o for i, o in idx.members.items() if i in keep}
        so.check_result(idx.engine.collect(), idx.members.values(), f"{idx.label} after reduce")
        self.spot_check(data)

    @precondition(lambda self: any(i.members for i in self.indexes))
    @rule(data=st.data(), how=st.sampled_from(["reduce", "remove_where", "reduce not"]))
    def reduce_by_query(self, data, how):
        """Keeps the members that match (reduce), drops them (remove_where, which says how many),
        or keeps those that do not (reduce of the query's complement)."""
        idx = self.pick(data, [i for i in self.indexes if i.members], "index")
        if data.draw(st.integers(0, 3), label="view of it first") == 0:
            self.make_view(data, data.draw(st.booleans(), label="by query"), parent=idx)
        q = resolve_query(data.draw(queries, label="query"), self.objects, self.stored())
        if self.refused(q):
            return
        kw = {}
        if how != "reduce not" and data.draw(st.booleans(), label="with keywords"):
            kw = resolve_keywords(data.draw(keywords, label="keywords"), self.objects,
                                  self.stored())
        both = ("and", [q, so.keywords_query(kw)])
        found = {id(o) for o in so.scan(self.universe(idx), both, self.get)}
        if how == "reduce":
            idx.engine.reduce(so.to_expr(q), **kw)
            idx.members = {i: o for i, o in idx.members.items() if i in found}
        elif how == "remove_where":
            assert idx.engine.remove_where(so.to_expr(q), **kw) == len(found)
            idx.members = {i: o for i, o in idx.members.items() if i not in found}
        else:
            idx.engine.reduce(~so.to_expr(q))
            idx.members = {i: o for i, o in idx.members.items() if i not in found}
        so.check_result(idx.engine.collect(), idx.members.values(),
                        f"{idx.label} after {how} by query", both)
        self.spot_check(data)

    @precondition(lambda self: self.objects)
    @rule(data=st.data(), how=st.sampled_from(["remove", "discard", "many"]))
    def remove(self, data, how):
        """Removes members (or tries non-members: KeyError for remove and for a batch holding
        one, which then removes nothing; nothing for discard), possibly after taking a view
        that must keep them."""
        idx = self.pick(data, self.indexes, "index")
        if idx.members and data.draw(st.integers(0, 3), label="view of it first") == 0:
            self.make_view(data, data.draw(st.booleans(), label="by query"), parent=idx)
        if how == "many":
            pool = list(idx.members.values()) * 3 + self.objects
            batch = data.draw(st.lists(st.sampled_from(pool), max_size=6), label="batch")
            if any(id(o) not in idx.members for o in batch):
                with pytest.raises(KeyError):
                    idx.engine.remove_object_many(batch)
            else:
                idx.engine.remove_object_many(batch)
                for obj in batch:
                    idx.members.pop(id(obj), None)
        else:
            pool = list(idx.members.values()) * 3 + self.objects
            obj = self.pick(data, pool, "object")
            if id(obj) in idx.members:
                getattr(idx.engine, f"{how}_object")(obj)
                del idx.members[id(obj)]
            elif how == "remove":
                with pytest.raises(KeyError):
                    idx.engine.remove_object(obj)
            else:
                idx.engine.discard_object(obj)
        so.check_result(idx.engine.collect(), idx.members.values(), f"{idx.label} after {how}")
        self.spot_check(data)

    @precondition(lambda self: any(i.members for i in self.indexes))
    @rule(data=st.data())
    def clear(self, data):
        idx = self.pick(data, [i for i in self.indexes if i.members], "index")
        if data.draw(st.booleans(), label="view of it first"):
            self.make_view(data, data.draw(st.booleans(), label="by query"), parent=idx)
        idx.engine.clear()
        idx.members = {}
        self.spot_check(data)

    def root(self, view):
        c = view
        while c.parent is not None:
            c = c.parent
        return c

    @rule(data=st.data(), by_query=st.booleans())
    def make_view(self, data, by_query, parent=None):
        parent = parent or self.pick(data, self.live(), "source")
        if by_query:
            q = resolve_query(data.draw(queries, label="query"), self.objects, self.stored())
            if self.refused(q):
                return
            engine = parent.engine.reduced_query(so.to_expr(q))
            what = so.describe(q)
        else:
            raw = data.draw(keywords, label="keywords")
            kw = resolve_keywords(raw, self.objects, self.stored())
            q = so.keywords_query(kw)
            engine = parent.engine.reduced(**kw)
            what = f"reduced(**{kw!r})"
        assert isinstance(engine, FilteredIndex)
        members = {id(o): o for o in self.expected(parent, q)}
        view = Container(engine, members, self.new_label("view"), parent=parent)
        so.check_result(engine.collect(), members.values(), f"{parent.label} -> {what}")
        self.add_container(self.views, MAX_VIEWS, view, data)
        self.spot_check(data)

    @precondition(lambda self: self.views)
    @rule(data=st.data())
    def rebase(self, data):
        view = self.pick(data, self.views, "view")
        engine = view.engine.rebase()
        assert isinstance(engine, Index)
        idx = Container(engine, view.members, self.new_label("rebased"))
        so.check_result(engine.collect(), idx.members.values(), f"rebase of {view.label}")
        self.add_container(self.indexes, MAX_INDEXES, idx, data)
        self.spot_check(data)

    @rule(data=st.data())
    def union_with(self, data):
        a = self.pick(data, self.indexes, "target")
        b = self.pick(data, self.indexes, "source")
        before = dict(b.members)
        a.engine.union_with(b.engine)
        a.members.update(b.members)
        so.check_result(a.engine.collect(), a.members.values(), f"{a.label} after union")
        so.check_result(b.engine.collect(), before.values(), f"{b.label} (union source)")
        self.spot_check(data)

    @rule(data=st.data())
    def check_queries(self, data):
        for _ in range(3):
            raw = data.draw(queries, label="query")
            q = resolve_query(raw, self.objects, self.stored())
            for container in self.populated():
                self.check_query(container, q)
        kw = resolve_keywords(data.draw(keywords, label="keywords"), self.objects, self.stored())
        for container in self.populated():
            self.check_keywords(container, kw)

    def has_value(self, container, obj, name):
        """The value the root index holds for ``obj``, or NO_ATTRIBUTES."""
        if id(obj) not in self.root(container).members:
            return NO_ATTRIBUTES
        try:
            return self.get(obj, name)
        except KeyError:
            return NO_ATTRIBUTES

    def expected_order(self, container, name, descending):
        """Numbers, then strings, then False/True, then the temporal families in turn (reversed
        when descending), ties and the objects without an ordered value in collect() order, the
        latter last."""
        return self.expected_keyed_order(container, [(name, descending)])

    def expected_keyed_order(self, container, keys):
        """order_by(*keys): stable sorts from the last key to the first, each placing the
        objects without a single ordered value after the others whatever its direction."""
        items = container.engine.collect()
        for path, descending in reversed(keys):
            rank = {id(o): order_rank(self.single_value(container, o, path)) for o in items}
            ranked = [o for o in items if rank[id(o)] is not None]
            ranked.sort(key=lambda o: rank[id(o)], reverse=descending)  # stable either way
            items = ranked + [o for o in items if rank[id(o)] is None]
        return items

    def reach(self, container, obj, path):
        """What ``path`` reaches from ``obj`` as the index walks it: (candidates, single,
        plural). candidates: every scalar it reaches (containers flattened), which facets
        count; single: the one value it orders by, or NO_ATTRIBUTES; plural: whether it holds
        a non-empty container or reaches several objects on the way to some object."""
        head, *rest = path.split(".")
        values = [self.has_value(container, obj, head)]
        plural, ends = False, True
        for segment in rest:
            reached = {}
            for v in values:
                found = []
                if isinstance(v, Indexable) and v is not NO_ATTRIBUTES:
                    found = [v]
                elif isinstance(v, so._CONTAINERS):
                    plural |= len(v) > 0
                    flat = []
                    so._flatten(v, flat)
                    found = [x for x in flat if isinstance(x, Indexable)]
                plural |= len({id(x) for x in found}) > 1
                reached.update((id(x), x) for x in found)
            ends = bool(reached)
            values = [self.read_or_missing(o, segment) for o in reached.values()]
        candidates, scalars = [], []
        for v in values:
            if v is NO_ATTRIBUTES or isinstance(v, dict):
                continue
            if isinstance(v, so._CONTAINERS):
                plural |= len(v) > 0
                so._flatten(v, candidates)
            else:
                candidates.append(v)
                scalars.append(v)
        plural = plural and ends
        single = scalars[0] if not plural and len(values) == 1 and scalars else NO_ATTRIBUTES
        return candidates, single, plural

    def read_or_missing(self, obj, name):
        try:
            return self.get(obj, name)
        except KeyError:
            return NO_ATTRIBUTES

    def single_value(self, container, obj, path):
        return self.reach(container, obj, path)[1]

    def expected_facets(self, container, name, universe=None):
        counts = {}
        for obj in universe if universe is not None else self.universe(container):
            for c in facet_keys(self.reach(container, obj, name)[0]).values():
                counts[c] = counts.get(c, 0) + 1
        return counts

    def expected_combined_facets(self, container, names):
        counts = {}
        for obj in self.universe(container):
            lists = [list(facet_keys(self.reach(container, obj, n)[0]).values()) for n in names]
            for combination in itertools.product(*lists):
                counts[combination] = counts.get(combination, 0) + 1
        return counts

    @rule(data=st.data(), descending=st.booleans())
    def check_counts_orders_facets(self, data, descending):
        """count, order_by (pages and slices) and count_by against the model."""
        populated = self.populated()
        if not populated:
            return
        container = self.pick(data, populated, "container")
        engine = container.engine
        assert engine.count() == len(container.members), f"{container.label}.count()"
        raw = data.draw(queries, label="count query")
        q = resolve_query(raw, self.objects, self.stored())
        if not self.refused(q):
            assert engine.count(so.to_expr(q)) == len(self.expected(container, q)), \
                f"{container.label}.count({so.describe(q)})"
        name = data.draw(st.sampled_from(NAMES), label="order attribute")
        ordered = self.expected_order(container, name, descending)
        view = engine.order_by(name, descending=descending)
        assert [id(o) for o in view.collect()] == [id(o) for o in ordered], \
            f"{container.label}.order_by({name!r}, descending={descending})"
        offset = data.draw(st.integers(0, len(ordered) + 1), label="offset")
        limit = data.draw(st.integers(0, len(ordered) + 1), label="limit")
        page = view.offset(offset).limit(limit)
        assert len(page) == len(ordered[offset:offset + limit])
        assert [id(o) for o in page] == [id(o) for o in ordered[offset:offset + limit]]
        start, stop = data.draw(st.integers(-5, 8)), data.draw(st.integers(-5, 8))
        step = data.draw(st.sampled_from([1, 2, -1, -2]))
        assert [id(o) for o in view[start:stop:step]] == \
            [id(o) for o in ordered[start:stop:step]]
        facets = engine.count_by(name)
        assert facets == self.expected_facets(container, name), \
            f"{container.label}.count_by({name!r})"

    @rule(data=st.data(), descending=st.booleans())
    def check_iteration_and_projection(self, data, descending):
        """Iteration (plain and ordered) and values()/to_dicts() against a scan of the model."""
        populated = self.populated()
        if not populated:
            return
        container = self.pick(data, populated, "container")
        engine = container.engine
        listed = list(engine)
        assert {id(o) for o in listed} == set(container.members), f"iter({container.label})"
        self.check_order(listed, container)
        name = data.draw(st.sampled_from(NAMES), label="projected attribute")
        ordered = engine.order_by(name, descending=descending)
        assert [id(o) for o in ordered] == [id(o) for o in self.expected_order(
            container, name, descending)], f"iter({container.label}.order_by({name!r}))"
        missing = object()
        shadow = [self.attrs[self.position[id(o)]] for o in listed]
        got = engine.values(name, default=missing)
        assert all(v is a.get(name, missing) for v, a in zip(got, shadow, strict=True)), \
            f"{container.label}.values({name!r})"
        other = data.draw(st.sampled_from(NAMES), label="second attribute")
        pairs = engine.values(name, other, default=missing)
        assert len(pairs) == len(shadow) and all(
            x is a.get(k, missing) for v, a in zip(pairs, shadow) for x, k in zip(
                v, (name, other), strict=True)), f"{container.label}.values({name!r}, {other!r})"
        dicts = engine.to_dicts()
        assert all(d.keys() == a.keys() and all(d[k] is a[k] for k in a)
                   for d, a in zip(dicts, shadow, strict=True)), f"{container.label}.to_dicts()"
        named = engine.to_dicts(name)
        assert all(d.keys() <= {name} and d.get(name, missing) is a.get(name, missing)
                   for d, a in zip(named, shadow, strict=True)), \
            f"{container.label}.to_dicts({name!r})"

    @rule(data=st.data(), forms=st.lists(st.sampled_from(["plain", "minus", "pair"]),
                                          min_size=1, max_size=3))
    def check_keys_facets_aggregates(self, data, forms):
        """order_by with several keys and dotted paths (pages too), dotted and combined facets,
        count_by with a query, and min/max/sum/mean against the model."""
        populated = self.populated()
        if not populated:
            return
        container = self.pick(data, populated, "container")
        engine = container.engine
        keys, args = [], []
        for form in forms:
            path = data.draw(paths(), label="key")
            descending = form != "plain" and data.draw(st.booleans(), label="descending")
            keys.append((path, descending))
            if form == "minus":
                args.append("-" + path if descending else path)
            else:
                args.append((path, "desc" if descending else "asc") if form == "pair" else path)
        ordered = self.expected_keyed_order(container, keys)
        view = engine.order_by(*args)
        where = f"{container.label}.order_by(*{args!r})"
        assert [id(o) for o in view] == [id(o) for o in ordered], where
        offset = data.draw(st.integers(0, len(ordered) + 1), label="offset")
        limit = data.draw(st.integers(0, len(ordered) + 1), label="limit")
        page = view.offset(offset).limit(limit)
        assert [id(o) for o in page] == [id(o) for o in ordered[offset:offset + limit]], where
        assert [id(o) for o in view[-3:]] == [id(o) for o in ordered[-3:]], where

        name = data.draw(paths(), label="facet path")
        assert engine.count_by(name) == self.expected_facets(container, name), \
            f"{container.label}.count_by({name!r})"
        names = [name, data.draw(paths(), label="second facet path")]
        assert engine.count_by(*names) == self.expected_combined_facets(container, names), \
            f"{container.label}.count_by(*{names!r})"
        q = resolve_query(data.draw(queries, label="facet query"), self.objects, self.stored())
        if not self.refused(q):
            assert engine.count_by(name, query=so.to_expr(q)) == self.expected_facets(
                container, name, self.expected(container, q)), \
                f"{container.label}.count_by({name!r}, query={so.describe(q)})"

        # Aggregates over the whole container and over a page of its order.
        for target, members in [(engine, self.universe(container)),
                                (page, ordered[offset:offset + limit])]:
            self.check_aggregates(container, target, members, name)

    def check_aggregates(self, container, target, members, path):
        where = f"{container.label} aggregates of {path!r}"
        singles = [self.single_value(container, o, path) for o in members]
        ranked = sorted((order_rank(v), i) for i, v in enumerate(singles)
                        if order_rank(v) is not None)
        for got, pick in [(target.min(path, default=NO_ATTRIBUTES), 0),
                          (target.max(path, default=NO_ATTRIBUTES), -1)]:
            if not ranked:
                assert got is NO_ATTRIBUTES, where
            else:
                want = singles[ranked[pick][1]]
                assert order_rank(got) == order_rank(want), (where, got, want)
        refused = any(self.reach(container, o, path)[2] for o in members) or any(
            v is not NO_ATTRIBUTES and not isinstance(v, dict) and not so.is_number(v)
            and not isinstance(v, so._BOOLS) for v in singles)
        check_sums(target, path, [v for v in singles if v is not NO_ATTRIBUTES], refused, where)

    @rule(data=st.data())
    def check_battery(self, data):
        """Every leaf operator against every value stored on every path, in one container."""
        populated = self.populated()
        if populated:
            container = self.pick(data, populated, "container")
            for q in battery(self.universe(container), self.get):
                self.check_query(container, q)

    def teardown(self):
        for container in self.populated():
            for q in battery(self.universe(container), self.get, limit=6):
                self.check_query(container, q)

    # -------------------------------------------------------------- invariants

    @invariant()
    def members_match(self):
        for container in self.live():
            result = container.engine.collect()
            so.check_result(result, container.members.values(), f"{container.label}.collect()")

    @invariant()
    def container_protocol_matches(self):
        for container in self.live():
            engine, members = container.engine, container.members
            assert len(engine) == len(members), f"{container.label}: len()"
            assert bool(engine) == bool(members), f"{container.label}: bool()"
            assert list(engine) == engine.collect(), f"{container.label}: iteration"
            for obj in self.objects:
                assert (obj in engine) == (id(obj) in members), f"{container.label}: in"

    @invariant()
    def orders_agree(self):
        """collect() is ascending object id everywhere: common members share one order."""
        lists = [[id(o) for o in c.engine.collect()] for c in self.live()]
        for i, first in enumerate(lists):
            for second in lists[i + 1:]:
                common = set(first) & set(second)
                assert [x for x in first if x in common] == [x for x in second if x in common]


IndexMachine.TestCase.settings = settings(
    max_examples=EXAMPLES,
    stateful_step_count=40,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                           HealthCheck.data_too_large],
)
TestIndexMachine = IndexMachine.TestCase


# ---------------------------------------------------------------------------------------------
# Single-shot properties: a fixed universe, one query, compared with the scan.


def _build(values_per_object):
    objs = []
    for attrs in values_per_object:
        objs.append(Item(**{n: resolve(v, objs) for n, v in attrs.items()}))
    return objs


aggregate_values = st.one_of(st.none(), st.booleans(), st.sampled_from(INT_POOL + FLOAT_POOL),
                             st.sampled_from(EXACT_POOL), wide_ints, wide_floats, wide_exact)


@settings(max_examples=EXAMPLES * 5, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.lists(aggregate_values, max_size=16), st.booleans(), st.integers(0, 16))
def test_number_aggregates_match_python(values, nested, cut):
    """min, max, sum and mean of numbers of every kind (None: the attribute is missing), on an
    attribute and through a dotted path, on an index and on a page of its order."""
    objs = [Item() if v is None else Item(n=Other(x=v)) if nested else Item(x=v) for v in values]
    index = Index()
    index.add_object_many(objs)
    path = "n.x" if nested else "x"
    present = [v for v in values if v is not None]
    check_sums(index, path, present, False, f"{path} over {values!r}")
    ordered = sorted(((order_rank(v), i) for i, v in enumerate(values)
                      if v is not None and order_rank(v) is not None))
    page = index.order_by(path).limit(cut)
    check_sums(page, path, [values[i] for _, i in ordered[:cut]], False, f"page of {cut}")
    if ordered:
        assert order_rank(index.min(path)) == order_rank(values[ordered[0][1]])
        assert order_rank(index.max(path)) == order_rank(values[ordered[-1][1]])
    else:
        with pytest.raises(ValueError):
            index.min(path)


object_layouts = st.lists(
    st.dictionaries(st.sampled_from(NAMES), values, max_size=4), min_size=1, max_size=12
)


@settings(max_examples=EXAMPLES * 5, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(layouts=object_layouts, raw=queries)
def test_single_query_matches_scan(layouts, raw):
    objs = _build(layouts)
    check_one_query(objs, resolve_query(raw, objs))


def check_one_query(objs, q):
    """Indexes `objs` in one batch and compares the answer to `q` with a scan (or checks that
    the query is refused, when a range has bounds of no common order)."""
    if so.refused(q):
        with pytest.raises(TypeError, match="on attribute"):
            so.to_expr(q)
        return
    idx = Index()
    idx.add_object_many(objs)
    so.check_result(idx.reduced_query(so.to_expr(q)).collect(), so.scan(objs, q), "index", q)


@settings(max_examples=EXAMPLES * 5, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(stored=st.lists(numbers, min_size=1, max_size=10), x=numbers,
       op=st.sampled_from(["eq", "ne", "gt", "ge", "lt", "le"]))
def test_numeric_comparisons_match_python(stored, x, op):
    """Numbers of every kind compare exactly like Python, at and around the 2**53 and 2**63
    edges and between the doubles."""
    objs = [Item(a=v) for v in stored]
    check_one_query(objs, (op, "a", x))


@settings(max_examples=EXAMPLES * 5, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(stored=st.lists(texts, min_size=1, max_size=10), t=fragments,
       op=st.sampled_from(["eq", "starts_with", "ends_with", "contains"]))
def test_text_operators_match_python(stored, t, op):
    objs = [Item(s=v) for v in stored]
    check_one_query(objs, (op, "s", t))


# ---------------------------------------------------------------------------------------------
# Fixed cases the random search may hit only rarely.


class TestKeyEquality:
    def index_of(self, *vals, name="a"):
        objs = [Item(**{name: v}) for v in vals]
        idx = Index()
        idx.add_object_many(objs)
        return idx, objs

    @pytest.mark.parametrize("x", [math.nan, float("nan")])
    def test_nan_equals_nothing(self, x):
        idx, objs = self.index_of(math.nan, 1.0, [math.nan])
        for q in [("eq", "a", x), ("in", "a", [x]), ("ne", "a", x)]:
            so.check_result(idx.reduced_query(so.to_expr(q)).collect(), so.scan(objs, q), "", q)
        so.check_result(idx.get_by_attribute(a=x), [], "get_by_attribute(a=nan)")

    @pytest.mark.parametrize("x", [True, False, 1, 0, 1.0, 0.0, -0.0])
    def test_bool_and_number_do_not_mix(self, x):
        idx, objs = self.index_of(True, False, 1, 0, 1.0, -0.0, [True, 1])
        q = ("eq", "a", x)
        so.check_result(idx.reduced_query(so.to_expr(q)).collect(), so.scan(objs, q), "", q)

    @pytest.mark.parametrize("x", [2**53, 2**53 + 1, 2.0**53, 2**63 - 1, 2.0**63, -(2**63),
                                   -(2.0**63), 2**62 + 1, float(2**62)])
    def test_int_float_equality_is_exact(self, x):
        idx, objs = self.index_of(2**53, 2**53 + 1, 2.0**53, 2**63 - 1, 2.0**63, -(2**63),
                                  2**62 + 1, float(2**62))
        for op in ("eq", "ge", "gt", "le", "lt"):
            q = (op, "a", x)
            so.check_result(idx.reduced_query(so.to_expr(q)).collect(), so.scan(objs, q), "", q)

    def test_opaque_objects_by_identity_subclasses_by_value(self):
        p, f = Plain(), frozenset({1})
        idx, objs = self.index_of(p, f, Color.RED, Tag("a"), None, "a", 1, b"a")
        for x in [p, Plain(), f, frozenset({1}), Color.RED, 1, 1.0, Tag("a"), "a", None, b"a"]:
            q = ("eq", "a", x)
            so.check_result(idx.reduced_query(so.to_expr(q)).collect(), so.scan(objs, q), "", q)

    def test_collection_query_values_match_nothing(self):
        idx, objs = self.index_of([1], (1,), {1}, {"k": 1}, 1, [])
        for x in [[1], (1,), {1}, {"k": 1}, [], ()]:
            so.check_result(idx.reduced_query(Q.eq("a", x)).collect(), [], f"eq a {x!r}")
            so.check_result(idx.get_by_attribute(a=x), [], f"get_by_attribute a={x!r}")


class TestViews:
    def test_view_sees_current_values(self):
        objs = [Item(a=i % 3, b=i) for i in range(9)]
        idx = Index()
        idx.add_object_many(objs)
        view = idx.reduced(a=1)
        members = [o for o in objs if o.a == 1]
        for o in objs:
            o.b = -o.b
        so.check_result(view.collect(), members, "fixed membership")
        q = ("lt", "b", -3)
        so.check_result(view.reduced_query(so.to_expr(q)).collect(), so.scan(members, q), "", q)
        members[0].a = 2  # leaves the filter; membership stays fixed
        so.check_result(view.collect(), members, "fixed membership after assignment")
        so.check_result(view.reduced(a=2).collect(), [members[0]], "refined view")
        so.check_result(view.rebase().collect(), members, "rebase")

    def test_view_after_parent_drops_its_members(self):
        """A view whose members were removed from its index by reduce() keeps its members."""
        keep, drop = Item(a=5), Item(a=1)
        idx = Index()
        idx.add_object_many([keep, drop])
        view = idx.reduced(a=1)
        idx.reduce(a=5)
        so.check_result(idx.collect(), [keep], "index after reduce")
        so.check_result(view.collect(), [drop], "view after parent reduce")
        so.check_result(view.rebase().collect(), [drop], "rebase after parent reduce")

    def test_view_queries_after_parent_drops_its_members(self):
        """A view refines through its index's live value maps: members the index dropped
        since still collect, but carry no values there any more, so only complements
        (ne, not_) match them; members still in the index answer from current values."""
        keep, drop = Item(a=2), Item(a=1)
        idx = Index()
        idx.add_object_many([keep, drop])
        view = idx.reduced_query(Q.ge("a", 0))
        idx.reduce(a=2)
        so.check_result(view.collect(), [keep, drop], "view after parent reduce")
        for q, want, what in [(("eq", "a", 1), [], "dropped member"),
                              (("ge", "a", 0), [keep], "kept member"),
                              (("ne", "a", 2), [drop], "complement")]:
            so.check_result(view.reduced_query(so.to_expr(q)).collect(), want, what, q)
        keep.a = 7
        q = ("eq", "a", 7)
        so.check_result(view.reduced_query(so.to_expr(q)).collect(), [keep], "current value", q)

    def test_nested_value_change_seen_through_dotted_path(self):
        leaf = Item(a=1)
        holders = [Item(n=leaf), Item(l=[Item(a=2), leaf]), Item(n=Item(n=leaf))]
        idx = Index()
        idx.add_object_many(holders)
        for q in [("eq", "n.a", 1), ("eq", "l.a", 1), ("eq", "n.n.a", 1)]:
            so.check_result(idx.reduced_query(so.to_expr(q)).collect(), so.scan(holders, q),
                            "", q)
        leaf.a = 3
        for q in [("eq", "n.a", 1), ("eq", "n.a", 3), ("eq", "l.a", 3), ("eq", "n.n.a", 3),
                  ("ne", "n.a", 3)]:
            so.check_result(idx.reduced_query(so.to_expr(q)).collect(), so.scan(holders, q),
                            "", q)


class TestKnownLimits:
    """Cycles among nested objects: indexing terminates and one level of path answers right."""

    @pytest.fixture(autouse=True)
    def watchdog(self):
        """A cycle that is walked forever dumps all stacks and ends the run."""
        faulthandler.dump_traceback_later(60, exit=True)
        yield
        faulthandler.cancel_dump_traceback_later()

    def deep_paths_terminate(self, universe, idx, paths):
        ids = {id(o) for o in universe}
        for path in paths:
            for q in [Q.eq(path, 1), Q.ne(path, 1), Q.gt(path, 0)]:
                got = [id(o) for o in idx.reduced_query(q).collect()]
                assert set(got) <= ids and len(got) == len(set(got))

    def one_level(self, universe, idx, queries):
        for q in queries:
            so.check_result(idx.reduced_query(so.to_expr(q)).collect(), so.scan(universe, q),
                            "", q)

    def test_self_reference(self):
        x = Item(b=1)
        x.a = x
        idx = Index()
        idx.add_object(x)
        so.check_result(idx.get_by_attribute(**{"a.b": 1}), [x], "a.b == 1")
        self.one_level([x], idx, [("eq", "a.b", 1), ("ne", "a.b", 1), ("eq", "a", x)])
        self.deep_paths_terminate([x], idx, ["a.a.b", "a.a.a.a.b", "a.a.a.a.a.a.a.a.x"])

    def test_two_cycle(self):
        a, b = Item(v=1), Item(v=2)
        a.p = b
        b.p = a
        idx = Index()
        idx.add_object_many([a, b])
        self.one_level([a, b], idx, [("eq", "p.v", 1), ("eq", "p.v", 2), ("eq", "p", a),
                                     ("gt", "p.v", 1), ("not", ("eq", "p.v", 2))])
        self.deep_paths_terminate([a, b], idx, ["p.p.v", "p.p.p.p.p.v"])

    def test_list_containing_itself_holder(self):
        x = Item(b=7)
        x.l = [x, 1]
        idx = Index()
        idx.add_object(x)
        self.one_level([x], idx, [("eq", "l.b", 7), ("eq", "l", 1), ("eq", "l", x)])
        self.deep_paths_terminate([x], idx, ["l.l.b", "l.l.l.l.b"])

    def test_assignment_creates_cycle_in_indexed_objects(self):
        a, b = Item(v=1), Item(v=2, p=None)
        idx, other = Index(), Index()
        idx.add_object_many([a, b])
        other.add_object(b)
        a.p = b
        b.p = a  # closes the cycle while both are indexed
        a.v = 10
        self.one_level([a, b], idx, [("eq", "p.v", 10), ("eq", "p.v", 2), ("ge", "v", 2)])
        self.one_level([b], other, [("eq", "p.v", 10), ("eq", "p", a)])

    def test_rebase_of_view_with_cyclic_members(self):
        a, b = Item(v=1), Item(v=2)
        a.p, b.p = b, a
        a.l = [a, b]
        idx = Index()
        idx.add_object_many([a, b])
        view = idx.reduced_query(Q.ge("v", 1))
        rebased = view.rebase()
        so.check_result(rebased.collect(), [a, b], "rebase")
        self.one_level([a, b], rebased, [("eq", "p.v", 1), ("eq", "l.v", 2), ("eq", "l", b)])
        rebased2 = Index()
        rebased2.union_with(rebased)
        so.check_result(rebased2.collect(), [a, b], "union of rebased")


class TestUnsupportedValues:
    """Numbers beyond 65536 bits and lone surrogates are a user's mistake: an ordinary exception
    naming the attribute, with the object and its indexes as they were."""

    @pytest.mark.parametrize(
        "bad, error",
        [(2**70_000, OverflowError), (F(1, 2**70_000), OverflowError),
         (D("1e-30000"), OverflowError), ([1, 2**70_000], OverflowError),
         (("\ud800",), ValueError), ("x\udc00", ValueError)],
        ids=["2**70000", "1/2**70000", "1e-30000", "big-in-list", "surrogate-in-tuple",
             "surrogate"],
    )
    def test_rejected_and_state_kept(self, bad, error):
        o, p = Item(a=1, s="ab"), Item(a=2, s="b")
        idx = Index()
        idx.add_object_many([o, p])

        def expect_error(fn):
            with pytest.raises(error, match="attribute 'a'"):
                fn()

        expect_error(lambda: setattr(o, "a", bad))
        if isinstance(bad, (list, tuple)):
            # Elements of a container are converted when the object gets indexed.
            held = Item(a=bad, s="a")
            expect_error(lambda: idx.add_object(held))
            expect_error(lambda: Index().add_object_many([p, held]))
        else:
            expect_error(lambda: Item(a=bad))
            expect_error(lambda: Q.eq("a", bad))
            expect_error(lambda: idx.get_by_attribute(a=bad))
        assert o.a == 1 and type(o.a) is int
        objs = [o, p]
        so.check_result(idx.collect(), objs, "members after the error")
        for q in [("eq", "a", 1), ("ge", "a", 1), ("starts_with", "s", "a"), ("ne", "a", 2)]:
            so.check_result(idx.reduced_query(so.to_expr(q)).collect(), so.scan(objs, q), "", q)
        o.a = 3
        so.check_result(idx.get_by_attribute(a=3), [o], "assignment after the error")
