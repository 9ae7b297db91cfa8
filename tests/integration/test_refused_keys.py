"""Ids, keys and link-row values that their column cannot take are refused before any statement runs, with the
same ValueError on every engine, for the demo's models and one described by ``add_model``; values written meet
NOT NULL; a model defined by SQL is not writable; SQLite keeps foreign keys as the servers do."""

import pytest
from sqlalchemy.exc import IntegrityError

from ornivell.db.admin.grants import grant
from ornivell.db.admin.modeling import add_model

pytestmark = pytest.mark.usefixtures("writes_undone")

# a model over the quotes, as `dbplus model add` describes it
ADDED = "quote_brief"

# (id, what the refusal says after the value's path)
BAD_KEYS = [
    ("1abc", 'expected an integer, got "1abc"'),
    ("5 apples", 'expected an integer, got "5 apples"'),
    (True, "expected an integer, got true"),
    (1.5, "expected an integer, got 1.5"),
    ([1], "expected a text or number, got a list"),
    ({"id": 1}, "expected a text or number, got an object"),
    (None, "expected a text or number, got null"),
    (float("nan"), "numbers must be finite"),
    (float("inf"), "numbers must be finite"),
    (2 ** 64, "integer out of range"),
]

# by operation: (path of the key, call with the key)
KEYED_CALLS = {
    "query_one": ("id", lambda dp, user, model, key: dp.query_one(user, model, key)),
    "delete": ("id", lambda dp, user, model, key: dp.delete(user, model, key)),
    "update": ("id", lambda dp, user, model, key: dp.update(user, model, {"id": key, "title": "x"})),
    "update_many": ("data[1].id", lambda dp, user, model, key: dp.update_many(
        user, model, [{"id": 1, "title": "x"}, {"id": key, "title": "x"}])),
}


@pytest.fixture(scope="module")
def added_model(business_db):
    add_model(business_db.db, ADDED, "quote", alias="q", columns=["id", "code", "title", "customerId"])
    grant(business_db.db, "admin", ADDED, operations=["query", "create", "update", "delete"])
    business_db.dp.clear_cache()
    return ADDED


@pytest.fixture
def silent(it, business_db):
    """``silent(call)``: the ValueError message of ``call()``, which must send no statement."""
    return it.refused_silently(business_db)


def warm(dp, user, model):
    # the model and the user's grants cached: what follows reads nothing else first
    for op in ("queryEnabled", "updateEnabled", "deleteEnabled"):
        dp.check_perm(user, model, op, "x")


@pytest.mark.parametrize("key, problem", BAD_KEYS)
@pytest.mark.parametrize("login, model", [("ada", "quote"), ("sam", "quote"), ("ada", ADDED)])
def test_a_key_its_column_cannot_take_is_refused_before_any_statement(
        it, business_db, users, added_model, silent, login, model, key, problem):
    dp, user = business_db.dp, users[login]
    warm(dp, user, model)
    before = it.snapshot(business_db.db)
    for path, call in KEYED_CALLS.values():
        assert silent(lambda: call(dp, user, model, key)) == f"{path}: {problem}"
    assert it.snapshot(business_db.db) == before


@pytest.mark.parametrize("value, problem", BAD_KEYS + [("x" * 10_001, "longer than 10000 characters")])
@pytest.mark.parametrize("rows", ["add_data", "del_data"])
def test_a_link_value_its_column_cannot_take_is_refused_before_any_write(
        it, business_db, users, silent, rows, value, problem):
    dp, ada = business_db.dp, users["ada"]
    dp.relation_update(ada, "project_member")  # the model and grants cached
    before = it.snapshot(business_db.db)
    batch = [{"projectId": 1, "employeeId": 2}, {"projectId": 2, "employeeId": value}]
    message = silent(lambda: dp.relation_update(ada, "project_member", **{rows: batch}))
    assert message == f"{rows}[1].employeeId: {problem}"
    assert it.snapshot(business_db.db) == before


def test_a_key_given_as_text_binds_as_the_number(business_db, users, added_model):
    db, dp, ada = business_db.db, business_db.dp, users["ada"]
    for model in ("quote", added_model):
        assert dp.query_one(ada, model, "3") == dp.query_one(ada, model, 3)
    assert dp.update(ada, "quote", {"id": "3", "title": "Renamed"})[0]["id"] == 3
    assert dp.update_many(ada, "quote", [{"id": "4", "title": "Renamed"}])[1] == 200
    assert [r["id"] for r in db.query("select id from quote where title = 'Renamed' order by id")] == [3, 4]
    assert dp.relation_update(ada, "project_member", del_data=[{"projectId": "1", "employeeId": "9"}])[1] == 200
    assert dp.delete(ada, "quote", "4")[0]["id"] == 4
    assert db.query_one("select id from quote where id = 4") is None


def unwritten(it, db):
    # sequence numbers are issued apart from the write, and stay issued
    return {name: rows for name, rows in it.snapshot(db).items() if name != "_seq_value"}


@pytest.mark.parametrize("write, message", [
    (lambda dp, ada: dp.create(ada, "quote", {"title": None, "customerId": 1}), "title: expected a value, got null"),
    (lambda dp, ada: dp.update(ada, "quote", {"id": 3, "customerId": None}), "customerId: expected a value, got null"),
    (lambda dp, ada: dp.create(ada, "project_member", {"projectId": 1}), "employeeId: expected a value, none given"),
])
def test_null_or_a_missing_value_for_a_not_null_column_is_refused_by_name(it, business_db, users, write, message):
    before = unwritten(it, business_db.db)
    with pytest.raises(ValueError) as raised:
        write(business_db.dp, users["ada"])
    assert str(raised.value) == message
    assert unwritten(it, business_db.db) == before


@pytest.mark.parametrize("write", [
    lambda dp, ada: dp.create(ada, "sales_by_department", {"name": "x"}),
    lambda dp, ada: dp.create_many(ada, "sales_by_department", [{"name": "x"}]),
    lambda dp, ada: dp.update(ada, "sales_by_department", {"id": 2, "name": "x"}),
    lambda dp, ada: dp.update_many(ada, "sales_by_department", [{"id": 2, "name": "x"}]),
    lambda dp, ada: dp.delete(ada, "sales_by_department", 2),
])
def test_a_model_defined_by_sql_cannot_be_written(business_db, users, write):
    with pytest.raises(ValueError, match="^sales_by_department: a model defined by SQL cannot be written$"):
        write(business_db.dp, users["ada"])


def test_foreign_keys_hold_on_every_engine(business_db, users):
    db, dp, ada = business_db.db, business_db.dp, users["ada"]
    customer = db.query_one("select customerId from sales_order order by id")["customerId"]
    with pytest.raises(IntegrityError):
        dp.delete(ada, "customer", customer)
    assert db.query_one("select id from customer where id = :id", id=customer)
    with pytest.raises(IntegrityError):
        dp.relation_update(ada, "project_member", add_data=[{"projectId": 1, "employeeId": 999_999}])
    assert db.query_one("select id from project_member where employeeId = 999999") is None
