"""Context variables, data-permission conditions, client conditions, block assembly and the search statement."""

import logging
import types

import pytest

from ornivell.db import _dbplus as dp
from ornivell.db.db import Dict

U = Dict(id=1, orgId=7, code="C", dept="D", idx=2)


# normalize_sql

class Broken(dict):
    def get(self, key, default=None):
        raise LookupError(key)


@pytest.mark.parametrize("sql, ctx, text, params", [
    ("a.org_id = $user.orgId", {"user": U}, "a.org_id = :user_orgId", {"user_orgId": 7}),
    ("$user.id = x or $user.id = y", {"user": U}, ":user_id = x or :user_id = y", {"user_id": 1}),
    ("$user.id + $user.idx", {"user": U}, ":user_id + :user_idx", {"user_id": 1, "user_idx": 2}),
    ("$user.idx + $user.id", {"user": U}, ":user_idx + :user_id", {"user_id": 1, "user_idx": 2}),
    ("$ab $abc $ab", {"ab": 1, "abc": 0}, ":ab $abc :ab", {"ab": 1}),
    ("$abc $ab", {"ab": 1}, "$abc :ab", {"ab": 1}),
    ("o = $user.orgId", {"user": Dict(orgId=None)}, "o = :user_orgId", {"user_orgId": None}),
    ("o = $user.nope", {"user": Dict(orgId=1)}, "o = :user_nope", {"user_nope": None}),
    ("d = $dept", {"dept": 0}, "d = $dept", {}),
    ("d = $dept", {}, "d = $dept", {}),
    ("d = $user.dept.id", {"user": U}, "d = :user_dept.id", {"user_dept": "D"}),
    ("n = $num.x", {"num": 5}, "n = $num.x", {}),
    ("n = $b.x", {"b": Broken(x=1)}, "n = $b.x", {}),
    ("$u = 1 and $a.b = 2", {"u": 1, "a": {"b": 3}}, "$u = 1 and :a_b = 2", {"a_b": 3}),
    ("$ab. and $$ab", {"ab": "v"}, ":ab. and $:ab", {"ab": "v"}),
    ("$用户.编号 = 1 and $abé", {"用户": {"编号": 3}, "ab": 1}, ":用户_编号 = 1 and $abé", {"用户_编号": 3}),
    ("no tokens", None, "no tokens", {}),
])
def test_normalize_sql(plus, sql, ctx, text, params):
    assert plus.normalize_sql(sql, ctx) == (text, params)


class Text(str):
    pass


@pytest.mark.parametrize("text", ["a = $user.orgId and b = $dept or c = $dept",
                                  Text("a = $user.orgId and b = $dept or c = $dept")])
def test_normalize_sql_binds_the_same_text_for_each_context(plus, text):
    # the text's tokens are found once; which of them bind depends on each call's context
    assert plus.normalize_sql(text, {"user": U, "dept": 3}) == (
        "a = :user_orgId and b = :dept or c = :dept", {"user_orgId": 7, "dept": 3})
    assert plus.normalize_sql(text, {"user": U}) == ("a = :user_orgId and b = $dept or c = $dept", {"user_orgId": 7})
    assert plus.normalize_sql(text, {"user": Dict(orgId=0), "dept": 1}) == (
        "a = :user_orgId and b = :dept or c = :dept", {"user_orgId": 0, "dept": 1})
    assert plus.normalize_sql(text, {"dept": 1}) == ("a = $user.orgId and b = :dept or c = :dept", {"dept": 1})


def test_normalize_sql_escapes_once_after_replacing(plus, db):
    db.force_escape_sql = True
    assert plus.normalize_sql("a = $user.id and b = $user.id", {"user": U}) == ("<a = :user_id and b = :user_id>",
                                                                                 {"user_id": 1})
    assert plus.normalize_sql("plain", {}) == ("<plain>", {})
    assert [c.args for c in db.calls] == [("a = :user_id and b = :user_id",), ("plain",)]


def test_normalize_sql_token_without_context(plus):
    with pytest.raises(AttributeError):
        plus.normalize_sql("x = $user.id", None)


# build_acl_cond_sql

