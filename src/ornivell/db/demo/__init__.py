"""A self-contained demo: a generated sales business (departments,
employees, customers, products, orders and their lines), the models that
describe it, and users in roles that see different rows and columns.

``build_demo(db)`` writes it all into a ``Database``.
"""

from .build import DEFAULT_SCALE, DEFAULT_SEED, DemoSummary, build_demo
from .data import MAX_SCALE
from .ownership import ForeignDatabase
from .permissions import ROLES
from .users import USERS, DemoUser

__all__ = ["DEFAULT_SCALE", "DEFAULT_SEED", "MAX_SCALE", "DemoSummary", "DemoUser", "ForeignDatabase", "ROLES",
           "USERS", "build_demo"]
