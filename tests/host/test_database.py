import pytest
from sqlalchemy import Column, Integer, MetaData, String, Table, text
from sqlalchemy.exc import DBAPIError, NoSuchTableError

from ornivell.db.db import Database, Dict

QUOTE = {"sqlite": '"', "mariadb": "`", "postgresql": '"'}


@pytest.fixture(scope="module")
def db(database):
    # mixed-case and reserved column names, as business tables have them
    metadata = MetaData()
    Table(
        "t_user",
        metadata,
        Column("id", Integer, primary_key=True),
        Column("userName", String(50), nullable=False),
        Column("orgId", Integer),
        Column("order", Integer, server_default=text("3")),
    )
    metadata.create_all(database.engine)
    return database


@pytest.fixture
def users(db):
    db.execute("delete from t_user")
    db.add_many("t_user", [{"userName": n, "orgId": i % 2} for i, n in enumerate("abcde")])
    return db


def test_escape_quotes_every_part_in_the_dialect_style(db, engine_name):
    q = QUOTE[engine_name]
    assert db.escape("name") == f"{q}name{q}"
    assert db.escape("d.userName") == f"{q}d{q}.{q}userName{q}"
    assert db.escape(f"a{q}b") == f"{q}a{q}{q}b{q}"


def test_escape_leaves_computed_column_expressions_as_written(users):
    expression = "(select count(*) from t_user u where u.orgId = t.orgId)"
    assert users.escape(expression) == expression
    rows = users.query(f"select {users.escape(expression)} as n from t_user t where t.userName = 'a'")
    assert [r.n for r in rows] == [3]


def test_escaped_names_run(users):
    e = users.escape
    rows = users.query(f"select {e('t.userName')}, {e('t.order')} from {e('t_user')} {e('t')} where t.id > 0")
    assert sorted(r.userName for r in rows) == list("abcde") and {r.order for r in rows} == {3}


@pytest.mark.parametrize("bad, error", [(5, TypeError), (None, TypeError), ("", ValueError), ("a..b", ValueError)])
def test_escape_refuses_what_is_no_identifier(db, bad, error):
    with pytest.raises(error):
        db.escape(bad)


@pytest.mark.parametrize("names, expected", [([], []), (["b", "d"], ["b", "d"]), (["b", "zz", "b"], ["b"])])
def test_in_clause_binds_each_value(users, names, expected):
    clause, params = users.in_clause("t_user.names", names)
    rows = users.query(f"select userName from t_user where userName in {clause} order by userName", **params)
    assert [r.userName for r in rows] == expected
    assert len(params) == len(names)


def test_query_returns_dict_rows_and_empty_results(users):
    rows = users.query("select userName, orgId from t_user where orgId = :orgId order by userName", orgId=1)
    assert rows == [{"userName": "b", "orgId": 1}, {"userName": "d", "orgId": 1}]
    assert type(rows[0]) is Dict and rows[0].userName == "b"
    assert users.query("select id from t_user where orgId = :orgId", orgId=9) == []
    assert users.query_one("select id from t_user where orgId = :orgId", orgId=9) is None


def test_parameters_may_be_called_like_the_positional_arguments(users):
    row = users.query_one("select userName from t_user where userName = :sql or userName = :table_name", sql="c", table_name="x")
    assert row == {"userName": "c"}
    page = users.query_page("select userName from t_user where userName <> :sql order by userName", 2, 3, sql="a")
    assert ([r.userName for r in page.data], page.page, page.limit) == (["e"], 2, 3)


@pytest.mark.parametrize("call, message", [
    (lambda db: db.query(), "query\\(\\) missing 1 required positional argument\\(s\\): 'sql'"),
    (lambda db: db.query_page("select 1", 1, 2, None, None, 5), "query_page\\(\\) takes 5 positional"),
    (lambda db: db.execute("select 1", None, session=None), "execute\\(\\) got multiple values for argument 'session'"),
])
def test_positional_arguments_are_checked_as_python_checks_them(db, call, message):
    with pytest.raises(TypeError, match=message):
        call(db)


@pytest.mark.parametrize("page, limit, do_count, names, total", [
    (1, 2, 1, "ab", 5),
    ("3", "2", True, "e", 5),
    (4, 2, None, "", None),
])
def test_query_page(users, page, limit, do_count, names, total):
    result = users.query_page("select userName from t_user order by userName", page=page, limit=limit, do_count=do_count)
    assert "".join(r.userName for r in result.data) == names
    assert (result.total, result.page, result.limit) == (total, int(page), int(limit))


@pytest.mark.parametrize("page, limit, message", [
    (0, 10, "page must be from 1 to 1000000000, not 0"), (-1, 10, "page must be from 1"),
    (1, 0, "limit must be from 1"), ("x", 10, "page must be a whole number, not 'x'"),
    # each of these used to end in an engine's own error, or in OverflowError
    (10 ** 20, 10, "page must be from 1 to 1000000000, not 100000000000000000000"),
    (float("inf"), 10, "page must be a whole number, not inf"), (1, float("inf"), "limit must be a whole number"),
    (1, 10 ** 10, "limit must be from 1 to 1000000000"), ([1], 10, "page must be a whole number, not \\[1\\]"),
])
def test_query_page_refuses_bad_windows(users, page, limit, message):
    with pytest.raises(ValueError, match=message):
        users.query_page("select userName from t_user", page=page, limit=limit)


