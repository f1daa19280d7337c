"""Values compare the way Python compares them: numbers of every kind by exact value, strings by
text and code point, dates, datetimes, times and timedeltas within their families; ranges refuse
bounds without one order; order_by and count_by place every kind."""

from __future__ import annotations

import datetime as dt
import enum
import math
import pickle
import subprocess
import sys
from decimal import Decimal as D
from fractions import Fraction as F

import pytest

from Quorvane import Index, PyQueryExpr as Q
from conftest import Thing, ids

np = pytest.importorskip("numpy")

UTC = dt.timezone.utc
EAST = dt.timezone(dt.timedelta(hours=2))
WEST = dt.timezone(dt.timedelta(hours=-7, minutes=-30))


class Level(enum.IntEnum):
    LOW = 1
    HUGE = 2**70


class Flags(enum.IntFlag):
    A = 1
    B = 2


class Color(enum.StrEnum):
    RED = "red"


class Stamp(dt.datetime):
    pass


class Day(dt.date):
    pass


def index_of(values, name="v", bulk=True):
    objs = [Thing(**{name: v}) for v in values]
    index = Index()
    if bulk:
        index.add_object_many(objs)
    else:
        for obj in objs:
            index.add_object(obj)
    return index, objs


def answer(index, query):
    return ids(index.reduced_query(query).collect())


def pick(objs, *positions):
    return ids([objs[p] for p in positions])


