"""What Python objects cost in Quorvane, beside plain Python objects and the tools a Python user
would otherwise pick.

Every case runs in a fresh interpreter; memory is the growth of the process's resident set over
the measured step (values the objects hold are made before it), divided by the number of objects.

    python benchmarks/memory.py                 # every table, printed as markdown
    python benchmarks/memory.py --quick         # smaller sizes
    python benchmarks/memory.py --json out.json # also the raw figures

The tables are also written to build/benchmarks-memory.md, which benchmarks/compare.py puts into
docs/benchmarks.md (`make bench` runs both).

Tables:
  objects    an Indexable subclass (built with keywords) and a plain class (attributes set in
             __init__) with 0-32 attributes, 200,000 objects, no index
  reads      nanoseconds per attribute read (str, int, float, nested object) and per miss
  catalogue  a shop catalogue of 8-field products: objects plus one index over every field,
             against plain objects plus a dict-of-sets index, and sqlite3 (:memory:, an index per
             column) plus the objects rebuilt from its rows
  high ids   an index of 1 and of 1,000 objects whose ids are high (after 3,000,000 objects came
             and went): build time and memory
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import textwrap

PRELUDE = r'''
import gc, json, sys, time

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

def measure(build):
    """Calls build() and returns (result, bytes of resident growth, seconds)."""
    gc.collect()
    before, t0 = rss(), time.perf_counter()
    result = build()
    seconds = time.perf_counter() - t0
    gc.collect()
    return result, rss() - before, seconds

def out(**figures):
    print(json.dumps(figures))
'''

OBJECTS = r'''
from Quorvane import Indexable
n, attrs, kind = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
names = [f"a{i}" for i in range(attrs)]
pool = [f"value{i}" for i in range(500)] + list(range(500)) + [i / 7 for i in range(500)]
rows = [{name: pool[(i * 7 + j * 13) % len(pool)] for j, name in enumerate(names)} for i in range(n)]

class Record(Indexable):
    pass

body = "".join(f"        self.{name} = {name}\n" for name in names) or "        pass\n"
src = f"class Plain:\n    def __init__(self, {', '.join(names + ['_=None'])}):\n{body}"
scope = {}
exec(src, scope)
Plain = scope["Plain"]
if kind == "indexable":
    objs, grew, _ = measure(lambda: [Record(**row) for row in rows])
elif kind == "indexable_init":
    # attributes assigned one by one, as an __init__ does
    def build():
        made = []
        for row in rows:
            obj = Record()
            for name, value in row.items():
                setattr(obj, name, value)
            made.append(obj)
        return made
    objs, grew, _ = measure(build)
else:
    objs, grew, _ = measure(lambda: [Plain(**row) for row in rows])
out(bytes_per_object=grew / n)
'''

READS = r'''
import timeit
from Quorvane import Indexable

class Record(Indexable):
    pass

class Plain:
    def __init__(self, **kw):
        for k, v in kw.items():
            setattr(self, k, v)

inner_i, inner_p = Record(x=1), Plain(x=1)
name = "some name"
i = Record(s=name, n=123456, f=2.5, o=inner_i)
p = Plain(s=name, n=123456, f=2.5, o=inner_p)
assert i.s is i.s and i.o is inner_i
figures = {}
number = 2_000_000
for label, expr in (("str", "o.s"), ("int", "o.n"), ("float", "o.f"), ("object", "o.o"),
                    ("miss", "hasattr(o, 'missing')")):
    for kind, obj in (("indexable", i), ("plain", p)):
        best = min(timeit.repeat(expr, globals={"o": obj}, number=number, repeat=5))
        figures[f"{label}:{kind}"] = best / number * 1e9
out(**figures)
'''

CATALOGUE = r'''
import random
n, tool = int(sys.argv[1]), sys.argv[2]
rng = random.Random(7)
brands = [f"brand{i}" for i in range(200)]
categories = [f"category{i}" for i in range(40)]
colors = ["red", "green", "blue", "black", "white", "grey", "yellow", "pink", "brown", "orange"]
rows = [(f"sku{i:08d}", f"product name {i}", rng.choice(brands), rng.choice(categories),
         round(rng.uniform(1, 500), 2), rng.randrange(1000), rng.choice(colors),
         rng.randrange(1, 6)) for i in range(n)]
FIELDS = ("sku", "name", "brand", "category", "price", "stock", "color", "rating")

if tool == "quorvane":
    from Quorvane import Index, Indexable
    class Product(Indexable):
        pass
    def build():
        objs = [Product(sku=r[0], name=r[1], brand=r[2], category=r[3], price=r[4], stock=r[5],
                        color=r[6], rating=r[7]) for r in rows]
        index = Index()
        index.add_object_many(objs)
        return objs, index
elif tool == "quorvane_objects":
    from Quorvane import Indexable
    class Product(Indexable):
        pass
    def build():
        return [Product(sku=r[0], name=r[1], brand=r[2], category=r[3], price=r[4], stock=r[5],
                        color=r[6], rating=r[7]) for r in rows]
else:
    class Product:
        def __init__(self, sku, name, brand, category, price, stock, color, rating):
            self.sku = sku
            self.name = name
            self.brand = brand
            self.category = category
            self.price = price
            self.stock = stock
            self.color = color
            self.rating = rating
    if tool == "plain_objects":
        def build():
            return [Product(*r) for r in rows]
    elif tool == "hand_index":
        def build():
            objs = [Product(*r) for r in rows]
            index = {f: {} for f in FIELDS}
            for obj in objs:
                for f in FIELDS:
                    index[f].setdefault(getattr(obj, f), set()).add(obj)
            return objs, index
    elif tool == "sqlite3":
        import sqlite3
        def build():
            db = sqlite3.connect(":memory:")
            db.execute(f"create table p (id integer primary key, {', '.join(FIELDS)})")
            db.executemany(f"insert into p ({', '.join(FIELDS)}) values ({', '.join('?' * 8)})",
                           rows)
            for f in FIELDS:
                db.execute(f"create index p_{f} on p ({f})")
            db.commit()
            objs = [Product(*r[1:]) for r in db.execute("select * from p")]
            return db, objs
_, grew, seconds = measure(build)
out(bytes_per_object=grew / n, seconds=seconds)
'''

HIGH_IDS = r'''
from Quorvane import Index, Indexable
count = int(sys.argv[1])
churn = [Indexable(v=i) for i in range(3_000_000)]
kept = [Indexable(v=i, s="x") for i in range(count)]
del churn
gc.collect()
index, grew, seconds = measure(lambda: (lambda ix: (ix.add_object_many(kept), ix)[1])(Index()))
assert len(index.collect()) == count
out(bytes=grew, seconds=seconds)
'''


def run(code: str, *args, timeout: float = 900.0) -> dict:
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)
    if proc.returncode != 0:
        return {"error": proc.stderr.strip().splitlines()[-1] if proc.stderr else "failed"}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def fmt(value, digits=0):
    if value is None:
        return "-"
    return f"{value:,.{digits}f}"


def objects_table(n: int) -> tuple[str, dict]:
    lines = [f"### Objects ({n:,} per case, no index; bytes per object, resident growth)", "",
             "| attributes | Indexable (keywords) | Indexable (set in `__init__`) | plain object "
             "| Indexable / plain |", "|---:|---:|---:|---:|---:|"]
    raw = {}
    for attrs in (0, 4, 8, 9, 16, 32):
        kw = run(OBJECTS, n, attrs, "indexable")
        init = run(OBJECTS, n, attrs, "indexable_init")
        plain = run(OBJECTS, n, attrs, "plain")
        raw[attrs] = {"indexable": kw, "indexable_init": init, "plain": plain}
        a, b, c = (r.get("bytes_per_object") for r in (kw, init, plain))
        ratio = max(a, b) / c if a and b and c else None
        lines.append(f"| {attrs} | {fmt(a)} | {fmt(b)} | {fmt(c)} | {fmt(ratio, 2)}x |")
    return "\n".join(lines), raw


def reads_table() -> tuple[str, dict]:
    r = run(READS)
    lines = ["### Attribute reads (nanoseconds per read, best of 5)", "",
             "| read | Indexable | plain object | ratio |", "|---|---:|---:|---:|"]
    for label in ("str", "int", "float", "object", "miss"):
        a, b = r.get(f"{label}:indexable"), r.get(f"{label}:plain")
        lines.append(f"| {label} | {fmt(a, 1)} | {fmt(b, 1)} | {fmt(a / b if a and b else None, 2)}x |")
    return "\n".join(lines), r


def catalogue_table(sizes) -> tuple[str, dict]:
    tools = ("quorvane", "quorvane_objects", "plain_objects", "hand_index", "sqlite3")
    lines = ["### Catalogue: 8-field products, objects included (bytes per product)", "",
             "| products | " + " | ".join(tools) + " | Quorvane / (plain + hand index) |",
             "|---:|" + "---:|" * (len(tools) + 1)]
    raw = {}
    for n in sizes:
        raw[n] = {t: run(CATALOGUE, n, t, timeout=1800) for t in tools}
        cells = [raw[n][t].get("bytes_per_object") for t in tools]
        q, hand = cells[0], cells[3]
        lines.append(f"| {n:,} | " + " | ".join(fmt(c) for c in cells) +
                     f" | {fmt(q / hand if q and hand else None, 2)}x |")
    return "\n".join(lines), raw


def high_ids_table() -> tuple[str, dict]:
    lines = ["### Objects with high ids (after 3,000,000 objects came and went)", "",
             "| objects indexed | build ms | resident growth KiB |", "|---:|---:|---:|"]
    raw = {}
    for count in (1, 1000):
        r = run(HIGH_IDS, count)
        raw[count] = r
        lines.append(f"| {count:,} | {fmt(r.get('seconds', 0) * 1000, 2)} | "
                     f"{fmt(r.get('bytes', 0) / 1024)} |")
    return "\n".join(lines), raw


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes")
    parser.add_argument("--json", help="also write the raw figures here")
    parser.add_argument("--only", help="comma-separated tables: objects,reads,catalogue,high_ids")
    args = parser.parse_args()
    n = 50_000 if args.quick else 200_000
    sizes = (100_000,) if args.quick else (100_000, 1_000_000)
    tables = {"objects": lambda: objects_table(n), "reads": reads_table,
              "catalogue": lambda: catalogue_table(sizes), "high_ids": high_ids_table}
    only = args.only.split(",") if args.only else list(tables)
    parts, raw = [], {}
    for name in only:
        text, raw[name] = tables[name]()
        parts.append(text)
    text = "\n\n".join(parts)
    print(text)
    build = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build")
    os.makedirs(build, exist_ok=True)
    with open(os.path.join(build, "benchmarks-memory.md"), "w") as f:
        f.write(text + "\n")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(raw, f, indent=1)


if __name__ == "__main__":
    main()
