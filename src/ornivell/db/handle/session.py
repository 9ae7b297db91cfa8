"""Running statements and row writes inside one transaction."""

from contextlib import contextmanager
from itertools import groupby
from operator import itemgetter
from typing import NamedTuple, Type

from sqlalchemy import bindparam, delete, insert, select, text, update
from sqlalchemy.types import TypeEngine

from .attrdict import Dict
from .positional import positional
from .row_values import table_values
from .rowdicts import column_names, dict_rows
from .sqlparts import PAGE_OPTIONS, page_text, page_window, sql_count


class ResultColumn(NamedTuple):
    """A column that a statement yields. ``type`` is the generic SQLAlchemy
    type class of its values (``Integer``, ``String``, ``DateTime``,
    ``Time``, ``Boolean``, ``Numeric``, ``Date``...), ``NullType`` when the
    database does not say."""

    name: str
    type: Type[TypeEngine]
    comment: object = None


def _keys(result):
    return column_names(result.keys())


def _rows(result):
    return dict_rows(_keys(result), result)


def _runs(items, key):
    """Consecutive items that share ``key``: each run goes to the database as
    one batch, and the order of the items is kept."""
    return (list(run) for _, run in groupby(items, key))


def _column(table, name):
    try:
        return table.c[name]
    except KeyError:
        raise ValueError(f"table {table.name!r} has no column {name!r}") from None


def _update_params(table, key_columns, row):
    """``(columns to write, parameters)`` for one row. Parameters have
    generated names (``dbplus_key_<i>``, ``dbplus_set_<i>``), which cannot
    clash with the table's columns."""
    params = {}
    row = table_values(table, row)
    for i, column in enumerate(key_columns):
        if column.name not in row:
            raise ValueError(f"a row for {table.name!r} lacks its key {column.name!r}")
        params[f"dbplus_key_{i}"] = row[column.name]
    key_names = {column.name for column in key_columns}
    written = [name for name in row if name not in key_names]
    for i, name in enumerate(written):
        params[f"dbplus_set_{i}"] = row[name]
    return tuple(written), params


def _update_statement(table, key_columns, written):
    condition = [column == bindparam(f"dbplus_key_{i}") for i, column in enumerate(key_columns)]
    values = {name: bindparam(f"dbplus_set_{i}") for i, name in enumerate(written)}
    return update(table).where(*condition).values(values)


