"""The Chinook sample made searchable with the tool's commands alone, as README walks it: searches
under permission rules return the rows that hand-written SQL finds, on every engine."""

import json

import pytest

EMPLOYEE = 3  # a sales support agent: customers 1..59 are split among agents 3, 4 and 5
EDITOR = 1  # the general manager, who may change every customer
USERS = "Employee:EmployeeId,ReportsTo"


@pytest.fixture(scope="module")
def chinook(chinook_db, engine_name, it):
    """The sample with models, roles and grants made by the commands; ``run(*args)`` runs one."""
    n = lambda name: it.chinook_name(engine_name, name)  # noqa: E731

    def run(*args, user=None):
        from ornivell.db.cli import main

        user_args = ["--user", str(user), "--user-table", it.chinook_name(engine_name, USERS)] if user else []
        return main([*args, *user_args, "--db", it.url_of(chinook_db)])

    track, album, genre = n("Track"), n("Album"), n("Genre")
    steps = [
        ("init",),
        ("model", "add", "track", "--table", track,
         "--join", f"{album} al ({n('Title')}) on al.{n('AlbumId')} = {track}.{n('AlbumId')}",
         "--join", f"{genre} g ({n('Name')}) on g.{n('GenreId')} = {track}.{n('GenreId')}"),
        ("model", "add", "customer", "--table", n("Customer")),
        ("role", "add", "support"),
        ("grant", "support", "customer", "--ops", "query", "--hide", f"{n('Phone')},{n('Fax')}",
         "--rule", f"{n('Customer')}.{n('SupportRepId')} = $user.id"),
        ("grant", "support", "track", "--ops", "query,export", "--rule", f"g.{n('Name')} = 'Rock'"),
        ("role", "assign", "support", str(EMPLOYEE)),
        # writes by id on a table whose key is CustomerId: under the agent's rule, and without rules
        ("grant", "support", "customer", "--ops", "update,delete"),
        ("role", "add", "editor"),
        ("grant", "editor", "customer", "--ops", "query,create,update,delete"),
        ("role", "assign", "editor", str(EDITOR)),
    ]
    for step in steps:
        assert run(*step) == 0, step
    run.db, run.n = chinook_db, n
    return run


def found(chinook, capsys, *args):
    capsys.readouterr()
    assert chinook(*args, "--json", "--limit", "1000", user=EMPLOYEE) == 0, capsys.readouterr().err
    return json.loads(capsys.readouterr().out)


def hand_ids(chinook, sql):
    return [row.k for row in chinook.db.query(sql)]


def test_customers_of_the_agent_with_a_filter(chinook, capsys):
    n = chinook.n
    page = found(chinook, capsys, "search", "customer", "--where", json.dumps({n("Country"): {"_in": ["USA", "Canada"]}}),
                 "--order", json.dumps([{n("CustomerId"): "asc"}]))
    expected = hand_ids(chinook, f"select {n('CustomerId')} as k from {n('Customer')} where {n('SupportRepId')} = "
                                 f"{EMPLOYEE} and {n('Country')} in ('USA', 'Canada') order by {n('CustomerId')}")
    assert [row[n("CustomerId")] for row in page["data"]] == expected and len(expected) > 3
    assert all(n("Phone") not in row and n("Fax") not in row for row in page["data"])


def test_rock_tracks_with_filters_on_a_joined_table(chinook, capsys):
    n = chinook.n
    where = {f"al.{n('Title')}": {"_starts_with": "A"}, n("Milliseconds"): {"_gt": 300000}}
    page = found(chinook, capsys, "search", "track", "--where", json.dumps(where),
                 "--order", json.dumps([{n("TrackId"): "desc"}]))
    expected = hand_ids(chinook, f"""
        select t.{n('TrackId')} as k from {n('Track')} t
        join {n('Album')} al on al.{n('AlbumId')} = t.{n('AlbumId')}
        join {n('Genre')} g on g.{n('GenreId')} = t.{n('GenreId')}
        where g.{n('Name')} = 'Rock' and al.{n('Title')} like 'A%' and t.{n('Milliseconds')} > 300000
        order by t.{n('TrackId')} desc""")
    assert [row[n("TrackId")] for row in page["data"]] == expected and len(expected) > 3


@pytest.mark.parametrize("model, key, visible", [
    ("track", "1", True),  # a rock track
    ("track", "63", False),  # a jazz one
    ("customer", "1", True),  # agent 3's
    ("customer", "2", False),  # agent 5's
])
def test_single_records_by_their_key_under_the_rules(chinook, capsys, model, key, visible):
    capsys.readouterr()
    status = chinook("get", model, key, "--json", user=EMPLOYEE)
    out, err = capsys.readouterr()
    assert status == (0 if visible else 1), err
    if visible:
        assert json.loads(out)[chinook.n(model.capitalize() + "Id")] == int(key)
    else:
        assert "no such record visible" in err


def test_the_models_check_clean_and_a_user_without_a_role_is_refused(chinook, capsys):
    assert chinook("model", "check", "track") == 0 and chinook("model", "check", "customer") == 0
    capsys.readouterr()
    assert chinook("search", "track", user=4) == 1
    assert "无权限查询" in capsys.readouterr().err


def test_the_metadata_exported_applies_to_a_second_copy_of_the_sample(chinook, capsys, make_database, engine_name,
                                                                      it, tmp_path):
    from ornivell.db.cli import main

    exported = tmp_path / "chinook.yaml"
    assert chinook("metadata", "export", "-o", str(exported)) == 0
    second = make_database(engine_name)
    it.load_chinook(second, engine_name)
    for step in (("init",), ("metadata", "apply", str(exported))):
        assert main([*step, "--db", it.url_of(second)]) == 0, capsys.readouterr().err
    user = ["--user", str(EMPLOYEE), "--user-table", it.chinook_name(engine_name, USERS), "--json", "--limit", "1000"]
    capsys.readouterr()
    assert main(["search", "customer", *user, "--db", it.url_of(second)]) == 0
    assert json.loads(capsys.readouterr().out) == found(chinook, capsys, "search", "customer")


