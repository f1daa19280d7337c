"""Quorvane benchmarks: build and query times over generated objects.

Usage: .venv/bin/python benchmarks/run.py [--objects N] [--repeat R] [--build-repeat B]
Prints a markdown table of median times (and memory per object).
"""
import argparse
import collections
import gc
import random
import resource
import statistics
import time

from Quorvane import Index, Indexable, PyQueryExpr as Q


class Item(Indexable):
    pass


class PlainItem:
    """The same values in an ordinary Python object, for the memory comparison."""

    def __init__(self, **values):
        self.__dict__.update(values)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def median_ms(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def make_objects(n, seed=1, cls=Item):
    rng = random.Random(seed)
    words = [f"w{i:05d}" for i in range(10_000)]
    return [
        cls(
            num=rng.randrange(1_000_000),
            price=rng.random() * 1000.0,
            name=rng.choice(words),
            flag=rng.random() < 0.5,
            pair=[rng.randrange(1000), rng.randrange(1000)],
        )
        for _ in range(n)
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objects", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--build-repeat", type=int, default=3)
    args = parser.parse_args()
    n = args.objects

    # What the objects themselves take, before any index: Indexable objects
    # keep numbers, strings and booleans natively, plain ones as Python objects.
    gc.collect()
    before = rss_bytes()
    objs = make_objects(n)
    gc.collect()
    object_bytes = (rss_bytes() - before) / n
    before = rss_bytes()
    plain = make_objects(n, cls=PlainItem)
    gc.collect()
    plain_bytes = (rss_bytes() - before) / n
    del plain

    def build(bulk):
        index = Index()
        start = time.perf_counter()
        if bulk:
            index.add_object_many(objs)
        else:
            for obj in objs:
                index.add_object(obj)
        return index, time.perf_counter() - start

    # Builds alternate between the add_object loop and one add_object_many call
    # over the same objects, each into a fresh index; medians of the builds.
    gc.collect()
    before = rss_bytes()
    index, first_s = build(False)
    gc.collect()
    per_object = (rss_bytes() - before) / n
    loop_times, bulk_times = [first_s], []
    for k in range(args.build_repeat):
        bulk, seconds = build(True)
        bulk_times.append(seconds)
        del bulk
        gc.collect()
        if k + 1 < args.build_repeat:
            del index
            gc.collect()
            index, seconds = build(False)
            loop_times.append(seconds)
    build_s, bulk_s = statistics.median(loop_times), statistics.median(bulk_times)

    # union_with of two halves against adding the second half in bulk.
    half = n // 2
    first, second = Index(), Index()
    first.add_object_many(objs[:half])
    second.add_object_many(objs[half:])
    start = time.perf_counter()
    first.union_with(second)
    union_s = time.perf_counter() - start
    del first, second
    gc.collect()
    target = Index()
    target.add_object_many(objs[:half])
    start = time.perf_counter()
    target.add_object_many(objs[half:])
    second_half_s = time.perf_counter() - start
    del target
    gc.collect()

    removal = measure_removal(index, objs, args.repeat)
    orders = measure_orders_and_aggregates(index, objs, args.repeat)

    def count(q):
        return lambda: index.reduced_query(q).collect()

    sample = objs[n // 2]
    queries = [
        ("eq on int (1 hit)", count(Q.eq("num", sample.num))),
        ("eq on str (~0.01%)", count(Q.eq("name", sample.name))),
        ("bt on float (~1%)", count(Q.bt("price", 100.0, 110.0))),
        ("starts_with (~1%)", count(Q.starts_with("name", "w001"))),
        ("contains (~1%)", count(Q.contains("name", "w000"))),
        ("eq on list element", count(Q.eq("pair", 7))),
        (
            "and_ of 3 conditions",
            count(Q.and_(Q.eq("flag", True), Q.bt("price", 100.0, 200.0), Q.starts_with("name", "w0"))),
        ),
    ]
    print(f"# Quorvane, {n:,} objects with 5 attributes (int, float, str, bool, list of 2 ints)\n")
    print("| measurement | result | median time |")
    print("|---|---:|---:|")
    print(f"| build with add_object (median of {len(loop_times)}) | {n:,} objects "
          f"| {build_s * 1000:.0f} ms |")
    print(f"| build with add_object_many (median of {len(bulk_times)}) | {n:,} objects "
          f"| {bulk_s * 1000:.0f} ms ({build_s / bulk_s:.2f}x faster than add_object) |")
    print(f"| union_with of two indexes of {half:,} | {n:,} objects | {union_s * 1000:.0f} ms "
          f"(add_object_many of the second half: {second_half_s * 1000:.0f} ms, "
          f"{second_half_s / union_s:.2f}x) |")
    print(f"| memory (RSS growth) per object | {per_object:.0f} bytes | |")
    print(f"| memory of the objects themselves, per object | {object_bytes:.0f} bytes "
          f"(the same values in a plain Python object: {plain_bytes:.0f} bytes) | |")
    for label, fn in queries:
        hits = len(fn())
        print(f"| {label} | {hits:,} hits | {median_ms(fn, args.repeat):.2f} ms |")
    for label, result, timing in removal:
        print(f"| {label} | {result} | {timing} |")
    for label, result, timing in measure_export(index, args.repeat):
        print(f"| {label} | {result} | {timing} |")
    for label, result, timing in measure_progress(objs):
        print(f"| {label} | {result} | {timing} |")
    print("\n## Several sort keys, facets of combinations and aggregates\n")
    print("Against the Python a user would write over the objects (`sorted` with a tuple key, "
          "`Counter` over tuples, `min()`/`sum()` over `collect()`) and pandas over a DataFrame "
          "of the same values built beforehand. Answers are checked equal.\n")
    print("| measurement | Quorvane | hand-written Python | pandas |")
    print("|---|---:|---:|---:|")
    for label, timings in orders:
        print(f"| {label} | " + " | ".join(timings) + " |")


def measure_orders_and_aggregates(index, objs, repeat):
    """Several sort keys, combined facets and aggregates, each against the hand-written Python
    and pandas; every pair of answers is compared first."""
    try:
        import pandas
    except ImportError:
        pandas = None
    frame = None
    if pandas is not None:
        frame = pandas.DataFrame({name: [getattr(o, name) for o in objs]
                                  for name in ("num", "price", "name", "flag")})
    view = index.reduced_query(Q.bt("price", 0.0, 100.0))
    low = frame[frame.price.between(0.0, 100.0)] if frame is not None else None

    def sku(rows):
        return [(o.flag, o.price) for o in rows]

    def close(a, b):
        return a == b or (isinstance(a, float) and abs(a - b) <= 1e-9 * max(1.0, abs(b)))

    cases = [
        ("`order_by(\"flag\", \"-price\").limit(20)`",
         lambda: sku(index.order_by("flag", "-price").limit(20)),
         lambda: sku(sorted(index.collect(), key=lambda o: (o.flag, -o.price))[:20]),
         (lambda: list(zip(*[c.tolist() for c in frame.sort_values(
             ["flag", "price"], ascending=[True, False], kind="stable").head(20)[
             ["flag", "price"]].T.values]))) if frame is not None else None),
        ("`order_by(\"name\", \"num\")[1000:1020]`",
         lambda: [o.num for o in index.order_by("name", "num")[1000:1020]],
         lambda: [o.num for o in sorted(index.collect(), key=lambda o: (o.name, o.num))[1000:1020]],
         (lambda: frame.sort_values(["name", "num"], kind="stable").num.iloc[1000:1020].tolist())
         if frame is not None else None),
        ("`count_by(\"flag\", \"name\")`",
         lambda: dict(index.count_by("flag", "name")),
         lambda: dict(collections.Counter((o.flag, o.name) for o in index.collect())),
         (lambda: frame.groupby(["flag", "name"]).size().to_dict()) if frame is not None else None),
        ("`min(\"price\")`", lambda: index.min("price"),
         lambda: min(o.price for o in index.collect()),
         (lambda: frame.price.min()) if frame is not None else None),
        ("`max(\"num\")`", lambda: index.max("num"), lambda: max(o.num for o in index.collect()),
         (lambda: frame.num.max()) if frame is not None else None),
        ("`sum(\"num\")`", lambda: index.sum("num"), lambda: sum(o.num for o in index.collect()),
         (lambda: int(frame.num.sum())) if frame is not None else None),
        ("`sum(\"price\")`", lambda: index.sum("price"),
         lambda: sum(o.price for o in index.collect()),
         (lambda: float(frame.price.sum())) if frame is not None else None),
        ("`mean(\"price\")`", lambda: index.mean("price"),
         lambda: statistics.fmean(o.price for o in index.collect()),
         (lambda: float(frame.price.mean())) if frame is not None else None),
        ("`sum(\"num\")` of a 10% view", lambda: view.sum("num"),
         lambda: sum(o.num for o in view.collect()),
         (lambda: int(low.num.sum())) if frame is not None else None),
    ]
    rows = []
    for label, ours, hand, theirs in cases:
        want = hand()
        for other in (ours, theirs):
            if other is not None:
                got = other()
                ok = (all(map(close, got, want)) and len(got) == len(want)
                      if isinstance(want, list) else got == want or close(got, want))
                if not ok:
                    raise SystemExit(f"{label}: answers differ: {got!r} against {want!r}")
        timings = [f"{median_ms(fn, repeat):.2f} ms" if fn is not None else "not installed"
                   for fn in (ours, hand, theirs)]
        rows.append((label, timings))
    return rows


def measure_removal(index, objs, repeat):
    """remove_object per object in this index and in a small one (its cost follows the
    object's values, not the index's size), against marking the object and narrowing the index
    by a query; remove_object_many of 1% of the objects. Every object removed is added back."""
    n = len(objs)
    rows = []
    small = Index()
    small.add_object_many(objs[:10_000])
    for label, target, pool in [(f"{n:,}", index, objs), ("10,000", small, objs[:10_000])]:
        victims = pool[1::max(1, len(pool) // 1000)][:1000]
        start = time.perf_counter()
        for obj in victims:
            target.remove_object(obj)
        per_us = (time.perf_counter() - start) / len(victims) * 1e6
        target.add_object_many(victims)
        rows.append((f"remove_object, index of {label} (1,000 objects, each)",
                     f"{len(victims):,} removed", f"{per_us:.1f} us"))
    marked = objs[n // 3]

    def mark_and_reduce():
        marked.gone = True
        index.reduce(~Q.eq("gone", True))

    gc.collect()
    mark_ms = median_ms(lambda: (mark_and_reduce(), index.add_object(marked)), max(3, repeat // 2))
    rows.append(("mark one object and reduce by a query (and add it back)", "1 removed",
                 f"{mark_ms:.1f} ms"))
    batch = objs[::100]
    start = time.perf_counter()
    index.remove_object_many(batch)
    many_ms = (time.perf_counter() - start) * 1000
    index.add_object_many(batch)
    rows.append(("remove_object_many of 1% of the objects", f"{len(batch):,} removed",
                 f"{many_ms:.0f} ms"))
    return rows


def measure_export(index, repeat):
    """Iteration, projection and export against the Python a user would write instead over
    collect() (and pandas' and pyarrow's own constructors fed by it)."""
    n = len(index)
    names = ("num", "price", "name", "flag")
    ordered = index.order_by("price")
    rows = []

    def row(label, ours, theirs, instead):
        gc.collect()
        a, b = median_ms(ours, repeat), median_ms(theirs, repeat)
        rows.append((label, f"{n:,} objects",
                     f"{a:.3g} ms ({instead}: {b:.3g} ms, {b / a:.1f}x)"))

    row("first object: next(iter(index))", lambda: next(iter(index)),
        lambda: index.collect()[0], "collect()[0]")
    row("first object of order_by('price'): next(iter(...))", lambda: next(iter(ordered)),
        lambda: ordered.collect()[0], "collect()[0]")
    row("values('price')", lambda: index.values("price"),
        lambda: [o.price for o in index.collect()], "list comprehension over collect()")
    row("values('num', 'price', 'name')", lambda: index.values("num", "price", "name"),
        lambda: [(o.num, o.price, o.name) for o in index.collect()],
        "comprehension of tuples")
    row("to_dicts('num', 'price', 'name', 'flag')", lambda: index.to_dicts(*names),
        lambda: [{k: getattr(o, k) for k in names} for o in index.collect()],
        "comprehension of dicts")
    try:
        import pandas as pd
        import pyarrow as pa
    except ImportError:
        rows.append(("to_pandas / to_arrow", "pandas or pyarrow not installed", ""))
        return rows
    row("to_pandas('num', 'price', 'name', 'flag')", lambda: index.to_pandas(*names),
        lambda: pd.DataFrame([{k: getattr(o, k) for k in names} for o in index.collect()]),
        "pd.DataFrame(comprehension of dicts)")
    row("to_arrow('num', 'price', 'name', 'flag')", lambda: index.to_arrow(*names),
        lambda: pa.Table.from_pylist([{k: getattr(o, k) for k in names}
                                      for o in index.collect()]),
        "pa.Table.from_pylist(comprehension of dicts)")
    return rows


def measure_progress(objs):
    """add_object_many with a progress callback (written in parts, reported between them)
    against the same call without one, each into a fresh index; medians of three."""
    calls = []
    with_progress, without = [], []
    for _ in range(3):
        for times, progress in ((with_progress, lambda d, t: calls.append(d)), (without, None)):
            index = Index()
            gc.collect()
            start = time.perf_counter()
            if progress is None:
                index.add_object_many(objs)
            else:
                index.add_object_many(objs, progress=progress)
            times.append(time.perf_counter() - start)
            del index
    a, b = statistics.median(with_progress), statistics.median(without)
    return [("add_object_many with progress=callback", f"{len(objs):,} objects, "
             f"{len(calls) // 3} reports", f"{a * 1000:.0f} ms (without: {b * 1000:.0f} ms, "
             f"{a / b:.2f}x)")]


if __name__ == "__main__":
    main()
