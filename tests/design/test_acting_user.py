"""Who asks, at the command line: a user read from a users table named by option or setting, or given
whole; a missing source is a one-line error that says what to do."""

import json

import pytest
from sqlalchemy import Column, Integer, MetaData, String, Table

from ornivell.db.cli import main

STAFF = "d_staff:staffNo,teamId"


@pytest.fixture(scope="module")
def sites(metadata_db):
    from ornivell.db.admin.grants import add_role, assign_role, grant
    from ornivell.db.admin.modeling import add_model

    metadata = MetaData()
    Table("d_staff", metadata, Column("staffNo", Integer, primary_key=True), Column("teamId", Integer),
          Column("region", String(10)))
    Table("d_site", metadata, Column("id", Integer, primary_key=True), Column("region", String(10)))
    metadata.create_all(metadata_db.engine)
    metadata_db.execute("insert into d_staff (staffNo, teamId, region) values (7, 1, 'north'), (8, 2, 'south')")
    metadata_db.execute("insert into d_site (id, region) values (1, 'north'), (2, 'south'), (3, 'north')")
    add_model(metadata_db, "site", "d_site")
    add_role(metadata_db, "local")
    # every column of the user's row reaches the rules
    grant(metadata_db, "local", "site", ["query"], rule="d_site.region = $user.region")
    for user in (7, 8):
        assign_role(metadata_db, "local", user)
    return metadata_db


def site_ids(dbplus, sites, *user_args):
    done = dbplus(sites, "search", "site", *user_args, "--json", "--order", '["id"]')
    assert done.status == 0, done.err
    return [row["id"] for row in json.loads(done.out)["data"]]


def test_users_come_from_a_named_table_a_setting_or_json(sites, dbplus, monkeypatch):
    assert site_ids(dbplus, sites, "--user", "7", "--user-table", STAFF) == [1, 3]
    monkeypatch.setenv("DBPLUS_USER_TABLE", STAFF)
    assert site_ids(dbplus, sites, "--user", "8") == [2]
    assert site_ids(dbplus, sites, "--user-json", '{"id": 7, "region": "north"}') == [1, 3]


@pytest.mark.parametrize("user_args, message", [
    (("--user", "7"), "no users table app_user in the database: name yours with --user-table "
                      "TABLE[:ID_COLUMN[,ORG_COLUMN]] (or DBPLUS_USER_TABLE), or give the user as --user-json"),
    (("--user", "7", "--user-table", "d_staff:nope"), "users table d_staff has no column nope"),
    (("--user", "7", "--user-table", "d_staff:staffNo,orgId"), "users table d_staff has no column orgId"),
    (("--user", "99", "--user-table", STAFF), "no user with id 99 in d_staff"),
    (("--user", "7", "--user-table", "a:b:c"), "a users table is given as TABLE[:ID_COLUMN[,ORG_COLUMN]]"),
    (("--user-json", "{"), "--user-json is not valid JSON"),
    (("--user-json", '{"orgId": 1}'), "--user-json takes an object with the user's id"),
], ids=["no users table", "no id column", "no org column", "unknown user", "bad form", "bad JSON", "no id"])
def test_a_missing_or_wrong_source_says_what_to_do(sites, dbplus, user_args, message):
    done = dbplus(sites, "search", "site", *user_args)
    assert done.status == 1 and len(done.err.splitlines()) == 1 and message in done.err
    assert "demo" not in done.err


def test_one_user_source_at_a_time():
    with pytest.raises(SystemExit) as exit:
        main(["search", "site", "--user", "7", "--user-json", '{"id": 7}'])
    assert exit.value.code == 1
