"""Time of one statement build on a warm cache, against SQLAlchemy Core.

The model: 20 properties over a main table and 3 joined tables, 2 translated
properties, 2 data rules with user variables; the request has a keyword and a
filter. SQLAlchemy Core builds and compiles an equivalent SELECT in the same run.

    python bench/bench_build_sql.py [--calls N]
"""

import argparse
import tempfile
import timeit
from pathlib import Path

import sqlalchemy as sa

from ornivell.db._dbplus import DbPlus
from ornivell.db.db import Database, Dict
from ornivell.db.schema import create_metadata_tables

EMPLOYEE_COLUMNS = ["name", "code", "email", "phone", "title", "salary", "hired", "status", "city", "note",
                    "deptId", "managerId", "siteId", "orgId"]
REQUEST = {"key": "ann", "where": {"_and": [{"status": {"_in": [1, 2]}}, {"salary": {"_gte": 1000}}]}}


def business_tables(metadata):
    def table(name, *columns):
        return sa.Table(name, metadata, sa.Column("id", sa.Integer, primary_key=True), *columns)

    text = lambda name: sa.Column(name, sa.String(64))
    number = lambda name: sa.Column(name, sa.Integer)
    table("department", text("name"), text("code"), number("orgId"))
    table("site", text("name"), text("code"))
    table("project", text("name"), number("ownerId"))
    table("employee", *[number(c) if c.endswith("Id") or c in ("salary", "status") else text(c)
                        for c in EMPLOYEE_COLUMNS])


def seed_model(db):
    db.add("_model", dict(model="staff", table="employee", alias="e", displayName="Staff", where="e.status > 0"))
    joins = [("department", "d", "left join department d on d.id = e.deptId"),
             ("site", "s", "left join site s on s.id = e.siteId"),
             ("project", "p", "left join project p on p.ownerId = e.id")]
    for order, (table, alias, join) in enumerate(joins):
        db.add("_model_table", dict(model="staff", table=table, alias=alias, join=join, order=order))
    flags = dict(selectEnabled=1, filterEnabled=1, exportEnabled=0)
    for column in ["id"] + EMPLOYEE_COLUMNS:
        prop = dict(model="staff", name=column, table="employee", column=column, **flags)
        if column in ("name", "email"):
            prop["searchEnabled"] = 1
        if column == "code":
            prop["matchEnabled"] = 1
        if column == "name":
            prop.update(orderEnabled=1, orderAsDefault=1)
        if column == "deptId":
            prop.update(transTable="department.id", transColumns="name,code", transObjectName="dept")
        if column == "managerId":
            prop.update(transTable="employee.id", transColumns="name", transObjectName="mgr")
        db.add("_prop", prop)
    for name, table in (("d.name", "department"), ("s.name", "site"), ("p.name", "project"),
                        ("s.code", "site"), ("d.code", "department")):
        db.add("_prop", dict(model="staff", name=name, table=table, column=name.split(".")[1], **flags))


def seed_permissions(db, user_id):
    role = db.add("_role", dict(name="staff reader"))
    db.add("_user_role", dict(userId=user_id, roleId=role.id))
    resource = db.add("_resource", dict(resource="staff", type="model", name="Staff"))
    func = db.add("_acl_func", dict(resourceId=resource.id, funcKey="queryEnabled", name="query"))
    db.add("_role_acl_func", dict(roleId=role.id, aclFuncId=func.id))
    for cond in ("e.orgId = $user.orgId", "d.orgId = $user.orgId"):
        rule = db.add("_acl_data", dict(model="staff", name=cond, cond=cond, join="", order=0))
        db.add("_role_acl_data", dict(roleId=role.id, aclDataId=rule.id))


def core_statement(metadata, dialect):
    """The same SELECT written with SQLAlchemy Core, built and compiled once."""
    t = metadata.tables
    e, d, s, p = t["employee"].alias("e"), t["department"].alias("d"), t["site"].alias("s"), t["project"].alias("p")
    dept, mgr = t["department"].alias("dept"), t["employee"].alias("mgr")
    columns = [e.c[c] for c in ["id"] + EMPLOYEE_COLUMNS] + [
        d.c.name.label("d.name"), s.c.name.label("s.name"), p.c.name.label("p.name"), s.c.code.label("s.code"),
        d.c.code.label("d.code"), dept.c.name.label("dept.name"), dept.c.code.label("dept.code"),
        mgr.c.name.label("mgr.name")]
        
    joined = (e.outerjoin(d, d.c.id == e.c.deptId).outerjoin(s, s.c.id == e.c.siteId)
              .outerjoin(p, p.c.ownerId == e.c.id).outerjoin(dept, dept.c.id == e.c.deptId)
              .outerjoin(mgr, mgr.c.id == e.c.managerId))
    key = sa.bindparam("key", "%ann%")
    statement = (sa.select(*columns).select_from(joined)
                 .where(sa.and_(e.c.orgId == sa.bindparam("user_orgId", 1), d.c.orgId == sa.bindparam("user_orgId")))
                 .where(sa.or_(e.c.name.like(key), e.c.email.like(key), e.c.code == sa.bindparam("key_raw", "ann")))
                 .where(sa.and_(e.c.status.in_([1, 2]), e.c.salary >= 1000))
                 .where(e.c.status > 0)
                 .order_by(e.c.name.asc()))
    return str(statement.compile(dialect=dialect))


def per_call(function, calls):
    timer = timeit.Timer(function)
    best = min(timer.repeat(repeat=5, number=calls))
    return best / calls * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20000)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        db = Database(f"sqlite:///{Path(folder) / 'bench.sqlite3'}")
        create_metadata_tables(db)
        metadata = sa.MetaData()
        business_tables(metadata)
        metadata.create_all(db.engine)
        db.reflect()
        seed_model(db)
        seed_permissions(db, user_id=7)
        dbplus = DbPlus(db)
        user = Dict(id=7, orgId=3, name="bench")
        result, status = dbplus.build_sql(user, "staff", REQUEST)
        assert status == 200, result
        db.query(result.to_sql(), **result.params)  # the statement must run
        module = per_call(lambda: dbplus.build_sql(user, "staff", REQUEST), options.calls)
        rendered = per_call(lambda: dbplus.build_sql(user, "staff", REQUEST)[0].to_sql(), options.calls)
        core = per_call(lambda: core_statement(metadata, db.engine.dialect), max(options.calls // 20, 100))
        db.engine.dispose()
    print(f"build_sql, warm cache:            {module:8.2f} us per call")
    print(f"build_sql + to_sql:               {rendered:8.2f} us per call")
    print(f"SQLAlchemy Core build + compile:  {core:8.2f} us per call")
    print(f"ratio Core / build_sql:           {core / module:8.1f}x")


if __name__ == "__main__":
    main()