class Session:
    """One transaction on one connection of a ``Database``.

    SQL texts take named parameters (``:name``) as keyword arguments; rows
    come back as ``Dict``. Row writes ignore keys that are not columns of
    the table, and check every value against its column before anything is
    written (``row_values``).
    """

    __slots__ = ("_database", "_connection", "_pages")

    def __init__(self, database, connection, pages=None):
        self._database = database
        self._connection = connection
        # a PageStream: pages read without counting come from one open result
        self._pages = pages

    @property
    def database(self):
        return self._database

    @property
    def connection(self):
        """The SQLAlchemy connection whose transaction this is."""
        return self._connection

    def _run(self, sql, params):
        self.close_pages()
        return self._connection.execute(self._database.statement(sql), params)

    def _stream(self, sql, params):
        # read as far as asked: a server-side cursor where the driver has one
        return self._connection.execute(self._database.statement(sql), params,
                                        execution_options={"stream_results": True})

    def close_pages(self):
        """Give up a result that pages were being read from."""
        if self._pages is not None:
            self._pages.close()

    def query(self, *args, **params):
        [sql] = positional("query", args, params, ("sql",))
        return _rows(self._run(sql, params))

    def query_one(self, *args, **params):
        [sql] = positional("query_one", args, params, ("sql",))
        result = self._run(sql, params)
        keys = _keys(result)
        row = result.first()
        return None if row is None else Dict(zip(keys, row))

    def query_page(self, *args, **params):
        sql, page, limit, do_count = positional("query_page", args, params, ("sql",), PAGE_OPTIONS)
        page, limit = page_window(page, limit)
        if self._pages is not None and not do_count:
            keys, rows = self._pages.page(self._stream, sql, page, limit, params)
            return Dict(data=dict_rows(column_names(keys), rows), total=None, page=page, limit=limit)
        data = self.query(page_text(sql, page, limit), **params)
        total = self._run(sql_count(sql), params).scalar_one() if do_count else None
        return Dict(data=data, total=total, page=page, limit=limit)

    def query_meta(self, sql):
        """Column name to ``ResultColumn`` for what ``sql`` yields, or None.

        The text runs wrapped so that it returns no row; its parameters are
        bound to NULL, since only the shape of the result is read.
        """
        statement = text(f"select * from (\n{self._database.escape_sql(sql)}\n) dbplus_meta where 1 = 0")
        statement = statement.bindparams(**dict.fromkeys(statement.compile().params))
        result = self._connection.execute(statement)
        description = result.cursor.description
        result.close()
        if not description:
            return None
        types = self._database.dialect.result_types(self._connection, statement, description)
        # the generic class, as the extension compares a column's type with Integer, String...
        return {d[0]: ResultColumn(d[0], t._type_affinity) for d, t in zip(description, types)}

    @contextmanager
    def savepoint(self):
        """A part of the transaction that can be undone alone: ``rollback()``
        on the object the block receives undoes what ran in the block so far,
        and so does an error raised out of it; otherwise it is kept."""
        self.close_pages()
        self._database.dialect.open_before_savepoint(self._connection)
        with self._connection.begin_nested() as nested:
            yield nested

    def execute(self, *args, **params):
        [sql] = positional("execute", args, params, ("sql",))
        return self._run(sql, params).rowcount

    def add(self, table_name, values):
        """Insert the row; returns it as stored, with its generated key."""
        return self.add_many(table_name, [values])[0]

    def add_many(self, table_name, rows):
        """Insert the rows; returns them as stored, with their generated
        keys, in the order given. Rows that name the same columns go as one
        batch; every value is checked before the first row is written."""
        table = self._database.table(table_name, self._connection)
        rows = [table_values(table, row, inserting=True) for row in rows]
        if not self._connection.dialect.insert_executemany_returning_sort_by_parameter_order:
            return [self._insert_and_read(table, row) for row in rows]
        statement = insert(table).returning(*table.c, sort_by_parameter_order=True)
        added = []
        for run in _runs(rows, key=tuple):
            added += _rows(self._connection.execute(statement, run))
        return added

    def merge(self, table_name, values, key="id"):
        """Update the row whose ``key`` column (by default ``id``) holds
        ``values[key]``; returns the row count."""
        return self.update_many(table_name, [values], keys=[key])

    def update_many(self, table_name, rows, keys=None):
        """Update each row matched on its ``keys`` columns (default ``id``)
        with its other column values; returns the row count."""
        table = self._database.table(table_name, self._connection)
        key_columns = [_column(table, key) for key in (keys or ["id"])]
        changes = (_update_params(table, key_columns, row) for row in rows)
        count = 0
        for run in _runs((change for change in changes if change[0]), key=itemgetter(0)):
            statement = _update_statement(table, key_columns, run[0][0])
            count += self._connection.execute(statement, [params for _, params in run]).rowcount
        return count

    def delete(self, table_name, id, key="id"):
        """Delete the row whose ``key`` column (by default ``id``) holds ``id``; returns the row count."""
        table = self._database.table(table_name, self._connection)
        id = table_values(table, {key: id}).get(key, id)
        return self._connection.execute(delete(table).where(_column(table, key) == id)).rowcount

    def _insert_and_read(self, table, row):
        # for databases without INSERT ... RETURNING
        if not table.primary_key:
            raise ValueError(f"table {table.name!r} has no primary key to read the inserted row back")
        key = self._connection.execute(insert(table), row).inserted_primary_key
        condition = [column == value for column, value in zip(table.primary_key, key)]
        return _rows(self._connection.execute(select(table).where(*condition)))[0]
