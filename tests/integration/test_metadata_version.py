"""A change of models or permissions reaches a process that already runs
a ``DbPlus``: the version in the database moves, and the other process
drops its cache at its next check, one interval later at most."""

import json
import subprocess
import sys
import time
from pathlib import Path

import pytest
from sqlalchemy import delete, select

from ornivell.db import schema
from ornivell.db._dbplus import DbPlus
from ornivell.db.admin.grants import grant
from ornivell.db.cli import main

INTERVAL = 0.5
SERVER = Path(__file__).with_name("request_server.py")


class Worker:
    """The request server in a process of its own."""

    def __init__(self, url):
        self.process = subprocess.Popen([sys.executable, str(SERVER), url, str(INTERVAL)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def search(self, user, model):
        self.process.stdin.write(json.dumps({"user": dict(user), "model": model}) + "\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


@pytest.fixture
def worker(business_db):
    url = business_db.db.engine.url.render_as_string(hide_password=False)
    started = Worker(url)
    yield started
    started.close()


def _role(connection, name):
    return connection.execute(select(schema.role.c.id).where(schema.role.c.name == name)).scalar_one()


def _revoke_query(db, role, model):
    """With the host's own SQL, then the Python call that tells the others."""
    a, s, rf = schema.acl_func, schema.resource, schema.role_acl_func
    with db.engine.begin() as connection:
        funcs = select(a.c.id).join(s, s.c.id == a.c.resourceId).where(s.c.resource == model,
                                                                         a.c.funcKey == "queryEnabled")
        connection.execute(delete(rf).where(rf.c.roleId == _role(connection, role), rf.c.aclFuncId.in_(funcs)))
    DbPlus(db).touch_metadata()


def _unassign(db, user, role):
    """With the host's own SQL, then ``dbplus metadata touch``."""
    ur = schema.user_role
    with db.engine.begin() as connection:
        connection.execute(delete(ur).where(ur.c.userId == user.id, ur.c.roleId == _role(connection, role)))
    assert main(["metadata", "touch", "--db", db.engine.url.render_as_string(hide_password=False)]) == 0


def _after_one_interval(worker, user, model):
    time.sleep(INTERVAL * 1.2)
    return worker.search(user, model)


def test_revoked_grants_hidden_properties_and_removed_assignments_reach_a_running_process(business_db, users,
                                                                                            worker, capsys):
    db = business_db.db
    carl, sam, ada = users["carl"], users["sam"], users["ada"]
    assert "city" in worker.search(carl, "customer")["columns"]
    assert worker.search(sam, "customer")["status"] == 200
    assert worker.search(ada, "product")["status"] == 200

    grant(db, "clerk", "customer", hide=["city"])
    assert "city" not in _after_one_interval(worker, carl, "customer")["columns"]

    _revoke_query(db, "sales", "customer")
    assert _after_one_interval(worker, sam, "customer")["status"] == 403

    _unassign(db, ada, "admin")
    assert _after_one_interval(worker, ada, "product")["status"] == 403
    assert "metadata version now" in capsys.readouterr().out


def test_sync_moves_the_version_and_a_check_reads_it_once_per_interval(business_db, users, it):
    db = business_db.db
    dp = DbPlus(db)
    before = db.metadata_version()
    assert dp.sync_model("product") == ({"message": "success"}, 200)
    assert db.metadata_version() == before + 1

    dp.metadata_check_interval = 3600
    dp.search(users["sam"], "product")
    with it.count_statements(db) as sent:
        dp.search(users["sam"], "product")
    assert not [sql for sql in sent if "_metadata_version" in sql]

    dp.metadata_check_interval = None
    dp._metadata_check_due = None
    with it.count_statements(db) as sent:
        dp.search(users["sam"], "product")
    assert not [sql for sql in sent if "_metadata_version" in sql]


def test_a_database_made_before_the_version_gets_it_on_first_use(make_database, engine_name):
    db = make_database(engine_name)
    schema.create_metadata_tables(db)
    with db.engine.begin() as connection:
        schema.metadata_version.drop(connection)
    db.reflect()
    assert db.metadata_version() is None
    db.add("_model", {"model": "m", "table": "t", "displayName": "M"})
    db.move_metadata_version()
    assert db.metadata_version() == 1
