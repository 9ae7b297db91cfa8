import pytest

from ornivell.db.jsql import JsonSqlError


@pytest.mark.parametrize("name, reference", [
    ("name", '"p"."name"'),
    ("deptId", '"p"."dept_id"'),
    ("d.name", '"d"."name"'),
    ("years", '"p"."age"'),
])
def test_reference_uses_main_alias_and_qualified_names(parser, name, reference):
    assert parser.parse_orderby([name]) == [reference + " asc"]


def test_main_table_without_alias_is_named_by_table(parser):
    parser.info.model["alias"] = ""
    assert parser.parse_orderby(["name"]) == ['"person"."name" asc']


def test_sql_defined_model_qualifies_by_model_table(parser):
    parser.info.model.update(sql="select * from person", table="v", alias="x")
    parser.info.tables = {}
    assert parser.parse_orderby(["orphan", "stale"]) == ['"v"."orphan" asc', '"v"."gone" asc']


@pytest.mark.parametrize("name", ["label", "stale", "loose", "orphan", "hidden", "name; drop table x", "_eq"])
def test_unusable_unknown_or_hidden_properties_are_refused(parser, name):
    with pytest.raises(JsonSqlError, match="property"):
        parser.parse_cond({}, {name: 1})
    with pytest.raises(JsonSqlError, match="property"):
        parser.parse_orderby({name: "asc"})

