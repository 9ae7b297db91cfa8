"""Databases that a benchmark makes for its run and drops at the end."""

import uuid
from contextlib import contextmanager

from sqlalchemy import create_engine, text
from sqlalchemy.exc import OperationalError


@contextmanager
def _scratch_database(kind, server, create, drop):
    """URL of a new database on ``server`` (a URL without database), made by
    ``create`` and dropped by ``drop`` (texts taking the name) when the block
    ends; None when the server does not answer."""
    admin = create_engine(server, isolation_level="AUTOCOMMIT")
    name = f"dbplus_bench_{uuid.uuid4().hex[:12]}"
    try:
        with admin.connect() as connection:
            connection.execute(text(create.format(name)))
    except OperationalError as error:
        print(f"{kind} at {server} skipped: {str(error.orig).strip().splitlines()[0]}")
        yield None
        return
    try:
        yield f"{server.rstrip('/')}/{name}"
    finally:
        with admin.connect() as connection:
            connection.execute(text(drop.format(name)))
        admin.dispose()


def postgresql_database(server):
    """A scratch database on the PostgreSQL ``server``: see ``_scratch_database``."""
    return _scratch_database("PostgreSQL", server, 'CREATE DATABASE "{}"', 'DROP DATABASE IF EXISTS "{}" WITH (FORCE)')


def mariadb_database(server):
    """A scratch database on the MariaDB ``server``: see ``_scratch_database``."""
    return _scratch_database("MariaDB", server, "CREATE DATABASE `{}` CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci",
                             "DROP DATABASE IF EXISTS `{}`")
