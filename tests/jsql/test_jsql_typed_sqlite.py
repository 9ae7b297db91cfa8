import datetime as dt
from decimal import Decimal

import pytest
import sqlalchemy as sa

ROWS = [
    dict(id=1, name="5", amount=Decimal("12.50"), rate=0.25, paid=True, day=dt.date(2014, 1, 31),
         at=dt.datetime(2014, 1, 31, 9, 30), opens=dt.time(9, 30)),
    dict(id=2, name="Ann", amount=Decimal("0.10"), rate=1.5, paid=False, day=dt.date(2014, 2, 1),
         at=dt.datetime(2014, 1, 31, 9, 30, 0, 500000), opens=dt.time(10)),
    dict(id=3, name="12", amount=Decimal("1000"), rate=3, paid=True, day=dt.date(2015, 1, 1),
         at=dt.datetime(2015, 1, 1), opens=dt.time(23, 59, 59)),
]


@pytest.fixture(scope="module")
def ledger():
    """An SQLite table written by SQLAlchemy, so that it holds SQLAlchemy's forms of decimals and times."""
    table = sa.Table(
        "ledger", sa.MetaData(),
        sa.Column("id", sa.Integer, primary_key=True), sa.Column("name", sa.String(20)),
        sa.Column("amount", sa.Numeric(12, 2)), sa.Column("rate", sa.Float), sa.Column("paid", sa.Boolean),
        sa.Column("day", sa.Date), sa.Column("at", sa.DateTime), sa.Column("opens", sa.Time),
    )
    engine = sa.create_engine("sqlite://")
    table.metadata.create_all(engine)
    with engine.begin() as connection:
        connection.execute(table.insert(), ROWS)
    return table, engine


@pytest.mark.parametrize("cond, ids", [
    ({"name": 5}, [1]),
    ({"name": {"_in": [12, "Ann"]}}, [2, 3]),
    ({"amount": {"_gte": "12.5"}}, [1, 3]),
    ({"amount": 0.1}, [2]),
    ({"amount": "0.10"}, [2]),
    ({"rate": {"_lt": "1.5"}}, [1]),
    ({"paid": 1}, [1, 3]),
    ({"paid": False}, [2]),
    ({"day": {"_between": ["2014-01-31", "2014-12-31"]}}, [1, 2]),
    ({"day": "2014-02-01"}, [2]),
    ({"at": "2014-01-31T09:30"}, [1]),
    ({"at": {"_gt": "2014-01-31 09:30"}}, [2, 3]),
    ({"at": {"_gte": "2015-01-01"}}, [3]),
    ({"opens": {"_lt": "10:00"}}, [1]),
    ({"opens": "10:00"}, [2]),
    ({"id": {"_in": ["1", "3"]}}, [1, 3]),
])
def test_converted_values_select_the_rows_they_name(parser_for, ledger, cond, ids):
    table, engine = ledger
    params = {}
    where = parser_for(table, engine).parse_cond(params, cond)
    with engine.connect() as connection:
        rows = connection.execute(sa.text('select id from ledger where %s order by id' % where), params)
        assert [row.id for row in rows] == ids
