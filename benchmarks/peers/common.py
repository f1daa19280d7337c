"""Common harness of the comparison benchmarks: data sets, queries, timing, worker process.

Every measurement of one tool on one data set runs in a fresh worker process:

    python benchmarks/peers/common.py --tool NAME --dataset ducks|cars --objects N [...]

The worker generates the data set from a fixed seed (the same objects in every process, since
only the standard library's `random` is used), builds the tool's index while measuring time and
RSS growth, times every query (median of repeated runs, each producing the Python list of result
objects), optionally repeats the build under tracemalloc, and prints one JSON document on stdout.
benchmarks/compare.py starts the workers, checks the answers and writes the report.

Peer modules (one per tool) live beside this file and expose `TOOLS`, a dict of name -> class with:
    label                  text used in the report
    uses_indexable         True when the objects must be Quorvane Indexable instances
    build(objs, attrs)     returns the tool's index over the objects
    prepare(index, objs, conds)
                           returns a zero-argument callable that runs the query and returns the
                           list of matching objects, or None when the tool cannot express it
    notes(conds)           optional text about how the query is answered (e.g. "predicate scan")
"""
import argparse
import gc
import importlib
import json
import os
import random
import resource
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

# tool name -> peer module name; several tools may share one module.
TOOL_MODULES = {
    "quorvane": "quorvane_peer",
    "quorvane_many": "quorvane_peer",
    "dex": "ducks_peer",
    "frozendex": "ducks_peer",
    "littletable": "littletable_peer",
    "pandas": "pandas_peer",
    "sqlite": "sqlite_peer",
    "listcomp": "listcomp_peer",
}

# ---------------------------------------------------------------------------------------------
# Data sets. Conditions are tuples (attr, op, value): op is "eq", "bt" (inclusive (lo, hi)),
# "starts_with" or "contains"; a query is a list of conditions that must all hold.
# ---------------------------------------------------------------------------------------------

DUCKS_ATTRS = ("size", "type", "color", "shape")
DUCKS_TYPES = ("A", "B", "C", "D", "E")
DUCKS_COLORS = ("red", "green", "blue", "yellow", "purple")
DUCKS_SHAPES = ("circle", "square", "triangle", "hexagon")

CARS_ATTRS = ("manufacturer", "model", "color", "doors", "price")
CARS_MAKERS = {
    "Ford": "Focus", "Opel": "Astra", "Toyota": "Corolla", "Honda": "Civic", "Renault": "Clio",
    "Peugeot": "Partner", "Fiat": "Panda", "Volkswagen": "Golf", "Skoda": "Octavia", "Kia": "Ceed",
}
CARS_TRIMS = ("Base", "Comfort", "Sport", "Luxe", "Eco", "Turbo", "Hybrid", "Touring", "Edition",
              "Plus")
CARS_COLORS = ("red", "blue", "green", "black", "white", "silver", "grey", "yellow", "orange",
               "brown")

QUERIES = {
    "ducks": [
        ("4 conditions (~200 hits)",
         [("type", "eq", "B"), ("color", "eq", "red"), ("shape", "eq", "circle"),
          ("size", "bt", (50, 50))]),
    ],
    "cars": [
        ("eq color (~10%)", [("color", "eq", "red")]),
        ("eq model (~1%)", [("model", "eq", "Civic Sport")]),
        ("bt price (~20%)", [("price", "bt", (10000.0, 20000.0))]),
        ("starts_with model (~10%)", [("model", "starts_with", "Cor")]),
        ("contains model (~10%)", [("model", "contains", "Hybrid")]),
        ("and_ color, doors, price (~1%)",
         [("color", "eq", "red"), ("doors", "eq", 5), ("price", "bt", (10000.0, 30000.0))]),
    ],
}


def describe(conds):
    """Human text of a query, e.g. color == 'red' and 10000 <= price <= 20000."""
    parts = []
    for attr, op, value in conds:
        if op == "eq":
            parts.append(f"{attr} == {value!r}")
        elif op == "bt":
            parts.append(f"{value[0]!r} <= {attr} <= {value[1]!r}")
        elif op == "starts_with":
            parts.append(f"{attr}.startswith({value!r})")
        else:
            parts.append(f"{value!r} in {attr}")
    return " and ".join(parts)


