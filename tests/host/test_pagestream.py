"""Sessions that read consecutive pages from one open result: the same pages
as one statement per page, with the statement run once."""

import pytest
from sqlalchemy import Column, Integer, MetaData, Table, event

from ornivell.db.db import Dict

ROWS = 4500
SQL = "select id, n from numbers where n >= :low order by n desc, id"


@pytest.fixture(scope="module")
def db(database):
    metadata = MetaData()
    numbers = Table("numbers", metadata, Column("id", Integer, primary_key=True), Column("n", Integer))
    metadata.create_all(database.engine)
    with database.engine.begin() as connection:
        connection.execute(numbers.insert(), [{"id": i, "n": i % 7} for i in range(1, ROWS + 1)])
    return database


@pytest.fixture
def statements(db):
    sent = []

    def record(conn, cursor, statement, parameters, context, executemany):
        sent.append(statement)

    event.listen(db.engine, "before_cursor_execute", record)
    yield sent
    event.remove(db.engine, "before_cursor_execute", record)


def pages(session, first, limit=2000, **params):
    """The pages from ``first`` up to the first empty one."""
    read, number = [], first
    while True:
        data = session.query_page(SQL, page=number, limit=limit, do_count=0, low=0, **params)["data"]
        read.append(data)
        if not data:
            return read
        number += 1


@pytest.mark.parametrize("first, sizes", [(1, [2000, 2000, 500, 0]), (2, [2000, 500, 0]), (4, [0])])
def test_pages_come_from_one_statement(db, statements, first, sizes):
    with db.session() as session:
        expected = pages(session, first)
    with db.session(stream_pages=True) as session:
        del statements[:]
        streamed = pages(session, first)
    assert [len(page) for page in streamed] == sizes
    assert streamed == expected and all(type(row) is Dict for page in streamed for row in page)
    assert len(statements) == 1


def test_a_page_out_of_sequence_or_another_statement_starts_again(db, statements):
    plain = {n: db.query_page(SQL, page=n, limit=10, low=0)["data"] for n in (1, 2, 3)}
    with db.session(stream_pages=True) as session:
        del statements[:]
        assert session.query_page(SQL, page=1, limit=10, low=0)["data"] == plain[1]
        assert session.query_page(SQL, page=3, limit=10, low=0)["data"] == plain[3]
        assert [row["n"] for row in session.query_page(SQL, page=1, limit=10, low=6)["data"]] == [6] * 10
        session.query("select 1 as one")
        assert len(session.query_page(SQL, page=2, limit=10, low=6)["data"]) == 10
        counted = session.query_page(SQL, page=2, limit=10, do_count=1, low=0)
    assert counted["total"] == ROWS and counted["data"] == plain[2]
    # four page statements, the query, and the counted page with its count
    assert len(statements) == 7


def test_leaving_the_session_early_closes_the_result(db):
    with db.session(stream_pages=True) as session:
        assert len(session.query_page(SQL, page=1, limit=10, low=0)["data"]) == 10
    assert db.query("select count(*) as c from numbers")[0]["c"] == ROWS


# the driver cursors that read a result as far as it is fetched
SERVER_SIDE_CURSORS = {"postgresql": "ServerCursor", "mariadb": "SSCursor", "sqlite": "Cursor"}


def test_pages_come_from_a_cursor_that_holds_no_whole_result(db, engine_name):
    cursors = []

    def record(conn, cursor, statement, parameters, context, executemany):
        cursors.append(type(cursor).__name__)

    event.listen(db.engine, "before_cursor_execute", record)
    try:
        with db.session(stream_pages=True) as session:
            assert [len(page) for page in pages(session, 1)] == [2000, 2000, 500, 0]
    finally:
        event.remove(db.engine, "before_cursor_execute", record)
    assert cursors == [SERVER_SIDE_CURSORS[engine_name]]
