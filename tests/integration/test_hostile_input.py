"""SQL-injection payloads in every client-controlled part of a search: each is
bound as data (the oracle's rows) or refused, and no table changes."""

import pytest

from ornivell.db.jsql import JsonSqlError

PAYLOADS = [
    "' or 1=1 --", "'; drop table customer; --", '" or ""="', "1) or (1=1", "' or 'a'='a' /*", "*/ or 1=1 /*",
    "\\", "\\'", "\\%", "%", "_", "%' or '%'='", "‘ or ‘1’=‘1", "＇ or 1=1 --", "O'Brien", "$user.orgId",
    ":key_raw", "`name`", "; select pg_sleep(0) --",
]
BAD_NAMES = [
    "name = name or 1=1 --", "name'", 'name"', "c.name", "name) or (1=1", "name; drop table customer",
    "", "NAME", "name ", "1=1", "*", "$user.orgId", "creditLimit --", "`name`", "(select 1)",
]
# customers of sam's department whose texts hold the payloads, so that matching is not vacuous
HOSTILE_CUSTOMERS = [
    ("X'01", "O'Brien \"Quote\" Ltd", "' or 1=1 --"),
    ('X"02', "100% _Under_ Co", "$user.orgId"),
    ("X\\03", "Back\\slash'; drop table customer; --", "Vienna"),
    ("X%_04", "‘Curly’ ＇Wide＇ Works", "1) or (1=1"),
]
CUSTOMER_KEY = "c.code like :k or c.name like :k or c.city like :k or c.code = :raw"


@pytest.fixture(scope="module")
def sam(business_db, users):
    db, sam = business_db.db, users["sam"]
    owner = db.query("select min(id) as id from employee where deptId = :org", org=sam.orgId)[0]["id"]
    added = [db.add("customer", {"code": code, "name": name, "city": city, "orgId": sam.orgId,
                                 "ownerId": owner, "creditLimit": 1000})["id"]
             for code, name, city in HOSTILE_CUSTOMERS]
    yield sam
    for id in added:
        db.delete("customer", id)


@pytest.fixture(autouse=True)
def nothing_written(it, business_db, sam):
    before = it.snapshot(business_db.db)
    yield
    assert it.snapshot(business_db.db) == before


def customers(it, business_db, users, cond, **params):
    return it.oracle_ids(business_db.db, "customer", users.demo["sam"], cond, **params)


@pytest.mark.parametrize("payload", PAYLOADS)
def test_keyword(it, business_db, users, sam, payload):
    rows = it.search_rows(business_db, sam, "customer", {"key": payload})
    assert it.ids(rows) == customers(it, business_db, users, CUSTOMER_KEY, k=f"%{payload}%", raw=payload)


def test_hostile_rows_are_found_by_their_texts(it, business_db, sam):
    for code, name, city in HOSTILE_CUSTOMERS:
        for where in ({"code": code}, {"name": name}, {"city": {"_contains": city}}):
            assert code in {r["code"] for r in it.search_rows(business_db, sam, "customer", {"where": where})}


@pytest.mark.parametrize("payload", PAYLOADS)
@pytest.mark.parametrize("case", ["eq", "neq", "contains", "like", "in or starts_with"])
def test_filter_values(it, business_db, users, sam, payload, case):
    like = it.like_text(payload)
    where, cond, value = {
        "eq": ({"name": payload}, "c.name = :v", payload),
        "neq": ({"city": {"_neq": payload}}, "c.city <> :v", payload),
        "contains": ({"name": {"_contains": payload}}, "c.name like :v escape '!'", f"%{like}%"),
        "like": ({"name": {"_like": payload}}, "c.name like :v escape '!'", payload),
        "in or starts_with": ({"_or": [{"city": {"_in": [payload, "Milan"]}}, {"code": {"_starts_with": payload}}]},
                              "c.city in (:v, 'Milan') or c.code like :w escape '!'", payload),
    }[case]
    rows = it.search_rows(business_db, sam, "customer", {"where": where})
    assert it.ids(rows) == customers(it, business_db, users, cond, v=value, w=like + "%")


