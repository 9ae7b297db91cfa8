"""The demo's business models: the ``_model``, ``_model_table``, ``_prop``
and ``_dict`` rows that describe the demo tables."""

from typing import NamedTuple, Optional, Tuple

from sqlalchemy import delete

from .. import schema
from .data import ORDER_STATUSES, PRODUCT_CATEGORIES
from .sequences import QUOTE_NUMBERS

_FLAGS = {"search": "searchEnabled", "match": "matchEnabled", "filter": "filterEnabled", "order": "orderEnabled"}

# what a property does when records are created or updated (see _written)
_WRITE_FLAGS = ("createUserEnabled", "createOrgEnabled", "createTimeEnabled", "validateEnabled",
                "updateUserEnabled", "updateTimeEnabled")

# every row names every column, as one executemany needs
_PROP_DEFAULTS = {
    **dict.fromkeys(("transTable", "transColumns", "transObjectName", "transDict")),
    **dict.fromkeys(("asEnabled", "orderAsDefault", "orderDir", *_FLAGS.values()), 0),
    **dict.fromkeys(("validateFailureMsg", "defaultValue", "autoGen")),
    **dict.fromkeys(_WRITE_FLAGS, 0),
}


def _prop(name, label, column=None, table=None, sort=None, settings=None, **flags):
    """A selectable property. ``flags`` (search, match, filter, order) switch
    on the property's flags; ``sort`` ("asc" or "desc") makes it a default
    order; ``settings`` are further ``_prop`` columns."""
    row = {**_PROP_DEFAULTS, "name": name, "displayName": label, "column": column or name, "table": table,
           "selectEnabled": 1, **(settings or {})}
    row.update((_FLAGS[flag], int(on)) for flag, on in flags.items())
    if sort:
        row.update(orderEnabled=1, orderAsDefault=1, orderDir=int(sort == "desc"))
    return row


def _joined(alias, column, label, table, **flags):
    """A column of a joined table, named ``alias.column``."""
    return _prop(f"{alias}.{column}", label, column=column, table=table, **flags)


def _translated(name, label, lookup, columns, alias, **flags):
    """A reference shown through columns of the looked-up row (``alias.<column>``)."""
    settings = {"transTable": lookup, "transColumns": columns, "transObjectName": alias}
    return _prop(name, label, settings=settings, **flags)


def _computed(name, label, expression, **flags):
    """A column computed by an SQL expression, selected under ``name``."""
    return _prop(name, label, column=expression, settings={"asEnabled": 1}, **flags)


def _coded(name, label, domain, **flags):
    """A code whose labels are the ``_dict`` entries of ``domain``."""
    return _prop(name, label, settings={"transDict": domain}, **flags)


class Join(NamedTuple):
    table: str
    alias: str
    clause: str


class Model(NamedTuple):
    name: str
    display: str
    table: str
    alias: Optional[str]
    props: Tuple[dict, ...]
    joins: Tuple[Join, ...] = ()
    sql: Optional[str] = None

    @property
    def order_by(self):
        # the id last, so that pages never shuffle rows with equal sort keys
        return f"{self.alias or self.table}.id"


_SALES_BY_DEPARTMENT = """select d.id as id, d.code as code, d.name as name,
    count(distinct o.id) as orderCount,
    round(sum(l.qty * l.unitPrice), 2) as revenue
from department d
join sales_order o on o.orgId = d.id
join order_line l on l.orderId = o.id
where o.status <> 'cancelled'
group by d.id, d.code, d.name"""

