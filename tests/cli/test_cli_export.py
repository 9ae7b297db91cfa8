"""dbplus export and dbplus domains as a user runs them: a workbook that
holds what the same search shows, a progress bar only on a terminal, value
lists as text and JSON, refusals in one line."""

import fcntl
import json
import os
import pty
import struct
import subprocess
import sys
import termios

import pytest
from openpyxl import load_workbook

from ornivell.db.demo.models import DOMAINS

PAID = '{"status": "paid"}'


def sheet_rows(path):
    return list(load_workbook(path, read_only=True).active.iter_rows(values_only=True))


def test_export_round_trip(dbplus, tmp_path):
    target = tmp_path / "paid.xlsx"
    done = dbplus("export", "order", "--user", "2", "--where", PAID, "--order", '[{"code": "asc"}]', "-o", str(target))
    assert done.returncode == 0 and done.stderr == ""
    searched = json.loads(dbplus("search", "order", "--user", "2", "--where", PAID, "--order", '[{"code": "asc"}]',
                                 "--limit", "1000", "--json").stdout)["data"]
    assert done.stdout == f"{target}: {len(searched)} rows\n" and searched
    titles, *rows = sheet_rows(target)
    assert titles[:4] == ("Code", "Ordered on", "Status", "Customer")
    assert [row[:4] for row in rows] == [(r["code"], r["orderedOn"], "Paid", r["cu.name"]) for r in searched]


@pytest.mark.parametrize("output, folder", [("x.xlsx", ""), ("", ""), (None, "env")])
def test_where_the_workbook_goes(dbplus, tmp_path, output, folder):
    args = ["export", "product", "--user", "4"] + ([] if output is None else ["-o", str(tmp_path / output)])
    done = dbplus(*args, env={"DBPLUS_EXPORT_DIR": str(tmp_path / "env")})
    path, count = done.stdout.rsplit(": ", 1)
    assert done.returncode == 0 and os.path.dirname(path) == str(tmp_path / folder)
    assert os.path.basename(path) == output if output else os.path.basename(path).startswith("Products-")
    assert len(sheet_rows(path)) == int(count.split()[0]) + 1 > 1


def read_to_end(terminal):
    shown = b""
    while True:
        try:
            chunk = terminal.read1(4096)
        except OSError:  # the terminal's other end is closed
            return shown.decode()
        if not chunk:
            return shown.decode()
        shown += chunk


def test_progress_shows_on_a_terminal_only(dbplus, tmp_path):
    quiet = dbplus("export", "order_line", "--user", "1", "-o", str(tmp_path / "a.xlsx"))
    assert quiet.returncode == 0 and quiet.stderr == ""
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))  # a terminal has a size
    with os.fdopen(leader, "rb") as terminal:
        done = subprocess.run([sys.executable, "-m", "ornivell.db.cli", "export", "order_line", "--user", "1",
                               "-o", str(tmp_path / "b.xlsx"), "--db", dbplus.url],
                              stdout=subprocess.PIPE, stderr=follower, timeout=120, cwd=dbplus.workdir)
        os.close(follower)
        shown = read_to_end(terminal)
    rows = done.stdout.decode().split()[-2]
    assert done.returncode == 0 and "reading: " in shown and f"writing: {rows} rows" in shown


@pytest.mark.parametrize("args, message", [
    (("export", "order", "--user", "4"), "无权限导出: Orders"),
    (("export", "nope", "--user", "1"), "nope不存在"),
    (("export", "order", "--user", "1", "--where", '{"nope": 1}'), "$.nope: unknown property 'nope'"),
    (("domains", "--user", "1", "--links"), "--links lists the value lists of one model: name it"),
    (("domains", "order", "--user", "4", "--links"), "无权限查询: Orders"),
    (("domains", "--user", "99"), "no user with id 99 in app_user"),
], ids=["denied", "unknown model", "bad filter", "links without model", "links denied", "unknown user"])
def test_refusals_are_one_line(dbplus, args, message):
    done = dbplus(*args)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.splitlines() == [f"dbplus {args[0]}: {message}"]


def test_dictionary_lists(dbplus):
    every = json.loads(dbplus("domains", "--user", "3", "--json").stdout)
    assert {name: {code: e["label"] for code, e in entries.items()} for name, entries in every.items()} == {
        name: dict(entries) for name, entries in DOMAINS.items()}
    text = dbplus("domains", "order_status", "--user", "3").stdout.splitlines()
    assert text[0] == f"order_status ({len(DOMAINS['order_status'])} values)"
    assert text[3].split() == ["draft", "Draft", "1"]


def test_link_lists(dbplus):
    lists = json.loads(dbplus("domains", "customer", "--user", "1", "--links", "--json").stdout)
    assert {"org", "own", "city", "id"} <= set(lists)
    assert {entry["label"] for entry in lists["org"].values()} >= {"North Sales", "Head Office"}
    assert "org" not in json.loads(dbplus("domains", "customer", "--user", "2", "--links", "--json").stdout)


def workbooks(*folders):
    return {path for folder in folders for path in folder.glob("*.xlsx")}


@pytest.mark.parametrize("kind", ["no exported column", "missing folder", "empty name", "symbolic link", "fifo"])
def test_a_refused_export_says_why_in_one_line_and_leaves_no_file(dbplus, tmp_path, kind):
    real = tmp_path / "kept.xlsx"
    real.write_bytes(b"kept")
    (tmp_path / "link.xlsx").symlink_to(real)
    os.mkfifo(tmp_path / "pipe.xlsx")
    options = {"no exported column": ["--columns", "id", "-o", str(tmp_path / "new.xlsx")],
               "missing folder": ["-o", "newdir/"], "empty name": ["-o", ""],
               "symbolic link": ["-o", str(tmp_path / "link.xlsx")], "fifo": ["-o", str(tmp_path / "pipe.xlsx")]}
    folders = (dbplus.workdir, dbplus.workdir.parent, tmp_path)
    before = workbooks(*folders)
    done = dbplus("export", "product", "--user", "4", *options[kind])
    assert done.returncode == 1 and done.stdout == "" and len(done.stderr.splitlines()) == 1, done.stderr
    assert workbooks(*folders) == before and real.read_bytes() == b"kept"
    assert not (dbplus.workdir / "newdir").exists()
