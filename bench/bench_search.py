"""A search and a query_one against raw DB-API running the same statement,
and where their time goes.

On the demo data set, warm cache, one page of 20 rows with a keyword and a
filter (and one record by its id), as a user with data rules, in an SQLite
file or (``--engine postgresql``, ``--engine mariadb``) a database of the
run's own on that server:

- raw DB-API: the statement exactly as the handle sends it (the module's
  SELECT with its page window, quoting adapted, in the driver's parameter
  style) on a cursor of a connection that the engine's driver opened, the
  rows built as ``Dict`` with interned keys, in a transaction of its own as
  the handle runs it: in autocommit on PostgreSQL, committed after the read
  elsewhere (on MariaDB the COMMIT is a round trip of its own);
- handle: ``Database.query_page`` of the module's statement;
- search: the whole ``DbPlus.search``; module: its permission check,
  ``build_sql`` and rendering alone;
- cold search: the first search of the model, after ``clear_cache``;
- the same three for ``DbPlus.query_one`` of one order: raw DB-API on its
  statement, the handle's ``query_one``, the whole call.

Wall time per call (the best of 5 runs) and, with ``--instructions``,
instructions per call under callgrind, with the split of each call between
driver, handle and module, the steps of the handle's part that raw DB-API
on a connection it holds does not take (counted alone), and the functions
that cost a search most instructions beside the raw read (``--profile N``:
how many). ``--baseline PYTHON`` runs the same
cases with the interpreter of another environment (one installed from main,
say) in the same run, on the same database.

    python bench/bench_search.py [--engine sqlite|postgresql|mariadb] [--calls N]
                                 [--instructions] [--profile N] [--baseline PYTHON]
"""

import argparse
import json
import subprocess
import sys
import tempfile
import timeit
from contextlib import contextmanager
from pathlib import Path

from sqlalchemy import text

from instructions import available, per_call_instructions, per_call_profile, run_case
from ornivell.db._dbplus import DbPlus
from ornivell.db.db import Database, Dict
from ornivell.db.demo import USERS, build_demo
from scratch_databases import mariadb_database, postgresql_database

try:
    from ornivell.db.handle.pool_records import RecordConnection, takes_records
except ImportError:  # a baseline built before the handle held connections by their records
    RecordConnection, takes_records = None, lambda pool: False

MODEL = "order"
LIMIT = 20
REQUEST = {"key": "a", "where": {"status": {"_in": ["paid", "shipped"]}}, "page": 1, "limit": LIMIT}
CASES = {
    "raw": "raw DB-API, same statement",
    "handle": "handle: query_page",
    "search": "search: the whole call",
    "module": "module: check, build, render",
    "cold": "cold search (after clear_cache)",
    "raw_one": "raw DB-API, query_one's statement",
    "handle_one": "handle: query_one",
    "query_one": "query_one: the whole call",
}
# steps of the handle's part, counted alone (with --instructions)
STEPS = {
    "pool": "a connection from the pool and back",
    "switch": "autocommit on and off (a lone SELECT on PostgreSQL)",
}
# the search's parts and the query_one's: (raw, handle, whole call)
SPLITS = {"search": ("raw", "handle", "search"), "query_one": ("raw_one", "handle_one", "query_one")}
# a cold search runs several statements: fewer calls take as long
COLD_SHARE = 10


def raw_reader(db, sql, params, first=False):
    """``sql`` as the handle sends it, run on a cursor of a DB-API
    connection that the engine's driver opened; all its rows, or with
    ``first`` the first one."""
    compiled = text(db.escape_sql(sql)).compile(dialect=db.engine.dialect)
    if compiled.positional:
        driver_params = tuple(params[name] for name in compiled.positiontup)
    else:
        driver_params = {name: params[name] for name in compiled.params}
    pooled = db.engine.raw_connection()
    connection = pooled.dbapi_connection
    autocommit = db.engine.dialect.name == "postgresql"
    if autocommit:
        connection.autocommit = True
    statement = compiled.string

    def rows(keys, cursor):
        return [Dict(zip(keys, row)) for row in cursor.fetchall()]

    def first_row(keys, cursor):
        row = cursor.fetchone()
        return None if row is None else Dict(zip(keys, row))

    build = first_row if first else rows

    def read():
        cursor = connection.cursor()
        cursor.execute(statement, driver_params)
        result = build([sys.intern(column[0]) for column in cursor.description], cursor)
        if not autocommit:
            connection.commit()
        cursor.close()
        return result

    read.pooled = pooled  # checked out for as long as the case lives
    return read