@pytest.mark.parametrize("ctx", [{}, {"user": None}, {"user": {}}])
def test_build_acl_cond_sql_requires_a_user(plus, db, ctx):
    with pytest.raises(Exception) as caught:
        plus.build_acl_cond_sql(ctx, "m")
    assert type(caught.value) is Exception and str(caught.value) == "user object must included in ctx"
    assert db.calls == []


def test_build_acl_cond_sql(plus, db, fk):
    db.reply(fk.acl_data_sql(), uid=1, result=[
        Dict(cond="a.org = $user.orgId", join="left join o on o.u = $user.id", order=3),
        Dict(cond=None, join="left join o on o.u = $user.id", order=1),
        Dict(cond="b = 1", join="", order=None),
        {"cond": "c = $user.code", "join": "left join p", "order": 2},
    ])
    ctx = {"user": U}
    assert plus.build_acl_cond_sql(ctx, "m") == (
        ["a.org = :user_orgId", "b = 1", "c = :user_code"], {"user_orgId": 7, "user_id": 1, "user_code": "C"},
        [("left join o on o.u = :user_id", 3), ("left join p", 2)])
    assert db.runs == [("query", (fk.acl_data_sql(),), [("model", "m"), ("uid", 1), ("session", None)])]
    assert plus.build_acl_cond_sql(ctx, "m")[0] == ["a.org = :user_orgId", "b = 1", "c = :user_code"]
    assert plus.build_acl_cond_sql({"user": Dict(id=2)}, "m") == ([], {}, []) and len(db.runs) == 2
    with pytest.raises(KeyError):
        plus.build_acl_cond_sql({"user": Dict(name="x")}, "m")


@pytest.mark.parametrize("cond", [None, "", "   ", "\n\t", "\u3000\u00a0"])
def test_a_rule_without_a_condition_is_dropped_and_logged(plus, db, fk, caplog, cond):
    db.reply(fk.acl_data_sql(), uid=1, result=[Dict(cond=cond, join=None, order=0, name="open", model="m"),
                                               Dict(cond="b = 1", join=None, order=0, name="b", model="m")])
    with caplog.at_level(logging.WARNING, logger=dp.__name__):
        assert plus.build_acl_cond_sql({"user": U}, "m") == (["b = 1"], {}, [])
    assert caplog.messages == ["row rule 'open' on 'm' has no condition and limits no rows"]


@pytest.mark.parametrize("order, shown", [("first", "'first'"), (None, "None")])
def test_a_rule_join_whose_order_is_not_a_number_is_refused_where_joins_are_sorted(plus, db, fk, order, shown):
    db.reply(fk.acl_data_sql(), uid=1, result=[Dict(cond="a", join="left join z", order=order, name="r", model="m")])
    conds, params, joins = plus.build_acl_cond_sql({"user": U}, "m")
    assert (conds, joins) == (["a"], [("left join z", order)])
    block = dp.SqlBlock()
    block.join_tables = [('"t" "t"', -1), *joins]
    with pytest.raises(dp.MetadataError, match=f"^model join 'left join z' .*: the order {shown} is not a number$"):
        block.sorted_join_tables()


# add_cond and the client's conditions

@pytest.mark.parametrize("new, rel, expected", [
    (["b = :b", "c = :c"], (), "(b = :b and c = :c)"), (["b", "c"], ("or",), "(b or c)"),
    (["b"], ("and",), "(b)"), (["b", "c"], (5,), "(b 5 c)"), ([], (), "()"),
])
def test_add_cond(plus, new, rel, expected):
    conds = ["a = 1"]
    assert plus.add_cond(conds, new, *rel) is None
    assert conds == ["a = 1", expected]


@pytest.mark.parametrize("args", [{}, {"where": {}}, {"where": None, "joinCond": {}, "order": []}])
def test_absent_client_parts_create_no_parser(plus, parser, args):
    info = dp.ModelInfo()
    assert plus.parse_where_cond(args, info) == ([], {})
    assert plus.parse_join_cond(args, info) == ({}, {})
    assert plus.parse_orderby(args, info) is None
    assert parser.made == []


