"""A plain list comprehension over the list of objects (no index: every query is a scan)."""
import collections
import heapq
import operator
import sys

VERSION = "Python " + sys.version.split()[0]


def term(cond, env):
    """Source of the test of one condition on `o`; its values go into env."""
    attr, op, value = cond
    k = len(env)
    if op == "or":
        return "(" + " or ".join(term(c, env) for c in value) + ")"
    if op == "eq":
        env[f"v{k}"] = value
        return f"o.{attr} == v{k}"
    if op == "bt":
        env[f"lo{k}"], env[f"hi{k}"] = value
        return f"lo{k} <= o.{attr} <= hi{k}"
    if op == "gt":
        env[f"v{k}"] = value
        return f"o.{attr} > v{k}"
    if op == "in":
        env[f"v{k}"] = frozenset(value)
        return f"o.{attr} in v{k}"
    if op == "starts_with":
        env[f"v{k}"] = value
        return f"o.{attr}.startswith(v{k})"
    if op in ("contains", "has"):
        env[f"v{k}"] = value
        return f"v{k} in o.{attr}"
    raise ValueError(op)


def compile_scan(conds, shape):
    """The comprehension a user would write by hand, compiled once (not inside the timing).
    shape receives the test's source and returns the expression over `objs`."""
    env = {}
    test = " and ".join(term(c, env) for c in conds)
    fn = eval(f"lambda objs, {', '.join(env)}: {shape(test)}",
              {"Counter": collections.Counter})
    return fn, env


class ListComp:
    label = "list comprehension"
    uses_indexable = False

    def build(self, objs, attrs):
        return list(objs)

    def prepare(self, objs, _objs, query):
        kind = query["kind"]
        if kind in ("find", "get"):
            fn, env = compile_scan(query["conds"], lambda t: f"[o for o in objs if {t}]")
            return lambda: fn(objs, **env)
        if kind == "count":
            fn, env = compile_scan(query["conds"], lambda t: f"sum(1 for o in objs if {t})")
            return lambda: fn(objs, **env)
        if kind == "count_by":
            attr = query["attr"]
            fn, env = compile_scan(query["conds"],
                                   lambda t: f"Counter(o.{attr} for o in objs if {t})")
            return lambda: fn(objs, **env)
        if kind == "first":
            key, limit = operator.attrgetter(query["attr"]), query["limit"]
            return lambda: heapq.nsmallest(limit, objs, key=key)
        if kind == "assign":
            assigner, attr = query["assigner"], query["attr"]

            def assign():
                _, obj, new = assigner.next(_objs, attr)
                setattr(obj, attr, new)  # nothing else to update
            return assign
        raise ValueError(kind)

    def notes(self, query):
        kind = query["kind"]
        if kind == "first":
            return "`heapq.nsmallest` over the objects: a scan"
        if kind == "assign":
            return "plain assignment, no index to update"
        return "scan"

    # Writes (benchmarks/writes.py).
    one_by_one = "`objs.remove(obj)`: a scan of the list per removal"

    def remover(self, objs, _objs):
        return lambda pos, obj: objs.remove(obj)

    def removals(self):
        def rebuild(objs, _objs, conds):
            fn, env = compile_scan(conds, lambda t: f"[o for o in objs if not ({t})]")
            return fn(objs, **env), None
        return [("rebuild", "`objs = [o for o in objs if not (...)]`", rebuild)]

    def members(self, objs, _objs):
        return objs


TOOLS = {"listcomp": ListComp}
