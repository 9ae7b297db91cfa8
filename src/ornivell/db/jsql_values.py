"""Filter values checked against, and converted to, the type of their column.

A converter takes a text, number or boolean that the filter parser has already
accepted as a value, and returns what is bound for the column, or raises
``UnfitValue``. The rules are described in the README, section "Filters and
ordering". Values written to rows (``row_values``) are read by the same
converters.
"""

import datetime
import functools
import json
import math
import re
from decimal import Decimal
from typing import Callable, NamedTuple

from .handle.mysql_types import is_mysql_type

INT_MIN, INT_MAX = -2 ** 63, 2 ** 63 - 1
_SHOWN_LENGTH = 40

_INTEGER = re.compile(r"[-+]?[0-9]{1,19}")
# The exponent stays small: every engine can hold the number. Each digit can
# belong to one part only, so a match takes time linear in the text.
_NUMBER = re.compile(r"[-+]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][-+]?[0-9]{1,3})?")
_DAY = r"([0-9]{4})-([0-9]{2})-([0-9]{2})"
_CLOCK = r"([0-9]{2}):([0-9]{2})(?::([0-9]{2})(?:\.([0-9]{1,6}))?)?"
_DATE = re.compile(_DAY)
_TIME = re.compile(_CLOCK)
_DATETIME = re.compile(r"%s(?:[T ]%s(Z|[-+][0-9]{2}:[0-9]{2})?)?" % (_DAY, _CLOCK))


class UnfitValue(Exception):
    """A value its column cannot take; the message says what the column expects."""


class ValueRule(NamedTuple):
    """How the filter values of one column are checked and bound."""

    convert: Callable
    # whether _like and its kin apply: the column holds texts, or its type is unknown
    patterns: bool


def _shown(value):
    # values written to rows may be any object: those JSON lacks show as their text
    try:
        text = json.dumps(value, ensure_ascii=False, default=str)
    except (RecursionError, ValueError):  # nested too deeply, or holding itself
        return "a nested " + type(value).__name__
    return text if len(text) <= _SHOWN_LENGTH else text[:_SHOWN_LENGTH - 4] + '..."'


def unfit(expected, value):
    """The error for ``value`` where the column expects ``expected``."""
    return UnfitValue("expected %s, got %s" % (expected, _shown(value)))


def _is_integer(value):
    # JSON's integers first: the usual value costs one test
    return value.__class__ is int or (isinstance(value, int) and value is not True and value is not False)


def _as_is(value):
    return value


def _as_text(value):
    if value.__class__ is str:
        return value
    if isinstance(value, str):  # a subclass, such as a reflected name
        return str(value)
    # the number's JSON text, so that every engine compares texts
    if _is_integer(value) or isinstance(value, float):
        return str(value)
    raise unfit("a text or number", value)


def _as_integer(value):
    if value.__class__ is int or _is_integer(value):  # a key's usual value without a call
        return value
    if isinstance(value, str) and _INTEGER.fullmatch(value):
        number = int(value)
        if INT_MIN <= number <= INT_MAX:
            return number
        raise UnfitValue("integer out of range")
    raise unfit("an integer", value)


def _number_text(value, expected):
    if isinstance(value, str) and _NUMBER.fullmatch(value):
        number = Decimal(value)
        if math.isfinite(float(number)):
            return number
        raise UnfitValue("number out of range")
    raise unfit(expected, value)


def _as_decimal(value):
    if _is_integer(value):
        return value
    if isinstance(value, float):
        # the shortest text that reads back as the float: what the client wrote
        return Decimal(repr(value))
    return _number_text(value, "a number")


def _as_float(value):
    if _is_integer(value) or isinstance(value, float):
        return value
    return float(_number_text(value, "a number"))


def _as_boolean(value):
    if value is True or value is False:
        return value
    if _is_integer(value) and value in (0, 1):
        return bool(value)
    raise unfit("true, false, 0 or 1", value)


