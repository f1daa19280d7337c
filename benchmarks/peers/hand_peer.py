"""A hand-written index over plain Python objects, as a competent Python user would write one:
a dict per attribute of value -> set of objects (list attributes by element), a sorted list of
the keys for ranges and prefixes (bisect), dict lookups and set operations for queries, and an
update of both structures when an attribute is assigned.
"""
import collections
import operator
import sys
from bisect import bisect_left, bisect_right, insort
from itertools import chain

VERSION = "Python " + sys.version.split()[0]

EMPTY = frozenset()


class HandIndex:
    def __init__(self, objs, attrs, list_attrs):
        self.by = {}
        for attr in attrs:
            d = collections.defaultdict(set)
            if attr in list_attrs:
                for o in objs:
                    for v in getattr(o, attr):
                        d[v].add(o)
            else:
                for o in objs:
                    d[getattr(o, attr)].add(o)
            self.by[attr] = dict(d)
        # Sorted keys for ranges and prefixes, of the attributes that are not lists.
        self.keys = {attr: sorted(self.by[attr]) for attr in attrs if attr not in list_attrs}

    def members(self, cond):
        """An iterable of the objects satisfying one condition (a set for equalities)."""
        attr, op, value = cond
        if op in ("eq", "has"):
            return self.by[attr].get(value, EMPTY)
        if op == "in":
            d = self.by[attr]
            return set().union(*[d.get(v, EMPTY) for v in value])
        if op == "or":
            return set().union(*[self.members(c) for c in value])
        keys, d = self.keys[attr], self.by[attr]
        if op == "gt":
            lo, hi = bisect_right(keys, value), len(keys)
        elif op == "bt":
            lo, hi = bisect_left(keys, value[0]), bisect_right(keys, value[1])
        elif op == "starts_with":
            # Keys between the prefix and the prefix with its last character incremented.
            lo = bisect_left(keys, value)
            hi = bisect_left(keys, value[:-1] + chr(ord(value[-1]) + 1), lo)
        else:
            raise ValueError(op)  # no substring index
        return chain.from_iterable(map(d.__getitem__, keys[lo:hi]))

    def find(self, conds):
        if len(conds) == 1:
            attr, op, value = conds[0]
            if op == "in":  # one value per object: the sets do not overlap
                d = self.by[attr]
                return [o for v in value for o in d.get(v, EMPTY)]
            return list(self.members(conds[0]))
        sets = sorted((m if isinstance(m, (set, frozenset)) else set(m)
                       for m in map(self.members, conds)), key=len)
        return list(sets[0].intersection(*sets[1:]))

    def remove(self, obj):
        """Takes obj out of every value set (and an emptied value out of the sorted keys)."""
        for attr, d in self.by.items():
            keys = self.keys.get(attr)
            value = getattr(obj, attr)
            for v in (value if keys is None else (value,)):  # a list attribute: its elements
                members = d[v]
                members.discard(obj)
                if not members:
                    del d[v]
                    if keys is not None:
                        del keys[bisect_left(keys, v)]

    def all_members(self):
        """Every object (each is in one value set of the first attribute that is not a list)."""
        attr = next(iter(self.keys))
        return [o for members in self.by[attr].values() for o in members]

    def assign(self, obj, attr, new):
        """Moves obj from its old value's set to the new one's, keeping the sorted keys."""
        d, keys = self.by[attr], self.keys.get(attr)
        old = getattr(obj, attr)
        members = d[old]
        members.discard(obj)
        if not members:
            del d[old]
            if keys is not None:
                del keys[bisect_left(keys, old)]
        setattr(obj, attr, new)
        if new in d:
            d[new].add(obj)
        else:
            d[new] = {obj}
            if keys is not None:
                insort(keys, new)


class Hand:
    label = "hand-written dict index"
    uses_indexable = False

    def build(self, objs, attrs):
        from common import LIST_ATTRS
        return HandIndex(objs, attrs, LIST_ATTRS)

    def prepare(self, index, objs, query):
        kind = query["kind"]
        if kind in ("find", "get"):
            conds = query["conds"]
            if any(op == "contains" for _, op, _ in conds):
                return None
            if len(conds) == 1 and conds[0][1] == "eq":
                (attr, _, value), = conds
                d = index.by[attr]
                return lambda: list(d.get(value, EMPTY))
            return lambda: index.find(conds)
        if kind == "count":
            conds = query["conds"]
            if len(conds) == 1 and conds[0][1] == "eq":
                (attr, _, value), = conds
                d = index.by[attr]
                return lambda: len(d.get(value, EMPTY))
            return lambda: len(index.find(conds))
        if kind == "first":
            attr, limit = query["attr"], query["limit"]
            keys, d = index.keys[attr], index.by[attr]
            # The smallest keys' objects; a key's set holds its ties (in no particular order).
            return lambda: list(chain.from_iterable(map(d.__getitem__, keys[:limit])))[:limit]
        if kind == "count_by":
            conds, key = query["conds"], operator.attrgetter(query["attr"])
            if len(conds) == 1 and conds[0][1] == "eq":
                (attr, _, value), = conds
                d = index.by[attr]
                return lambda: collections.Counter(map(key, d.get(value, EMPTY)))
            return lambda: collections.Counter(map(key, index.find(conds)))
        if kind == "assign":
            assigner, attr = query["assigner"], query["attr"]

            def assign():
                _, obj, new = assigner.next(objs, attr)
                index.assign(obj, attr, new)
            return assign
        raise ValueError(kind)

    def notes(self, query):
        kind = query["kind"]
        ops = {op for _, op, _ in query.get("conds", ())}
        if "contains" in ops:
            return "no substring index"
        if ops & {"gt", "bt", "starts_with"}:
            return "bisect over the sorted keys"
        if kind == "count_by":
            return "`Counter` over the set"
        if kind == "first":
            return "the first keys of the sorted keys"
        if kind == "assign":
            return "set move + `insort` into the sorted keys"
        return ""

    # Writes (benchmarks/writes.py).
    one_by_one = "`HandIndex.remove(obj)`: a set discard per attribute (and a sorted-key delete)"

    def remover(self, index, objs):
        remove = index.remove
        return lambda pos, obj: remove(obj)

    def removals(self):
        def remove_found(index, objs, conds):
            found = index.find(conds)
            for obj in found:
                index.remove(obj)
            return index, None
        return [("find_remove", "`index.find(conds)`, then `HandIndex.remove(obj)` for each",
                 remove_found)]

    def members(self, index, objs):
        return index.all_members()

    def setter(self, index, objs):
        assign = index.assign
        return lambda pos, obj, attr, value: assign(obj, attr, value)


TOOLS = {"hand": Hand}
