import re
from types import SimpleNamespace

import pytest

from ornivell.db.jsql import JsonSqlParser


class Row(dict):
    __getattr__ = dict.get


class Info:
    def __init__(self, model, tables, props):
        self.model, self.tables = Row(model), tables
        self.props = {p["name"]: Row(p, column=p.get("column") or p["name"]) for p in props}

    def table_name(self, table):
        return self.model["alias"] or table if table == self.model["table"] else table


class QuotingDb:
    @staticmethod
    def escape(name):
        return ".".join('"%s"' % part.replace('"', '""') for part in name.split("."))


@pytest.fixture
def info():
    person, dept = SimpleNamespace(c={"id", "name", "age", "dept_id"}), SimpleNamespace(c={"id", "name"})
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
