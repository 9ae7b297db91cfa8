"""Reads that pass no session run straight on a pooled DB-API connection;
what they return, raise and leave behind must be what a session's reads do."""

import logging
import sys

import pytest
from sqlalchemy import Column, Integer, MetaData, String, Table, create_engine, event, text
from sqlalchemy.exc import DBAPIError

from ornivell.db.db import Database, Dict

ROWS = [{"id": 1, "name": "ann", "orgId": 1}, {"id": 2, "name": "bo%b", "orgId": 2}, {"id": 3, "name": "cy", "orgId": 1}]


@pytest.fixture(scope="module")
def db(database):
    metadata = MetaData()
    Table("t_read", metadata, Column("id", Integer, primary_key=True), Column("name", String(40)),
          Column("orgId", Integer))
    metadata.create_all(database.engine)
    database.add_many("t_read", ROWS)
    return database


@pytest.fixture
def another(db):
    """Another handle on the same database, its engine made with the options given."""
    handles = []

    def make(**engine_options):
        handles.append(Database(db.engine.url, **engine_options))
        return handles[-1]

    yield make
    for handle in handles:
        handle.engine.dispose()


def _no_session():
    raise AssertionError("a read outside a session opened one")


def _outcome(call):
    """(result, None) or (None, (error type, message))."""
    try:
        return call(), None
    except Exception as error:
        return None, (type(error), str(error))


@pytest.mark.parametrize("read, sql, params", [
    ("query", "select id, name, orgId from t_read where name like :pattern order by id", {"pattern": "%o%"}),
    ("query", "select '50%' as pct, 'a:b' as colon, t.orgId from t_read t where t.id = :id", {"id": 2}),
    ("query", "select :a as a, :b as b, :a as c from t_read where id = 1", {"a": 7, "b": "x", "unused": 0}),
    ("query", 'select name as "n.x", count(*) as total from t_read group by name order by name', {}),
    # names read from the result itself, the same twice, also outside ASCII
    ("query", 'select name as "名前", id as "Id", name as "n.x" from t_read order by id', {}),
    ("query", 'select name as "名前", id as "Id", name as "n.x" from t_read order by id', {}),
    ("query", "select id from t_read where id > :id", {"id": 99}),
    ("query_one", "select name, orgId from t_read where orgId = :org order by id desc", {"org": 1}),
    ("query_one", "select id from t_read where id = :id", {"id": 99}),
])
def test_reads_outside_a_session_give_what_a_session_gives(db, monkeypatch, read, sql, params):
    with db.session() as session:
        expected = getattr(session, read)(sql, **params)
    monkeypatch.setattr(db, "session", _no_session)
    got = getattr(db, read)(sql, **params)
    assert got == expected
    for row in got if isinstance(got, list) else [got] if got else []:
        assert type(row) is Dict and all(key is sys.intern(key) for key in row)


@pytest.mark.parametrize("page, limit, do_count", [(1, 2, True), (2, 2, None), (3, 2, 1)])
def test_pages_outside_a_session_give_what_a_session_gives(db, page, limit, do_count):
    sql = "select id, name from t_read where orgId < :org order by id"
    with db.session() as session:
        expected = session.query_page(sql, page=page, limit=limit, do_count=do_count, org=3)
    assert db.query_page(sql, page=page, limit=limit, do_count=do_count, org=3) == expected


@pytest.mark.parametrize("read, sql, params", [
    ("query", "select nothing from no_such_table where id = :id", {"id": 1}),
    ("query", "select id, name from t_read where id = :id and name = :name", {"id": 1}),
    ("query_one", "select id from t_read where id = :id", {"id": [1, 2]}),
    # a statement without rows: SQLAlchemy's result refuses it, and the
    # statement is rolled back with its transaction
    ("query", "update t_read set name = 'changed' where id = :id", {"id": 1}),
    ("query_one", "delete from t_read where id = :id", {"id": 1}),
])
@pytest.mark.parametrize("hide_parameters", [False, True])
def test_errors_outside_a_session_are_a_sessions_errors(another, read, sql, params, hide_parameters):
    db = another(hide_parameters=hide_parameters)

    def in_session():
        with db.session() as session:
            return getattr(session, read)(sql, **params)

    expected = _outcome(in_session)
    assert expected[1] is not None
    assert _outcome(lambda: getattr(db, read)(sql, **params)) == expected
    assert db.query("select id, name, orgId from t_read order by id") == ROWS
    assert db.engine.pool.checkedout() == 0


