"""Writes against SQLAlchemy Core inserting the same rows in the same run.

On the demo data set (quotes: a sequence number, creator, department and
time presets, a default, a UUID and a time stamp), as a sales user, warm
cache, on an SQLite file and, when the server answers, on PostgreSQL:

- ``create`` of one quote, the whole call against the handle's part of it
  (timed inside every handle call: the sequence's transaction, the insert);
  the rest is the module's own work (permission check, normalization,
  sequence bookkeeping). Core inserts the same completed row in a
  transaction of its own.
- ``update`` of one quote's title, the whole call against the handle's part
  (the session, the read under the user's rules, the write, and the read
  that checks the row stays within them); the rest is the module's own.
- ``create_many`` of 1,000 quotes (each draws its number from the
  sequence), against a Core ``executemany`` of the same completed rows in
  one transaction.

    python bench/bench_writes.py [--creates N] [--batches N] [--postgresql URL]
"""

import argparse
import copy
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

from sqlalchemy import delete

from ornivell.db._dbplus import DbPlus
from ornivell.db.db import Database
from ornivell.db.demo import build_demo
from ornivell.db.demo.tables import quote
from scratch_databases import postgresql_database

HANDLE_CALLS = ("query", "query_one", "add", "add_many", "merge", "update_many")
SESSION_CALLS = HANDLE_CALLS + ("savepoint",)
BATCH = 1000


class TimedDatabase(Database):
    """Keeps in ``spent`` the time taken inside its calls, serialized blocks included."""

    spent = 0.0
    _depth = 0  # calls of the handle made inside another are counted once

    def _timed(self, call, *args, **kwargs):
        start = time.perf_counter()
        self._depth += 1
        try:
            return call(*args, **kwargs)
        finally:
            self._depth -= 1
            if not self._depth:
                self.spent += time.perf_counter() - start

    @contextmanager
    def _timed_block(self, block):
        # the module's work inside the block is its own; entering and leaving are the handle's
        entered = self._timed(block.__enter__)
        try:
            yield entered
        except BaseException as error:
            self._timed(block.__exit__, type(error), error, error.__traceback__)
            raise
        self._timed(block.__exit__, None, None, None)

    def serialized(self, key):
        return self._timed_block(super().serialized(key))

    @contextmanager
    def session(self, stream_pages=False):
        with self._timed_block(super().session(stream_pages)) as session:
            yield TimedSession(self, session)


class TimedSession:
    """A session whose calls count as the handle's time, savepoints included."""

    def __init__(self, db, session):
        self._db, self._session = db, session

    def __getattr__(self, name):
        found = getattr(self._session, name)
        if name not in SESSION_CALLS:
            return found
        if name == "savepoint":
            return lambda: self._db._timed_block(found())
        return lambda *args, **kwargs: self._db._timed(found, *args, **kwargs)


def _timed_call(name):
    def call(self, *args, **kwargs):
        return self._timed(getattr(Database, name), self, *args, **kwargs)
    return call


for _name in HANDLE_CALLS:
    setattr(TimedDatabase, _name, _timed_call(_name))


def median(values):
    return sorted(values)[len(values) // 2]


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def offer(index):
    return {"title": f"Offer {index}", "customerId": 1, "amount": "1200.50"}


def completed(dbplus, user, rows):
    """The rows as the module hands them to the handle."""
    rows = copy.deepcopy(rows)
    assert not dbplus.normalize_create_entity_list(user, rows, dbplus.model_info("quote", user))
    return rows


def single_create(db, dbplus, user, calls):
    """Medians of the whole call, of its time inside the handle, and of Core's insert."""
    whole, handle = [], []
    for index in range(calls):
        db.spent = 0.0
        whole.append(timed(lambda: dbplus.create(user, "quote", offer(index))))
        handle.append(db.spent)
    rows = completed(dbplus, user, [offer(i) for i in range(calls)])

    def core_insert(row):
        with db.engine.begin() as connection:
            connection.execute(quote.insert(), row)

    core = [timed(lambda: core_insert({**row, "code": f"C{i:07d}"})) for i, row in enumerate(rows)]
    return median(whole), median(handle), median(core)


def single_update(db, dbplus, user, calls):
    """Medians of the whole call and of its time inside the handle."""
    own = db.query("select id from quote where orgId = :org order by id", org=user.orgId)[0]["id"]
    whole, handle = [], []
    for index in range(calls):
        db.spent = 0.0
        whole.append(timed(lambda: dbplus.update(user, "quote", {"id": own, "title": f"Title {index}"})))
        handle.append(db.spent)
    return median(whole), median(handle)


def batch_create(db, dbplus, user, batches):
    """The shortest create_many of BATCH rows, and the shortest Core executemany of them."""
    def rows(tag):
        return [{**offer(i), "code": f"{tag}{i:05d}"} for i in range(BATCH)]

    def clear():
        with db.engine.begin() as connection:
            connection.execute(delete(quote).where(quote.c.code.like("B%")))

    def core_insert(same):
        with db.engine.begin() as connection:
            connection.execute(quote.insert(), same)

    module_times, core_times = [], []
    for round_ in range(batches):
        batch = rows(f"B{round_:03d}")
        same = completed(dbplus, user, batch)
        module_times.append(timed(lambda: dbplus.create_many(user, "quote", batch)))
        clear()
        core_times.append(timed(lambda: core_insert(same)))
        clear()
    return min(module_times), min(core_times)


def run(name, url, options):
    db = TimedDatabase(url)
    dbplus = DbPlus(db)
    sales = build_demo(db, scale=0.1).user("sales")
    dbplus.create(sales, "quote", offer(0))  # warm: model, grants, statement caches
    whole, handle, core = single_create(db, dbplus, sales, options.creates)
    updated, update_handle = single_update(db, dbplus, sales, options.creates)
    many, core_many = batch_create(db, dbplus, sales, options.batches)
    db.engine.dispose()
    module = whole - handle
    print(f"{name}")
    print(f"  create, whole call (median):           {whole * 1e6:9.1f} us")
    print(f"    inside the handle (sequence, insert): {handle * 1e6:9.1f} us")
    print(f"    module's own work:                    {module * 1e6:9.1f} us  ({module / whole:.1%} of the call)")
    print(f"    Core insert of the completed row:     {core * 1e6:9.1f} us  (create / Core: {whole / core:.2f}x)")
    print(f"  update, whole call (median):           {updated * 1e6:9.1f} us")
    print(f"    inside the handle (session, reads, write): {update_handle * 1e6:4.1f} us")
    print(f"    module's own work:                    {(updated - update_handle) * 1e6:9.1f} us")
    print(f"  create_many of {BATCH} rows:              {many * 1e3:9.2f} ms")
    print(f"    Core executemany of the same rows:    {core_many * 1e3:9.2f} ms  (ratio {many / core_many:.2f}x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--creates", type=int, default=500, help="single creates per database")
    parser.add_argument("--batches", type=int, default=5, help="batches of 1,000 per database")
    parser.add_argument("--postgresql", default="postgresql+psycopg://postgres@127.0.0.1:5432",
                        help="server URL (a database of the run's own is made and dropped)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        run("SQLite", f"sqlite:///{Path(folder) / 'bench.sqlite3'}", options)
    with postgresql_database(options.postgresql) as url:
        if url:
            run("PostgreSQL", url, options)


if __name__ == "__main__":
    main()
