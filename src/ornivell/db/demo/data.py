"""The demo's business rows, generated from a seed.

Everything derives from ``random.Random(seed)`` and fixed word lists, never
from the clock, so one (scale, seed) pair always gives the same rows. Ids are
assigned here (1, 2, ...) so that references between tables are known before
anything is written.
"""

import random
import uuid
from datetime import date, datetime, timedelta
from decimal import Decimal

from .sequences import QUOTE_NUMBERS

# (code, name, city); the first is the head office, parent of all others.
# A department is also an organisation: users and records carry its id as orgId.
DEPARTMENTS = (
    ("HQ", "Head Office", "Zurich"),
    ("NOR", "North Sales", "Hamburg"),
    ("SOU", "South Sales", "Milan"),
    ("EAS", "East Sales", "Vienna"),
    ("WES", "West Sales", "Lyon"),
    ("LOG", "Logistics", "Basel"),
)
SALES_DEPARTMENTS = ("NOR", "SOU", "EAS", "WES")

# code lists: (code, label), in display order
ORDER_STATUSES = (
    ("draft", "Draft"),
    ("confirmed", "Confirmed"),
    ("shipped", "Shipped"),
    ("paid", "Paid"),
    ("cancelled", "Cancelled"),
)
_STATUS_WEIGHTS = (5, 15, 20, 55, 5)

# product category code -> (label, nouns of that category)
PRODUCT_CATEGORIES = {
    "hardware": ("Hardware", ("Bolt", "Hinge", "Bracket", "Latch")),
    "tools": ("Tools", ("Hammer", "Wrench", "Drill", "Saw")),
    "electrical": ("Electrical", ("Cable", "Switch", "Socket", "Lamp")),
    "garden": ("Garden", ("Hose", "Rake", "Shovel", "Planter")),
}
_PRODUCT_ADJECTIVES = (
    "Steel", "Brass", "Compact", "Heavy", "Basic", "Premium",
    "Mini", "Pro", "Classic", "Solid", "Smart", "Eco",
)

_FIRST_NAMES = (
    "Ada", "Ben", "Clara", "David", "Elena", "Felix", "Greta", "Hugo", "Ines", "Jonas",
    "Karin", "Luca", "Maya", "Nils", "Olga", "Paul", "Rosa", "Simon", "Tara", "Umberto",
    "Vera", "Walter", "Xenia", "Yusuf", "Zoe",
)
_LAST_NAMES = (
    "Adler", "Berger", "Conti", "Dietrich", "Egger", "Fischer", "Graf", "Huber", "Keller",
    "Lang", "Moser", "Novak", "Ott", "Pichler", "Rossi", "Schmid", "Tanner", "Vogel",
    "Weber", "Zimmermann",
)
_TITLES = ("Account Manager", "Sales Representative", "Analyst", "Coordinator", "Assistant")
_COMPANY_WORDS = (
    "Alder", "Birch", "Cedar", "Delta", "Ember", "Falcon", "Granite", "Harbor", "Iris",
    "Juniper", "Kestrel", "Linden", "Maple", "Nordic", "Orchid", "Pioneer", "Quarry",
    "Raven", "Summit", "Tundra",
)
_COMPANY_KINDS = ("Foods", "Logistics", "Builders", "Trading", "Works", "Systems", "Retail", "Garden Centre")
_CITIES = ("Hamburg", "Milan", "Vienna", "Lyon", "Basel", "Munich", "Turin", "Graz", "Nantes", "Bern")

_HIRED_FROM = date(2012, 1, 1)
_ORDERED_FROM = date(2024, 1, 1)
_ORDER_DAYS = 730
_MAX_LINES_PER_ORDER = 5

# a demo to try the tool on: about 400,000 rows at most, built in a few minutes
MAX_SCALE = 100

# rows per table at scale 1, and the least that keeps every department populated
_BASE_SIZES = {"employee": 48, "customer": 120, "product": 60, "sales_order": 1000}
_MIN_SIZES = {"employee": 2 * len(DEPARTMENTS), "customer": 2 * len(SALES_DEPARTMENTS),
              "product": 10, "sales_order": 20}
