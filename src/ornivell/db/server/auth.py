"""Who asks: a user made from a signed token's claims, read from a users
table by the token's subject, or, in development only, one fixed user."""

import ipaddress
import re
from typing import Mapping, NamedTuple, Optional

from ..admin.users import DEFAULT_USER_TABLE, UnknownUser, UserTable, find_user
from ..handle.attrdict import Dict

HMAC_ALGORITHMS = ("HS256",)

_INTEGER = re.compile(r"-?[0-9]{1,18}")


class Unauthorized(Exception):
    """No user may be made for the request; the message says why."""


def _number(value):
    # a token's subject is a text by the standard; ids the database compares are integers
    return int(value) if isinstance(value, str) and _INTEGER.fullmatch(value) else value


class TokenRules(NamedTuple):
    """How tokens are checked and how their claims become the user."""

    key: str
    algorithm: str = "HS256"
    issuer: Optional[str] = None
    audience: Optional[str] = None
    id_claim: str = "sub"
    org_claim: str = "orgId"
    # user key -> claim name, for claims that rules read under another name
    renamed: Mapping[str, str] = {}
    leeway: int = 0

    def claims(self, token):
        import jwt

        try:
            return jwt.decode(
                token, self.key, algorithms=[self.algorithm], issuer=self.issuer, audience=self.audience,
                leeway=self.leeway, options={"require": ["exp", self.id_claim]},
            )
        except jwt.PyJWTError as error:
            raise Unauthorized(f"bad token: {error}") from None

    def user(self, claims):
        user = Dict(claims)
        for key, claim in self.renamed.items():
            user[key] = claims.get(claim)
        user["id"] = _number(claims[self.id_claim])
        user["orgId"] = _number(claims.get(self.org_claim))
        return user


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class Authenticator:
    """The user of a request, from its ``Authorization`` header.

    ``tokens`` (``TokenRules``) checks bearer tokens; ``user_table`` (a
    ``UserTable``) makes the token's subject's row the user; ``dev_user``,
    an id, stands in for every request without any token check.
    """

    def __init__(self, tokens=None, user_table=None, dev_user=None):
        if tokens is None and dev_user is None:
            raise ValueError("give a token key (a secret or a public key), or a development user")
        self.tokens, self.user_table, self.dev_user = tokens, user_table, dev_user

    @property
    def needs_database(self):
        return self.user_table is not None or self.dev_user is not None

    def claims(self, authorization):
        """The checked claims of an ``Authorization`` header; None in development mode."""
        if self.dev_user is not None:
            return None
        scheme, _, token = (authorization or "").partition(" ")
        if scheme.lower() != "bearer" or not token.strip():
            raise Unauthorized("send a token: Authorization: Bearer <JWT>")
        return self.tokens.claims(token.strip())

    def user(self, claims, database):
        """The user for ``claims``; reads the users table when there is one
        (``database`` is then used, so call this off the event loop)."""
        if claims is None:
            return self._row(self.dev_user, database)
        user = self.tokens.user(claims)
        if self.user_table is None:
            return user
        return self._row(user["id"], database)

    def _row(self, user_id, database):
        try:
            return find_user(database, user_id, self.user_table or UserTable(DEFAULT_USER_TABLE))
        except UnknownUser as error:
            raise Unauthorized(str(error)) from None


def mint_token(secret, subject, org=None, expires_in=3600, issuer=None, audience=None, extra=None):
    """An HS256 token for trying a server out."""
    import time

    import jwt

    now = int(time.time())
    claims = {"sub": str(subject), "iat": now, "exp": now + expires_in, **(extra or {})}
    if org is not None:
        claims["orgId"] = org
    if issuer:
        claims["iss"] = issuer
    if audience:
        claims["aud"] = audience
    return jwt.encode(claims, secret, algorithm="HS256")


__all__ = ["Authenticator", "TokenRules", "Unauthorized", "is_loopback", "mint_token",
           "HMAC_ALGORITHMS"]
