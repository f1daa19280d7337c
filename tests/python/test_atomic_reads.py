"""Readers racing writers judge every object on one state of it: before or after each change,
never half of one (a member without its values, an old value gone before the new one is in).

Each shape has writers that only ever give their objects values the readers must not list
(``a`` is always 1, or always 1 or 2), and readers that list the objects a complement matches,
order or count them; anything listed is a half-seen change.
"""

from __future__ import annotations

import threading
import time

import pytest

from Quorvane import Index, Indexable, PyQueryExpr as Q

SECONDS = 1.5


class Thing(Indexable):
    pass


def race(writers, readers, seconds=SECONDS):
    """Runs writer and reader callables in threads until time is up; returns what the readers
    found wrong (their messages), and re-raises the first exception of any thread."""
    stop = threading.Event()
    wrong, errors = [], []

    def loop(step):
        try:
            while not stop.is_set():
                message = step()
                if message:
                    wrong.append(message)
                    stop.set()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)
            stop.set()

    threads = [threading.Thread(target=loop, args=(step,)) for step in writers + readers]
    for t in threads:
        t.start()
    stop.wait(seconds)
    stop.set()
    for t in threads:
        t.join(60)
    if errors:
        raise errors[0]
    return wrong


def setup(values):
    """An index of objects whose `a` cycles through `values`, two controls that never match
    (`a` = 99 and no `a`), and writers: one reassigning, one adding and removing objects."""
    index = Index()
    objs = [Thing(a=values[i % len(values)], n=i) for i in range(400)]
    controls = [Thing(a=99, n=-1), Thing(n=-2)]
    index.add_object_many(objs + controls)
    counter = iter(range(10**9))

    def reassign():
        i = next(counter)
        objs[i % len(objs)].a = values[(i // len(objs)) % len(values)]

    def add_and_remove():
        fresh = Thing(a=values[0], n=1000)
        index.add_object(fresh)
        index.remove_object(fresh)

    return index, controls, [reassign, add_and_remove]


def listed(index, query, controls):
    return {id(o) for o in index.reduced_query(query).collect()} - {id(x) for x in controls}


# Values the writers give, whether they also add and remove objects (a view made before such
# a removal keeps the object, without its values: ordering and facets are then asked of
# reassignments alone), and what a reader finds wrong (nothing: falsy).
SHAPES = {
    "ne": ([1], True, lambda ix, c: listed(ix, Q.ne("a", 1), c)),
    "not in": ([1, 2], True, lambda ix, c: listed(ix, Q.not_(Q.in_("a", [1, 2])), c)),
    "count": ([1, 2], True, lambda ix, c: ix.count(Q.not_(Q.in_("a", [1, 2]))) - len(c)),
    # objects lacking `a` come last: only the control lacks it
    "order": ([1, 2], False, lambda ix, c: [o.n for o in ix.order_by("a").collect()[-2:]] != [-1, -2]),
    "facets": ([1, 2], False, lambda ix, c: sum(ix.count_by("a").values()) - (len(ix) - 1)),
    "keys order": ([1, 2], False,
                   lambda ix, c: [o.n for o in ix.order_by("a", "-n").collect()[-2:]] != [-1, -2]),
    "combined facets": ([1, 2], False,
                        lambda ix, c: sum(ix.count_by("a", "n").values()) - (len(ix) - 1)),
    # every `a` is 1 but the control's 99
    "sum": ([1], False, lambda ix, c: ix.sum("a") - (len(ix) - 2) - 99),
    "max": ([1, 2], True, lambda ix, c: ix.max("a") != 99),
}


@pytest.mark.parametrize("shape", list(SHAPES))
def test_readers_never_see_half_a_change(shape):
    values, membership_changes, probe = SHAPES[shape]
    index, controls, writers = setup(values)
    if not membership_changes:
        writers = writers[:1]

    def reader():
        found = probe(index, controls)
        return f"{shape}: {found!r}" if found else None

    assert race(writers, [reader, reader]) == []
