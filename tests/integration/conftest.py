"""Shared helpers for the tests against real databases: the demo users by
login, what the demo grants them, a plain-SQL oracle of the rows each user
may see, statement counting, table snapshots and throwaway models."""

import sys
from contextlib import contextmanager

import pytest
from sqlalchemy import delete, event, select

from ornivell.db import schema
from ornivell.db.demo import ROLES
from ornivell.db.demo.models import model_named

@pytest.fixture(scope="session")
def it():
    """This module, for its helpers (test modules cannot import a conftest)."""
    return sys.modules[__name__]


# per model: the rows, and the column that sales rules compare with the user's orgId
ORACLE_BASE = {
    "employee": ("select e.id from employee e left join department d on d.id = e.deptId where 1 = 1", "e.deptId"),
    "customer": ("select c.id from customer c where 1 = 1", "c.orgId"),
    "product": ("select p.id from product p where 1 = 1", None),
    "order": ("select o.id from sales_order o left join customer cu on cu.id = o.customerId where 1 = 1",
              "o.orgId"),
    "order_line": ("select l.id from order_line l join sales_order so on so.id = l.orderId "
                   "left join product pr on pr.id = l.productId where 1 = 1", "so.orgId"),
    "sales_by_department": ("select distinct o.orgId as id from sales_order o "
                            "join order_line l on l.orderId = o.id where o.status <> 'cancelled'", "o.orgId"),
    "quote": ("select q.id from quote q where 1 = 1", "q.orgId"),
    "project": ("select pj.id from project pj where 1 = 1", None),
    "project_member": ("select pm.id from project_member pm where 1 = 1", None),
    "department": ("select d.id from department d where 1 = 1", None),
}


def _roles(demo_user):
    return [role for role in ROLES if role.name in demo_user.roles]


def granted_ops(demo_user, model):
    return {op for role in _roles(demo_user) for op in role.grants.get(model, ())}


def hidden_props(demo_user, model):
    return {name for role in _roles(demo_user) for name in role.hidden.get(model, ())}


def row_rules(demo_user, key):
    """(model, cond, join, order) of the rules looked up under ``key`` (a
    model name for searches, a main table name for single-record reads)."""
    return {(key, rule.cond, rule.join, rule.order)
            for role in _roles(demo_user) for rule in role.rules
            if key in (rule.model, model_named(rule.model).table)}


def is_restricted(demo_user):
    return "sales" in demo_user.roles


class Users(dict):
    """``users["sam"]`` is the mapping ``DbPlus`` takes; ``users.demo["sam"]`` the demo record."""

    def __init__(self, summary):
        super().__init__((u.login, u.as_user()) for u in summary.users)
        self.demo = {u.login: u for u in summary.users}


@pytest.fixture(scope="module")
def users(business_db):
    return Users(business_db.summary)


def oracle_ids(db, model, demo_user, cond=None, order=None, **params):
    """Ids of ``model`` rows that ``demo_user`` may see and that meet ``cond``,
    as a list in ``order`` when given, else as a set."""
    sql, org_column = ORACLE_BASE[model]
    if org_column and is_restricted(demo_user):
        sql += f" and {org_column} = :oracle_org"
        params["oracle_org"] = demo_user.orgId
    if cond:
        sql += f" and ({cond})"
    if order:
        return [row["id"] for row in db.query(sql + " order by " + order, **params)]
    return {row["id"] for row in db.query(sql, **params)}


def search_rows(business_db, user, model, args=None):
    """The rows of ``search_all``, which must succeed."""
    rows, status = business_db.dp.search_all(user, model, args if args is not None else {})
    assert status == 200, rows
    return rows


def ids(rows):
    found = [row["id"] for row in rows]
    assert len(found) == len(set(found)), "a row came back twice"
    return set(found)


@contextmanager
def count_statements(db):
    """Every statement the engine sends while the block runs, whichever path sent it."""
    sent = []

    def record(conn, cursor, statement, parameters, context, executemany):
        sent.append(statement)

    event.listen(db.engine, "before_cursor_execute", record)
    try:
        yield sent
    finally:
        event.remove(db.engine, "before_cursor_execute", record)


def refused_silently(business_db):
    """``run(call)``: the ValueError message of ``call()``, which must send no statement."""
    def run(call):
        with count_statements(business_db.db) as sent:
            with pytest.raises(ValueError) as raised:
                call()
        assert sent == []
        return str(raised.value)
    return run