@pytest.mark.parametrize("returning", [True, False])
def test_add_returns_the_stored_row_and_ignores_other_keys(users, monkeypatch, returning):
    # without RETURNING the row is read back by its primary key
    monkeypatch.setattr(users.engine.dialect, "insert_returning", returning)
    row = users.add("t_user", {"userName": "f", "nickname": "x"})
    assert row == {"id": row.id, "userName": "f", "orgId": None, "order": 3}
    assert users.query_one("select userName from t_user where id = :id", id=row.id).userName == "f"


def test_add_many_keeps_the_order(users):
    rows = users.add_many("t_user", [{"userName": "y", "orgId": 5}, {"userName": "x"}])
    assert [r.userName for r in rows] == ["y", "x"] and rows[0].id < rows[1].id


def test_merge_update_many_and_delete(users):
    b = users.query_one("select id from t_user where userName = 'b'")
    assert users.merge("t_user", {"id": b.id, "orgId": 8, "other": 1}) == 1
    users.update_many("t_user", [{"userName": "c", "orgId": 8}, {"userName": "d", "order": 9}], keys=["userName"])
    assert users.delete("t_user", users.query_one("select id from t_user where userName = 'a'").id) == 1
    rows = users.query("select userName, orgId, t.order from t_user t order by userName")
    assert [(r.userName, r.orgId, r.order) for r in rows] == [("b", 8, 3), ("c", 8, 3), ("d", 1, 9), ("e", 0, 3)]


@pytest.mark.parametrize("call", [
    lambda db: db.merge("t_user", {"userName": "a"}),
    lambda db: db.update_many("t_user", [{"id": 1, "orgId": 1}], keys=["nickname"]),
])
def test_updates_need_their_key_columns(db, call):
    with pytest.raises(ValueError):
        call(db)


def test_session_commits_at_the_end(users):
    with users.session() as s:
        s.add("t_user", {"userName": "g"})
        s.execute("update t_user set orgId = :orgId where userName = :name", orgId=4, name="g")
        assert users.query_one("select orgId from t_user where userName = 'g'", session=s).orgId == 4
    assert users.query_one("select orgId from t_user where userName = 'g'").orgId == 4


def test_session_rolls_back_when_the_block_raises(users):
    with pytest.raises(KeyError):
        with users.session() as s:
            row = s.add("t_user", {"userName": "h"})
            s.merge("t_user", {"id": row.id, "orgId": 2})
            s.delete("t_user", s.query_one("select id from t_user where userName = 'a'").id)
            raise KeyError("boom")
    assert [r.userName for r in users.query("select userName from t_user order by userName")] == list("abcde")


def _names(db):
    return [r.userName for r in db.query("select userName from t_user order by userName")]


@pytest.mark.parametrize("first_write_inside", [True, False])
def test_a_savepoint_undoes_its_part_and_the_transaction_the_rest(users, first_write_inside):
    # a savepoint that is the transaction's first statement must not end it on release
    with pytest.raises(KeyError):
        with users.session() as s:
            if not first_write_inside:
                s.add("t_user", {"userName": "f"})
            with s.savepoint():
                s.add("t_user", {"userName": "g"})
            raise KeyError("boom")
    assert _names(users) == list("abcde")
    with users.session() as s:
        with s.savepoint() as undo:
            s.add("t_user", {"userName": "h"})
            undo.rollback()
        with pytest.raises(KeyError):
            with s.savepoint():
                s.add("t_user", {"userName": "i"})
                raise KeyError("boom")
        s.add("t_user", {"userName": "j"})
    assert _names(users) == list("abcdej")


def test_errors_of_the_database_come_through_unchanged(db):
    with pytest.raises(DBAPIError):
        db.query("select nothing from no_such_table")
    with pytest.raises(NoSuchTableError):
        db.add("no_such_table", {"a": 1})


def test_query_meta_describes_the_columns(users, engine_name):
    meta = users.query_meta('select id, userName as "name" from t_user where orgId = :orgId')
    assert list(meta) == ["id", "name"] and meta["name"].name == "name"
    # generic classes, as the extension's column typing compares them
    assert meta["id"].type is Integer and meta["name"].type is String and meta["id"].comment is None


def test_tables_are_reflected_and_refilled(db):
    assert "t_user" in db.tables and "userName" in db.tables["t_user"].c
    late = Table("t_late", MetaData(), *(Column(n, Integer, primary_key=n == "id") for n in ("id", "a", "b")))
    late.create(db.engine)
    assert db.add("t_late", {"a": 1})["a"] == 1  # a table made after reflection
    db.execute("alter table t_late drop column b")
    db.tables = {}
    db.reflect(extend_existing=True)
    assert list(db.tables["t_late"].c.keys()) == ["id", "a"] and "t_user" in db.tables


def test_double_quoted_aliases_name_columns(db, engine_name):
    assert db.query_one("select 'x' as \"mt.table\"") == {"mt.table": "x"}
    if engine_name == "mariadb":  # whatever mode the server runs in
        assert "ANSI_QUOTES" not in db.query_one("select @@SESSION.sql_mode as m").m


def test_url_defaults_to_the_environment_then_sqlite(monkeypatch, tmp_path):
    monkeypatch.setenv("DBPLUS_DATABASE_URL", f"sqlite:///{tmp_path}/env.sqlite3")
    assert Database().engine.url.database.endswith("env.sqlite3")
    monkeypatch.delenv("DBPLUS_DATABASE_URL")
    assert str(Database().engine.url) == "sqlite:///dbplus.sqlite3"


@pytest.mark.parametrize("make, error", [
    (lambda: Database("oracle://u@h/x"), ValueError),
    (lambda: Database("sqlite://", engine=Database("sqlite://").engine), TypeError),
])
def test_construction_refuses_what_it_cannot_serve(make, error):
    with pytest.raises(error):
        make()
