"""Paging, row rules, hidden properties, column selection and single-record reads."""

import pytest

from ornivell.db.demo import ROLES, USERS
from ornivell.db.demo.models import MODEL_NAMES, model_named
from ornivell.db.jsql import JsonSqlError

LOGINS = tuple(user.login for user in USERS)
QUERYABLE = [(user.login, model) for user in USERS for model in MODEL_NAMES
             if any("queryEnabled" in role.grants.get(model, ()) for role in ROLES if role.name in user.roles)]


def visible_columns(it, demo_user, model):
    """Row keys a user should get: visible properties and their looked-up columns."""
    hidden = it.hidden_props(demo_user, model)
    keys = set()
    for prop in model_named(model).props:
        if prop["name"] in hidden:
            continue
        keys.add(prop["name"])
        if prop.get("transTable"):
            keys.update(f"{prop['transObjectName']}.{c}" for c in prop["transColumns"].split(","))
    return keys


@pytest.mark.parametrize("login", LOGINS)
@pytest.mark.parametrize("model", MODEL_NAMES)
def test_rows_and_columns_each_user_sees(it, business_db, users, login, model):
    demo_user = users.demo[login]
    rows, status = business_db.dp.search_all(users[login], model)
    if "queryEnabled" not in it.granted_ops(demo_user, model):
        assert (rows, status) == ({"message": f"无权限查询: {model_named(model).display}"}, 403)
        return
    assert status == 200
    assert it.ids(rows) == it.oracle_ids(business_db.db, model, demo_user)
    assert rows, "every user should see some rows of a model granted to them"
    for row in rows:
        assert set(row) == visible_columns(it, demo_user, model)


@pytest.mark.parametrize("login, model, limit", [
    ("sam", "order", 3), ("ada", "order_line", 40), ("mia", "customer", 1), ("carl", "product", 4),
    ("sue", "order_line", 7),
])
def test_pages_cover_every_row_once(it, business_db, users, login, model, limit):
    expected = it.oracle_ids(business_db.db, model, users.demo[login])
    seen, page = [], 1
    while True:
        result, status = business_db.dp.search(users[login], model, {"page": page, "limit": limit, "doCount": True})
        assert status == 200 and result.total == len(expected)
        assert len(result.data) <= limit
        if not result.data:
            break
        seen += [row["id"] for row in result.data]
        page += 1
    assert page - 1 == -(-len(expected) // limit)
    assert len(seen) == len(set(seen)) and set(seen) == expected


def test_page_size_is_capped(it, business_db, users, throwaway_models):
    dp, ada = business_db.dp, users["ada"]
    total = business_db.db.query(f"select count(*) as n from ({it.GRID_SQL}) g")[0]["n"]
    assert total > 1000
    first, _ = dp.search(ada, it.GRID_MODEL, {"limit": 5000, "doCount": True})
    assert (len(first.data), first.total) == (1000, total)
    second, _ = dp.search(ada, it.GRID_MODEL, {"limit": "5000", "page": 2})
    assert len(second.data) == total - 1000
    assert it.ids(first.data + second.data) == {r["id"] for r in business_db.db.query(it.GRID_SQL)}
    assert len(dp.search(ada, it.GRID_MODEL, {"limit": 999})[0].data) == 999
    assert len(dp.search(ada, it.GRID_MODEL, {})[0].data) == 10
    assert len(dp.search_all(ada, it.GRID_MODEL)[0]) == 1000


@pytest.mark.parametrize("login, model, args", [
    ("sam", "employee", {"where": {"salary": {"_gt": 0}}}),
    ("sam", "employee", {"order": [{"salary": "desc"}]}),
    ("mia", "product", {"where": {"unitCost": {"_null": False}}}),
    ("carl", "customer", {"order": "creditLimit"}),
    ("sam", "employee", {"joinCond": {"d": {"salary": 1}}}),
])
def test_hidden_property_cannot_be_filtered_or_ordered(business_db, users, login, model, args):
    with pytest.raises(JsonSqlError):
        business_db.dp.search(users[login], model, args)


@pytest.mark.parametrize("login, model, columns, keys", [
    ("ada", "employee", ["id", "name", "d.name"], {"id", "name", "d.name"}),
    ("ada", "employee", ("id", "managerId"), {"id", "managerId", "mgr.name", "mgr.code"}),
    ("sam", "employee", ["id", "salary", "title"], {"id", "title"}),
    ("ada", "employee", ["id", "salary"], {"id", "salary"}),
    ("sue", "order", ["code", "total", "status"], {"code", "total", "status"}),
    ("ada", "sales_by_department", ["id", "revenue"], {"id", "revenue"}),
])
def test_column_selection(it, business_db, users, login, model, columns, keys):
    dp, user = business_db.dp, users[login]
    rows, _ = dp.search_all(user, model, {"columns": columns})
    full = {row["id"]: row for row in dp.search_all(user, model)[0]}
    assert rows and all(set(row) == keys for row in rows)
    if "id" in keys:
        assert {row["id"]: row for row in rows} == {i: {k: full[i][k] for k in keys} for i in full}


@pytest.mark.parametrize("columns", ([], "id,name", {"id": 1}))
def test_column_selection_other_than_a_list_selects_all(it, business_db, users, columns):
    rows, _ = business_db.dp.search_all(users["ada"], "employee", {"columns": columns})
    assert all(set(row) == visible_columns(it, users.demo["ada"], "employee") for row in rows)


@pytest.mark.parametrize("login, key, found", [
    ("ada", "E0003", 3), ("sue", "E0003", 3), ("sam", "E0003", None), ("mia", "Head", 4),
])
def test_search_one(business_db, users, login, key, found):
    row, status = business_db.dp.search_one(users[login], "employee", {"key": key})
    assert status == 200
    assert (row and row["id"]) == found


def test_search_one_checks_permission(business_db, users):
    assert business_db.dp.search_one(users["carl"], "order", {}) == ({"message": "无权限查询: Orders"}, 403)


@pytest.mark.parametrize("login, model", QUERYABLE)
def test_query_one_applies_row_rules(it, business_db, users, login, model):
    dp, db, demo_user = business_db.dp, business_db.db, users.demo[login]
    visible = it.oracle_ids(db, model, demo_user)
    every = it.oracle_ids(db, model, users.demo["ada"])
    for id in (min(visible), max(visible)):
        row, status = dp.query_one(users[login], model, id)
        search_row, = dp.search_all(users[login], model, {"where": {"id": id}})[0]
        assert (row, status) == (search_row, 200)
    for id in sorted(every - visible)[:2]:
        assert dp.query_one(users[login], model, id) == (None, 200)
    assert dp.query_one(users[login], model, 10 ** 6) == (None, 200)


def test_query_one_unknown_model(business_db, users):
    assert business_db.dp.query_one(users["ada"], "no_such_model", 1) == ({"message": "no_such_model不存在"}, 404)
