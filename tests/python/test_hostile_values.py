"""Number and time subclasses whose own methods misreport their value.

Python compares such a value by what its base type stores (``Decimal("1.5") == 1.5`` whatever
the subclass's ``as_integer_ratio`` says), so the indexes must answer as a scan comparing with
``==`` and ``<`` would; a value that cannot be read is refused with an ordinary exception
naming the attribute, and nothing changes.  Each case runs in a child: some crashed or hung.
"""

from __future__ import annotations

import pytest

import child

CODE = r"""
import collections
import datetime as dt
import decimal
import fractions
import sys

from Quorvane import Index, Indexable, PyQueryExpr as Q

D, F = decimal.Decimal, fractions.Fraction


class Thing(Indexable):
    pass


class RatioNotATuple(D):
    def as_integer_ratio(self):
        return 5


class RatioTooShort(D):
    def as_integer_ratio(self):
        return (3,)


class RatioOverZero(D):
    def as_integer_ratio(self):
        return (1, 0)


class RatioLies(D):
    def as_integer_ratio(self):
        return (-5, 1)


class ExponentAtTheLimit(D):
    def as_tuple(self):
        return super().as_tuple()._replace(exponent=-2**63)


class FractionLies(F):
    numerator = property(lambda self: -5)
    denominator = property(lambda self: 1)


class OffsetAsText(dt.datetime):
    def utcoffset(self):
        return "one hour"


PLUS_ONE = dt.timezone(dt.timedelta(hours=1))
NOON = dt.datetime(2024, 1, 1, 12, tzinfo=PLUS_ONE)
NUMBERS = [1.5, -5, 2, 0, D("1.5")]
INSTANTS = [dt.datetime(2024, 1, 1, 11, tzinfo=dt.timezone.utc),
            dt.datetime(2024, 1, 1, 12, tzinfo=dt.timezone.utc), NOON]
# (the subclass value, the base value it stores, values other objects hold and queries use)
CASES = {
    "ratio not a tuple": (RatioNotATuple("1.5"), D("1.5"), NUMBERS),
    "ratio too short": (RatioTooShort("1.5"), D("1.5"), NUMBERS),
    "ratio over zero": (RatioOverZero("1.5"), D("1.5"), NUMBERS),
    "ratio of another number": (RatioLies("1.5"), D("1.5"), NUMBERS),
    "exponent at the limit": (ExponentAtTheLimit("1e-99999999"), D("1e-99999999"), NUMBERS),
    "fraction parts of another number": (FractionLies(3, 2), F(3, 2), NUMBERS),
    "utcoffset as text": (OffsetAsText(2024, 1, 1, 12, tzinfo=PLUS_ONE), NOON, INSTANTS),
}
hostile, stored, values = CASES[sys.argv[1]]
assert hostile == stored

target = Thing(v="before")
others = [Thing(v=v) for v in values]
index = Index()
index.add_object_many([target] + others)
try:
    target.v = hostile
except (TypeError, ValueError, OverflowError) as error:
    assert "attribute 'v'" in str(error), repr(error)
    assert target.v == "before" and index.get_by_attribute(v="before") == [target]
else:
    def value(o):
        return stored if o is target else o.v

    def scan(test):
        found = []
        for o in [target] + others:
            try:
                if test(value(o)):
                    found.append(o)
            except TypeError:
                pass
        return sorted(map(id, found))

    for probe in values:
        for op, test in [("eq", lambda v: v == probe), ("lt", lambda v: v < probe),
                         ("gt", lambda v: v > probe)]:
            got = sorted(map(id, index.reduced_query(getattr(Q, op)("v", probe)).collect()))
            assert got == scan(test), (op, probe)
    counts = {stored if k is hostile else k: n for k, n in index.count_by("v").items()}
    assert counts == collections.Counter(value(o) for o in [target] + others), counts
print("ok")
"""

CASES = ["ratio not a tuple", "ratio too short", "ratio over zero", "ratio of another number",
         "exponent at the limit", "fraction parts of another number", "utcoffset as text"]


@pytest.mark.parametrize("case", CASES)
def test_values_are_read_as_their_base_type_stores_them(case):
    child.run_ok(CODE, args=(case,), timeout=60)
