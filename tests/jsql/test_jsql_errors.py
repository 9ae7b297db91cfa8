import pytest

from ornivell.db.jsql import MAX_DEPTH, JsonSqlError


def nested(levels):
    cond = {"name": "x"}
    for _ in range(levels):
        cond = {"_not": cond}
    return cond


@pytest.mark.parametrize("cond, where", [
    ({"name": {"_regex": "x"}}, r"\$\.name\._regex: unknown operator"),
    ({"name": ["a"]}, r"\$\.name: a list needs an operator"),
    ({"name": {"_eq": {"a": 1}}}, r"\$\.name\._eq: expected a text, number or boolean, got an object"),
    ({"name": {"_eq": [1]}}, "got a list"),
    ({"age": {"_gt": None}}, r"\$\.age\._gt: null is not allowed"),
    ({"age": {"_gt": float("nan")}}, "finite"),
    ({"age": 2 ** 64}, "out of range"),
    ({"age": {"_in": []}}, r"\$\.age\._in: needs at least one value"),
    ({"age": {"_in": 3}}, "expected a list of values"),
    ({"age": {"_in": [1, None]}}, r"\$\.age\._in\[1\]: null"),
    ({"age": {"_nin": [[1]]}}, "got a list"),
    ({"age": {"_in": list(range(501))}}, "more than 500"),
    ({"age": {"_between": [1]}}, "exactly two"),
    ({"name": {"_null": 1}}, r"\$\.name\._null: expected true or false"),
    ({"name": {"_like": 5}}, "expected a text"),
    ({"_and": {"name": "x"}}, r"\$\._and: expected a list of expressions"),
    ({"_or": [{"name": "x"}] * 201}, "more than 200"),
    ({"_and": [{"name": "x"}, 3]}, r"\$\._and\[1\]: expected an object"),
    ({"_not": [{"name": "x"}]}, r"\$\._not: expected an object, got a list"),
    ([{"name": "x"}], r"\$: expected an object"),
    ("{name: 1}", "not valid JSON"),
    ({"d.name": {"_bad": 1}}, r'\$\["d\.name"\]\._bad: unknown operator'),
    (nested(MAX_DEPTH), "nested deeper than 16"),
    ({"name": "a\0b"}, r"\$\.name: NUL characters are not allowed"),
    ({"name": {"_in": ["a", "b\0"]}}, r"\$\.name\._in\[1\]: NUL characters"),
    ({"name": {"_starts_with": "\0"}}, r"\$\.name\._starts_with: NUL characters"),
    ({"name": "x" * 10_001}, r"\$\.name: longer than 10000 characters"),
    ({"name": {"_contains": "x" * 50_001}}, r"\$\.name\._contains: longer than 10000 characters"),
    ({"name": {"_like": "%!"}}, r"\$\.name\._like: the pattern ends in the escape character '!'"),
    ({"name": {"_like": "!%!!!"}}, "ends in the escape character"),
    # what one filter holds in all: values, their texts, conditions
    ({"_or": [{"age": {"_in": list(range(300))}}, {"id": {"_in": list(range(201))}}]},
     r"\$\._or\[1\]\.id\._in: more than 500 values in all"),
    ({"_or": [{"name": {"_in": ["x" * 10_000] * 5}}, {"id": "x"}]}, r"\$\._or\[1\]\.id: more than 50000 characters"),
    ({"_or": [{"_or": [{"name": {"_null": True}}] * 100}] * 3}, r"\$\._or\[2\]\._or\[46\]\.name\._null: more than 250 conditions"),
    (" " * 1_000_001, r"^\$: a JSON text of more than 1000000 characters$"),
])
def test_bad_conditions_are_refused(parser, cond, where):
    params = {}
    with pytest.raises(JsonSqlError, match=where):
        parser.parse_cond(params, cond)
    assert params == {}


def test_nesting_up_to_the_limit_is_accepted(parser):
    assert parser.parse_cond({}, nested(MAX_DEPTH - 1)).startswith("not (")


@pytest.mark.parametrize("cond", [
    {"name": "x" * 10_000}, {"name": {"_in": ["x" * 10_000] * 5}}, {"name": {"_like": "%!!"}},
    {"_or": [{"_or": [{"name": {"_null": True}}] * 100}] * 2 + [{"_or": [{"name": {"_null": False}}] * 45}, {"age": {"_in": list(range(500))}}]},
])
def test_filters_up_to_the_limits_are_accepted(parser, cond):
    assert parser.parse_cond({}, cond)


def test_limits_hold_for_all_parses_of_one_parser(parser):
    # the join filters of a request share one parser
    parser.parse_cond({}, {"age": {"_in": list(range(500))}})
    with pytest.raises(JsonSqlError, match="more than 500 values in all"):
        parser.parse_cond({}, {"age": 1})