MODELS = (
    Model("employee", "Employees", "employee", "e", joins=(
        Join("department", "d", "left join department d on d.id = e.deptId"),
    ), props=(
        _prop("id", "ID", filter=True, order=True),
        _prop("code", "Code", search=True, match=True, order=True),
        _prop("name", "Name", search=True, order=True, sort="asc"),
        _prop("title", "Title", search=True, filter=True),
        _prop("deptId", "Department ID", filter=True),
        _joined("d", "name", "Department", "department", search=True, filter=True, order=True),
        _translated("managerId", "Manager", "employee.id", "name,code", "mgr", filter=True),
        _prop("salary", "Salary", filter=True, order=True),
        _prop("hiredOn", "Hired on", filter=True, order=True),
    )),
    Model("customer", "Customers", "customer", "c", props=(
        _prop("id", "ID", filter=True, order=True),
        _prop("code", "Code", search=True, match=True, order=True),
        _prop("name", "Name", search=True, order=True, sort="asc"),
        _prop("city", "City", search=True, filter=True, order=True),
        _translated("orgId", "Department", "department.id", "name", "org", filter=True),
        _translated("ownerId", "Account owner", "employee.id", "name,code", "own", filter=True),
        _prop("creditLimit", "Credit limit", filter=True, order=True),
    )),
    Model("product", "Products", "product", "p", props=(
        _prop("id", "ID", filter=True, order=True),
        _prop("code", "Code", search=True, match=True, order=True, sort="asc"),
        _prop("name", "Name", search=True, order=True),
        _coded("category", "Category", "product_category", filter=True),
        _prop("unitPrice", "Unit price", filter=True, order=True),
        _prop("unitCost", "Unit cost", filter=True, order=True),
        _prop("active", "Active", filter=True),
    )),
    Model("order", "Orders", "sales_order", "o", props=(
        _prop("id", "ID", filter=True, order=True),
        _prop("code", "Code", search=True, match=True, order=True),
        _prop("orderedOn", "Ordered on", filter=True, order=True, sort="desc"),
        _coded("status", "Status", "order_status", filter=True, match=True),
        _translated("customerId", "Customer", "customer.id", "name,code", "cu", search=True, filter=True),
        _translated("sellerId", "Seller", "employee.id", "name", "sel", filter=True),
        _translated("orgId", "Department", "department.id", "name", "org", filter=True),
        _computed("lineCount", "Lines", "(select count(*) from order_line ol where ol.orderId = o.id)"),
        _computed("total", "Total",
                  "(select round(sum(ol.qty * ol.unitPrice), 2) from order_line ol where ol.orderId = o.id)"),
    )),
    Model("order_line", "Order lines", "order_line", "l", props=(
        _prop("id", "ID", filter=True, order=True),
        _translated("orderId", "Order", "sales_order.id", "code", "so", filter=True, sort="asc"),
        _prop("lineNo", "Line", order=True, sort="asc"),
        _translated("productId", "Product", "product.id", "name,code", "pr", search=True, filter=True),
        _prop("qty", "Quantity", filter=True, order=True),
        _prop("unitPrice", "Unit price", filter=True, order=True),
        _computed("amount", "Amount", "round(l.qty * l.unitPrice, 2)"),
    )),
    Model("sales_by_department", "Sales by department", "sales_by_department", None, sql=_SALES_BY_DEPARTMENT,
          props=(
              _prop("id", "ID", filter=True, order=True),
              _prop("code", "Code", search=True, match=True, order=True),
              _prop("name", "Department", search=True, order=True),
              _prop("orderCount", "Orders", filter=True, order=True),
              _prop("revenue", "Revenue", filter=True, order=True, sort="desc"),
          )),
)



def _written(prop, required=None, default=None, generated=None, **presets):
    """``prop`` with what creating and updating records does to it:
    ``required`` (True, or the message when it is missing), ``default``,
    ``generated`` ("uuid", "timestamp" or a sequence name) and ``presets``
    (``createUser=True`` for createUserEnabled and so on)."""
    settings = {f"{name}Enabled": int(on) for name, on in presets.items()}
    if required:
        settings.update(validateEnabled=1, validateFailureMsg=None if required is True else required)
    return {**prop, **settings, "defaultValue": default, "autoGen": generated}


