"""The demo database on every engine: it stores exactly the generated rows,
and every user's searches show the rows and columns that their roles grant."""

from decimal import Decimal

import pytest

from ornivell.db.demo import ROLES, USERS
from ornivell.db.demo.models import MODEL_NAMES, model_named
from ornivell.db.demo.tables import metadata


@pytest.fixture(scope="module")
def generated(business_db, expected_rows):
    return expected_rows(business_db.summary.scale, business_db.summary.seed)


def test_tables_hold_exactly_the_generated_rows(business_db, generated, stored_rows):
    assert business_db.summary.counts == {table: len(rows) for table, rows in generated.items()}
    assert stored_rows(business_db.db) == generated


def test_rows_added_later_get_fresh_ids(business_db):
    department = metadata.tables["department"]
    with business_db.db.engine.connect() as connection:  # rolled back on leaving
        added = connection.execute(department.insert(), {"code": "NEW", "name": "New"})
        assert added.inserted_primary_key[0] == business_db.summary.counts["department"] + 1


def _granted(user, model):
    return any(model in role.grants and "queryEnabled" in role.grants[model]
               for role in ROLES if role.name in user.roles)


def _hidden(user, model):
    return {name for role in ROLES if role.name in user.roles for name in role.hidden.get(model, ())}


def _visible_ids(data, model, user):
    """Row ids the user may see: sales staff only those of their department."""
    orders = {order["id"]: order for order in data["sales_order"]}
    own = {
        "employee": ("employee", lambda row: row["deptId"] == user.orgId),
        "customer": ("customer", lambda row: row["orgId"] == user.orgId),
        "product": ("product", lambda row: True),
        "order": ("sales_order", lambda row: row["orgId"] == user.orgId),
        "order_line": ("order_line", lambda row: orders[row["orderId"]]["orgId"] == user.orgId),
        "quote": ("quote", lambda row: row["orgId"] == user.orgId),
        "project": ("project", lambda row: True),
        "project_member": ("project_member", lambda row: True),
        "department": ("department", lambda row: True),
    }
    table, keep = own[model]
    return {row["id"] for row in data[table] if "sales" not in user.roles or keep(row)}


def _revenue_by_department(data, user):
    orders = {order["id"]: order for order in data["sales_order"] if order["status"] != "cancelled"}
    revenue = {}
    for line in data["order_line"]:
        order = orders.get(line["orderId"])
        if order and ("sales" not in user.roles or order["orgId"] == user.orgId):
            revenue[order["orgId"]] = revenue.get(order["orgId"], 0) + line["qty"] * line["unitPrice"]
    return revenue


@pytest.mark.parametrize("model", MODEL_NAMES)
@pytest.mark.parametrize("user", USERS, ids=lambda user: user.login)
def test_each_user_sees_what_the_roles_grant(business_db, generated, user, model):
    page, status = business_db.dp.search(user.as_user(), model, {"limit": 1000, "doCount": 1})
    if not _granted(user, model):
        assert status == 403
        return
    assert status == 200 and page.total == len(page.data)
    names = {prop["name"] for prop in model_named(model).props}
    assert all(names - _hidden(user, model) <= set(row) for row in page.data)
    assert all(_hidden(user, model).isdisjoint(row) for row in page.data)
    if model == "sales_by_department":
        shown = {row["id"]: Decimal(str(row["revenue"])) for row in page.data}
        assert shown == _revenue_by_department(generated, user)
    else:
        assert {row["id"] for row in page.data} == _visible_ids(generated, model, user)


@pytest.mark.parametrize("model, table", [("customer", "customer"), ("order", "sales_order")])
def test_a_record_is_read_under_the_same_rules(business_db, generated, model, table):
    sales = business_db.summary.users_in("sales")[0]
    own, other = ([row["id"] for row in generated[table] if (row["orgId"] == sales.orgId) == mine][0]
                  for mine in (True, False))
    read = business_db.dp.query_one
    assert read(sales.as_user(), model, own)[0]["id"] == own
    assert read(sales.as_user(), model, other) == (None, 200)
    assert read(business_db.summary.user("admin"), model, other)[0]["id"] == other