def as_user(chinook, capsys, user, *args):
    capsys.readouterr()
    status = chinook(*args, user=user)
    out, err = capsys.readouterr()
    return status, out, err


def test_get_update_and_delete_by_a_key_not_named_id(chinook, capsys):
    n = chinook.n
    # the key given as id (the servers' Chinook keys are not generated)
    key = 9001
    status, out, err = as_user(chinook, capsys, EDITOR, "create", "customer", f"id={key}", f"{n('FirstName')}=Ada",
                               f"{n('LastName')}=Byron", f"{n('Email')}=ada@example.com", "--json")
    assert status == 0, err
    assert json.loads(out)["id"] == key == json.loads(out)[n("CustomerId")]
    status, out, err = as_user(chinook, capsys, EDITOR, "update", "customer", str(key), f"{n('City')}=London", "--json")
    assert status == 0, err
    assert json.loads(out)["id"] == key and json.loads(out)[n("City")] == "London"
    status, out, err = as_user(chinook, capsys, EDITOR, "get", "customer", str(key), "--json")
    assert status == 0 and json.loads(out)[n("City")] == "London", err
    assert as_user(chinook, capsys, EDITOR, "delete", "customer", str(key))[0] == 0
    assert "no such record visible" in as_user(chinook, capsys, EDITOR, "get", "customer", str(key))[2]
    status, _, err = as_user(chinook, capsys, EDITOR, "update", "customer", str(key), f"{n('City')}=Paris")
    assert status == 1 and f"(id={key})不存在" in err


def test_writes_by_a_key_not_named_id_keep_the_rules(chinook, capsys):
    n = chinook.n
    column = n("Company")
    before = chinook.db.query_one(f"select {column} as v from {n('Customer')} where {n('CustomerId')} = 2").v
    status, _, err = as_user(chinook, capsys, EMPLOYEE, "update", "customer", "2", f"{column}=Mine")
    assert status == 1 and "无数据权限更新" in err  # agent 5's customer
    status, _, err = as_user(chinook, capsys, EMPLOYEE, "delete", "customer", "2")
    assert status == 1 and "无数据权限删除" in err
    status, out, err = as_user(chinook, capsys, EMPLOYEE, "update", "customer", "1", f"{column}=Embraer", "--json")
    assert status == 0 and json.loads(out)["id"] == 1, err
    after = chinook.db.query_one(f"select {column} as v from {n('Customer')} where {n('CustomerId')} = 2").v
    assert after == before


def test_batches_by_a_key_not_named_id(chinook):
    from ornivell.db._dbplus import DbPlus
    from ornivell.db.handle.attrdict import Dict

    n = chinook.n
    dp, city = DbPlus(chinook.db), n("City")
    batch = [{"id": 1, city: "São José dos Campos"}, {"id": 2, city: "Stuttgart"}]
    payload, status = dp.update_many(Dict(id=EMPLOYEE), "customer", [dict(row) for row in batch])
    assert status == 403, payload  # customer 2 is not the agent's
    payload, status = dp.update_many(Dict(id=EDITOR), "customer", [{"id": 1, city: "Campos"}, {"id": 2, city: "Ulm"}])
    assert status == 200, payload
    rows = chinook.db.query(f"select {city} as v from {n('Customer')} where {n('CustomerId')} in (1, 2) "
                            f"order by {n('CustomerId')}")
    assert [row.v for row in rows] == ["Campos", "Ulm"]
    dp.update_many(Dict(id=EDITOR), "customer", batch)


def test_a_model_of_the_earlier_keyed_sql_is_turned_into_the_new_form(chinook, capsys):
    from ornivell.db.admin.modeling import keyed_sql

    n = chinook.n
    db = chinook.db
    assert chinook("model", "add", "invoice", "--table", n("Invoice")) == 0
    # what the earlier model add made: the table read through SQL, and no property id
    db.execute(f"update _model set {db.escape('sql')}=:sql where model='invoice'",
               sql=keyed_sql(db, db.tables[n("Invoice")], n("InvoiceId")))
    db.execute("delete from _prop where model='invoice' and name='id'")
    assert chinook("grant", "editor", "invoice", "--ops", "query,update") == 0
    status, out, _ = as_user(chinook, capsys, EDITOR, "get", "invoice", "7", "--json")
    assert status == 0 and json.loads(out)[n("InvoiceId")] == 7
    status, _, err = as_user(chinook, capsys, EDITOR, "update", "invoice", "7", f"{n('BillingCity')}=Oslo")
    assert status == 1 and f"'dbplus model sync invoice'" in err and len(err.splitlines()) == 1
    capsys.readouterr()
    assert chinook("model", "sync", "invoice") == 0
    assert "its key " + n("InvoiceId") + " is its property id" in capsys.readouterr().out
    status, out, err = as_user(chinook, capsys, EDITOR, "update", "invoice", "7", f"{n('BillingCity')}=Oslo", "--json")
    assert status == 0 and json.loads(out)[n("BillingCity")] == "Oslo", err
    assert db.query_one(f"select {db.escape('sql')} as v from _model where model='invoice'").v is None


def test_a_key_of_several_columns_is_said_to_leave_single_records_out(chinook, capsys):
    capsys.readouterr()
    assert chinook("model", "add", "playlist_track", "--table", chinook.n("PlaylistTrack")) == 0
    out = capsys.readouterr().out
    assert "has a key of several columns" in out and "get, update and delete take one id and do not" in out
