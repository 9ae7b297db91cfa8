import pytest
from sqlalchemy import select

from ornivell.db.demo.data import generate
from ornivell.db.demo.tables import metadata
from ornivell.db.demo.users import user_rows


@pytest.fixture(scope="session")
def stored_rows():
    """``stored_rows(db)``: every demo table's rows in id order, as dicts."""

    def read(db):
        with db.engine.connect() as connection:
            return {name: [dict(row._mapping) for row in connection.execute(select(table).order_by(table.c.id))]
                    for name, table in metadata.tables.items()}

    return read


@pytest.fixture(scope="session")
def expected_rows():
    """``expected_rows(scale, seed)``: what the demo must store."""
    return lambda scale, seed: {**generate(scale, seed), "app_user": user_rows()}
