"""Time of one statement build on a warm cache, against SQLAlchemy Core.

The model: 20 properties over a main table and 3 joined tables, 2 translated
properties, 2 data rules with user variables; the request has a keyword and a
filter. SQLAlchemy Core builds and compiles an equivalent SELECT in the same run.
Beside it: the same build on a cold cache (the first of a model, metadata read
from the database), and the module's part of a search on the demo (permission
check, build, rendering; the model "order", a keyword and a filter).

    python bench/bench_build_sql.py [--calls N] [--instructions] [--baseline PYTHON | --pythons PYTHON...]

``--instructions`` counts instructions per call with callgrind as well, which
compare across runs; ``--baseline`` runs the same figures with another
interpreter (say a virtualenv holding the build of main) and prints both;
``--pythons`` runs them with each interpreter given (say the virtualenvs of
three Python versions) and prints them side by side, against the first.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import timeit
from contextlib import ExitStack
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


def bench_scene(stack):
    """The benchmark's model in a new SQLite file: (the calls by case name, Core's metadata)."""
    folder = stack.enter_context(tempfile.TemporaryDirectory())
    db = Database(f"sqlite:///{Path(folder) / 'bench.sqlite3'}")
    stack.callback(db.engine.dispose)
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

    def cold():
        dbplus.clear_cache()
        return dbplus.build_sql(user, "staff", REQUEST)

    return {
        "build_sql": lambda: dbplus.build_sql(user, "staff", REQUEST),
        "build_sql_to_sql": lambda: dbplus.build_sql(user, "staff", REQUEST)[0].to_sql(),
        "cold_build_sql": cold,
        "core": lambda: core_statement(metadata, db.engine.dialect),
    }


def demo_scene(stack):
    """The demo, as bench/bench_search.py runs it: the module's part of one search."""
    from ornivell.db.demo import build_demo

    folder = stack.enter_context(tempfile.TemporaryDirectory())
    db = Database(f"sqlite:///{Path(folder) / 'demo.sqlite3'}")
    stack.callback(db.engine.dispose)
    summary = build_demo(db, scale=0.1)
    dbplus = DbPlus(db)
    user = summary.user("sales")
    request = {"key": "a", "where": {"status": {"_in": ["paid", "shipped"]}}, "page": 1, "limit": 20}

    def module_part():
        check = dbplus.check_perm(user, "order", "queryEnabled", "查询")
        statement, status = dbplus.build_sql(user, "order", request)
        assert check.status == 200 and status == 200
        return statement.to_sql(), statement.params

    return {"search_module_part": module_part}


# case name: (scene, calls per measure relative to --calls, callgrind's low and high call counts)
CASES = {
    "build_sql": (bench_scene, 1, 200, 1200),
    "build_sql_to_sql": (bench_scene, 1, 200, 1200),
    "search_module_part": (demo_scene, 1, 200, 1200),
    "cold_build_sql": (bench_scene, 1 / 20, 20, 120),
    "core": (bench_scene, 1 / 20, 20, 120),
}
LABELS = {
    "build_sql": "build_sql, warm cache",
    "build_sql_to_sql": "build_sql + to_sql",
    "search_module_part": "search on the demo, module's part",
    "cold_build_sql": "build_sql, cold cache",
    "core": "SQLAlchemy Core build + compile",
}


def wall_times(calls):
    times = {}
    with ExitStack() as stack:
        cases = {**bench_scene(stack), **demo_scene(stack)}
        for name, (_, share, _, _) in CASES.items():
            times[name] = per_call(cases[name], max(int(calls * share), 50))
    return times


def instruction_counts():
    from instructions import per_call_instructions

    return {name: per_call_instructions(__file__, name, low, high)
            for name, (_, _, low, high) in CASES.items()}


def figures(options):
    found = {"us": wall_times(options.calls)}
    if options.instructions:
        found["instructions"] = instruction_counts()
    return found


def figures_of(python, options):
    """The same figures from the interpreter ``python``, run on this script."""
    # run from this folder: a relative path, or a name on PATH, as given here
    python = os.path.abspath(shutil.which(python) or python)
    command = [python, __file__, "--json", "--calls", str(options.calls)]
    if options.instructions:
        command.append("--instructions")
    done = subprocess.run(command, check=True, capture_output=True, text=True, cwd=Path(__file__).parent)
    return json.loads(done.stdout)


def version_of(python):
    code = "import platform; print(platform.python_version())"
    return subprocess.run([python, "-c", code], check=True, capture_output=True, text=True).stdout.strip()


def report_pythons(found):
    """Figures by interpreter (a mapping from its version), each against the first's."""
    versions = list(found)
    first = found[versions[0]]
    for unit, values in first.items():
        print(f"{unit:36}" + "".join(f"{version:>24}" for version in versions))
        for name, value in values.items():
            cells = [f"{value:12.2f}" + " " * 12]
            for version in versions[1:]:
                other = found[version][unit][name]
                cells.append(f"{other:12.2f} ({other / value:5.2f}x)")
            print(f"{LABELS[name] + ':':36}" + "".join(f"{cell:>24}" for cell in cells))


def report(found, before):
    def line(label, unit, value, old):
        shown = f"{label + ':':36} {value:12.2f} {unit}"
        if old is not None:
            shown += f"   before {old:12.2f}   now {value / old:6.2f}x of before"
        print(shown)

    for unit, values in found.items():
        old_values = before.get(unit, {})
        for name, value in values.items():
            line(LABELS[name], unit, value, old_values.get(name))
        ratio = values["core"] / values["build_sql"]
        shown = f"{'ratio Core / build_sql' + ':':36} {ratio:12.1f}x"
        if "core" in old_values:
            shown += f"   before {old_values['core'] / old_values['build_sql']:11.1f}x"
        print(shown)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--instructions", action="store_true", help="also count instructions per call (callgrind)")
    parser.add_argument("--baseline", metavar="PYTHON", help="also measure with this interpreter, for comparison")
    parser.add_argument("--pythons", metavar="PYTHON", nargs="+", help="measure with each of these interpreters")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    parser.add_argument("--case", choices=CASES, help="only call this case --calls times (callgrind runs)")
    options = parser.parse_args()
    if options.instructions:
        from instructions import available

        if not available():
            parser.error("--instructions needs valgrind")
    if options.case:
        from instructions import run_case

        with ExitStack() as stack:
            run_case(CASES[options.case][0](stack), options.case, options.calls)
        return
    if options.pythons:
        report_pythons({version_of(python): figures_of(python, options) for python in options.pythons})
        return
    before = figures_of(options.baseline, options) if options.baseline else {}
    found = figures(options)
    if options.json:
        print(json.dumps(found))
    else:
        report(found, before)


if __name__ == "__main__":
    main()