def test_parse_where_and_order(plus, db, parser):
    info, order = dp.ModelInfo(), ["x desc"]
    args = {"where": {"sql": "a = :p", "params": {"p": 1}}, "order": order}
    assert plus.parse_where_cond(args, info) == (["a = :p"], {"p": 1})
    assert plus.parse_orderby(args, info) is order
    assert plus.parse_where_cond({"where": {"params": {"q": 2}}}, info) == ([], {"q": 2})
    assert [(p.args, p.kwargs) for p in parser.made] == [((info, db), {})] * 3
    assert parser.made[0].calls == [("parse_cond", args["where"])]
    assert parser.made[1].calls == [("parse_orderby", order)]


def test_parse_join_cond_shares_one_parser_and_params(plus, parser):
    info = dp.ModelInfo()
    join = {"d": {"sql": "d.a = :p", "params": {"p": 1}}, "x": {"sql": "", "params": {"q": 2}}}
    assert plus.parse_join_cond({"joinCond": join}, info) == ({"d": "d.a = :p"}, {"p": 1, "q": 2})
    assert len(parser.made) == 1 and parser.made[0].calls == [("parse_cond", join["d"]), ("parse_cond", join["x"])]



@pytest.mark.parametrize("join_cond, error", [
    ([{"sql": "a"}], "joinCond: expected an object of filters by joined table, got list"),
    ('["d"]', "joinCond: expected an object of filters by joined table, got list"),
    ("{'d': 1}", r"joinCond: not valid JSON \(Expecting property name"),
    ("[" * 100000, r"joinCond: not valid JSON \(maximum recursion depth"),
])
def test_join_filters_that_are_not_an_object_are_a_client_error(plus, parser, join_cond, error):
    with pytest.raises(ValueError, match=error):
        plus.parse_join_cond({"joinCond": join_cond}, dp.ModelInfo())
    assert not parser.made


def test_join_filters_sent_as_json_text(plus, parser):
    parsed = plus.parse_join_cond({"joinCond": '{"d": {"sql": "d.a = :p", "params": {"p": 1}}}'}, dp.ModelInfo())
    assert parsed == ({"d": "d.a = :p"}, {"p": 1})


# build_sql_blocks

def blocks(plus, info, **kw):
    b = plus.build_sql_blocks(info, **kw)
    return {k: v for k, v in vars(b).items() if v not in ([], {}, None, False)}


def test_blocks_minimal_model(plus, fk, db):
    name = fk.prop("name", selectEnabled=1, searchEnabled=1)
    info = fk.make_info(name, tables=[db.tables["t"]])
    assert blocks(plus, info) == {
        "select_columns": ['"t"."name"'], "export_columns": ['"t"."name"'], "join_tables": [('"t" "t"', -1)],
        "search_columns": ['"t"."name"'], "metadata": info, "export_props": [name]}
    assert db.runs == []


def test_blocks_export_fallback_is_a_new_list(plus, fk, db):
    block = plus.build_sql_blocks(fk.make_info(fk.prop("name", selectEnabled=1), tables=[db.tables["t"]]))
    assert block.export_columns == block.select_columns and block.export_columns is not block.select_columns


def test_blocks_sql_defined_model_and_joins(plus, fk, db):
    info = fk.make_info(
        fk.prop("name", table="v", selectEnabled=1, filterEnabled=1), alias="e", table="v",
        sql=" select * from x where o = $user.orgId ",
        join_tables=[
            dict(table="dept", alias="d", join="left join dept d on d.id = v.deptId and d.o = $user.code", order=2),
            dict(table="x", order=1), dict(table="y", alias="yy", join="", order=0)])
    fk.warm(plus, info)
    jc = {"d": "d.type = :p1", "x": "x.a = 1"}
    assert blocks(plus, info, join_cond=jc, ctx={"user": U}) == {
        "join_tables": [("(select * from x where o = :user_orgId) as v", -1),
                        ("left join dept d on d.id = v.deptId and d.o = :user_code and d.type = :p1", 2),
                        ('left join "x" on x.a = 1', 1), ('left join "y"', 0)],
        "params": {"user_orgId": 7, "user_code": "C"}, "select_columns": ['"v"."name"'],
        "export_columns": ['"v"."name"'], "filter_columns": ['"v"."name"'], "filter_params": [("v", "name")],
        "metadata": info, "export_props": [info.props["name"]]}
    assert jc == {"d": "d.type = :p1", "x": "x.a = 1"}


