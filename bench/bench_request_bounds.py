"""What the largest request the limits accept costs, against a plain search
in the same run; what refusing a larger one costs; that value checks take
time linear in the text; and what the bounded cache holds.

Each request has a shape of its own, so no statement is served from a cache
of compiled statements: the figures are the cold cost a client can force.

    python bench/bench_request_bounds.py [--engine sqlite|mariadb|postgresql] [--runs N]

MariaDB and PostgreSQL are reached as the tests reach them
(DBPLUS_TEST_MARIADB_URL, DBPLUS_TEST_POSTGRESQL_URL); a scratch database is
made there and dropped at the end.
"""

import argparse
import os
import re
import statistics
import tempfile
import time
import timeit
import tracemalloc
import uuid
from contextlib import contextmanager
from pathlib import Path

from sqlalchemy import create_engine, make_url, text

from ornivell.db._dbplus import DbPlus
from ornivell.db.db import Database, Dict
from ornivell.db.demo import build_demo
from ornivell.db.jsql import MAX_BRANCHES, MAX_CONDITIONS, MAX_TEXT, MAX_VALUES
from ornivell.db.jsql_values import _NUMBER

SERVERS = {
    "mariadb": ("DBPLUS_TEST_MARIADB_URL", "mysql+pymysql://root@127.0.0.1:3306", None, ""),
    "postgresql": ("DBPLUS_TEST_POSTGRESQL_URL", "postgresql+psycopg://postgres@127.0.0.1:5432", "postgres",
                   " with (force)"),
}


@contextmanager
def scratch_database(engine):
    if engine == "sqlite":
        with tempfile.TemporaryDirectory() as folder:
            db = Database(f"sqlite:///{Path(folder) / 'bench.sqlite3'}")
            yield db
            db.engine.dispose()
        return
    variable, default, admin_database, force = SERVERS[engine]
    url = make_url(os.environ.get(variable) or default)
    admin = create_engine(url.set(database=admin_database), isolation_level="AUTOCOMMIT")
    name = f"dbplus_bench_{uuid.uuid4().hex[:12]}"
    with admin.connect() as connection:
        connection.execute(text(f"create database {name}"))
    db = Database(url.set(database=name))
    try:
        yield db
    finally:
        db.engine.dispose()
        with admin.connect() as connection:
            connection.execute(text(f"drop database {name}{force}"))
        admin.dispose()


def padded(conditions, count):
    """``conditions`` in one _or, with always-false branches up to about ``count`` conditions in all."""
    branches = conditions + [{"code": {"_null": True}}] * (count - 10 - len(conditions))
    # _or takes at most 200 branches: nest the rest
    while len(branches) > 200:
        branches = [{"_or": branches[i:i + 100]} for i in range(0, len(branches), 100)]
    return {"_or": branches}


def split(values, shape):
    # where the list is cut differs from shape to shape: every request is a new statement
    cut = shape % (len(values) - 1) + 1
    return [values[:cut], values[cut:]]


def largest_request(shape):
    """Everything the limits accept at once: 500 values and 50,000 characters
    of text over the where and join filters, about 500 conditions in each,
    200 order items."""
    ids = [{"id": {"_in": part}} for part in split(list(range(MAX_VALUES // 2)), shape)]
    names = [f"{i:0200d}" for i in range(MAX_VALUES // 2)]
    assert sum(map(len, names)) <= MAX_TEXT
    join = [{"d.name": {"_in": part}} for part in split(names, shape)]
    order = [{"name": "asc"}, {"code": "desc"}] * (MAX_BRANCHES // 2)
    return {"where": padded(ids, MAX_CONDITIONS), "joinCond": {"d": padded(join, MAX_CONDITIONS)},
            "order": order, "doCount": 1}


def cold_ms(dbplus, user, make_args, runs):
    times = []
    for shape in range(runs):
        args = make_args(shape)
        start = time.perf_counter()
        page, status = dbplus.search(user, "employee", args)
        times.append((time.perf_counter() - start) * 1000)
        assert status == 200, page
    return statistics.median(times), max(times)


def refused_ms(dbplus, user, args):
    start = time.perf_counter()
    try:
        dbplus.search(user, "employee", args)
    except ValueError:
        return (time.perf_counter() - start) * 1000
    raise AssertionError("the request was accepted")


# the number pattern as it was, whose digits could go to either of two parts
BACKTRACKING_NUMBER = re.compile(r"[-+]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]{1,3})?")


def match_us(pattern, length):
    number = "1" * length + "x"
    return min(timeit.repeat(lambda: pattern.fullmatch(number), number=10, repeat=7)) / 10 * 1e6


def cache_figures(db, summary, users, limit):
    """Entries and bytes that a cache of ``limit`` entries holds after ``users`` users searched."""
    dbplus = DbPlus(db)
    dbplus.cache_limit = limit
    org = summary.user("sales").orgId
    tracemalloc.start()
    for uid in range(1000, 1000 + users):
        dbplus.search(Dict(id=uid, orgId=org), "order", {"where": {"status": "paid"}, "limit": 20})
    held = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    return len(dbplus.cache), held


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engine", default="sqlite", choices=("sqlite", "mariadb", "postgresql"))
    parser.add_argument("--runs", type=int, default=15)
    options = parser.parse_args()
    with scratch_database(options.engine) as db:
        summary = build_demo(db, scale=0.2)
        dbplus = DbPlus(db)
        user = summary.user("sales")
        dbplus.search(user, "employee", {})
        plain = cold_ms(dbplus, user, lambda shape: {"where": {"id": {"_in": list(range(shape + 1))}}},
                        options.runs)
        largest = cold_ms(dbplus, user, largest_request, options.runs)
        too_many = {"where": {"_or": [{"id": {"_in": list(range(1000))}}] * 200}}
        refused = refused_ms(dbplus, user, too_many)
        bounded = cache_figures(db, summary, 400, 1000)
        unbounded = cache_figures(db, summary, 400, None)
    lengths = (1_000, 2_000, 4_000)
    checks = [(name, [match_us(pattern, n) for n in lengths])
              for name, pattern in (("now", _NUMBER), ("before", BACKTRACKING_NUMBER))]
    print(f"engine: {options.engine}, {options.runs} requests of each shape, cold statements")
    print(f"plain search (1-N values):                median {plain[0]:7.1f} ms, max {plain[1]:7.1f} ms")
    print(f"largest accepted request:                 median {largest[0]:7.1f} ms, max {largest[1]:7.1f} ms"
          f"  ({largest[0] / plain[0]:.1f}x plain)")
    print(f"200,000 values, refused:                  {refused:7.1f} ms")
    for name, times in checks:
        print(f"number pattern, {name + ',':7} n digits:     " +
              ", ".join(f"n={n}: {us:.0f} us" for n, us in zip(lengths, times)) +
              f"  (doubling n: x{times[2] / times[1]:.1f})")
    for name, (entries, held) in (("cache_limit 1000", bounded), ("no cache_limit", unbounded)):
        print(f"400 users, {name + ':':27} {entries} entries, {held / 1e6:.1f} MB held"
              f" ({held / entries / 1e3:.1f} KB an entry)")


if __name__ == "__main__":
    main()
