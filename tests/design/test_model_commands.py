"""Models defined by SQL, the model check, and the mistakes the design commands refuse, on every engine."""

import json

import pytest
from sqlalchemy import Column, Integer, MetaData, String, Table


@pytest.fixture(scope="module")
def parts(metadata_db):
    Table("d_part", MetaData(), Column("id", Integer, primary_key=True), Column("name", String(40)),
          Column("kind", String(10)), Column("qty", Integer)).create(metadata_db.engine)
    metadata_db.execute("insert into d_part (id, name, kind, qty) values "
                        "(1, 'bolt', 'a', 5), (2, 'nut', 'a', 7), (3, 'gear', 'b', 1)")
    return metadata_db


@pytest.fixture(scope="module")
def part_model(parts):
    from ornivell.db.admin.modeling import add_model

    add_model(parts, "part", "d_part")
    return parts


def test_a_model_defined_by_sql_gets_its_properties_through_query_meta(parts, dbplus, engine_name):
    sql = "select kind as id, count(*) as n, max(name) as last from d_part group by kind"
    done = dbplus(parts, "model", "add", "kinds", "--table", "d_kinds", "--sql", sql)
    assert done.status == 0, done.err
    rows = parts.query("select name, dataType, searchEnabled from _prop where model='kinds' order by displayOrder")
    typed = engine_name != "sqlite"  # SQLite cannot say what type an aggregate has
    assert [tuple(r.values()) for r in rows] == [
        ("id", "string", 1), ("n", "integer" if typed else "string", 0), ("last", "string", int(typed))]
    for args in (("role", "add", "counter"), ("grant", "counter", "kinds", "--ops", "query"),
                 ("role", "assign", "counter", "9")):
        assert dbplus(parts, *args).status == 0
    done = dbplus(parts, "search", "kinds", "--user-json", '{"id": 9}', "--where", '{"id": "a"}', "--json")
    assert done.status == 0, done.err
    assert json.loads(done.out)["data"] == [{"id": "a", "n": 2, "last": "nut"}]


def test_the_check_lists_what_the_extension_would_drop(part_model, dbplus):
    db = part_model
    db.add("_prop", {"model": "part", "name": "ghost", "table": "d_part", "column": "ghost", "selectEnabled": 1})
    db.add("_prop", {"model": "part", "name": "o.x", "table": "d_other", "column": "x"})
    db.execute("update _prop set transTable='d_lookup.id', transColumns='name' where model='part' and name='kind'")
    db.add("_model_table", {"model": "part", "table": "d_gone", "alias": "g", "join": "left join d_gone g on 1=1"})
    db.add("_acl_data", {"model": "d_part", "name": "blank rule", "cond": "  "})
    expected = [
        "joined table d_gone does not exist: the join is dropped",
        "property kind: lookup table d_lookup does not exist",
        "property ghost: column d_part.ghost does not exist: the property is dropped",
        "property o.x: d_other is not a table of the model: the property is dropped",
        "row rule blank rule on d_part has no condition: it is dropped and restricts nothing",
    ]
    done = dbplus(db, "model", "check", "part")
    assert done.status == 1 and done.err == "dbplus model check: part: 5 problem(s)\n"
    assert done.out.splitlines() == ["check:", *(f"  {line}" for line in expected)]
    shown = dbplus(db, "model", "show", "part")
    assert shown.status == 0 and shown.out.endswith(done.out)
    assert "table: d_part" in shown.out and "join: left join d_gone g on 1=1" in shown.out


@pytest.mark.parametrize("args, message", [
    (("model", "add", "part", "--table", "d_part"), "model part exists already"),
    (("model", "add", "p2", "--table", "D_PART"), "no table or view named D_PART (did you mean d_part?)"),
    (("model", "add", "p2", "--table", "d_part", "--join", "d_part x"), "a join is written TABLE [ALIAS]"),
    (("model", "add", "p2", "--table", "d_part", "--key", "nope"), "d_part has no column nope"),
    (("model", "add", "p2", "--table", "d_part", "--key", "name"), "d_part has a column id: its records are found"),
    (("model", "add", "p2", "--table", "d_part", "--sql", "select 1 as id"), "d_part is a table already"),
    (("model", "sync", "nope"), "no model named nope"),
    (("model", "show", "nope"), "no model named nope"),
    (("grant", "nobody", "part", "--ops", "query"), "no role named nobody: add it with 'dbplus role add nobody'"),
    (("grant", "checker", "part", "--ops", "fly"), "unknown operation fly"),
    (("grant", "checker", "part", "--rule", " "), "a row rule needs a condition"),
    (("grant", "checker", "part", "--hide", "nope"), "model part has no property nope"),
    (("grant", "checker", "nope", "--ops", "query"), "no model named nope"),
    (("grant", "checker", "part"), "say what to grant"),
    (("role", "assign", "nobody", "3"), "no role named nobody"),
])
def test_mistakes_are_one_line(part_model, dbplus, args, message):
    assert dbplus(part_model, "role", "add", "checker").status == 0
    done = dbplus(part_model, *args)
    command = " ".join(args[:1] if args[0] == "grant" else args[:2])
    assert done.status == 1 and done.out == "" and len(done.err.splitlines()) == 1
    assert done.err.startswith(f"dbplus {command}: ") and message in done.err


def test_commands_need_the_metadata_tables(database, dbplus):
    database.engine.connect().close()  # an SQLite file is made on first use
    done = dbplus(database, "model", "list")
    assert done.status == 1 and "create them with 'dbplus init'" in done.err


def test_grants_are_idempotent(part_model, dbplus):
    args = ("grant", "twice", "part", "--ops", "query,exportEnabled", "--hide", "qty", "--rule", "d_part.qty > 1")
    assert dbplus(part_model, "role", "add", "twice").out == "role twice added\n"
    assert dbplus(part_model, *args).out.splitlines() == [
        "twice may now query, export on part", "twice no longer sees part.qty",
        "twice sees only the rows of part where d_part.qty > 1"]
    assert dbplus(part_model, *args).out == "twice held all of this on part already\n"
    assert dbplus(part_model, "role", "add", "twice").out == "role twice exists already\n"
    rules = part_model.query("select model from _acl_data where name = 'twice: part' order by model")
    assert [r.model for r in rules] == ["d_part", "part"]  # under the model and its main table
