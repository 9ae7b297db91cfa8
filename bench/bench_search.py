"""A search against raw DB-API running the same statement, and where its time goes.

On the demo data set, warm cache, one page of 20 rows with a keyword and a
filter, as a user with data rules, in an SQLite file or (``--engine
postgresql``) a PostgreSQL database of the run's own:

- raw DB-API: the statement exactly as the handle sends it (the module's
  SELECT with its page window, quoting adapted, in the driver's parameter
  style) on a cursor of a connection that the engine's driver opened, in
  autocommit, the rows built as ``Dict`` with interned keys;
- handle: ``Database.query_page`` of the module's statement;
- search: the whole ``DbPlus.search``; module: its permission check,
  ``build_sql`` and rendering alone;
- cold search: the first search of the model, after ``clear_cache``.

Wall time per call (the best of 5 runs) and, with ``--instructions``,
instructions per call under callgrind. ``--baseline PYTHON`` runs the same
cases with the interpreter of another environment (one installed from main,
say) in the same run, on the same database.

    python bench/bench_search.py [--engine sqlite|postgresql] [--calls N]
                                 [--instructions] [--baseline PYTHON]
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

from instructions import available, per_call_instructions, run_case
from ornivell.db._dbplus import DbPlus
from ornivell.db.db import Database, Dict
from ornivell.db.demo import USERS, build_demo
from scratch_databases import postgresql_database

MODEL = "order"
LIMIT = 20
REQUEST = {"key": "a", "where": {"status": {"_in": ["paid", "shipped"]}}, "page": 1, "limit": LIMIT}
CASES = {
    "raw": "raw DB-API, same statement",
    "handle": "handle: query_page",
    "search": "search: the whole call",
    "module": "module: check, build, render",
    "cold": "cold search (after clear_cache)",
}
# a cold search runs several statements: fewer calls take as long
COLD_SHARE = 10


def raw_reader(db, sql, params):
    """The page of ``sql`` as the handle sends it, run on a cursor of a
    DB-API connection that the engine's driver opened."""
    compiled = text(db.escape_sql(db.sql_page(sql, 1, LIMIT))).compile(dialect=db.engine.dialect)
    if compiled.positional:
        driver_params = tuple(params[name] for name in compiled.positiontup)
    else:
        driver_params = {name: params[name] for name in compiled.params}
    pooled = db.engine.raw_connection()
    connection = pooled.dbapi_connection
    if db.engine.dialect.name == "postgresql":
        connection.autocommit = True
    statement = compiled.string

    def read():
        cursor = connection.cursor()
        cursor.execute(statement, driver_params)
        keys = [sys.intern(column[0]) for column in cursor.description]
        rows = [Dict(zip(keys, row)) for row in cursor.fetchall()]
        cursor.close()
        return rows

    read.pooled = pooled  # checked out for as long as the case lives
    return read


def make_cases(url):
    db = Database(url)
    dbplus = DbPlus(db)
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

    cases = {
        "raw": raw_reader(db, sql, params),
        "handle": lambda: db.query_page(sql, page=1, limit=LIMIT, **params),
        "search": lambda: dbplus.search(user, MODEL, REQUEST),
        "module": module,
        "cold": cold,
    }
    assert cases["raw"]() == cases["handle"]().data == cases["search"]()[0].data == page.data
    return cases


def wall_times(cases, calls):
    """Microseconds per call of each case, the best of 5 runs."""
    times = {}
    for name, function in cases.items():
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


def instruction_counts(interpreters, url):
    """Per interpreter, the instructions of one call of each case."""
    script = Path(__file__).resolve()
    counts = {}
    for label, python in interpreters.items():
        counts[label] = {name: per_call_instructions(script, name, extra_args=["--url", url], python=python,
                                                     **({"low": 2, "high": 12} if name == "cold" else
                                                        {"low": 20, "high": 120}))
                         for name in CASES}
    return counts


@contextmanager
def demo_database(options):
    """URL of a database holding the demo, for the run."""
    if options.engine == "postgresql":
        with postgresql_database(options.postgresql) as url:
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
    print(f"search of the demo on {engine}: page of {LIMIT}, keyword and filter, warm cache")
    print(f"{'':34}" + "".join(f"{label:>26}" for label in labels))
    print(f"{'':34}" + f"{'us/call':>12}{'instr/call':>14}" * len(labels))

    def row(title, cell):
        # cell(figures of one interpreter, its format) -> text
        print(f"{title:34}" + "".join(f"{cell(times[label], '.1f'):>12}"
                                      f"{cell(counts[label], ',.0f') if counts else '':>14}" for label in labels))

    for name, title in CASES.items():
        row(title, lambda figures, form: format(figures[name], form))
    row("search / raw DB-API", lambda figures, form: f"{figures['search'] / figures['raw']:.3f}x")
    row("handle over raw DB-API", lambda figures, form: format(figures["handle"] - figures["raw"], form))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engine", choices=["sqlite", "postgresql"], default="sqlite")
    parser.add_argument("--postgresql", default="postgresql+psycopg://postgres@127.0.0.1:5432",
                        help="server URL (a database of the run's own is made and dropped)")
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--scale", type=float, default=1)
    parser.add_argument("--instructions", action="store_true", help="count instructions with callgrind too")
    parser.add_argument("--baseline", metavar="PYTHON", help="interpreter of an environment to compare with")
    # the measured child processes
    parser.add_argument("--url", help=argparse.SUPPRESS)
    parser.add_argument("--case", choices=list(CASES), help=argparse.SUPPRESS)
    parser.add_argument("--times", type=int, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.case:
        run_case(make_cases(options.url), options.case, options.calls)
        return
    if options.times:
        print(json.dumps(wall_times(make_cases(options.url), options.times)))
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
        counts = instruction_counts(interpreters, url) if options.instructions else None
    report(options.engine, times, counts)


if __name__ == "__main__":
    main()
