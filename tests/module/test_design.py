"""Display names, property rows generated from a table, and model sync, against a recording session
that keeps its ``_prop`` rows in memory."""

import os
import sys
from contextlib import contextmanager

import pytest
import sqlalchemy.types as sat

from ornivell.db import _dbplus as dp
from ornivell.db.db import Dict

PROPS = "select * from _prop where model=:model"
BY_ID = "delete from _prop where id=:id"
ONE = "select * from _prop where model=:model and name=:name"
BY_NAME = "delete from _prop where model=:model and name=:name"


class FakeSession:
    """Records every call; its ``_prop`` rows answer the statements of the design tools."""

    def __init__(self, rows=(), meta=None):
        self.calls = []
        self.rows = [Dict(row) for row in rows]
        self.meta = meta

    def _record(self, name, args, kwargs):
        self.calls.append((name, args, list(kwargs.items())))

    def query(self, sql, **params):
        self._record("query", (sql,), params)
        return [r for r in self.rows if r["model"] == params["model"]]

    def query_one(self, sql, **params):
        self._record("query_one", (sql,), params)
        return next((r for r in self.rows if (r["model"], r["name"]) == (params["model"], params["name"])), None)

    def execute(self, sql, **params):
        self._record("execute", (sql,), params)
        keys = ("id",) if sql == BY_ID else ("model", "name")
        self.rows = [r for r in self.rows if any(r[k] != params[k] for k in keys)]

    def add(self, table, row):
        self._record("add", (table, row), {})
        self.rows.append(Dict(row, id=100 + len(self.calls)))

    def query_meta(self, sql):
        self._record("query_meta", (sql,), {})
        return self.meta

    @property
    def added(self):
        return [args[1] for name, args, _ in self.calls if name == "add"]


def row(id, name, column, table="t", model="m", asEnabled=0):
    return {"id": id, "model": model, "name": name, "table": table, "column": column, "asEnabled": asEnabled}


@pytest.fixture
def table(fk):
    return fk.Table("t", fk.Column("id", sat.Integer, "编号"), fk.Column("name", sat.String),
                    fk.Column("extra", sat.Integer), fk.Column("isOn", sat.Integer))


@pytest.mark.parametrize("name, shown", [
    ("user_name", "UserName"), ("ID_no", "IDNo"), ("a__b", "AB"), ("", ""), ("_", ""), ("_lead_", "Lead"),
    ("abc", "Abc"), ("ßx_y", "SSxY"), ("al.title", "Al.title"),
])
def test_beautify_display_name(plus, name, shown):
    assert dp.DbPlus.beautify_display_name(name) == shown == plus.beautify_display_name(name)


def test_beautify_display_name_is_static_and_refuses_what_is_no_text():
    assert isinstance(vars(dp.DbPlus)["beautify_display_name"], staticmethod)
    with pytest.raises(AttributeError):
        dp.DbPlus.beautify_display_name(None)


def test_the_four_phases_on_a_main_table_with_a_column_list(plus, table):
    s = FakeSession([row(1, "gone", "gone"), row(2, "expr", "gone", asEnabled=1), row(3, "name", "name"),
                     row(4, "other", "zz", table="u"), row(5, "blank", None), row(6, "extra", "extra")])
    assert plus.generate_table_columns(s, "m", table, columns=["id", "name", "count(id) AS total", "nope"]) is None
    assert s.calls == [
        ("query", (PROPS,), [("model", "m")]),
        ("execute", (BY_ID,), [("id", 1)]),  # its column is gone; the expression row stays
        ("query_one", (ONE,), [("model", "m"), ("name", "id")]),
        ("add", ("_prop", {"model": "m", "name": "id", "table": "t", "column": "id", "asEnabled": 0,
                           "dataType": "integer", "displayName": "编号"}), []),
        ("query_one", (ONE,), [("model", "m"), ("name", "name")]),
        ("query_one", (ONE,), [("model", "m"), ("name", "total")]),
        ("add", ("_prop", {"model": "m", "name": "total", "table": "t", "column": "count(id)", "asEnabled": 1,
                           "dataType": "string", "displayName": "Total"}), []),
        # "nope" is no column: skipped without a look-up
        ("query_one", (ONE,), [("model", "m"), ("name", "id")]),
        ("query_one", (ONE,), [("model", "m"), ("name", "name")]),
        ("execute", (BY_NAME,), [("model", "m"), ("name", "extra")]),  # not listed: its row goes
        ("execute", (BY_NAME,), [("model", "m"), ("name", "isOn")]),
    ]
    assert list(s.added[0]) == ["model", "name", "table", "column", "asEnabled", "dataType", "displayName"]


