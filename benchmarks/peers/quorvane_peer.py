"""Quorvane: Index over Indexable objects, queries through reduced_query(...).collect().

Counting, ordering and grouping use len(view), order_by(...).limit(...) and count_by(...); in a
build of Quorvane without them those queries are reported as not supported.
"""
import collections
import heapq
import operator
from importlib.metadata import version

from Quorvane import FilteredIndex, Index, Indexable
from Quorvane import PyQueryExpr as Q

VERSION = "Quorvane " + version("Quorvane")


class Item(Indexable):
    pass


def to_leaf(cond):
    attr, op, value = cond
    if op in ("eq", "has"):  # a list value matches when one of its elements does
        return Q.eq(attr, value)
    if op == "bt":
        return Q.bt(attr, value[0], value[1])
    if op == "gt":
        return Q.gt(attr, value)
    if op == "in":
        return Q.in_(attr, value)
    if op == "starts_with":
        return Q.starts_with(attr, value)
    if op == "contains":
        return Q.contains(attr, value)
    if op == "or":
        return Q.or_(*(to_leaf(c) for c in value))
    raise ValueError(op)


def to_expr(conds):
    parts = [to_leaf(c) for c in conds]
    return parts[0] if len(parts) == 1 else Q.and_(*parts)


def keyword_call(fn, attr, value):
    """A call of fn(attr=value) written as a user writes it, with a literal keyword: no dict is
    built for each call (attributes that are not identifiers are passed as **{attr: value})."""
    if not attr.isidentifier():
        return lambda: fn(**{attr: value})
    return eval(f"lambda: fn({attr}=value)", {"fn": fn, "value": value})


def has_api(index, name):
    return hasattr(index, name)


MISSING = "not in this build of Quorvane"


class QuorvaneLoop:
    label = "Quorvane"
    uses_indexable = True

    def build(self, objs, attrs):
        index = Index()
        add = index.add_object
        for obj in objs:
            add(obj)
        return index

    def prepare(self, index, objs, query):
        # Expressions are built inside the timed call, as a user's code would: a one-leaf
        # equality or membership as `Q.eq(attr, value)`, keywords as literal keywords (the
        # generic translation of the conditions is the harness's cost, not the user's).
        kind = query["kind"]
        if kind == "find":
            conds = query["conds"]
            if len(conds) == 1 and conds[0][1] in ("eq", "has", "in"):
                attr, op, value = conds[0]
                leaf = Q.in_ if op == "in" else Q.eq
                return lambda: index.reduced_query(leaf(attr, value)).collect()
            return lambda: index.reduced_query(to_expr(conds)).collect()
        if kind == "get":
            ((attr, _, value),) = query["conds"]
            return keyword_call(index.get_by_attribute, attr, value)
        if kind == "count":
            conds = query["conds"]
            return lambda: len(index.reduced_query(to_expr(conds)))
        if kind == "first":
            if not has_api(index, "order_by"):
                return None
            attr, limit = query["attr"], query["limit"]
            return lambda: index.order_by(attr).limit(limit).collect()
        if kind == "count_by":
            view = index.reduced_query(to_expr(query["conds"]))
            if not has_api(view, "count_by"):
                return None
            conds, attr = query["conds"], query["attr"]
            return lambda: index.reduced_query(to_expr(conds)).count_by(attr)
        if kind == "assign":
            assigner, attr = query["assigner"], query["attr"]

            def assign():
                _, obj, new = assigner.next(objs, attr)
                setattr(obj, attr, new)  # re-indexes the object in the index
            return assign
        raise ValueError(kind)

    def baselines(self, index, objs, query, columns):
        """What a Quorvane user would do without the dedicated call, and the plain-Python floor."""
        kind = query["kind"]
        if kind == "count":
            conds = query["conds"]
            base = [("collect_len", "`len(view.collect())`",
                     lambda: len(index.reduced_query(to_expr(conds)).collect()))]
            if has_api(index, "count"):
                base.append(("index_count", "`index.count(query)`",
                             lambda: index.count(to_expr(conds))))
            return base
        if kind == "first":
            attr, limit = query["attr"], query["limit"]
            keys = columns[attr]  # precomputed keys, one per object, in position order
            key = operator.attrgetter(attr)
            return [
                ("heapq_keys", f"`heapq.nsmallest({limit}, ...)` over a list of precomputed keys",
                 lambda: [objs[i] for i in heapq.nsmallest(limit, range(len(keys)),
                                                           key=keys.__getitem__)]),
                ("sort_collected", f"`sorted(index.collect(), key=...)[:{limit}]`",
                 lambda: sorted(index.collect(), key=key)[:limit]),
            ]
        if kind == "count_by":
            conds, attr = query["conds"], query["attr"]
            key = operator.attrgetter(attr)
            return [("counter", "`Counter` over `view.collect()`",
                     lambda: collections.Counter(
                         map(key, index.reduced_query(to_expr(conds)).collect())))]
        return []

    def notes(self, query):
        kind = query["kind"]
        if kind == "get":
            return "`get_by_attribute`"
        if kind == "count":
            return "`len(view)`"
        if kind == "first":
            return "`order_by(...).limit(...).collect()`" if has_api(Index, "order_by") else MISSING
        if kind == "count_by":
            return "`view.count_by(...)`" if has_api(FilteredIndex, "count_by") else MISSING
        if kind == "assign":
            return "attribute assignment re-indexes"
        return ""

    # Writes (benchmarks/writes.py).
    one_by_one = "`index.remove_object(obj)`"

    def remover(self, index, objs):
        remove_object = index.remove_object
        return lambda pos, obj: remove_object(obj)

    def removals(self):
        """remove_where where this build has it (None otherwise: reported as not available),
        reduce by the complement, and the members of a view removed as a batch. The query is
        built inside the timed call, as a user's code builds it."""
        def remove_where(index, objs, conds):
            return index, index.remove_where(to_expr(conds))

        def reduce_not(index, objs, conds):
            index.reduce(~to_expr(conds))
            return index, None

        def remove_many(index, objs, conds):
            index.remove_object_many(index.reduced_query(to_expr(conds)).collect())
            return index, None
        return [
            ("remove_where", "`index.remove_where(query)`",
             remove_where if has_api(Index, "remove_where") else None),
            ("reduce_not", "`index.reduce(~query)`", reduce_not),
            ("remove_many", "`index.remove_object_many(index.reduced_query(query).collect())`",
             remove_many),
        ]

    def members(self, index, objs):
        return index.collect()

    def setter(self, index, objs):
        return lambda pos, obj, attr, value: setattr(obj, attr, value)  # re-indexes


class QuorvaneMany(QuorvaneLoop):
    label = "Quorvane add_object_many"

    def build(self, objs, attrs):
        index = Index()
        index.add_object_many(objs)
        return index


TOOLS = {"quorvane": QuorvaneLoop, "quorvane_many": QuorvaneMany}
