"""sqlite3: an in-memory table (rowid = position of the object) with an index on every queried
column, ANALYZEd; result objects gathered by rowid. A list attribute becomes a second table of
(id, element) rows with an index on the element, as a schema would normalise it. Prefix via GLOB
(case-sensitive, can use the index), substring via instr() (a scan)."""
import sqlite3

VERSION = "SQLite " + sqlite3.sqlite_version


def where_sql(cond, params):
    attr, op, value = cond
    if op == "eq":
        params.append(value)
        return f"{attr} = ?"
    if op == "bt":
        params.extend(value)
        return f"{attr} BETWEEN ? AND ?"
    if op == "gt":
        params.append(value)
        return f"{attr} > ?"
    if op == "in":
        params.extend(value)
        return f"{attr} IN ({', '.join('?' * len(value))})"
    if op == "starts_with":
        params.append(value + "*")  # the test prefixes hold no GLOB metacharacters
        return f"{attr} GLOB ?"
    if op == "contains":
        params.append(value)
        return f"instr({attr}, ?) > 0"
    if op == "has":
        params.append(value)
        return f"id IN (SELECT id FROM t_{attr} WHERE value = ?)"
    if op == "or":
        return "(" + " OR ".join(where_sql(c, params) for c in value) + ")"
    raise ValueError(op)


class Sqlite:
    label = "sqlite3 :memory:"
    uses_indexable = False

    def build(self, objs, attrs):
        from common import LIST_ATTRS
        cols = [a for a in attrs if a not in LIST_ATTRS]
        db = sqlite3.connect(":memory:")
        db.execute(f"CREATE TABLE t (id INTEGER PRIMARY KEY, {', '.join(cols)})")
        marks = ", ".join("?" * (len(cols) + 1))
        db.executemany(f"INSERT INTO t VALUES ({marks})",
                       ((i, *[getattr(o, a) for a in cols]) for i, o in enumerate(objs)))
        for attr in cols:
            db.execute(f"CREATE INDEX t_{attr}_idx ON t ({attr})")
        for attr in attrs:
            if attr in LIST_ATTRS:
                db.execute(f"CREATE TABLE t_{attr} (id INTEGER, value)")
                db.executemany(f"INSERT INTO t_{attr} VALUES (?, ?)",
                               ((i, v) for i, o in enumerate(objs) for v in getattr(o, attr)))
                db.execute(f"CREATE INDEX t_{attr}_value ON t_{attr} (value)")
        db.execute("ANALYZE")
        db.commit()
        return db

    def prepare(self, db, objs, query):
        kind = query["kind"]
        if kind in ("find", "get", "count", "count_by"):
            conds = query["conds"]
            params = []
            if len(conds) == 1 and conds[0][1] == "has":
                attr, _, value = conds[0]
                params.append(value)
                frm = f"t_{attr} WHERE value = ?"  # elements of one list are distinct
            else:
                frm = "t WHERE " + " AND ".join(where_sql(c, params) for c in conds)
            if kind == "count":
                sql = f"SELECT COUNT(*) FROM {frm}"
                return lambda: db.execute(sql, params).fetchone()[0]
            if kind == "count_by":
                attr = query["attr"]
                sql = f"SELECT {attr}, COUNT(*) FROM {frm} GROUP BY {attr}"
                return lambda: dict(db.execute(sql, params).fetchall())
            sql = f"SELECT id FROM {frm}"
            return lambda: [objs[i] for (i,) in db.execute(sql, params)]
        if kind == "first":
            sql = f"SELECT id FROM t ORDER BY {query['attr']} LIMIT {int(query['limit'])}"
            return lambda: [objs[i] for (i,) in db.execute(sql)]
        if kind == "assign":
            assigner, attr = query["assigner"], query["attr"]
            sql = f"UPDATE t SET {attr} = ? WHERE id = ?"

            def assign():
                pos, obj, new = assigner.next(objs, attr)
                setattr(obj, attr, new)
                db.execute(sql, (new, pos))
            return assign
        raise ValueError(kind)

    def notes(self, query):
        kind = query["kind"]
        if any(op == "contains" for _, op, _ in query.get("conds", ())):
            return "substring via instr(): a scan"
        if kind == "first":
            return "`ORDER BY ... LIMIT` on an indexed column"
        if kind == "count_by":
            return "`GROUP BY`"
        if kind == "assign":
            return "`UPDATE` beside the assignment (one open transaction)"
        if kind == "count":
            return "`COUNT(*)`"
        return ""


TOOLS = {"sqlite": Sqlite}
