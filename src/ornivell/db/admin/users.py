"""Who acts: a user read from a users table, or given whole as JSON.

The user mapping that ``DbPlus`` operations take holds ``id`` and ``orgId``;
row rules may also read any other column of the user's row (``$user.city``).
"""

import json
import re
from typing import NamedTuple, Optional

from ..handle.attrdict import Dict

USER_TABLE_VARIABLE = "DBPLUS_USER_TABLE"
# the demo's users table
DEFAULT_USER_TABLE = "app_user"

_USER_TABLE = re.compile(r"\s*([^:,\s]+)\s*(?::\s*([^:,\s]+)\s*(?:,\s*([^:,\s]+)\s*)?)?")

USER_TABLE_FORM = "TABLE[:ID_COLUMN[,ORG_COLUMN]]"
USER_JSON_EXAMPLE = '\'{"id": 1, "orgId": 1}\''


class UnknownUser(LookupError):
    """The user cannot be found or read; the message says what to do."""


class UserTable(NamedTuple):
    """Where users are read from: a table, its key column and the column
    that holds the user's organisation (None: users have none)."""

    table: str
    id_column: str = "id"
    org_column: Optional[str] = "orgId"

    @classmethod
    def parse(cls, text):
        """``TABLE``, ``TABLE:ID_COLUMN`` (no organisation) or
        ``TABLE:ID_COLUMN,ORG_COLUMN``."""
        match = _USER_TABLE.fullmatch(text or "")
        if not match:
            raise UnknownUser(f"a users table is given as {USER_TABLE_FORM}, not {text!r}")
        table, id_column, org_column = match.groups()
        if id_column is None:
            return cls(table)
        return cls(table, id_column, org_column)


def _missing_table(source):
    return UnknownUser(
        f"no users table {source.table} in the database: name yours with --user-table {USER_TABLE_FORM} "
        f"(or {USER_TABLE_VARIABLE}), or give the user as --user-json {USER_JSON_EXAMPLE}"
    )


def find_user(db, user_id, source):
    """The user ``user_id`` of ``source`` (a ``UserTable``) as a ``Dict``:
    the row's columns, with ``id`` and ``orgId`` taken from the source's
    columns."""
    table = db.tables.get(source.table)
    if table is None:
        raise _missing_table(source)
    for column in (source.id_column, source.org_column):
        if column is not None and column not in table.c:
            raise UnknownUser(f"users table {source.table} has no column {column}: "
                              f"name its columns as --user-table {USER_TABLE_FORM}")
    row = db.query_one(f"select * from {db.escape(source.table)} where {db.escape(source.id_column)} = :id",
                       id=user_id)
    if row is None:
        raise UnknownUser(f"no user with id {user_id} in {source.table}")
    org = row[source.org_column] if source.org_column else None
    return Dict(row, id=row[source.id_column], orgId=org)


def user_from_json(text):
    """The user given as a JSON object with at least ``id``."""
    try:
        user = json.loads(text)
    except RecursionError:
        raise UnknownUser("--user-json is nested too deeply to read") from None
    except ValueError as error:
        raise UnknownUser(f"--user-json is not valid JSON: {error}") from None
    if not isinstance(user, dict) or "id" not in user:
        raise UnknownUser(f"--user-json takes an object with the user's id and orgId, e.g. {USER_JSON_EXAMPLE}")
    return Dict({"orgId": None, **user})
