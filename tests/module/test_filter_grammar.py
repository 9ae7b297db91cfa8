"""The module parses the client's filters and orderings in C++ while its JsonSqlParser is jsql's own: the
statement texts, values, errors and parameter prefixes are exactly those of jsql.JsonSqlParser."""

import datetime
import json
import math
import random

import pytest
import sqlalchemy as sa

from ornivell.db import _dbplus as dp
from ornivell.db import jsql
from ornivell.db.db import Dict


@pytest.fixture
def info(fk):
    return fk.person_info()


@pytest.fixture
def sql_info(fk):
    return fk.make_info(fk.prop("n", table="v"), model="v", table="v", sql="select 1 as n")


PARSERS_MADE = []  # one entry for each parser jsql made


@pytest.fixture(autouse=True)
def count_parsers_made(monkeypatch):
    # each parser jsql makes takes a prefix; the module's own parse takes its prefix otherwise
    next_generation = jsql._next_generation
    monkeypatch.setattr(jsql, "_next_generation", lambda: PARSERS_MADE.append(1) or next_generation())


def outcome(run):
    """What a parse gives, or the error it raises, and the thread's prefix afterwards."""
    jsql._thread_state.turn = 1
    try:
        found = run()
    except Exception as error:  # noqa: BLE001 - the error is the outcome compared
        found = (type(error), str(error))
    return found, jsql._thread_state.turn


def by_module(fk, info, kind, value, handle=None):
    plus = dp.DbPlus(handle or fk.SqlHandle())
    if kind == "where":
        return plus.parse_where_cond({"where": value}, info)
    if kind == "joinCond":
        return plus.parse_join_cond({"joinCond": value}, info)
    return plus.parse_orderby({"order": value}, info)


def by_jsql(fk, info, kind, value, handle=None):
    parser = jsql.JsonSqlParser(info, handle or fk.SqlHandle())
    if kind == "order":
        return parser.parse_orderby(value)
    params = {}
    if kind == "where":
        cond = parser.parse_cond(params, value)
        return [cond] if cond else [], params
    conds = {key: parser.parse_cond(params, filter_) for key, filter_ in value.items()}
    return {key: cond for key, cond in conds.items() if cond}, params


def assert_same(fk, info, kind, value, handle=None):
    """The module's outcome, the same as jsql's, and whether the module had jsql parse."""
    before = len(PARSERS_MADE)
    module = outcome(lambda: by_module(fk, info, kind, value, handle))
    by_host = len(PARSERS_MADE) > before
    assert module == outcome(lambda: by_jsql(fk, info, kind, value, handle))
    return module[0], by_host


ACCEPTED = [
    ("where", {"name": "Ann", "age": {"_gte": 18, "_lt": 65, "_neq": "3"}}),
    ("where", {"name": None, "age": {"_neq": None}, "id": {"_eq": 2 ** 63 - 1}}),
    ("where", {"_or": [{"age": {"_in": [1, "2", -3]}}, {"_not": {"d.name": {"_contains": "5%_!"}}}]}),
    ("where", {"_and": [{"name": {"_starts_with": "a_"}}, {}, {"name": {"_ends_with": "!"}}], "_or": []}),
    ("where", {"_not": {}, "born": {"_between": ["2014-01-31", "2014-12-31"]}, "deptId": {"_nin": [7]}}),
    ("where", {"name": {"_like": "A!_%", "_null": False}, "years": {"_null": True}, "id": "1"}),
    ("where", {"tag": {"_in": ["a", "b"]}, "name": "it's'); drop table x; --", "d.name": "\ud800 é"}),
    ("where", {"_and": [{"_and": [{"_or": [{"_not": {"age": 1}}]}]}]}),
    ("joinCond", {"d": {"d.name": "x"}, "e": {}, "f": None, "g": {"age": {"_in": [1, 2]}}}),
    ("order", [{"name": "DESC"}, "age", {"d.name": "asc"}]),
    ("order", {"born": "Desc"}),
    ("where", '{"age": {"_in": [1, "2"]}, "_not": {"name": null}}'), ("where", "null"), ("order", '["name"]'),
    ("order", ["years"]),
]


