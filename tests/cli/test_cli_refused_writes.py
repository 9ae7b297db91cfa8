"""Write commands given input that no engine may take, run here on the demo of every engine: one line, exit
status 1, nothing changed, never a traceback."""

import pytest
from sqlalchemy import text

from ornivell.db.cli import main

DEEP = "[" * 60_000 + "]" * 60_000
NOT_WRITABLE = "sales_by_department: a model defined by SQL cannot be written"


@pytest.mark.parametrize("args, message", [
    (("create", "quote", "--user", "1", '{"title": %s}' % DEEP), "DATA is nested too deeply to read"),
    (("create", "quote", "--user", "1", "title=" + DEEP), "DATA: title is nested too deeply to read"),
    (("update", "quote", "1", "--user", "1", '{"title": %s}' % DEEP), "DATA is nested too deeply to read"),
    (("link", "project_member", "--user", "1", "--add", '{"projectId": %s}' % DEEP),
     "a link row is nested too deeply to read"),
    (("link", "project_member", "--user", "1", "--add", "projectId=1,employeeId=99999999999999999999"),
     "add_data[0].employeeId: integer out of range"),
    (("link", "project_member", "--user", "1", "--add", '{"projectId": {"a": 1}, "employeeId": 1}'),
     "add_data[0].projectId: expected a text or number, got an object"),
    (("link", "project_member", "--user", "1", "--remove", "projectId=1abc"),
     'del_data[0].projectId: expected an integer, got "1abc"'),
    (("role", "assign", "sales", "99999999999999999999"), "argument USER_ID: must be a whole number"),
    (("role", "assign", "sales", "9999999999"), "userId: expected an integer from -2147483648 to 2147483647"),
    (("delete", "quote", "1abc", "--user", "1"), 'id: expected an integer, got "1abc"'),
    (("update", "quote", "5 apples", "--user", "1", "title=x"), 'id: expected an integer, got "5 apples"'),
    (("get", "quote", "1abc", "--user", "1"), 'id: expected an integer, got "1abc"'),
    (("create", "sales_by_department", "--user", "1", "name=x"), NOT_WRITABLE),
    (("update", "sales_by_department", "2", "--user", "1", "name=x"), NOT_WRITABLE),
    (("delete", "sales_by_department", "2", "--user", "1"), NOT_WRITABLE),
    (("create", "quote", "--user", "1", "customerId=1", "title=null"), "title: expected a value, got null"),
])
def test_refused_writes_end_with_one_line_and_exit_1(business_db, capsys, args, message):
    url = business_db.db.engine.url.render_as_string(hide_password=False)
    before = written(business_db.db)
    capsys.readouterr()
    try:
        status = main([*args, "--db", url])
    except SystemExit as usage:  # argument errors leave through the parser
        status = usage.code
    out, err = capsys.readouterr()
    assert status == 1 and out == ""
    assert err.startswith(f"dbplus {' '.join(args[:2]) if args[0] == 'role' else args[0]}: ")
    assert message in err and len(err.splitlines()) == 1
    assert written(business_db.db) == before


def written(db):
    """The rows these commands could touch; sequence counters may move with a refused create."""
    with db.engine.connect() as connection:
        return [connection.execute(text(f"select * from {table} order by id")).all()
                for table in ("quote", "project_member", "_user_role", "customer")]
