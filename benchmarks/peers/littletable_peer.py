"""littletable: Table of plain objects with an index on every attribute; queries via where()."""
import littletable as lt

VERSION = "littletable " + lt.__version__


class LittleTable:
    label = "littletable"
    uses_indexable = False

    def build(self, objs, attrs):
        table = lt.Table()
        table.insert_many(objs)
        for attr in attrs:
            table.create_index(attr)
        return table

    def prepare(self, table, objs, conds):
        def run():
            kwargs = {}
            predicates = []
            for attr, op, value in conds:
                if op == "eq":
                    kwargs[attr] = value
                elif op == "bt":
                    kwargs[attr] = lt.Table.within(value[0], value[1])  # inclusive
                elif op == "starts_with":
                    kwargs[attr] = lt.Table.startswith(value)
                else:  # no substring comparator: a Python predicate, i.e. a scan
                    predicates.append((attr, value))
            result = table.where(**kwargs) if kwargs else table
            for attr, value in predicates:
                result = result.where(lambda o, a=attr, v=value: v in getattr(o, a))
            return list(result)
        return run

    def notes(self, conds):
        if any(op == "contains" for _, op, _ in conds):
            return "substring via where(predicate): a scan"
        return ""


TOOLS = {"littletable": LittleTable}
