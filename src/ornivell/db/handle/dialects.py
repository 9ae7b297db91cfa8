"""What differs between the supported databases: quoting, statement texts,
connection settings, the column types of a result and how one transaction
is kept from overlapping others."""

import hashlib
from contextlib import contextmanager

from sqlalchemy import event, text
from sqlalchemy.types import NullType

from .keywords import POSTGRESQL_SYNTAX_WORDS, SQLITE_QUALIFIED_RESERVED
from .sqltext import requote


def _mixed_case(word):
    return word != word.lower() and word != word.upper()


class Dialect:
    """The statement texts are written for MySQL; each dialect says how to
    run them on its database."""

    name = None
    quote_char = '"'

    def quote(self, name):
        q = self.quote_char
        return q + name.replace(q, q + q) + q

    def needs_quotes(self, word, qualified, call):
        raise NotImplementedError

    def adapt_sql(self, sql):
        return requote(sql, self.needs_quotes, self.quote)

    def engine_options(self, options):
        return options

    def prepare_engine(self, engine):
        """Called with each engine a handle runs on, made by it or given to it."""

    def result_type(self, type_code):
        """The SQLAlchemy type of a result column from its driver type code."""
        return NullType()

    def result_types(self, connection, statement, description):
        """The SQLAlchemy type of each column that ``statement`` (a ``text``
        construct, its parameters bound to NULL) yields, in the order of the
        cursor's ``description``."""
        return [self.result_type(column[1]) for column in description]

    # session-level named locks, taken and released outside any transaction;
    # each answers 1 when granted. None where claim_writes serialises instead.
    lock_sql = None
    unlock_sql = None
    LOCK_WAIT_SECONDS = 30

    def lock_params(self, key):
        return {"key": _lock_number(key)}

    @contextmanager
    def named_lock(self, connection, key):
        """Holds the lock named ``key`` on ``connection`` while the block runs;
        other holders of the same name, in any process, wait for it. Taken
        before the block's transaction begins, so that the transaction's
        snapshot, at any isolation level, follows the previous holder's commit."""
        if self.lock_sql is None:
            yield
            return
        params = self.lock_params(key)
        granted = connection.execute(text(self.lock_sql), params).scalar()
        connection.commit()
        if granted != 1:
            raise LockTimeout(f"lock {key!r} not granted within {self.LOCK_WAIT_SECONDS} seconds")
        try:
            yield
        finally:
            if not connection.invalidated:
                connection.execute(text(self.unlock_sql), params)
                connection.commit()

    def claim_writes(self, connection):
        """Called first in a transaction that must not overlap another writer's."""

    def open_before_savepoint(self, connection):
        """Makes sure the database has begun the transaction of ``connection``
        before a savepoint is set in it."""

    # whether begin_lone_statement may run a lone statement without BEGIN and COMMIT
    lone_statements = False

    def begin_lone_statement(self, connection):
        """Lets the DB-API ``connection`` run the one statement of a short
        transaction as a transaction of its own, where that spares round
        trips; True if it did, and ``end_lone_statement`` must follow."""
        return False

    def end_lone_statement(self, connection):
        """Undoes ``begin_lone_statement``."""


def _lock_number(key):
    """A 64-bit number for ``key``, the same in every process."""
    return int.from_bytes(hashlib.blake2b(key.encode(), digest_size=8).digest(), "big", signed=True)


class LockTimeout(TimeoutError):
    """A named lock that another holder kept too long."""


def _enforce_foreign_keys(dbapi_connection, record, proxy):
    # once per connection, outside any transaction, where the pragma takes effect
    if not record.info.get("dbplus_foreign_keys"):
        cursor = dbapi_connection.cursor()
        cursor.execute("PRAGMA foreign_keys=ON")
        cursor.close()
        record.info["dbplus_foreign_keys"] = True