@pytest.mark.parametrize("kind, value", ACCEPTED)
def test_accepted_filters_are_parsed_in_the_module_as_jsql_parses_them(fk, info, kind, value):
    found, by_host = assert_same(fk, info, kind, value)
    assert not isinstance(found[0], type) and not by_host


@pytest.mark.parametrize("kind, value", [
    ("where", '{"age": }'), ("where", "[" * 100_000), ("where", " " * 1_000_001),  # JSON text it refuses
    ("where", {"_or": [{"name": "x"}, {}], "age": 3}),          # an _or that always holds drops values
    ("where", {"name": {"_like": "%!"}}),                       # refused: the errors are jsql's
    ("where", {"nobody": 1}), ("where", {"stale": 1}), ("where", {"age": "x"}), ("where", {"age": 2 ** 63}),
    ("where", {"age": float("nan")}), ("where", {"age": [1]}), ("where", {"age": {"_between": [1]}}),
    ("where", {"age": {"_in": []}}), ("where", {"age": {"_like": "a"}}), ("where", {"name": {"_null": 1}}),
    ("where", {"name": {"_zz": 1}}), ("where", {"name": "a\0b"}), ("where", {"born": "31.01.2014"}),
    ("where", {"_or": {"name": 1}}), ("where", {"_and": [1]}), ("where", {"age": {"_gt": None}}),
    ("where", Dict(name="x")), ("where", {"name": {"_in": ("a",) * 501}}), ("where", {"name": "x" * 10_001}),
    ("joinCond", {"d": {"name": 1}, "e": {"nobody": 2}}),
    ("order", [{"name": "up"}]), ("order", [{"name": "ASC", "age": "desc"}]), ("order", "[\"name\""),
    ("order", [1]), ("order", ["nobody"]), ("order", [{"name": "ａｓｃ"}]),
])
def test_what_the_module_leaves_to_jsql_comes_out_as_jsql_makes_it(fk, info, kind, value):
    assert assert_same(fk, info, kind, value)[1]


def test_deep_and_long_filters_meet_jsqls_limits(fk, info):
    deep = {"name": "x"}
    for _ in range(jsql.MAX_DEPTH):
        deep = {"_not": deep}
    assert assert_same(fk, info, "where", deep)[0][0] is jsql.JsonSqlError
    many = {"_or": [{"age": n} for n in range(jsql.MAX_CONDITIONS)]}
    assert assert_same(fk, info, "where", many)[0][0] is jsql.JsonSqlError


def test_a_model_defined_by_sql_binds_by_the_types_of_its_result(fk, sql_info):
    (_, params), by_host = assert_same(fk, sql_info, "where", {"n": {"_in": ["1", 2]}})
    assert params == {"_ja1": 1, "_ja2": 2} and not by_host


def test_a_replaced_or_patched_parser_is_used_as_it_is(fk, info):
    class Parser(jsql.JsonSqlParser):
        pass

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(dp, "JsonSqlParser", Parser)
        assert assert_same(fk, info, "where", {"name": "x"})[1]
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(jsql.JsonSqlParser, "parse_cond", lambda self, params, cond: "patched")
        assert by_module(fk, info, "where", {"name": "x"}) == (["patched"], {})
    assert not assert_same(fk, info, "where", {"name": "x"})[1]  # the class as it was imported, again


EDITS = {
    "a column": lambda fk, info: info.props["name"].update(column="tag"),
    "a row": lambda fk, info: info.props.update(age=fk.prop("age", table="person", column="born")),
    "the alias": lambda fk, info: info.model.update(alias="q"),
    "a join": lambda fk, info: info.join_tables[0].update(join="left join dept dx on dx.id = p.dept_id"),
    "a table": lambda fk, info: info.tables.update(dept=fk.Table("dept", "code")),
    "the model's SQL": lambda fk, info: info.model.update(sql="select 1 as n"),
}


@pytest.mark.parametrize("edit", EDITS.values(), ids=EDITS.keys())
def test_names_resolved_before_a_change_in_place_are_resolved_again(fk, info, edit):
    where = {"name": "x", "deptCode": 1, "age": {"_in": ["1", 2]}}
    info.props["deptCode"] = fk.prop("deptCode", table="dept", column="id")
    first = assert_same(fk, info, "where", where)
    assert assert_same(fk, info, "where", where) == first and not first[1]
    edit(fk, info)
    assert assert_same(fk, info, "where", where) != first


