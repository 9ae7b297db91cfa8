"""Many rounds of the frame's and the composition's operations, error paths included, leak no memory or references."""

import gc
import os
import sys
import types

import pytest

from ornivell.db import _dbplus as dp
from ornivell.db import jsql
from ornivell.db.db import Dict

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


@pytest.fixture
def scene(fk, db, parser):
    plus = dp.DbPlus(db)
    info = fk.make_info(
        fk.prop("id", selectEnabled=1), fk.prop("name", selectEnabled=1, searchEnabled=1, orderEnabled=1,
                                               orderAsDefault=1),
        fk.prop("cnt", column="count(1)", asEnabled=1, selectEnabled=1),
        fk.prop("deptId", transTable="dept.id", transColumns="name,code", selectEnabled=1, exportEnabled=1,
                filterEnabled=1),
        alias="e", where="o = $user.orgId", tables=[db.tables["t"], db.tables["dept"]],
        join_tables=[dict(table="dept", alias="d", join="left join dept d on d.u = $user.id", order=1)])
    fk.warm(plus, info, acl_data=[Dict(cond="a = $user.orgId", join="left join z", order=2)],
            ops=("queryEnabled", "exportEnabled"))
    return plus, db, info


@pytest.fixture
def exports(scene, fk, monkeypatch):
    """Export pages of one row, a dictionary for it and a writer that writes nothing."""
    plus, db, info = scene
    for order, prop in enumerate(info.props.values()):
        prop["displayOrder"] = order
    info.props["name"]["transDict"] = "names"
    user = fk.user(orgId=7)
    sql = plus.build_sql(user, "m", args={})[0].to_sql(export=True)
    db.reply(sql, types.SimpleNamespace(data=[]))
    db.reply(sql, types.SimpleNamespace(data=[Dict(id=1, name=1)]), page=1)
    db.in_clause = lambda key, values: ("(:v)", {"v": values[0]})
    db.reply('select * from _dict where domain in (:v) order by "order"',
             [Dict(domain="names", key="1", value="one", order=1)])
    monkeypatch.setattr(dp, "create_sheet", lambda *args: ("p", "f"))


def test_repeated_operations_do_not_leak(scene, fk, parser, exports):
    plus, db, info = scene
    user = fk.user(orgId=7)
    ctx = {"user": user}
    args = {"key": "k", "where": {"sql": "w = :w", "params": {"w": 1}}, "order": ["x"], "limit": "20"}
    text = "a = $user.orgId and b = $user.id and $missing"
    pairs = [("a", 2), ("m", -1), ("b", 2)]
    odd_pairs = [("a", 2.5), ("m", -1)]
    bad_pairs = [("a", 1), ("b", None)]
    key, value = "/k/", ["v"]
    bounded = dp.DbPlus(db)
    bounded.cache_limit = 2
    bad_rule = [Dict(cond="a", join="left join q", order="x", name="r", model="bad")]
    plus._write_cache("/acl_data/1/bad", bad_rule)
    db.reply(fk.MODEL_SQL, [fk.model_row(model="q")], model="q")
    db.reply(fk.PROP_SQL, [fk.prop('a"b')], model="q")
    no_column = fk.prop("nc", selectEnabled=1, asEnabled=1)
    no_column.column = None
    bad_info = fk.make_info(no_column, tables=[db.tables["t"]])
    watched = (plus, db, info, user, ctx, args, text, pairs, key, value, bounded, bad_rule, bad_info)

    def round_():
        for cls in (dp.SqlBlock, dp.SqlResult, dp.PermCheckResult, dp.ModelInfo):
            cls()
        dp.DbPlus(db)
        res = dp.SqlResult()
        res.columns, res.tables, res.conds, res.orderby = ["a", "b"], ["t"], ["(x)"], ["o", "o"]
        res.to_sql()
        res.to_sql(export=True)
        block = dp.SqlBlock()
        block.join_tables = pairs
        block.sorted_join_tables()
        block.join_tables = odd_pairs
        block.sorted_join_tables()
        dp.trim_get(args, "limit")
        plus._write_cache(key, value)
        plus._read_cache(key)
        for k in ("a", "b", key):
            bounded._write_cache(k, value)
        bounded._read_cache("b")
        bounded.acl_prop(1, "m")
        plus.normalize_sql(text, ctx)
        plus.build_sql_blocks(info, ctx=ctx)
        plus.build_sql(user, "m", args=args)[0].to_sql()
        plus.search(user, "m", args)
        plus.query_one(user, "m", 3)
        plus.check_perm(user, "m", "deleteEnabled", "删除")
        plus.export(user, "m", {})
        plus.find_dict_domains()
        plus.find_link_domains(user, info)
        info.table_name("t")
        info.db_table("d")
        for failing, error in (
            (lambda: plus.build_acl_cond_sql({}, "m"), Exception),
            (lambda: plus.normalize_sql("$user.id", None), AttributeError),
            (lambda: plus.search(user, "m", args, ["x"], {"page": 1}), TypeError),
            (lambda: plus.search(user, "m", {"limit": "x"}), ValueError),
            (lambda: plus.search(user, "m", {"limit": float("inf")}), ValueError),
            (lambda: plus.search(user, "m", {"key": True}), ValueError),
            (lambda: plus.search(user, "m", {"key": "k\0"}), ValueError),
            (lambda: plus.query_one(user, "m", "3\0"), ValueError),
            (lambda: plus.query_one(user, "m", 2 ** 70), ValueError),
            (lambda: plus.parse_join_cond({"joinCond": "[1]"}, info), ValueError),
            (lambda: plus.parse_join_cond({"joinCond": "{x"}, info), ValueError),
            (lambda: plus.build_acl_cond_sql(ctx, "bad"), dp.MetadataError),
            (lambda: bounded.model_info("q"), dp.MetadataError),
            (lambda: plus.build_sql_blocks(bad_info), dp.MetadataError),
            (lambda: setattr(block, "join_tables", bad_pairs) or block.sorted_join_tables(), dp.MetadataError),
            (lambda: dp.trim_get({"k": 1}, "k"), AttributeError),
            (lambda: plus.export(user, "m", {}, ["x"], {"page": 1}), TypeError),
            (lambda: plus.find_dict_domains(None), TypeError),
        ):
            try:
                failing()
            except error:
                pass
        db.calls.clear()
        parser.made.clear()

    assert_steady(round_, watched)


