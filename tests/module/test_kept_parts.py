"""What build_sql_blocks derives from a loaded model is kept with the ModelInfo and reused only while everything
it was made from is the same: a model, row, table map or hidden set changed in place shows at once."""

import gc
import weakref

import pytest

from ornivell.db import _dbplus as dp


def block_of(plus, info, **kw):
    return {k: v for k, v in vars(plus.build_sql_blocks(info, **kw)).items() if k != "metadata"}


def fresh_copy(info):
    """The same model in another ModelInfo, for which nothing is kept yet."""
    copy = dp.ModelInfo()
    vars(copy).update(vars(info))
    return copy


@pytest.fixture
def model(fk, db):
    db.tables["lookup"] = None  # a translation table the handle does not know yet
    flags = dict(selectEnabled=1, searchEnabled=1, filterEnabled=1, orderEnabled=1, orderAsDefault=1)
    info = fk.make_info(
        fk.prop("id", selectEnabled=1), fk.prop("name", **flags), fk.prop("code", selectEnabled=1, matchEnabled=1),
        fk.prop("d.name", table="dept", column="name", selectEnabled=1, exportEnabled=1),
        fk.prop("deptCode", table="dept", column="code", selectEnabled=1),
        fk.prop("deptId", transTable="dept.id", transColumns="name,code", selectEnabled=1),
        fk.prop("isOn", transTable="lookup.id", transColumns="name", selectEnabled=1, searchEnabled=1),
        alias="e", tables=[db.tables["t"], db.tables["dept"]],
        join_tables=[dict(table="dept", alias="d", join="left join dept d on d.id = e.deptId", order=1)])
    hidden = set()
    plus = dp.DbPlus(db)
    fk.warm(plus, info, hidden=())
    plus._write_cache("/acl_prop/1/m", hidden)
    return plus, info, hidden


EDITS = {
    "a flag of a row": lambda fk, db, info, hidden: info.props["name"].update(searchEnabled=0),
    "a column of a row": lambda fk, db, info, hidden: info.props["code"].update(column="deptId"),
    "a row added": lambda fk, db, info, hidden: info.props.update(more=fk.prop("more", column="code",
                                                                                selectEnabled=1)),
    "a row removed": lambda fk, db, info, hidden: info.props.pop("code"),
    "a row replaced": lambda fk, db, info, hidden: info.props.update(id=fk.prop("id", exportEnabled=1)),
    "the model's alias": lambda fk, db, info, hidden: info.model.update(alias="x"),
    "the model's SQL": lambda fk, db, info, hidden: info.model.update(sql="select 1"),
    "a join's text": lambda fk, db, info, hidden: info.join_tables[0].update(join="left join dept dd on 1 = 1"),
    "a join's order": lambda fk, db, info, hidden: info.join_tables[0].update(order=7),
    "a table of the model": lambda fk, db, info, hidden: info.tables.update(dept=fk.Table("dept", "id")),
    "the model's tables": lambda fk, db, info, hidden: setattr(info, "tables", {"t": db.tables["t"]}),
    "a hidden property": lambda fk, db, info, hidden: hidden.add("name"),
    "a table the handle reads later": lambda fk, db, info, hidden: db.tables.update(lookup=fk.Table("lookup", "id",
                                                                                                    "name")),
    "the handle's table map": lambda fk, db, info, hidden: setattr(db, "tables", {"t": db.tables["t"]}),
}


@pytest.mark.parametrize("edit", EDITS.values(), ids=EDITS.keys())
def test_a_change_in_place_shows_in_the_next_block(fk, db, model, edit):
    plus, info, hidden = model
    ctx = {"user": fk.user()}
    first = block_of(plus, info, ctx=ctx)
    assert block_of(plus, info, ctx=ctx) == first  # the kept part
    edit(fk, db, info, hidden)
    changed = block_of(plus, info, ctx=ctx)
    assert changed == block_of(plus, fresh_copy(info), ctx=ctx) != first


KEY_EDITS = {
    **EDITS,
    "the key's column": lambda fk, db, info, hidden: info.props["id"].update(column="code"),
    "the key's table": lambda fk, db, info, hidden: info.props["id"].update(table="dept"),
    "no key property": lambda fk, db, info, hidden: info.props.pop("id"),
    "the key's column gone": lambda fk, db, info, hidden: info.tables.update(t=fk.Table("t", "name", "code")),
}


@pytest.mark.parametrize("edit", KEY_EDITS.values(), ids=KEY_EDITS.keys())
def test_the_key_that_ends_the_order_follows_a_change_in_place(fk, db, model, edit):
    plus, info, hidden = model

    def order():
        statement, status = plus.build_sql(fk.user(), "m", {})
        assert status == 200
        return statement.orderby

    first = order()
    assert order() == first
    edit(fk, db, info, hidden)
    changed = order()
    plus._write_cache("/model/m/1", fresh_copy(info))
    assert changed == order()


