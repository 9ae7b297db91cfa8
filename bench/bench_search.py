"""Where the time of a search goes: the module (permission check, statement
building, rendering) against the handle's execution of the same statement.

Runs on the demo data set in an embedded SQLite file, warm cache, one page of
20 rows with a keyword and a filter, as a user with data rules.

    python bench/bench_search.py [--calls N] [--scale S]
"""

import argparse
import tempfile
import timeit
from pathlib import Path

from ornivell.db._dbplus import DbPlus
from ornivell.db.db import Database
from ornivell.db.demo import build_demo

MODEL = "order"
REQUEST = {"key": "a", "where": {"status": {"_in": ["paid", "shipped"]}}, "page": 1, "limit": 20}


def per_call(function, calls):
    return min(timeit.repeat(function, number=calls, repeat=5)) / calls * 1e6


def module_part(dbplus, user):
    check = dbplus.check_perm(user, MODEL, "queryEnabled", "查询")
    statement, status = dbplus.build_sql(user, MODEL, REQUEST)
    assert check.status == 200 and status == 200
    return statement.to_sql(), statement.params


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--scale", type=float, default=1)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        db = Database(f"sqlite:///{Path(folder) / 'bench.sqlite3'}")
        summary = build_demo(db, scale=options.scale)
        dbplus = DbPlus(db)
        user = summary.user("sales")
        page, status = dbplus.search(user, MODEL, REQUEST)
        assert status == 200 and page.data, (status, page)
        sql, params = module_part(dbplus, user)

        def execute():
            return db.query_page(sql, page=1, limit=20, do_count=None, **params)

        whole = per_call(lambda: dbplus.search(user, MODEL, REQUEST), options.calls)
        module = per_call(lambda: module_part(dbplus, user), options.calls)
        handle = per_call(execute, options.calls)
        db.engine.dispose()
    print(f"search, whole call:                {whole:9.1f} us")
    print(f"  module (check, build, render):   {module:9.1f} us")
    print(f"  handle executing the statement:  {handle:9.1f} us")
    print(f"module share of the whole:         {module / whole:9.1%}")


if __name__ == "__main__":
    main()
