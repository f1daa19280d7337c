"""ducks: Dex (mutable) and FrozenDex (immutable) over plain objects, indexed on every attribute
that holds one hashable value (ducks cannot index the elements of a list attribute).

ducks runs from its own virtual environment (see benchmarks/compare.py --install): it declares
numpy<2 and BTrees<5, which the project's .venv cannot hold next to numpy 2. FrozenDex answers
with a numpy array of objects: every query that returns objects turns it into a list
(`.tolist()`) inside the timed call, so that every tool hands back a Python list.
"""
import collections
import operator
from importlib.metadata import version

from ducks import Dex, FrozenDex

VERSION = f"ducks {version('ducks')} (BTrees {version('BTrees')}, numpy {version('numpy')})"


def leaf(cond):
    """(attr, ducks expression) of one condition, or None when ducks cannot express it."""
    attr, op, value = cond
    if op == "eq":
        return attr, value
    if op == "bt":
        return attr, {">=": value[0], "<=": value[1]}
    if op == "gt":
        return attr, {">": value}
    if op == "in":
        return attr, {"in": list(value)}
    return None  # no prefix, substring or list-element queries in ducks


def to_queries(conds):
    """A list of ducks queries whose answers' union is the answer (several for an or_ of
    conditions on different attributes), or None."""
    base = {}
    alternatives = None
    for cond in conds:
        if cond[1] == "or":
            if alternatives is not None:
                return None
            alternatives = [leaf(c) for c in cond[2]]
            if None in alternatives:
                return None
            continue
        got = leaf(cond)
        if got is None or got[0] in base:
            return None
        base[got[0]] = got[1]
    if alternatives is None:
        return [base]
    return [dict(base, **{attr: expr}) for attr, expr in alternatives]


class DexTool:
    label = "ducks Dex"
    uses_indexable = False
    cls = Dex
    frozen = False

    def build(self, objs, attrs):
        from common import LIST_ATTRS
        return self.cls(objs, [a for a in attrs if a not in LIST_ATTRS])

    def listed(self, index, q):
        """The query's answer as a list (FrozenDex's numpy array converted)."""
        if self.frozen:
            return lambda: index[q].tolist()
        return lambda: index[q]

    def prepare(self, index, objs, query):
        kind = query["kind"]
        if kind in ("find", "get", "count", "count_by"):
            qs = to_queries(query["conds"])
            if qs is None:
                return None
            if kind == "count" and len(qs) == 1:
                q = qs[0]
                return lambda: len(index[q])  # the answer's length; no list needed
            if len(qs) == 1:
                run = self.listed(index, qs[0])
            else:
                tolist = self.frozen

                def run():
                    # Objects of several queries, each once.
                    seen = {}
                    for q in qs:
                        answer = index[q]
                        for o in (answer.tolist() if tolist else answer):
                            seen[id(o)] = o
                    return list(seen.values())
            if kind == "count":
                return lambda: len(run())
            if kind == "count_by":
                key = operator.attrgetter(query["attr"])
                return lambda: collections.Counter(map(key, run()))
            return run
        if kind == "assign" and not self.frozen:
            assigner, attr = query["assigner"], query["attr"]

            def assign():
                _, obj, new = assigner.next(objs, attr)
                # Out while it still has its old value (found in O(1)), back in with the new one.
                index.remove(obj)
                setattr(obj, attr, new)
                index.add(obj)
            return assign
        return None  # no ordering in ducks; a FrozenDex cannot change

    def notes(self, query):
        kind = query["kind"]
        conds = query.get("conds", ())
        if kind in ("find", "get", "count", "count_by") and to_queries(conds) is None:
            return "cannot express prefix, substring or list-element queries"
        if kind in ("find", "get") and any(op == "or" for _, op, _ in conds):
            return "one query per alternative, merged in Python"
        if kind == "count_by":
            return "`Counter` over the answer"
        if kind == "first":
            return "no ordered access"
        if kind == "assign":
            return "immutable" if self.frozen else "`Dex.remove(obj)`, assignment, `Dex.add(obj)`"
        return ""

    # Writes (benchmarks/writes.py).
    one_by_one = "`Dex.remove(obj)`"

    def remover(self, index, objs):
        remove = index.remove
        return lambda pos, obj: remove(obj)

    def removals(self):
        def remove_found(index, objs, conds):
            (q,) = to_queries(conds)
            for obj in index[q]:
                index.remove(obj)
            return index, None
        return [("find_remove", "`Dex[query]`, then `Dex.remove(obj)` for each", remove_found)]

    def members(self, index, objs):
        return index[{}] if not self.frozen else index[{}].tolist()


class FrozenDexTool(DexTool):
    label = "ducks FrozenDex"
    cls = FrozenDex
    frozen = True
    one_by_one = None  # immutable: no removal
    remover = None

    def removals(self):
        return []


TOOLS = {"dex": DexTool, "frozendex": FrozenDexTool}