def _typed_table(key_type):
    import sqlalchemy as sa

    return sa.Table("t", sa.MetaData(), sa.Column("id", sa.Integer), sa.Column("kid", key_type),
                    sa.Column("name", sa.String))


RECORD_KEY_EDITS = {
    "the key's column": lambda info: info.props["id"].update(column="name"),
    "the key's table": lambda info: info.props["id"].update(table="dept"),
    "the main table": lambda info: setattr(info, "main_table", _typed_table(__import__("sqlalchemy").String)),
    "the key column gone": lambda info: info.main_table._columns.remove(info.main_table.c.kid),
    "the key column's type": lambda info: setattr(info.main_table.c.kid, "type", __import__("sqlalchemy").String()),
    # the collection a table keeps once asked for, replaced under it
    "the table's columns": lambda info: vars(info.main_table).update(c=_typed_table(__import__("sqlalchemy").String).c),
    "the model's alias": lambda info: info.model.update(alias="x"),
}


@pytest.mark.parametrize("edit", RECORD_KEY_EDITS.values(), ids=RECORD_KEY_EDITS.keys())
def test_a_records_key_and_its_binding_follow_a_change_in_place(fk, db, edit):
    import sqlalchemy as sa

    info = fk.make_info(fk.prop("id", column="kid", selectEnabled=1), fk.prop("name", selectEnabled=1),
                        tables=[_typed_table(sa.Integer)])
    plus = dp.DbPlus(db)
    fk.warm(plus, info)

    def read():
        del db.calls[:]
        plus.query_one(fk.user(), "m", "5")
        return db.runs

    assert read() == read()
    edit(info)
    changed = read()
    plus._write_cache("/model/m/1", fresh_copy(info))
    assert changed == read()


def test_the_kept_part_is_the_one_the_selection_and_the_quoting_made(fk, db, model):
    plus, info, _ = model
    assert block_of(plus, info, filter_props={"name"})["select_columns"] == ['"e"."name"']
    assert len(block_of(plus, info)["select_columns"]) == 9
    assert block_of(plus, info, filter_props={"code"})["select_columns"] == ['"e"."code"']

    class Quoting(dp.DbPlus):
        def escape(self, key):
            return f"[{key}]"

    assert block_of(Quoting(db), info)["select_columns"][0] == "[e].[id]"
    db.escape = lambda key: f"`{key}`"
    assert block_of(plus, info)["select_columns"][0] == "`e`.`id`"


def test_what_a_block_hands_out_is_the_callers_own(fk, model):
    plus, info, _ = model
    block = plus.build_sql_blocks(info)
    for field, value in vars(block).items():
        if isinstance(value, list):
            value.append("changed by the caller")
    assert "changed by the caller" not in str(vars(plus.build_sql_blocks(info)))


def test_a_replaced_table_name_method_is_asked_for_every_block(fk, model, monkeypatch):
    plus, info, _ = model
    asked = []
    block_of(plus, info)
    monkeypatch.setattr(dp.ModelInfo, "table_name", lambda self, table: asked.append(table) or "x_" + table)
    block = block_of(plus, info)  # the part kept before is not the one this method makes
    once = len(asked)
    assert block == block_of(plus, fresh_copy(info))
    assert once and len(asked) == 2 * once


def test_what_is_kept_goes_with_the_model(fk, db, plus):
    info = fk.make_info(fk.prop("name", selectEnabled=1), tables=[db.tables["t"]])
    fk.warm(plus, info)
    block_of(plus, info, ctx={"user": fk.user()})
    gone = weakref.ref(info)
    plus.clear_cache()
    del info
    gc.collect()
    assert gone() is None


COLUMN_EDITS = {
    # as reflection into the same object does
    "a column added": (lambda table, sa: table.append_column(sa.Column("code", sa.String)), ["id", "name", "code"]),
    "a column dropped": (lambda table, sa: table._columns.remove(table.c.name), ["id"]),
}


@pytest.mark.parametrize("edit, shown", COLUMN_EDITS.values(), ids=COLUMN_EDITS.keys())
def test_columns_changed_in_place_on_a_table_object_show_at_once(fk, db, edit, shown):
    import sqlalchemy as sa

    table = sa.Table("t", sa.MetaData(), sa.Column("id", sa.Integer), sa.Column("name", sa.String))
    db.tables["t"] = table
    info = fk.make_info(*(fk.prop(name, selectEnabled=1) for name in ("id", "name", "code")), tables=[table])
    plus = dp.DbPlus(db)
    assert plus.build_sql_blocks(info).select_columns == ['"t"."id"', '"t"."name"']
    edit(table, sa)
    assert plus.build_sql_blocks(info).select_columns == [f'"t"."{name}"' for name in shown]


def test_find_link_domains_carries_its_description():
    assert dp.DbPlus.find_link_domains.__doc__.endswith("处理关联表支持表头字典过滤\n")
