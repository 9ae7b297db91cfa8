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
    ({"age": {"_in": list(range(1001))}}, "more than 1000"),
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
])
def test_bad_conditions_are_refused(parser, cond, where):
    params = {}
    with pytest.raises(JsonSqlError, match=where):
        parser.parse_cond(params, cond)
    assert params == {}


def test_nesting_up_to_the_limit_is_accepted(parser):
    assert parser.parse_cond({}, nested(MAX_DEPTH - 1)).startswith("not (")
