"""Several row rules of one user: a search requires all of them, a
single-record read admits a row that meets any one, whatever the rules
hold themselves."""

import pytest
from sqlalchemy import delete, select

from ornivell.db import schema


@pytest.fixture(scope="module")
def city_rule(business_db, users):
    """Gives the sales role a second customer rule, an "or" of two cities
    (one of them a city of Sam's customers), under the model's and the
    table's name; yields the rule."""
    db, dp = business_db.db, business_db.dp
    own = sorted({r["city"] for r in db.query("select city from customer where orgId = :org", org=users["sam"].orgId)})
    other = sorted({r["city"] for r in db.query("select city from customer")} - {own[0]})
    rule = f"c.city = '{own[0]}' or c.city = '{other[0]}'"
    with db.engine.begin() as connection:
        sales = connection.execute(select(schema.role.c.id).where(schema.role.c.name == "sales")).scalar_one()
        rules = [connection.execute(schema.acl_data.insert(), {"model": key, "name": "sales: two cities",
                                                               "cond": rule}).inserted_primary_key[0]
                 for key in ("customer", "customer")]
        connection.execute(schema.role_acl_data.insert(), [{"roleId": sales, "aclDataId": r} for r in rules])
    dp.clear_cache()
    yield rule
    with db.engine.begin() as connection:
        connection.execute(delete(schema.role_acl_data).where(schema.role_acl_data.c.aclDataId.in_(rules)))
        connection.execute(delete(schema.acl_data).where(schema.acl_data.c.id.in_(rules)))
    dp.clear_cache()


def _customers(db, cond, **params):
    return {row["id"] for row in db.query(f"select c.id from customer c where {cond}", **params)}


def test_a_search_requires_every_rule(it, business_db, users, city_rule):
    sam = users["sam"]
    expected = _customers(business_db.db, f"c.orgId = :org and ({city_rule})", org=sam.orgId)
    assert expected, "the demo should have customers of Sam's department in those cities"
    assert it.ids(it.search_rows(business_db, sam, "customer")) == expected


def test_a_single_record_read_admits_any_rule(business_db, users, city_rule):
    sam, db = users["sam"], business_db.db
    admitted = _customers(db, f"c.orgId = :org or ({city_rule})", org=sam.orgId)
    refused = _customers(db, "1 = 1") - admitted
    assert admitted and refused
    for customer_id in (min(admitted), max(admitted), min(refused)):
        row, status = business_db.dp.query_one(sam, "customer", customer_id)
        assert status == 200 and bool(row) == (customer_id in admitted)
