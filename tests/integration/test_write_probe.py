"""Every demo user tries every write on every written model: each column of
the main table, rows inside and outside their rules, ids of every kind. What
the database holds afterwards is compared with what the request may do, by an
oracle written apart from the module (the demo's own grants and plain SQL);
each write is undone before the next."""

import datetime

import pytest
from sqlalchemy import delete, insert, select, update
from sqlalchemy.exc import IntegrityError

from ornivell.db.demo.models import model_named

MODELS = ("quote", "customer", "order", "order_line", "employee", "product", "project_member")
OPERATIONS = {"create": "createEnabled", "update": "updateEnabled", "delete": "deleteEnabled",
              "link": "createEnabled", "unlink": "deleteEnabled"}
BAD_IDS = ("1abc", "5 apples", True, [1], {"id": 1}, float("nan"), 10 ** 30)


class Probe:
    """One user on one model: the writes tried and what each may change."""

    def __init__(self, it, business_db, demo_user, user, model):
        self.it, self.db, self.dp = it, business_db.db, business_db.dp
        self.demo_user, self.user, self.model = demo_user, user, model
        definition = model_named(model)
        self.table = self.db.tables[definition.table]
        hidden = it.hidden_props(demo_user, model)
        main_props = [p for p in definition.props if (p["table"] or definition.table) == definition.table]
        self.writable = {p["column"] for p in main_props if p["name"] not in hidden} & set(self.table.c.keys())
        self.filled_on_update = {p["column"] for p in main_props if p["updateUserEnabled"] or p["updateTimeEnabled"]}
        self.creator = next((p["column"] for p in main_props if p["createUserEnabled"]), None)
        self.calls = 0
        # every write is undone, so each one starts from these
        self.before, self.seen = self.rows(), self.visible()

    def visible(self):
        return self.it.oracle_ids(self.db, self.model, self.demo_user)

    def rows(self):
        with self.db.engine.connect() as connection:
            return {row.id: row._asdict() for row in connection.execute(select(self.table))}

    def attempt(self, operation, write):
        """Runs the write, checks the change against the oracle, and undoes it."""
        self.calls += 1
        before, seen = self.before, self.seen
        try:
            answer = write()
        except (ValueError, IntegrityError):
            answer = None  # refused before writing, or by the database's own constraint
        after = self.rows()
        try:
            self.check(operation, answer, before, after, seen)
        finally:
            self.restore(before, after)

    def check(self, operation, answer, before, after, seen):
        allowed = OPERATIONS[operation] in self.it.granted_ops(self.demo_user, self.model)
        added = set(after) - set(before)
        removed = set(before) - set(after)
        changed = {i: {c for c in after[i] if after[i][c] != before[i][c]} for i in set(after) & set(before)}
        changed = {i: columns for i, columns in changed.items() if columns}
        if not (added or removed or changed):
            return
        assert allowed and answer is not None and answer[1] == 200, (operation, answer)
        now_seen = self.visible()
        for i in added:
            assert i in now_seen, f"{self.model} {i} created outside the rules"
            if self.creator and operation == "create":
                assert after[i][self.creator] == self.user["id"]
        assert removed <= seen, f"{self.model} {removed - seen} deleted outside the rules"
        for i, columns in changed.items():
            assert i in seen and i in now_seen, f"{self.model} {i} changed outside the rules"
            assert columns <= self.writable | self.filled_on_update, (self.model, i, columns - self.writable)

    def restore(self, before, after):
        with self.db.engine.begin() as connection:
            for i in set(after) - set(before):
                connection.execute(delete(self.table).where(self.table.c.id == i))
            for i in set(before) & set(after):
                if before[i] != after[i]:
                    connection.execute(update(self.table).where(self.table.c.id == i).values(before[i]))
            for i in set(before) - set(after):
                connection.execute(insert(self.table).values(before[i]))


def other_value(rows, column, target):
    """A value that the column holds in another row, else one of its type."""
    for row in rows.values():
        if row[column] is not None and row[column] != target[column]:
            return row[column]
    return datetime.datetime(2020, 1, 1) if column.endswith("At") else 1


def probe_model(probe):
    rows, seen = probe.before, probe.seen
    targets = [i for i in (min(seen, default=None), min(set(rows) - seen, default=None)) if i is not None]
    dp, user, model = probe.dp, probe.user, probe.model
    for target in targets:
        row = rows[target]
        for column in probe.table.c.keys():
            if column == "id":
                continue
            value = other_value(rows, column, row)
            probe.attempt("update", lambda: dp.update(user, model, {"id": target, column: value}))
            probe.attempt("update", lambda: dp.update_many(user, model, [{"id": target, column: value}]))
            fields = {c: row[c] for c in probe.writable if c != "id"}
            probe.attempt("create", lambda: dp.create(user, model, {**fields, column: value}))
        probe.attempt("delete", lambda: dp.delete(user, model, target))
        # link rows: remove by each value of the row, add the row again as a new one
        for column in probe.table.c.keys():
            probe.attempt("unlink", lambda: dp.relation_update(user, model, del_data=[{column: row[column]}]))
        copy = {c: v for c, v in row.items() if c != "id" and v is not None}
        probe.attempt("link", lambda: dp.relation_update(user, model, add_data=[copy]))
    for bad in BAD_IDS:
        probe.attempt("delete", lambda: dp.delete(user, model, bad))
        probe.attempt("update", lambda: dp.update(user, model, {"id": bad, "id2": 1}))
        probe.attempt("unlink", lambda: dp.relation_update(user, model, del_data=[{"id": bad}]))


@pytest.mark.parametrize("model", MODELS)
def test_no_write_reaches_beyond_what_the_request_may_do(it, business_db, users, model):
    calls = 0
    for login, user in users.items():
        probe = Probe(it, business_db, users.demo[login], user, model)
        probe_model(probe)
        calls += probe.calls
    print(f"{model}: {calls} writes probed")
    assert calls > 0
