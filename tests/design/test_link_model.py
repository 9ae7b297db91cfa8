"""A link model made with ``dbplus model add``, written with ``dbplus link`` and by concurrent adders, on every
engine: row rules bound both sides of a link write, and adding stays insert-if-absent without a unique index."""

import threading

import pytest
from sqlalchemy import Column, Integer, MetaData, Table

LEAD = '{"id": 7}'


@pytest.fixture(scope="module")
def members(metadata_db):
    """Model member on d_member (no unique index on its pair); role lead (user 7) may query, add and remove
    the rows of team 1 only."""
    from ornivell.db.cli import main

    Table("d_member", MetaData(), Column("id", Integer, primary_key=True), Column("teamId", Integer),
          Column("personId", Integer)).create(metadata_db.engine)
    metadata_db.reflect()
    url = metadata_db.engine.url.render_as_string(hide_password=False)
    for args in (("model", "add", "member", "--table", "d_member", "--display-name", "Members"),
                 ("role", "add", "lead"), ("grant", "lead", "member", "--ops", "query,create,delete",
                                           "--rule", "d_member.teamId = 1"), ("role", "assign", "lead", "7")):
        assert main([*args, "--db", url]) == 0
    return metadata_db


def pairs(db):
    return sorted((r["teamId"], r["personId"]) for r in db.query('select * from d_member'))


@pytest.fixture
def emptied(members):
    yield members
    members.execute("delete from d_member")


def test_link_rows_outside_the_rules_are_neither_added_nor_removed(emptied, dbplus):
    db = emptied
    db.execute("insert into d_member (teamId, personId) values (2, 5), (2, 6)")
    done = dbplus(db, "link", "member", "--user-json", LEAD, "--add", "teamId=1,personId=5",
                  "--add", "teamId=2,personId=7")
    assert (done.status, done.out, done.err) == (1, "", "dbplus link: 无数据权限增加: Members\n")
    assert pairs(db) == [(2, 5), (2, 6)]
    # nor is a row that exists already but lies outside them
    assert dbplus(db, "link", "member", "--user-json", LEAD, "--add", "teamId=2,personId=6").status == 1
    done = dbplus(db, "link", "member", "--user-json", LEAD, "--add", "teamId=1,personId=5", "--remove", "personId=6")
    assert (done.status, done.out) == (0, "success\n") and pairs(db) == [(1, 5), (2, 5), (2, 6)]
    # a removal by the person reaches team 1's row only
    assert dbplus(db, "link", "member", "--user-json", LEAD, "--remove", "personId=5").status == 0
    assert pairs(db) == [(2, 5), (2, 6)]


def test_concurrent_adders_of_one_link_row_store_it_once(emptied):
    from ornivell.db._dbplus import DbPlus
    from ornivell.db.db import Dict

    db, plus, lead = emptied, DbPlus(emptied), Dict(id=7)
    for person in range(1, 4):
        start, answers = threading.Barrier(8), []

        def add():
            start.wait()
            answers.append(plus.relation_update(lead, "member", add_data=[{"teamId": 1, "personId": person}]))

        threads = [threading.Thread(target=add) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert answers == [({"message": "success"}, 200)] * 8
        assert pairs(db) == [(1, p) for p in range(1, person + 1)]
