"""Several row rules of one user: a search and every single-record path
require all of them, whatever the rules hold themselves."""

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


def test_single_record_paths_require_every_rule_too(business_db, users, city_rule):
    # a rule only ever narrows: get, update and delete see the rows a search sees
    sam, db, dp = users["sam"], business_db.db, business_db.dp
    admitted = _customers(db, f"c.orgId = :org and ({city_rule})", org=sam.orgId)
    own_but_narrowed = _customers(db, "c.orgId = :org", org=sam.orgId) - admitted
    assert admitted and own_but_narrowed
    for customer_id in (min(admitted), max(admitted), min(own_but_narrowed)):
        row, status = dp.query_one(sam, "customer", customer_id)
        assert status == 200 and bool(row) == (customer_id in admitted)
    hidden = min(own_but_narrowed)
    before = db.query_one("select * from customer where id = :id", id=hidden)
    assert dp.update(sam, "customer", {"id": hidden, "name": "Renamed"})[1] == 403
    assert dp.delete(sam, "customer", hidden)[1] == 403
    assert db.query_one("select * from customer where id = :id", id=hidden) == before
