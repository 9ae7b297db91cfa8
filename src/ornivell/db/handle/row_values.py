"""Values of rows to write, checked against and converted to the types of
their table's columns before any statement runs, so that a value a column
cannot take is a ``ValueError`` naming the column on every database, and
nothing is written. Null is such a value for a NOT NULL column, and so is a
missing value on insert, unless the database or the table fills it in.

A value is read as a filter value is (``jsql_values``: texts of numbers and
dates, JSON numbers and booleans), and besides taken as the object a Python
caller means: a ``Decimal`` for a number, a ``date``, ``datetime`` or ``time``
for its column. On top of its type, a column limits the length of a text,
the range of an integer and the digits of a fixed-point number.
"""

import datetime
import functools
from decimal import Decimal
from typing import Callable, Dict, FrozenSet, NamedTuple, Optional, Tuple

from sqlalchemy import BigInteger, Integer, SmallInteger

from ..jsql_values import UnfitValue, python_type, type_converter, unfit
from .mysql_types import is_mysql_type


class ColumnValueError(ValueError):
    """A value its column cannot take; the message starts with the column's name."""


def _taking(native, convert, excluded=()):
    """``convert``, except for objects of the ``native`` types, taken as they are."""
    def read(value):
        if isinstance(value, native) and not isinstance(value, excluded):
            return value
        return convert(value)
    return read


def _moment(convert, zoned):
    def read(value):
        if isinstance(value, datetime.datetime):
            # engines without time zones would drop the offset silently
            if value.tzinfo is not None and not zoned:
                raise UnfitValue("a time zone offset needs a column with time zone")
            return value
        if isinstance(value, datetime.date):
            return datetime.datetime.combine(value, datetime.time())
        return convert(value)
    return read


def _with_native(kind, convert, column_type):
    if kind is Decimal or kind is float:
        return _taking(Decimal, convert)
    if kind is datetime.date:
        # a date and time is not cut short to its day
        return _taking(datetime.date, convert, excluded=datetime.datetime)
    if kind is datetime.datetime:
        return _moment(convert, getattr(column_type, "timezone", False))
    if kind is datetime.time:
        return _taking(datetime.time, convert)
    return convert


def _integer_bits(column_type):
    if is_mysql_type(column_type, "TINYINT"):
        return 8
    if isinstance(column_type, SmallInteger):
        return 16
    if is_mysql_type(column_type, "MEDIUMINT"):
        return 24
    if isinstance(column_type, BigInteger):
        return 64
    return 32 if isinstance(column_type, Integer) else 64


def _integer_range(column_type):
    bits = _integer_bits(column_type)
    if getattr(column_type, "unsigned", False):
        return 0, 2 ** bits - 1
    return -2 ** (bits - 1), 2 ** (bits - 1) - 1


def _limit(kind, column_type):
    """The column's limit beyond its type, as a check of converted values, or None."""
    if kind is str and getattr(column_type, "length", None):
        length = column_type.length

        def check(text):
            if len(text) > length:
                raise UnfitValue(f"expected at most {length} characters, got {len(text)}")
        return check
    if kind is int:
        low, high = _integer_range(column_type)

        def check(number):
            if not low <= number <= high:
                raise UnfitValue(f"expected an integer from {low} to {high}, got {number}")
        return check
    if kind is Decimal and getattr(column_type, "precision", None):
        whole_digits = column_type.precision - (column_type.scale or 0)
        ceiling = Decimal(10) ** whole_digits

        def check(number):
            exact = Decimal(number)
            if not (exact.is_finite() and abs(exact) < ceiling):
                raise unfit(f"a number of at most {whole_digits} digits before the point", number)
        return check
    return None


def _full_converter(kind, convert, column_type):
    read = _with_native(kind, convert, column_type)
    check = _limit(kind, column_type)
    if check is None:
        return read

    def read_and_check(value):
        value = read(value)
        check(value)
        return value
    return read_and_check


def _ready(kind, column_type):
    """A test of the values that need no conversion, of the kinds written
    most, or None: one call per value instead of several on a batch."""
    if kind is str and not getattr(column_type, "enums", None):
        length = getattr(column_type, "length", None) or float("inf")
        return lambda value: value.__class__ is str and len(value) <= length
    if kind is int:
        low, high = _integer_range(column_type)
        return lambda value: value.__class__ is int and low <= value <= high
    if kind is datetime.datetime and not getattr(column_type, "timezone", False):
        return lambda value: value.__class__ is datetime.datetime and value.tzinfo is None
    return None


# the kinds of columns that may hold containers: arrays, and any object (JSON, pickled)
_COMPOSITE_KINDS = (dict, list, object)
_CONTAINERS = (dict, list, tuple, set, frozenset)


def _single(value):
    # a container given to a column of one value reaches the driver otherwise
    if isinstance(value, _CONTAINERS):
        raise unfit("a single value", value)
    return value


def _row_converter(column_type):
    convert = type_converter(column_type)
    kind = python_type(column_type)
    if convert is None:
        return None if kind in _COMPOSITE_KINDS else _single
    full = _full_converter(kind, convert, column_type)
    ready = _ready(kind, column_type)
    if ready is None:
        return full
    return lambda value: value if ready(value) else full(value)


def _filled_in(table, column):
    """Whether an insert that names no value for ``column`` gets one all the same."""
    return (column.default is not None or column.server_default is not None or column.computed is not None
            or column.identity is not None or column is table.autoincrement_column)


class _TableRules(NamedTuple):
    converters: Dict[str, Optional[Callable]]
    not_null: FrozenSet[str]
    # the NOT NULL columns that an insert must give a value
    required: Tuple[str, ...]


# Reflection makes new tables rather than altering old ones, so a table's rules hold.
@functools.lru_cache(maxsize=256)
def _rules(table):
    not_null = [column for column in table.c if not column.nullable]
    return _TableRules({column.name: _row_converter(column.type) for column in table.c},
                       frozenset(column.name for column in not_null),
                       tuple(column.name for column in not_null if not _filled_in(table, column)))


def table_values(table, values, inserting=False):
    """The entries of ``values`` that name columns of ``table`` (an SQLAlchemy
    table), each converted for its column; ``None`` stays ``None`` where the
    column is nullable. ``ColumnValueError`` for a value its column cannot
    take, and, ``inserting``, for a required column that ``values`` lacks."""
    rules = _rules(table)
    converters = rules.converters
    row = {}
    try:
        for key, value in values.items():
            if key in converters:
                convert = converters[key]
                if value is None and key in rules.not_null:
                    raise UnfitValue("expected a value, got null")
                row[key] = value if convert is None or value is None else convert(value)
    except UnfitValue as error:
        raise ColumnValueError(f"{key}: {error}") from None
    if inserting:
        missing = [name for name in rules.required if name not in row]
        if missing:
            raise ColumnValueError(f"{missing[0]}: expected a value, none given")
    return row
