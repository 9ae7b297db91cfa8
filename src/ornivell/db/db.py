"""The database handle of the host: SQL texts with named parameters in,
``Dict`` rows out, on SQLite, MariaDB/MySQL or PostgreSQL."""

import os
import re
from contextlib import contextmanager, nullcontext
from contextvars import ContextVar
from functools import lru_cache

from sqlalchemy import MetaData, Table, create_engine, make_url, text

from .handle import sqlparts
from .handle.attrdict import Dict
from .handle.dialects import dialect_for
from .handle.directreads import DirectReads
from .handle.driversql import DriverStatement
from .handle.pagestream import PageStream
from .handle.positional import positional
from .handle.session import ResultColumn, Session
from .handle.urls import DEFAULT_URL, URL_VARIABLE

__all__ = ["Database", "Dict", "ResultColumn", "Session", "URL_VARIABLE", "DEFAULT_URL"]


def _create_engine(url, engine_kwargs):
    url = make_url(url or os.environ.get(URL_VARIABLE) or DEFAULT_URL)
    dialect = dialect_for(url.get_backend_name())
    return create_engine(url, **dialect.engine_options(engine_kwargs))


# what no name holds and every computed-column expression does
_EXPRESSION = re.compile(r"[\s()]")

_VERSION_SQL = "select version from _metadata_version where id = 1"

# the leading parameters of the statement methods (``positional``)
_SQL = ("sql",)
_SESSION = (("session", None),)
_PAGE_OPTIONS = (*sqlparts.PAGE_OPTIONS, *_SESSION)

# the session of an open ``serialized`` block, per thread (and task)
_serialized_session = ContextVar("dbplus_serialized_session", default=None)