def test_connection_failures_are_a_sessions_failures(db, engine_name):
    url = db.engine.url
    url = url.set(database="/no/such/folder/x.sqlite3") if engine_name == "sqlite" else url.set(port=1)
    unreachable = Database(url)

    def in_session():
        with unreachable.session() as session:
            return session.query("select 1 as one")

    expected = _outcome(in_session)
    assert expected[1] is not None
    assert _outcome(lambda: unreachable.query("select 1 as one")) == expected


def test_reads_outside_a_session_commit_what_they_do(db, another):
    # one connection: every call uses the one the previous call left
    single_connection = another(pool_size=1, max_overflow=0)
    added = single_connection.query("insert into t_read (id, name, orgId) values (:id, 'dee', 3) returning id", id=9)
    try:
        assert added == [{"id": 9}]
        assert db.query_one("select name from t_read where id = 9") == {"name": "dee"}
        # the connection goes back to the pool in its transaction mode: a
        # session on it that raises still leaves nothing behind
        single_connection.query("select id from t_read")
        with pytest.raises(KeyError):
            with single_connection.session() as session:
                session.execute("update t_read set name = 'lost' where id = 9")
                raise KeyError("boom")
        assert db.query_one("select name from t_read where id = 9") == {"name": "dee"}
    finally:
        db.execute("delete from t_read where id = 9")


def _kill(db, engine_name, connection_id):
    admin = create_engine(db.engine.url)
    with admin.begin() as connection:
        if engine_name == "postgresql":
            connection.execute(text("select pg_terminate_backend(:pid)"), {"pid": connection_id})
        else:
            connection.execute(text(f"kill {int(connection_id)}"))
    admin.dispose()


@pytest.fixture
def small_pool(make_database, server_engine_name):
    """A handle on a new server database whose pool holds two connections."""
    db = Database(make_database(server_engine_name).engine.url, pool_size=2, max_overflow=0)
    yield db
    db.engine.dispose()


@pytest.mark.parametrize("in_session", [False, True])
def test_a_lost_server_fails_one_read_not_one_per_connection(small_pool, server_engine_name, in_session):
    db, engine_name = small_pool, server_engine_name
    current = {"postgresql": "select pg_backend_pid() as id", "mariadb": "select connection_id() as id"}[engine_name]
    with db.session() as first, db.session() as second:
        ids = [first.query_one(current).id, second.query_one(current).id]
    for connection_id in ids:
        _kill(db, engine_name, connection_id)

    def read():
        if not in_session:
            return db.query_one(current)
        with db.session() as session:
            return session.query_one(current)

    with pytest.raises(DBAPIError) as lost:
        read()
    assert lost.value.connection_invalidated and db.engine.pool.checkedout() == 0
    # the other connection of the pool is as old: replaced, not tried
    assert read().id not in ids


def _listening(pool, events):
    for name in ("checkout", "checkin", "reset"):
        event.listen(pool, name, lambda *args, name=name: events.append(name))


@pytest.mark.parametrize("options, listen, proxied", [
    ({}, False, False),
    ({"pool_pre_ping": True}, False, True),
    ({"pool_reset_on_return": None}, False, True),
    ({}, True, True),
])
def test_a_pool_that_asks_for_more_than_its_connections_gets_it(another, engine_name, monkeypatch, options, listen,
                                                               proxied):
    db, events, proxies = another(**options), [], []
    pool = db.engine.pool
    if listen:
        _listening(pool, events)
    connect = pool.connect
    monkeypatch.setattr(pool, "connect", lambda: proxies.append(1) or connect())
    assert db.query_one("select name from t_read where id = :id", id=2) == {"name": "bo%b"}
    # SQLite's connections are asked for foreign keys at checkout
    assert bool(proxies) is (proxied or engine_name == "sqlite")
    assert ("checkout" in events) is listen and pool.checkedout() == 0


