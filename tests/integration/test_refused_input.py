"""Request values some database could not take are refused before any
statement runs, as a client error (ValueError) with the same message on
every engine; values every engine can take are converted alike."""

import pytest
from sqlalchemy.types import NullType

from ornivell.db.demo.models import model_named

BIG = 2 ** 64
SALES_SQL = model_named("sales_by_department").sql


@pytest.fixture
def refused(it, business_db, users):
    """``refused(call)``: the ValueError message of ``call()``, which must send no statement."""
    dp, sam = business_db.dp, users["sam"]
    for model in ("customer", "employee", "sales_by_department"):
        dp.search(users["ada"], model, {"where": {"id": 1}})  # a warm cache: no metadata reads either
        dp.search(sam, model, {"where": {"id": 1}})
        dp.query_one(sam, model, 1)
    return it.refused_silently(business_db)


@pytest.mark.parametrize("model, args, message", [
    ("customer", {"key": float("inf")}, "key: numbers must be finite"),
    ("customer", {"key": True}, "key: expected a text or a number, got bool"),
    ("customer", {"key": ["a"]}, "key: expected a text or a number, got list"),
    ("customer", {"key": "a\0b"}, "key: NUL characters are not allowed"),
    ("customer", {"key": "x" * 50_001}, "key: longer than 10000 characters"),
    ("customer", {"page": 10 ** 20}, "page must be from 1 to 1000000000, not 100000000000000000000"),
    ("customer", {"page": float("inf")}, "page must be a whole number, not inf"),
    ("customer", {"limit": float("inf")}, "limit must be a whole number, not inf"),
    ("customer", {"where": {"name": "a\0b"}}, "$.name: NUL characters are not allowed"),
    ("customer", {"where": {"city": {"_in": ["Basel", "\0"]}}}, "$.city._in[1]: NUL characters are not allowed"),
    ("customer", {"where": {"name": {"_contains": "x" * 50_001}}}, "$.name._contains: longer than 10000 characters"),
    ("customer", {"where": {"creditLimit": "1" * 16_000 + "x"}}, "$.creditLimit: longer than 10000 characters"),
    ("customer", {"where": {"name": {"_like": "%!"}}}, "$.name._like: the pattern ends in the escape character '!'"),
    ("customer", {"where": {"name": {"_like": "a!!!"}}}, "$.name._like: the pattern ends in the escape character"),
    ("employee", {"joinCond": '["d"]'}, "joinCond: expected an object of filters by joined table, got list"),
    ("employee", {"joinCond": "{d: 1}"}, "joinCond: not valid JSON (Expecting property name"),
    ("employee", {"where": {"id": {"_in": list(range(300))}}, "joinCond": {"d": {"d.name": {"_in": list(map(str, range(300)))}}}},
     "where and joinCond: more than 500 values in all"),
    ("employee", {"where": {"name": {"_in": ["x" * 10_000] * 3}}, "joinCond": {"d": {"d.name": {"_in": ["y" * 10_000] * 3}}}},
     "where and joinCond: more than 50000 characters of text in all"),
])
def test_search_refuses(business_db, users, refused, model, args, message):
    assert refused(lambda: business_db.dp.search(users["sam"], model, args)).startswith(message)


@pytest.mark.parametrize("id, message", [
    ("1\0", "id: NUL characters are not allowed"), ("1" * 10_001, "id: longer than 10000 characters"),
    (BIG, "id: integer out of range"), (float("nan"), "id: numbers must be finite"),
])
def test_query_one_refuses(business_db, users, refused, id, message):
    assert refused(lambda: business_db.dp.query_one(users["sam"], "customer", id)) == message


@pytest.mark.parametrize("given, same_as", [(7, "7"), (BIG, str(BIG)), (2.5, "2.5")])
def test_a_numeric_key_is_searched_as_its_text(it, business_db, users, given, same_as):
    rows = it.search_rows(business_db, users["ada"], "customer", {"key": given})
    assert rows == it.search_rows(business_db, users["ada"], "customer", {"key": same_as})


def test_join_filters_sent_as_json_text(it, business_db, users):
    as_text = it.search_rows(business_db, users["sue"], "employee", {"joinCond": '{"d": {"d.name": "nothing"}}'})
    assert as_text == it.search_rows(business_db, users["sue"], "employee", {"joinCond": {"d": {"d.name": "nothing"}}})
    assert as_text and all(row["d.name"] is None for row in as_text)


@pytest.mark.parametrize("where", [
    {"name": {"_contains": "😀" * 10_000}}, {"name": {"_contains": "%_!" * 3_333}}, {"name": {"_like": "%!!"}},
])
def test_the_longest_texts_accepted_work_on_every_engine(it, business_db, users, where):
    # SQLite refuses LIKE patterns of more than 50,000 bytes
    it.search_rows(business_db, users["ada"], "customer", {"where": where})
    it.search_rows(business_db, users["ada"], "customer", {"key": "😀" * 10_000})


@pytest.mark.parametrize("where, message", [
    ({"revenue": {"_gt": "lots"}}, "$.revenue._gt: expected a number"),
    ({"id": "one"}, "$.id: expected an integer"),
    ({"orderCount": {"_in": [1, 2.5]}}, "$.orderCount._in[1]: expected an integer"),
])
def test_filters_of_a_model_defined_by_sql_follow_its_result_types(business_db, users, where, message):
    # SQLite reports no types for a statement's result: its values are taken as given, which it takes
    known = business_db.db.query_meta(SALES_SQL)
    if all(known[name].type is not NullType for name in where):
        with pytest.raises(ValueError, match=message.replace("$", r"\$").replace("[", r"\[")):
            business_db.dp.search(users["ada"], "sales_by_department", {"where": where})
    else:
        assert business_db.dp.search(users["ada"], "sales_by_department", {"where": where})[1] == 200


def test_typed_filters_of_a_model_defined_by_sql_find_their_rows(it, business_db, users):
    rows = it.search_rows(business_db, users["ada"], "sales_by_department", {"where": {"orderCount": {"_gte": 2}}})
    expected = {row["id"] for row in business_db.db.query(f"select * from ({SALES_SQL}) s") if row["orderCount"] >= 2}
    assert it.ids(rows) == expected
