"""The demo's users: who they are, which department they belong to and
which roles they hold."""

from typing import NamedTuple, Tuple

from ..db import Dict
from .data import department_id
from .tables import app_user


class DemoUser(NamedTuple):
    id: int
    login: str
    name: str
    orgId: int
    roles: Tuple[str, ...]

    def as_user(self):
        """The user mapping that ``DbPlus`` operations take."""
        return Dict(id=self.id, orgId=self.orgId)


def _user(id, login, name, department, roles):
    return DemoUser(id, login, name, department_id(department), roles)


USERS = (
    _user(1, "ada", "Ada Admin", "HQ", ("admin",)),
    _user(2, "sam", "Sam Seller", "NOR", ("sales",)),
    _user(3, "sue", "Sue Seller", "SOU", ("sales",)),
    _user(4, "carl", "Carl Clerk", "LOG", ("clerk",)),
    # two roles: hidden properties and grants of both apply
    _user(5, "mia", "Mia Mixed", "EAS", ("sales", "clerk")),
)

USER_TABLE = app_user.name


def user_rows():
    return [{"id": u.id, "login": u.login, "name": u.name, "orgId": u.orgId} for u in USERS]
