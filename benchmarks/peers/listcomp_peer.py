"""A plain list comprehension over the list of objects (no index: every query is a scan)."""
import sys

VERSION = "Python " + sys.version.split()[0]


class ListComp:
    label = "list comprehension"
    uses_indexable = False

    def build(self, objs, attrs):
        return list(objs)

    def prepare(self, objs, _objs, conds):
        # The comprehension a user would write by hand, compiled once (not inside the timing).
        terms, env = [], {}
        for k, (attr, op, value) in enumerate(conds):
            if op == "eq":
                terms.append(f"o.{attr} == v{k}")
                env[f"v{k}"] = value
            elif op == "bt":
                terms.append(f"lo{k} <= o.{attr} <= hi{k}")
                env[f"lo{k}"], env[f"hi{k}"] = value
            elif op == "starts_with":
                terms.append(f"o.{attr}.startswith(v{k})")
                env[f"v{k}"] = value
            else:
                terms.append(f"v{k} in o.{attr}")
                env[f"v{k}"] = value
        args = ", ".join(env)
        src = f"lambda objs, {args}: [o for o in objs if {' and '.join(terms)}]"
        fn = eval(src)
        return lambda: fn(objs, **env)

    def notes(self, conds):
        return "scan"


TOOLS = {"listcomp": ListComp}