class TestNumbersOfEveryKind:
    # Each group holds equal values of different kinds, and no value equal to another group's.
    GROUPS = [
        [1, 1.0, D(1), D("1.000"), F(1), Level.LOW, Flags.A, np.int8(1),
         np.uint64(1), np.float16(1), np.float32(1), np.float64(1), np.longdouble(1)],
        [0.5, D("0.5"), F(1, 2), np.float16(0.5), np.float32(0.5)],
        [D("0.1"), F(1, 10)],  # 1/10, which no float is
        [0.1, D(0.1), F(0.1)],  # the float nearest to 1/10
        [F(1, 3)],
        [np.longdouble(1) / 3],  # nearer to 1/3 than any float
        [np.float32(0.1)],
        [2**63, 2.0**63, D(2**63), F(2**63), np.uint64(2**63)],
        [2**63 + 1, F(2**63 + 1), np.uint64(2**63 + 1)],  # beyond every int64 and double
        [2**64 - 1, np.uint64(2**64 - 1)],
        [2**100, 2.0**100, Level.HUGE * 2**30],
        [-(2**63) - 1, D(-(2**63) - 1)],
        [D("1e400"), 10**400],  # beyond the doubles
        [D("-1e-400"), F(-1, 10**400)],  # between -5e-324 and 0
        [math.inf, D("Infinity"), np.float64("inf")],
        [-math.inf, D("-Infinity")],
    ]
    VALUES = [v for group in GROUPS for v in group]

    @pytest.mark.parametrize("bulk", [True, False], ids=["add_object_many", "add_object"])
    def test_equal_values_of_every_kind_find_each_other_and_nothing_else(self, bulk):
        index, objs = index_of(self.VALUES, bulk=bulk)
        start = 0
        for group in self.GROUPS:
            members = pick(objs, *range(start, start + len(group)))
            for x in group:
                assert answer(index, Q.eq("v", x)) == members, (x, group)
                assert index.count(Q.in_("v", [x, "never"])) == len(group)
            start += len(group)

    def test_ranges_are_exact_between_and_beyond_the_doubles(self):
        index, objs = index_of(self.VALUES)
        for bound in [F(1, 3), D("0.1"), 0.1, 2**63, 2**63 + 1, F(2**64 + 1, 2), D("1e400"),
                      D("-1e-400"), -math.inf, math.inf, 0, np.float32(0.1), Level.LOW]:
            b = exact(bound)
            for op, test in [("gt", lambda v: v > b), ("ge", lambda v: v >= b),
                             ("lt", lambda v: v < b), ("le", lambda v: v <= b)]:
                want = [o for o, v in zip(objs, self.VALUES) if test(exact(v))]
                assert answer(index, getattr(Q, op)("v", bound)) == ids(want), (op, bound)
        assert answer(index, Q.bt("v", F(1, 3), np.longdouble(1) / 3)) == ids(
            [o for o, v in zip(objs, self.VALUES) if F(1, 3) <= exact(v) <= F(1, 3) + F(1, 10**18)])
        assert answer(index, Q.bt("v", 2**63 + 1, None)) == ids(
            [o for o, v in zip(objs, self.VALUES) if exact(v) >= 2**63 + 1])

    def test_nan_of_every_kind_is_not_indexed(self):
        values = [math.nan, D("NaN"), np.float32("nan"), np.longdouble("nan"), 1]
        index, objs = index_of(values)
        for nan in values[:4]:
            assert answer(index, Q.eq("v", nan)) == []
            assert answer(index, Q.ne("v", nan)) == ids(objs)
            assert answer(index, Q.ge("v", nan)) == []
        assert answer(index, Q.ge("v", -math.inf)) == pick(objs, 4)
        assert [o.v for o in index.order_by("v").collect()][0] == 1  # NaNs last

    def test_a_signalling_nan_is_refused_as_python_refuses_to_hash_it(self):
        with pytest.raises(TypeError, match="attribute 'v'"):
            Thing(v=D("sNaN"))

    @pytest.mark.parametrize("value", [2**70_000, -(2**65_537), F(1, 3**45_000),
                                       D("1e19700"), D("1e-999999999"), [1, 2**70_000]],
                             ids=["int", "negative int", "denominator", "Decimal digits",
                                  "Decimal exponent", "in a list"])
    def test_numbers_beyond_65536_bits_are_refused(self, value):
        obj = Thing(v=1)
        index, _ = index_of([])
        index.add_object(obj)
        with pytest.raises(OverflowError, match="attribute 'v'"):
            obj.v = value
        if not isinstance(value, list):  # a query's list value stands for nothing: not walked
            with pytest.raises(OverflowError, match="attribute 'v'"):
                Q.eq("v", value)
        assert obj.v == 1 and index.get_by_attribute(v=1) == [obj]

    def test_reads_give_back_the_very_object_assigned(self):
        for value in [Level.HUGE, Flags.B, D("0.1"), F(1, 3), 2**100, np.uint64(2**64 - 1),
                      np.float32(0.1), np.longdouble(1) / 3, Color.RED]:
            assert Thing(v=value).v is value

    def test_values_follow_assignment_removal_and_the_index_operations(self):
        index, objs = index_of([F(1, 3), D("0.1"), 2**70, dt.date(2024, 1, 1)])
        objs[0].v = F(2, 3)
        assert answer(index, Q.eq("v", F(1, 3))) == []
        assert answer(index, Q.gt("v", D("0.5"))) == pick(objs, 0, 2)
        index.remove_object(objs[2])
        assert answer(index, Q.gt("v", D("0.5"))) == pick(objs, 0)
        merged = Index()
        merged.union_with(index)
        view = merged.reduced_query(Q.lt("v", 1))
        assert ids(view.collect()) == pick(objs, 0, 1)
        rebased = view.rebase()
        assert answer(rebased, Q.eq("v", F(1, 10))) == pick(objs, 1)
        assert answer(rebased, Q.eq("v", dt.date(2024, 1, 1))) == []
        merged.reduce(Q.ge("v", F(1, 2)))
        assert ids(merged.collect()) == pick(objs, 0)

    def test_container_elements_compare_by_value_too(self):
        holder = Thing(v=[D("0.1"), (2**70, [dt.date(2024, 1, 1)])])
        index, _ = index_of([])
        index.add_object(holder)
        for x in [F(1, 10), 2.0**70, dt.date(2024, 1, 1)]:
            assert index.get_by_attribute(v=x) == [holder]
        assert index.reduced_query(Q.bt("v", 2**69, 2**71)).collect() == [holder]


def exact(v):
    if isinstance(v, np.floating):
        return F(*v.as_integer_ratio()) if np.isfinite(v) else float(v)
    if isinstance(v, np.integer):
        return int(v)
    if isinstance(v, D):
        return F(v) if v.is_finite() else float(v)
    if isinstance(v, int):
        return F(v)
    return F(v) if math.isfinite(v) else v


class FixedOffset(dt.tzinfo):
    """A tzinfo of its own: its utcoffset may be None (naive) or raise."""

    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, when):
        if isinstance(self.offset, Exception):
            raise self.offset
        return self.offset

    def dst(self, when):
        return None


