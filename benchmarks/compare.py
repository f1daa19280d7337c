"""Compares Quorvane with the tools Python users pick today for finding objects by attributes:
ducks (Dex, FrozenDex), littletable, pandas boolean masks, an indexed in-memory sqlite3 table and
a plain list comprehension, plus the floor (only building the Python list of the result objects).

    .venv/bin/python benchmarks/compare.py --install   # peers into .venv, ducks into build/ducks-venv
    .venv/bin/python benchmarks/compare.py             # full run (about 10 minutes on 2 cores)
    .venv/bin/python benchmarks/compare.py --quick     # 100k objects, to check the harness

The full run writes docs/benchmarks.md and docs/benchmarks.png; --quick writes
build/benchmarks-quick.md and .png unless --md/--png say otherwise. Raw figures go to a JSON file
beside the report in build/. Each tool runs in its own fresh process per data set (see
benchmarks/peers/common.py), so RSS growth is measured per tool. Every tool's answer to every
query is checked against Quorvane's (hit count and the sum of the positions of the hit objects);
a mismatch is reported and makes the exit status 1.
"""
import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PEERS = os.path.join(ROOT, "benchmarks", "peers")
sys.path.insert(0, PEERS)
import common

DUCKS_VENV = os.path.join(ROOT, "build", "ducks-venv")
DUCKS_PY = os.path.join(DUCKS_VENV, "bin", "python")
# ducks 0.5.1 declares numpy<2 and BTrees<5: BTrees 4 does not build on Python 3.13 here, so the
# newest BTrees is installed beside it (ducks is installed without its declared dependencies).
DUCKS_PACKAGES = ["BTrees", "cykhash>=2,<3", "numpy<2", "readerwriterlock>=1.0.9,<2",
                  "sortednp>=0.4,<0.5"]
VENV_PACKAGES = ["littletable", "pandas", "pyarrow", "matplotlib"]

QUERY_TOOLS = ["quorvane", "frozendex", "dex", "pandas", "sqlite", "littletable", "listcomp"]
BUILD_TOOLS = ["quorvane", "quorvane_many", "frozendex", "dex", "pandas", "sqlite", "littletable",
               "listcomp"]
COLORS = {"quorvane": "#d62728", "quorvane_many": "#ff9896", "frozendex": "#1f77b4",
          "dex": "#aec7e8", "pandas": "#2ca02c", "sqlite": "#9467bd", "littletable": "#8c564b",
          "listcomp": "#7f7f7f", "floor": "#000000"}


def install():
    def run(cmd):
        print("+", " ".join(cmd), file=sys.stderr)
        subprocess.run(cmd, check=True)
    run([sys.executable, "-m", "pip", "install", "-q", *VENV_PACKAGES])
    if not os.path.exists(DUCKS_PY):
        base = getattr(sys, "_base_executable", sys.executable)
        run([base, "-m", "venv", DUCKS_VENV])
    run([DUCKS_PY, "-m", "pip", "install", "-q", *DUCKS_PACKAGES])
    run([DUCKS_PY, "-m", "pip", "install", "-q", "--no-deps", "ducks==0.5.1"])


def python_for(tool):
    return DUCKS_PY if tool in ("dex", "frozendex") else sys.executable


def available(tool):
    py = python_for(tool)
    if not os.path.exists(py):
        return False
    module = common.TOOL_MODULES[tool]
    probe = subprocess.run([py, "-c", f"import sys; sys.path.insert(0, {PEERS!r}); import {module}"],
                           capture_output=True, check=False)
    return probe.returncode == 0


