"""The HTTP API under load, against a floor measured in the same run.

For each engine (an SQLite file, and a PostgreSQL and a MariaDB database of
the run's own, on the demo), ``dbplus serve`` (one uvicorn worker) answers a
permitted filtered search (page of 20, as a sales user with row rules) and a
get of one record. The floor is a minimal Starlette route, also run by
uvicorn in a process of its own, that runs the same SQL texts the module
sends (caught at the handle) through raw DB-API on a pool of the same kind
and size, on as many threads, and answers the same JSON. ``hey`` (Debian's
package: ``apt-get install hey``) sends the requests on loopback, bounded in
count and time. Printed: requests per second, latency percentiles, and the
API's share of the floor per engine, route and concurrency.

    python bench/bench_serve.py [--engines sqlite,postgresql,mariadb] [--requests N]
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from contextlib import ExitStack
from pathlib import Path

import httpx

from scratch_databases import mariadb_database, postgresql_database

SECRET = "a secret of the bench, long enough for HS256"
MODEL = "order"
REQUEST = {"where": {"status": {"_in": ["paid", "shipped"]}}, "order": [{"orderedOn": "desc"}], "page": 1,
           "limit": 20}
CONCURRENCY = (1, 16)
_FLOOR_VARIABLE = "DBPLUS_BENCH_FLOOR"


# the floor: the same statements through raw DB-API

def floor_app():
    """The floor's application, from the statements in the environment."""
    import anyio.to_thread
    from anyio import CapacityLimiter
    from sqlalchemy import text
    from starlette.applications import Starlette
    from starlette.responses import Response
    from starlette.routing import Route

    from ornivell.db.cli.render import json_default
    from ornivell.db.db import Database

    setting = json.loads(os.environ[_FLOOR_VARIABLE])
    db = Database(setting["url"])
    statements = {}
    for name, (sql, params) in setting["statements"].items():
        compiled = text(db.escape_sql(sql)).compile(dialect=db.engine.dialect)
        values = (tuple(params[key] for key in compiled.positiontup) if compiled.positional
                  else {key: params[key] for key in compiled.params})
        statements[name] = (compiled.string, values)
    limiter = CapacityLimiter(setting["threads"])

    def rows(name):
        statement, values = statements[name]
        pooled = db.engine.raw_connection()
        try:
            cursor = pooled.cursor()
            cursor.execute(statement, values)
            keys = [column[0] for column in cursor.description]
            found = [dict(zip(keys, row)) for row in cursor.fetchall()]
            cursor.close()
            pooled.commit()
        finally:
            pooled.close()
        return found

    def answer(value):
        return Response(json.dumps(value, ensure_ascii=False, separators=(",", ":"), default=json_default),
                        media_type="application/json")

    async def search(request):
        data = await anyio.to_thread.run_sync(rows, "search", limiter=limiter)
        return answer({"data": data, "total": None, "page": 1, "limit": REQUEST["limit"]})

    async def get(request):
        data = await anyio.to_thread.run_sync(rows, "get", limiter=limiter)
        return answer(data[0] if data else {})

    return Starlette(routes=[Route("/search", search), Route("/get", get)])


def caught_statements(url, user):
    """The texts and parameters that the module sends for the search and the get."""
    from ornivell.db._dbplus import DbPlus
    from ornivell.db.db import Database

    db = Database(url)
    dp = DbPlus(db)
    caught = {}

    def catch(name, method):
        def call(sql, *args, session=None, **params):
            caught[name] = (sql, params)
            return method(sql, *args, session=session, **params)
        return call

    db.query_page = catch("page", db.query_page)
    db.query_one = catch("get", db.query_one)
    page, status = dp.search(user, MODEL, dict(REQUEST))
    assert status == 200 and page["data"], (status, page)
    record_id = page["data"][0]["id"]
    got, status = dp.query_one(user, MODEL, record_id)
    assert status == 200 and got
    sql, params = caught["page"]
    params = {key: value for key, value in params.items() if key not in ("page", "limit", "do_count")}
    statements = {"search": (db.sql_page(sql, 1, REQUEST["limit"]), params), "get": caught["get"]}
    threads = db.engine.pool.size() + max(0, getattr(db.engine.pool, "_max_overflow", 0))
    db.engine.dispose()
    return statements, record_id, threads


# processes and load

