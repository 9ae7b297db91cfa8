"""Recording fakes of the host handle, its tables and the filter parser; ``fk`` hands this module to tests."""

import sys
import types
from contextlib import contextmanager
from typing import NamedTuple

import pytest
import sqlalchemy as sa

from ornivell.db import _dbplus as dp
from ornivell.db.handle import sqlparts
from ornivell.db.db import Dict


def lines(*parts):
    """Statement text of (blanks, text) lines, each preceded by a newline."""
    return "".join("\n" + " " * blanks + text for blanks, text in parts)


MODEL_SQL = lines(
    (8, "select"), (12, "_model.*,"), (12, 'mt.table as "mt.table",'), (12, 'mt.columns as "mt.columns",'),
    (12, 'mt.join as "mt.join",'), (12, 'mt.alias as "mt.alias",'), (12, 'mt.order as "mt.order"'), (8, "from"),
    (12, "_model"), (8, "left join _model_table mt on _model.model = mt.model"),
    (8, "where _model.model=:model order by mt.order asc"), (8, ""),
)
PROP_SQL = "select * from _prop where model=:model"
ACL_FUNC_A = lines(
    (8, "select distinct s.resource, s.type, a.funcKey, "), (8, 'a.id as "funcId", a.resourceId from'),
    (12, "_acl_func a,"), (12, "_resource s,"), (12, "_user_role ur,"), (12, "_role_acl_func rf"), (8, "where"),
    (12, ""),
)
ACL_FUNC_B = lines(
    (12, "a.resourceId = s.id"), (12, "and ur.userId = :uid"), (12, "and ur.roleId = rf.roleId "),
    (12, "and rf.aclFuncId = a.id"), (8, ""),
)
ACL_DATA_A = lines(
    (8, "select distinct a.cond, a.join, a.model, a.name, a.order"),
    (12, "from _acl_data a, _user_role ur, _role_acl_data rd"), (8, "where"), (12, ""),
)
ACL_DATA_B = lines(
    (12, "ur.userId = :uid "), (12, "and ur.roleId = rd.roleId"), (12, "and rd.aclDataId = a.id"), (8, ""),
)
ACL_PROP_SQL = lines(
    (8, "SELECT"), (12, "_prop.model,"), (12, "_prop.name"), (8, "FROM"), (12, "_prop"),
    (8, "JOIN _role_prop ON _role_prop.propId = _prop.id"), (8, "JOIN _user_role ur ON ur.roleId = _role_prop.roleId"),
    (8, "AND _role_prop.roleId = ur.roleId AND ur.userId = :uid"), (8, "WHERE"), (13, "_prop.model = :model"),
    (8, ""),
)


def acl_func_sql(cond=""):
    return ACL_FUNC_A + cond + ACL_FUNC_B


def acl_data_sql(with_model=True):
    return ACL_DATA_A + ("a.model = :model and " if with_model else "") + ACL_DATA_B


# tables

class Column:
    def __init__(self, name, type=None, comment=None):
        self.name, self.type, self.comment = name, type, comment


class Columns(dict):
    """A table's column collection: membership by name, ``get``, iteration over the column objects."""

    def __init__(self, columns):
        super().__init__((c.name, c) for c in columns)

    def __iter__(self):
        return iter(self.values())


class Table:
    def __init__(self, name, *columns):
        self.name = name
        self.c = Columns([c if isinstance(c, Column) else Column(c) for c in columns])

    def __repr__(self):
        return f"Table({self.name!r})"


# the handle

class Call(NamedTuple):
    name: str
    args: tuple
    kwargs: list  # (name, value) pairs in the order passed


