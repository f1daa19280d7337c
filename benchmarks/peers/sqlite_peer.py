"""sqlite3: an in-memory table (rowid = position of the object) with an index on every queried
column, ANALYZEd; result objects gathered by rowid. A list attribute becomes a second table of
(id, element) rows with an index on the element, as a schema would normalise it. Prefix via GLOB
(case-sensitive, can use the index), substring via instr() (a scan).

`sqlite_composite` is the same table with, besides the index per column, a composite index for
each group of conditions that a multi-condition query of the comparison puts together
(`COMPOSITE_INDEXES` in common.py: equality columns first, the range column last); it answers
only those queries, and says which index SQLite's plan uses."""
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
    check_same_thread = True  # writes.py's threads share the connection (under a lock)

    def build(self, objs, attrs):
        from common import LIST_ATTRS
        cols = [a for a in attrs if a not in LIST_ATTRS]
        db = sqlite3.connect(":memory:", check_same_thread=self.check_same_thread)
        db.execute(f"CREATE TABLE t (id INTEGER PRIMARY KEY, {', '.join(cols)})")
        marks = ", ".join("?" * (len(cols) + 1))
        db.executemany(f"INSERT INTO t VALUES ({marks})",
                       ((i, *[getattr(o, a) for a in cols]) for i, o in enumerate(objs)))
        for attr in cols:
            db.execute(f"CREATE INDEX t_{attr}_idx ON t ({attr})")
        for group in self.extra_indexes(cols):
            db.execute(f"CREATE INDEX {index_name(group)} ON t ({', '.join(group)})")
        for attr in attrs:
            if attr in LIST_ATTRS:
                db.execute(f"CREATE TABLE t_{attr} (id INTEGER, value)")
                db.executemany(f"INSERT INTO t_{attr} VALUES (?, ?)",
                               ((i, v) for i, o in enumerate(objs) for v in getattr(o, attr)))
                db.execute(f"CREATE INDEX t_{attr}_value ON t_{attr} (value)")
        db.execute("ANALYZE")
        db.commit()
        return db

    def extra_indexes(self, cols):
        """Column groups of further (composite) indexes."""
        return []

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

    # Writes (benchmarks/writes.py): removals run in one open transaction, committed by flush()
    # inside the timing.
    one_by_one = "`DELETE FROM t WHERE id = ?` per object, `commit()` after the last"

    def list_tables(self, db):
        """The tables of (id, element) rows of the list attributes."""
        from common import LIST_ATTRS
        return [f"t_{a}" for a in sorted(LIST_ATTRS) if db.execute(
            "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (f"t_{a}",)).fetchone()]

    def remover(self, db, objs):
        sqls = [f"DELETE FROM {t} WHERE id = ?" for t in self.list_tables(db)]
        sqls.append("DELETE FROM t WHERE id = ?")

        def remove(pos, obj):
            for sql in sqls:
                db.execute(sql, (pos,))
        return remove

    def flush(self, db):
        db.commit()

    def removals(self):
        def delete_where(db, objs, conds):
            params = []
            where = " AND ".join(where_sql(c, params) for c in conds)
            for table in self.list_tables(db):
                db.execute(f"DELETE FROM {table} WHERE id IN (SELECT id FROM t WHERE {where})",
                           params)
            removed = db.execute(f"DELETE FROM t WHERE {where}", params).rowcount
            db.commit()
            return db, removed
        return [("delete", "`DELETE FROM t WHERE ...` and `commit()`", delete_where)]

    def members(self, db, objs):
        return [objs[i] for (i,) in db.execute("SELECT id FROM t")]

    def setter(self, db, objs):
        def set_value(pos, obj, attr, value):
            setattr(obj, attr, value)
            db.execute(f"UPDATE t SET {attr} = ? WHERE id = ?", (value, pos))
        return set_value


def index_name(group):
    return f"t_{'_'.join(group)}_idx"


class SqliteComposite(Sqlite):
    label = "sqlite3 (composite index)"

    def __init__(self):
        self.plans = {}  # query key -> SQLite's plan of its WHERE clause

    def extra_indexes(self, cols):
        from common import COMPOSITE_INDEXES
        return [g for g in COMPOSITE_INDEXES if set(g) <= set(cols)]

    def composite_for(self, query):
        """The composite index made for the query's conditions, or None."""
        from common import COMPOSITE_INDEXES
        conds = query.get("conds", ())
        if query["kind"] not in ("find", "get", "count") or len(conds) < 2:
            return None
        attrs = {attr for attr, op, _ in conds if op != "or"}
        return next((g for g in COMPOSITE_INDEXES if set(g) == attrs), None)

    def applies(self, query):
        return self.composite_for(query) is not None

    def prepare(self, db, objs, query):
        group = self.composite_for(query)
        if group is None:
            return None
        params = []
        where = " AND ".join(where_sql(c, params) for c in query["conds"])
        plan = db.execute(f"EXPLAIN QUERY PLAN SELECT id FROM t WHERE {where}", params).fetchall()
        self.plans[query.get("key")] = "; ".join(row[-1] for row in plan)
        return super().prepare(db, objs, query)

    def notes(self, query):
        group = self.composite_for(query)
        if group is None:
            return "no composite index for this query"
        plan = self.plans.get(query.get("key"), "")
        return (f"index `{index_name(group)}` on ({', '.join(group)}) besides one per column"
                + (f"; plan: {plan}" if plan else ""))


TOOLS = {"sqlite": Sqlite, "sqlite_composite": SqliteComposite}