class Database:
    """A handle on one database.

    ``Database(url)`` takes an SQLAlchemy URL (``sqlite:///file``,
    ``mysql+pymysql://user@host/db``, ``postgresql+psycopg://user@host/db``);
    without one it reads ``DBPLUS_DATABASE_URL``, else uses the SQLite file
    ``dbplus.sqlite3``. ``engine=`` wraps an engine made elsewhere instead;
    further keywords go to ``create_engine``.

    SQL texts are written as for MySQL; before they run, the handle adapts
    their identifier quoting to the database (``escape_sql``). Every method
    that takes ``session`` runs in that session's transaction, or without one
    in a short transaction of its own, committed at once; the reads among
    them (``query``, ``query_one``, ``query_page``) then run straight on a
    pooled DB-API connection where SQLAlchemy would do no more than run
    them (``directreads``).
    """

    def __init__(self, url=None, *, engine=None, **engine_kwargs):
        if engine is None:
            engine = _create_engine(url, engine_kwargs)
        elif url is not None or engine_kwargs:
            raise TypeError("give either a URL with engine options or an engine, not both")
        self.engine = engine
        self.dialect = dialect_for(engine.dialect.name)
        self.dialect.prepare_engine(engine)
        # the extension adapts its statement fragments itself when this is set;
        # execution adapts every text anyway, and adapting twice changes nothing
        self.force_escape_sql = False
        self._tables = None
        self._metadata = MetaData()
        # memos for the hot path: one C-level lookup for a repeated name or text
        self.escape = lru_cache(maxsize=4096)(self._quote_identifier)
        self.escape_sql = lru_cache(maxsize=1024)(self.dialect.adapt_sql)
        self.statement = lru_cache(maxsize=1024)(self._text_statement)
        self.driver_statement = lru_cache(maxsize=1024)(self._driver_statement)
        self._direct_reads = DirectReads(self)

    def __repr__(self):
        return f"Database({self.engine.url.render_as_string(hide_password=True)!r})"

    # identifiers and statement texts

    def _quote_identifier(self, key):
        """``key`` quoted for the database; ``a.b`` is quoted part by part.

        A text holding white space or brackets is not a name but an SQL
        expression that a model's designer wrote for a computed column; it
        is returned as written, like the model's other stored SQL.
        """
        if not isinstance(key, str):
            raise TypeError(f"an identifier must be a text, not {type(key).__name__}")
        if _EXPRESSION.search(key):
            return key
        parts = key.split(".")
        if not all(parts):
            raise ValueError(f"empty identifier part in {key!r}")
        return ".".join(self.dialect.quote(part) for part in parts)

    def _text_statement(self, sql):
        return text(self.escape_sql(sql))

    def _driver_statement(self, sql):
        return DriverStatement.compile(text(self.escape_sql(sql)), self.engine.dialect)

    # the same text on every supported database
    sql_page = staticmethod(sqlparts.sql_page)
    sql_count = staticmethod(sqlparts.sql_count)
    in_clause = staticmethod(sqlparts.in_clause)

    def is_mssql(self):
        return self.engine.dialect.name == "mssql"

    # table definitions

    @property
    def tables(self):
        """Table name to SQLAlchemy ``Table``, read from the database on first use."""
        if self._tables is None:
            self.reflect()
        return self._tables

    @tables.setter
    def tables(self, tables):
        self._tables = tables

    def reflect(self, extend_existing=True):
        """Re-read the database's table and view definitions into ``tables``.

        With ``extend_existing`` every definition is read anew (columns that
        were dropped disappear); without it, tables already in ``tables``
        keep their definitions and only new tables are added.
        """
        with self.engine.connect() as connection:
            self._reflect(connection, extend_existing)

    def _reflect(self, connection, extend_existing=True):
        metadata = MetaData()
        # views too: a view can be a model's main table
        metadata.reflect(bind=connection, views=True)
        tables = dict(metadata.tables)
        if not extend_existing and self._tables:
            tables.update((name, t) for name, t in self._tables.items() if name in tables)
        self._metadata = metadata
        self._tables = tables

    def table(self, name, connection):
        """The ``Table`` called ``name``, read through ``connection`` (the
        caller's transaction) when it is not known yet."""
        if self._tables is None:
            self._reflect(connection)
        table = self._tables.get(name)
        if table is None:
            table = Table(name, self._metadata, autoload_with=connection)
            self._tables[name] = table
        return table

    # sessions and statements

    @contextmanager
    def session(self, stream_pages=False):
        """One transaction: committed when the block ends, rolled back (and
        the error raised again) when it raises.

        With ``stream_pages``, ``query_page`` without counting reads
        consecutive pages of one statement from one open result, as an
        export does: the statement runs once instead of once per page, and
        every page comes from the same reading of the data.
        """
        with self.engine.begin() as connection:
            session = Session(self, connection, PageStream() if stream_pages else None)
            try:
                yield session
            finally:
                session.close_pages()

    @contextmanager
    def serialized(self, key):
        """A short transaction of the handle's own that no other ``serialized``
        block of the same ``key`` overlaps, in this process or another: its
        reads see what the previous one committed. Meanwhile the calls of this
        thread that pass no session run in it; the caller's sessions are not
        involved.

        PostgreSQL and MariaDB hold a named lock (``pg_advisory_lock``,
        ``GET_LOCK``) around the transaction; SQLite begins it with ``BEGIN
        IMMEDIATE``, taking the database's one write lock. So on SQLite a
        thread must not hold a session that has written while it opens one:
        that session's own lock keeps the block waiting until the driver's
        timeout.
        """
        with self.engine.connect() as connection, self.dialect.named_lock(connection, key):
            with connection.begin():
                self.dialect.claim_writes(connection)
                session = Session(self, connection)
                token = _serialized_session.set(session)
                try:
                    yield session
                finally:
                    _serialized_session.reset(token)

    def _in(self, session):
        """Where a call runs: ``session``, else the open ``serialized``
        block's session, else a session of its own."""
        if session is None:
            session = self._serialized()
        return self.session() if session is None else nullcontext(session)

    def _serialized(self):
        serialized = _serialized_session.get()
        return serialized if serialized is not None and serialized.database is self else None

    def _direct(self, session):
        """The direct reads, for a read that runs in a transaction of its own
        when running it directly is the same; else None."""
        if session is not None:
            return None
        # as _serialized() tells, without its call: on every read's path
        serialized = _serialized_session.get()
        if serialized is not None and serialized.database is self:
            return None
        return self._direct_reads if self._direct_reads.usable() else None

    def query(self, *args, **params):
        sql, session = positional("query", args, params, _SQL, _SESSION)
        direct = self._direct(session)
        if direct is not None:
            return direct.rows(sql, params)
        with self._in(session) as s:
            return s.query(sql, **params)

    def query_one(self, *args, **params):
        sql, session = positional("query_one", args, params, _SQL, _SESSION)
        direct = self._direct(session)
        if direct is not None:
            return direct.first(sql, params)
        with self._in(session) as s:
            return s.query_one(sql, **params)

    def query_page(self, *args, **params):
        sql, page, limit, do_count, session = positional("query_page", args, params, _SQL, _PAGE_OPTIONS)
        direct = self._direct(session)
        if direct is not None:
            return direct.page(sql, page, limit, do_count, params)
        with self._in(session) as s:
            return s.query_page(sql, page=page, limit=limit, do_count=do_count, **params)

    def query_meta(self, sql, session=None):
        with self._in(session) as s:
            return s.query_meta(sql)

    def execute(self, *args, **params):
        sql, session = positional("execute", args, params, _SQL, _SESSION)
        with self._in(session) as s:
            return s.execute(sql, **params)

    def add(self, table_name, values, session=None):
        with self._in(session) as s:
            return s.add(table_name, values)

    def add_many(self, table_name, rows, session=None):
        with self._in(session) as s:
            return s.add_many(table_name, rows)

    def merge(self, table_name, values, key="id", session=None):
        with self._in(session) as s:
            return s.merge(table_name, values, key=key)

    def update_many(self, table_name, rows, keys=None, session=None):
        with self._in(session) as s:
            return s.update_many(table_name, rows, keys=keys)

    def delete(self, table_name, id, key="id", session=None):
        with self._in(session) as s:
            return s.delete(table_name, id, key=key)

    # the version of the metadata, which tells running processes of a change

    def metadata_version(self):
        """The version that every change of the metadata tables moves, read
        on a connection of its own, apart from any open transaction; None
        while the database has no version row (made before there was one,
        and not changed since)."""
        from sqlalchemy.exc import DBAPIError

        try:
            with self.engine.connect() as connection:
                row = connection.execute(self.statement(_VERSION_SQL)).first()
        except DBAPIError:
            return None
        return None if row is None else row[0]

    def move_metadata_version(self, session=None):
        """Moves the version in ``session``'s transaction (else in one of its
        own); a database without the version row gets it first."""
        from . import schema

        with self._in(session) as s:
            schema.move_version(s.connection)