class RecordingHandle:
    """The handle, noting the statement of the last ``query_one``."""

    def __init__(self, db):
        self.db = db

    def __getattr__(self, name):
        return getattr(self.db, name)

    def query_one(self, sql, **params):
        self.last = (sql, {k: v for k, v in params.items() if k != "session"})
        return self.db.query_one(sql, **params)


def query_one_statement(db, user, record_id):
    """The statement and parameters of ``DbPlus.query_one`` of ``record_id``."""
    recording = RecordingHandle(db)
    row, status = DbPlus(recording).query_one(user, MODEL, record_id)
    assert status == 200 and row, (status, row)
    return recording.last


def make_cases(db):
    dbplus = DbPlus(db)
    # the version check's reading falls due by the clock, so more often under
    # callgrind: off here, bench_version_check.py counts it
    dbplus.metadata_check_interval = None
    user = next(u for u in USERS if u.roles == ("sales",)).as_user()
    page, status = dbplus.search(user, MODEL, REQUEST)
    assert status == 200 and page.data, (status, page)
    statement, status = dbplus.build_sql(user, MODEL, REQUEST)
    sql, params = statement.to_sql(), statement.params

    def module():
        check = dbplus.check_perm(user, MODEL, "queryEnabled", "查询")
        built, status = dbplus.build_sql(user, MODEL, REQUEST)
        assert check.status == 200 and status == 200
        return built.to_sql()

    def cold():
        dbplus.clear_cache()
        return dbplus.search(user, MODEL, REQUEST)

    record_id = page.data[0].id
    one_sql, one_params = query_one_statement(db, user, record_id)

    cases = {
        "raw": raw_reader(db, db.sql_page(sql, 1, LIMIT), params),
        "handle": lambda: db.query_page(sql, page=1, limit=LIMIT, **params),
        "search": lambda: dbplus.search(user, MODEL, REQUEST),
        "module": module,
        "cold": cold,
        "raw_one": raw_reader(db, one_sql, one_params, first=True),
        "handle_one": lambda: db.query_one(one_sql, **one_params),
        "query_one": lambda: dbplus.query_one(user, MODEL, record_id),
    }
    cases.update(handle_steps(db))
    assert cases["raw"]() == cases["handle"]().data == cases["search"]()[0].data == page.data
    assert cases["raw_one"]() == cases["handle_one"]() == cases["query_one"]()[0] == page.data[0]
    return cases


def handle_steps(db):
    """The steps of a direct read that raw DB-API on a connection it holds does not take."""
    pool = db.engine.pool
    held = db.engine.raw_connection()

    def pool_round():
        # as the handle takes it and gives it back after a commit
        connection = RecordConnection(pool) if takes_records(pool) else pool.connect()
        connection._close_special(transaction_reset=True)

    def switch():
        if db.dialect.begin_lone_statement(held.dbapi_connection):
            db.dialect.end_lone_statement(held.dbapi_connection)

    switch.held = held
    return {"pool": pool_round, "switch": switch}


