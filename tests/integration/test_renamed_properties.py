"""Properties named otherwise than their columns, on a model whose tables
share column names (code, name), joined in each way a stored join text can
name a table: by an alias it gives, by its own name."""

import pytest

from ornivell.db import schema

MODEL = "order_parties"
JOINS = (
    # (table, alias column, stored join text): the FROM clause knows them as cust, seller, department
    ("customer", "cust", "left join customer cust on cust.id = o.customerId"),
    ("employee", None, "left join employee as seller on seller.id = o.sellerId"),
    ("department", "dep", "left join department on department.id = o.orgId"),
)
PROPS = (
    # (name, table, column, flags)
    ("id", "sales_order", "id", {}),
    ("orderCode", "sales_order", "code", {"matchEnabled": 1}),
    ("customerName", "customer", "name", {"searchEnabled": 1}),
    ("sellerName", "employee", "name", {"searchEnabled": 1}),
    ("departmentName", "department", "name", {}),
    ("cust.city", "customer", "city", {}),
)
# the same columns, in the same order, written by hand
ORACLE = ("select o.id as c1, o.code as c2, cust.name as c3, seller.name as c4, department.name as c5, "
          "cust.city as c6 from sales_order o "
          "left join customer cust on cust.id = o.customerId left join employee seller on seller.id = o.sellerId "
          "left join department on department.id = o.orgId where 1 = 1")


@pytest.fixture(scope="module")
def parties(it, business_db):
    with it.seeded(business_db) as insert:
        with business_db.db.engine.begin() as connection:
            insert(connection, schema.model, {"model": MODEL, "table": "sales_order", "alias": "o",
                                              "displayName": "Order parties"})
            for order, (table, alias, join) in enumerate(JOINS, start=1):
                insert(connection, schema.model_table,
                       {"model": MODEL, "table": table, "alias": alias, "join": join, "order": order})
            for position, (name, table, column, flags) in enumerate(PROPS, start=1):
                insert(connection, schema.prop,
                       {"model": MODEL, "name": name, "table": table, "column": column, "displayOrder": position,
                        "selectEnabled": 1, "filterEnabled": 1, "orderEnabled": 1, **flags})
            it.grant_query(insert, connection, MODEL, [it.role_ids(connection)["admin"]])
        business_db.dp.clear_cache()
        yield


def searched(it, business_db, users, args):
    rows = it.search_rows(business_db, users["ada"], MODEL, args)
    return [tuple(row[name] for name, *_ in PROPS) for row in rows]


def oracle(business_db, cond="1 = 1", order="o.id", **params):
    rows = business_db.db.query(f"{ORACLE} and ({cond}) order by {order}", **params)
    return [tuple(row[f"c{n}"] for n in range(1, len(PROPS) + 1)) for row in rows]


@pytest.mark.parametrize("where, cond, params", [
    ({}, "1 = 1", {}),
    ({"orderCode": {"_in": ["SO-000003", "SO-000010"]}}, "o.code in ('SO-000003', 'SO-000010')", {}),
    ({"customerName": {"_contains": "a"}}, "cust.name like :v", {"v": "%a%"}),
    ({"sellerName": {"_starts_with": "S"}}, "seller.name like :v", {"v": "S%"}),
    ({"departmentName": "North Sales"}, "department.name = :v", {"v": "North Sales"}),
    ({"cust.city": {"_neq": "Milan"}, "departmentName": {"_neq": "East Sales"}},
     "cust.city <> :v and department.name <> :w", {"v": "Milan", "w": "East Sales"}),
], ids=["all", "main table", "alias of the join text", "alias after as", "table named by the join text", "dotted"])
def test_filters_name_each_table_as_the_from_clause_does(it, business_db, users, parties, where, cond, params):
    expected = oracle(business_db, cond, **params)
    assert expected, "a filter that matches nothing proves little"
    assert sorted(searched(it, business_db, users, {"where": where})) == expected


@pytest.mark.parametrize("key", ["er", "SO-000007"])
def test_keyword_and_ordering_on_renamed_properties(it, business_db, users, parties, key):
    found = searched(it, business_db, users, {
        "key": key, "order": [{"sellerName": "desc"}, {"departmentName": "asc"}, {"orderCode": "desc"}]})
    expected = oracle(business_db, "cust.name like :k or seller.name like :k or o.code = :raw",
                      "seller.name desc, department.name asc, o.code desc", k=f"%{key}%", raw=key)
    assert expected and found == expected
    ordered = searched(it, business_db, users, {"order": [{"customerName": "asc"}, "orderCode"]})
    assert ordered == oracle(business_db, order="cust.name asc, o.code asc")
