"""Values of rows to write: what each kind of column takes, as given by Python callers or as texts, and the
error that names the column."""

import datetime
from decimal import Decimal

import pytest
from sqlalchemy import (JSON, BigInteger, Boolean, Column, Date, DateTime, Integer, LargeBinary, MetaData, Numeric,
                        String, Table, Time, text)
from sqlalchemy.dialects.mysql import TINYINT

from ornivell.db.handle.row_values import ColumnValueError, table_values

ROWS = Table("rows", MetaData(), Column("id", Integer, primary_key=True), Column("name", String(5)),
             Column("big", BigInteger), Column("small", TINYINT), Column("flag", Boolean),
             Column("price", Numeric(5, 2)), Column("day", Date), Column("at", DateTime),
             Column("zoned", DateTime(timezone=True)), Column("clock", Time), Column("blob", LargeBinary),
             Column("doc", JSON))
# NOT NULL columns: one the insert must name, and three that the database or SQLAlchemy fill in
REQUIRED = Table("required", MetaData(), Column("id", Integer, primary_key=True),
                 Column("title", String(5), nullable=False), Column("state", String(5), nullable=False,
                                                                       server_default=text("'new'")),
                 Column("rank", Integer, nullable=False, default=0), Column("note", String(5)))
NESTED = [[]]
for _ in range(5000):
    NESTED = [NESTED]
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
    ("name", None, None), ("blob", b"\x00", b"\x00"), ("doc", {"a": [1]}, {"a": [1]}),
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
    ("clock", "8h30", "expected a time"), ("blob", [1], "expected a single value, got [1]"),
    ("blob", {"a": 1}, "expected a single value"), ("name", NESTED, "expected a text or number, got a nested list"),
])
def test_values_a_column_cannot_take(column, value, problem):
    with pytest.raises(ColumnValueError) as raised:
        table_values(ROWS, {"id": 1, column: value})
    assert isinstance(raised.value, ValueError) and str(raised.value).startswith(f"{column}: ")
    assert problem in str(raised.value)


@pytest.mark.parametrize("values, inserting, problem", [
    ({"title": None}, False, "title: expected a value, got null"),
    ({"title": "x", "state": None}, True, "state: expected a value, got null"),
    ({"note": "x"}, True, "title: expected a value, none given"),
])
def test_not_null_columns(values, inserting, problem):
    with pytest.raises(ColumnValueError, match=f"^{problem}$"):
        table_values(REQUIRED, values, inserting=inserting)


def test_columns_filled_in_need_no_value_on_insert():
    assert table_values(REQUIRED, {"title": "x", "note": None}, inserting=True) == {"title": "x", "note": None}
    assert table_values(REQUIRED, {"note": "x"}) == {"note": "x"}