_CATALOG_SIZE = len(_PRODUCT_ADJECTIVES) * sum(len(nouns) for _, nouns in PRODUCT_CATEGORIES.values())

# business tables in the order they must be written (references first)
TABLE_ORDER = ("department", "employee", "customer", "product", "sales_order", "order_line",
               "quote", "project", "project_member")


def department_id(code):
    """The id of the department with ``code`` (ids follow ``DEPARTMENTS``)."""
    return [c for c, _, _ in DEPARTMENTS].index(code) + 1


def _sizes(scale):
    """Rows to generate per table; the product catalogue has a fixed ceiling."""
    if not 0 < scale <= MAX_SCALE:
        raise ValueError(f"scale must be more than 0 and at most {MAX_SCALE}, not {scale!r}")
    counts = {table: max(_MIN_SIZES[table], round(base * scale)) for table, base in _BASE_SIZES.items()}
    counts["product"] = min(counts["product"], _CATALOG_SIZE)
    return counts


def _money(cents):
    return Decimal(cents).scaleb(-2)


def _person(rng):
    return f"{rng.choice(_FIRST_NAMES)} {rng.choice(_LAST_NAMES)}"


def _departments():
    head_office = department_id(DEPARTMENTS[0][0])
    return [
        {"id": i, "code": code, "name": name, "city": city, "parentId": None if i == head_office else head_office}
        for i, (code, name, city) in enumerate(DEPARTMENTS, start=1)
    ]


def _employees(rng, count, departments):
    # one head per department first, so every manager precedes its staff
    heads = {}
    rows = []
    for department in departments:
        boss = heads.get(department["parentId"])
        row = _employee(rng, len(rows) + 1, department, boss, f"Head of {department['name']}", (110000, 150000))
        heads[department["id"]] = row["id"]
        rows.append(row)
    staff_departments = [d for d in departments if d["parentId"] is not None]
    while len(rows) < count:
        department = rng.choice(staff_departments)
        rows.append(_employee(rng, len(rows) + 1, department, heads[department["id"]],
                              rng.choice(_TITLES), (42000, 98000)))
    return rows


def _employee(rng, id, department, manager_id, title, salary_range):
    low, high = salary_range
    return {
        "id": id,
        "code": f"E{id:04d}",
        "name": _person(rng),
        "title": title,
        "deptId": department["id"],
        "managerId": manager_id,
        "salary": Decimal(rng.randrange(low, high, 500)),
        "hiredOn": _HIRED_FROM + timedelta(days=rng.randrange(12 * 365)),
    }


def _staff_by_department(employees):
    staff = {}
    for employee in employees:
        staff.setdefault(employee["deptId"], []).append(employee["id"])
    return staff


def _customers(rng, count, staff):
    sales = [department_id(code) for code in SALES_DEPARTMENTS]
    rows = []
    for id in range(1, count + 1):
        org = sales[(id - 1) % len(sales)] if id <= len(sales) else rng.choice(sales)
        rows.append({
            "id": id,
            "code": f"C{id:04d}",
            "name": f"{rng.choice(_COMPANY_WORDS)} {rng.choice(_COMPANY_KINDS)}",
            "city": rng.choice(_CITIES),
            "orgId": org,
            "ownerId": rng.choice(staff[org]),
            "creditLimit": _money(rng.choice((5000, 10000, 20000, 50000)) * 100),
        })
    return rows