def test_names_are_resolved_for_the_quoting_and_the_dialect_in_use(fk, info):
    where = {"name": "x", "born": "2014-01-31"}
    assert assert_same(fk, info, "where", where)[0][1] == {"_ja1": "x", "_ja2": "2014-01-31"}
    handle = fk.SqlHandle()
    handle.escape = lambda name: f"[{name}]"
    handle.engine = sa.create_engine("postgresql+psycopg://")
    (conds, params), _ = assert_same(fk, info, "where", where, handle)
    assert conds == ["([p].[name] = :_ja1 and [p].[born] = :_ja2)"]
    assert params == {"_ja1": "x", "_ja2": datetime.date(2014, 1, 31)}


# Filters made at random from the grammar's parts, mostly ones jsql accepts, some it refuses: both agree on each.

VALUES = {"name": ["", "Ann", "a_b%c!", "!!", "\u00e9", "12"], "d.name": ["x", "%"], "tag": ["a", "b"],
          "id": [0, -7, "12", 2 ** 63 - 1], "age": [1, 65], "years": [3], "deptId": [2],
          "born": ["2014-01-31", "2015-12-01"]}
OPERATORS = ["_eq", "_neq", "_gt", "_gte", "_lt", "_lte", "_in", "_nin", "_between", "_like", "_contains",
             "_starts_with", "_ends_with", "_null"]
ODD_NAMES = ["stale", "nobody", "label", "loose", 7]
ODD_VALUES = ["x\0", "x!", 2 ** 63, True, 1.5, math.inf, None, datetime.date(2014, 1, 1), b"x", [], {}, "2014-13-01"]


def odd(rng):
    return rng.random() < 0.04


def random_scalar(rng, name):
    return rng.choice(ODD_VALUES) if odd(rng) or name not in VALUES else rng.choice(VALUES[name])


def random_operation(rng, name):
    op = "_zz" if odd(rng) else rng.choice(OPERATORS)
    if op in ("_in", "_nin"):
        return op, [random_scalar(rng, name) for _ in range(rng.randrange(0 if odd(rng) else 1, 4))]
    if op == "_between":
        return op, [random_scalar(rng, name) for _ in range(1 if odd(rng) else 2)]
    if op == "_null":
        return op, rng.choice(ODD_VALUES) if odd(rng) else rng.random() < 0.5
    return op, random_scalar(rng, name)


def random_filter(rng, depth=0):
    node = {}
    for _ in range(rng.randrange(1, 4)):
        pick = rng.random()
        if pick < 0.15 and depth < 4:
            branches = rng.randrange(0 if odd(rng) else 1, 3)
            node[rng.choice(["_and", "_or"])] = [random_filter(rng, depth + 1) for _ in range(branches)]
        elif pick < 0.2 and depth < 4:
            node["_not"] = random_filter(rng, depth + 1)
        else:
            name = rng.choice(ODD_NAMES) if odd(rng) else rng.choice(list(VALUES))
            if rng.random() < 0.5:
                node[name] = random_scalar(rng, name)
            else:
                node[name] = dict(random_operation(rng, name) for _ in range(rng.randrange(0 if odd(rng) else 1, 3)))
    return node


@pytest.mark.parametrize("seed", range(40))
def test_random_filters_and_orderings_come_out_as_jsql_makes_them(fk, info, seed):
    rng = random.Random(seed)
    for _ in range(25):
        assert_same(fk, info, "where", random_filter(rng))
    assert_same(fk, info, "where", json.dumps(random_filter(rng), default=str))
    assert_same(fk, info, "joinCond", {"d": random_filter(rng), "e": random_filter(rng)})
    directions = ["asc", "DESC", "Desc"] + (["up", 1, None] if odd(rng) else [])
    names = list(VALUES) + (ODD_NAMES if odd(rng) else [])
    order = [rng.choice([rng.choice(names), {rng.choice(names): rng.choice(directions)}]) for _ in range(3)]
    assert_same(fk, info, "order", order)



