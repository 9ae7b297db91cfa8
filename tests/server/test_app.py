"""The application mounted in a host's own process (``create_app``): signed
with a public key, users read from a users table, and failures that tell
nothing but a request id."""

import logging
import time
import warnings

import jwt
import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec
with warnings.catch_warnings():
    # newer Starlette would rather run its test client on another HTTP client package
    warnings.simplefilter("ignore")
    from starlette.testclient import TestClient

from ornivell.db.admin.users import UserTable
from ornivell.db.server import Authenticator, TokenRules, create_app


@pytest.fixture(scope="module")
def key_pair():
    private = ec.generate_private_key(ec.SECP256R1())
    public = private.public_key().public_bytes(serialization.Encoding.PEM,
                                               serialization.PublicFormat.SubjectPublicKeyInfo).decode()
    return private, public


def _signed(private, **claims):
    return jwt.encode({"exp": int(time.time()) + 60, **claims}, private, algorithm="ES256")


@pytest.fixture(scope="module")
def client(business_db, key_pair):
    rules = TokenRules(key_pair[1], "ES256", renamed={"city": "town"})
    app = create_app(business_db.db, Authenticator(rules))
    with TestClient(app) as client:
        yield client


def test_es256_tokens_and_claims_as_user_keys(client, business_db, key_pair):
    private, _ = key_pair
    sales = business_db.summary.user("sales")
    good = _signed(private, sub=str(sales.id), orgId=sales.orgId, town="Oslo")
    rows = client.get("/models/customer", headers={"Authorization": f"Bearer {good}"}).json()["data"]
    assert rows and {row["orgId"] for row in rows} == {sales.orgId}
    # a token signed with HS256 over the public key's text is not taken for an ES256 one
    forged = jwt.encode({"sub": "1", "exp": int(time.time()) + 60}, "x" * 64, algorithm="HS256")
    assert client.get("/models/customer", headers={"Authorization": f"Bearer {forged}"}).status_code == 401


def test_claims_mapping(key_pair):
    rules = TokenRules(key_pair[1], "ES256", id_claim="uid", org_claim="dept", renamed={"city": "town"})
    user = rules.user({"uid": "7", "dept": "3", "town": "Oslo", "role": "x"})
    assert (user.id, user.orgId, user["city"], user["role"]) == (7, 3, "Oslo", "x")


def test_the_users_table_row_is_the_user(business_db):
    authenticator = Authenticator(TokenRules("s" * 40), UserTable("app_user"))
    with TestClient(create_app(business_db.db, authenticator)) as client:
        def ask(sub):
            token = jwt.encode({"sub": sub, "orgId": 999, "exp": int(time.time()) + 60}, "s" * 40,
                               algorithm="HS256")
            return client.get("/models/customer", headers={"Authorization": f"Bearer {token}"})

        sales = business_db.summary.user("sales")
        # the row's organisation, not the token's claim
        assert {row["orgId"] for row in ask(str(sales.id)).json()["data"]} == {sales.orgId}
        unknown = ask("424242")
        assert unknown.status_code == 401 and "424242" in unknown.json()["message"]


class _Failing:
    def __getattr__(self, name):
        def fail(*args, **kwargs):
            raise RuntimeError("secret internals")

        return fail


def test_a_failure_is_500_with_a_logged_request_id(business_db, caplog):
    app = create_app(business_db.db, Authenticator(dev_user=1))
    app.state.api.dp = _Failing()
    with TestClient(app) as client, caplog.at_level(logging.ERROR, "ornivell.db.server"):
        response = client.get("/models/customer")
    body = response.json()
    assert response.status_code == 500 and "secret" not in response.text and set(body) == {"message", "requestId"}
    record = next(record for record in caplog.records if body["requestId"] in record.getMessage())
    assert "secret internals" in str(record.exc_info[1])
