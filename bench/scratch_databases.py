"""Databases that a benchmark makes for its run and drops at the end."""

import uuid
from contextlib import contextmanager

from sqlalchemy import create_engine, text
from sqlalchemy.exc import OperationalError


@contextmanager
def postgresql_database(server):
    """URL of a new database on the PostgreSQL ``server`` (a URL without
    database), dropped when the block ends; None when the server does not answer."""
    admin = create_engine(server, isolation_level="AUTOCOMMIT")
    name = f"dbplus_bench_{uuid.uuid4().hex[:12]}"
    try:
        with admin.connect() as connection:
            connection.execute(text(f'CREATE DATABASE "{name}"'))
    except OperationalError as error:
        print(f"PostgreSQL at {server} skipped: {str(error.orig).strip().splitlines()[0]}")
        yield None
        return
    try:
        yield f"{server.rstrip('/')}/{name}"
    finally:
        with admin.connect() as connection:
            connection.execute(text(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)'))
        admin.dispose()


@contextmanager
def mariadb_database(server):
    """URL of a new database on the MariaDB ``server`` (a URL without
    database), dropped when the block ends; None when the server does not answer."""
    admin = create_engine(server, isolation_level="AUTOCOMMIT")
    name = f"dbplus_bench_{uuid.uuid4().hex[:12]}"
    try:
        with admin.connect() as connection:
            connection.execute(text(f"CREATE DATABASE `{name}` CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci"))
    except OperationalError as error:
        print(f"MariaDB at {server} skipped: {str(error.orig).strip().splitlines()[0]}")
        yield None
        return
    try:
        yield f"{server.rstrip('/')}/{name}"
    finally:
        with admin.connect() as connection:
            connection.execute(text(f"DROP DATABASE IF EXISTS `{name}`"))
        admin.dispose()
