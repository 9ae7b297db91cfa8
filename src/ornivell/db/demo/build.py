"""Building the demo database: business tables and rows, model
descriptions, roles and users, all written in one transaction."""

from typing import Mapping, NamedTuple, Tuple

from ..schema import create_metadata_tables, move_version
from . import tables
from .data import TABLE_ORDER, generate
from .models import remove_models, write_models
from .ownership import refuse_foreign_content
from .permissions import remove_permissions, write_permissions
from .sequences import remove_sequences, write_sequences
from .users import USER_TABLE, USERS, DemoUser, user_rows

DEFAULT_SCALE = 1
DEFAULT_SEED = 1


class DemoSummary(NamedTuple):
    """What ``build_demo`` made: rows per business table and the users."""

    scale: float
    seed: int
    counts: Mapping[str, int]
    users: Tuple[DemoUser, ...]

    def users_in(self, role):
        """The users holding ``role`` (among others)."""
        return [user for user in self.users if role in user.roles]

    def user(self, role):
        """The first user whose only role is ``role``, as ``DbPlus`` takes it."""
        return next(user for user in self.users if user.roles == (role,)).as_user()


def build_demo(db, scale=DEFAULT_SCALE, seed=DEFAULT_SEED, replace=False):
    """Fill ``db`` (a ``Database``) with the demo: its business tables are
    dropped and made anew, its models, roles and grants replace any earlier
    ones; other metadata stays. A database holding tables, views or roles
    that the demo did not make is refused (``ForeignDatabase``) unless
    ``replace`` is given, and a table of one of the demo's names that the
    demo did not make always is; nothing is changed then. The metadata
    version moves, so running ``DbPlus`` instances drop their caches."""
    rows = {**generate(scale, seed), USER_TABLE: user_rows()}
    with db.engine.connect() as connection:
        refuse_foreign_content(connection, replace)
    create_metadata_tables(db)
    with db.engine.begin() as connection:
        tables.replace_tables(connection)
        for table in (*TABLE_ORDER, USER_TABLE):
            tables.insert_rows(connection, table, rows[table])
        tables.sync_id_sequences(connection)
        remove_permissions(connection)
        remove_models(connection)
        write_models(connection)
        write_permissions(connection)
        remove_sequences(connection)
        write_sequences(connection, rows["quote"])
        move_version(connection)
    db.reflect()
    counts = {table: len(table_rows) for table, table_rows in rows.items()}
    return DemoSummary(scale, seed, counts, USERS)