@pytest.mark.parametrize("given_back", ["invalidated", "rolled back"])
def test_a_connection_held_through_its_record_goes_back_clean(another, given_back):
    from ornivell.db.handle.pool_records import RecordConnection

    db = another(pool_size=1, max_overflow=0)
    pool = db.engine.pool
    held = RecordConnection(pool)
    first = held.dbapi_connection
    cursor = first.cursor()
    cursor.execute("insert into t_read (id, name) values (8, 'ed')")
    cursor.close()
    if given_back == "invalidated":
        held.invalidate(KeyboardInterrupt())
    else:
        held._close_special(transaction_reset=False)
    assert pool.checkedout() == 0
    again = RecordConnection(pool)
    assert (again.dbapi_connection is first) is (given_back == "rolled back")
    again._close_special(transaction_reset=True)
    assert db.query("select id from t_read where id = 8") == []


def test_reads_take_sqlalchemys_path_when_the_engine_asks_for_more(db, caplog):
    sql = "select name from t_read where id = :id"
    listened = Database(db.engine.url)
    seen = []
    event.listen(listened.engine, "before_cursor_execute", lambda conn, cursor, statement, *rest: seen.append(statement))
    assert listened.query_one(sql, id=1) == {"name": "ann"} and seen
    listened.engine.dispose()

    caplog.set_level(logging.INFO, logger="sqlalchemy.engine.Engine")
    db.query_one(sql, id=3)
    assert any("from t_read where id" in record.getMessage() for record in caplog.records)


def test_reads_honour_the_engines_execution_options(db):
    # committed at once by the option, though the read of rows then fails
    autocommit = Database(engine=db.engine.execution_options(isolation_level="AUTOCOMMIT"))
    try:
        with pytest.raises(Exception, match="does not return rows"):
            autocommit.query("update t_read set name = 'kept' where id = 3")
        assert db.query_one("select name from t_read where id = 3") == {"name": "kept"}
    finally:
        db.execute("update t_read set name = 'cy' where id = 3")


@pytest.mark.parametrize("sql, alone", [
    ("select id from t_read where id = :id", True),
    ("\n  SELECT id from t_read", True),
    ("select id into t_copy from t_read", False),
    ("with x as (delete from t_read returning id) select id from x", False),
    ("insert into t_read (id) select 5", False),
    ("-- a comment\nselect 1", False),
])
def test_only_a_plain_select_may_commit_on_its_own(db, sql, alone):
    # a statement that may yield no rows runs in a transaction, which the
    # refusal of its missing rows rolls back
    assert db.driver_statement(sql).yields_rows is alone



def _driver_dialect(name):
    from sqlalchemy.dialects import mysql, postgresql, sqlite
    return {"sqlite": sqlite.dialect(), "psycopg": postgresql.psycopg.dialect(),
            "pymysql": mysql.pymysql.dialect()}[name]


@pytest.mark.parametrize("driver", ["sqlite", "psycopg", "pymysql"])
@pytest.mark.parametrize("sql, params, in_order, by_name", [
    ("select 1", {}, (), {}),
    ("select :a", {"a": 1}, (1,), {"a": 1}),
    ("select :b, :a, :b", {"a": 1, "b": 2}, (2, 1, 2), {"a": 1, "b": 2}),
    # what the statement does not name never reaches the driver
    ("select :a", {"a": 1, "unused": 3}, (1,), {"a": 1}),
])
def test_statements_bind_exactly_their_parameters(driver, sql, params, in_order, by_name):
    from ornivell.db.handle.driversql import DriverStatement

    statement = DriverStatement.compile(text(sql), _driver_dialect(driver))
    given = dict(params)
    assert statement.bind(given) == (in_order if statement.driver_keys is None else by_name)
    assert given == params
    if by_name:
        with pytest.raises(KeyError):
            statement.bind({"unused": 3})
