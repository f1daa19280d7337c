"""Arguments that are legal but unusual: iterables whose length hint is absurd, and facet values
that Python cannot hash."""

from __future__ import annotations

import dataclasses
import sys

import pytest

from Quorvane import Index, Indexable, PyQueryExpr as Q


class Thing(Indexable):
    pass


class HugeHint:
    """Iterable over `items` that claims it will give sys.maxsize of them."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)

    def __length_hint__(self):
        return sys.maxsize


class HugeHintIterator(HugeHint):
    def __init__(self, items):
        self.items = iter(items)

    def __iter__(self):
        return self

    def __next__(self):
        return next(self.items)


CALLS = {
    "remove_object_many": lambda index, objs, wrap: (
        index.remove_object_many(wrap(objs[:2])), len(index))[1],
    "in_": lambda index, objs, wrap: index.count(Q.in_("a", wrap([1, 2, 3]))),
}


@pytest.mark.parametrize("wrap", [HugeHint, HugeHintIterator], ids=["iterable", "iterator"])
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_a_length_hint_is_only_a_hint(call, wrap):
    objs = [Thing(a=i) for i in range(5)]
    index = Index()
    index.add_object_many(objs)
    try:
        assert call(index, objs, wrap) == 3
    except MemoryError:  # acceptable when asked for the whole address space, if nothing changed
        assert len(index) == 5


@dataclasses.dataclass
class Team(Indexable):
    name: str


@dataclasses.dataclass(slots=True)
class SlottedTeam(Indexable):
    name: str


@pytest.mark.parametrize("team_class", [Team, SlottedTeam])
def test_count_by_counts_unhashable_indexables_by_identity(team_class):
    # Dataclasses compare by fields and so have no hash; equality queries match them by
    # identity, and so does count_by.
    red, red_twin, blue = team_class("red"), team_class("red"), team_class("blue")
    index = Index()
    index.add_object_many([Thing(team=red), Thing(team=red), Thing(team=blue),
                           Thing(team=red_twin), Thing(team=[red, "spare"])])
    assert index.count(Q.eq("team", red)) == 3
    for where in (index, index.reduced()):
        counts = where.count_by("team")
        got = {id(k) if isinstance(k, team_class) else k: n for k, n in counts.items()}
        assert got == {id(red): 3, id(red_twin): 1, id(blue): 1, "spare": 1}
