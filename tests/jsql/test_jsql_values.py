import datetime as dt
from decimal import Decimal

import pytest
import sqlalchemy as sa
from sqlalchemy.dialects import mysql

from ornivell.db.jsql import JsonSqlError
from ornivell.db.handle.session import ResultColumn

# its driver takes numbers, dates and times as Python objects: values are bound as converted
POSTGRESQL = sa.create_engine("postgresql+psycopg://")
UTC = dt.timezone.utc


class Opaque(sa.types.TypeEngine):
    """A type that cannot tell its Python type."""

    @property
    def python_type(self):
        raise NotImplementedError


def item_table():
    return sa.Table(
        "item", sa.MetaData(),
        sa.Column("id", sa.Integer, primary_key=True),
        sa.Column("name", sa.String(40)),
        sa.Column("count", sa.BigInteger),
        sa.Column("price", sa.Numeric(12, 2)),
        sa.Column("ratio", sa.Float),
        sa.Column("active", sa.Boolean),
        # how MariaDB reflects a boolean column, and a small integer one
        sa.Column("flag", mysql.TINYINT(display_width=1)),
        sa.Column("level", mysql.TINYINT(display_width=4)),
        sa.Column("born", sa.Date),
        sa.Column("seen", sa.DateTime),
        sa.Column("stamp", sa.DateTime(timezone=True)),
        sa.Column("opens", sa.Time),
        sa.Column("state", sa.Enum("open", "closed", name="item_state")),
        sa.Column("data", sa.LargeBinary),
        sa.Column("doc", sa.JSON),
        sa.Column("blob", Opaque()),
    )


@pytest.fixture
def item(parser_for):
    return parser_for(item_table(), POSTGRESQL)


def bound(parser, cond):
    params = {}
    parser.parse_cond(params, cond)
    return list(params.values())


@pytest.mark.parametrize("prop, value, expected", [
    ("id", 7, 7),
    ("id", "12", 12),
    ("id", "-3", -3),
    ("id", "+7", 7),
    ("count", "9223372036854775807", 2 ** 63 - 1),
    ("level", "2", 2),
    ("price", 5, 5),
    ("price", 2.5, Decimal("2.5")),
    ("price", 0.1, Decimal("0.1")),
    ("price", "12.50", Decimal("12.50")),
    ("price", "-.5", Decimal("-0.5")),
    ("price", "1e3", Decimal("1E+3")),
    ("ratio", 3, 3),
    ("ratio", 1.5, 1.5),
    ("ratio", "0.25", 0.25),
    ("name", "Ann", "Ann"),
    ("name", 5, "5"),
    ("name", -2.5, "-2.5"),
    ("active", True, True),
    ("active", 0, False),
    ("active", 1, True),
    ("flag", False, False),
    ("flag", 1, True),
    ("born", "2014-01-31", dt.date(2014, 1, 31)),
    ("born", "2016-02-29", dt.date(2016, 2, 29)),
    ("seen", "2014-01-31", dt.datetime(2014, 1, 31)),
    ("seen", "2014-01-31T09:30", dt.datetime(2014, 1, 31, 9, 30)),
    ("seen", "2014-01-31 09:30:15.5", dt.datetime(2014, 1, 31, 9, 30, 15, 500000)),
    ("seen", "2014-01-31T09:30:15.123456", dt.datetime(2014, 1, 31, 9, 30, 15, 123456)),
    ("stamp", "2014-01-31T09:30Z", dt.datetime(2014, 1, 31, 9, 30, tzinfo=UTC)),
    ("stamp", "2014-01-31T09:30-02:30",
     dt.datetime(2014, 1, 31, 9, 30, tzinfo=dt.timezone(-dt.timedelta(hours=2, minutes=30)))),
    ("stamp", "2014-01-31T09:30", dt.datetime(2014, 1, 31, 9, 30)),
    ("opens", "09:30", dt.time(9, 30)),
    ("opens", "23:59:59.25", dt.time(23, 59, 59, 250000)),
    ("state", "open", "open"),
    # types the parser cannot check: as given
    ("data", "abc", "abc"),
    ("doc", 5, 5),
    ("blob", "x", "x"),
])
def test_values_take_the_type_of_their_column(item, prop, value, expected):
    assert bound(item, {prop: value}) == [expected]
    assert type(bound(item, {prop: {"_neq": value}})[0]) is type(expected)