def assert_steady(round_, watched, warm_up=2000, rounds=12000):
    """Many rounds keep the reference counts of ``watched`` and grow no memory to speak of."""
    for _ in range(warm_up):
        round_()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    before = resident_bytes()
    for _ in range(rounds):
        round_()
    gc.collect()
    grown = resident_bytes() - before
    assert [sys.getrefcount(o) for o in watched] == counts
    assert grown < 8 * 1024 * 1024, f"resident memory grew by {grown} bytes"


def test_kept_parts_and_filters_parsed_in_the_module_do_not_leak(fk):
    handle = fk.SqlHandle()
    plus, user, info = dp.DbPlus(handle), fk.user(), fk.person_info()
    fk.warm(plus, info, acl_data=[Dict(cond="p.age > $user.id", join=None, order=0)])
    parsed = {"key": "k", "where": {"_or": [{"name": {"_contains": "a"}}, {"age": {"_in": [1, "2"]}}]},
              "order": [{"name": "desc"}], "joinCond": {"d": {"d.name": "x"}}}
    left_to_jsql = {"where": {"_or": [{"name": "x"}, {}]}, "order": '["age"]'}
    refused = [{"where": {"nobody": 1}}, {"where": {"age": "x"}}, {"order": [{"name": "up"}]}]
    watched = (plus, handle, info, user, parsed, left_to_jsql)

    def round_():
        plus.build_sql(user, "person", parsed)[0].to_sql()
        plus.build_sql(user, "person", left_to_jsql)
        for args in refused:
            try:
                plus.build_sql(user, "person", args)
            except jsql.JsonSqlError:
                pass
        # a model loaded anew each time: what was kept for the last one goes with it
        plus.build_sql_blocks(fk.person_info())

    assert_steady(round_, watched, warm_up=500, rounds=4000)


def test_repeated_writes_do_not_leak(fk, write_db):
    plus = dp.DbPlus(write_db)
    info = fk.make_info(fk.prop("id"), fk.prop("name", selectEnabled=1, createUserEnabled=1, updateTimeEnabled=1),
                        fk.prop("code", validateEnabled=1, autoGen="seq"), fk.prop("by", autoGen="uuid"),
                        alias="e", tables=[write_db.tables["t"]])
    fk.warm(plus, info, acl_data=[Dict(cond="a = $user.orgId", join="left join z", order=2)],
            ops=("createEnabled", "updateEnabled", "deleteEnabled"))
    user = fk.user(orgId=7)
    watched = (plus, write_db, info, user)

    def round_():
        plus.create(user, "m", {"name": "n"})
        plus.create_many(user, "m", [{"code": "c"}, {}])
        plus.update(user, "m", {"id": 1, "name": "x"})
        plus.update(user, "m", {"name": "x"})
        plus.update_many(user, "m", [{"id": 1}, {"id": 2}])
        plus.delete(user, "m", 1)
        plus.relation(user, "m", "name", [1], "code", [2])
        plus.relation_update(user, "m", [{"name": 1}, {"nope": 2}], [{"name": 1}])
        plus.primary_key_cond({}, write_db.tables["t"])
        try:
            plus.generate_seq("s", Dict(id=1))
        except AttributeError:
            pass
        write_db.calls.clear()

    assert_steady(round_, watched, warm_up=500, rounds=4000)
