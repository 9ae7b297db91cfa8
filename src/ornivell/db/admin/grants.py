"""Roles and what they grant: operations on models, hidden properties and
row rules, written into the permission tables.

Each write is idempotent: granting what a role holds already changes
nothing.
"""

from typing import NamedTuple, Tuple

from sqlalchemy import and_, delete, insert, select

from .. import schema
from ..handle.row_values import table_values
from . import compile_check
from .modeling import MetadataError, require_metadata_tables, require_model

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


def _moved(connection, changed):
    """Moves the metadata version when ``changed``, so that running
    processes drop what they cached; returns ``changed``."""
    if changed:
        schema.move_version(connection)
    return changed


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
        return _moved(connection, _ensure(connection, schema.role, name=role)[1])


def assign_role(db, role, user_id):
    """Gives the role to the user; False when the user holds it already."""
    require_metadata_tables(db)
    table_values(schema.user_role, {"userId": user_id})  # an id the column cannot hold: the same error everywhere
    with db.engine.begin() as connection:
        added = _ensure(connection, schema.user_role, userId=user_id, roleId=_role_id(connection, role))[1]
        return _moved(connection, added)


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


def _hide_properties(connection, role_id, model, names):
    hidden = []
    for name in names:
        prop = _id_where(connection, schema.prop, model=model["model"], name=name)
        if prop is None:
            raise MetadataError(f"model {model['model']} has no property {name}: 'dbplus model show' lists them")
        if _ensure(connection, schema.role_prop, roleId=role_id, propId=prop)[1]:
            hidden.append(name)
    return hidden


def _add_rule(connection, role, role_id, model, cond, join):
    """The rule under the model's name, which searches read, and under its
    main table's name, which single-record reads read."""
    added = 0
    for key in dict.fromkeys((model["model"], model["table"])):
        rule, _ = _ensure(connection, schema.acl_data, model=key, name=f"{role}: {model['model']}", cond=cond,
                          join=join)
        added += _ensure(connection, schema.role_acl_data, roleId=role_id, aclDataId=rule)[1]
    return added


def _require_compiling_rule(db, model_name, cond, join):
    with db.session() as s:
        model = require_model(s, model_name)
        joins = s.query("select * from _model_table where model=:model", model=model_name)
    problem = compile_check.rule_problem(compile_check.Probe(db, model, joins), cond, join)
    if problem:
        raise MetadataError(f"the rule does not compile on {model_name}: {problem}")


def grant(db, role, model_name, operations=(), hide=(), rule=None, rule_join=None):
    """Grant ``role`` the ``operations`` on the model, hide its properties
    ``hide`` from it, and limit its rows to those meeting ``rule`` (an SQL
    condition, with ``rule_join`` a join it needs); in one transaction."""
    require_metadata_tables(db)
    if rule is not None and not rule.strip():
        raise MetadataError("a row rule needs a condition; without one it would restrict nothing")
    keys = operation_keys(operations)
    if rule is not None:
        _require_compiling_rule(db, model_name, rule, rule_join)
    with db.engine.begin() as connection:
        role_id = _role_id(connection, role)
        model = _model(connection, model_name)
        granted = _grant_operations(connection, role_id, model, keys) if keys else []
        hidden = _hide_properties(connection, role_id, model, hide)
        rules = _add_rule(connection, role, role_id, model, rule.strip(), rule_join) if rule is not None else 0
        _moved(connection, granted or hidden or rules)
    return Grant(tuple(granted), tuple(hidden), rules)


class Revoke(NamedTuple):
    """What ``revoke`` removed: operations by short name, properties shown
    again, and the row rules dropped (by name, else condition)."""

    operations: Tuple[str, ...]
    shown: Tuple[str, ...]
    rules: Tuple[str, ...]


def _revoke_operations(connection, role_id, model, keys):
    a, s, rf = schema.acl_func, schema.resource, schema.role_acl_func
    held = connection.execute(
        select(rf.c.id, a.c.funcKey).join(a, a.c.id == rf.c.aclFuncId).join(s, s.c.id == a.c.resourceId)
        .where(rf.c.roleId == role_id, s.c.resource == model["model"], s.c.type == "model",
               a.c.funcKey.in_(keys))).all()
    if held:
        connection.execute(delete(rf).where(rf.c.id.in_([row.id for row in held])))
    return [_SHORT_NAMES[key] for key in keys if key in {row.funcKey for row in held}]


