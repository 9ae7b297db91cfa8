"""Reads outside a session, run straight on a pooled DB-API connection.

A read that passes no session runs in a short transaction of its own.
Through SQLAlchemy that takes a ``Connection``, its transaction, an
execution context and a result object per call, most of what a short query
costs beside the database's own work. When the engine asks for nothing that
those provide (no event listeners, execution options or statement logging),
``DirectReads`` takes a connection from the engine's pool instead (through
its record where the pool allows: ``pool_records``), runs the
statements compiled once per text (``driversql``) on a cursor, builds the
rows from the cursor and commits. Statements, parameters, rows, the
transaction and the errors raised are those of the SQLAlchemy path. Where
the driver sends BEGIN and COMMIT as round trips of their own (psycopg), a
lone SELECT runs in autocommit instead, the same transaction without them.
"""

import logging
from operator import methodcaller

from sqlalchemy.exc import DBAPIError

from .attrdict import Dict
from .pool_records import RecordConnection, takes_records
from .result_keys import result_keys
from .rowdicts import dict_rows
from .sqlparts import page_text, page_window, sql_count


def _all_rows(cursor):
    return dict_rows(result_keys(cursor), cursor.fetchall())


def _first_row(cursor):
    keys = result_keys(cursor)
    row = cursor.fetchone()
    return None if row is None else Dict(zip(keys, row))


_commit = methodcaller("commit")  # a call in C: on every read's path


def _first_value(cursor):
    return cursor.fetchone()[0]


class DirectReads:
    """The reads of a ``Session`` (``query``, ``query_one``, ``query_page``),
    each in a transaction of its own on a connection of ``database``'s
    pool. The parameters come as one mapping: a call with keyword
    arguments costs as much again as a short read's own work here."""

    __slots__ = ("_database", "_engine")

    def __init__(self, database):
        self._database = database
        self._engine = database.engine

    def usable(self):
        """Whether running a statement through SQLAlchemy would do no more than run it."""
        engine = self._engine
        # the flags SQLAlchemy itself tests before dispatching events
        return not (engine._has_events or engine.dialect._has_events or engine._execution_options
                    or engine.logger.isEnabledFor(logging.INFO))

    def rows(self, sql, params):
        results = self._run(((sql, _all_rows),), params)
        if results is None:
            return self._in_session("query", sql, params)
        return results[0]

    def first(self, sql, params):
        results = self._run(((sql, _first_row),), params)
        if results is None:
            return self._in_session("query_one", sql, params)
        return results[0]

    def page(self, sql, page, limit, do_count, params):
        page, limit = page_window(page, limit)
        reads = [(page_text(sql, page, limit), _all_rows)]
        if do_count:
            reads.append((sql_count(sql), _first_value))
        results = self._run(reads, params)
        if results is None:
            return self._in_session("query_page", sql, params, page=page, limit=limit, do_count=do_count)
        return Dict(data=results[0], total=results[1] if do_count else None, page=page, limit=limit)

    def _in_session(self, read, sql, params, **options):
        # SQLAlchemy's own path, for what this one leaves to it
        with self._database.session() as session:
            return getattr(session, read)(sql, **options, **params)

    def _run(self, reads, params):
        """``read(cursor)`` of each ``(sql, read)``, run in order in one
        transaction; None, with nothing run, when a parameter has no value."""
        runs = []
        for sql, read in reads:
            statement = self._database.driver_statement(sql)
            try:
                runs.append((statement, statement.bind(params), read))
            except KeyError:
                return None
        fairy = self._checkout()
        dialect = self._database.dialect
        autocommit = False
        try:
            # a statement without rows raises, as through SQLAlchemy, and must
            # leave nothing behind: only one that surely yields rows may commit alone
            autocommit = (dialect.lone_statements and len(runs) == 1 and runs[0][0].yields_rows
                          and self._on_connection(fairy, dialect.begin_lone_statement))
            results = []
            for statement, parameters, read in runs:  # not a comprehension: a call of its own before 3.12
                results.append(self._execute(fairy, statement.sql, parameters, read))
            if not autocommit:
                self._on_connection(fairy, _commit)
        except BaseException:
            self._give_back(fairy, autocommit, ended=False)
            raise
        self._give_back(fairy, autocommit, ended=True)
        return results

    def _checkout(self):
        engine = self._engine
        dialect = engine.dialect
        try:
            pool = engine.pool
            return RecordConnection(pool) if takes_records(pool) else engine.raw_connection()
        except dialect.loaded_dbapi.Error as error:
            raise self._wrapped(error, None, None, dialect.is_disconnect(error, None, None)) from error

    def _give_back(self, fairy, autocommit, ended):
        """Returns the connection to the pool; ``ended`` when its transaction
        did, which spares the pool's rollback, as SQLAlchemy spares it after a commit."""
        if fairy.dbapi_connection is None:
            return  # invalidated on an error
        if autocommit:
            try:
                self._database.dialect.end_lone_statement(fairy.dbapi_connection)
            except Exception as error:
                # a connection in an unknown mode must not serve anyone else
                fairy.invalidate(error)
                return
        fairy._close_special(transaction_reset=ended)

    def _execute(self, fairy, sql, parameters, read):
        cursor = fairy.dbapi_connection.cursor()
        try:
            cursor.execute(sql, parameters)
            result = read(cursor)
        except BaseException as error:
            self._fail(error, fairy, cursor, sql, parameters)
        cursor.close()
        return result

    def _on_connection(self, fairy, action):
        """``action(DB-API connection)``, failing as SQLAlchemy fails."""
        try:
            return action(fairy.dbapi_connection)
        except BaseException as error:
            self._fail(error, fairy, None, None, None)

    def _fail(self, error, fairy, cursor, sql, parameters):
        """Raises ``error`` as SQLAlchemy does, and gives up the connection
        where SQLAlchemy would: a lost connection invalidates the pool's
        connections of its age, an interrupt only its own."""
        dialect = self._engine.dialect
        is_dbapi_error = isinstance(error, dialect.loaded_dbapi.Error)
        if not isinstance(error, Exception):
            fairy.invalidate(error)
            raise error
        disconnect = is_dbapi_error and dialect.is_disconnect(error, fairy.dbapi_connection, cursor)
        if disconnect:
            self._engine.pool._invalidate(fairy, error)
        if not is_dbapi_error:
            raise error
        raise self._wrapped(error, sql, parameters, disconnect) from error

    def _wrapped(self, error, sql, parameters, disconnect):
        dialect = self._engine.dialect
        return DBAPIError.instance(sql, parameters, error, dialect.loaded_dbapi.Error,
                                   hide_parameters=self._engine.hide_parameters,
                                   connection_invalidated=disconnect, dialect=dialect)