def _parsed(pattern, value, build, expected):
    match = pattern.fullmatch(value) if isinstance(value, str) else None
    if match:
        try:
            return build(*match.groups())
        except ValueError:
            pass  # a field out of range, such as month 13
    raise unfit(expected, value)


def _clock(hour, minute, second, fraction):
    return int(hour), int(minute), int(second or 0), int((fraction or "").ljust(6, "0"))


def _zone(offset):
    if offset is None:
        return None
    if offset == "Z":
        return datetime.timezone.utc
    sign = -1 if offset[0] == "-" else 1
    return datetime.timezone(sign * datetime.timedelta(hours=int(offset[1:3]), minutes=int(offset[4:6])))


def _date(year, month, day):
    return datetime.date(int(year), int(month), int(day))


def _datetime(year, month, day, hour, minute, second, fraction, offset):
    clock = () if hour is None else _clock(hour, minute, second, fraction)
    return datetime.datetime(int(year), int(month), int(day), *clock, tzinfo=_zone(offset))


def _time(hour, minute, second, fraction):
    return datetime.time(*_clock(hour, minute, second, fraction))


def _as_date(value):
    return _parsed(_DATE, value, _date, "a date YYYY-MM-DD")


def _as_time(value):
    return _parsed(_TIME, value, _time, "a time HH:MM[:SS[.ffffff]]")


def _as_datetime(zoned):
    def convert(value):
        moment = _parsed(_DATETIME, value, _datetime, "a date and time YYYY-MM-DD[THH:MM[:SS[.ffffff]]]")
        # engines without time zones would drop the offset silently
        if moment.tzinfo is not None and not zoned:
            raise UnfitValue("a time zone offset needs a column with time zone")
        return moment
    return convert


def _as_label(labels):
    def convert(value):
        text = _as_text(value)
        if text in labels:
            return text
        raise unfit("one of %s" % ", ".join(map(_shown, labels)), value)
    return convert


_CONVERTERS = {
    int: _as_integer, float: _as_float, Decimal: _as_decimal, bool: _as_boolean,
    datetime.date: _as_date, datetime.time: _as_time,
}

UNTYPED = ValueRule(_as_is, True)


def python_type(column_type):
    """The Python type of the column's values, or None when unknown."""
    # MariaDB and MySQL store a boolean as a one-digit TINYINT, read back as an integer type.
    if is_mysql_type(column_type, "TINYINT") and column_type.display_width == 1:
        return bool
    try:
        return column_type.python_type
    except NotImplementedError:
        return None


def type_converter(column_type):
    """The converter of values for a column of ``column_type``, or None to take them as given."""
    kind = python_type(column_type)
    if kind is str:
        labels = getattr(column_type, "enums", None)
        return _as_label(tuple(labels)) if labels else _as_text
    if kind is datetime.datetime:
        return _as_datetime(getattr(column_type, "timezone", False))
    return _CONVERTERS.get(kind)


# A parser serves one request and asks again for each property it meets. Reflection
# makes new tables rather than altering old ones, so a table's rules hold.
@functools.lru_cache(maxsize=1024)
def value_rule(table, name, dialect):
    """How values of column ``name`` of ``table``, an SQLAlchemy table, are bound on ``dialect``."""
    column = table.c.get(name)
    return UNTYPED if column is None else type_rule(column.type, dialect)


def type_rule(column_type, dialect):
    """How values for a column of ``column_type`` (an SQLAlchemy type, or None when
    unknown) are bound on ``dialect``."""
    convert = None if column_type is None else type_converter(column_type)
    if convert is None:
        return UNTYPED
    patterns = convert is _as_text
    # the engine's own form of the value, e.g. a text for a date on SQLite
    process = column_type.dialect_impl(dialect).bind_processor(dialect)
    if process is not None:
        check, convert = convert, lambda value: process(check(value))
    return ValueRule(convert, patterns)