def test_blocks_property_forms_and_flags(plus, fk, db):
    t, dept = db.tables["t"], db.tables["dept"]
    flags = dict(selectEnabled=1, searchEnabled=1, matchEnabled=1, filterEnabled=1, orderEnabled=1,
                 orderAsDefault=1)
    info = fk.make_info(
        fk.prop("id", selectEnabled=1, orderEnabled=1, orderAsDefault=1, orderDir=1),
        fk.prop("dept", column="deptId", **flags),
        fk.prop("cnt", column="count(1)", asEnabled=1, **flags),
        fk.prop("hid", column="count(2)", asEnabled=1, orderEnabled=1, orderAsDefault=1),
        fk.prop("d.name", table="dept", column="name", **flags),
        fk.prop("gone", column="nope", selectEnabled=1), fk.prop("other", table="zz", selectEnabled=1),
        fk.prop("none", table=None, selectEnabled=1), fk.prop("code", exportEnabled=1),
        alias="e", tables=[t, dept], join_tables=[dict(table="dept", alias="d")])
    info.tables["d"] = dept
    assert blocks(plus, info) == {
        "join_tables": [('"t" "e"', -1), ('left join "dept"', 0)],
        "select_columns": ['"e"."id"', '"e"."deptId" as "dept"', '"count(1)" as "cnt"', '"d"."name" as "d.name"'],
        "export_columns": ['"e"."code"'], "export_props": [info.props["code"]],
        "search_columns": ['"e"."deptId"', '"d"."name"'], "match_columns": ['"e"."deptId"', '"d"."name"'],
        "filter_columns": ['"e"."deptId"', '"d"."name"'], "filter_params": [("e", "deptId"), ("dept", "name")],
        "orderby_columns": ['"e"."id" desc', '"e"."deptId" asc', '"cnt" asc', '"d"."name" asc'],
        "metadata": info}
    assert blocks(plus, info, filter_props={"cnt", "d.name"})["select_columns"] == [
        '"count(1)" as "cnt"', '"d"."name" as "d.name"']


@pytest.mark.parametrize("join, qualifier", [
    ("left join dept d on d.id = e.deptId", "d"), ("left join dept on dept.id = e.deptId", "dept"), (None, "dept"),
])
def test_blocks_qualify_renamed_columns_as_the_from_clause_names_their_table(plus, fk, db, join, qualifier):
    flags = dict(selectEnabled=1, searchEnabled=1, filterEnabled=1, orderEnabled=1, orderAsDefault=1)
    info = fk.make_info(fk.prop("deptName", table="dept", column="name", **flags),
                        fk.prop("label", column="name", **flags), fk.prop("years", column="deptId", asEnabled=1,
                                                                          selectEnabled=1),
                        alias="e", tables=[db.tables["t"], db.tables["dept"]],
                        join_tables=[dict(table="dept", alias="d", join=join)])
    got = blocks(plus, info)
    assert got["select_columns"] == [f'"{qualifier}"."name" as "deptName"', '"e"."name" as "label"',
                                     '"deptId" as "years"']
    assert got["search_columns"] == got["filter_columns"] == [f'"{qualifier}"."name"', '"e"."name"']
    assert got["filter_params"] == [(qualifier, "name"), ("e", "name")]
    assert got["orderby_columns"] == [f'"{qualifier}"."name" asc', '"e"."name" asc']


def test_blocks_hide_properties_and_export_fallback(plus, fk, db):
    info = fk.make_info(fk.prop("id", selectEnabled=1), fk.prop("name", selectEnabled=1),
                        fk.prop("code", selectEnabled=1), tables=[db.tables["t"]])
    info.props["alias"] = fk.prop("name", selectEnabled=1, searchEnabled=1)  # same select item, later key
    fk.warm(plus, info, uid=5, hidden={"code"})
    got = blocks(plus, info, filter_props=["code", "id", "name", "alias"], ctx={"user": types.SimpleNamespace(id=5)})
    assert got["select_columns"] == got["export_columns"] == ['"t"."id"', '"t"."name"']
    assert got["export_props"] == [info.props["name"]] and got["search_columns"] == ['"t"."name"']
    assert db.runs == []


