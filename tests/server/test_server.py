"""The API seen through HTTP as a person's client sees it: a real server
process over each engine's demo, every route, every status, tokens good and
bad, and the same rows, rules and hidden properties as through the module."""

import io
import json
import time

import httpx
import jwt
import pytest
from openpyxl import load_workbook

from ornivell.db.server.responses import domains_json

from .conftest import AUDIENCE, ISSUER, SECRET, plain, token

ROLES = ("admin", "sales", "clerk")

SEARCHES = [
    ("customer", {}),
    ("employee", {"order": [{"name": "desc"}], "limit": 5, "page": 2}),
    ("order", {"where": {"status": "paid"}, "order": [{"orderedOn": "asc"}], "limit": 7, "doCount": 1}),
    ("product", {"key": "a", "columns": ["name", "unitCost"]}),
]


def _query(args):
    """The query string of a module request."""
    query = {}
    for name in ("where", "order"):
        if name in args:
            query[name] = json.dumps(args[name])
    if "columns" in args:
        query["columns"] = ",".join(args["columns"])
    for name, key in (("key", "key"), ("page", "page"), ("limit", "limit"), ("doCount", "count")):
        if name in args:
            query[key] = str(args[name])
    return query


def _status(status):
    return 404 if status == 600 else status


@pytest.mark.parametrize("role", ROLES)
@pytest.mark.parametrize("model, args", SEARCHES, ids=[model for model, _ in SEARCHES])
def test_a_search_answers_what_the_module_answers(ask, business_db, role, model, args):
    payload, status = business_db.dp.search(business_db.summary.user(role), model,
                                            {"page": 1, "limit": 20, **args})
    response = ask(role, "GET", f"/models/{model}", params=_query(args))
    assert (response.status_code, response.json()) == (_status(status), plain(payload))


def test_hidden_properties_and_rules_hold_over_http(ask, business_db):
    sales = business_db.summary.user("sales")
    admin_rows = ask("admin", "GET", "/models/employee", params={"limit": 1000}).json()["data"]
    sales_rows = ask("sales", "GET", "/models/employee", params={"limit": 1000}).json()["data"]
    assert all("salary" in row for row in admin_rows) and not any("salary" in row for row in sales_rows)
    assert {row["deptId"] for row in sales_rows} == {sales.orgId} and len(admin_rows) > len(sales_rows)
    # the hidden property cannot be filtered on either; the refusal names where it stood
    refused = ask("sales", "GET", "/models/employee", params={"where": '{"salary": {"_gt": 1}}'})
    assert refused.status_code == 400 and refused.json() == {"message": "unknown property 'salary'",
                                                             "path": "$.salary"}


def _ids(business_db, sql, **params):
    return [row["id"] for row in business_db.db.query(sql, **params)]


def test_get_one_record(ask, business_db):
    sales = business_db.summary.user("sales")
    mine = _ids(business_db, "select id from customer where orgId = :org order by id", org=sales.orgId)[0]
    other = _ids(business_db, "select id from customer where orgId <> :org order by id", org=sales.orgId)[0]
    got = ask("sales", "GET", f"/models/customer/{mine}")
    assert got.status_code == 200
    assert got.json() == plain(business_db.dp.query_one(sales, "customer", mine)[0])
    # a row the rules hide is as absent as one that does not exist
    for hidden in (other, 10 ** 9):
        assert ask("sales", "GET", f"/models/customer/{hidden}").status_code == 404
    assert ask("admin", "GET", f"/models/customer/{other}").json()["id"] == other
    assert ask("clerk", "GET", f"/models/order/{mine}").status_code == 403
    assert ask("sales", "GET", "/models/nothing/1").status_code == 404
    bad = ask("sales", "GET", "/models/customer/1abc")
    assert bad.status_code == 400 and "1abc" in bad.json()["message"]


@pytest.mark.parametrize("params, needle", [
    ({"where": "{not json"}, "where is not valid JSON"),
    ({"where": "[1]"}, "where must be a JSON object"),
    ({"limit": "0"}, "limit must be a whole number"),
    ({"page": "x"}, "page must be a whole number"),
    ({"count": "maybe"}, "count must be true or false"),
    ({"order": '[{"name": "up"}]'}, "$[0].name"),
])
def test_bad_search_requests_are_400_with_their_reason(ask, params, needle):
    response = ask("sales", "GET", "/models/employee", params=params)
    assert response.status_code == 400
    body = response.json()
    assert needle in body["message"] or needle == body.get("path")


def _claims(**changes):
    now = int(time.time())
    claims = {"sub": "2", "orgId": 2, "iat": now, "exp": now + 60, "iss": ISSUER, "aud": AUDIENCE}
    claims.update(changes)
    return {key: value for key, value in claims.items() if value is not None}


