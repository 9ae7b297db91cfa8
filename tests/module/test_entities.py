"""Entity preparation against a recording handle: create and update normalization, sequence numbers and
key conditions."""

import datetime
import re
import uuid

import pytest

from ornivell.db import _dbplus as dp
from ornivell.db.db import Dict

USER = Dict(id=3, orgId=5)
SEQ_SQL = ('\n        SELECT s.*, v.id as "valueId", v.value'
           "\n        FROM _seq s LEFT JOIN _seq_value v ON s.id = v.seqId and orgId=:orgId"
           "\n        WHERE s.name=:name\n        ")


@pytest.fixture
def plus(write_db):
    return dp.DbPlus(write_db)


def today():
    return datetime.datetime.now().strftime("%Y%m%d")


def test_create_entity_completes_and_validates(plus, write_db, fk):
    write_db.reply(SEQ_SQL, Dict(id=7, prefix="PO", timeFormat="%Y%m%d", digits=4, valueId=2, value=41), name="po")
    info = fk.make_info(
        fk.prop("label", column="name"), fk.prop("by", createUserEnabled=1, validateEnabled=1),
        fk.prop("org", createOrgEnabled=1), fk.prop("at", createTimeEnabled=1), fk.prop("status", defaultValue="open"),
        fk.prop("zero", defaultValue=0), fk.prop("ref", autoGen="uuid"), fk.prop("stamp", autoGen="timestamp"),
        fk.prop("code", autoGen="po"), fk.prop("unknown", autoGen="nope"),
        fk.prop("title", validateEnabled=1, validateFailureMsg="a title, please"),
        fk.prop("customer", validateEnabled=1), fk.prop("note", validateEnabled=1), fk.prop("kept", createOrgEnabled=1, defaultValue="d"))
    before = datetime.datetime.now()
    data = {"label": "Ann", "ref": "", "note": None, "kept": None}
    errors = plus.normalize_create_entity(USER, data, info)
    assert errors == {"title": "a title, please", "customer": "customer is required"}
    assert (data["name"], data["by"], data["org"], data["status"], data["kept"]) == ("Ann", 3, 5, "open", None)
    assert "zero" not in data and data["unknown"] is None
    assert before <= data["at"] <= datetime.datetime.now()
    assert uuid.UUID(data["ref"]).version == 4 and len(data["ref"]) == 36
    assert re.fullmatch(r"\d{14}", data["stamp"]) and data["code"] == f"PO{today()}0042"


@pytest.mark.parametrize("prop, submitted", [
    ({"autoGen": "uuid"}, ""), ({"autoGen": "uuid"}, "mine"), ({"createUserEnabled": 1}, 9),
    ({"createUserEnabled": 1}, None), ({"createTimeEnabled": 1}, "2001-01-01 00:00:00"),
])
def test_what_the_module_fills_in_replaces_what_was_submitted(plus, fk, prop, submitted):
    # a renamed property's column gets the module's value too: the column copy must not carry the request's
    data = {"ref": submitted, "r": submitted}
    plus.normalize_create_entity(USER, data, fk.make_info(fk.prop("ref", column="r", **prop)))
    assert data["ref"] != submitted and data["r"] == data["ref"]


def test_create_entity_list_wraps_one_entity_and_keeps_only_errors(plus, fk):
    info = fk.make_info(fk.prop("title", validateEnabled=1))
    one = {}
    assert plus.normalize_create_entity_list(USER, one, info) == [{"title": "title is required"}]
    assert plus.normalize_create_entity_list(USER, ({"title": 1}, {}, {"title": None}), info) == [
        {"title": "title is required"}]


def test_generate_seq_without_serialized_reads_and_stores_the_counter_unlocked(write_db):
    class Unserialized(type(write_db)):
        serialized = property(lambda self: (_ for _ in ()).throw(AttributeError("serialized")))

    write_db.__class__ = Unserialized
    write_db.reply(SEQ_SQL, Dict(id=7, valueId=2, prefix="", timeFormat="", digits=2, value=4))
    assert dp.DbPlus(write_db).generate_seq("po", USER) == "05"
    assert write_db.writes == [("query_one", (SEQ_SQL,), [("name", "po"), ("orgId", 5)]),
                               ("merge", ("_seq_value", {"id": 2, "value": 5}), [])]