class TestTemporalFamilies:
    VALUES = [
        dt.date(2024, 1, 1), Day(2024, 1, 1), dt.date(1, 1, 1), dt.date(9999, 12, 31),
        dt.datetime(2024, 1, 1), Stamp(2024, 1, 1), dt.datetime(2024, 1, 1, 0, 0, 0, 1),
        dt.datetime(2024, 1, 1, tzinfo=FixedOffset(None)),  # naive: its offset is None
        dt.datetime(2024, 1, 1, 12, tzinfo=UTC), dt.datetime(2024, 1, 1, 14, tzinfo=EAST),
        dt.datetime(2024, 1, 1, 4, 30, tzinfo=WEST), dt.datetime(2024, 1, 1, 12, tzinfo=EAST),
        dt.time(12), dt.time(12, tzinfo=UTC), dt.time(14, tzinfo=EAST), dt.time(0, 30),
        dt.timedelta(0), dt.timedelta(days=1), dt.timedelta(hours=24),
        dt.timedelta(days=999_999_999, microseconds=1), dt.timedelta(days=-999_999_999),
    ]

    def test_equality_within_a_family_as_python_says(self):
        index, objs = index_of(self.VALUES)
        for x in self.VALUES:
            want = [o for o, v in zip(objs, self.VALUES) if same_family(v, x) and v == x]
            assert answer(index, Q.eq("v", x)) == ids(want), x
        # A datetime is never a date, a naive datetime never an aware one.
        assert answer(index, Q.eq("v", dt.datetime(2024, 1, 1, tzinfo=UTC))) == []
        assert answer(index, Q.eq("v", dt.date(2024, 1, 1))) == pick(objs, 0, 1)

    def test_ranges_stay_within_their_family(self):
        index, objs = index_of(self.VALUES)
        for x in self.VALUES:
            for op, test in [("gt", lambda v: v > x), ("le", lambda v: v <= x)]:
                want = [o for o, v in zip(objs, self.VALUES) if same_family(v, x) and test(v)]
                assert answer(index, getattr(Q, op)("v", x)) == ids(want), (op, x)
        assert answer(index, Q.bt("v", None, dt.date(2024, 1, 1))) == pick(objs, 0, 1, 2)
        assert answer(index, Q.bt("v", dt.timedelta(hours=1), None)) == pick(objs, 17, 18, 19)
        noon = dt.datetime(2024, 1, 1, 12, tzinfo=UTC)
        assert answer(index, Q.bt("v", noon, noon)) == pick(objs, 8, 9, 10)

    def test_a_tzinfo_error_names_the_attribute_and_keeps_its_type(self):
        broken = dt.datetime(2024, 1, 1, tzinfo=FixedOffset(LookupError("no such zone")))
        with pytest.raises(LookupError, match="no such zone") as info:
            Thing(when=broken)
        assert "attribute 'when'" in " ".join(info.value.__notes__)

    def test_order_and_counts_place_each_family_after_the_booleans(self):
        values = [dt.timedelta(1), dt.time(1), dt.datetime(2024, 1, 2, tzinfo=UTC),
                  dt.datetime(2024, 1, 2), dt.date(2024, 1, 2), True, "a", 1,
                  dt.date(2024, 1, 1), dt.datetime(2024, 1, 2, 3, tzinfo=EAST), None]
        index, objs = index_of(values)
        order = [o.v for o in index.order_by("v").collect()]
        assert order == [1, "a", True, dt.date(2024, 1, 1), dt.date(2024, 1, 2),
                         dt.datetime(2024, 1, 2), values[2], values[9], dt.time(1),
                         dt.timedelta(1), None]
        descending = [o.v for o in index.order_by("v", descending=True).collect()]
        assert descending == order[-2::-1] + [None]
        index.add_object(Thing(v=dt.datetime(2024, 1, 2, 2, tzinfo=EAST)))
        counts = index.count_by("v")
        assert counts[dt.datetime(2024, 1, 2, tzinfo=UTC)] == 2  # one instant, two zones
        assert counts[dt.date(2024, 1, 2)] == 1 and counts[dt.datetime(2024, 1, 2)] == 1


def same_family(a, b):
    def family(v):
        if isinstance(v, dt.datetime):
            return "aware datetime" if v.utcoffset() is not None else "datetime"
        if isinstance(v, dt.time):
            return "aware time" if v.utcoffset() is not None else "time"
        return type(v).__mro__[-2]  # date or timedelta
    return family(a) == family(b)


class TestStrings:
    WORDS = ["", "a", "ab", "b", "Z", "é", "日本", "😀", Color.RED, "red", "x" * 40]

    def test_str_subclasses_compare_by_text(self):
        index, objs = index_of(self.WORDS)
        assert answer(index, Q.eq("v", "red")) == pick(objs, 8, 9)
        assert answer(index, Q.eq("v", Color.RED)) == pick(objs, 8, 9)
        assert answer(index, Q.starts_with("v", Color.RED)) == pick(objs, 8, 9)

    def test_ranges_order_by_code_point(self):
        index, objs = index_of(self.WORDS)
        texts = [str(w) for w in self.WORDS]
        for bound in ["", "a", "b", "é", "日", "😀", "red"]:
            for op, test in [("gt", lambda t: t > bound), ("ge", lambda t: t >= bound),
                             ("lt", lambda t: t < bound), ("le", lambda t: t <= bound)]:
                want = [o for o, t in zip(objs, texts) if test(t)]
                assert answer(index, getattr(Q, op)("v", bound)) == ids(want), (op, bound)
        assert answer(index, Q.bt("v", "a", "b")) == pick(objs, 1, 2, 3)
        assert answer(index, Q.bt("v", "b", "a")) == []
        assert [o.v for o in index.order_by("v").collect()] == sorted(
            self.WORDS, key=str)  # order_by agrees