@pytest.mark.parametrize("where, cond", [
    ({"id": "1 or 1=1"}, "1 = 0"),
    ({"id": {"_in": ["1'", 2]}}, "c.id = 2"),
    ({"creditLimit": {"_gte": "0 or 1=1"}}, "1 = 0"),
    ({"name": 5}, "c.name = '5'"),
])
def test_values_of_the_wrong_type(it, business_db, users, sam, where, cond):
    # a value of the wrong type: refused, or compared as the value it is
    try:
        rows = it.search_rows(business_db, sam, "customer", {"where": where})
    except JsonSqlError:
        return
    assert it.ids(rows) == customers(it, business_db, users, cond)


@pytest.mark.parametrize("name", BAD_NAMES)
@pytest.mark.parametrize("place", ["where", "operator", "order", "order direction", "joinCond"])
def test_bad_names_are_refused(business_db, sam, name, place):
    model, args = "customer", {
        "where": {"where": {name: "x"}},
        "operator": {"where": {"name": {name: "x"}}},
        "order": {"order": [{name: "asc"}, "id"]},
        "order direction": {"order": [{"name": name or "up"}]},
        "joinCond": {"joinCond": {"d": {name: "x"}}},
    }[place]
    if place == "joinCond":
        model = "employee"
    with pytest.raises(JsonSqlError):
        business_db.dp.search_all(sam, model, args)


@pytest.mark.parametrize("args", [
    {"where": '{"name": "x"} or 1=1'}, {"where": "1=1"}, {"where": "' or 1=1 --"},
    {"where": {"name": {"_in": ["x", {"_neq": 1}]}}}, {"where": {"name": ["x' or '1'='1"]}},
    {"order": "name desc; drop table customer"}, {"order": "asc"}, {"order": [{"name": "desc", "id": "asc"}]},
    {"order": [{"name": "asc; drop table customer"}]}, {"order": [{"name": "desc --"}]}, {"order": [{"name": "ASC "}]},
    {"order": [["name", "desc"]]}, {"order": "name"},
])
def test_malformed_structures_are_refused(business_db, sam, args):
    with pytest.raises(JsonSqlError):
        business_db.dp.search_all(sam, "customer", args)


@pytest.mark.parametrize("payload", PAYLOADS + ["South"])
def test_join_condition_values(it, business_db, users, payload):
    user = users["sue"]
    rows = it.search_rows(business_db, user, "employee", {"joinCond": {"d": {"d.name": {"_contains": payload}}}})
    visible = it.oracle_ids(business_db.db, "employee", users.demo["sue"])
    joined = business_db.db.query("select e.id, d.name from employee e left join department d "
                                  "on d.id = e.deptId and d.name like :v escape '!'",
                                  v=f"%{it.like_text(payload)}%")
    assert {r["id"]: r["d.name"] for r in rows} == {r["id"]: r["name"] for r in joined if r["id"] in visible}


@pytest.mark.parametrize("key", ["d or 1=1 --", "d'; drop table employee; --", "mgr", "e", "D", "department "])
def test_unknown_join_condition_keys_change_nothing(it, business_db, sam, key):
    plain = it.search_rows(business_db, sam, "employee")
    assert it.search_rows(business_db, sam, "employee", {"joinCond": {key: {"d.name": "nothing"}}}) == plain


@pytest.mark.parametrize("extra", [BAD_NAMES, ["' or 1=1 --", "id; drop table customer"], ["creditLimit as x"]])
def test_unknown_columns_change_nothing(it, business_db, sam, extra):
    selected = it.search_rows(business_db, sam, "customer", {"columns": ["id", "name"]})
    assert selected and all(set(row) == {"id", "name"} for row in selected)
    assert it.search_rows(business_db, sam, "customer", {"columns": ["id", *extra, "name"]}) == selected


@pytest.mark.parametrize("columns", [["' or 1=1 --"], ["id; drop table customer"], ["no_such_property"]])
def test_only_unknown_columns(it, business_db, sam, columns):
    # nothing selectable: either refused, or the columns are ignored altogether
    rows, status = business_db.dp.search_all(sam, "customer", {"columns": columns})
    assert status != 200 or rows == it.search_rows(business_db, sam, "customer")
