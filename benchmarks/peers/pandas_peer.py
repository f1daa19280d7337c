"""pandas: a DataFrame with one column per attribute (default dtypes; pyarrow-backed strings
when pyarrow is installed), queries as boolean masks, result objects gathered by position."""
import numpy as np
import pandas as pd

try:
    import pyarrow
    VERSION = f"pandas {pd.__version__} (pyarrow {pyarrow.__version__})"
except ImportError:
    VERSION = f"pandas {pd.__version__} (no pyarrow)"


class Pandas:
    label = "pandas"
    uses_indexable = False

    def build(self, objs, attrs):
        return pd.DataFrame({attr: [getattr(o, attr) for o in objs] for attr in attrs})

    def prepare(self, df, objs, conds):
        def run():
            mask = None
            for attr, op, value in conds:
                col = df[attr]
                if op == "eq":
                    m = col == value
                elif op == "bt":
                    m = col.between(value[0], value[1])  # inclusive
                elif op == "starts_with":
                    m = col.str.startswith(value)
                else:
                    m = col.str.contains(value, regex=False)
                mask = m if mask is None else mask & m
            return [objs[i] for i in np.flatnonzero(mask.to_numpy()).tolist()]
        return run

    def notes(self, conds):
        return ""


TOOLS = {"pandas": Pandas}
