"""The demo on an embedded SQLite file with a given number of orders, for the
export benchmarks. A database once built is kept in the folder given and
used again by later runs."""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from ornivell.db.db import Database
from ornivell.db.demo import USERS, build_demo
from ornivell.db.demo.data import MAX_SCALE

# the demo has 1000 orders at scale 1
ORDERS_AT_SCALE_1 = 1000
MODEL = "order"


def demo_url(orders, folder):
    """URL of a demo database holding ``orders`` orders, built if missing."""
    path = Path(folder) / f"demo-{orders}-orders.sqlite3"
    url = f"sqlite:///{path}"
    if not path.exists():
        print(f"building the demo with {orders:,} orders in {path} ...", flush=True)
        database = Database(url)
        try:
            built = min(orders, MAX_SCALE * ORDERS_AT_SCALE_1)
            build_demo(database, scale=built / ORDERS_AT_SCALE_1)
            if orders > built:
                _repeat_orders(database, built, orders)
        finally:
            database.engine.dispose()
    return url


def _repeat_orders(database, built, orders):
    """Copies of the ``built`` orders and their lines, under new ids and
    codes, up to ``orders``: the demo itself stops at its largest scale."""
    with database.engine.begin() as connection:
        run = connection.exec_driver_sql
        [lines] = run("select max(id) from order_line").one()
        for copy in range(1, -(-orders // built)):
            shift = copy * built
            run('insert into sales_order (id, code, "customerId", "orgId", "sellerId", status, "orderedOn") '
                'select id + ?, printf(\'SO-%07d\', id + ?), "customerId", "orgId", "sellerId", status, "orderedOn" '
                'from sales_order where id <= ? and id + ? <= ?', (shift, shift, built, shift, orders))
            run('insert into order_line (id, "orderId", "lineNo", "productId", qty, "unitPrice") '
                'select id + ?, "orderId" + ?, "lineNo", "productId", qty, "unitPrice" '
                'from order_line where "orderId" <= ? and "orderId" + ? <= ?',
                (copy * lines, shift, built, shift, orders))


def admin(url):
    """A ``Database`` on ``url`` and the demo user who sees every order."""
    return Database(url), next(u for u in USERS if "admin" in u.roles).as_user()


def run_measured(command, cwd):
    """``(seconds, CPU seconds, peak resident MiB)`` of one child process,
    which must succeed; ``cwd`` should lie outside the source tree, whose
    package has no compiled module."""
    started = time.perf_counter()
    child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{command[:4]}... failed with exit status {status}")
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def bench_main(doc, compare, child_option, child, add_options=None):
    """The command line of a benchmark script: ``--orders N ... [--folder DIR]``
    runs ``compare(orders, options)`` for each count, with the options that
    ``add_options(parser)`` adds too; ``CHILD_OPTION ARGS...`` is one of its
    measured child processes, running ``child(*ARGS)``."""
    if sys.argv[1:2] == [child_option]:
        child(*sys.argv[2:])
        return
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--orders", type=int, nargs="+", default=[100_000])
    parser.add_argument("--folder", default=tempfile.gettempdir(), help="where the demo databases are kept")
    if add_options is not None:
        add_options(parser)
    options = parser.parse_args()
    for orders in options.orders:
        compare(orders, options)
