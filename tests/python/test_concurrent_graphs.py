"""Threads working on objects that refer to each other, on indexes merged into each other, and
a fork while threads work.

Each case repeats a narrow race many times in a child interpreter: a deadlock is a hang there
(caught by the timeout, with every thread's stack dumped), and after every round each index
answers like a scan of its members' final values.
"""

from __future__ import annotations

import pytest

import child

PRELUDE = r"""
import random
import sys
import threading
import time

from Quorvane import Index, Indexable, PyQueryExpr as Q

import child

class Item(Indexable):
    pass


def together(*fns):
    # Runs each function on its own thread, started at once; re-raises the first failure.
    start = threading.Barrier(len(fns))
    errors = []

    def body(fn):
        try:
            start.wait()
            fn()
        except BaseException as exc:  # PanicException included
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(fn,)) for fn in fns]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def check(index, members, names, focus=None):
    problem = child.disagreement(index, list(members),
                                 child.eq_queries(focus or members, names), focus)
    assert problem is None, problem
"""

MUTUAL_ADD = PRELUDE + r"""
width, trials = int(sys.argv[1]), int(sys.argv[2])
rounds = []
for trial in range(trials):
    a = Item(name="a", **{f"x{i}": i for i in range(width)})
    b = Item(name="b", **{f"y{i}": i for i in range(width)})
    a.p, b.q = b, a
    first, second = Index(), Index()
    together(lambda: first.add_object(a), lambda: second.add_object(b))
    rounds.append((a, b, first, second))
# Answers are checked once every round has finished: a deadlock shows as a hang.
for a, b, first, second in rounds:
    assert first.reduced_query(Q.eq("p.q.name", "a")).collect() == [a]
    assert second.reduced_query(Q.eq("q.p.q.name", "a")).collect() == [b]
    check(first, [a], ["name", "p", "x0", "p.name", "p.q.name", f"x{width - 1}"])
    check(second, [b], ["name", "q", "y0", "q.name", "q.p.name", "q.p.x0"])
print("ok")
"""


@pytest.mark.parametrize("width, trials", [(3, 400), (300, 40)], ids=["3-attributes",
                                                                       "300-attributes"])
def test_objects_referring_to_each_other_added_on_two_threads(width, trials):
    child.run_ok(MUTUAL_ADD, args=(str(width), str(trials)), timeout=240)


MUTUAL_ASSIGN = PRELUDE + r"""
shared = sys.argv[1] == "one-index"
rounds = []
for trial in range(300):
    a, b = Item(name="a", v=1), Item(name="b", v=2)
    first, second = Index(), Index()
    first.add_object(a)
    (first if shared else second).add_object(b)
    both = Index()
    both.add_object_many([a, b])
    together(lambda: setattr(a, "p", b), lambda: setattr(b, "q", a))
    together(lambda: setattr(a, "v", 10), lambda: setattr(b, "v", 20))
    rounds.append((a, b, first, both))
# Answers are checked once every round has finished: a deadlock shows as a hang.
names = ["name", "v", "p", "q", "p.v", "q.v", "p.q.v", "q.p.name"]
for a, b, first, both in rounds:
    check(both, [a, b], names)
    check(first, [a, b] if shared else [a], names)
print("ok")
"""


@pytest.mark.parametrize("layout", ["one-index", "two-indexes"])
def test_objects_referring_to_each_other_assigned_on_two_threads(layout):
    child.run_ok(MUTUAL_ASSIGN, args=(layout,), timeout=240)


REDUCE_WHILE_ASSIGNING = PRELUDE + r"""
BIG = [f"e{i}" for i in range(20_000)]
for trial in range(150):
    x = Item(k=0, s="text")
    others = [Item(k=1, s="text") for _ in range(50)]
    index = Index()
    index.add_object_many(others + [x])
    started, done = threading.Event(), threading.Event()

    def narrow():
        started.wait()
        index.reduce(k=1)       # drops x
        done.set()

    def assign():
        i = 0
        while not done.is_set():
            x.s = BIG if i % 2 == 0 else "text"
            i += 1
            started.set()

    together(narrow, assign)
    assert all(m is not x for m in index.collect()), "reduce kept x"
    x.s = "final"
    index.add_object(x)
    check(index, others + [x], ["s", "k"], focus=[x, others[0]])
    assert index.get_by_attribute(s="e0") == []
print("ok")
"""


