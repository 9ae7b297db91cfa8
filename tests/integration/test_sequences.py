"""Quote numbers issued at once by several threads, and on the server engines by several processes: each
number goes out once, and only creates that failed leave gaps."""

import json
import subprocess
import sys
import threading

import pytest

pytestmark = pytest.mark.usefixtures("writes_undone")

ATTEMPTS = 8
WORKERS = 4

# One worker's creates, run by threads here and by processes as a script;
# two attempts lack their title: refused, they still take a number.
ATTEMPTS_SOURCE = f"""
FAILING = {{2, 5}}

def attempts(dp, user):
    codes = []
    for index in range({ATTEMPTS}):
        data = {{"customerId": 1, **({{}} if index in FAILING else {{"title": f"offer {{index}}"}})}}
        row, status = dp.create(user, "quote", data)
        codes.append(row["code"] if status == 200 else None)
    return codes
"""
PROCESS_SCRIPT = ATTEMPTS_SOURCE + """
import json, sys
from ornivell.db._dbplus import DbPlus
from ornivell.db.db import Database, Dict

print(json.dumps(attempts(DbPlus(Database(sys.argv[1])), Dict(id=int(sys.argv[2]), orgId=int(sys.argv[3])))))
"""
_namespace = {}
exec(ATTEMPTS_SOURCE, _namespace)
attempts, FAILING = _namespace["attempts"], _namespace["FAILING"]


def assert_issued_once(it, db, org, start, codes):
    issued = [int(code[-4:]) for code in codes if code]
    tried = WORKERS * ATTEMPTS
    assert len(issued) == len(set(issued)) == tried - WORKERS * len(FAILING)
    assert set(issued) <= set(range(start + 1, start + tried + 1))
    # the refused creates took the missing numbers, and nothing else did
    assert it.quote_counter(db, org) == start + tried


def test_threads_get_one_number_each(it, business_db, users):
    from ornivell.db._dbplus import DbPlus

    db, sam = business_db.db, users["sam"]
    start = it.quote_counter(db, sam.orgId)
    codes = []
    threads = [threading.Thread(target=lambda: codes.extend(attempts(DbPlus(db), sam))) for _ in range(WORKERS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert_issued_once(it, db, sam.orgId, start, codes)


def test_processes_get_one_number_each(it, business_db, users):
    db, sue = business_db.db, users["sue"]
    start = it.quote_counter(db, sue.orgId)
    url = db.engine.url.render_as_string(hide_password=False)
    workers = [subprocess.Popen([sys.executable, "-c", PROCESS_SCRIPT, url, str(sue.id), str(sue.orgId)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd="/")
               for _ in range(WORKERS)]
    codes = []
    for worker in workers:
        out, err = worker.communicate(timeout=120)
        assert worker.returncode == 0, err
        codes += json.loads(out)
    assert_issued_once(it, db, sue.orgId, start, codes)