def run_worker(tool, dataset, n, *, budget, build_repeat, tracemalloc, floor, queries=True,
               timeout=900):
    max_repeat = 15
    if floor:
        # Quorvane and the floor are cheap and their ratio decides targets: sample them over a
        # longer window so that a burst of load from elsewhere on the machine weighs less.
        budget, max_repeat = budget * 2, 101
    cmd = [python_for(tool), os.path.join(PEERS, "common.py"), "--tool", tool, "--dataset", dataset,
           "--objects", str(n), "--budget", str(budget), "--build-repeat", str(build_repeat),
           "--max-repeat", str(max_repeat)]
    if tracemalloc:
        cmd.append("--tracemalloc")
    if floor:
        cmd.append("--floor")
    if not queries:
        cmd.append("--no-queries")
    start = time.perf_counter()
    print(f"  {tool:14s} {dataset} {n:>9,} ...", end="", file=sys.stderr, flush=True)
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        print(" timed out", file=sys.stderr)
        return {"tool": tool, "dataset": dataset, "objects": n, "error": f"timed out after {timeout} s"}
    took = time.perf_counter() - start
    if proc.returncode != 0:
        print(f" failed ({took:.0f} s)", file=sys.stderr)
        return {"tool": tool, "dataset": dataset, "objects": n,
                "error": proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else "failed"}
    print(f" {took:.0f} s", file=sys.stderr)
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    result["wall_s"] = took
    return result


def plan(quick):
    """(dataset, objects, tools, options) of every group of workers."""
    if quick:
        return [
            ("ducks", 100_000, QUERY_TOOLS, {"budget": 0.3, "build_repeat": 1, "tracemalloc": False}),
            ("cars", 100_000, BUILD_TOOLS, {"budget": 0.3, "build_repeat": 3, "tracemalloc": True}),
        ]
    return [
        ("ducks", 2_000_000, QUERY_TOOLS, {"budget": 1.0, "build_repeat": 1, "tracemalloc": False}),
        ("cars", 100_000, QUERY_TOOLS, {"budget": 0.5, "build_repeat": 1, "tracemalloc": False}),
        ("cars", 1_000_000, BUILD_TOOLS, {"budget": 1.0, "build_repeat": 3, "tracemalloc": True}),
    ]


# ---------------------------------------------------------------------------------------------
# Checking and reporting
# ---------------------------------------------------------------------------------------------

def check(groups):
    """Every tool's (hits, checksum) must equal Quorvane's; so must the floor's."""
    problems = []
    for key, results in groups.items():
        ref = results.get("quorvane")
        if not ref or "error" in ref:
            problems.append(f"{key}: no Quorvane result to check against")
            continue
        expected = {q["query"]: (q["hits"], q["checksum"]) for q in ref["queries"]}
        for f in ref.get("floor", []):
            if (f["hits"], f["checksum"]) != expected[f["query"]]:
                problems.append(f"{key} {f['query']}: Quorvane {expected[f['query']]} but a scan "
                                f"finds {(f['hits'], f['checksum'])}")
        for tool, res in results.items():
            if "error" in res:
                problems.append(f"{key} {tool}: {res['error']}")
                continue
            for q in res.get("queries", []):
                if q["supported"] and (q["hits"], q["checksum"]) != expected[q["query"]]:
                    problems.append(f"{key} {q['query']}: {res['label']} answers "
                                    f"{(q['hits'], q['checksum'])}, Quorvane {expected[q['query']]}")
    return problems


def fmt_ms(ms):
    if ms is None:
        return "n/a"
    return f"{ms:.3f}" if ms < 1 else f"{ms:.2f}" if ms < 100 else f"{ms:,.0f}"


def fmt_ratio(x):
    if x is None:
        return ""
    return f"{x:.2f}x" if x < 10 else f"{x:,.0f}x"