@pytest.mark.parametrize("authorization", [
    None,
    "Bearer",
    "Basic c2FtOnNhbQ==",
    "Bearer not.a.token",
    "Bearer " + jwt.encode(_claims(), "another secret of the same length as the tests' one", algorithm="HS256"),
    "Bearer " + jwt.encode(_claims(exp=int(time.time()) - 60), SECRET, algorithm="HS256"),
    "Bearer " + jwt.encode(_claims(exp=None), SECRET, algorithm="HS256"),
    "Bearer " + jwt.encode(_claims(iss="someone else"), SECRET, algorithm="HS256"),
    "Bearer " + jwt.encode(_claims(aud="another api"), SECRET, algorithm="HS256"),
    "Bearer " + jwt.encode(_claims(sub=None), SECRET, algorithm="HS256"),
], ids=["none", "empty", "basic", "garbage", "signature", "expired", "no-expiry", "issuer", "audience", "no-sub"])
def test_a_missing_or_bad_token_is_401(server, authorization):
    headers = {} if authorization is None else {"Authorization": authorization}
    for path in ("/models/customer", "/openapi.json", "/domains"):
        response = server.client.get(path, headers=headers)
        assert response.status_code == 401 and response.headers["www-authenticate"] == "Bearer"
        assert "Raven" not in response.text


def test_claims_become_the_user(server, business_db):
    # the token's organisation, not the users table's, is the one rules read
    other = business_db.summary.user("admin").orgId
    rows = server.client.get("/models/customer", params={"limit": 1000},
                             headers={"Authorization": f"Bearer {token(2, other)}"}).json()["data"]
    assert {row["orgId"] for row in rows} <= {other}


def _customer(business_db, org, code):
    owner = _ids(business_db, "select id from employee where deptId = :org", org=org)[0]
    return {"code": code, "name": f"Test {code}", "city": "Oslo", "orgId": org, "ownerId": owner,
            "creditLimit": 100}


def test_writes_over_http(ask, business_db):
    sales = business_db.summary.user("sales")
    created = ask("sales", "POST", "/models/customer", json=_customer(business_db, sales.orgId, "T-1"))
    assert created.status_code == 200
    id = created.json()["id"]
    assert ask("sales", "GET", f"/models/customer/{id}").json()["name"] == "Test T-1"
    updated = ask("sales", "PATCH", f"/models/customer/{id}", json={"city": "Bergen"})
    assert updated.status_code == 200 and updated.json()["city"] == "Bergen"
    batch = ask("sales", "POST", "/models/customer",
                json=[_customer(business_db, sales.orgId, code) for code in ("T-2", "T-3")])
    assert batch.status_code == 200
    ids = _ids(business_db, "select id from customer where code in ('T-2', 'T-3')")
    patched = ask("sales", "PATCH", "/models/customer", json=[{"id": one, "city": "Turku"} for one in ids])
    assert patched.status_code == 200
    assert {row["city"] for row in business_db.db.query("select city from customer where code like 'T-%'")} \
        == {"Bergen", "Turku"}
    # sales may not delete; the admin may, once
    assert ask("sales", "DELETE", f"/models/customer/{id}").status_code == 403
    for one in [id] + ids:
        assert ask("admin", "DELETE", f"/models/customer/{one}").status_code == 200
    assert ask("admin", "DELETE", f"/models/customer/{id}").status_code == 404


def test_refused_writes_are_refused_as_by_the_module(ask, business_db):
    sales = business_db.summary.user("sales")
    other_org = business_db.summary.user("admin").orgId
    before = business_db.db.query("select count(*) as n from customer")[0]["n"]
    outside = _customer(business_db, other_org, "T-9")
    expected = business_db.dp.create(sales, "customer", dict(outside))
    response = ask("sales", "POST", "/models/customer", json=outside)
    assert expected[1] == 403 and (response.status_code, response.json()) == (403, plain(expected[0]))
    missing = ask("sales", "POST", "/models/customer", json={"name": "no code"})
    assert missing.status_code == 400
    for body, needle in ((b"{", "not valid JSON"), (b"[1, 2]", "list of JSON objects"), (b"", "send a JSON body"),
                         (b"3", "JSON object")):
        refused = ask("sales", "POST", "/models/customer", content=body)
        assert refused.status_code == 400 and needle in refused.json()["message"]
    assert ask("sales", "PATCH", "/models/customer", json=[{"city": "x"}]).status_code == 400
    assert ask("clerk", "POST", "/models/customer", json=outside).status_code == 403
    assert business_db.db.query("select count(*) as n from customer")[0]["n"] == before


def test_a_write_the_database_refuses_is_409(ask, business_db):
    ordered = _ids(business_db, "select customerId as id from sales_order order by customerId")[0]
    response = ask("admin", "DELETE", f"/models/customer/{ordered}")
    assert response.status_code == 409 and "constraint" in response.json()["message"]
    assert ask("admin", "GET", f"/models/customer/{ordered}").status_code == 200


