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


# a function's line in callgrind_annotate's output: "1,234 (0.5%)  file:function [object]"
_FUNCTION_LINE = re.compile(r"^\s*([\d,]+)\s+\([^)]*\)\s+(?:\*\s+)?(.+?)\s*$")


def _callgrind(script, case, calls, extra_args, python, read):
    """``read(output file)`` of a callgrind run of ``calls`` calls of ``case``."""
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "callgrind.out"
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                   python, str(script), "--case", case, "--calls", str(calls), *extra_args]
        # the same hash seed in both runs, so that dict layouts do not differ
        env = {**os.environ, "PYTHONHASHSEED": "0"}
        subprocess.run(command, check=True, capture_output=True, env=env)
        return read(out)


def _total(out):
    return int(_TOTALS.search(out.read_text()).group(1))


def _functions(out):
    """Function to its own instructions (not those of what it calls)."""
    annotated = subprocess.run(["callgrind_annotate", "--threshold=100", "--auto=no", str(out)], check=True,
                               capture_output=True, text=True).stdout
    costs = {}
    for line in annotated.split("Ir", 2)[-1].splitlines():
        match = _FUNCTION_LINE.match(line)
        if match and ":" in match.group(2):
            function = match.group(2)
            costs[function] = costs.get(function, 0) + int(match.group(1).replace(",", ""))
    return costs


def per_call_instructions(script, case, low=200, high=1200, extra_args=(), python=sys.executable):
    """Instructions of one call of ``case`` in ``script``, run by the
    interpreter ``python`` (another virtual environment's, to compare)."""
    first = _callgrind(script, case, low, extra_args, python, _total)
    second = _callgrind(script, case, high, extra_args, python, _total)
    return (second - first) / (high - low)


def per_call_profile(script, case, low=200, high=1200, extra_args=(), python=sys.executable):
    """``(instructions, function to its own instructions)`` of one call of
    ``case``, as ``per_call_instructions`` counts them, from the same two runs."""
    def read(out):
        return _total(out), _functions(out)

    (first, first_functions), (second, second_functions) = (
        _callgrind(script, case, calls, extra_args, python, read) for calls in (low, high))
    functions = {function: (count - first_functions.get(function, 0)) / (high - low)
                 for function, count in second_functions.items()}
    return (second - first) / (high - low), functions


def run_case(cases, case, calls):
    """What a benchmark script does under ``--case``: warm the case up once,
    then call it ``calls`` times; ``cases`` maps names to functions."""
    function = cases[case]
    function()
    for _ in range(calls):
        function()
