"""Composed search statements return what a hand-written SQL query returns."""

from collections import Counter

import pytest

USERS = ("ada", "sue")  # without and with row rules

EMPLOYEE_KEY = "e.code like :k or e.name like :k or e.title like :k or d.name like :k or e.code = :raw"

# (filter, oracle condition, oracle parameters)
EMPLOYEE_FILTERS = [
    ({"title": "Analyst"}, "e.title = :v", {"v": "Analyst"}),
    ({"title": {"_eq": "Coordinator"}, "deptId": {"_neq": 5}}, "e.title = :v and e.deptId <> 5", {"v": "Coordinator"}),
    ({"id": {"_gt": 3, "_lte": 10}}, "e.id > 3 and e.id <= 10", {}),
    ({"id": {"_gte": 3, "_lt": 11}}, "e.id >= 3 and e.id < 11", {}),
    ({"deptId": {"_in": [2, 3]}}, "e.deptId in (2, 3)", {}),
    ({"id": {"_nin": [1, 2, 3]}}, "e.id not in (1, 2, 3)", {}),
    ({"name": {"_like": "%d_e%"}}, "e.name like :v", {"v": "%d_e%"}),
    ({"title": {"_contains": "Sales"}}, "e.title like :v", {"v": "%Sales%"}),
    ({"name": {"_starts_with": "D"}}, "e.name like :v", {"v": "D%"}),
    ({"code": {"_ends_with": "1"}}, "e.code like :v", {"v": "%1"}),
    ({"managerId": {"_null": True}}, "e.managerId is null", {}),
    ({"managerId": {"_null": False}}, "e.managerId is not null", {}),
    ({"managerId": None}, "e.managerId is null", {}),
    ({"managerId": {"_neq": None}}, "e.managerId is not null", {}),
    ({"id": {"_between": [3, 7]}}, "e.id between 3 and 7", {}),
    ({"hiredOn": {"_between": ["2014-01-01", "2014-12-31"]}}, "e.hiredOn between :a and :b",
     {"a": "2014-01-01", "b": "2014-12-31"}),
    ({"d.name": {"_in": ["North Sales", "South Sales"]}}, "d.name in ('North Sales', 'South Sales')", {}),
    ({"_or": [{"deptId": 2}, {"_and": [{"id": {"_gt": 5}}, {"_not": {"title": {"_contains": "Head"}}}]}]},
     "e.deptId = 2 or (e.id > 5 and not (e.title like '%Head%'))", {}),
    ({"_not": {"_or": [{"deptId": 3}, {"managerId": None}]}}, "not (e.deptId = 3 or e.managerId is null)", {}),
    ({"_and": [{"deptId": {"_gte": 2}}, {"_or": [{"title": {"_starts_with": "Head"}}, {"id": {"_lt": 4}}]}]},
     "e.deptId >= 2 and (e.title like 'Head%' or e.id < 4)", {}),
]


@pytest.mark.parametrize("login", USERS)
@pytest.mark.parametrize("where, cond, params", EMPLOYEE_FILTERS)
def test_employee_filters(it, business_db, users, login, where, cond, params):
    rows = it.search_rows(business_db, users[login], "employee", {"where": where})
    expected = it.oracle_ids(business_db.db, "employee", users.demo[login], cond, **params)
    assert it.ids(rows) == expected
    assert expected or login != "ada", "a filter that matches nothing proves little"


@pytest.mark.parametrize("login", ("ada", "sam", "sue", "mia"))
@pytest.mark.parametrize("model, key, cond", [
    ("employee", "an", EMPLOYEE_KEY),
    ("employee", "E0003", EMPLOYEE_KEY),
    ("employee", "Sales", EMPLOYEE_KEY),
    ("employee", "no such text", EMPLOYEE_KEY),
    ("customer", "ar", "c.code like :k or c.name like :k or c.city like :k or c.code = :raw"),
    ("order", "paid", "o.code like :k or cu.name like :k or o.code = :raw or o.status = :raw"),
    ("order", "Raven", "o.code like :k or cu.name like :k or o.code = :raw or o.status = :raw"),
    ("order_line", "Bolt", "pr.name like :k"),
    ("sales_by_department", "Sales", None),
])
def test_keyword_search(it, business_db, users, login, model, key, cond):
    rows = it.search_rows(business_db, users[login], model, {"key": key})
    if cond is None:  # an SQL-defined model: the department's code and name
        cond = "o.orgId in (select id from department where code like :k or name like :k or code = :raw)"
    expected = it.oracle_ids(business_db.db, model, users.demo[login], cond, k=f"%{key}%", raw=key)
    assert it.ids(rows) == expected
    assert expected or login != "ada" or key == "no such text"