def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _started(command, port, env, workdir):
    process = subprocess.Popen(command, env=env, cwd=workdir, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            httpx.get(f"http://127.0.0.1:{port}/", timeout=1)
            return process
        except httpx.HTTPError:
            if process.poll() is not None:
                raise SystemExit(f"{command[2:4]} stopped: {process.stderr.read().decode()}")
            time.sleep(0.2)
    process.kill()
    raise SystemExit(f"{command} did not answer")


def _stopped(process):
    process.terminate()
    process.wait(timeout=30)


_HEY_FIGURES = re.compile(r"Requests/sec:\s+([0-9.]+)")
_HEY_STATUS = re.compile(r"\[([0-9]{3})\]\s+[0-9]+ responses")
_HEY_PERCENTILE = re.compile(r"\s+(50|90|99)%+ in ([0-9.]+) secs")


def load(url, concurrency, requests, headers):
    """Requests per second and the 50th, 90th and 99th latency percentiles in ms, from hey."""
    command = ["hey", "-n", str(requests), "-c", str(concurrency), "-t", "20"]
    for name, value in headers.items():
        command += ["-H", f"{name}: {value}"]
    out = subprocess.run(command + [url], capture_output=True, text=True, timeout=300).stdout
    statuses = set(_HEY_STATUS.findall(out))
    if statuses != {"200"}:
        raise SystemExit(f"not every answer was 200:\n{out}")
    percentiles = {int(p): float(s) * 1000 for p, s in _HEY_PERCENTILE.findall(out)}
    return float(_HEY_FIGURES.search(out).group(1)), percentiles


def bench_engine(engine, url, requests, workdir):
    from ornivell.db.db import Database
    from ornivell.db.demo import USERS, build_demo
    from ornivell.db.server.auth import mint_token

    build_demo(Database(url))
    sales = next(u for u in USERS if u.roles == ("sales",))
    statements, record_id, threads = caught_statements(url, sales.as_user())
    api_port, floor_port = free_port(), free_port()
    env = {**os.environ, _FLOOR_VARIABLE: json.dumps({"url": url, "statements": statements, "threads": threads},
                                                    default=str)}
    api = _started([sys.executable, "-m", "ornivell.db.cli", "serve", "--db", url, "--port", str(api_port),
                    "--secret", SECRET, "--log-level", "warning"], api_port, env, workdir)
    floor = _started([sys.executable, "-m", "uvicorn", "--factory", "bench_serve:floor_app", "--port",
                      str(floor_port), "--log-level", "warning", "--app-dir", str(Path(__file__).parent)],
                     floor_port, env, workdir)
    token = {"Authorization": f"Bearer {mint_token(SECRET, sales.id, sales.orgId)}"}
    routes = {
        "search": (f"http://127.0.0.1:{api_port}/models/{MODEL}?{httpx.QueryParams(_query())}",
                   f"http://127.0.0.1:{floor_port}/search"),
        "get": (f"http://127.0.0.1:{api_port}/models/{MODEL}/{record_id}", f"http://127.0.0.1:{floor_port}/get"),
    }
    try:
        for route, (api_url, floor_url) in routes.items():
            _same_answers(api_url, floor_url, token)
            for concurrency in CONCURRENCY:
                count = requests if concurrency > 1 else max(requests // 4, 50)
                load(api_url, concurrency, min(200, count), token)  # warm
                api_rate, api_ms = load(api_url, concurrency, count, token)
                floor_rate, floor_ms = load(floor_url, concurrency, count, {})
                print(f"{engine:<10} {route:<6} c={concurrency:<3} api {api_rate:8.0f}/s "
                      f"p50 {api_ms[50]:6.1f} p90 {api_ms[90]:6.1f} p99 {api_ms[99]:6.1f} ms | floor "
                      f"{floor_rate:8.0f}/s p50 {floor_ms[50]:6.1f} p99 {floor_ms[99]:6.1f} ms | "
                      f"ratio {api_rate / floor_rate:4.2f}", flush=True)
    finally:
        _stopped(api)
        _stopped(floor)


def _query():
    return {"where": json.dumps(REQUEST["where"]), "order": json.dumps(REQUEST["order"]),
            "page": str(REQUEST["page"]), "limit": str(REQUEST["limit"])}


def _same_answers(api_url, floor_url, headers):
    api = httpx.get(api_url, headers=headers, timeout=30)
    floor = httpx.get(floor_url, timeout=30)
    assert api.status_code == floor.status_code == 200, (api.text, floor.text)
    assert api.json() == floor.json(), "the floor does not answer what the API answers"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engines", default="sqlite,postgresql,mariadb")
    parser.add_argument("--requests", type=int, default=2000, help="requests per measurement at concurrency 16")
    parser.add_argument("--postgresql", default="postgresql+psycopg://postgres@127.0.0.1:5432")
    parser.add_argument("--mariadb", default="mysql+pymysql://root@127.0.0.1:3306")
    args = parser.parse_args()
    if shutil.which("hey") is None:
        raise SystemExit("needs hey: apt-get install hey")
    print(f"{os.cpu_count()} cores; hey on loopback; {args.requests} requests at concurrency 16")
    with tempfile.TemporaryDirectory() as workdir, ExitStack() as stack:
        for engine in args.engines.split(","):
            if engine == "sqlite":
                url = f"sqlite:///{Path(workdir) / 'bench.sqlite3'}"
            else:
                maker = postgresql_database if engine == "postgresql" else mariadb_database
                url = stack.enter_context(maker(getattr(args, engine)))
                if url is None:
                    continue
            bench_engine(engine, url, args.requests, workdir)


if __name__ == "__main__":
    main()