def test_blanks_around_listed_columns_do_not_cost_a_property(plus, table):
    # "id, name" as a model's columns text splits into "id" and " name"
    s = FakeSession([row(3, "name", "name")])
    plus.generate_table_columns(s, "m", table, columns=["id", " name ", " count(id) as n "])
    assert [r["name"] for r in s.rows] == ["name", "id", "n"]
    assert [p["column"] for p in s.added] == ["id", "count(id)"]


def test_every_column_of_a_main_table_without_a_list_and_nothing_the_second_time(plus, table, fk):
    s = FakeSession()
    plus.generate_table_columns(s, "m", table)
    assert [(p["name"], p["dataType"], p["displayName"]) for p in s.added] == [
        ("id", "integer", "编号"), ("name", "string", "Name"), ("extra", "integer", "Extra"), ("isOn", "bool", "IsOn")]
    assert list(s.added[1]) == ["model", "name", "table", "column", "dataType", "displayName"]
    s.calls.clear()
    plus.generate_table_columns(s, "m", table)
    assert {name for name, _, _ in s.calls} == {"query", "query_one"}


@pytest.mark.parametrize("is_main, alias, names", [
    (False, "p", ["p.name", "p.extra"]),
    (False, "", ["name", "extra"]),
    (True, "p", ["name", "extra", "p.name", "p.extra"]),  # phase 4 prefixes whatever alias it is given
])
def test_joined_table_columns_are_prefixed_with_the_alias(plus, table, is_main, alias, names):
    s = FakeSession()
    plus.generate_table_columns(s, "m", table, columns=["name", "extra", "nope"], alias=alias, is_main=is_main)
    assert [p["name"] for p in s.added] == names
    assert [p["column"] for p in s.added][:2] == ["name", "extra"]


def test_a_model_defined_by_sql_reads_the_columns_through_query_meta(plus, fk):
    meta = {"total": fk.Column("total", sat.Integer), "at": fk.Column("at", sat.DateTime, "时间")}
    s = FakeSession([row(1, "old", "old", table="v")], meta=meta)
    info = fk.make_info(table="v", sql="select ...")
    plus.generate_table_columns(s, "m", None, info=info)
    assert s.calls[:3] == [("query_meta", ("select ...",), []), ("query", (PROPS,), [("model", "m")]),
                           ("execute", (BY_ID,), [("id", 1)])]
    assert [(p["name"], p["table"], p["dataType"], p["displayName"]) for p in s.added] == [
        ("total", "v", "integer", "Total"), ("at", "v", "datetime", "时间")]


@pytest.mark.parametrize("sql, meta", [("", {"a": None}), (None, {"a": None}), ("select 1 where 0", None)])
def test_without_a_table_and_columns_nothing_is_read_or_written(plus, fk, sql, meta):
    s = FakeSession(meta=meta)
    plus.generate_table_columns(s, "m", None, info=fk.make_info(table="v", sql=sql))
    assert s.calls == ([("query_meta", (sql,), [])] if sql else [])


# model sync

class SyncDb:
    """The handle of a sync: tables, reflection and sessions, recorded."""

    force_escape_sql = False

    def __init__(self, fk, tables, reflected, reflect_error=None):
        self.fk, self.tables, self.reflected, self.reflect_error = fk, tables, reflected, reflect_error
        self.calls = []
        self.opened = []

    def reflect(self, **kwargs):
        self.calls.append(("reflect", kwargs, dict(self.tables)))
        if self.reflect_error:
            raise self.reflect_error
        self.tables.update(self.reflected)

    def query(self, sql, **kwargs):
        self.calls.append(("query", sql, kwargs))
        if sql == self.fk.MODEL_SQL and kwargs["model"] == "m":
            return [self.fk.model_row(columns="", mt=dict(table="dept", columns="name", alias="", order=1))]
        return []

    @contextmanager
    def session(self):
        s = FakeSession()
        self.opened.append(s)
        try:
            yield s
        except Exception as error:
            s.calls.append(("exited with", str(error)))
            raise


@pytest.fixture
def sync_db(fk):
    reflected = {"t": fk.Table("t", "id", "name", "added"), "dept": fk.Table("dept", "id", "name")}
    return SyncDb(fk, {"t": fk.Table("t", "id", "name")}, reflected)


def test_sync_rereads_the_tables_and_drops_stale_cached_models(sync_db, fk):
    plus = dp.DbPlus(sync_db)
    stale = fk.make_info(table="t", tables=[fk.Table("t", "id", "name")])
    plus._write_cache("/model/m/", stale)
    assert plus.sync_model("m") == ({"message": "success"}, 200)
    assert sync_db.calls[0] == ("reflect", {"extend_existing": True}, {})  # the table map emptied first
    assert [c[1] for c in sync_db.calls if c[0] == "query"] == [fk.MODEL_SQL, fk.PROP_SQL]
    (s,) = sync_db.opened
    assert [p["name"] for p in s.added] == ["id", "name", "added", "dept.name"]
    assert plus.cache["/model/m/"] is not stale


