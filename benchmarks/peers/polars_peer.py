"""polars: a DataFrame with one column per attribute (polars' own dtypes: Int64, Float64, String,
List(String) for a list attribute) and a `_pos` column holding the object's position; queries as
filter expressions evaluated on the columns, result objects gathered through `_pos`.

The frame lives in a small holder (`PolarsFrame.df`), so that writes that replace it (a filter
that drops rows) are seen by the queries prepared earlier, as with pandas' Frame.
"""
import polars as pl

VERSION = f"polars {pl.__version__}"

POS = "_pos"


def expr(cond):
    """The polars expression of one condition."""
    attr, op, value = cond
    if op == "or":
        out = None
        for c in value:
            e = expr(c)
            out = e if out is None else out | e
        return out
    col = pl.col(attr)
    if op == "eq":
        return col == value
    if op == "bt":
        return col.is_between(value[0], value[1], closed="both")
    if op == "gt":
        return col > value
    if op == "in":
        return col.is_in(list(value))
    if op == "starts_with":
        return col.str.starts_with(value)
    if op == "contains":
        return col.str.contains(value, literal=True)
    if op == "has":
        return col.list.contains(value)
    raise ValueError(op)


def where(conds):
    out = None
    for cond in conds:
        e = expr(cond)
        out = e if out is None else out & e
    return out


class PolarsFrame:
    def __init__(self, objs, attrs):
        columns = {attr: [getattr(o, attr) for o in objs] for attr in attrs}
        self.df = pl.DataFrame(columns).with_row_index(POS)

    def positions(self, e):
        """Positions of the rows matching the expression, in row order."""
        return self.df.select(pl.col(POS).filter(e)).to_series().to_list()


class Polars:
    label = "polars"
    uses_indexable = False

    def build(self, objs, attrs):
        return PolarsFrame(objs, attrs)

    def prepare(self, frame, objs, query):
        kind = query["kind"]
        if kind in ("find", "get"):
            e = where(query["conds"])
            return lambda: [objs[i] for i in frame.positions(e)]
        if kind == "count":
            e = where(query["conds"])
            return lambda: frame.df.select(e.sum()).item()
        if kind == "first":
            attr, limit = query["attr"], query["limit"]
            # The k smallest rows, then in order of the key (ties by position).
            return lambda: [objs[i] for i in frame.df.select(POS, attr)
                            .bottom_k(limit, by=attr).sort(attr, POS)[POS].to_list()]
        if kind == "count_by":
            e, attr = where(query["conds"]), query["attr"]
            return lambda: dict(frame.df.filter(e).group_by(attr).len().iter_rows())
        if kind == "assign":
            assigner, attr = query["assigner"], query["attr"]

            def assign():
                pos, obj, new = assigner.next(objs, attr)
                setattr(obj, attr, new)
                frame.df[pos, attr] = new  # rows are never removed here: row == position
            return assign
        raise ValueError(kind)

    def notes(self, query):
        kind = query["kind"]
        if kind == "first":
            return "`bottom_k` then a sort of the k rows"
        if kind == "count_by":
            return "`filter` then `group_by(...).len()`"
        if kind == "count":
            return "`select(expr.sum())`"
        if kind == "assign":
            return "`df[row, col] = value` beside the assignment"
        return "filter expression"

    # Writes (benchmarks/writes.py).
    one_by_one = "`df = df.filter(pl.col('_pos') != pos)`: a new frame per removal"

    def remover(self, frame, objs):
        pos_col = pl.col(POS)

        def remove(pos, obj):
            frame.df = frame.df.filter(pos_col != pos)
        return remove

    def removals(self):
        def keep_others(frame, objs, conds):
            frame.df = frame.df.filter(~where(conds))
            return frame, None
        return [("filter", "`df = df.filter(~expr)`", keep_others)]

    def members(self, frame, objs):
        return [objs[i] for i in frame.df[POS].to_list()]


TOOLS = {"polars": Polars}