def test_blocks_translated_properties(plus, fk, db):
    t, dept = db.tables["t"], db.tables["dept"]
    trans = dict(transTable="dept.id", selectEnabled=1, exportEnabled=1, searchEnabled=1, matchEnabled=1)
    info = fk.make_info(
        fk.prop("deptId", transColumns="name,code", filterEnabled=1, **trans),
        fk.prop("boss", column="deptId", transColumns="code, name", transObjectName="bb", transDict=1, **trans),
        fk.prop("again", column="deptId", transColumns="name", **trans),
        fk.prop("expr", column="count(1)", asEnabled=1, transColumns="name", transObjectName="xx", **trans),
        fk.prop("bad", column="code", transTable="dept", transColumns="name", selectEnabled=1, searchEnabled=1),
        fk.prop("lost", column="code", transTable="nope.id", transColumns="name", exportEnabled=1, orderEnabled=1,
                orderAsDefault=1),
        alias="e", tables=[t, dept], join_tables=[dict(table="dept", alias="d", join="j", order=5)])
    got = blocks(plus, info)
    assert got["join_tables"] == [
        ('"t" "e"', -1), ("j", 5), ('left join "dept" "dept" on "e"."deptId"="dept"."id"', 6),
        ('left join "dept" "bb" on "e"."deptId"="bb"."id"', 7),
        ('left join "dept" "dept" on "e"."deptId"="dept"."id"', 8)]
    assert got["select_columns"] == [
        '"e"."deptId"', '"dept"."name" as "dept.name"', '"dept"."code" as "dept.code"', '"e"."deptId" as "boss"',
        '"bb"."code" as "bb.code"', '"e"."deptId" as "again"', '"count(1)" as "expr"', '"e"."code" as "bad"']
    assert got["export_columns"] == [
        '"dept"."name" as "dept.name"', '"dept"."code" as "dept.code"', '"e"."deptId"', '"bb"."code" as "bb.code"',
        '"e"."deptId" as "boss"', '"e"."deptId" as "again"']
    assert got["export_props"] == [info.props[k] for k in ("deptId", "boss", "again")]
    assert got["search_columns"] == got["match_columns"] == ["dept.name", "bb.code", "dept.name"]
    assert got["filter_columns"] == ["dept.name", "bb.code"]
    assert got["filter_params"] == [("dept", "name"), ("bb", "code")]
    assert got["orderby_columns"] == ['"e"."code" asc']


# build_sql

@pytest.fixture
def emp(plus, fk, db, parser):
    info = fk.make_info(
        fk.prop("id", selectEnabled=1), fk.prop("name", selectEnabled=1, searchEnabled=1, orderEnabled=1,
                                               orderAsDefault=1),
        fk.prop("code", selectEnabled=1, searchEnabled=1, matchEnabled=1),
        tables=[db.tables["t"], db.tables["dept"]], join_tables=[dict(table="dept", alias="d", order=1)])
    fk.warm(plus, info)
    return info


def test_build_sql_plain(plus, db, emp):
    res, status = plus.build_sql(U, "m")
    assert status == 200 and type(res) is dp.SqlResult and res.metadata is emp and res.conds == [] and res.params == {}
    assert res.to_sql() == (
        'select  "t"."id","t"."name","t"."code" from "t" "t" left join "dept" order by "t"."name" asc , "t"."id"')
    assert (res.export_props, res.groupby, res.distinct) == ([emp.props["name"], emp.props["code"]], [], "")
    assert db.runs == [] and plus.build_sql(U, "m")[0].to_sql() == res.to_sql()