@pytest.mark.parametrize("cond, expected", [
    ({"id": {"_in": ["1", 2]}}, [1, 2]),
    ({"name": {"_nin": [1, "b"]}}, ["1", "b"]),
    ({"born": {"_between": ["2014-01-01", "2014-12-31"]}}, [dt.date(2014, 1, 1), dt.date(2014, 12, 31)]),
    ({"price": {"_gt": "1", "_lte": 2.25}}, [Decimal(1), Decimal("2.25")]),
    ({"_or": [{"id": "4"}, {"ratio": {"_gte": "1.5"}}]}, [4, 1.5]),
])
def test_every_value_of_a_condition_is_converted(item, cond, expected):
    assert bound(item, cond) == expected


@pytest.mark.parametrize("cond, where", [
    ({"id": "1 or 1=1"}, r'\$\.id: expected an integer, got "1 or 1=1"'),
    ({"id": 1.5}, "expected an integer, got 1.5"),
    ({"id": True}, "expected an integer, got true"),
    ({"id": " 12"}, "expected an integer"),
    ({"id": "1_000"}, "expected an integer"),
    ({"id": "\u0661\u0662"}, "expected an integer"),
    ({"id": ""}, "expected an integer"),
    ({"id": "9223372036854775808"}, r"\$\.id: integer out of range"),
    ({"id": "1" * 30}, "expected an integer"),
    ({"price": {"_gte": "0 or 1=1"}}, r'\$\.price\._gte: expected a number, got "0 or 1=1"'),
    ({"price": "NaN"}, "expected a number"),
    ({"price": "0x10"}, "expected a number"),
    ({"price": "1e"}, "expected a number"),
    ({"price": "."}, "expected a number"),
    ({"price": "1e999"}, r"\$\.price: number out of range"),
    ({"price": False}, "expected a number, got false"),
    ({"ratio": "inf"}, "expected a number"),
    ({"name": True}, r"\$\.name: expected a text or number, got true"),
    ({"active": 2}, r"\$\.active: expected true, false, 0 or 1, got 2"),
    ({"active": "true"}, "expected true, false, 0 or 1"),
    ({"flag": 1.0}, "expected true, false, 0 or 1"),
    ({"born": "2014-02-30"}, r'\$\.born: expected a date YYYY-MM-DD, got "2014-02-30"'),
    ({"born": "2014-01-31T00:00"}, "expected a date YYYY-MM-DD"),
    ({"born": "20140131"}, "expected a date"),
    ({"born": 20140131}, "expected a date"),
    ({"seen": "2014-01-31T24:00"}, "expected a date and time"),
    ({"seen": "2014-01-31T09"}, "expected a date and time"),
    ({"seen": "2014-01-31T09:30+02:00"}, r"\$\.seen: a time zone offset needs a column with time zone"),
    ({"stamp": "2014-01-31T09:30+24:00"}, "expected a date and time"),
    ({"opens": "9:30"}, "expected a time"),
    ({"opens": "09:30+01:00"}, "expected a time"),
    ({"state": "lost"}, r'\$\.state: expected one of "open", "closed", got "lost"'),
    ({"name": "x" * 100, "id": "y" * 100}, r'expected an integer, got "y{35}\.\.\."$'),
    ({"id": {"_in": [1, "x"]}}, r"\$\.id\._in\[1\]: expected an integer"),
    ({"id": {"_nin": ["x"]}}, r"\$\.id\._nin\[0\]: expected an integer"),
    ({"born": {"_between": ["2014-01-01", 5]}}, r"\$\.born\._between\[1\]: expected a date"),
    ({"_and": [{"id": 1}, {"price": "x"}]}, r"\$\._and\[1\]\.price: expected a number"),
    ({"id": {"_contains": "1"}}, r"\$\.id\._contains: patterns apply to text properties only"),
    ({"born": {"_starts_with": "2014"}}, "patterns apply to text properties only"),
    ({"state": {"_like": "o%"}}, "patterns apply to text properties only"),
])
def test_values_unfit_for_their_column_are_refused(item, cond, where):
    params = {}
    with pytest.raises(JsonSqlError, match=where):
        item.parse_cond(params, cond)
    assert params == {}


