"""What in a database belongs to the demo, and the refusal to build it over
anything else.

The demo owns its business tables (those of ``tables.metadata``, with their
columns), shares the metadata and permission tables of ``schema``, and owns
the roles of ``ROLES``. Any other table, view or role is someone else's data:
the demo is built beside it only when asked to (``replace``), and never over
a table of one of its own names (in any letter case, as SQLite and some
MariaDB servers compare them) that it did not make.
"""

from typing import Dict, FrozenSet, NamedTuple, Tuple

from sqlalchemy import inspect, select

from .. import schema
from . import tables
from .models import MODEL_NAMES
from .permissions import ROLE_NAMES
from .users import USERS

_SHOWN_NAMES = 5


class ForeignDatabase(ValueError):
    """The target database holds what the demo did not make."""


class _Survey(NamedTuple):
    columns: Dict[str, FrozenSet[str]]  # table or view name -> its column names
    roles: Tuple[str, ...]


def _survey(connection):
    inspector = inspect(connection)
    names = [*inspector.get_table_names(), *inspector.get_view_names()]
    columns = {name: frozenset(column["name"] for column in inspector.get_columns(name)) for name in names}
    roles = ()
    if schema.role.name in columns:
        roles = tuple(connection.execute(select(schema.role.c.name)).scalars())
    return _Survey(columns, roles)


def _is_demo_table(name, columns):
    table = tables.metadata.tables.get(name)
    return table is not None and columns == frozenset(table.columns.keys())


def _listed(names):
    names = sorted(names, key=str.lower)
    shown = ", ".join(names[:_SHOWN_NAMES])
    rest = len(names) - _SHOWN_NAMES
    return shown + (f" and {rest} more" if rest > 0 else "")


def _named(kind, names):
    """The names as a phrase ("the table A", "the tables A, B"); empty for none."""
    if not names:
        return ""
    return f"the {kind}{'s' if len(names) > 1 else ''} {_listed(names)}"


def _clashes(survey):
    """Tables the demo would replace although it did not make them."""
    demo_names = {name.lower() for name in tables.metadata.tables}
    return [name for name, columns in survey.columns.items()
            if name.lower() in demo_names and not _is_demo_table(name, columns)]


def _role_clashes(connection, survey):
    """Roles of the demo's names that hold what the demo never gives: grants
    on other models, or users other than the demo's holders of them."""
    names = [name for name in survey.roles if name in ROLE_NAMES]
    if not names:
        return []
    role, user_role, role_acl_func = schema.role, schema.user_role, schema.role_acl_func
    acl_func, resource = schema.acl_func, schema.resource
    granted = connection.execute(
        select(role.c.name).join(role_acl_func, role_acl_func.c.roleId == role.c.id)
        .join(acl_func, acl_func.c.id == role_acl_func.c.aclFuncId)
        .join(resource, resource.c.id == acl_func.c.resourceId)
        .where(role.c.name.in_(names), resource.c.resource.notin_(MODEL_NAMES))).scalars()
    held = connection.execute(select(role.c.name, user_role.c.userId).join(user_role, user_role.c.roleId == role.c.id)
                              .where(role.c.name.in_(names))).all()
    demo_holders = {(name, str(user.id)) for user in USERS for name in user.roles}
    foreign = set(granted) | {name for name, user_id in held if (name, str(user_id)) not in demo_holders}
    return sorted(foreign)


def _strangers(survey):
    """Tables, views and roles that are neither the demo's nor shared with it."""
    shared = {name.lower() for name in (*tables.metadata.tables, *schema.metadata.tables)}
    foreign_tables = [name for name in survey.columns if name.lower() not in shared]
    foreign_roles = [name for name in survey.roles if name not in ROLE_NAMES]
    return foreign_tables, foreign_roles


def refuse_foreign_content(connection, replace=False):
    """Raise ``ForeignDatabase`` when building the demo through ``connection``
    would replace a table it did not make or, unless ``replace``, when the
    database holds any table, view or role that the demo did not make."""
    survey = _survey(connection)
    clashes = _clashes(survey)
    if clashes:
        raise ForeignDatabase(f"the database has tables named like the demo's that the demo did not make "
                              f"({_listed(clashes)}); build the demo in another database")
    own_roles = _role_clashes(connection, survey)
    if own_roles:
        raise ForeignDatabase(f"the database has roles named like the demo's that the demo did not make "
                              f"({_listed(own_roles)}): they hold grants or users of their own; "
                              f"build the demo in another database")
    if replace:
        return
    foreign_tables, foreign_roles = _strangers(survey)
    found = [_named("table", foreign_tables), _named("role", foreign_roles)]
    found = " and ".join(text for text in found if text)
    if found:
        raise ForeignDatabase(f"the database holds {found} that the demo did not make; build the demo in a new "
                              f"database, or give --replace to build it beside them")
