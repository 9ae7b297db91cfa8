"""Instruction counts of one call, with valgrind's callgrind: repeatable on a
busy machine, where wall time is not.

A benchmark script that can run a named case a given number of times (the
``--case NAME --calls N`` options of ``run_case`` below) is run under
callgrind twice, with ``low`` and ``high`` calls; the difference of the two
totals, divided by the difference of the calls, is the cost of one call,
without start-up, setup and warm-up.

    from instructions import per_call_instructions
    per_call_instructions(__file__, "build_sql", extra_args=["--scale", "1"])
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

_TOTALS = re.compile(r"^(?:summary|totals):\s+(\d+)", re.MULTILINE)


def available():
    return shutil.which("valgrind") is not None


def _total_instructions(script, case, calls, extra_args, python):
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "callgrind.out"
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                   python, str(script), "--case", case, "--calls", str(calls), *extra_args]
        # the same hash seed in both runs, so that dict layouts do not differ
        env = {**os.environ, "PYTHONHASHSEED": "0"}
        subprocess.run(command, check=True, capture_output=True, env=env)
        return int(_TOTALS.search(out.read_text()).group(1))


def per_call_instructions(script, case, low=200, high=1200, extra_args=(), python=sys.executable):
    """Instructions of one call of ``case`` in ``script``, run by the
    interpreter ``python`` (another virtual environment's, to compare)."""
    first = _total_instructions(script, case, low, extra_args, python)
    second = _total_instructions(script, case, high, extra_args, python)
    return (second - first) / (high - low)


def run_case(cases, case, calls):
    """What a benchmark script does under ``--case``: warm the case up once,
    then call it ``calls`` times; ``cases`` maps names to functions."""
    function = cases[case]
    function()
    for _ in range(calls):
        function()