def _show_properties(connection, role_id, model, names):
    rp = schema.role_prop
    shown = []
    for name in names:
        prop = _id_where(connection, schema.prop, model=model["model"], name=name)
        if prop is None:
            raise MetadataError(f"model {model['model']} has no property {name}: 'dbplus model show' lists them")
        if connection.execute(delete(rp).where(rp.c.roleId == role_id, rp.c.propId == prop)).rowcount:
            shown.append(name)
    return shown


def _drop_link(connection, role_id, rule_id):
    """Unlinks the rule from the role; the rule itself goes when no role keeps it."""
    rd, ad = schema.role_acl_data, schema.acl_data
    connection.execute(delete(rd).where(rd.c.roleId == role_id, rd.c.aclDataId == rule_id))
    if connection.execute(select(rd.c.id).where(rd.c.aclDataId == rule_id)).first() is None:
        connection.execute(delete(ad).where(ad.c.id == rule_id))


def _drop_rules(connection, role, role_id, model, rule):
    """The role's rules on the model (under its name or its main table's)
    named ``rule`` or whose condition is ``rule``."""
    rd, ad = schema.role_acl_data, schema.acl_data
    text = rule.strip()
    found = connection.execute(
        select(ad.c.id, ad.c.name, ad.c.cond).join(rd, rd.c.aclDataId == ad.c.id)
        .where(rd.c.roleId == role_id, ad.c.model.in_({model["model"], model["table"]}))
        .order_by(ad.c.id)).all()
    matched = [row for row in found if text in (row.name, (row.cond or "").strip())]
    if not matched:
        raise MetadataError(f"{role} has no rule on {model['model']} named or reading {text!r}: "
                            f"'dbplus role show {role}' lists its rules")
    for row in matched:
        _drop_link(connection, role_id, row.id)
    return list(dict.fromkeys((row.cond or "").strip() or row.name for row in matched))


def revoke(db, role, model_name, operations=(), show=(), rules=()):
    """Takes the ``operations`` on the model back from ``role``, shows it
    the properties ``show`` again and drops its row ``rules`` (each a rule
    name or condition); in one transaction."""
    require_metadata_tables(db)
    keys = operation_keys(operations)
    with db.engine.begin() as connection:
        role_id = _role_id(connection, role)
        model = _model(connection, model_name)
        revoked = _revoke_operations(connection, role_id, model, keys) if keys else []
        shown = _show_properties(connection, role_id, model, show)
        dropped = [name for rule in rules for name in _drop_rules(connection, role, role_id, model, rule)]
        _moved(connection, revoked or shown or dropped)
    return Revoke(tuple(revoked), tuple(shown), tuple(dropped))


def unassign_role(db, role, user_id):
    """Takes the role from the user; False when the user did not hold it."""
    require_metadata_tables(db)
    ur = schema.user_role
    with db.engine.begin() as connection:
        removed = connection.execute(delete(ur).where(ur.c.userId == user_id,
                                                      ur.c.roleId == _role_id(connection, role))).rowcount
        return bool(_moved(connection, removed))


class RoleHoldings(NamedTuple):
    """What a role brings: numbers of grants, rules, hidden properties and users."""

    operations: int
    rules: int
    hidden: int
    users: int


def _holdings(connection, role_id):
    def count(table):
        return len(connection.execute(select(table.c.id).where(table.c.roleId == role_id)).all())

    return RoleHoldings(count(schema.role_acl_func), count(schema.role_acl_data), count(schema.role_prop),
                        count(schema.user_role))


def role_holdings(db, role):
    require_metadata_tables(db)
    with db.engine.connect() as connection:
        return _holdings(connection, _role_id(connection, role))


def remove_role(db, role):
    """Removes the role with its grants, rules, hidden properties and
    assignments; returns what it held (``RoleHoldings``)."""
    require_metadata_tables(db)
    with db.engine.begin() as connection:
        role_id = _role_id(connection, role)
        held = _holdings(connection, role_id)
        rd = schema.role_acl_data
        for (rule_id,) in connection.execute(select(rd.c.aclDataId).where(rd.c.roleId == role_id)).all():
            _drop_link(connection, role_id, rule_id)
        for table in (schema.role_acl_func, schema.role_prop, schema.user_role):
            connection.execute(delete(table).where(table.c.roleId == role_id))
        connection.execute(delete(schema.role).where(schema.role.c.id == role_id))
        _moved(connection, True)
    return held