def test_reduce_racing_an_assignment_leaves_no_stale_value():
    child.run_ok(REDUCE_WHILE_ASSIGNING, timeout=300)


OPPOSITE_UNIONS = PRELUDE + r"""
for trial in range(20):
    left, right = Index(), Index()
    x, y = Item(v=1), Item(v=2, w=3)
    left.add_object(x)
    right.add_object(y)

    def merge(into, source):
        def run():
            for _ in range(200):
                into.union_with(source)
        return run

    together(merge(left, right), merge(right, left))
    for index in (left, right):
        check(index, [x, y], ["v", "w"])
print("ok")
"""


def test_opposite_unions_on_two_threads():
    child.run_ok(OPPOSITE_UNIONS, timeout=240)


CHAINED_UNIONS = PRELUDE + r"""
# o <- p and s <- o at once, while other threads add to o and assign `.a`: s must not copy
# entries that o's own union has yet to put right.
for rnd in range(120):
    objs = [Item(a=i % 4) for i in range(2000)]
    extra = [Item(a=i % 4) for i in range(200)]
    p, o, s = Index(), Index(), Index()
    p.add_object_many(objs)
    o_done, s_done = threading.Event(), threading.Event()

    def o_from_p():
        o.union_with(p)
        o_done.set()

    def s_from_o():
        while not o_done.is_set():
            s.union_with(o)
        s_done.set()

    def add_to_o():
        for obj in extra:
            o.add_object(obj)

    def assign():
        rng = random.Random(rnd)
        while not s_done.is_set():
            rng.choice(objs + extra).a = rng.randrange(4)

    together(o_from_p, s_from_o, add_to_o, assign)
    s.union_with(o)
    queries = [("eq", "a", v) for v in range(4)]
    for name, index, members in (("p", p, objs), ("o", o, objs + extra),
                                 ("s", s, objs + extra)):
        problem = child.disagreement(index, members, queries)
        assert problem is None, f"round {rnd}, index {name}: {problem}"
print("ok")
"""


def test_chained_unions_with_adds_and_assignments():
    child.run_ok(CHAINED_UNIONS, timeout=300)


FORK_WHILE_WORKING = PRELUDE + r"""
import faulthandler
import os
import warnings

warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
# The watchdog's thread does not survive a fork; the parent kills a child that hangs.
faulthandler.cancel_dump_traceback_later()

stop = threading.Event()

def work(n):
    index, k = Index(), 0
    while not stop.is_set():
        index.add_object_many([Item(**{f"w{n}_{k}_{j}": j}) for j in range(20)])
        index.add_object(Item(**{f"v{n}_{k}": k}))
        index.get_by_attribute(**{f"w{n}_{k}_3": 3})
        k += 1

workers = [threading.Thread(target=work, args=(n,)) for n in range(2)]
for t in workers:
    t.start()
limit = float(sys.argv[1])
failures = []
try:
    for trial in range(40):
        time.sleep(0.01 * (trial % 5))
        pid = os.fork()
        if pid == 0:
            try:
                index = Index()
                objs = [Item(**{f"child{trial}_{j}": j, "common": j}) for j in range(50)]
                index.add_object_many(objs)
                index.add_object(Item(**{f"single{trial}": 1}))
                ok = (index.get_by_attribute(**{f"child{trial}_7": 7}) == [objs[7]]
                      and len(index.reduced_query(Q.lt("common", 10)).collect()) == 10)
                os._exit(0 if ok else 3)
            except BaseException:
                os._exit(4)
        deadline = time.monotonic() + limit
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                status = "hung"
                break
            time.sleep(0.005)
        if status != 0:
            failures.append((trial, status))
            break
finally:
    stop.set()
    for t in workers:
        t.join()
assert not failures, f"forked child (trial, status): {failures}"
print("ok")
"""


@pytest.mark.skipif(child.SANITIZED, reason="the sanitizer's allocator does not survive a fork "
                    "while other threads allocate (glibc's does)")
def test_fork_while_threads_create_and_index_objects():
    # The forked children each get this long before they count as hung.
    per_child = 20 * child.SCALE
    child.run_ok(FORK_WHILE_WORKING, args=(str(per_child),), timeout=300)
