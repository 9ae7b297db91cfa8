import pytest
from sqlalchemy import inspect

from ornivell.db.cli import main
from ornivell.db.db import Database


def test_init_creates_the_tables_in_the_default_database(tmp_path, monkeypatch):
    url = f"sqlite:///{tmp_path}/cli.sqlite3"
    monkeypatch.setenv("DBPLUS_DATABASE_URL", url)
    assert main(["init"]) == 0
    assert main(["init", "--db", url]) == 0
    assert "_prop" in inspect(Database(url).engine).get_table_names()


@pytest.mark.parametrize("url, message", [
    ("mysql+pymysql://root@127.0.0.1:1/none", "Can't connect"),
    ("oracle://u@h/x", "unsupported database"),
    ("not a url", "Could not parse"),
    ("sqlite:////no/such/dir/x.sqlite3", "unable to open"),
])
def test_user_errors_are_one_line_and_exit_1(capsys, url, message):
    assert main(["init", "--db", url]) == 1
    err = capsys.readouterr().err
    assert err.startswith("dbplus init: ") and message in err and err.count("\n") == 1