def query_table(key, results, dataset):
    ref = results["quorvane"]
    floor = {f["query"]: f for f in ref.get("floor", [])}
    lines = ["| query | hits | tool | median ms | ratio to Quorvane | x floor | runs | note |",
             "|---|---:|---|---:|---:|---:|---:|---|"]
    for qi, (qname, conds) in enumerate(common.QUERIES[dataset]):
        qref = ref["queries"][qi]
        fl = floor.get(qname)
        first = True
        for tool in QUERY_TOOLS:
            res = results.get(tool)
            if not res or "error" in res:
                continue
            q = res["queries"][qi]
            cell = f"{qname}<br>`{common.describe(conds)}`" if first else ""
            hits = f"{qref['hits']:,}" if first else ""
            first = False
            if not q["supported"]:
                lines.append(f"| {cell} | {hits} | {res['label']} | n/a | | | | {q['note']} |")
                continue
            ratio = q["ms"] / qref["ms"]
            xfloor = q["ms"] / fl["gather_ms"] if fl and fl["gather_ms"] > 0 else None
            name = f"**{res['label']}**" if tool == "quorvane" else res["label"]
            lines.append(f"| {cell} | {hits} | {name} | {fmt_ms(q['ms'])} | {fmt_ratio(ratio)} | "
                         f"{fmt_ratio(xfloor)} | {q['runs']} | {q['note']} |")
        if fl:
            lines.append(f"| | | *floor: `[objs[i] for i in hits]`* | {fmt_ms(fl['gather_ms'])} | "
                         f"{fmt_ratio(fl['gather_ms'] / qref['ms'])} | 1.00x | | "
                         f"`list(objs[:{fl['hits']}])`: {fmt_ms(fl['slice_ms'])} ms |")
    return "\n".join(lines)


def with_objects(res):
    """Bytes per object of the objects and the index together (None for old raw figures)."""
    objects = res.get("object_bytes_per_object")
    return None if objects is None else objects + res["rss_bytes_per_object"]


def build_table(results):
    ref = results.get("quorvane")
    lines = ["| tool | build median ms | runs | ratio to Quorvane | RSS growth bytes/object | "
             "after malloc_trim | objects + index bytes/object | tracemalloc bytes/object |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for tool in BUILD_TOOLS:
        res = results.get(tool)
        if not res or "error" in res:
            continue
        ratio = res["build_ms"] / ref["build_ms"] if ref and "error" not in ref else None
        traced = res.get("traced_bytes_per_object")
        traced_s = "" if traced is None else f"{traced:,.0f}"
        if tool.startswith("quorvane") and traced is not None:
            traced_s += " (native memory not seen)"
        trimmed = res.get("rss_trimmed_bytes_per_object")
        trimmed_s = "" if trimmed is None else f"{trimmed:,.0f}"
        whole = with_objects(res)
        whole_s = "" if whole is None else f"{whole:,.0f}"
        lines.append(f"| {res['label']} | {fmt_ms(res['build_ms'])} | {res['build_runs']} | "
                     f"{fmt_ratio(ratio)} | {res['rss_bytes_per_object']:,.0f} | {trimmed_s} | "
                     f"{whole_s} | {traced_s} |")
    return "\n".join(lines)


def targets(groups, plan_):
    """(target, measured, met) rows."""
    rows = []
    d_key = next(f"ducks {n:,}" for ds, n, _, _ in plan_ if ds == "ducks")
    d = groups.get(d_key, {})
    if "quorvane" in d and "error" not in d["quorvane"]:
        qms = d["quorvane"]["queries"][0]["ms"]
        for tool, need in (("frozendex", 2.0), ("dex", 4.0)):
            r = d.get(tool)
            if r and "error" not in r:
                got = r["queries"][0]["ms"] / qms
                best = r["queries"][0]["min_ms"] / d["quorvane"]["queries"][0]["min_ms"]
                rows.append((f"{d_key}: at least {need:.0f}x faster than {r['label']}",
                             f"{got:.2f}x ({fmt_ms(qms)} ms vs {fmt_ms(r['queries'][0]['ms'])} ms; "
                             f"fastest runs: {best:.2f}x)", got >= need))
    for ds, n, _, _ in plan_:
        if ds != "cars":
            continue
        key = f"cars {n:,}"
        ref = groups.get(key, {}).get("quorvane")
        if not ref or "error" in ref:
            continue
        floor = {f["query"]: f for f in ref.get("floor", [])}
        for q in ref["queries"]:
            fl = floor[q["query"]]
            x = q["ms"] / fl["gather_ms"]
            best = q["min_ms"] / fl["gather_min_ms"]
            rows.append((f"{key}: {q['query']} within 3x of the floor",
                         f"{x:.2f}x ({fmt_ms(q['ms'])} ms vs floor {fmt_ms(fl['gather_ms'])} ms; "
                         f"fastest runs: {best:.2f}x)", x <= 3.0))
    big = max((n for ds, n, _, _ in plan_ if ds == "cars"), default=None)
    g = groups.get(f"cars {big:,}", {})
    dex = g.get("dex")
    if dex and "error" not in dex:
        for tool in ("quorvane", "quorvane_many"):
            r = g.get(tool)
            if not r or "error" in r:
                continue
            rows.append((f"cars {big:,}: {r['label']} builds faster than ducks Dex",
                         f"{fmt_ms(r['build_ms'])} ms vs {fmt_ms(dex['build_ms'])} ms",
                         r["build_ms"] < dex["build_ms"]))
            mine, theirs = with_objects(r), with_objects(dex)
            if mine is not None and theirs is not None:
                rows.append((f"cars {big:,}: {r['label']} uses less memory than ducks Dex "
                             "(RSS, objects included)",
                             f"{mine:,.0f} vs {theirs:,.0f} bytes/object", mine < theirs))
    return rows


def machine():
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{os.cpu_count()} cores, {cpu}, Linux {platform.release()}, "
            f"Python {platform.python_version()}")


