import re

import pytest

from ornivell.db.jsql import JsonSqlParser

NAME, AGE = '"p"."name"', '"p"."age"'


@pytest.mark.parametrize("cond, text, values", [
    ({"name": "Ann"}, NAME + " = :p1", ["Ann"]),
    ({"name": None}, NAME + " is null", []),
    ({"name": {"_eq": None}}, NAME + " is null", []),
    ({"name": {"_neq": None}}, NAME + " is not null", []),
    ({"age": {"_neq": 3, "_gt": 1.5, "_lte": True}},
     "(%s <> :p1 and %s > :p2 and %s <= :p3)" % (AGE, AGE, AGE), [3, 1.5, True]),
    ({"age": {"_gte": 18, "_lt": 65}}, "(%s >= :p1 and %s < :p2)" % (AGE, AGE), [18, 65]),
    ({"age": {"_in": [1, 2]}}, AGE + " in (:p1, :p2)", [1, 2]),
    ({"age": {"_nin": [7]}}, AGE + " not in (:p1)", [7]),
    ({"age": {"_between": [1, 9]}}, AGE + " between :p1 and :p2", [1, 9]),
    ({"name": {"_like": "A!_%"}}, NAME + " like :p1 escape '!'", ["A!_%"]),
    ({"name": {"_contains": "5%_!"}}, NAME + " like :p1 escape '!'", ["%5!%!_!!%"]),
    ({"name": {"_starts_with": "a_"}}, NAME + " like :p1 escape '!'", ["a!_%"]),
    ({"name": {"_ends_with": "%"}}, NAME + " like :p1 escape '!'", ["%!%"]),
    ({"name": {"_null": True}}, NAME + " is null", []),
    ({"name": {"_null": False}}, NAME + " is not null", []),
    ({"name": "x", "age": 1}, "(%s = :p1 and %s = :p2)" % (NAME, AGE), ["x", 1]),
    ({"_or": [{"name": "x"}, {"age": 1, "id": 2}]},
     '(%s = :p1 or (%s = :p2 and "p"."id" = :p3))' % (NAME, AGE), ["x", 1, 2]),
    ({"_and": [{"name": "x"}, {}]}, NAME + " = :p1", ["x"]),
    ({"_not": {"name": "x"}}, "not (%s = :p1)" % NAME, ["x"]),
    ({"name": "it's'); drop table x; --"}, NAME + " = :p1", ["it's'); drop table x; --"]),
    ('{"age": {"_in": [1]}}', AGE + " in (:p1)", [1]),
])
def test_condition_text_and_values(parse, cond, text, values):
    assert parse(cond) == (text, values)


@pytest.mark.parametrize("cond, text", [
    ({}, None), ({"_and": []}, None), ({"name": {}}, None), ("null", None),
    ({"_or": [{"name": "x"}, {}]}, None),
    ({"_or": []}, "1 = 0"), ({"_not": {}}, "1 = 0"),
])
def test_empty_expressions_are_true_and_empty_alternatives_false(parse, cond, text):
    assert parse(cond) == (text, [])


def test_parameter_names_never_collide_within_a_request(info, parser):
    # as a search does it: one parser for the join filters, the next for the where filter
    join_parser = JsonSqlParser(info, parser.db)
    where_parser = JsonSqlParser(info, parser.db)
    # names a caller bound already are never taken over
    taken = {f"_j{generation}{n}": "taken" for generation in "ab" for n in (1, 2)}
    join_params, where_params = {}, dict(taken)
    join_parser.parse_cond(join_params, {"name": "a"})
    join_parser.parse_cond(join_params, {"age": {"_in": [1, 2]}})
    where_parser.parse_cond(where_params, {"name": "b"})
    new_names = set(where_params) - set(taken)
    assert len(join_params) == 3 and len(new_names) == 1
    assert not set(join_params) & new_names
    assert {name: where_params[name] for name in taken} == taken
    reserved = re.compile(r"(key|key_raw|id|page|limit|do_count|session|user)$|user_|\w+_\d+$")
    assert not [name for name in {**join_params, **where_params} if reserved.match(name)]


def test_the_same_request_gives_the_same_text(info, parser):
    def request():
        join, where = JsonSqlParser(info, parser.db), JsonSqlParser(info, parser.db)
        return join.parse_cond({}, {"name": "a"}), where.parse_cond({}, {"age": {"_gte": 3}})

    assert request() == request()