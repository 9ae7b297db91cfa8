"""The cache of models and grants: what a request read before the host's
clear_cache() is never stored after it, and a bounded cache gives the same
answers as an unbounded one."""

import pytest
from sqlalchemy import delete, select, update

from ornivell.db import schema
from ornivell.db._dbplus import DbPlus
from ornivell.db.demo.models import MODEL_NAMES


def _sales(connection):
    return connection.execute(select(schema.role.c.id).where(schema.role.c.name == "sales")).scalar_one()


def _city_prop(connection):
    prop = schema.prop
    return connection.execute(select(prop.c.id).where(prop.c.model == "customer", prop.c.name == "city")).scalar_one()


def _revoke_query(connection):
    a, s, rf = schema.acl_func, schema.resource, schema.role_acl_func
    grant = connection.execute(
        select(rf.c.id, rf.c.roleId, rf.c.aclFuncId).join(a, a.c.id == rf.c.aclFuncId).join(s, s.c.id == a.c.resourceId)
        .where(rf.c.roleId == _sales(connection), s.c.resource == "customer", a.c.funcKey == "queryEnabled")).one()
    connection.execute(delete(rf).where(rf.c.id == grant.id))
    return lambda c: c.execute(rf.insert(), dict(grant._mapping))


def _add_rule(connection):
    rule = connection.execute(schema.acl_data.insert(), {"model": "customer", "name": "none", "cond": "1 = 0"})
    rule_id = rule.inserted_primary_key[0]
    connection.execute(schema.role_acl_data.insert(), {"roleId": _sales(connection), "aclDataId": rule_id})

    def undo(c):
        c.execute(delete(schema.role_acl_data).where(schema.role_acl_data.c.aclDataId == rule_id))
        c.execute(delete(schema.acl_data).where(schema.acl_data.c.id == rule_id))
    return undo


def _hide_city(connection):
    role_id, prop_id = _sales(connection), _city_prop(connection)
    connection.execute(schema.role_prop.insert(), {"roleId": role_id, "propId": prop_id})
    rp = schema.role_prop
    return lambda c: c.execute(delete(rp).where(rp.c.roleId == role_id, rp.c.propId == prop_id))


def _unselect_city(connection):
    prop = schema.prop
    prop_id = _city_prop(connection)
    connection.execute(update(prop).where(prop.c.id == prop_id).values(selectEnabled=0))
    return lambda c: c.execute(update(prop).where(prop.c.id == prop_id).values(selectEnabled=1))


def _refused(dp, sam):
    return dp.search(sam, "customer")[1] == 403


def _no_rows(dp, sam):
    return dp.search_all(sam, "customer")[0] == []


def _no_city(dp, sam):
    rows = dp.search_all(sam, "customer")[0]
    return rows and all("city" not in row for row in rows)


# per cached kind: a text of the statement that reads it, the change made
# while it reads (returning its undo), and what shows the change
CHANGES = {
    "function permissions": ("_role_acl_func rf", _revoke_query, _refused),
    "data permissions": ("from _acl_data a", _add_rule, _no_rows),
    "property permissions": ("JOIN _role_prop", _hide_city, _no_city),
    "models": ("select * from _prop where model", _unselect_city, _no_city),
}


@pytest.mark.parametrize("kind", CHANGES)
def test_a_change_made_while_a_request_reads_is_seen_after_the_clear(business_db, users, monkeypatch, kind):
    db, dp, sam = business_db.db, business_db.dp, users["sam"]
    marker, change, shows = CHANGES[kind]
    read = db.query
    undo = []

    def query_then_change(*args, **params):
        [sql] = args  # positional, as the handle's own: a parameter may be named sql
        rows = read(sql, **params)
        if marker in sql and not undo:
            # the host changes the table and reports it while the request still holds the old rows
            with db.engine.begin() as connection:
                undo.append(change(connection))
            dp.clear_cache()
        return rows

    dp.clear_cache()
    monkeypatch.setattr(db, "query", query_then_change)
    try:
        dp.search(sam, "customer")
        assert undo, "the statement was read"
        monkeypatch.undo()
        assert shows(dp, sam)
    finally:
        monkeypatch.undo()
        with db.engine.begin() as connection:
            for step in undo:
                step(connection)
        dp.clear_cache()


def test_a_bounded_cache_gives_the_answers_of_an_unbounded_one(business_db, users):
    unbounded, bounded = DbPlus(business_db.db), DbPlus(business_db.db)
    unbounded.cache_limit, bounded.cache_limit = None, 3
    for _ in range(2):
        for login, user in users.items():
            for model in MODEL_NAMES:
                assert bounded.search_all(user, model) == unbounded.search_all(user, model)
                assert bounded.query_one(user, model, 1) == unbounded.query_one(user, model, 1)
                assert len(bounded.cache) <= 3
    assert len(unbounded.cache) > 3
