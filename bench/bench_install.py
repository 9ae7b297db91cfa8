"""Time of the README's quick start and of the test command's install after
it, for this commit and a baseline, each in a fresh clone on this machine.

    python bench/bench_install.py [--baseline REF] [--commit REF]

Wall-clock seconds depend on what else the machine runs; the CPU seconds
of the processes started (compilers included) depend on it much less.
"""

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
QUICK_START = ("python3 -m venv .venv && .venv/bin/pip install -q . && .venv/bin/dbplus demo > /dev/null && "
               ".venv/bin/dbplus search employee --user 1 --limit 5 > /dev/null && "
               ".venv/bin/dbplus search employee --user 2 --limit 5 > /dev/null")
TEST_INSTALL = "python3 -m venv .venv && .venv/bin/pip install -q '.[test]'"


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command, cwd):
    """(wall seconds, CPU seconds) of a shell command."""
    cpu, start = children_cpu(), time.perf_counter()
    done = subprocess.run(command, shell=True, cwd=cwd, capture_output=True, text=True,
                          env={**os.environ, "PIP_DISABLE_PIP_VERSION_CHECK": "1"})
    if done.returncode:
        sys.exit(f"{command} failed in {cwd}:\n{done.stderr}")
    return time.perf_counter() - start, children_cpu() - cpu


def measure(ref, workdir):
    clone = workdir / ref.replace("/", "_")
    subprocess.run(["git", "clone", "-q", str(ROOT), str(clone)], check=True)
    subprocess.run(["git", "checkout", "-q", ref], cwd=clone, check=True)
    return timed(QUICK_START, clone), timed(TEST_INSTALL, clone)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline", default="main")
    parser.add_argument("--commit", default="HEAD")
    options = parser.parse_args()
    commit = subprocess.run(["git", "rev-parse", options.commit], cwd=ROOT, capture_output=True, text=True,
                            check=True).stdout.strip()
    workdir = Path(tempfile.mkdtemp(prefix="bench_install_"))
    try:
        figures = {name: measure(ref, workdir) for name, ref in (("baseline", options.baseline), ("this", commit))}
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print(f"{'':24}{'quick start':>22}{'test install after it':>28}")
    for name, ((quick_wall, quick_cpu), (test_wall, test_cpu)) in figures.items():
        print(f"{name:24}{quick_wall:8.1f} s ({quick_cpu:6.1f} s CPU){test_wall:12.1f} s ({test_cpu:6.1f} s CPU)")
    (base_quick, _), (base_test, _) = figures["baseline"]
    (this_quick, _), (this_test, _) = figures["this"]
    print(f"{'baseline / this':24}{base_quick / this_quick:8.1f}x{'':16}{base_test / this_test:10.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
