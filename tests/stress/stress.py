"""Stress run: 8 threads, every operation kind on shared objects and indexes.

Usage: python tests/stress/stress.py [seconds] [threads]
Ends with a consistency check of every index against a scan of the objects'
final values; a hang past the deadline dumps every stack and fails.
"""
import faulthandler
import random
import sys
import threading
import time

from Quorvane import Index, Indexable, PyQueryExpr as Q


class Obj(Indexable):
    pass


SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
THREADS = int(sys.argv[2]) if len(sys.argv) > 2 else 8
WORDS = ["alpha", "beta", "gamma", "delta", "", "é-accent", "a" * 40]


def random_value(rng, leaves):
    kind = rng.randrange(7)
    if kind == 0:
        return rng.randrange(-50, 50)
    if kind == 1:
        return rng.random() * 100 - 50
    if kind == 2:
        return rng.choice(WORDS)
    if kind == 3:
        return rng.random() < 0.5
    if kind == 4:
        return [rng.randrange(10), rng.choice(WORDS)]
    if kind == 5:
        return rng.choice(leaves)
    return None


def main():
    faulthandler.dump_traceback_later(SECONDS * 3 + 120, exit=True)
    rng = random.Random(42)
    leaves = [Obj(c=i % 7, w=rng.choice(WORDS)) for i in range(20)]
    objects = [Obj(a=random_value(rng, leaves), b=random_value(rng, leaves), c=i % 7) for i in range(400)]
    indexes = [Index() for _ in range(3)]
    members = [set() for _ in indexes]
    members_lock = threading.Lock()
    counts = [0] * THREADS
    errors = []
    deadline = time.monotonic() + SECONDS

    def worker(n):
        r = random.Random(n)
        try:
            while time.monotonic() < deadline:
                op = r.randrange(10)
                k = r.randrange(len(indexes))
                index = indexes[k]
                if op == 0:
                    obj = r.choice(objects)
                    index.add_object(obj)
                    with members_lock:
                        members[k].add(id(obj))
                elif op == 1:
                    batch = r.sample(objects, 20)
                    index.add_object_many(batch)
                    with members_lock:
                        members[k].update(map(id, batch))
                elif op in (2, 3):
                    obj = r.choice(objects)
                    setattr(obj, r.choice("ab"), random_value(r, leaves))
                elif op == 4:
                    r.choice(leaves).c = r.randrange(7)
                elif op == 5:
                    obj = r.choice(objects)
                    _ = obj.a, obj.b, obj.__dir__(), repr(obj)
                elif op == 6:
                    index.reduced_query(Q.or_(Q.eq("a", r.randrange(-5, 5)), Q.gt("b", 10),
                                              Q.contains("a", "e"), Q.eq("a.c", 3))).collect()
                elif op == 7:
                    index.collect()
                    index.get_by_attribute(c=r.randrange(7))
                elif op == 8:
                    view = index.reduced_query(Q.ne("c", r.randrange(7)))
                    view.reduced(c=r.randrange(7)).collect()
                    if r.random() < 0.1:
                        view.rebase().collect()
                else:
                    other = Index()
                    other.add_object_many(r.sample(objects, 5))
                    other.union_with(index)
                counts[n] += 1
        except BaseException as exc:  # noqa: BLE001 - any failure fails the run
            errors.append(repr(exc))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    faulthandler.cancel_dump_traceback_later()
    assert not errors, errors

    checked = 0
    for index, expected in zip(indexes, members):
        got = index.collect()
        assert sorted(map(id, got)) == sorted(expected), "membership differs"
        for value in list(range(-50, 50)) + WORDS + [True, False, None] + leaves:
            def equal(v):
                flat = v if isinstance(v, list) else [v]
                for x in flat:
                    if isinstance(value, (bool,)) or isinstance(x, bool):
                        if type(x) is type(value) and x == value:
                            return True
                    elif isinstance(value, (int, float)) and isinstance(x, (int, float)):
                        if x == value:
                            return True
                    elif isinstance(value, str) and isinstance(x, str):
                        if x == value:
                            return True
                    elif x is value:
                        return True
                return False

            for attr in "ab":
                want = sorted(id(o) for o in got if equal(getattr(o, attr)))
                have = sorted(map(id, index.reduced_query(Q.eq(attr, value)).collect()))
                assert have == want, (attr, value)
                checked += 1
        for c in range(7):
            want = sorted(id(o) for o in got for v in [o.a, o.b] if isinstance(v, Obj) and v.c == c)
            have = sorted(map(id, index.reduced_query(Q.or_(Q.eq("a.c", c), Q.eq("b.c", c))).collect()))
            assert have == sorted(set(want)), ("nested", c)
            checked += 1
    print(f"{sum(counts)} operations by {THREADS} threads in {SECONDS:.0f} s; "
          f"{checked} consistency checks passed; 0 failures")


if __name__ == "__main__":
    main()
