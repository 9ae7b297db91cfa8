import re

import pytest
import sqlalchemy as sa

from ornivell.db.jsql import JsonSqlParser


class Row(dict):
    __getattr__ = dict.get


class Info:
    def __init__(self, model, tables, props):
        self.model, self.tables = Row(model), tables
        self.props = {p["name"]: Row(p, column=p.get("column") or p["name"]) for p in props}

    def table_name(self, table):
        return self.model["alias"] or table if table == self.model["table"] else table


def untyped_table(name, *columns):
    """A table whose column types are unknown: values pass as given."""
    return sa.Table(name, sa.MetaData(), *(sa.Column(column) for column in columns))


class QuotingDb:
    engine = sa.create_engine("sqlite://")
    # what query_meta reports for the result of a model defined by SQL
    result_columns = {}

    @staticmethod
    def escape(name):
        return ".".join('"%s"' % part.replace('"', '""') for part in name.split("."))

    def query_meta(self, sql):
        self.meta_asked = getattr(self, "meta_asked", []) + [sql]
        return self.result_columns


@pytest.fixture
def info():
    person, dept = untyped_table("person", "id", "name", "age", "dept_id"), untyped_table("dept", "id", "name")
    return Info({"model": "person", "table": "person", "alias": "p", "sql": None},
                {"person": person, "p": person, "dept": dept, "d": dept},
                [dict(name=n, table="person") for n in ("id", "name", "age")] + [
                    dict(name="deptId", table="person", column="dept_id"),
                    dict(name="d.name", table="dept", column="name"),
                    dict(name="years", table="person", column="age", asEnabled=True),
                    dict(name="label", table="person", column="name || age", asEnabled=True),
                    dict(name="stale", table="person", column="gone"),
                    dict(name="loose", table=None),
                    dict(name="orphan", table="nowhere")])


@pytest.fixture
def parser(info):
    return JsonSqlParser(info, QuotingDb())


@pytest.fixture
def parser_for():
    """A parser of a model over ``table``, with one property per column, binding values for ``engine``."""
    def make(table, engine=QuotingDb.engine):
        info = Info({"model": table.name, "table": table.name, "alias": "", "sql": None},
                    {table.name: table}, [dict(name=column.name, table=table.name) for column in table.c])
        db = QuotingDb()
        db.engine = engine
        return JsonSqlParser(info, db)
    return make


@pytest.fixture
def parse(parser):
    """Condition text with placeholders renamed :p1, :p2... in order, and their values."""
    def run(cond):
        params = {}
        text = parser.parse_cond(params, cond)
        names = re.findall(r":(\w+)", text or "")
        assert sorted(names) == sorted(params), "every placeholder bound exactly once"
        for number, name in enumerate(names, 1):
            text = re.sub(r":%s\b" % name, ":p%d" % number, text)
        return text, [params[name] for name in names]
    return run