def wall_times(db, cases, calls):
    """Microseconds per call of each case, the best of 5 runs. Each case
    starts on new connections of the handle's pool, as raw DB-API's
    connections serve their own statement only: a PostgreSQL connection that
    served other statements can answer the same one slower (psycopg alone
    shows it), which would be counted against the handle."""
    times = {}
    for name in CASES:
        db.engine.pool.dispose()
        function = cases[name]
        number = max(calls // COLD_SHARE, 10) if name == "cold" else calls
        times[name] = min(timeit.repeat(function, number=number, repeat=5)) / number * 1e6
    return times


def best_wall_times(interpreters, url, calls, rounds=2):
    """Per interpreter, the best microseconds per call of each case over
    ``rounds`` runs, the interpreters taking turns."""
    best = {label: {} for label in interpreters}
    script = str(Path(__file__).resolve())
    for _ in range(rounds):
        for label, python in interpreters.items():
            out = subprocess.run([python, script, "--url", url, "--times", str(calls)], check=True,
                                 capture_output=True, text=True, cwd=tempfile.gettempdir()).stdout
            for name, us in json.loads(out).items():
                best[label][name] = min(us, best[label].get(name, us))
    return best


def _calls(name):
    return {"low": 2, "high": 12} if name == "cold" else {"low": 20, "high": 120}


def instruction_counts(interpreters, url):
    """Per interpreter, the instructions of one call of each case; and
    this tree's instructions per function in the cases of ``SPLITS``."""
    script = Path(__file__).resolve()
    counts, functions = {}, {}
    profiled = {case for raw, _, whole in SPLITS.values() for case in (raw, whole)}
    for label, python in interpreters.items():
        counts[label] = {}
        for name in [*CASES, *STEPS]:
            measure = per_call_profile if label == "this tree" and name in profiled else per_call_instructions
            counted = measure(script, name, extra_args=["--url", url], python=python, **_calls(name))
            if measure is per_call_profile:
                counted, functions[name] = counted
            counts[label][name] = counted
    return counts, functions


def print_profile(functions, top):
    """The ``top`` functions by instructions per call (self cost) that each
    whole call spends beside the raw read of its statement."""
    for call, (raw, _, whole) in SPLITS.items():
        over = dict(functions[whole])
        for function, count in functions[raw].items():
            over[function] = over.get(function, 0) - count
        print(f"\n{call} over raw DB-API, instructions per call by function (self cost):")
        for function, count in sorted(over.items(), key=lambda item: -item[1])[:top]:
            print(f"{count:>12,.0f}  {function}")


@contextmanager
def demo_database(options):
    """URL of a database holding the demo, for the run."""
    if options.engine != "sqlite":
        scratch = postgresql_database if options.engine == "postgresql" else mariadb_database
        with scratch(getattr(options, options.engine)) as url:
            if url:
                build(url, options.scale)
            yield url
        return
    with tempfile.TemporaryDirectory() as folder:
        url = f"sqlite:///{Path(folder) / 'bench.sqlite3'}"
        build(url, options.scale)
        yield url


def build(url, scale):
    db = Database(url)
    build_demo(db, scale=scale)
    db.engine.dispose()


def report(engine, times, counts):
    labels = list(times)
    print(f"search (page of {LIMIT}, keyword and filter) and query_one of the demo on {engine}, warm cache")
    print(f"{'':34}" + "".join(f"{label:>26}" for label in labels))
    print(f"{'':34}" + f"{'us/call':>12}{'instr/call':>14}" * len(labels))

    def row(title, cell):
        # cell(figures of one interpreter, its format) -> text
        print(f"{title:34}" + "".join(f"{cell(times[label], '.1f'):>12}"
                                      f"{cell(counts[label], ',.0f') if counts else '':>14}" for label in labels))

    for name, title in CASES.items():
        row(title, lambda figures, form: format(figures[name], form))
    if counts:
        print("\nsteps of the handle's part, alone" + "".join(f"{label:>26}" for label in labels))
        for name, title in STEPS.items():
            print(f"  {title:52}" + "".join(f"{counts[label][name]:>14,.0f}" + " " * 12 for label in labels))
    for call, (raw, handle, whole) in SPLITS.items():
        row(f"{call} / raw DB-API", lambda figures, form: f"{figures[whole] / figures[raw]:.3f}x")
        row("  handle over raw DB-API", lambda figures, form: format(figures[handle] - figures[raw], form))
        row("  module over handle", lambda figures, form: format(figures[whole] - figures[handle], form))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engine", choices=["sqlite", "postgresql", "mariadb"], default="sqlite")
    parser.add_argument("--postgresql", default="postgresql+psycopg://postgres@127.0.0.1:5432",
                        help="server URL (a database of the run's own is made and dropped)")
    parser.add_argument("--mariadb", default="mysql+pymysql://root@127.0.0.1:3306", help="the same for MariaDB")
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--scale", type=float, default=1)
    parser.add_argument("--instructions", action="store_true", help="count instructions with callgrind too")
    parser.add_argument("--profile", type=int, default=12, metavar="N",
                        help="with --instructions, the N functions costing most over raw DB-API (0: none)")
    parser.add_argument("--baseline", metavar="PYTHON", help="interpreter of an environment to compare with")
    # the measured child processes
    parser.add_argument("--url", help=argparse.SUPPRESS)
    parser.add_argument("--case", choices=[*CASES, *STEPS], help=argparse.SUPPRESS)
    parser.add_argument("--times", type=int, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.case:
        run_case(make_cases(Database(options.url)), options.case, options.calls)
        return
    if options.times:
        db = Database(options.url)
        print(json.dumps(wall_times(db, make_cases(db), options.times)))
        return
    if options.instructions and not available():
        parser.error("--instructions needs valgrind")
    interpreters = {"this tree": sys.executable}
    if options.baseline:
        interpreters["baseline"] = options.baseline
    with demo_database(options) as url:
        if url is None:
            return
        times = best_wall_times(interpreters, url, options.calls)
        counts, functions = instruction_counts(interpreters, url) if options.instructions else (None, None)
    report(options.engine, times, counts)
    if functions and options.profile:
        print_profile(functions, options.profile)


if __name__ == "__main__":
    main()