class FakeDb:
    """Records every call; canned results per statement (and keyword values), newest first."""

    force_escape_sql = False
    engine = sa.create_engine("sqlite://")  # its dialect: how typed columns bind ids

    def __init__(self, *tables):
        self.calls = []
        self.tables = {t.name: t for t in tables}
        self._replies = []

    def reply(self, sql, result, **when):
        self._replies.insert(0, (sql, when, result))

    def _answer(self, name, args, kwargs, default):
        self.calls.append(Call(name, args, list(kwargs.items())))
        for sql, when, result in self._replies:
            if args[0] == sql and all(k in kwargs and kwargs[k] == v for k, v in when.items()):
                if isinstance(result, BaseException):
                    raise result
                return result
        return default

    @property
    def runs(self):  # the statements run, without the quoting calls
        return [c for c in self.calls if c.name in ("query", "query_one", "query_page")]

    def query(self, *args, **kwargs):
        return self._answer("query", args, kwargs, [])

    def query_one(self, *args, **kwargs):
        return self._answer("query_one", args, kwargs, None)

    def query_page(self, *args, **kwargs):
        return self._answer("query_page", args, kwargs, types.SimpleNamespace(data=["row"]))

    def query_meta(self, sql):
        return None  # the result columns of a model's SQL: unknown, so its values go unchecked

    def escape(self, key):
        self.calls.append(Call("escape", (key,), []))
        return ".".join(f'"{part}"' for part in key.split("."))

    def escape_sql(self, sql):
        self.calls.append(Call("escape_sql", (sql,), []))
        return f"<{sql}>"

    def _delegate(name):
        def method(self, *args, **kwargs):
            self.calls.append(Call(name, args, list(kwargs.items())))
            return (name, args)
        return method

    sql_page = _delegate("sql_page")
    sql_count = _delegate("sql_count")
    is_mssql = _delegate("is_mssql")
    in_clause = _delegate("in_clause")
    session = _delegate("session")
    del _delegate


class FakeSession:
    """A session of the handle: its calls are recorded as ``session.<name>``;
    a savepoint (of a ``WriteDb``'s session) as ``savepoint.enter``,
    ``savepoint.rollback`` and ``savepoint.exit``."""

    def __init__(self, db):
        self._db = db

    def savepoint(self):
        return self._db._scope("savepoint", _Savepoint(self._db))

    def query(self, *args, **kwargs):
        return self._db._answer("session.query", args, kwargs, [])

    def __getattr__(self, name):
        return lambda *args, **kwargs: self._db._answer(f"session.{name}", args, kwargs, None)


class _Savepoint:
    def __init__(self, db):
        self._db = db

    def rollback(self):
        self._db.calls.append(Call("savepoint.rollback", (), []))


class WriteDb(FakeDb):
    """Also offers the row writes, real IN lists, and sessions and serialized
    blocks as context managers that record entering and leaving
    (``<name>.exit`` with the type of the exception that ended the block)."""

    @contextmanager
    def _scope(self, name, entered):
        self.calls.append(Call(f"{name}.enter", (), []))
        try:
            yield entered
        except BaseException as error:
            self.calls.append(Call(f"{name}.exit", (type(error),), []))
            raise
        self.calls.append(Call(f"{name}.exit", (None,), []))

    def session(self):
        return self._scope("session", FakeSession(self))

    def serialized(self, key):
        self.calls.append(Call("serialized", (key,), []))
        return self._scope("serialized", FakeSession(self))

    def in_clause(self, key, values):
        self.calls.append(Call("in_clause", (key, values), []))
        return sqlparts.in_clause(key, values)

    def _write(name):
        def method(self, *args, **kwargs):
            return self._answer(name, args, kwargs, Dict(id=99))
        return method

    add = _write("add")

    def add_many(self, *args, **kwargs):
        return self._answer("add_many", args, kwargs, [Dict(id=99 + i) for i, _ in enumerate(args[1])])

    merge = _write("merge")
    update_many = _write("update_many")
    del _write

    @property
    def writes(self):  # the calls apart from quoting and IN lists
        return [c for c in self.calls if c.name not in ("escape", "in_clause")]


@pytest.fixture
def write_db():
    main = Table("t", "id", "name", "code", "deptId", "by", "at")
    main.primary_key = [main.c["id"]]
    return WriteDb(main, Table("dept", "id", "name", "code"))


# rows

PROP_KEYS = (
    "id", "model", "name", "table", "column", "transObjectName", "transTable", "dataType", "displayName",
    "selectEnabled", "exportEnabled", "searchEnabled", "matchEnabled", "filterEnabled", "orderEnabled", "orderDir",
    "orderAsDefault", "asEnabled", "transDict", "transColumns",
)
MODEL_KEYS = (
    "id", "model", "table", "alias", "where", "groupBy", "orderBy", "sql", "spName", "spParams", "distinctEnabled",
    "uiData", "columns", "displayName",
)


def prop(name, table="t", column=None, **fields):
    """A ``_prop`` row; the column defaults to the name, every other field to None."""
    row = Dict({key: None for key in PROP_KEYS})
    row.update({"name": name, "table": table, "column": name if column is None else column, **fields})
    return row


def model_row(model="m", table="t", mt=None, **fields):
    """One row of the model statement; ``mt`` gives the joined table's columns."""
    row = Dict({key: None for key in MODEL_KEYS})
    row.update({"id": 1, "model": model, "table": table, "alias": "", "displayName": "模型", **fields})
    mt = mt or {}
    for key in ("table", "columns", "join", "alias", "order"):
        row["mt." + key] = mt.get(key)
    return row


