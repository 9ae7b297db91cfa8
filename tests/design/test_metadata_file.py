"""Models and permissions exported as a file and applied to another
database: the same bytes after a round trip between any two engines, a dry
run and a second apply that write nothing, and refused files that change
nothing and name their line."""

import pytest

from ornivell.db.demo import build_demo

METADATA = ("_model", "_model_table", "_prop", "_role", "_user_role", "_resource", "_acl_func", "_role_acl_func",
            "_acl_data", "_role_acl_data", "_role_prop", "_seq", "_dict")


def _demo_without_metadata(make_database, engine_name):
    db = make_database(engine_name)
    build_demo(db, scale=0.1)
    for table in METADATA:
        db.execute(f"delete from {table}")
    return db


def _snapshot(db):
    return {table: sorted(repr(sorted(row.items())) for row in db.query(f"select * from {table}"))
            for table in METADATA}


@pytest.fixture(scope="module")
def sqlite_demo(make_database):
    db = make_database("sqlite")
    build_demo(db, scale=0.1)
    return db


@pytest.fixture
def exported(dbplus, tmp_path):
    """``exported(db, *args)``: the path of the file that ``metadata export`` wrote, and its text."""

    def run(db, *args, name="metadata.yaml"):
        path = tmp_path / name
        done = dbplus(db, "metadata", "export", *args, "-o", str(path))
        assert done.status == 0, done.err
        return path, path.read_text(encoding="utf-8")

    return run


def _apply(dbplus, db, path, *args):
    done = dbplus(db, "metadata", "apply", str(path), *args)
    assert done.status == 0, done.err
    return done.out.splitlines()


def test_an_export_applies_to_another_engine_and_back_to_the_same_bytes(make_database, engine_name, sqlite_demo,
                                                                        dbplus, exported):
    path, text = exported(sqlite_demo)
    other = _demo_without_metadata(make_database, engine_name)
    assert _apply(dbplus, other, path)[-1].startswith("applied ")
    assert _apply(dbplus, other, path) == ["nothing to change"]
    back_path, back = exported(other, name="back.yaml")
    assert back == text
    assert exported(other, "--json", name="back.json")[1] == exported(sqlite_demo, "--json", name="json")[1]
    returned = _demo_without_metadata(make_database, "sqlite")
    assert _apply(dbplus, returned, exported(other, "--json", name="back.json")[0])[-1].startswith("applied ")
    assert exported(returned, name="again.yaml")[1] == text
    assert dbplus(other, "search", "customer", "--user", "2").status == 0


def test_a_dry_run_writes_nothing_and_prune_removes_what_the_file_lacks(make_database, engine_name, sqlite_demo,
                                                                        dbplus, exported):
    path, text = exported(sqlite_demo, "--no-users")
    other = _demo_without_metadata(make_database, engine_name)
    _apply(dbplus, other, path)
    before = _snapshot(other)
    edited = (text.replace("  displayName: Customers\n", "  displayName: Clients\n")
              .replace("    customer: [creditLimit]\n", "    customer: [creditLimit, city]\n"))
    path.write_text(edited, encoding="utf-8")
    planned = _apply(dbplus, other, path, "--dry-run")
    assert planned == ["change model customer (displayName)", "add hiding of customer.city from clerk",
                       "dry run: 2 change(s), nothing written"]
    assert _snapshot(other) == before
    assert _apply(dbplus, other, path)[:-1] == planned[:-1]
    other.execute("insert into _role (name) values ('stray')")
    other.execute("insert into _user_role (userId, roleId) select 2, id from _role where name = 'sales'")
    assert _apply(dbplus, other, path, "--prune") == ["remove role stray", "applied 1 change(s) in one transaction"]
    # the file leaves assignments out: they stay
    assert other.query("select count(*) as n from _user_role")[0].n > 0

    narrower = "cond: c.orgId = $user.orgId and c.city is not null"
    path.write_text(edited.replace("cond: c.orgId = $user.orgId", narrower, 1), encoding="utf-8")
    assert _apply(dbplus, other, path) == [
        "add rule of sales on customer: c.orgId = $user.orgId and c.city is not null",
        "kept rule of sales on customer: c.orgId = $user.orgId (not in the file; --prune removes it)",
        "applied 1 change(s) in one transaction"]
    assert _apply(dbplus, other, path, "--prune") == ["remove rule of sales on customer: c.orgId = $user.orgId",
                                                      "applied 1 change(s) in one transaction"]


def _line_of(text, piece):
    return text[:text.index(piece)].count("\n") + 1


@pytest.mark.parametrize("piece, replacement, message", [
    ("  table: customer\n", "  table: no_such_table\n", "no table or view named no_such_table"),
    ("    column: city\n", "    column: no_such_column\n", "table customer has no column no_such_column"),
    ("    column: orderCount\n", "    column: noSuchCount\n", "yields no column noSuchCount"),
    ("cond: c.orgId = $user.orgId", "cond: c.orgId = = $user.orgId", "does not compile: "),
    ("    selectEnabled: 1\n", "    selectEnabled: yes\n", "is not of type 'integer'"),
    ("    customer: [creditLimit]\n", "    customer: [no_such_prop]\n", "no property customer no_such_prop"),
])
def test_a_refused_file_changes_nothing_and_names_its_line(business_db, dbplus, exported, piece, replacement,
                                                           message):
    db = business_db.db
    path, text = exported(db)
    path.write_text(text.replace(piece, replacement, 1).replace("displayName: Customers", "displayName: Changed"),
                    encoding="utf-8")
    before = _snapshot(db)
    done = dbplus(db, "metadata", "apply", str(path))
    assert done.status == 1 and done.out == ""
    assert done.err.startswith(f"dbplus metadata apply: {path}:{_line_of(text, piece)}: ") and message in done.err
    assert len(done.err.splitlines()) == 1
    assert _snapshot(db) == before


def test_the_schema_prints_as_json(capsys):
    import json

    from ornivell.db.cli import main

    assert main(["metadata", "schema"]) == 0
    assert json.loads(capsys.readouterr().out)["properties"]["format"] == {"const": "dbplus-metadata/1"}