# models written through the extension: a quote takes its number from a
# sequence and its department, maker and times from the user and the clock;
# project members link employees to projects
MODELS += (
    Model("quote", "Quotes", "quote", "q", props=(
        _prop("id", "ID", filter=True, order=True),
        _written(_prop("code", "Number", search=True, match=True, order=True), generated=QUOTE_NUMBERS.name),
        _written(_prop("title", "Title", search=True), required="a quote needs a title"),
        _written(_translated("customerId", "Customer", "customer.id", "name,code", "cu", search=True, filter=True),
                 required=True),
        _prop("amount", "Amount", filter=True, order=True),
        _written(_prop("status", "Status", filter=True, match=True), default="open"),
        _prop("validUntil", "Valid until", filter=True, order=True),
        _written(_prop("publicId", "Public id"), generated="uuid"),
        _written(_prop("revision", "Revision"), generated="timestamp"),
        _written(_translated("orgId", "Department", "department.id", "name", "org", filter=True), createOrg=True),
        _written(_prop("createdBy", "Created by", filter=True), createUser=True),
        _written(_prop("createdAt", "Created at", order=True, sort="desc"), createTime=True),
        _written(_prop("updatedBy", "Updated by"), updateUser=True),
        _written(_prop("updatedAt", "Updated at", order=True), updateTime=True),
    )),
    Model("project", "Projects", "project", "pj", props=(
        _prop("id", "ID", filter=True, order=True),
        _prop("code", "Code", search=True, match=True, order=True, sort="asc"),
        _prop("name", "Name", search=True, order=True),
        _translated("orgId", "Department", "department.id", "name", "org", filter=True),
    )),
    Model("project_member", "Project members", "project_member", "pm", props=(
        _prop("id", "ID", filter=True, order=True),
        _translated("projectId", "Project", "project.id", "code,name", "prj", filter=True, sort="asc"),
        _translated("employeeId", "Employee", "employee.id", "name,code", "emp", filter=True),
    )),
)

# The target of the departments' links (orgId, parentId), so that their
# header filters list department names; parentId links the model to itself.
LOOKUP_MODELS = (
    Model("department", "Departments", "department", "d", props=(
        _prop("id", "ID", filter=True, order=True),
        _prop("code", "Code", search=True, match=True, order=True, sort="asc"),
        _prop("name", "Name", search=True, order=True),
        _prop("city", "City", search=True, filter=True, order=True),
        _translated("parentId", "Parent", "department.id", "name,code", "parent", filter=True),
    )),
)
MODELS += LOOKUP_MODELS

MODEL_NAMES = tuple(model.name for model in MODELS)

DOMAINS = {
    "order_status": ORDER_STATUSES,
    "product_category": tuple((code, label) for code, (label, _) in PRODUCT_CATEGORIES.items()),
}


def model_named(name):
    return next(model for model in MODELS if model.name == name)


def _model_row(model):
    return {"model": model.name, "table": model.table, "alias": model.alias, "sql": model.sql,
            "orderBy": model.order_by, "displayName": model.display}


def _join_rows(model):
    return [{"model": model.name, "table": join.table, "alias": join.alias, "join": join.clause, "order": order}
            for order, join in enumerate(model.joins, start=1)]


def _prop_rows(model):
    return [{**prop, "model": model.name, "table": prop["table"] or model.table, "displayOrder": order}
            for order, prop in enumerate(model.props, start=1)]


def _dict_rows():
    return [{"domain": domain, "key": code, "value": label, "order": order}
            for domain, entries in DOMAINS.items()
            for order, (code, label) in enumerate(entries, start=1)]


def _insert(connection, table, rows):
    if rows:
        connection.execute(table.insert(), rows)


def remove_models(connection):
    """Delete the demo's model descriptions and code lists."""
    for table in (schema.prop, schema.model_table, schema.model):
        connection.execute(delete(table).where(table.c.model.in_(MODEL_NAMES)))
    connection.execute(delete(schema.dict_entry).where(schema.dict_entry.c.domain.in_(list(DOMAINS))))


def write_models(connection):
    """Describe the demo tables as business models."""
    _insert(connection, schema.model, [_model_row(model) for model in MODELS])
    _insert(connection, schema.model_table, [row for model in MODELS for row in _join_rows(model)])
    _insert(connection, schema.prop, [row for model in MODELS for row in _prop_rows(model)])
    _insert(connection, schema.dict_entry, _dict_rows())
