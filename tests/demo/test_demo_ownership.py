"""The demo is built only where everything is its own, beside other tables
and roles only when asked, and never over a table it did not make; a
refusal changes nothing."""

import math

import pytest
from sqlalchemy import Column, Integer, MetaData, String, Table, inspect, select

from ornivell.db import schema
from ornivell.db.demo import MAX_SCALE, ForeignDatabase, build_demo
from ornivell.db.schema import create_metadata_tables

SCALE = 0.1

_theirs = MetaData()
# a table of another application, and one whose name the demo uses too (as Chinook's Employee)
ALBUM = Table("Album", _theirs, Column("id", Integer, primary_key=True), Column("title", String(50)))
EMPLOYEE = Table("Employee", _theirs, Column("EmployeeId", Integer, primary_key=True),
                 Column("LastName", String(20)))


@pytest.fixture
def fresh(make_database, engine_name):
    return make_database(engine_name)


def contents(db):
    """Every table's rows, by table name."""
    with db.engine.connect() as connection:
        found = MetaData()
        found.reflect(connection)
        return {name: sorted(connection.execute(select(table)).all()) for name, table in found.tables.items()}


def add_theirs(db, *tables):
    with db.engine.begin() as connection:
        for table in tables:
            table.create(connection)
            connection.execute(table.insert(), [{table.c[1].name: f"kept {n}"} for n in (1, 2)])


def add_role(db, name):
    create_metadata_tables(db)
    with db.engine.begin() as connection:
        role = connection.execute(schema.role.insert(), {"name": name}).inserted_primary_key[0]
        connection.execute(schema.role_acl_func.insert(), {"roleId": role, "aclFuncId": 99})


@pytest.mark.parametrize("replace", [False, True])
def test_a_table_of_a_demo_name_that_the_demo_did_not_make_stops_it(fresh, replace):
    add_theirs(fresh, EMPLOYEE, ALBUM)
    before = contents(fresh)
    with pytest.raises(ForeignDatabase, match=r"named like the demo's .*\(Employee\); build the demo in another"):
        build_demo(fresh, scale=SCALE, replace=replace)
    assert contents(fresh) == before


@pytest.mark.parametrize("theirs, message", [
    (lambda db: add_theirs(db, ALBUM), "holds the table Album that"),
    (lambda db: add_role(db, "manager"), "holds the role manager that"),
    (lambda db: (add_theirs(db, ALBUM), add_role(db, "manager")), "holds the table Album and the role manager"),
], ids=["table", "role", "both"])
def test_other_tables_and_roles_stop_it_unless_asked_to_build_beside_them(fresh, theirs, message):
    theirs(fresh)
    before = contents(fresh)
    with pytest.raises(ForeignDatabase, match=message + ".*give --replace"):
        build_demo(fresh, scale=SCALE)
    assert contents(fresh) == before

    for _ in range(2):
        summary = build_demo(fresh, scale=SCALE, replace=True)
    after = contents(fresh)
    assert {name: rows for name, rows in after.items() if name in before and not name.startswith("_")} == {
        name: rows for name, rows in before.items() if not name.startswith("_")}
    assert set(before.get("_role", ())) <= set(after["_role"])
    assert set(before.get("_role_acl_func", ())) <= set(after["_role_acl_func"])
    assert len(after["employee"]) == summary.counts["employee"]


def test_the_demo_builds_again_on_its_own_database(fresh, stored_rows, expected_rows):
    build_demo(fresh, scale=SCALE, seed=3)
    summary = build_demo(fresh, scale=SCALE, seed=4)
    assert summary.seed == 4 and stored_rows(fresh) == expected_rows(SCALE, 4)


@pytest.mark.parametrize("scale", [0, -1, math.nan, math.inf, 1e300, MAX_SCALE * 1.01])
def test_a_scale_out_of_bounds_is_refused_before_anything_is_written(fresh, scale):
    with pytest.raises(ValueError, match=f"at most {MAX_SCALE}"):
        build_demo(fresh, scale=scale)
    assert inspect(fresh.engine).get_table_names() == []


def own_admin(db, grant, holder):
    create_metadata_tables(db)
    with db.engine.begin() as connection:
        role = connection.execute(schema.role.insert(), {"name": "admin"}).inserted_primary_key[0]
        if grant:
            resource = connection.execute(schema.resource.insert(), {"resource": "crm", "type": "model",
                                                                     "name": "CRM"}).inserted_primary_key[0]
            func = connection.execute(schema.acl_func.insert(), {"resourceId": resource,
                                                                 "funcKey": "queryEnabled"}).inserted_primary_key[0]
            connection.execute(schema.role_acl_func.insert(), {"roleId": role, "aclFuncId": func})
        if holder:
            connection.execute(schema.user_role.insert(), {"userId": 42, "roleId": role})


@pytest.mark.parametrize("grant, holder", [(True, False), (False, True)], ids=["grant", "user"])
def test_a_role_of_the_users_named_like_a_demo_role_is_left_alone(fresh, grant, holder):
    own_admin(fresh, grant, holder)
    before = contents(fresh)
    with pytest.raises(ForeignDatabase, match=r"^the database has roles named like the demo's .*\(admin\)"):
        build_demo(fresh, scale=SCALE, replace=True)
    assert contents(fresh) == before