@pytest.mark.parametrize("row, number, stored", [
    (dict(prefix="PO", timeFormat="%Y%m%d", digits=4, value=7), f"PO{today()}0008", 8),
    (dict(prefix=None, timeFormat="", digits=3, value=998), "999", 999),
    (dict(prefix="", timeFormat=None, digits=3, value=999), "000", 0),
])
def test_generate_seq_reads_and_stores_the_counter_in_one_serialized_block(plus, write_db, row, number, stored):
    write_db.reply(SEQ_SQL, Dict(id=7, valueId=2, **row))
    assert plus.generate_seq("po", USER) == number
    assert write_db.writes == [
        ("serialized", ("_seq/po/5",), []), ("serialized.enter", (), []),
        ("query_one", (SEQ_SQL,), [("name", "po"), ("orgId", 5)]),
        ("merge", ("_seq_value", {"id": 2, "value": stored}), []), ("serialized.exit", (None,), [])]


def test_first_number_of_an_organisation_adds_its_counter(plus, write_db):
    write_db.reply(SEQ_SQL, Dict(id=7, prefix="Q", timeFormat=None, digits=2, valueId=None, value=None))
    write_db.reply("_seq_value", Dict(id=12, seqId=7, orgId=5, value=0))
    assert plus.generate_seq("q", USER) == "Q01"
    assert [c for c in write_db.writes if c.name in ("add", "merge")] == [
        ("add", ("_seq_value", {"value": 0, "seqId": 7, "orgId": 5}), []),
        ("merge", ("_seq_value", {"id": 12, "value": 1}), [])]


def test_generate_seq_without_a_sequence(plus, write_db):
    assert plus.generate_seq("", USER) is None and write_db.calls == []
    assert plus.generate_seq("missing", USER) is None
    assert [c.name for c in write_db.writes] == ["serialized", "serialized.enter", "query_one", "serialized.exit"]


def test_generate_seq_leaves_the_block_with_the_error(plus, write_db):
    write_db.reply(SEQ_SQL, Dict(id=7, prefix="", timeFormat=None, digits=None, valueId=1, value=1))
    with pytest.raises(TypeError):
        plus.generate_seq("po", USER)
    assert write_db.writes[-1] == ("serialized.exit", (TypeError,), [])


def test_update_entity_overwrites_modifier_and_time(plus, fk):
    info = fk.make_info(fk.prop("label", column="name"), fk.prop("by", updateUserEnabled=1),
                        fk.prop("at", updateTimeEnabled=1), fk.prop("title"))
    data = [{"label": "Ann", "name": "kept", "by": 99, "at": "yesterday"}]
    assert plus.normalize_update_entity_list(USER, data, info) is None
    assert data[0]["name"] == "kept" and data[0]["by"] == 3 and isinstance(data[0]["at"], datetime.datetime)
    one = {"label": "Bo"}
    plus.normalize_update_entity_list(USER, one, info)
    assert one["name"] == "Bo" and "title" not in one


@pytest.mark.parametrize("keys, data, result", [
    (("a", "b"), {"a": 1, "b": None}, (['"k"."a"=:a', '"k"."b"=:b'], {"a": 1, "b": None}, {})),
    (("a", "b"), {"a": 1}, (['"k"."a"=:a'], {"a": 1}, {"b": "b is required"})),
    ((), {"a": 1}, ([], {}, {})),
])
def test_primary_key_cond(plus, fk, keys, data, result):
    table = fk.Table("k", "a", "b")
    table.primary_key = [table.c[key] for key in keys]
    assert plus.primary_key_cond(data, table) == result


@pytest.mark.parametrize("data, cond, params, error", [
    ([{"id": 1}, {"id": 2}, {"id": 3}], "(:order_line_ids_0, :order_line_ids_1, :order_line_ids_2)",
     {"order_line_ids_0": 1, "order_line_ids_1": 2, "order_line_ids_2": 3}, {}),
    ([], "(NULL)", {}, {}),
    ([{"id": 4}, {}, {"x": 1}], "(:order_line_ids_0)", {"order_line_ids_0": 4}, {"id": "id is required"}),
])
def test_primary_key_cond_list_keys_on_id(plus, write_db, fk, data, cond, params, error):
    assert plus.primary_key_cond_list(data, fk.Table("order_line", "id")) == (
        ['"order_line".id in ' + cond], params, error)
    assert ("in_clause", ("order_line_ids", [d["id"] for d in data if "id" in d]), []) in write_db.calls
