"""The write commands as a user runs them: the round trip the README shows, line by line on the demo it
names, and input the commands refuse."""

import datetime
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).parents[2] / "README.md"


def readme_write_commands():
    """(arguments, refusal or None) for each command of the README's section on writing records."""
    section = README.read_text().split("## Writing records", 1)[1]
    block = section.split("```sh\n", 1)[1].split("```", 1)[0]
    commands = []
    for line in block.splitlines():
        command, _, comment = line.partition("   #")
        refused = comment.split("refused:", 1)[1].strip() if "refused:" in comment else None
        commands.append((shlex.split(command)[1:], refused))
    return commands


@pytest.fixture(scope="module")
def dbplus(tmp_path_factory):
    """``dbplus(*args)`` runs the command on the demo at its default scale."""
    workdir = tmp_path_factory.mktemp("cli_writes")
    url = f"sqlite:///{workdir / 'demo.sqlite3'}"

    def run(*args):
        return subprocess.run([sys.executable, "-m", "ornivell.db.cli", *args, "--db", url],
                              capture_output=True, text=True, timeout=120, cwd=workdir)

    assert run("demo").returncode == 0
    return run


def test_the_readme_round_trip_works_as_written(dbplus):
    commands = readme_write_commands()
    assert len(commands) >= 10 and any(refused for _, refused in commands)
    outputs = []
    for args, refused in commands:
        done = dbplus(*args)
        if refused:
            assert done.returncode == 1 and done.stdout == "", args
            assert done.stderr.startswith(f"dbplus {args[0]}: ") and refused in done.stderr
            assert len(done.stderr.splitlines()) == 1
        else:
            assert done.returncode == 0, (args, done.stderr)
        outputs.append(done.stdout)
    created = dict(re.findall(r"^(\w+):\s*(.*)$", outputs[0], re.M))
    assert created["id"] == "25" and created["createdBy"] == "2" and created["status"] == "open"
    assert created["code"] == "QT" + datetime.date.today().strftime("%Y%m%d") + "0007"
    # the member added and removed again: project 2 keeps its three
    assert outputs[-1].rstrip().endswith("page 1, 3 rows")


@pytest.mark.parametrize("args, message", [
    (("create", "quote", "--user", "2", "title"), "DATA: 'title' is not key=value"),
    (("create", "quote", "--user", "2", "[1]"), "DATA: '[1]' is not key=value"),
    (("create", "quote", "--user", "2", "{title"), "DATA is not valid JSON"),
    (("update", "quote", "1", "--user", "2", '["x"]'), "DATA: '[\"x\"]' is not key=value"),
    (("link", "project_member", "--user", "1"), "give link rows with --add or --remove"),
    (("link", "project_member", "--user", "1", "--add", "projectId"), "a link row: 'projectId' is not key=value"),
    (("link", "nope", "--user", "1", "--add", "a=1"), "业务模型（nope）不存在"),
    (("delete", "quote", "1", "--user", "99"), "no user with id 99"),
])
def test_write_mistakes_end_with_one_line_and_exit_1(dbplus, args, message):
    done = dbplus(*args)
    assert done.returncode == 1 and done.stdout == ""
    assert len(done.stderr.splitlines()) == 1 and done.stderr.startswith(f"dbplus {args[0]}: {message}")
