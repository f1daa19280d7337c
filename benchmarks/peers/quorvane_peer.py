"""Quorvane: Index over Indexable objects, queries through reduced_query(...).collect()."""
from importlib.metadata import version

from Quorvane import Index, Indexable
from Quorvane import PyQueryExpr as Q

VERSION = "Quorvane " + version("Quorvane")


class Item(Indexable):
    pass


def to_expr(conds):
    parts = []
    for attr, op, value in conds:
        if op == "eq":
            parts.append(Q.eq(attr, value))
        elif op == "bt":
            parts.append(Q.bt(attr, value[0], value[1]))
        elif op == "starts_with":
            parts.append(Q.starts_with(attr, value))
        elif op == "contains":
            parts.append(Q.contains(attr, value))
        else:
            raise ValueError(op)
    return parts[0] if len(parts) == 1 else Q.and_(*parts)


class QuorvaneLoop:
    label = "Quorvane"
    uses_indexable = True

    def build(self, objs, attrs):
        index = Index()
        add = index.add_object
        for obj in objs:
            add(obj)
        return index

    def prepare(self, index, objs, conds):
        # The expression is built inside the timed call, as a user's code would.
        return lambda: index.reduced_query(to_expr(conds)).collect()

    def notes(self, conds):
        return ""


class QuorvaneMany(QuorvaneLoop):
    label = "Quorvane add_object_many"

    def build(self, objs, attrs):
        index = Index()
        index.add_object_many(objs)
        return index


TOOLS = {"quorvane": QuorvaneLoop, "quorvane_many": QuorvaneMany}