def user(uid=1, **fields):
    return Dict(id=uid, **fields)


def make_info(*props, model="m", table="t", alias="", tables=(), join_tables=(), **settings):
    """A loaded ``ModelInfo`` without going through the handle."""
    info = dp.ModelInfo()
    info.model = Dict({key: None for key in MODEL_KEYS})
    info.model.update({"id": 1, "model": model, "table": table, "alias": alias, "sql": "", "displayName": "模型",
                       **settings})
    info.tables = {}
    for t in tables:
        info.tables[t.name] = t
    info.main_table = info.tables.get(table)
    info.join_tables = [dict({"columns": None, "alias": None, "join": None, "order": 0}, **j) for j in join_tables]
    info.props = {p.name: p for p in props}
    return info


def warm(plus, info, uid=1, hidden=(), acl_data=(), ops=("queryEnabled",)):
    """Caches a model and a user's grants so that only the statement itself runs."""
    name = info.model["model"]
    plus._write_cache(f"/model/{name}/{uid}", info)
    plus._write_cache(f"/acl_prop/{uid}/{name}", set(hidden))
    plus._write_cache(f"/acl_data/{uid}/{name}", list(acl_data))
    plus._write_cache(f"/acl_data/{uid}/{info.model['table']}", list(acl_data))
    ops = [{"funcKey": key, "funcId": i} for i, key in enumerate(ops)]
    groups = [{"resource": name, "type": "model", "resourceId": 9, "ops": ops}] if ops else []
    plus._write_cache(f"/acl_func/{uid}/model/{name}", groups)


# the client filter parser

class FakeParser:
    """Stands in for ``JsonSqlParser``: a filter is {"sql": text, "params": {...}}; an order is its item list,
    or {"items": list}."""

    made = []

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs, self.calls = args, kwargs, []
        FakeParser.made.append(self)

    def parse_cond(self, params, json_cond):
        self.calls.append(("parse_cond", json_cond))
        params.update(json_cond.get("params", {}))
        return json_cond.get("sql")

    def parse_orderby(self, orderby):
        self.calls.append(("parse_orderby", orderby))
        return orderby["items"] if isinstance(orderby, dict) else orderby


@pytest.fixture
def parser(monkeypatch):
    FakeParser.made = []
    monkeypatch.setattr(dp, "JsonSqlParser", FakeParser)
    return FakeParser


@pytest.fixture
def fk():
    return sys.modules[__name__]


@pytest.fixture
def db():
    return FakeDb(
        Table("t", "id", "name", "code", "deptId", "isOn"),
        Table("dept", "id", "name", "code"),
    )


@pytest.fixture
def plus(db):
    return dp.DbPlus(db)


# a model over SQLAlchemy tables, for the filter parser, which binds values by their columns' types

class SqlHandle:
    """What the filter parser uses of the handle: quoting, the dialect, and the result columns of a model's SQL."""

    engine = sa.create_engine("sqlite://")
    force_escape_sql = False

    @staticmethod
    def escape(name):
        return ".".join('"%s"' % part.replace('"', '""') for part in name.split("."))

    def query_meta(self, sql):
        return {"n": sa.Column("n", sa.Integer)}


def person_info():
    """A model over typed tables: person (alias p) and dept (d), with properties of every kind."""
    person = sa.Table("person", sa.MetaData(), sa.Column("id", sa.Integer), sa.Column("name", sa.String(20)),
                      sa.Column("age", sa.Integer), sa.Column("born", sa.Date), sa.Column("dept_id", sa.Integer),
                      sa.Column("tag", sa.Enum("a", "b")))
    dept = sa.Table("dept", sa.MetaData(), sa.Column("id", sa.Integer), sa.Column("name", sa.Text))
    props = [prop(name, table="person", selectEnabled=1) for name in ("id", "name", "age", "born", "tag")] + [
        prop("deptId", table="person", column="dept_id"), prop("d.name", table="dept", column="name"),
        prop("years", table="person", column="age", asEnabled=1),
        prop("label", table="person", column="name || age", asEnabled=1),
        prop("stale", table="person", column="gone"), prop("loose", table=None),
        prop("orphan", table="nowhere")]
    return make_info(*props, model="person", table="person", alias="p", tables=[person, dept],
                     join_tables=[dict(table="dept", alias="d", join="left join dept d on d.id = p.dept_id")])
