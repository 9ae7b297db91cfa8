"""The metadata and permission tables: models, their tables and properties,
roles and grants, sequences and code lists; and the version row that every
change of them moves, so that running processes drop what they cached.

Column names are camelCase and stay so on every database (PostgreSQL gets
them quoted). Flags are small integers, 0 or 1, default 0.
"""

from contextlib import contextmanager

from sqlalchemy import (
    BigInteger,
    Column,
    Index,
    Integer,
    MetaData,
    SmallInteger,
    String,
    Table,
    Text,
    insert,
    inspect,
    select,
    text,
    update,
)
from sqlalchemy.engine import Connection, Engine

from .db import Database

metadata = MetaData(naming_convention={"ix": "ix%(table_name)s_%(column_0_N_name)s"})

# MariaDB may default to latin1; display names and messages are Chinese
_TABLE_OPTIONS = {"mysql_charset": "utf8mb4", "mysql_collate": "utf8mb4_unicode_ci"}

_NAME = String(100)


def _table(name, *items):
    return Table(
        name,
        metadata,
        Column("id", Integer, primary_key=True, autoincrement=True),
        *items,
        **_TABLE_OPTIONS,
    )


def _flag(name):
    return Column(name, SmallInteger, nullable=False, default=0, server_default=text("0"))


def _position(name):
    return Column(name, Integer, nullable=False, default=0, server_default=text("0"))


def _reference(name):
    return Column(name, Integer, nullable=False)


def _unique_pair(first, second):
    return Index(None, first, second, unique=True)


model = _table(
    "_model",
    Column("model", _NAME, nullable=False),
    Column("table", _NAME),
    Column("alias", String(50)),
    Column("where", Text),
    Column("groupBy", String(255)),
    Column("orderBy", String(255)),
    Column("sql", Text),
    Column("spName", _NAME),
    Column("spParams", Text),
    _flag("distinctEnabled"),
    Column("uiData", Text),
    Column("columns", Text),
    Column("displayName", _NAME),
    Index(None, "model", unique=True),
)

model_table = _table(
    "_model_table",
    Column("model", _NAME, nullable=False),
    Column("table", _NAME, nullable=False),
    Column("columns", Text),
    Column("join", Text),
    Column("alias", String(50)),
    _position("order"),
    Index(None, "model"),
)

prop = _table(
    "_prop",
    Column("model", _NAME, nullable=False),
    Column("name", _NAME, nullable=False),
    Column("table", _NAME),
    # a column name, or the expression of an aliased column
    Column("column", Text),
    Column("transObjectName", _NAME),
    Column("transTable", String(200)),
    Column("transColumns", String(255)),
    Column("transDict", _NAME),
    Column("transModel", _NAME),
    Column("dataType", String(20)),
    Column("displayName", _NAME),
    _position("displayOrder"),
    _flag("selectEnabled"),
    _flag("exportEnabled"),
    _flag("searchEnabled"),
    _flag("matchEnabled"),
    _flag("filterEnabled"),
    _flag("orderEnabled"),
    _flag("orderDir"),
    _flag("orderAsDefault"),
    _flag("asEnabled"),
    _flag("createUserEnabled"),
    _flag("createOrgEnabled"),
    _flag("createTimeEnabled"),
    _flag("validateEnabled"),
    Column("validateFailureMsg", String(255)),
    Column("defaultValue", String(255)),
    Column("autoGen", _NAME),
    Column("timeFormat", String(50)),
    _flag("updateUserEnabled"),
    _flag("updateTimeEnabled"),
    _unique_pair("model", "name"),
)

role = _table("_role", Column("name", _NAME, nullable=False))

user_role = _table(
    "_user_role",
    _reference("userId"),
    _reference("roleId"),
    _unique_pair("userId", "roleId"),
)

resource = _table(
    "_resource",
    Column("resource", _NAME, nullable=False),
    Column("type", String(50), nullable=False),
    Column("name", _NAME),
    Index(None, "type", "resource"),
)

acl_func = _table(
    "_acl_func",
    _reference("resourceId"),
    Column("funcKey", _NAME, nullable=False),
    Column("name", _NAME),
    Index(None, "resourceId"),
)

role_acl_func = _table(
    "_role_acl_func",
    _reference("roleId"),
    _reference("aclFuncId"),
    _unique_pair("roleId", "aclFuncId"),
)

acl_data = _table(
    "_acl_data",
    Column("model", _NAME, nullable=False),
    Column("name", _NAME),
    Column("cond", Text),
    Column("join", Text),
    _position("order"),
    Index(None, "model"),
)

role_acl_data = _table(
    "_role_acl_data",
    _reference("roleId"),
    _reference("aclDataId"),
    _unique_pair("roleId", "aclDataId"),
)

role_prop = _table(
    "_role_prop",
    _reference("roleId"),
    _reference("propId"),
    _unique_pair("roleId", "propId"),
)

seq = _table(
    "_seq",
    Column("name", _NAME, nullable=False),
    Column("prefix", String(50)),
    Column("timeFormat", String(50)),
    Column("digits", Integer, nullable=False),
    Index(None, "name", unique=True),
)

seq_value = _table(
    "_seq_value",
    _reference("seqId"),
    # a user without organisation counts under NULL
    Column("orgId", Integer),
    Column("value", BigInteger, nullable=False, default=0, server_default=text("0")),
    _unique_pair("seqId", "orgId"),
)

dict_entry = _table(
    "_dict",
    Column("domain", _NAME, nullable=False),
    Column("key", _NAME, nullable=False),
    Column("value", String(255)),
    _position("order"),
    Index(None, "domain", "key"),
)


# one row, id 1; moved by every change to the tables above
metadata_version = Table(
    "_metadata_version",
    metadata,
    Column("id", Integer, primary_key=True, autoincrement=False),
    Column("version", BigInteger, nullable=False, default=0, server_default=text("0")),
    **_TABLE_OPTIONS,
)
VERSION_ROW = 1


def _bind(target):
    return target if isinstance(target, (Engine, Connection)) else target.engine


@contextmanager
def _transaction(target):
    """A connection in a transaction: the caller's own connection as it is."""
    bound = _bind(target)
    if isinstance(bound, Connection):
        yield bound
    else:
        with bound.begin() as connection:
            yield connection


def create_metadata_tables(target):
    """Create the tables that are missing; ``target`` is a ``Database``, an
    engine or a connection. A ``Database`` then re-reads its tables."""
    with _transaction(target) as connection:
        metadata.create_all(connection, checkfirst=True)
        _ensure_version_row(connection)
    _refresh(target)


def _ensure_version_row(connection):
    if connection.execute(select(metadata_version.c.id).where(metadata_version.c.id == VERSION_ROW)).first() is None:
        connection.execute(insert(metadata_version).values(id=VERSION_ROW, version=0))


def ensure_version_table(connection):
    """Creates the version row for a database made before it existed.
    On MariaDB creating the table ends the connection's transaction, so
    call it before any write of the transaction."""
    if not inspect(connection).has_table(metadata_version.name):
        metadata_version.create(connection, checkfirst=True)
    _ensure_version_row(connection)


def move_version(connection):
    """Moves the version, in the connection's transaction: processes that
    cached metadata read before it drop their caches at their next check."""
    ensure_version_table(connection)
    connection.execute(update(metadata_version).where(metadata_version.c.id == VERSION_ROW)
                       .values(version=metadata_version.c.version + 1))


def drop_metadata_tables(target):
    """Drop those of the tables that exist."""
    metadata.drop_all(_bind(target), checkfirst=True)
    _refresh(target)


def _refresh(target):
    if isinstance(target, Database):
        target.reflect()
