"""littletable: Table of plain objects with an index on every attribute that holds one hashable
value; queries via where(). Equalities use the indexes; littletable's comparators (within, gt,
is_in, startswith) and Python predicates test every row."""
import littletable as lt

VERSION = "littletable " + lt.__version__


def kwarg(cond):
    """(attr, where() argument) of a condition, or None when it takes a predicate."""
    attr, op, value = cond
    if op == "eq":
        return attr, value
    if op == "bt":
        return attr, lt.Table.within(value[0], value[1])  # inclusive
    if op == "gt":
        return attr, lt.Table.gt(value)
    if op == "in":
        return attr, lt.Table.is_in(value)
    if op == "starts_with":
        return attr, lt.Table.startswith(value)
    return None


def select(table, conds):
    """The matching rows as a table (a list when an or_ merged several answers)."""
    kwargs = dict(got for got in map(kwarg, conds) if got is not None)
    result = table.where(**kwargs) if kwargs else table
    for attr, op, value in conds:
        if op in ("contains", "has"):
            result = result.where(lambda o, a=attr, v=value: v in getattr(o, a))
    for attr, op, value in conds:
        if op == "or":
            # One where() per alternative, merged (each object once).
            seen = {}
            for alt in value:
                for o in select(result, [alt]):
                    seen[id(o)] = o
            return list(seen.values())
    return result


class LittleTable:
    label = "littletable"
    uses_indexable = False

    def build(self, objs, attrs):
        from common import LIST_ATTRS
        table = lt.Table()
        table.insert_many(objs)
        for attr in attrs:
            if attr not in LIST_ATTRS:
                table.create_index(attr)
        return table

    def prepare(self, table, objs, query):
        kind = query["kind"]
        if kind in ("find", "get"):
            conds = query["conds"]
            return lambda: list(select(table, conds))
        if kind == "count":
            conds = query["conds"]
            return lambda: len(select(table, conds))
        if kind == "count_by":
            conds, attr = query["conds"], query["attr"]
            return lambda: {k: len(g) for k, g in select(table, conds).groupby(attr, sort=True)}
        if kind == "first":
            attr, limit = query["attr"], query["limit"]
            return lambda: list(table.orderby(attr)[:limit])
        if kind == "assign":
            assigner, attr = query["assigner"], query["attr"]

            def assign():
                _, obj, new = assigner.next(objs, attr)
                table.remove(obj)  # a scan of the rows
                setattr(obj, attr, new)
                table.insert(obj)
            return assign
        raise ValueError(kind)

    def notes(self, query):
        kind = query["kind"]
        ops = {op for _, op, _ in query.get("conds", ())}
        if kind == "first":
            return "`orderby()`: a sorted copy"
        if kind == "assign":
            return "`remove` (a scan), assignment, `insert`"
        if kind == "count_by":
            return "`groupby(sort=True)` of the where() answer"
        if ops & {"contains", "has"}:
            return "where(predicate): a scan"
        if ops & {"bt", "gt", "in", "starts_with"}:
            return "comparator: a scan"
        if "or" in ops:
            return "one where() per alternative, merged in Python"
        return ""

    # Writes (benchmarks/writes.py).
    one_by_one = "`table.remove(obj)`: a scan of the rows per removal"

    def remover(self, table, objs):
        return lambda pos, obj: table.remove(obj)

    def removals(self):
        def delete(table, objs, conds):
            kwargs = dict(kwarg(c) for c in conds)  # every removal condition has a comparator
            return table, table.delete(**kwargs)
        return [("delete", "`table.delete(...)`: the rows found by where(), then each looked up "
                 "in the list of rows to delete", delete)]

    def members(self, table, objs):
        return list(table)


TOOLS = {"littletable": LittleTable}