def make_columns(dataset, n, seed=1):
    """Attribute values as one list per attribute, deterministic for a given seed."""
    rng = random.Random(seed)
    if dataset == "ducks":
        return {
            "size": rng.choices(range(1, 101), k=n),
            "type": rng.choices(DUCKS_TYPES, k=n),
            "color": rng.choices(DUCKS_COLORS, k=n),
            "shape": rng.choices(DUCKS_SHAPES, k=n),
        }
    if dataset == "cars":
        makers = list(CARS_MAKERS)
        maker = rng.choices(makers, k=n)
        trims = rng.choices(CARS_TRIMS, k=n)
        # Interned model strings, as a program reading a catalogue would have them.
        models = {(m, t): sys.intern(f"{CARS_MAKERS[m]} {t}") for m in makers for t in CARS_TRIMS}
        rnd = rng.random
        return {
            "manufacturer": maker,
            "model": [models[m, t] for m, t in zip(maker, trims)],
            "color": rng.choices(CARS_COLORS, k=n),
            "doors": rng.choices((2, 3, 4, 5), k=n),
            "price": [round(1000.0 + rnd() * 50000.0, 2) for _ in range(n)],
        }
    raise ValueError(dataset)


class Plain:
    """The objects handed to the peer tools: an ordinary class with an instance __dict__."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def make_objects(cls, columns):
    names = list(columns)
    return [cls(**dict(zip(names, values))) for values in zip(*columns.values())]


def matches(conds, columns):
    """Positions of the objects satisfying the query, computed from the raw columns."""
    n = len(next(iter(columns.values())))
    keep = range(n)
    for attr, op, value in conds:
        col = columns[attr]
        if op == "eq":
            keep = [i for i in keep if col[i] == value]
        elif op == "bt":
            lo, hi = value
            keep = [i for i in keep if lo <= col[i] <= hi]
        elif op == "starts_with":
            keep = [i for i in keep if col[i].startswith(value)]
        elif op == "contains":
            keep = [i for i in keep if value in col[i]]
        else:
            raise ValueError(op)
    return list(keep)


# ---------------------------------------------------------------------------------------------
# Measuring
# ---------------------------------------------------------------------------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def median_ms(fn, budget_s=1.0, min_repeat=3, max_repeat=15):
    """Median wall time of fn() in ms. One untimed warm-up run when it is cheap; the number of
    timed runs adapts to the cost (at least min_repeat, at most max_repeat, about budget_s)."""
    (ms,), _, runs = median_ms_interleaved([fn], budget_s, min_repeat, max_repeat)
    return ms, runs


def median_ms_interleaved(fns, budget_s=1.0, min_repeat=3, max_repeat=15):
    """Like median_ms for several functions whose runs alternate (A B A B ...), so that a change
    of the machine's load during the measurement affects their ratio as little as possible.
    Returns (medians, minimums, runs)."""
    firsts = []
    for fn in fns:
        start = time.perf_counter()
        fn()
        firsts.append(time.perf_counter() - start)
    first = sum(firsts)
    times = [[] for _ in fns]
    if first > budget_s / min_repeat:
        for t, f in zip(times, firsts):
            t.append(f * 1000)  # slow: the warm-up counts as a run
    repeat = max(min_repeat, min(max_repeat, int(budget_s / max(first, 1e-9))))
    while len(times[0]) < repeat:
        for t, fn in zip(times, fns):
            start = time.perf_counter()
            fn()
            t.append((time.perf_counter() - start) * 1000)
    return [statistics.median(t) for t in times], [min(t) for t in times], len(times[0])


def malloc_trim():
    """Return the C allocator's free memory to the system (glibc); False where unavailable."""
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
        return True
    except (OSError, AttributeError):
        return False


def load_tool(name):
    module = importlib.import_module(TOOL_MODULES[name])
    return module.TOOLS[name](), module.VERSION