def test_sync_of_an_unknown_model_still_rereads_the_tables(sync_db):
    plus = dp.DbPlus(sync_db)
    assert plus.sync_model("nope", session="S") == ({"message": "Model(nope) Not Found"}, 404)
    assert sync_db.calls[0][0] == "reflect" and sync_db.calls[1][2] == {"model": "nope", "session": "S"}


def test_a_failing_reflection_is_logged_and_the_sync_goes_on(sync_db, monkeypatch):
    warnings = []
    monkeypatch.setattr(dp, "log", type("Log", (), {"warning": staticmethod(warnings.append)}))
    sync_db.reflect_error = RuntimeError("server gone")
    assert dp.DbPlus(sync_db).sync_model("m") == ({"message": "success"}, 200)
    assert warnings == ["server gone"] and sync_db.tables == {}


def test_a_reflection_interrupted_is_not_swallowed(sync_db):
    sync_db.reflect_error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        dp.DbPlus(sync_db).sync_model("m")


class Recording(dp.DbPlus):
    """Records the tables handed to generate_table_columns, called through self."""

    def generate_table_columns(self, s, model, t, **kwargs):
        self.generated.append((s, model, t, list(kwargs.items())))


def test_generate_columns_walks_the_main_and_the_known_joined_tables(fk, sync_db):
    plus = Recording(sync_db)
    plus.generated = []
    dept, t = fk.Table("dept"), fk.Table("t")
    info = fk.make_info(table="t", tables=[t, dept], columns=["a"], join_tables=[
        dict(table="gone", alias="g", columns=["x"]), dict(table="dept", alias="", columns=["name"]),
        dict(table="dept", alias="d", columns=None)])
    assert plus.generate_columns("m", info, session="S") is None
    assert not sync_db.opened  # the caller's session is used
    assert plus.generated == [
        ("S", "m", t, [("columns", ["a"]), ("alias", None), ("is_main", True), ("info", info)]),
        ("S", "m", dept, [("columns", ["name"]), ("alias", "dept"), ("is_main", False), ("info", info)]),
        ("S", "m", dept, [("columns", None), ("alias", "d"), ("is_main", False), ("info", info)]),
    ]


def test_generate_columns_opens_one_session_and_leaves_it_on_failure(fk, sync_db):
    plus = dp.DbPlus(sync_db)
    info = fk.make_info(table="t", tables=[fk.Table("t", "id")])
    plus.generate_columns("m", info)
    (s,) = sync_db.opened
    assert [p["name"] for p in s.added] == ["id"]
    del info.model["columns"]
    with pytest.raises(KeyError):
        plus.generate_columns("m", info)
    assert sync_db.opened[1].calls == [("exited with", "'columns'")]


class Swallowing:
    """A session context whose exit swallows errors, as a `with` statement lets it."""

    def __enter__(self):
        return FakeSession()

    def __exit__(self, *error):
        self.seen = error[0]
        return True


def test_generate_columns_honours_the_context_protocol(fk, sync_db):
    info = fk.make_info(table="t", tables=[fk.Table("t", "id")])
    del info.model["columns"]
    swallowing = Swallowing()
    sync_db.session = lambda: swallowing
    assert dp.DbPlus(sync_db).generate_columns("m", info) is None and swallowing.seen is KeyError
    sync_db.session = object
    with pytest.raises(TypeError, match="context manager"):
        dp.DbPlus(sync_db).generate_columns("m", info)


def test_repeated_generation_and_sync_do_not_leak(fk, sync_db, table):
    plus = dp.DbPlus(sync_db)
    columns = ["id", "name", "count(id) as total", "nope"]
    info = fk.make_info(table="v", sql="select 1")
    watched = (plus, table, columns, info, sync_db)

    def round_():
        s = FakeSession([row(1, "gone", "gone")], meta={"a": fk.Column("a", sat.Integer)})
        plus.generate_table_columns(s, "m", table, columns=columns, alias="p", is_main=False)
        plus.generate_table_columns(s, "m", table, columns=columns)
        plus.generate_table_columns(s, "m", None, info=info)
        dp.DbPlus.beautify_display_name("a_b_c")
        plus.sync_model("m")
        plus.sync_model("nope")
        sync_db.calls.clear()
        sync_db.opened.clear()

    def resident_bytes():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for _ in range(300):
        round_()
    counts, before = [sys.getrefcount(o) for o in watched], resident_bytes()
    for _ in range(3000):
        round_()
    assert [sys.getrefcount(o) for o in watched] == counts
    # AddressSanitizer holds freed memory back, so resident size says nothing under it
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert resident_bytes() - before < 4 * 1024 * 1024