class TestRangeBounds:
    @pytest.mark.parametrize("build", [
        lambda: Q.gt("v", None), lambda: Q.lt("v", True), lambda: Q.ge("v", [1]),
        lambda: Q.le("v", object()), lambda: Q.gt("v", b"a"), lambda: Q.bt("v", None, None),
        lambda: Q.bt("v", 1, "2"), lambda: Q.bt("v", dt.date(2024, 1, 1), dt.datetime(2024, 1, 1)),
        lambda: Q.bt("v", dt.datetime(2024, 1, 1), dt.datetime(2024, 1, 2, tzinfo=UTC)),
        lambda: Q.bt("v", dt.time(1), dt.time(2, tzinfo=UTC)), lambda: Q.bt("v", False, 1),
        lambda: Q.bt("v", dt.timedelta(1), 1),
    ], ids=["None", "bool", "list", "object", "bytes", "both None", "number and str",
            "date and datetime", "naive and aware", "naive and aware times", "bool and int",
            "timedelta and int"])
    def test_bounds_without_one_order_are_refused_naming_the_attribute(self, build):
        with pytest.raises(TypeError, match="on attribute 'v'"):
            build()

    def test_bounds_of_one_order_are_taken_whatever_their_kinds(self):
        index, objs = index_of([1, D("2.5"), F(7, 2), "b"])
        assert answer(index, Q.bt("v", np.int8(1), D(3))) == pick(objs, 0, 1)
        assert answer(index, Q.bt("v", Level.LOW, F(7, 2))) == pick(objs, 0, 1, 2)
        assert answer(index, Q.gt("v", math.nan)) == []  # a NaN bound orders with nothing
        assert answer(index, Q.lt("v", dt.date(2024, 1, 1))) == []  # no value of that order


class TestCountsAndPickling:
    def test_count_by_gives_numbers_back_by_kind(self):
        values = [1, 1.0, D(1), 2**70, 2.0**70, 1e300, 0.5, D("0.1"), F(1, 10), F(1, 3),
                  np.uint64(2**64 - 1)]
        index, _ = index_of(values)
        counts = index.count_by("v")
        assert counts == {1: 3, 2**70: 2, int(1e300): 1, 0.5: 1, F(1, 10): 2, F(1, 3): 1,
                          2**64 - 1: 1}
        keys = {type(k) for k in counts}
        assert keys <= {int, float, D, F}
        assert type(next(k for k in counts if k == 2**64 - 1)) is int
        assert type(next(k for k in counts if k == 2**70)) is int

    def test_queries_with_values_of_every_kind_pickle(self):
        index, objs = index_of([D("0.1"), dt.date(2024, 1, 1), 2**70, "b"])
        for q in [Q.eq("v", F(1, 10)), Q.bt("v", dt.date(2023, 1, 1), None),
                  Q.gt("v", 2**69) | Q.ge("v", "a"), Q.in_("v", [D("0.1"), dt.date(2024, 1, 1)])]:
            again = pickle.loads(pickle.dumps(q))
            assert answer(index, again) == answer(index, q) != []


def test_kinds_are_recognised_without_importing_their_modules():
    """decimal, fractions, datetime and numpy are recognised once the program imported them,
    and never imported by the module itself."""
    program = (
        "import sys, Quorvane\n"
        "class T(Quorvane.Indexable): pass\n"
        "index = Quorvane.Index()\n"
        "index.add_object_many([T(v=None), T(v=1), T(v='x'), T(v=object())])\n"
        "index.get_by_attribute(v=None)\n"
        "print(sorted(m for m in ('numpy', 'decimal', 'fractions', 'datetime')"
        " if m in sys.modules))\n"
        "import datetime, fractions\n"
        "t = T(v=datetime.date(2024, 1, 1), w=fractions.Fraction(1, 2))\n"
        "index.add_object(t)\n"
        "print(index.get_by_attribute(v=datetime.date(2024, 1, 1), w=0.5) == [t])\n"
    )
    out = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                         timeout=120)
    assert out.stdout.split("\n")[:2] == ["[]", "True"], out.stderr
