"""pandas: a DataFrame with one column per attribute (default dtypes; pyarrow-backed strings
when pyarrow is installed), queries as boolean masks, result objects gathered by position.
A list attribute is kept beside the frame exploded (one row per element, labelled by the
object's position), made once with the frame."""

import numpy as np
import pandas as pd

try:
    import pyarrow
    VERSION = f"pandas {pd.__version__} (pyarrow {pyarrow.__version__})"
except ImportError:
    VERSION = f"pandas {pd.__version__} (no pyarrow)"


class Frame:
    def __init__(self, objs, attrs):
        from common import LIST_ATTRS
        self.df = pd.DataFrame({attr: [getattr(o, attr) for o in objs] for attr in attrs})
        self.exploded = {attr: self.df[attr].explode() for attr in attrs if attr in LIST_ATTRS}

    def mask(self, cond):
        """A boolean numpy array over the rows."""
        attr, op, value = cond
        if op == "or":
            out = None
            for c in value:
                m = self.mask(c)
                out = m if out is None else out | m
            return out
        if op == "has":
            s = self.exploded[attr]
            m = np.zeros(len(self.df), dtype=bool)
            m[s.index[(s == value).to_numpy()]] = True
            return m
        col = self.df[attr]
        if op == "eq":
            m = col == value
        elif op == "bt":
            m = col.between(value[0], value[1])  # inclusive
        elif op == "gt":
            m = col > value
        elif op == "in":
            m = col.isin(value)
        elif op == "starts_with":
            m = col.str.startswith(value)
        elif op == "contains":
            m = col.str.contains(value, regex=False)
        else:
            raise ValueError(op)
        return m.to_numpy()

    def where(self, conds):
        out = None
        for cond in conds:
            m = self.mask(cond)
            out = m if out is None else out & m
        return out


class Pandas:
    label = "pandas"
    uses_indexable = False

    def build(self, objs, attrs):
        return Frame(objs, attrs)

    def prepare(self, frame, objs, query):
        kind = query["kind"]
        df = frame.df
        if kind in ("find", "get"):
            conds = query["conds"]
            if len(conds) == 1 and conds[0][1] == "has":
                # The element's rows of the exploded column give the positions directly.
                attr, _, value = conds[0]
                s = frame.exploded[attr]
                return lambda: [objs[i] for i in s.index[(s == value).to_numpy()].tolist()]
            return lambda: [objs[i] for i in np.flatnonzero(frame.where(conds)).tolist()]
        if kind == "count":
            conds = query["conds"]
            return lambda: int(frame.where(conds).sum())
        if kind == "first":
            attr, limit = query["attr"], query["limit"]
            return lambda: [objs[i] for i in df[attr].nsmallest(limit).index.tolist()]
        if kind == "count_by":
            conds, attr = query["conds"], query["attr"]
            return lambda: df.loc[frame.where(conds), attr].value_counts().to_dict()
        if kind == "assign":
            assigner, attr = query["assigner"], query["attr"]
            col = df.columns.get_loc(attr)

            def assign():
                pos, obj, new = assigner.next(objs, attr)
                setattr(obj, attr, new)
                df.iat[pos, col] = new
            return assign
        raise ValueError(kind)

    def notes(self, query):
        kind = query["kind"]
        if kind == "first":
            return "`Series.nsmallest`"
        if kind == "count_by":
            return "`value_counts()` of the masked rows"
        if kind == "assign":
            return ("`df.iat[row, col] = value` beside the assignment (a cell of the default, "
                    "pyarrow-backed, string column is written by copying the column)")
        if any(op == "has" for _, op, _ in query.get("conds", ())):
            return "exploded column made at build"
        return "boolean mask"

    # Writes (benchmarks/writes.py). Rows keep their labels (the objects' positions); an exploded
    # list column follows the rows that stay.
    one_by_one = "`df = df.drop(index=pos)`: a new frame per removal"

    def remover(self, frame, objs):
        def remove(pos, obj):
            frame.df = frame.df.drop(index=pos)
            for attr, s in frame.exploded.items():
                frame.exploded[attr] = s.drop(index=pos)
        return remove

    def removals(self):
        def keep_others(frame, objs, conds):
            frame.df = frame.df[~frame.where(conds)]
            for attr, s in frame.exploded.items():
                frame.exploded[attr] = s[s.index.isin(frame.df.index)]
            return frame, None
        return [("mask", "`df = df[~mask]`", keep_others)]

    def members(self, frame, objs):
        return [objs[i] for i in frame.df.index.tolist()]


TOOLS = {"pandas": Pandas}
