"""Tables as a stranger's database has them: pages of rows that share
their sort values, and columns added after the model was described."""

import pytest
from sqlalchemy import Column, Date, Integer, MetaData, String, Table

from ornivell.db.handle.attrdict import Dict

ROWS = 5000
READER = Dict(id=77, orgId=1)


@pytest.fixture(scope="module")
def many(metadata_db):
    from ornivell.db.admin.grants import add_role, assign_role, grant
    from ornivell.db.admin.modeling import add_model

    table = Table("s_many", MetaData(), Column("id", Integer, primary_key=True), Column("kind", String(8)))
    table.create(metadata_db.engine)
    with metadata_db.engine.begin() as connection:
        connection.execute(table.insert(), [{"id": i, "kind": "abc"[i % 3]} for i in range(1, ROWS + 1)])
    add_model(metadata_db, "many", "s_many")
    add_role(metadata_db, "pager")
    grant(metadata_db, "pager", "many", operations=["query"])
    assign_role(metadata_db, "pager", READER.id)
    return metadata_db


@pytest.mark.parametrize("order, model_order", [
    ({"order": [{"kind": "asc"}]}, None), ({}, "kind"), ({}, None),
], ids=["client", "model", "default"])
def test_pages_of_a_few_distinct_sort_values_are_slices_of_one_order(many, order, model_order):
    from ornivell.db._dbplus import DbPlus

    many.execute("update _model set orderBy=:order where model='many'", order=model_order)
    dp = DbPlus(many)
    seen = []
    for page in range(1, ROWS // 13 + 2):
        res, status = dp.search(READER, "many", {"page": page, "limit": 13, **order})
        assert status == 200
        seen += [row["id"] for row in res.data]
    assert len(seen) == ROWS and len(set(seen)) == ROWS


def test_the_key_is_the_default_order_and_a_view_without_one_is_checked(many, dbplus):
    assert many.query("select orderAsDefault from _prop where model='many' and name='id'")[0]["orderAsDefault"] == 1
    many.execute("create view s_kinds as select kind from s_many")
    assert dbplus(many, "model", "add", "kinds", "--table", "s_kinds").status == 0
    done = dbplus(many, "model", "check", "kinds")
    assert done.status == 1
    assert done.out.splitlines() == [
        "check:", "  the model has no key (no property id, no one-column primary key): its pages may repeat or skip rows"]


def test_dates_before_1900_read_back_as_the_same_dates(many, tmp_path, monkeypatch):
    import datetime

    from openpyxl import load_workbook

    from ornivell.db._dbplus import DbPlus
    from ornivell.db.admin.grants import grant
    from ornivell.db.admin.modeling import add_model

    table = Table("s_old", MetaData(), Column("id", Integer, primary_key=True), Column("born", Date))
    table.create(many.engine)
    with many.engine.begin() as connection:
        connection.execute(table.insert(), [{"id": 1, "born": datetime.date(1850, 3, 1)},
                                            {"id": 2, "born": datetime.date(1999, 12, 31)}])
    add_model(many, "old", "s_old")
    grant(many, "pager", "old", operations=["export"])
    monkeypatch.setenv("DBPLUS_EXPORT_DIR", str(tmp_path))
    written, status = DbPlus(many).export(READER, "old", {"order": [{"id": "asc"}]})
    assert status == 200
    _, *rows = load_workbook(written["path"], read_only=True).active.iter_rows(values_only=True)
    born = [row[0] for row in rows]
    assert born[0] in (datetime.datetime(1850, 3, 1), "1850-03-01")
    assert born[1] in (datetime.datetime(1999, 12, 31), "1999-12-31")


def test_a_column_added_later_stays_hidden_from_every_role_until_shown(many, dbplus):
    from ornivell.db._dbplus import DbPlus

    many.execute("alter table s_many add ssn varchar(11)")
    done = dbplus(many, "model", "sync", "many")
    assert done.status == 0 and "added ssn, hidden from every role until shown" in done.out, done.err
    many.reflect()  # this handle's tables as the command found them

    def shown():
        res, status = DbPlus(many).search(READER, "many", {"limit": 1})
        return status == 200 and "ssn" in res.data[0]

    assert not shown()
    done = dbplus(many, "grant", "pager", "many", "--show", "ssn")
    assert done.status == 0 and done.out == "pager sees many.ssn again\n" and shown()


def test_columns_named_with_a_blank_or_a_quote_are_read_or_refused_with_a_reason(many, dbplus):
    from ornivell.db._dbplus import DbPlus
    from ornivell.db.admin.grants import grant

    table = Table("s_odd", MetaData(), Column("id", Integer, primary_key=True), Column("zip code", String(10)),
                  Column("Credit Score", Integer), Column("it's", String(5)))
    table.create(many.engine)
    with many.engine.begin() as connection:
        connection.execute(table.insert(), [{"id": 1, "zip code": "12345", "Credit Score": 700, "it's": "x"}])
    done = dbplus(many, "model", "add", "odd", "--table", "s_odd")
    assert done.status == 0, done.err
    grant(many, "pager", "odd", operations=["query"])
    many.reflect()
    res, status = DbPlus(many).search(READER, "odd", {"order": [{"id": "asc"}]})
    assert status == 200 and res.data == [{"id": 1, "zip code": "12345", "Credit Score": 700, "it's": "x"}]

    Table("s_odder", MetaData(), Column("id", Integer, primary_key=True), Column('say "hi"', String(5))).create(
        many.engine)
    done = dbplus(many, "model", "add", "odder", "--table", "s_odder")
    assert done.status == 1 and done.out == "" and len(done.err.splitlines()) == 1
    assert 'holds a double quote, which no property name may hold' in done.err
    assert not many.query("select * from _model where model='odder'")
