"""The demo's roles and what they grant: operations on models, row rules
and hidden properties, and which demo user holds which role."""

from typing import Mapping, NamedTuple, Optional, Tuple

from sqlalchemy import delete, select

from .. import schema
from .models import MODEL_NAMES, model_named
from .users import USERS

QUERY = ("queryEnabled",)
READ = QUERY + ("exportEnabled",)
WRITE = ("createEnabled", "updateEnabled")
OPERATIONS = READ + WRITE + ("deleteEnabled",)


class Rule(NamedTuple):
    """A row condition on a model; ``join`` brings in a table it needs."""

    model: str
    cond: str
    join: Optional[str] = None
    order: int = 0


class Role(NamedTuple):
    name: str
    description: str
    grants: Mapping[str, Tuple[str, ...]]
    rules: Tuple[Rule, ...] = ()
    hidden: Mapping[str, Tuple[str, ...]] = {}


ROLES = (
    Role("admin", "every row and column of every model",
         grants={model: OPERATIONS for model in MODEL_NAMES}),
    Role("sales", "own department's employees, customers, orders, lines and sales figures; "
                  "no salaries, no product costs",
         grants={"employee": READ, "customer": READ + WRITE, "product": READ, "order": READ + WRITE,
                 "order_line": READ + WRITE, "sales_by_department": READ},
         rules=(
             Rule("employee", "e.deptId = $user.orgId"),
             Rule("customer", "c.orgId = $user.orgId"),
             Rule("order", "o.orgId = $user.orgId"),
             Rule("order_line", "aso.orgId = $user.orgId",
                  join="left join sales_order aso on aso.id = l.orderId", order=50),
             Rule("sales_by_department", "sales_by_department.id = $user.orgId"),
         ),
         hidden={"employee": ("salary",), "product": ("unitCost",)}),
    Role("clerk", "products with their costs, customers without credit limits; "
                  "no employees, orders or sales figures",
         grants={"product": READ + ("updateEnabled",), "customer": QUERY},
         hidden={"customer": ("creditLimit",)}),
)

# quotes, projects and project members: sales staff keep their own
# department's quotes and may add project members but not remove them;
# clerks may see projects only
_WRITABLE_ACCESS = {
    "sales": ({"quote": OPERATIONS, "project": QUERY, "project_member": QUERY + ("createEnabled",)},
              (Rule("quote", "q.orgId = $user.orgId"),)),
    "clerk": ({"project": QUERY}, ()),
}
ROLES = tuple(
    role._replace(grants={**role.grants, **grants}, rules=role.rules + rules)
    for role in ROLES for grants, rules in [_WRITABLE_ACCESS.get(role.name, ({}, ()))]
)

ROLE_NAMES = tuple(role.name for role in ROLES)


def _insert_one(connection, table, row):
    return connection.execute(table.insert(), row).inserted_primary_key[0]


def _delete(connection, table, *conditions):
    connection.execute(delete(table).where(*conditions))


def remove_permissions(connection):
    """Delete the demo's roles with all they grant, and the operations, row
    rules and hidden-property links of the demo's models."""
    role, resource, acl_func, acl_data = schema.role, schema.resource, schema.acl_func, schema.acl_data
    role_ids = select(role.c.id).where(role.c.name.in_(ROLE_NAMES))
    for table in (schema.user_role, schema.role_prop, schema.role_acl_func, schema.role_acl_data):
        _delete(connection, table, table.c.roleId.in_(role_ids))
    _delete(connection, role, role.c.name.in_(ROLE_NAMES))

    # MariaDB cannot delete from a table that its own condition reads
    is_demo_resource = (resource.c.type == "model", resource.c.resource.in_(MODEL_NAMES))
    resource_ids = select(resource.c.id).where(*is_demo_resource)
    func_ids = select(acl_func.c.id).where(acl_func.c.resourceId.in_(resource_ids))
    _delete(connection, schema.role_acl_func, schema.role_acl_func.c.aclFuncId.in_(func_ids))
    _delete(connection, acl_func, acl_func.c.resourceId.in_(resource_ids))
    _delete(connection, resource, *is_demo_resource)

    rule_ids = select(acl_data.c.id).where(acl_data.c.model.in_(_rule_keys()))
    _delete(connection, schema.role_acl_data, schema.role_acl_data.c.aclDataId.in_(rule_ids))
    _delete(connection, acl_data, acl_data.c.model.in_(_rule_keys()))

    prop_ids = select(schema.prop.c.id).where(schema.prop.c.model.in_(MODEL_NAMES))
    _delete(connection, schema.role_prop, schema.role_prop.c.propId.in_(prop_ids))


def _rule_keys():
    return sorted({key for model in MODEL_NAMES for key in _rule_names(model)})


def _rule_names(model_name):
    # searches look rules up under the model's name, single-record reads
    # under its main table's name: a rule is written for both
    return dict.fromkeys((model_name, model_named(model_name).table))


def _write_operations(connection):
    """``(model, funcKey) -> _acl_func id`` for every operation of every model."""
    ids = {}
    for model in MODEL_NAMES:
        resource = _insert_one(connection, schema.resource,
                               {"resource": model, "type": "model", "name": model_named(model).display})
        for key in OPERATIONS:
            ids[model, key] = _insert_one(connection, schema.acl_func, {"resourceId": resource, "funcKey": key})
    return ids


def _prop_ids(connection):
    prop = schema.prop
    rows = connection.execute(select(prop.c.model, prop.c.name, prop.c.id).where(prop.c.model.in_(MODEL_NAMES)))
    return {(model, name): id for model, name, id in rows}


def _write_rule(connection, role_name, rule):
    """The ``_acl_data`` ids of the rule, one per name it is looked up under."""
    return [
        _insert_one(connection, schema.acl_data, {"model": name, "name": f"{role_name}: {rule.model}",
                                                  "cond": rule.cond, "join": rule.join, "order": rule.order})
        for name in _rule_names(rule.model)
    ]


def _write_role(connection, role, operations, props):
    role_id = _insert_one(connection, schema.role, {"name": role.name})
    grants = [{"roleId": role_id, "aclFuncId": operations[model, key]}
              for model, keys in role.grants.items() for key in keys]
    connection.execute(schema.role_acl_func.insert(), grants)
    rules = [{"roleId": role_id, "aclDataId": acl_id}
             for rule in role.rules for acl_id in _write_rule(connection, role.name, rule)]
    if rules:
        connection.execute(schema.role_acl_data.insert(), rules)
    hidden = [{"roleId": role_id, "propId": props[model, name]}
              for model, names in role.hidden.items() for name in names]
    if hidden:
        connection.execute(schema.role_prop.insert(), hidden)
    return role_id


def write_permissions(connection):
    """Grant the demo's roles and give them to the demo users; the models
    must be written first."""
    operations = _write_operations(connection)
    props = _prop_ids(connection)
    role_ids = {role.name: _write_role(connection, role, operations, props) for role in ROLES}
    connection.execute(schema.user_role.insert(),
                       [{"userId": user.id, "roleId": role_ids[name]} for user in USERS for name in user.roles])
