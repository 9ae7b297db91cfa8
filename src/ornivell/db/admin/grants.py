"""Roles and what they grant: operations on models, hidden properties and
row rules, written into the permission tables.

Each write is idempotent: granting what a role holds already changes
nothing.
"""

from typing import NamedTuple, Tuple

from sqlalchemy import and_, delete, insert, select

from .. import schema
from ..handle.row_values import table_values
from .modeling import MetadataError, require_metadata_tables

# short names of the operations a model offers
OPERATIONS = {
    "query": "queryEnabled",
    "export": "exportEnabled",
    "create": "createEnabled",
    "update": "updateEnabled",
    "delete": "deleteEnabled",
}
_SHORT_NAMES = {key: short for short, key in OPERATIONS.items()}


class Grant(NamedTuple):
    """What ``grant`` wrote that was not there before: operations by short
    name, hidden properties, and the number of row rules."""

    operations: Tuple[str, ...]
    hidden: Tuple[str, ...]
    rules: int
    shown: Tuple[str, ...] = ()


def operation_keys(names):
    """The operation keys for short names (query) or keys (queryEnabled)."""
    keys = []
    for name in names:
        key = OPERATIONS.get(name, name)
        if key not in OPERATIONS.values():
            known = ", ".join(OPERATIONS)
            raise MetadataError(f"unknown operation {name}: the operations are {known}")
        keys.append(key)
    return keys


def _id_where(connection, table, **values):
    condition = and_(*(table.c[name] == value for name, value in values.items()))
    return connection.execute(select(table.c.id).where(condition).order_by(table.c.id)).scalar()


def _ensure(connection, table, **values):
    """The id of the row holding ``values``, inserted when missing; and
    whether it was."""
    found = _id_where(connection, table, **values)
    if found is not None:
        return found, False
    return connection.execute(insert(table).values(values)).inserted_primary_key[0], True


def _role_id(connection, role):
    found = _id_where(connection, schema.role, name=role)
    if found is None:
        raise MetadataError(f"no role named {role}: add it with 'dbplus role add {role}'")
    return found


def _model(connection, model):
    row = connection.execute(select(schema.model).where(schema.model.c.model == model)).mappings().first()
    if row is None:
        raise MetadataError(f"no model named {model}: describe it with 'dbplus model add {model} --table TABLE'")
    return row


def add_role(db, role):
    """Adds the role; False when it exists already."""
    require_metadata_tables(db)
    with db.engine.begin() as connection:
        return _ensure(connection, schema.role, name=role)[1]


def assign_role(db, role, user_id):
    """Gives the role to the user; False when the user holds it already."""
    require_metadata_tables(db)
    table_values(schema.user_role, {"userId": user_id})  # an id the column cannot hold: the same error everywhere
    with db.engine.begin() as connection:
        return _ensure(connection, schema.user_role, userId=user_id, roleId=_role_id(connection, role))[1]


def _grant_operations(connection, role_id, model, keys):
    resource = _id_where(connection, schema.resource, resource=model["model"], type="model")
    if resource is None:
        resource = connection.execute(insert(schema.resource).values(
            resource=model["model"], type="model", name=model["displayName"])).inserted_primary_key[0]
    granted = []
    for key in keys:
        func, _ = _ensure(connection, schema.acl_func, resourceId=resource, funcKey=key)
        if _ensure(connection, schema.role_acl_func, roleId=role_id, aclFuncId=func)[1]:
            granted.append(_SHORT_NAMES[key])
    return granted


def _prop_id(connection, model, name):
    prop = _id_where(connection, schema.prop, model=model["model"], name=name)
    if prop is None:
        raise MetadataError(f"model {model['model']} has no property {name}: 'dbplus model show' lists them")
    return prop


def _hide_properties(connection, role_id, model, names):
    hidden = []
    for name in names:
        if _ensure(connection, schema.role_prop, roleId=role_id, propId=_prop_id(connection, model, name))[1]:
            hidden.append(name)
    return hidden


def _show_properties(connection, role_id, model, names):
    shown = []
    for name in names:
        prop = _prop_id(connection, model, name)
        done = connection.execute(delete(schema.role_prop).where(
            and_(schema.role_prop.c.roleId == role_id, schema.role_prop.c.propId == prop)))
        if done.rowcount:
            shown.append(name)
    return shown


def _add_rule(connection, role, role_id, model, cond, join):
    """The rule under the model's name, which searches read, and under its
    main table's name, which single-record reads read."""
    added = 0
    for key in dict.fromkeys((model["model"], model["table"])):
        rule, _ = _ensure(connection, schema.acl_data, model=key, name=f"{role}: {model['model']}", cond=cond,
                          join=join)
        added += _ensure(connection, schema.role_acl_data, roleId=role_id, aclDataId=rule)[1]
    return added


def grant(db, role, model_name, operations=(), hide=(), rule=None, rule_join=None, show=()):
    """Grant ``role`` the ``operations`` on the model, hide its properties
    ``hide`` from it, show it ``show`` again, and limit its rows to those meeting ``rule`` (an SQL
    condition, with ``rule_join`` a join it needs); in one transaction."""
    require_metadata_tables(db)
    if rule is not None and not rule.strip():
        raise MetadataError("a row rule needs a condition; without one it would restrict nothing")
    keys = operation_keys(operations)
    with db.engine.begin() as connection:
        role_id = _role_id(connection, role)
        model = _model(connection, model_name)
        granted = _grant_operations(connection, role_id, model, keys) if keys else []
        hidden = _hide_properties(connection, role_id, model, hide)
        shown = _show_properties(connection, role_id, model, show)
        rules = _add_rule(connection, role, role_id, model, rule.strip(), rule_join) if rule is not None else 0
    return Grant(tuple(granted), tuple(hidden), rules, tuple(shown))
