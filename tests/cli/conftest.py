"""The ``dbplus`` fixture: the command run as a real process on a demo database."""

import os
import subprocess
import sys

import pytest


@pytest.fixture(scope="module")
def dbplus(tmp_path_factory):
    """``dbplus(*args, db=URL, env={...})`` runs the command, by default on a demo database."""
    # run elsewhere than in the source tree, whose package lacks the built extension
    workdir = tmp_path_factory.mktemp("cli")
    demo_url = f"sqlite:///{workdir / 'demo.sqlite3'}"

    def run(*args, db=demo_url, env=None):
        return subprocess.run([sys.executable, "-m", "ornivell.db.cli", *args, "--db", db],
                              capture_output=True, text=True, timeout=120, cwd=workdir,
                              env={**os.environ, **(env or {})})

    built = run("demo", "--scale", "0.1")
    assert built.returncode == 0, built.stderr
    assert "give one with --user" in built.stdout and "dbplus search employee --user 2" in built.stdout
    run.url, run.workdir = demo_url, workdir
    return run