def run_worker(args):
    tool, version = load_tool(args.tool)
    out = {"tool": args.tool, "label": tool.label, "dataset": args.dataset, "objects": args.objects,
           "python": sys.executable, "version": version}
    attrs = DUCKS_ATTRS if args.dataset == "ducks" else CARS_ATTRS
    columns = make_columns(args.dataset, args.objects)
    if tool.uses_indexable:
        from quorvane_peer import Item
        cls = Item
    else:
        cls = Plain
    gc.collect()
    before_objects = rss_bytes()
    objs = make_objects(cls, columns)
    gc.collect()
    # The objects' own cost: Quorvane's objects carry their native record, plain ones do not.
    out["object_bytes_per_object"] = (rss_bytes() - before_objects) / args.objects
    position = {id(o): i for i, o in enumerate(objs)}
    # The data set is long-lived: keep the cyclic GC from re-scanning it during measurements.
    gc.collect()
    gc.freeze()

    # Build, first time in this fresh process: time and RSS growth.
    before = rss_bytes()
    start = time.perf_counter()
    index = tool.build(objs, attrs)
    build_times = [time.perf_counter() - start]
    gc.collect()
    out["rss_bytes_per_object"] = (rss_bytes() - before) / args.objects
    # What stays after the C allocator gives its free memory back: tells retained memory from a
    # transient peak of the build.
    if malloc_trim():
        out["rss_trimmed_bytes_per_object"] = (rss_bytes() - before) / args.objects

    queries = []
    floors = []
    for name, conds in ([] if args.no_queries else QUERIES[args.dataset]):
        entry = {"query": name, "text": describe(conds), "note": tool.notes(conds)}
        fn = tool.prepare(index, objs, conds)
        if fn is None:
            entry["supported"] = False
            queries.append(entry)
            continue
        result = fn()
        entry.update(supported=True, hits=len(result),
                     checksum=sum(position[id(o)] for o in result))
        del result
        if args.floor:
            # The floor: building a Python list of the same result objects, nothing else; its
            # runs alternate with the query's.
            pos = matches(conds, columns)
            k = len(pos)
            (entry["ms"], gather_ms, slice_ms), (entry["min_ms"], gather_min, _), entry["runs"] = \
                median_ms_interleaved([fn, lambda pos=pos: [objs[i] for i in pos], lambda k=k: list(objs[:k])],
                                      budget_s=args.budget, max_repeat=args.max_repeat)
            floors.append({"query": name, "hits": k, "checksum": sum(pos), "gather_ms": gather_ms,
                           "gather_min_ms": gather_min, "slice_ms": slice_ms})
        else:
            (entry["ms"],), (entry["min_ms"],), entry["runs"] = median_ms_interleaved(
                [fn], budget_s=args.budget, max_repeat=args.max_repeat)
        queries.append(entry)
    out["queries"] = queries
    if args.floor:
        out["floor"] = floors

    # More builds for a median, within a time budget (the first one counts).
    while len(build_times) < args.build_repeat and sum(build_times) < args.build_budget:
        del index
        gc.collect()
        start = time.perf_counter()
        index = tool.build(objs, attrs)
        build_times.append(time.perf_counter() - start)
    out["build_ms"] = statistics.median(build_times) * 1000
    out["build_runs"] = len(build_times)

    if args.tracemalloc:
        import tracemalloc
        del index
        gc.collect()
        tracemalloc.start()
        index = tool.build(objs, attrs)
        gc.collect()
        out["traced_bytes_per_object"] = tracemalloc.get_traced_memory()[0] / args.objects
        tracemalloc.stop()
    del index
    json.dump(out, sys.stdout)
    sys.stdout.write("\n")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", required=True, choices=sorted(TOOL_MODULES))
    parser.add_argument("--dataset", required=True, choices=sorted(QUERIES))
    parser.add_argument("--objects", type=int, required=True)
    parser.add_argument("--budget", type=float, default=1.0,
                        help="seconds of timed runs per query (adaptive repeat count)")
    parser.add_argument("--max-repeat", type=int, default=15, help="most timed runs per query")
    parser.add_argument("--build-repeat", type=int, default=1)
    parser.add_argument("--build-budget", type=float, default=10.0,
                        help="no further builds once this many seconds were spent building")
    parser.add_argument("--tracemalloc", action="store_true")
    parser.add_argument("--no-queries", action="store_true", help="measure the build only")
    parser.add_argument("--floor", action="store_true", help="also time the list-building floor")
    run_worker(parser.parse_args(argv))


if __name__ == "__main__":
    main()
