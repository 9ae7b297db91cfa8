"""Values of rows to write: what each kind of column takes, as given by Python callers or as texts, and the
error that names the column."""

import datetime
from decimal import Decimal

import pytest
from sqlalchemy import BigInteger, Boolean, Column, Date, DateTime, Integer, MetaData, Numeric, String, Table, Time
from sqlalchemy.dialects.mysql import TINYINT

from ornivell.db.handle.row_values import ColumnValueError, table_values

ROWS = Table("rows", MetaData(), Column("id", Integer, primary_key=True), Column("name", String(5)),
             Column("big", BigInteger), Column("small", TINYINT), Column("flag", Boolean),
             Column("price", Numeric(5, 2)), Column("day", Date), Column("at", DateTime),
             Column("zoned", DateTime(timezone=True)), Column("clock", Time))
NOON = datetime.datetime(2026, 3, 1, 12, 0)
UTC = datetime.timezone.utc


@pytest.mark.parametrize("column, value, stored", [
    ("name", 12, "12"), ("name", "abcde", "abcde"), ("id", "-7", -7), ("big", 2 ** 40, 2 ** 40),
    ("small", 127, 127), ("flag", 1, True), ("price", Decimal("999.99"), Decimal("999.99")),
    ("price", "-1.5", Decimal("-1.5")),
    ("day", datetime.date(2026, 3, 1), datetime.date(2026, 3, 1)), ("day", "2026-03-01", datetime.date(2026, 3, 1)),
    ("at", NOON, NOON), ("at", datetime.date(2026, 3, 1), datetime.datetime(2026, 3, 1)),
    ("at", "2026-03-01T12:00", NOON), ("zoned", NOON.replace(tzinfo=UTC), NOON.replace(tzinfo=UTC)),
    ("clock", datetime.time(8, 30), datetime.time(8, 30)), ("clock", "08:30", datetime.time(8, 30)),
    ("name", None, None),
])
def test_values_a_column_takes(column, value, stored):
    assert table_values(ROWS, {column: value, "not a column": object()}) == {column: stored}


@pytest.mark.parametrize("column, value, problem", [
    ("name", "abcdef", "expected at most 5 characters, got 6"), ("name", True, "expected a text or number"),
    ("id", 2 ** 31, "expected an integer from -2147483648 to 2147483647"), ("id", 1.5, "expected an integer"),
    ("small", 128, "from -128 to 127"), ("flag", 2, "expected true, false, 0 or 1"),
    ("price", 1000, "at most 3 digits before the point"), ("price", Decimal("NaN"), "digits before the point"),
    ("day", NOON, "expected a date YYYY-MM-DD, got \"2026-03-01 12:00:00\""), ("day", "1 March", "expected a date"),
    ("at", NOON.replace(tzinfo=UTC), "a time zone offset needs a column with time zone"),
    ("clock", "8h30", "expected a time"),
])
def test_values_a_column_cannot_take(column, value, problem):
    with pytest.raises(ColumnValueError) as raised:
        table_values(ROWS, {"id": 1, column: value})
    assert isinstance(raised.value, ValueError) and str(raised.value).startswith(f"{column}: ")
    assert problem in str(raised.value)
