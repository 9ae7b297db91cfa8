"""Who may do what, read from the permission tables: per model the
operations, the row rules that searches and single-record operations
apply, and the hidden properties, each with the role that brings it."""

from typing import NamedTuple

from sqlalchemy import select

from .. import schema
from .grants import _SHORT_NAMES, MetadataError, _role_id
from .modeling import require_metadata_tables

# in the order a listing shows them
KINDS = ("operations", "search rule", "record rule", "hidden")


class Entry(NamedTuple):
    model: str
    kind: str
    what: str
    role: str


def _roles_of_user(connection, user_id):
    r, ur = schema.role, schema.user_role
    return connection.execute(select(r.c.id, r.c.name).join(ur, ur.c.roleId == r.c.id)
                              .where(ur.c.userId == user_id).order_by(r.c.name)).all()


def _operations(connection, role_ids):
    r, rf, a, s = schema.role, schema.role_acl_func, schema.acl_func, schema.resource
    rows = connection.execute(
        select(r.c.name, s.c.resource, a.c.funcKey).join(rf, rf.c.roleId == r.c.id)
        .join(a, a.c.id == rf.c.aclFuncId).join(s, s.c.id == a.c.resourceId)
        .where(s.c.type == "model", r.c.id.in_(role_ids))).all()
    return [Entry(row.resource, "operations", _SHORT_NAMES.get(row.funcKey, row.funcKey), row.name) for row in rows]


def _rule_text(row):
    if not (row.cond or "").strip():
        return f"{row.name}: no condition, restricts nothing"
    return row.cond.strip() + (f"  [{row.join.strip()}]" if (row.join or "").strip() else "")


def _rules(connection, role_ids, models):
    """A rule under a model's name applies to its searches; under a table's
    name to the single-record operations of every model on that table."""
    r, rd, ad = schema.role, schema.role_acl_data, schema.acl_data
    rows = connection.execute(
        select(r.c.name.label("role"), ad.c.model, ad.c.name, ad.c.cond, ad.c.join)
        .join(rd, rd.c.roleId == r.c.id).join(ad, ad.c.id == rd.c.aclDataId).where(r.c.id.in_(role_ids))).all()
    entries = []
    for row in rows:
        if row.model in models:
            entries.append(Entry(row.model, "search rule", _rule_text(row), row.role))
        entries += [Entry(name, "record rule", _rule_text(row), row.role)
                    for name, table in models.items() if table == row.model]
    return entries


def _hidden(connection, role_ids):
    r, rp, p = schema.role, schema.role_prop, schema.prop
    rows = connection.execute(select(r.c.name.label("role"), p.c.model, p.c.name).join(rp, rp.c.roleId == r.c.id)
                              .join(p, p.c.id == rp.c.propId).where(r.c.id.in_(role_ids))).all()
    return [Entry(row.model, "hidden", row.name, row.role) for row in rows]


def _entries(connection, role_ids, model=None):
    models = dict(connection.execute(select(schema.model.c.model, schema.model.c.table)).all())
    if model is not None and model not in models:
        raise MetadataError(f"no model named {model}: 'dbplus model list' lists them")
    found = _operations(connection, role_ids) + _rules(connection, role_ids, models) + _hidden(connection, role_ids)
    found = [entry for entry in set(found) if model is None or entry.model == model]
    return sorted(found, key=lambda e: (e.model, KINDS.index(e.kind), e.role, e.what))


class Access(NamedTuple):
    roles: tuple
    entries: list


class RoleAccess(NamedTuple):
    users: tuple
    entries: list


def user_access(db, user_id, model=None):
    """The roles the user holds and what they let the user do."""
    require_metadata_tables(db)
    with db.engine.connect() as connection:
        roles = _roles_of_user(connection, user_id)
        return Access(tuple(row.name for row in roles), _entries(connection, [row.id for row in roles], model))


def role_access(db, role):
    """The users who hold the role (their ids) and what it lets them do."""
    require_metadata_tables(db)
    ur = schema.user_role
    with db.engine.connect() as connection:
        role_id = _role_id(connection, role)
        users = connection.execute(select(ur.c.userId).where(ur.c.roleId == role_id).order_by(ur.c.userId)).all()
        return RoleAccess(tuple(row.userId for row in users), _entries(connection, [role_id]))


def all_grants(db, model=None):
    """What every role may do, on ``model`` or on every model."""
    require_metadata_tables(db)
    with db.engine.connect() as connection:
        role_ids = [row.id for row in connection.execute(select(schema.role.c.id)).all()]
        return _entries(connection, role_ids, model)