def _products(rng, count):
    catalog = [(category, f"{adjective} {noun}")
               for category, (_, nouns) in PRODUCT_CATEGORIES.items()
               for noun in nouns for adjective in _PRODUCT_ADJECTIVES]
    rows = []
    for id, (category, name) in enumerate(rng.sample(catalog, count), start=1):
        price = rng.randrange(199, 19999)
        rows.append({
            "id": id,
            "code": f"P{id:03d}",
            "name": name,
            "category": category,
            "unitPrice": _money(price),
            "unitCost": _money(price * rng.randrange(45, 80) // 100),
            "active": rng.random() >= 0.1,
        })
    return rows


def _orders(rng, count, customers, staff, products):
    statuses = [code for code, _ in ORDER_STATUSES]
    orders, lines = [], []
    for id in range(1, count + 1):
        customer = rng.choice(customers)
        org = customer["orgId"]
        orders.append({
            "id": id,
            "code": f"SO-{id:06d}",
            "customerId": customer["id"],
            "orgId": org,
            "sellerId": rng.choice(staff[org]),
            "status": rng.choices(statuses, _STATUS_WEIGHTS)[0],
            "orderedOn": _ORDERED_FROM + timedelta(days=rng.randrange(_ORDER_DAYS)),
        })
        picked = rng.sample(products, rng.randint(1, min(_MAX_LINES_PER_ORDER, len(products))))
        for line_no, product in enumerate(picked, start=1):
            lines.append({
                "id": len(lines) + 1,
                "orderId": id,
                "lineNo": line_no,
                "productId": product["id"],
                "qty": rng.randint(1, 20),
                "unitPrice": product["unitPrice"],
            })
    return orders, lines


# tables written through the extension: quotes (numbered per department),
# projects and their members

_QUOTES_AT_SCALE_1 = 24
_QUOTE_STATUSES = ("open", "sent", "accepted", "declined")
_QUOTED_FROM = datetime(2025, 11, 3, 9, 0)
# (code, name, department)
PROJECTS = (
    ("PRJ-01", "Warehouse move", "LOG"),
    ("PRJ-02", "Spring campaign", "NOR"),
    ("PRJ-03", "New price list", "HQ"),
    ("PRJ-04", "Trade fair Milan", "SOU"),
)
_MEMBERS_PER_PROJECT = 3


def _quotes(rng, scale, customers):
    """Quotes of every sales department in turn, numbered as the extension
    numbers them; made by the admin (user 1)."""
    sales = [department_id(code) for code in SALES_DEPARTMENTS]
    counters = dict.fromkeys(sales, 0)
    rows = []
    for id in range(1, max(2 * len(sales), round(_QUOTES_AT_SCALE_1 * scale)) + 1):
        org = sales[(id - 1) % len(sales)]
        customer = rng.choice([c for c in customers if c["orgId"] == org])
        made = _QUOTED_FROM + timedelta(days=id, minutes=rng.randrange(600))
        counters[org] += 1
        rows.append({
            "id": id,
            "code": QUOTE_NUMBERS.number(made, counters[org]),
            "customerId": customer["id"],
            "title": f"Offer for {customer['name']}",
            "amount": _money(rng.randrange(50000, 5000000)),
            "status": rng.choice(_QUOTE_STATUSES),
            "validUntil": (made + timedelta(days=30)).date(),
            "publicId": str(uuid.UUID(int=rng.getrandbits(128), version=4)),
            "revision": made.strftime("%Y%m%d%H%M%S"),
            "orgId": org,
            "createdBy": 1,
            "createdAt": made,
            "updatedBy": None,
            "updatedAt": None,
        })
    return rows


def _projects():
    return [{"id": id, "code": code, "name": name, "orgId": department_id(department)}
            for id, (code, name, department) in enumerate(PROJECTS, start=1)]


def _project_members(rng, projects, employees):
    pairs = [(project["id"], employee["id"])
             for project in projects for employee in rng.sample(employees, _MEMBERS_PER_PROJECT)]
    return [{"id": id, "projectId": project, "employeeId": employee}
            for id, (project, employee) in enumerate(pairs, start=1)]


def generate(scale=1, seed=1):
    """Rows per business table (in ``TABLE_ORDER``), each a dict of column
    values with its ``id``; ``scale`` 1 gives about 4,000 rows in all."""
    rng = random.Random(seed)
    count = _sizes(scale)
    departments = _departments()
    employees = _employees(rng, count["employee"], departments)
    staff = _staff_by_department(employees)
    customers = _customers(rng, count["customer"], staff)
    products = _products(rng, count["product"])
    orders, lines = _orders(rng, count["sales_order"], customers, staff, products)
    projects = _projects()
    return {
        "department": departments,
        "employee": employees,
        "customer": customers,
        "product": products,
        "sales_order": orders,
        "order_line": lines,
        "quote": _quotes(rng, scale, customers),
        "project": projects,
        "project_member": _project_members(rng, projects, employees),
    }