def test_build_sql_composes_every_part_in_order(plus, db, fk, emp, parser):
    emp.model.update(where=" m = $user.code ", groupBy=" g ", orderBy=" o ", distinctEnabled=1)
    emp.join_tables[0]["join"] = "left join dept d on d.u = $user.id"
    fk.warm(plus, emp, acl_data=[Dict(cond="a = $user.orgId", join="left join z on z.o = $user.orgId", order=0),
                                 Dict(cond="b = 1", join=None, order=9)])
    args = {"key": "kw", "order": ["x desc"],
            "joinCond": {"d": {"sql": "d.j = 1", "params": {"user_id": "J", "user_orgId": "J", "key": "J"}}},
            "where": {"sql": "w = :w", "params": {"key_raw": "W", "w": "W"}}}
    extra, extra_params = ["e1", "e2"], {"w": "E", "user_code": "E"}
    saved = (repr(args), list(extra), dict(extra_params))
    res, status = plus.build_sql(U, "m", args=args, extra_conds=extra, extra_params=extra_params)
    assert res.to_sql() == (
        'select distinct "t"."id","t"."name","t"."code" from "t" "t" left join z on z.o = :user_orgId '
        'left join dept d on d.u = :user_id and d.j = 1 where ((a = :user_orgId) and (b = 1)) and '
        '("t"."name" like :key or "t"."code" like :key or "t"."code" = :key_raw) and (w = :w) and (e1 and e2) and '
        '(m = :user_code) group by g order by x desc , "t"."name" asc , o')
    assert res.params == {"user_id": "J", "user_orgId": 7, "key": "%kw%", "key_raw": "W", "w": "E", "user_code": "C"}
    assert saved == (repr(args), extra, extra_params)
    assert [p.args for p in parser.made] == [(emp, db)] * 3


@pytest.mark.parametrize("args, conds, params", [
    ({"key": 0}, [], {}), ({"key": ""}, [], {}),
    ({"key": 5, "columns": ["name"]}, ['("t"."name" like :key)'], {"key": "%5%"}),
])
def test_build_sql_keyword(plus, emp, args, conds, params):
    res, _ = plus.build_sql(U, "m", args=args, extra_params={"ignored": 1})
    assert (res.conds, res.params) == (conds, params)


@pytest.mark.parametrize("columns, selected", [
    (["name"], ['"t"."name"']), (("code", "id"), ['"t"."id"', '"t"."code"']), ("name", 3), ([], 3), ({"name": 1}, 3),
])
def test_build_sql_columns_selection(plus, emp, columns, selected):
    res, _ = plus.build_sql(U, "m", args={"columns": columns})
    assert res.columns == (selected if isinstance(selected, list) else ['"t"."id"', '"t"."name"', '"t"."code"'])


@pytest.mark.parametrize("alias, sql, props, order", [
    ("", "", [("id", None, 0), ("name", None, 0)], ['"t"."id"']),
    ("e", "", [("id", None, 0)], ['"e"."id"']),
    ("", "", [("name", None, 0), ("code", None, 0), ("cnt", "count(1)", 1)], ['"t"."code" desc']),
    ("e", "", [("cnt", "count(1)", 1)], ['"e"."id" desc']),
    ("e", "select 1", [("cnt", "count(1)", 1)], ['"t"."id" desc']),
    ("", "", [], []),
])
def test_build_sql_default_ordering(plus, fk, db, parser, alias, sql, props, order):
    info = fk.make_info(*[fk.prop(n, column=c, asEnabled=a, selectEnabled=1) for n, c, a in props],
                        alias=alias, sql=sql, tables=[db.tables["t"]])
    fk.warm(plus, info)
    res, _ = plus.build_sql(U, "m", args={"order": {"items": []}})
    assert res.orderby == order and len(parser.made) == 1


def test_build_sql_unknown_model(plus, db, fk):
    assert plus.build_sql(U, "nope") == ({"message": "业务模型（nope）不存在"}, 404)
    assert plus.build_sql(U, 12) == ({"message": "业务模型（12）不存在"}, 404)
    assert [c.args[0] for c in db.runs] == [fk.MODEL_SQL] * 2


@pytest.mark.parametrize("call, expected", [
    (lambda plus: plus.build_sql(U, "m", {"key": "\ud800"})[0].params, {"key": "%\ud800%", "key_raw": "\ud800"}),
    (lambda plus: plus.build_sql(U, "\ud800"), ({"message": "业务模型（\ud800）不存在"}, 404)),
    (lambda plus: plus.normalize_sql("x = '\ud800' and $user.id", {"user": U}),
     ("x = '\ud800' and :user_id", {"user_id": 1})),
], ids=["keyword", "404 message", "normalize_sql"])
def test_texts_are_formatted_as_python_formats_them(plus, emp, call, expected):
    # a JSON request may carry a lone surrogate; formatting it must not fail
    assert call(plus) == expected
