"""The design commands run in this process, and the Chinook sample
loaded into a fresh database of each engine.

The sample's scripts for the three engines ship xz-compressed in
``tests/data/chinook`` with their licence. ``DBPLUS_CHINOOK_DIR`` names
another folder to load them from instead, holding ``Chinook_Sqlite.sql``,
``Chinook_MySql.sql`` and ``Chinook_PostgreSql.sql`` as they are published.
"""

import lzma
import os
import re
import sys
from pathlib import Path
from typing import NamedTuple

import pytest

from ornivell.db.cli import main

CHINOOK_VARIABLE = "DBPLUS_CHINOOK_DIR"
SHIPPED_CHINOOK = Path(__file__).resolve().parents[1] / "data" / "chinook"
CHINOOK_DUMPS = {"sqlite": "Chinook_Sqlite.sql", "mariadb": "Chinook_MySql.sql",
                 "postgresql": "Chinook_PostgreSql.sql"}

# quoted texts and comments are stepped over whole; a semicolon outside them ends a statement
_PIECE = re.compile(r"'(?:[^']|'')*'|/\*.*?\*/|--[^\n]*|;|[^';/-]+|.", re.DOTALL)
# what the dumps do to pick their own database, which the test database replaces
_OWN_DATABASE = re.compile(r"(?:drop|create)\s+database\b|use\s|\\c\b", re.IGNORECASE)


@pytest.fixture(scope="session")
def it():
    """This module, for its helpers (test modules cannot import a conftest)."""
    return sys.modules[__name__]


class Done(NamedTuple):
    status: int
    out: str
    err: str


def url_of(database):
    return database.engine.url.render_as_string(hide_password=False)


@pytest.fixture
def dbplus(capsys):
    """``dbplus(database, *args)`` runs ``dbplus *args --db <database's URL>`` here and returns a ``Done``."""

    def run(database, *args):
        capsys.readouterr()
        status = main([*args, "--db", url_of(database)])
        out, err = capsys.readouterr()
        return Done(status, out, err)

    return run


def statements(script):
    """The statements of an SQL script, without comments."""
    pieces = []
    for match in _PIECE.finditer(script):
        piece = match.group(0)
        if piece == ";":
            yield "".join(pieces).strip()
            pieces = []
        elif not piece.startswith(("/*", "--")):
            pieces.append(piece)
    if "".join(pieces).strip():
        yield "".join(pieces).strip()


def chinook_script(engine_name):
    """The text of the engine's Chinook script: the one shipped, or the one in ``DBPLUS_CHINOOK_DIR``."""
    name = CHINOOK_DUMPS[engine_name]
    folder = os.environ.get(CHINOOK_VARIABLE)
    if folder:
        return (Path(folder) / name).read_text(encoding="utf-8")
    with lzma.open(SHIPPED_CHINOOK / f"{name}.xz", "rt", encoding="utf-8") as script:
        return script.read()


def load_chinook(database, engine_name):
    script = chinook_script(engine_name)
    raw = database.engine.raw_connection()
    try:
        cursor = raw.cursor()
        for statement in statements(script):
            if statement and not _OWN_DATABASE.match(statement):
                cursor.execute(statement)
        raw.commit()
    finally:
        raw.close()
    database.reflect()


@pytest.fixture(scope="module")
def chinook_db(make_database, engine_name):
    database = make_database(engine_name)
    load_chinook(database, engine_name)
    return database


def chinook_name(engine_name, name):
    """Chinook's name on this engine: TrackId, or track_id on PostgreSQL."""
    if engine_name != "postgresql":
        return name
    return re.sub(r"(?<=[a-z])(?=[A-Z])", "_", name).lower()
