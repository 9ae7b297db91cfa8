"""How long a command takes from start to end, against the interpreter's own start.

On a demo database of the run's own (an SQLite file in a temporary folder),
each case runs as a fresh process, the cases taking turns so that the load
of the machine falls on all of them alike; the median of ``--runs`` runs
is printed for each:

- ``python -c pass``: the interpreter's start and end, the floor;
- the command: ``dbplus search employee --user 1 --limit 5``;
- the library: ``import ornivell.db._dbplus`` and ``from ornivell.db.db
  import Database``, without running anything.

Beside the wall times, the import time that ``python -X importtime`` adds
up for the command and for the library. ``--baseline PYTHON`` runs the same
cases with the interpreter of another environment (one installed from main,
say) in the same run, on the same database.

    python bench/bench_start.py [--runs N] [--baseline PYTHON]
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TARGET_SECONDS = 0.5
SEARCH = ("search", "employee", "--user", "1", "--limit", "5")
LIBRARY = "import ornivell.db._dbplus\nfrom ornivell.db.db import Database"


def _command(python):
    # the console script beside the interpreter, as a user runs it
    return [str(Path(python).parent / "dbplus")]


def _cases(python, url):
    return {
        "python -c pass": [python, "-c", "pass"],
        "dbplus " + " ".join(SEARCH): [*_command(python), *SEARCH, "--db", url],
        "library import": [python, "-c", LIBRARY],
    }


def _seconds(argv):
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def _import_milliseconds(python, argv):
    """What ``-X importtime`` adds up for ``argv`` (the arguments after the interpreter)."""
    done = subprocess.run([python, "-X", "importtime", *argv], check=True, capture_output=True, text=True)
    # each line: "import time: self [us] | cumulative | name"
    selves = [int(line.split("|")[0].split(":")[1]) for line in done.stderr.splitlines()
              if line.startswith("import time:") and "[us]" not in line]
    return sum(selves) / 1000


def _medians(environments, url, runs):
    """Median seconds of each case of each environment, the runs taking turns."""
    cases = {(env, name): argv for env, python in environments.items() for name, argv in _cases(python, url).items()}
    for argv in cases.values():
        _seconds(argv)  # once first: compiled modules written, files in the cache
    times = {key: [] for key in cases}
    for _ in range(runs):
        for key, argv in cases.items():
            times[key].append(_seconds(argv))
    return {key: statistics.median(values) for key, values in times.items()}


def _build_demo(folder):
    url = f"sqlite:///{Path(folder) / 'demo.sqlite3'}"
    subprocess.run([*_command(sys.executable), "demo", "--db", url], check=True, stdout=subprocess.DEVNULL)
    return url


def _report(environments, medians, url):
    floor_name, search_name, library_name = _cases(sys.executable, url)
    print(f"{'':10}  {'python -c pass':>14}  {'search':>8}  {'ratio':>6}  {'library':>8}  "
          f"{'search imports':>14}  {'library imports':>15}")
    for env, python in environments.items():
        floor, search, library = (medians[env, name] for name in (floor_name, search_name, library_name))
        search_imports = _import_milliseconds(python, ["-m", "ornivell.db.cli", *SEARCH, "--db", url])
        library_imports = _import_milliseconds(python, ["-c", LIBRARY])
        print(f"{env:10}  {floor * 1000:11.0f} ms  {search * 1000:5.0f} ms  {search / floor:5.1f}x  "
              f"{library * 1000:5.0f} ms  {search_imports:11.0f} ms  {library_imports:12.0f} ms")
    search = medians["this", search_name]
    verdict = "under" if search < TARGET_SECONDS else "NOT under"
    print(f"\n{search_name}: {search:.3f} s, {verdict} {TARGET_SECONDS} s "
          f"({search - medians['this', floor_name]:.3f} s over the interpreter's start)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=10, help="runs of each case (default: %(default)s)")
    parser.add_argument("--baseline", metavar="PYTHON", help="the interpreter of an environment to compare with")
    args = parser.parse_args()
    environments = {"this": sys.executable}
    if args.baseline:
        environments["baseline"] = args.baseline
    with tempfile.TemporaryDirectory() as folder:
        url = _build_demo(folder)
        print(f"median of {args.runs} runs of each, taking turns, on {url.rpartition('/')[2]} (SQLite)\n")
        _report(environments, _medians(environments, url, args.runs), url)


if __name__ == "__main__":
    main()
