"""Fresh databases for tests, on SQLite, MariaDB and PostgreSQL.

Environment:

- ``DBPLUS_TEST_ENGINES``: comma list of the engines that tests run on
  (``sqlite,mariadb,postgresql``, the default); others are not generated.
- ``DBPLUS_TEST_MARIADB_URL`` (default ``mysql+pymysql://root@127.0.0.1:3306``)
  and ``DBPLUS_TEST_POSTGRESQL_URL`` (default
  ``postgresql+psycopg://postgres@127.0.0.1:5432``): servers on which each
  test run creates databases of its own, ``dbplus_t_<random>``, and drops
  them at the end.
- ``DBPLUS_REQUIRE_ENGINES=1``: a server that cannot be reached fails its
  tests; otherwise they are skipped.

Fixtures:

- ``make_database(engine_name)`` (session): a ``Database`` on a new, empty
  database.
- ``engine_name`` (module): parametrized over the selected engines.
- ``server_engine_name``: parametrized over the selected server engines.
- ``database`` (module): a new, empty database of ``engine_name``.
- ``metadata_db`` (module): a new database of ``engine_name`` with the
  metadata tables. The tests of one module share it: seed under names of
  your own and do not rely on the tables being empty.
- ``business_db`` (module): a new database of ``engine_name`` holding the
  demo (``ornivell.db.demo``) at ``BUSINESS_SCALE`` with ``BUSINESS_SEED``:
  about 450 business rows, seven models, three roles, five users. It is a
  ``BusinessDb`` with ``db`` (the ``Database``), ``dp`` (a ``DbPlus`` on
  it) and ``summary`` (a ``DemoSummary``: ``counts`` per business table,
  ``users`` with ``id``, ``orgId`` and ``roles``; ``summary.user("sales")``
  is the user mapping to pass to ``dp``, ``summary.users_in("sales")`` all
  holders of a role). The tests of one module share it: a test that writes
  must undo its writes, and call ``dp.clear_cache()`` after changing
  metadata (its ``dp`` does not check the metadata version).
"""

import os
import uuid
from typing import NamedTuple, Optional

import pytest
from sqlalchemy import create_engine, make_url, text
from sqlalchemy.exc import DBAPIError
from sqlalchemy.pool import NullPool

from ornivell.db.db import Database
from ornivell.db.demo import DemoSummary, build_demo
from ornivell.db.schema import create_metadata_tables

ENGINES = ("sqlite", "mariadb", "postgresql")


class _ServerKind(NamedTuple):
    url_variable: str
    default_url: str
    admin_database: Optional[str]
    create: str
    drop: str


_SERVER_KINDS = {
    "mariadb": _ServerKind(
        "DBPLUS_TEST_MARIADB_URL",
        "mysql+pymysql://root@127.0.0.1:3306",
        None,
        "CREATE DATABASE {} CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci",
        "DROP DATABASE IF EXISTS {}",
    ),
    "postgresql": _ServerKind(
        "DBPLUS_TEST_POSTGRESQL_URL",
        "postgresql+psycopg://postgres@127.0.0.1:5432",
        "postgres",
        "CREATE DATABASE {}",
        "DROP DATABASE IF EXISTS {} WITH (FORCE)",
    ),
}


def _selected_engines():
    names = [name.strip().lower() for name in os.environ.get("DBPLUS_TEST_ENGINES", "").split(",")]
    return [name for name in names if name] or list(ENGINES)


SELECTED_ENGINES = _selected_engines()


def pytest_configure(config):
    unknown = [name for name in SELECTED_ENGINES if name not in ENGINES]
    if unknown:
        raise pytest.UsageError(
            f"DBPLUS_TEST_ENGINES names unknown engines {unknown}; known: {', '.join(ENGINES)}"
        )


def _engines_required():
    return os.environ.get("DBPLUS_REQUIRE_ENGINES", "") == "1"


class _Server:
    """A database server that hands out new databases and drops them later."""

    def __init__(self, engine_name, kind):
        self.engine_name = engine_name
        self.kind = kind
        self.url = make_url(os.environ.get(kind.url_variable) or kind.default_url)
        self._admin = None
        self._unreachable = None
        self._created = []

    def _admin_engine(self):
        if self._admin is None and self._unreachable is None:
            engine = create_engine(
                self.url.set(database=self.url.database or self.kind.admin_database),
                isolation_level="AUTOCOMMIT",
                poolclass=NullPool,
                connect_args={"connect_timeout": 5},
            )
            try:
                engine.connect().close()
                self._admin = engine
            except DBAPIError as error:
                self._unreachable = str(error.orig).strip().splitlines()[0]
        if self._unreachable is not None:
            where = self.url.render_as_string(hide_password=True)
            message = f"{self.engine_name} server at {where} is unreachable: {self._unreachable}"
            if _engines_required():
                pytest.fail(message, pytrace=False)
            pytest.skip(message)
        return self._admin

    def _run(self, template, name):
        admin = self._admin_engine()
        with admin.connect() as connection:
            connection.execute(text(template.format(admin.dialect.identifier_preparer.quote(name))))

    def create_database(self):
        """URL of a new, empty database."""
        name = f"dbplus_t_{uuid.uuid4().hex[:16]}"
        self._run(self.kind.create, name)
        self._created.append(name)
        return self.url.set(database=name)

    def drop_created(self):
        while self._created:
            self._run(self.kind.drop, self._created.pop())


@pytest.fixture(scope="session")
def make_database(tmp_path_factory):
    servers = {name: _Server(name, kind) for name, kind in _SERVER_KINDS.items()}
    handles = []

    def make(engine_name):
        if engine_name == "sqlite":
            url = f"sqlite:///{tmp_path_factory.mktemp('sqlite') / 'test.sqlite3'}"
        elif engine_name in servers:
            url = servers[engine_name].create_database()
        else:
            raise ValueError(f"unknown engine {engine_name!r}; known: {', '.join(ENGINES)}")
        database = Database(url)
        handles.append(database)
        return database

    yield make
    for database in handles:
        database.engine.dispose()
    for server in servers.values():
        server.drop_created()


@pytest.fixture(scope="module", params=SELECTED_ENGINES)
def engine_name(request):
    return request.param


@pytest.fixture(params=[name for name in SELECTED_ENGINES if name != "sqlite"])
def server_engine_name(request):
    """For what only a database server has (connections that can be lost)."""
    return request.param


@pytest.fixture(scope="module")
def database(make_database, engine_name):
    return make_database(engine_name)


@pytest.fixture(scope="module")
def metadata_db(make_database, engine_name):
    db = make_database(engine_name)
    create_metadata_tables(db)
    return db


BUSINESS_SCALE = 0.1
BUSINESS_SEED = 1


class BusinessDb(NamedTuple):
    db: Database
    dp: object
    summary: DemoSummary


@pytest.fixture(scope="module")
def business_db(make_database, engine_name):
    # imported here: the host's own tests run where the extension is not built
    from ornivell.db._dbplus import DbPlus

    db = make_database(engine_name)
    summary = build_demo(db, scale=BUSINESS_SCALE, seed=BUSINESS_SEED)
    dp = DbPlus(db)
    # the tests clear its cache when they change metadata; a version check
    # falling due in a slow run would add reads that statement counts see
    dp.metadata_check_interval = None
    return BusinessDb(db, dp, summary)
