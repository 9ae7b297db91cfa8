"""What the metadata version check costs a warm search.

The search of ``bench_search.py`` (the demo, a page of 20 rows with a
keyword and a filter, a user with data rules, warm cache), with the check
off (``metadata_check_interval = None``), on but not due (the cost every
request pays: a clock read and two attribute reads), and due on every call
(the cost of one reading of the version, which a process pays once per
interval). Wall time per call (the best of 5 runs) and, with
``--instructions``, instructions per call under callgrind.

    python bench/bench_version_check.py [--engine sqlite|postgresql] [--calls N] [--instructions]
"""

import argparse
import json
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

from bench_search import MODEL, REQUEST, demo_database
from instructions import available, per_call_instructions, run_case
from ornivell.db._dbplus import DbPlus
from ornivell.db.db import Database
from ornivell.db.demo import USERS

# the interval each case sets: None is off, an hour is never due, 0 is due on every call
CASES = {"off": None, "not due": 3600.0, "due": 0.0}


def make_cases(url):
    db = Database(url)
    user = next(u for u in USERS if u.roles == ("sales",)).as_user()
    cases = {}
    for name, interval in CASES.items():
        dbplus = DbPlus(db)
        dbplus.metadata_check_interval = interval
        assert dbplus.search(user, MODEL, REQUEST)[1] == 200
        cases[name] = (lambda d: lambda: d.search(user, MODEL, REQUEST))(dbplus)
    return cases


def wall_times(cases, calls):
    return {name: min(timeit.repeat(function, number=calls, repeat=5)) / calls * 1e6
            for name, function in cases.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engine", choices=["sqlite", "postgresql"], default="sqlite")
    parser.add_argument("--postgresql", default="postgresql+psycopg://postgres@127.0.0.1:5432")
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--scale", type=float, default=1)
    parser.add_argument("--instructions", action="store_true", help="count instructions with callgrind too")
    parser.add_argument("--url", help=argparse.SUPPRESS)
    parser.add_argument("--case", choices=list(CASES), help=argparse.SUPPRESS)
    parser.add_argument("--times", type=int, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.case:
        run_case(make_cases(options.url), options.case, options.calls)
        return
    if options.times:
        print(json.dumps(wall_times(make_cases(options.url), options.times)))
        return
    if options.instructions and not available():
        parser.error("--instructions needs valgrind")
    script = str(Path(__file__).resolve())
    with demo_database(options) as url:
        if url is None:
            return
        out = subprocess.run([sys.executable, script, "--url", url, "--times", str(options.calls)], check=True,
                             capture_output=True, text=True, cwd=tempfile.gettempdir()).stdout
        times = json.loads(out)
        counts = {name: per_call_instructions(script, name, low=20, high=120, extra_args=["--url", url])
                  for name in CASES} if options.instructions else {}
    print(f"warm search of the demo on {options.engine}, metadata version check")
    print(f"{'':28}{'us/call':>10}{'instr/call':>14}")
    for name in CASES:
        print(f"{name:28}{times[name]:>10.1f}{format(counts[name], ',.0f') if counts else '':>14}")
    print(f"{'per request (not due - off)':28}{times['not due'] - times['off']:>10.2f}"
          f"{format(counts['not due'] - counts['off'], ',.0f') if counts else '':>14}")
    print(f"{'one reading (due - off)':28}{times['due'] - times['off']:>10.1f}"
          f"{format(counts['due'] - counts['off'], ',.0f') if counts else '':>14}")


if __name__ == "__main__":
    main()
