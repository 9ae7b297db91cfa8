"""The demo is a function of its scale and seed, and building it again
replaces it rather than adding to it."""

from sqlalchemy import func, select

from ornivell.db import schema
from ornivell.db.demo import build_demo
from ornivell.db.demo.data import generate


def test_the_seed_alone_decides_the_rows():
    assert generate(0.3, 5) == generate(0.3, 5)
    assert generate(0.3, 5) != generate(0.3, 6)


def _metadata_counts(db):
    with db.engine.connect() as connection:
        return {table.name: connection.execute(select(func.count()).select_from(table)).scalar_one()
                for table in schema.metadata.sorted_tables}


def test_rebuilding_replaces_data_and_metadata(make_database, stored_rows, expected_rows):
    # scale 0.4 writes over a thousand order lines: more than one batch
    fresh, rebuilt = make_database("sqlite"), make_database("sqlite")
    first = build_demo(fresh, scale=0.4, seed=4)
    build_demo(rebuilt, scale=0.2, seed=9)
    again = build_demo(rebuilt, scale=0.4, seed=4)
    assert again == first
    assert stored_rows(rebuilt) == stored_rows(fresh) == expected_rows(0.4, 4)
    assert _metadata_counts(rebuilt) == _metadata_counts(fresh)
