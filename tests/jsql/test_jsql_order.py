import pytest

from ornivell.db.jsql import JsonSqlError


@pytest.mark.parametrize("order, items", [
    ([{"name": "asc"}, {"age": "DESC"}], ['"p"."name" asc', '"p"."age" desc']),
    ({"age": "Desc"}, ['"p"."age" desc']),
    (["name", "age"], ['"p"."name" asc', '"p"."age" asc']),
    ('[{"age": "desc"}]', ['"p"."age" desc']),
    ([], []),
])
def test_order_items(parser, order, items):
    assert parser.parse_orderby(order) == items


@pytest.mark.parametrize("order, where", [
    ([{"name": "up"}], r"\$\[0\]\.name: direction"),
    ({"name": " asc"}, r"\$\.name: direction"),
    ({"name": 1}, "direction"),
    ({"name": "asc", "age": "desc"}, "one property"),
    ([["name"]], r"\$\[0\]: an order item"),
    ([5], "an order item"),
    ("name", "not valid JSON"),
    (["name"] * 201, "more than 200"),
])
def test_bad_orders_are_refused(parser, order, where):
    with pytest.raises(JsonSqlError, match=where):
        parser.parse_orderby(order)
