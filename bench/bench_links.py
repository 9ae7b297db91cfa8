"""Link-row writes: one added and one removed link row per call.

On the demo data set, warm cache, on an SQLite file and, when the server
answers, on PostgreSQL: ``relation_update`` adding one project member and
removing it again as the admin (no row rules), and adding and removing one
quote as a sales user, whose row rule on quotes every link row must keep.

    python bench/bench_links.py [--calls N] [--postgresql URL]
"""

import argparse
import datetime
import tempfile
import time
import uuid
from pathlib import Path

from ornivell.db._dbplus import DbPlus
from ornivell.db.db import Database
from ornivell.db.demo import build_demo
from scratch_databases import postgresql_database


def median(values):
    return sorted(values)[len(values) // 2]


def timed(function):
    start = time.perf_counter()
    answer = function()
    elapsed = time.perf_counter() - start
    assert answer == ({"message": "success"}, 200), answer
    return elapsed


def new_members(db, calls):
    """Project member rows that the demo does not hold yet."""
    held = {(r["projectId"], r["employeeId"]) for r in db.query("select * from project_member")}
    pairs = [(p["id"], e["id"]) for p in db.query("select id from project") for e in db.query("select id from employee")]
    return [{"projectId": p, "employeeId": e} for p, e in pairs if (p, e) not in held][:calls]


def linked_quote(org, index):
    return {"code": f"L{index:06d}", "customerId": 1, "title": "Linked", "status": "open",
            "publicId": str(uuid.uuid4()), "revision": "20260101000000", "orgId": org, "createdBy": 1,
            "createdAt": datetime.datetime(2026, 1, 1)}


def add_and_remove(dbplus, user, model, rows, removed):
    """Medians of adding each row and of removing it again."""
    added = [timed(lambda: dbplus.relation_update(user, model, add_data=[row])) for row in rows]
    gone = [timed(lambda: dbplus.relation_update(user, model, del_data=[key])) for key in removed]
    return median(added), median(gone)


def run(name, url, calls):
    db = Database(url)
    dbplus = DbPlus(db)
    summary = build_demo(db, scale=0.1)
    admin, sales = summary.user("admin"), summary.user("sales")
    print(name)
    rows = new_members(db, calls)
    add, remove = add_and_remove(dbplus, admin, "project_member", rows, [dict(row) for row in rows])
    print(f"  project member, admin ({len(rows)}): add {add * 1e6:8.1f} us   remove {remove * 1e6:8.1f} us")
    rows = [linked_quote(sales.orgId, i) for i in range(calls)]
    add, remove = add_and_remove(dbplus, sales, "quote", rows, [{"code": row["code"]} for row in rows])
    print(f"  quote, sales (row rule):        add {add * 1e6:8.1f} us   remove {remove * 1e6:8.1f} us")
    db.engine.dispose()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200, help="rows added and removed per case")
    parser.add_argument("--postgresql", default="postgresql+psycopg://postgres@127.0.0.1:5432",
                        help="server URL (a database of the run's own is made and dropped)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        run("SQLite", f"sqlite:///{Path(folder) / 'bench.sqlite3'}", options.calls)
    with postgresql_database(options.postgresql) as url:
        if url:
            run("PostgreSQL", url, options.calls)


if __name__ == "__main__":
    main()