class SQLiteDialect(Dialect):
    name = "sqlite"

    def prepare_engine(self, engine):
        # SQLite checks foreign keys only on connections that ask, the servers
        # always. Asked at checkout, so that connections pooled before a
        # handle took the engine ask too.
        if not event.contains(engine, "checkout", _enforce_foreign_keys):
            event.listen(engine, "checkout", _enforce_foreign_keys)

    # a view on a statement, in the connection's own temp schema
    _META_VIEW = "dbplus_meta_view"

    def needs_quotes(self, word, qualified, call):
        return qualified and word.lower() in SQLITE_QUALIFIED_RESERVED

    def result_types(self, connection, statement, description):
        # SQLite's results carry no types; a view on the statement declares
        # the type of every column taken straight from a table column
        declared = self._declared_types(connection, statement)
        if len(declared) != len(description):
            return [NullType() for _ in description]
        return [connection.dialect._resolve_type_affinity(type_text.upper()) for type_text in declared]

    def _declared_types(self, connection, statement):
        from sqlalchemy.exc import DBAPIError

        # a view takes no parameters: the NULLs they are bound to are written in
        sql = str(statement.compile(dialect=connection.dialect, compile_kwargs={"literal_binds": True}))
        view = self._META_VIEW
        try:
            connection.exec_driver_sql(f"drop view if exists temp.{view}")
            connection.exec_driver_sql(f"create temp view {view} as {sql}")
            rows = connection.exec_driver_sql(f"pragma temp.table_info({view})").all()
            connection.exec_driver_sql(f"drop view temp.{view}")
        except DBAPIError:
            return []
        return [row[2] for row in rows]

    def claim_writes(self, connection):
        # one write lock for the whole database, taken at once rather than at
        # the first write; the driver leaves a transaction begun so to its caller
        connection.exec_driver_sql("BEGIN IMMEDIATE")

    def open_before_savepoint(self, connection):
        # the driver begins a transaction only before a write; a SAVEPOINT
        # outside one would begin it instead, and its RELEASE commit it all
        if not connection.connection.dbapi_connection.in_transaction:
            connection.exec_driver_sql("BEGIN")


class MySQLDialect(Dialect):
    name = "mysql"
    quote_char = "`"

    # MariaDB's default, fixed per session: a server set to ANSI_QUOTES (or a
    # mode implying it) would read double-quoted aliases as identifiers and
    # double-quoted texts as column names.
    SQL_MODE = "STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_ENGINE_SUBSTITUTION"

    # result type codes of the MySQL protocol
    _TYPE_NAMES = {
        0: "decimal", 1: "tinyint", 2: "smallint", 3: "int", 4: "float",
        5: "double", 7: "timestamp", 8: "bigint", 9: "mediumint", 10: "date",
        11: "time", 12: "datetime", 13: "year", 14: "date", 15: "varchar",
        16: "bit", 245: "json", 246: "decimal", 249: "tinyblob",
        250: "mediumblob", 251: "longblob", 252: "blob", 253: "varchar",
        254: "char",
    }

    def adapt_sql(self, sql):
        return sql

    def engine_options(self, options):
        # init_command runs inside the driver's connect, before SQLAlchemy
        # looks at the session's quoting mode
        connect_args = dict(options.get("connect_args", {}))
        connect_args.setdefault("init_command", f"SET SESSION sql_mode='{self.SQL_MODE}'")
        return {**options, "connect_args": connect_args}

    def result_type(self, type_code):
        # the dialect's own module, loaded by the engine that asks
        from sqlalchemy.dialects.mysql.base import ischema_names

        type_class = ischema_names.get(self._TYPE_NAMES.get(type_code))
        return type_class() if type_class else NullType()

    lock_sql = f"select get_lock(:key, {Dialect.LOCK_WAIT_SECONDS})"
    unlock_sql = "select release_lock(:key)"

    def lock_params(self, key):
        # names hold at most 64 characters
        return {"key": f"dbplus/{_lock_number(key):x}"}


class PostgreSQLDialect(Dialect):
    name = "postgresql"

    def needs_quotes(self, word, qualified, call):
        # PostgreSQL folds bare names to lower case; tables made through
        # SQLAlchemy keep their mixed-case names, so those must be quoted.
        if call or not _mixed_case(word):
            return False
        return qualified or word.lower() not in POSTGRESQL_SYNTAX_WORDS

    def result_type(self, type_code):
        from psycopg.postgres import types
        from sqlalchemy.dialects.postgresql.base import ischema_names

        info = types.get(type_code)
        type_class = info and ischema_names.get(info.regtype)
        return type_class() if type_class else NullType()

    lone_statements = True

    def begin_lone_statement(self, connection):
        # psycopg sends BEGIN and COMMIT as round trips of their own; in
        # autocommit one statement is the same transaction without them, as
        # long as the connection asks for nothing that BEGIN would carry
        if connection.autocommit or (connection.isolation_level, connection.read_only,
                                     connection.deferrable) != (None, None, None):
            return False
        connection.autocommit = True
        return True

    def end_lone_statement(self, connection):
        connection.autocommit = False

    # the function returns nothing; the row it makes says it is granted
    lock_sql = "select 1 from pg_advisory_lock(:key)"
    unlock_sql = "select pg_advisory_unlock(:key)"


_DIALECTS = {d.name: d for d in (SQLiteDialect(), MySQLDialect(), PostgreSQLDialect())}
_DIALECTS["mariadb"] = _DIALECTS["mysql"]


def dialect_for(name):
    """The dialect for an SQLAlchemy backend name, e.g. ``"postgresql"``."""
    try:
        return _DIALECTS[name]
    except KeyError:
        supported = ", ".join(sorted(_DIALECTS))
        raise ValueError(f"unsupported database {name!r}; supported: {supported}") from None
