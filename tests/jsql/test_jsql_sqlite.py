import sqlite3

import pytest

PEOPLE = [(1, "100%", 10, 1), (2, "a_b", 20, 1), (3, "axb", 30, 2), (4, "x!y", 40, None),
          (5, None, 50, 2), (6, "it's", 60, 1), (7, "back\\slash", 70, 3)]


@pytest.fixture
def db():
    db = sqlite3.connect(":memory:")
    db.execute("create table person (id, name, age, dept_id)")
    db.execute("create table dept (id, name)")
    db.executemany("insert into person values (?, ?, ?, ?)", PEOPLE)
    db.executemany("insert into dept values (?, ?)", [(1, "Sales"), (2, "Ops"), (3, "Lab")])
    return db


@pytest.mark.parametrize("cond, ids", [
    ({"name": {"_contains": "%"}}, [1]),
    ({"name": {"_contains": "_"}}, [2]),
    ({"name": {"_starts_with": "x!"}}, [4]),
    ({"name": {"_ends_with": "\\slash"}}, [7]),
    ({"name": {"_like": "a!_b"}}, [2]),
    ({"name": {"_like": "a_b"}}, [2, 3]),
    ({"age": {"_between": [20, 40]}}, [2, 3, 4]),
    ({"name": "it's"}, [6]),
    ({"d.name": "Sales", "age": {"_nin": [20]}}, [1, 6]),
    ({"_or": [{"age": {"_lt": 20}}, {"_not": {"deptId": {"_in": [1, 2]}}}]}, [1, 7]),
    ({}, [1, 2, 3, 4, 5, 6, 7]),
])
def test_where_selects_expected_rows(db, parser, cond, ids):
    params = {}
    where = parser.parse_cond(params, cond) or "1 = 1"
    sql = 'select "p".id from person "p" left join dept "d" on "d".id = "p".dept_id where (%s) order by 1'
    assert [row[0] for row in db.execute(sql % where, params)] == ids


def test_join_filter_with_or_stays_inside_its_on_clause(db, parser):
    params = {}
    cond = parser.parse_cond(params, {"_or": [{"d.name": "Sales"}, {"d.name": "Lab"}]})
    sql = 'select "p".id, "d".name from person "p" left join dept "d" on "d".id = "p".dept_id and ' + cond
    rows = dict(db.execute(sql, params).fetchall())
    assert rows == {1: "Sales", 2: "Sales", 3: None, 4: None, 5: None, 6: "Sales", 7: "Lab"}