def source_state():
    """Commit of the work tree (read only), with a note when src/ has uncommitted changes."""
    try:
        head = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown commit"
    return f"commit {head}" + (" with uncommitted changes in src/" if dirty else "")


def write_report(path, groups, plan_, problems, command, elapsed, source):
    versions = {}
    for results in groups.values():
        for res in results.values():
            if "version" in res:
                versions[res["label"]] = res["version"]
    out = [
        "# Quorvane compared with other in-memory object finders",
        "",
        f"Generated by `{command}` on {datetime.date.today().isoformat()} from {source} "
        f"({machine()}; {elapsed / 60:.1f} minutes). Do not edit by hand: run it again.",
        "",
        "Versions: " + "; ".join(f"{v}" for v in sorted(set(versions.values()))) + ".",
        "",
        "How it is measured: every tool runs in a fresh process per data set and builds its index "
        "over the same generated objects (ordinary Python objects for the peers, `Indexable` "
        "instances for Quorvane). Query times are medians of repeated runs and always include "
        "producing the Python list of result objects (`reduced_query(...).collect()` for "
        "Quorvane, `Dex[...]`, `list(table.where(...))`, a boolean mask then the objects at its "
        "positions, `SELECT id` then the objects with those ids). *ratio to Quorvane* is the "
        "tool's time divided by Quorvane's (above 1: Quorvane is faster). *x floor* divides by the "
        "floor, the time to build a list of the same result objects from precomputed positions. "
        "Every tool's answer (hit count and sum of hit positions) equals Quorvane's unless listed "
        "under Problems. The machine is shared with other work, so figures move between runs; the "
        "targets table also gives the ratio of the fastest runs. ducks runs in its own virtual "
        "environment of the same interpreter (`build/ducks-venv`: ducks 0.5.1 declares numpy<2 "
        "and BTrees<5, which cannot live in the project's .venv beside numpy 2; BTrees 4 does not build on Python 3.13, so BTrees 6 is "
        "used). Every attribute is indexed in every tool that has indexes; sqlite3 tables are "
        "ANALYZEd.",
        "",
    ]
    if problems:
        out += ["## Problems", ""] + [f"- {p}" for p in problems] + [""]
    rows = targets(groups, plan_)
    if rows:
        out += ["## Targets", "", "| target | measured | met |", "|---|---|---|"]
        out += [f"| {t} | {m} | {'yes' if ok else '**no**'} |" for t, m, ok in rows]
        out.append("")
    for ds, n, _, _ in plan_:
        key = f"{ds} {n:,}"
        results = groups.get(key, {})
        if "quorvane" not in results or "error" in results["quorvane"]:
            continue
        if ds == "ducks":
            title = (f"## Workload 1: the ducks workload, {n:,} objects "
                     "(size 1..100, type of 5, color of 5, shape of 4)")
        else:
            title = (f"## Workload 2: cars, {n:,} objects "
                     "(manufacturer of 10, model of 100, color of 10, doors 2..5, price 1,000..51,000)")
        out += [title, "", query_table(key, results, ds), ""]
    for ds, n, tools, _ in plan_:
        if "quorvane_many" in tools:
            key = f"{ds} {n:,}"
            out += [f"## Workloads 3 and 4: build and memory, {ds} {n:,} objects", "",
                    "RSS growth is measured around the first build in a fresh process (the fair "
                    "figure: Quorvane's and sqlite's native memory is invisible to tracemalloc); "
                    "*after malloc_trim* is the same growth once glibc has returned its free memory "
                    "to the system (what the index keeps, without the build's transient peak); "
                    "tracemalloc counts what a second build allocates through Python's allocators "
                    "and is still held. The list comprehension's index is a list of the objects.",
                    "", build_table(groups.get(key, {})), ""]
    memory = os.path.join(ROOT, "build", "benchmarks-memory.md")
    if os.path.exists(memory):
        with open(memory) as f:
            out += ["## Memory per object, objects included (`python benchmarks/memory.py`)", "",
                    f.read().strip(), ""]
    out += ["## Workload 5: the floor", "",
            "Shown in every query table as the *floor* row: `[objs[i] for i in hits]` over "
            "precomputed hit positions on Quorvane's own objects (the cost of handing back a "
            "list of those objects and nothing more), with `list(objs[:k])` (contiguous, cheaper) "
            "in its note.", "",
            "![query, build and memory figures](benchmarks.png)", ""]
    with open(path, "w") as f:
        f.write("\n".join(out))


