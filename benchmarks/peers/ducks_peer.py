"""ducks: Dex (mutable) and FrozenDex (immutable) over plain objects, indexed on every attribute.

ducks runs from its own virtual environment (see benchmarks/compare.py --install): it declares
numpy<2 and BTrees<5, which the project's .venv cannot hold next to numpy 2.
"""
from importlib.metadata import version

from ducks import Dex, FrozenDex

VERSION = f"ducks {version('ducks')} (BTrees {version('BTrees')}, numpy {version('numpy')})"


def to_query(conds):
    query = {}
    for attr, op, value in conds:
        if op == "eq":
            query[attr] = value
        elif op == "bt":
            query[attr] = {">=": value[0], "<=": value[1]}
        else:
            return None  # no prefix or substring queries in ducks
    return query


class DexTool:
    label = "ducks Dex"
    uses_indexable = False
    cls = Dex

    def build(self, objs, attrs):
        return self.cls(objs, list(attrs))

    def prepare(self, index, objs, conds):
        if to_query(conds) is None:
            return None
        return lambda: index[to_query(conds)]

    def notes(self, conds):
        return "" if to_query(conds) is not None else "cannot express prefix/substring queries"


class FrozenDexTool(DexTool):
    label = "ducks FrozenDex"
    cls = FrozenDex


TOOLS = {"dex": DexTool, "frozendex": FrozenDexTool}
