"""A table and a view described as models in one step, then altered and synced: the property rows
follow the columns, on every engine."""

import json

import pytest
from sqlalchemy import Boolean, Column, DateTime, Integer, MetaData, String, Table

ITEM = "d_item"


@pytest.fixture(scope="module")
def shop(metadata_db):
    table = Table(ITEM, MetaData(), Column("id", Integer, primary_key=True),
                  Column("name", String(50), comment="品名"), Column("qty", Integer), Column("madeAt", DateTime),
                  Column("isOn", Boolean))
    table.create(metadata_db.engine)
    metadata_db.execute(f"insert into {ITEM} (id, name, qty, isOn) values (1, 'bolt', 5, true), (2, 'nut', 7, false)")
    return metadata_db


def props(db, model):
    rows = db.query("select * from _prop where model=:model order by displayOrder", model=model)
    return {p.name: (p.column, p.dataType, p.displayName, p.selectEnabled, p.searchEnabled) for p in rows}


def replace_view(db, columns):
    db.execute("drop view if exists d_item_v")
    db.execute(f"create view d_item_v as select {columns} from {ITEM}")


def test_a_table_described_altered_and_synced(shop, dbplus, engine_name):
    done = dbplus(shop, "model", "add", "item", "--table", ITEM, "--display-name", "Items")
    assert done.status == 0, done.err
    assert done.out.splitlines() == ["model item on d_item: 5 properties", "added id", "added name", "added qty",
                                     "added madeAt", "added isOn"]
    named = "品名" if engine_name != "sqlite" else "Name"  # SQLite keeps no column comments
    assert props(shop, "item") == {
        "id": ("id", "integer", "Id", 1, 0), "name": ("name", "string", named, 1, 1),
        "qty": ("qty", "integer", "Qty", 1, 0), "madeAt": ("madeAt", "datetime", "MadeAt", 1, 0),
        "isOn": ("isOn", "bool", "IsOn", 1, 0)}

    shop.execute(f"alter table {ITEM} add price numeric(10, 2)")
    shop.execute(f"alter table {ITEM} drop column qty")
    done = dbplus(shop, "model", "sync", "item")
    assert done.status == 0, done.err
    assert done.out.splitlines() == ["added price", "removed qty"]
    assert list(props(shop, "item")) == ["id", "name", "madeAt", "isOn", "price"]
    assert props(shop, "item")["price"] == ("price", "string", "Price", 1, 0)  # a decimal has no type name

    assert dbplus(shop, "model", "sync", "item").out == "properties already in step\n"


def test_a_view_described_altered_synced_and_searched(shop, dbplus):
    replace_view(shop, "id, name")
    assert dbplus(shop, "model", "add", "itemv", "--table", "d_item_v").status == 0
    assert list(props(shop, "itemv")) == ["id", "name"]
    replace_view(shop, "id, name, isOn as active")
    assert dbplus(shop, "model", "sync", "itemv").out.splitlines() == ["added active"]
    replace_view(shop, "id, isOn as active")
    assert dbplus(shop, "model", "sync", "itemv").out.splitlines() == ["removed name"]

    for args in (("role", "add", "viewer"), ("grant", "viewer", "itemv", "--ops", "query"),
                 ("role", "assign", "viewer", "41")):
        assert dbplus(shop, *args).status == 0
    done = dbplus(shop, "search", "itemv", "--user-json", '{"id": 41}', "--json", "--order", '["id"]')
    assert done.status == 0, done.err
    assert [row["id"] for row in json.loads(done.out)["data"]] == [1, 2]
    done = dbplus(shop, "get", "itemv", "2", "--user-json", '{"id": 41}', "--json")
    assert done.status == 0 and '"active": ' in done.out
