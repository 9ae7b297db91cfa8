"""The search bench on every engine: its raw reads give the handle's rows,
and its wall times take each case on connections of its own."""

import importlib
import sys
from pathlib import Path

import pytest
from sqlalchemy import event

BENCH = Path(__file__).resolve().parents[2] / "bench"


@pytest.fixture(scope="module")
def bench_search():
    # the bench's modules import their siblings by name
    sys.path.insert(0, str(BENCH))
    try:
        yield importlib.import_module("bench_search")
    finally:
        sys.path.remove(str(BENCH))


def test_each_case_is_timed_on_new_connections(business_db, bench_search):
    db = business_db.db
    cases = bench_search.make_cases(db)  # asserts raw, handle and whole call read the same rows
    opened = []
    event.listen(db.engine, "connect", lambda dbapi_connection, record: opened.append(dbapi_connection))
    times = bench_search.wall_times(db, cases, calls=2)
    assert set(times) == set(bench_search.CASES) and all(us > 0 for us in times.values())
    # the handle's cases: query_page, search, cold search, query_one and its whole call
    assert len(opened) >= 5