def write_chart(path, groups, plan_):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    qgroups = []  # (label, {tool: ms})
    for ds, n, _, _ in plan_:
        key = f"{ds} {n:,}"
        if ds == "cars" and n != max(m for d, m, _, _ in plan_ if d == "cars"):
            continue
        results = groups.get(key, {})
        ref = results.get("quorvane")
        if not ref or "error" in ref:
            continue
        floor = {f["query"]: f["gather_ms"] for f in ref.get("floor", [])}
        for qi, (qname, _) in enumerate(common.QUERIES[ds]):
            vals = {}
            for tool in QUERY_TOOLS:
                res = results.get(tool)
                if res and "error" not in res and res["queries"][qi]["supported"]:
                    vals[tool] = res["queries"][qi]["ms"]
            if qname in floor:
                vals["floor"] = floor[qname]
            qgroups.append((f"{ds} {n // 1000:,}k\n{qname}", vals))
    big = max(n for ds, n, _, _ in plan_ if ds == "cars")
    bres = groups.get(f"cars {big:,}", {})
    labels = {}
    for results in groups.values():
        for tool, res in results.items():
            labels.setdefault(tool, res.get("label", tool))
    labels["floor"] = "floor (list of results)"

    fig = plt.figure(figsize=(17, 11))
    ax = fig.add_subplot(2, 1, 1)
    series = QUERY_TOOLS + ["floor"]
    width = 0.85 / len(series)
    for si, tool in enumerate(series):
        xs = [gi + (si - len(series) / 2 + 0.5) * width for gi, (_, v) in enumerate(qgroups) if tool in v]
        ys = [v[tool] for _, v in qgroups if tool in v]
        if xs:
            ax.bar(xs, ys, width, label=labels.get(tool, tool), color=COLORS[tool])
    ax.set_yscale("log")
    ax.set_xticks(range(len(qgroups)))
    ax.set_xticklabels([g for g, _ in qgroups], fontsize=8)
    ax.set_ylabel("median ms per query (log)")
    ax.set_title("Query time including the Python list of results (lower is better)")
    ax.legend(fontsize=8, ncol=4)
    ax.grid(axis="y", which="major", alpha=0.3)

    tools = [t for t in BUILD_TOOLS if t in bres and "error" not in bres[t]]
    for pi, (field, title) in enumerate((("build_ms", f"Build over {big:,} cars, ms (log)"),
                                         ("rss_bytes_per_object", "RSS growth, bytes per object (log)"))):
        ax = fig.add_subplot(2, 2, 3 + pi)
        floor_v = 1e-3 if field == "build_ms" else 1.0  # a log axis cannot show 0
        vals = [max(bres[t][field], floor_v) for t in tools]
        ax.bar(range(len(tools)), vals, color=[COLORS[t] for t in tools])
        ax.set_yscale("log")
        ax.set_xticks(range(len(tools)))
        ax.set_xticklabels([labels[t] for t in tools], rotation=30, ha="right", fontsize=8)
        ax.set_title(title)
        ax.grid(axis="y", which="major", alpha=0.3)
        for i, v in enumerate(vals):
            ax.text(i, v, f"{v:,.0f}", ha="center", va="bottom", fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="small run (100k objects)")
    parser.add_argument("--install", action="store_true",
                        help="install the peer tools (.venv and build/ducks-venv), then exit")
    parser.add_argument("--tools", help="comma-separated subset of: " + ", ".join(BUILD_TOOLS))
    parser.add_argument("--md", help="report path")
    parser.add_argument("--png", help="chart path")
    args = parser.parse_args()
    if args.install:
        install()
        return 0
    md = args.md or os.path.join(ROOT, "build" if args.quick else "docs",
                                 "benchmarks-quick.md" if args.quick else "benchmarks.md")
    png = args.png or os.path.splitext(md)[0] + ".png"
    raw = os.path.join(ROOT, "build", os.path.basename(os.path.splitext(md)[0]) + ".json")
    chosen = set(args.tools.split(",")) | {"quorvane"} if args.tools else set(BUILD_TOOLS)
    missing = [t for t in sorted(chosen) if not available(t)]
    if missing:
        print(f"not installed: {', '.join(missing)} (run {sys.argv[0]} --install); skipped",
              file=sys.stderr)
        chosen -= set(missing)
    if "quorvane" not in chosen:
        print("Quorvane is not importable: run `make install` first", file=sys.stderr)
        return 2

    plan_ = plan(args.quick)
    source = source_state()
    groups = {}
    start = time.perf_counter()
    for ds, n, tools, opts in plan_:
        key = f"{ds} {n:,}"
        print(key, file=sys.stderr)
        results = groups[key] = {}
        for tool in tools:
            if tool not in chosen:
                continue
            results[tool] = run_worker(tool, ds, n, floor=(tool == "quorvane"),
                                       queries=(tool != "quorvane_many"), **opts)
    elapsed = time.perf_counter() - start

    os.makedirs(os.path.dirname(raw), exist_ok=True)
    with open(raw, "w") as f:
        json.dump(groups, f, indent=1)
    problems = check(groups)
    command = "python benchmarks/compare.py" + (" --quick" if args.quick else "")
    os.makedirs(os.path.dirname(os.path.abspath(md)), exist_ok=True)
    write_report(md, groups, plan_, problems, command, elapsed, source)
    write_chart(png, groups, plan_)
    print(f"wrote {md}, {png} and {raw} in {elapsed / 60:.1f} minutes", file=sys.stderr)
    for p in problems:
        print("PROBLEM:", p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