@pytest.mark.parametrize("cond", [
    {"name": {"_contains": "a%"}}, {"name": {"_like": "A_"}}, {"data": {"_like": "a%"}}, {"blob": {"_ends_with": "z"}},
])
def test_patterns_apply_to_text_and_unchecked_columns(item, cond):
    assert " like " in item.parse_cond({}, cond)


def test_limits_and_kinds_are_checked_before_the_column_type(item):
    with pytest.raises(JsonSqlError, match="null is not allowed"):
        item.parse_cond({}, {"id": {"_gt": None}})
    with pytest.raises(JsonSqlError, match=r"\$\.name\._eq: expected a text, number or boolean, got an object"):
        item.parse_cond({}, {"name": {"_eq": {"a": 1}}})


def test_a_model_defined_by_sql_checks_values_against_its_result_types(item):
    item.info.model["sql"] = "select * from item where o = $user.orgId and $user.id = $dept"
    item.db.result_columns = {"id": ResultColumn("id", sa.Integer()), "born": ResultColumn("born", None),
                              "name": ResultColumn("name", sa.types.NullType())}
    assert bound(item, {"id": "3", "born": 5, "name": 1.5}) == [3, 5, 1.5]
    with pytest.raises(JsonSqlError, match=r"\$\.id: expected an integer"):
        item.parse_cond({}, {"id": "x"})
    # read once per loaded model, context variables read as null
    assert item.db.meta_asked == ["select * from item where o = null and null = null"]


def test_a_model_defined_by_sql_whose_result_cannot_be_read_takes_values_as_given(item, caplog):
    item.info.model["sql"] = "select nonsense"

    def query_meta(sql):
        raise sa.exc.OperationalError(sql, {}, Exception("no such column"))

    item.db.query_meta = query_meta
    assert bound(item, {"id": "x"}) == ["x"]
    assert "the result columns of model 'item' are unknown" in caplog.text


@pytest.mark.parametrize("text", ["1" * 9_999 + "x", "1" * 5_000 + "." + "1" * 4_998 + "e"])
def test_long_number_texts_are_refused(parser_for, text):
    # a value check takes time linear in the text: each digit fits one part of the pattern only
    with pytest.raises(JsonSqlError, match="expected a number"):
        parser_for(item_table(), POSTGRESQL).parse_cond({}, {"price": text})


@pytest.mark.parametrize("prop, value, expected", [
    ("price", "12.50", 12.5),
    ("price", 2, 2.0),
    ("born", "2014-01-31", "2014-01-31"),
    ("seen", "2014-01-31T09:30", "2014-01-31 09:30:00.000000"),
    ("opens", "09:30:15.5", "09:30:15.500000"),
    ("active", 1, 1),
    ("id", "3", 3),
])
def test_values_take_the_form_the_engine_stores(parser_for, prop, value, expected):
    # SQLite's driver knows neither decimals nor times: SQLAlchemy's texts and floats stand in
    sqlite = parser_for(item_table(), sa.create_engine("sqlite://"))
    values = bound(sqlite, {prop: value})
    assert values == [expected] and type(values[0]) is type(expected)