def snapshot(db):
    """All rows of every table, to prove that nothing was written."""
    with db.engine.connect() as connection:
        return {name: connection.execute(select(table).order_by(*table.primary_key.columns)).all()
                for name, table in sorted(db.tables.items())}


def like_text(text):
    """``text`` as a LIKE pattern with ``!`` as escape character, matching only itself."""
    for special in "!%_":
        text = text.replace(special, "!" + special)
    return text


# a model with distinctEnabled, and one with more rows than a page may hold
DISTINCT_MODEL = "customer_city"
GRID_MODEL = "line_grid"
GRID_SQL = ("select l.id * 10 + d.id as id, l.id as line_id, d.id as dept_id "
             "from order_line l cross join department d")
_THROWAWAY = (
    ({"model": DISTINCT_MODEL, "table": "customer", "alias": "c", "distinctEnabled": 1, "displayName": "Cities"},
     [{"name": "city", "column": "city", "table": "customer"}], ("admin", "sales")),
    ({"model": GRID_MODEL, "table": GRID_MODEL, "alias": None, "sql": GRID_SQL, "orderBy": f"{GRID_MODEL}.id",
      "displayName": "Grid"},
     [{"name": n, "column": n, "table": GRID_MODEL} for n in ("id", "line_id", "dept_id")], ("admin",)),
)


@contextmanager
def seeded(business_db):
    """``insert(connection, table, row)`` inside the block adds a row (and
    returns its id) that is deleted again when the block ends; the cache is
    cleared at both ends."""
    db, dp = business_db.db, business_db.dp
    added = []

    def insert(connection, table, row):
        key = connection.execute(table.insert(), row).inserted_primary_key[0]
        added.append((table, key))
        return key

    try:
        yield insert
    finally:
        with db.engine.begin() as connection:
            for table, key in reversed(added):
                connection.execute(delete(table).where(table.c.id == key))
        dp.clear_cache()


def role_ids(connection):
    return dict(connection.execute(select(schema.role.c.name, schema.role.c.id)).all())


def grant_query(insert, connection, model, roles):
    """Lets the holders of ``roles`` (ids) search ``model``."""
    resource = insert(connection, schema.resource, {"resource": model, "type": "model"})
    func = insert(connection, schema.acl_func, {"resourceId": resource, "funcKey": "queryEnabled"})
    for role in roles:
        insert(connection, schema.role_acl_func, {"roleId": role, "aclFuncId": func})


@pytest.fixture(scope="module")
def throwaway_models(business_db):
    """Adds the two models (sales users get a row rule on the first) and removes them afterwards."""
    with seeded(business_db) as insert:
        with business_db.db.engine.begin() as connection:
            roles = role_ids(connection)
            for model, props, granted in _THROWAWAY:
                insert(connection, schema.model, model)
                for prop in props:
                    insert(connection, schema.prop, {**prop, "model": model["model"], "selectEnabled": 1,
                                                     "filterEnabled": 1, "orderEnabled": 1})
                grant_query(insert, connection, model["model"], [roles[role] for role in granted])
            rule = insert(connection, schema.acl_data, {"model": DISTINCT_MODEL, "name": "sales: cities",
                                                        "cond": "c.orgId = $user.orgId"})
            insert(connection, schema.role_acl_data, {"roleId": roles["sales"], "aclDataId": rule})
        business_db.dp.clear_cache()
        yield


@pytest.fixture
def writes_undone(business_db):
    """The demo's written tables (quotes, project members, sequence counters)
    are put back as they were after the test."""
    from ornivell.db.demo.tables import project_member, quote

    tables = (quote, project_member, schema.seq_value)
    with business_db.db.engine.connect() as connection:
        saved = {table: [dict(row._mapping) for row in connection.execute(select(table))] for table in tables}
    yield
    with business_db.db.engine.begin() as connection:
        for table, rows in saved.items():
            connection.execute(delete(table))
            if rows:
                connection.execute(table.insert(), rows)


def quote_counter(db, org):
    """The last quote number issued to department ``org``, 0 before the first."""
    row = db.query_one("select v.value from _seq_value v join _seq s on s.id = v.seqId "
                       "where s.name = 'quote_no' and v.orgId = :org", org=org)
    return row["value"] if row else 0