@pytest.mark.parametrize("login", USERS)
@pytest.mark.parametrize("model, where, cond", [
    ("order", {"status": {"_in": ["paid", "shipped"]}, "customerId": {"_lte": 6}},
     "o.status in ('paid', 'shipped') and o.customerId <= 6"),
    ("order", {"orderedOn": {"_gte": "2025-01-01"}, "status": {"_nin": ["cancelled"]}},
     "o.orderedOn >= '2025-01-01' and o.status not in ('cancelled')"),
    ("order_line", {"qty": {"_gte": 10}, "productId": {"_in": [1, 2, 3]}}, "l.qty >= 10 and l.productId in (1, 2, 3)"),
    ("customer", {"city": {"_in": ["Milan", "Vienna"]}}, "c.city in ('Milan', 'Vienna')"),
])
def test_filters_on_other_models(it, business_db, users, login, model, where, cond):
    rows = it.search_rows(business_db, users[login], model, {"where": where})
    assert it.ids(rows) == it.oracle_ids(business_db.db, model, users.demo[login], cond)


@pytest.mark.parametrize("login", USERS)
@pytest.mark.parametrize("model, order, oracle_order", [
    ("employee", None, "e.name, e.id"),
    ("employee", [{"name": "desc"}, "id"], "e.name desc, e.id"),
    ("employee", [{"d.name": "asc"}, {"hiredOn": "DESC"}, {"id": "desc"}], "d.name, e.hiredOn desc, e.id desc"),
    ("employee", ["title", {"code": "desc"}], "e.title, e.code desc"),
    ("customer", None, "c.name, c.id"),
    ("customer", {"city": "desc"}, "c.city desc, c.name, c.id"),
    ("order", None, "o.orderedOn desc, o.id"),
    ("order", [{"customerId": "asc"}, {"code": "desc"}], "o.customerId, o.code desc"),
])
def test_ordering(it, business_db, users, login, model, order, oracle_order):
    args = {"order": order} if order else {}
    rows = it.search_rows(business_db, users[login], model, args)
    expected = it.oracle_ids(business_db.db, model, users.demo[login], order=oracle_order)
    assert [row["id"] for row in rows] == expected


JOINED_NAMES = ("select e.id, d.name from employee e "
                "left join department d on d.id = e.deptId and d.name = :dept where {}")


@pytest.mark.parametrize("login", USERS)
def test_join_condition_narrows_the_join_not_the_rows(it, business_db, users, login):
    db, user = business_db.db, users.demo[login]
    visible = it.oracle_ids(db, "employee", user)
    join_cond = {"d": {"d.name": "South Sales"}}
    rows = it.search_rows(business_db, users[login], "employee", {"joinCond": join_cond})
    expected = {r["id"]: r["name"] for r in db.query(JOINED_NAMES.format("1 = 1"), dept="South Sales")
                if r["id"] in visible}
    assert {r["id"]: r["d.name"] for r in rows} == expected
    assert "South Sales" in expected.values()

    # the same join condition with a filter on the joined name
    rows = it.search_rows(business_db, users[login], "employee",
                      {"joinCond": join_cond, "where": {"d.name": {"_null": False}}})
    expected = {r["id"] for r in db.query(JOINED_NAMES.format("d.name is not null"), dept="South Sales")}
    assert it.ids(rows) == expected & visible


@pytest.mark.parametrize("login", ("ada", "sam", "sue"))
def test_distinct_model(it, business_db, users, login, throwaway_models):
    db, user = business_db.db, users.demo[login]
    rows = it.search_rows(business_db, users[login], it.DISTINCT_MODEL)
    sql = "select {} c.city from customer c" + (" where c.orgId = :org" if it.is_restricted(user) else "")
    expected = [r["city"] for r in db.query(sql.format("distinct"), org=user.orgId)]
    assert Counter(r["city"] for r in rows) == Counter(expected)
    if login == "ada":  # without distinct the cities would repeat
        assert len(db.query(sql.format(""))) > len(expected)