def test_link_rows(ask, business_db):
    project = _ids(business_db, "select id from project order by id")[0]
    linked = set(_ids(business_db, "select employeeId as id from project_member where projectId = :p", p=project))
    employee = next(one for one in _ids(business_db, "select id from employee order by id") if one not in linked)
    row = {"projectId": project, "employeeId": employee}
    assert ask("sales", "POST", "/models/project_member/links", json={"add": [row]}).json() == {"message": "success"}
    query = {"fromKey": "projectId", "fromData": json.dumps([project]),
             "toKey": "employeeId", "toData": json.dumps([employee])}
    read = ask("admin", "GET", "/models/project_member/links", params=query)
    assert read.status_code == 200 and [(r["projectId"], r["employeeId"]) for r in read.json()] == [(project, employee)]
    assert ask("sales", "POST", "/models/project_member/links", json={"remove": [row]}).status_code == 403
    assert ask("admin", "POST", "/models/project_member/links", json={"remove": [row]}).status_code == 200
    assert ask("admin", "GET", "/models/project_member/links", params=query).json() == []
    assert ask("admin", "POST", "/models/project_member/links", json={"drop": [row]}).status_code == 400
    assert ask("admin", "GET", "/models/project_member/links", params={"fromKey": "projectId"}).status_code == 400


def test_export_streams_the_workbook(ask, business_db):
    sales = business_db.summary.user("sales")
    where = {"status": "paid"}
    total = business_db.dp.search(sales, "order", {"where": where, "doCount": 1})[0]["total"]
    response = ask("sales", "GET", "/models/order/export", params={"where": json.dumps(where)})
    assert response.status_code == 200
    assert ".xlsx" in response.headers["content-disposition"]
    sheet = load_workbook(io.BytesIO(response.content), read_only=True).active
    assert sheet.max_row == total + 1
    assert ask("clerk", "GET", "/models/order/export").status_code == 403


def test_domains(ask, business_db):
    assert ask("sales", "GET", "/domains").json() == plain(domains_json(business_db.dp.find_dict_domains([])))
    one = ask("sales", "GET", "/domains", params={"name": "order_status"}).json()
    assert list(one) == ["order_status"]
    sales = business_db.summary.user("sales")
    info = business_db.dp.check_perm(sales, "order", "queryEnabled", "查询").info
    links = ask("sales", "GET", "/models/order/domains")
    # a list of dates (order dates on MariaDB) has the dates' texts as keys
    assert links.json() == plain(domains_json(business_db.dp.find_link_domains(sales, info)))
    assert ask("clerk", "GET", "/models/order/domains").status_code == 403


def test_openapi_is_the_users_own(ask, server):
    # schemathesis, which reads the descriptions whole, checks that they are well formed
    described = {role: ask(role, "GET", "/openapi.json").json() for role in ROLES}
    employee = {role: d["components"]["schemas"].get("employee", {}).get("properties", {})
                for role, d in described.items()}
    assert "salary" in employee["admin"] and "salary" not in employee["sales"] and not employee["clerk"]
    assert "/models/order" in described["sales"]["paths"] and "/models/order" not in described["clerk"]["paths"]
    assert "delete" not in described["sales"]["paths"]["/models/customer/{id}"]
    assert "creditLimit" not in described["clerk"]["components"]["schemas"]["customer"]["properties"]
    page = server.client.get("/docs")
    assert page.status_code == 200 and "swagger-ui-bundle.js" in page.text
    assert server.client.get("/docs/assets/swagger-ui-bundle.js").status_code == 200


def test_health(server):
    assert server.client.get("/health").json() == {"status": "ok"}


def test_a_revoked_grant_stops_working_within_the_interval(business_db, tmp_path):
    from ornivell.db import schema

    from .conftest import Server

    url = business_db.db.engine.url.render_as_string(hide_password=False)
    served = Server(url, tmp_path, "--secret", SECRET, "--issuer", ISSUER, "--audience", AUDIENCE,
                    "--workers", "2", "--grants-interval", "0.5")
    clerk = business_db.summary.user("clerk")
    headers = {"Authorization": f"Bearer {token(clerk.id, clerk.orgId)}"}
    grants = schema.role_acl_func
    try:
        assert served.client.get("/models/product", headers=headers).status_code == 200
        kept = business_db.db.query("select * from _role_acl_func")
        business_db.db.execute("delete from _role_acl_func")
        time.sleep(1.5)
        # a connection each, so that both workers answer some of them
        answers = {httpx.get(f"{served.base}/models/product", headers=headers).status_code for _ in range(8)}
        assert answers == {403}
    finally:
        served.stop()
        business_db.db.add_many(grants.name, [dict(row) for row in kept])
        business_db.dp.clear_cache()
