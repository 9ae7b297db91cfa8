"""The demo's business tables.

Column names are camelCase on purpose (``deptId``, ``unitPrice``): statements
written without quotes must still find them on PostgreSQL.
"""

from sqlalchemy import (
    Boolean,
    Column,
    Date,
    DateTime,
    ForeignKey,
    Index,
    Integer,
    MetaData,
    Numeric,
    String,
    Table,
    func,
    select,
)

metadata = MetaData()

_TABLE_OPTIONS = {"mysql_charset": "utf8mb4", "mysql_collate": "utf8mb4_unicode_ci"}


def _table(name, *columns):
    # the generator writes ids itself; rows added later get generated ones
    return Table(name, metadata, Column("id", Integer, primary_key=True), *columns, **_TABLE_OPTIONS)


def _reference(name, target, nullable=False):
    return Column(name, Integer, ForeignKey(f"{target}.id"), nullable=nullable, index=True)


def _code():
    return Column("code", String(20), nullable=False, unique=True)


def _name():
    return Column("name", String(100), nullable=False)


def _money(name):
    return Column(name, Numeric(12, 2), nullable=False)


department = _table(
    "department",
    _code(),
    _name(),
    Column("city", String(100)),
    _reference("parentId", "department", nullable=True),
)

employee = _table(
    "employee",
    _code(),
    _name(),
    Column("title", String(100)),
    _reference("deptId", "department"),
    _reference("managerId", "employee", nullable=True),
    _money("salary"),
    Column("hiredOn", Date, nullable=False),
)

customer = _table(
    "customer",
    _code(),
    _name(),
    Column("city", String(100)),
    _reference("orgId", "department"),
    _reference("ownerId", "employee"),
    _money("creditLimit"),
)

product = _table(
    "product",
    _code(),
    _name(),
    Column("category", String(20), nullable=False),
    _money("unitPrice"),
    _money("unitCost"),
    Column("active", Boolean, nullable=False),
)

sales_order = _table(
    "sales_order",
    _code(),
    _reference("customerId", "customer"),
    _reference("orgId", "department"),
    _reference("sellerId", "employee"),
    Column("status", String(20), nullable=False),
    Column("orderedOn", Date, nullable=False),
)

order_line = _table(
    "order_line",
    _reference("orderId", "sales_order"),
    Column("lineNo", Integer, nullable=False),
    _reference("productId", "product"),
    Column("qty", Integer, nullable=False),
    _money("unitPrice"),
)

# who may sign in (the users of ``users.py``): a user's orgId is a department id
app_user = _table(
    "app_user",
    Column("login", String(50), nullable=False, unique=True),
    _name(),
    _reference("orgId", "department"),
)

# written through the extension: quotes numbered per department by a
# sequence, with who made or changed them and when; projects and the
# employees working on them (a link table)

quote = _table(
    "quote",
    # numbers run per department, so one number may recur in another
    Column("code", String(20), nullable=False),
    _reference("customerId", "customer"),
    Column("title", String(100), nullable=False),
    Column("amount", Numeric(12, 2)),
    Column("status", String(20), nullable=False),
    Column("validUntil", Date),
    Column("publicId", String(36), nullable=False, unique=True),
    Column("revision", String(14), nullable=False),
    _reference("orgId", "department"),
    # app_user ids; that table is written after the business tables
    Column("createdBy", Integer, nullable=False),
    Column("createdAt", DateTime, nullable=False),
    Column("updatedBy", Integer),
    Column("updatedAt", DateTime),
    Index("ux_quote_org_code", "orgId", "code", unique=True),
)

project = _table(
    "project",
    _code(),
    _name(),
    _reference("orgId", "department"),
)

project_member = _table(
    "project_member",
    _reference("projectId", "project"),
    _reference("employeeId", "employee"),
    Index("ux_project_member_pair", "projectId", "employeeId", unique=True),
)

_CHUNK = 1000


def replace_tables(connection):
    """Drop the demo's tables where they exist and create them empty."""
    metadata.drop_all(connection, checkfirst=True)
    metadata.create_all(connection)


def insert_rows(connection, table_name, rows):
    """Insert ``rows`` into the demo table in batches (executemany)."""
    table = metadata.tables[table_name]
    for start in range(0, len(rows), _CHUNK):
        connection.execute(table.insert(), rows[start:start + _CHUNK])


def sync_id_sequences(connection):
    """Move PostgreSQL's id sequences past the ids written explicitly, so
    that rows added later get fresh ids; other databases do this themselves."""
    if connection.dialect.name != "postgresql":
        return
    for table in metadata.sorted_tables:
        sequence = func.pg_get_serial_sequence(table.name, "id")
        connection.execute(select(func.setval(sequence, func.max(table.c.id))))
