"""Model loading and the permission lookups and checks, against the recording handle."""

import types

import pytest
import sqlalchemy as sa
import sqlalchemy.types as sat

from ornivell.db import _dbplus as dp
from ornivell.db.db import Dict

S = object()  # a caller's session


@pytest.fixture
def loaded(fk, db):
    """A model "m" on t (alias e) joined to dept (alias d) and an unknown table."""
    db.tables["t"].c = fk.Columns([fk.Column("id", sat.Integer), fk.Column("name", sat.String),
                                   fk.Column("isOn", sat.Integer), fk.Column("deptId", sat.Integer)])
    rows = [
        fk.model_row(alias="e", columns="a,b", where="w", mt=dict(table="dept", columns="id,name", join="j",
                                                                 alias="d", order=1)),
        fk.model_row(alias="e", columns="a,b", where="w", mt=dict(table="zz", columns="", alias="z", order=2)),
    ]
    props = [
        fk.prop("id"), fk.prop("isOn"), fk.prop("name", dataType="text"), fk.prop("missing"),
        fk.prop("deptName", column="deptId", transObjectName="dd", transTable="dept.id"),
        fk.prop("badTrans", column="deptId", transObjectName="bb", transTable="nope.id"),
        fk.prop("other", table="zz"), fk.prop("secret", column="deptId", transObjectName="ss", transTable="dept.id"),
    ]
    db.reply(fk.MODEL_SQL, rows, model="m")
    db.reply(fk.PROP_SQL, props, model="m")
    db.reply(fk.ACL_PROP_SQL, [Dict(model="m", name="secret")], uid=1, model="m")
    return props


def test_model_info_loads_a_model(plus, db, fk, loaded):
    info = plus.model_info("m", fk.user(), session=S)
    assert db.runs == [
        ("query", (fk.MODEL_SQL,), [("model", "m"), ("session", S)]),
        ("query", (fk.PROP_SQL,), [("model", "m"), ("session", S)]),
        ("query", (fk.ACL_PROP_SQL,), [("uid", 1), ("model", "m"), ("session", None)]),
    ]
    assert type(info.model) is Dict and list(info.model.items()) == [
        ("id", 1), ("model", "m"), ("table", "t"), ("alias", "e"), ("where", "w"), ("groupBy", None),
        ("orderBy", None), ("sql", None), ("spName", None), ("spParams", None), ("distinctEnabled", None),
        ("uiData", None), ("columns", ["a", "b"]), ("displayName", "模型")]
    assert [list(j.items()) for j in info.join_tables] == [
        [("table", "dept"), ("columns", ["id", "name"]), ("alias", "d"), ("join", "j"), ("order", 1)]]
    t, dept = db.tables["t"], db.tables["dept"]
    assert info.main_table is t
    assert list(info.tables.items()) == [("dept", dept), ("d", dept), ("t", t), ("e", t), ("dd", dept)]
    assert list(info.props) == ["id", "isOn", "name", "missing", "deptName", "badTrans", "other"]
    assert [p.dataType for p in info.props.values()] == [
        "integer", "bool", "text", None, "integer", None, None]
    assert loaded[-1].dataType is None  # hidden: never guessed
    assert plus.cache == {"/acl_prop/1/m": {"secret"}, "/model/m/1": info}
    db.calls.clear()
    assert plus.model_info("m", fk.user()) is info and not db.calls


def test_model_info_without_user_or_joins(plus, db, fk):
    db.reply(fk.MODEL_SQL, [fk.model_row(columns="")], model="m")
    db.reply(fk.PROP_SQL, [fk.prop("id"), fk.prop("name")], model="m")
    info = plus.model_info("m")
    assert [c.args[0] for c in db.runs] == [fk.MODEL_SQL, fk.PROP_SQL]
    assert info.join_tables == [] and info.tables == {"t": db.tables["t"]} and list(info.props) == ["id", "name"]
    assert info.model["columns"] == "" and list(plus.cache) == ["/model/m/"]


def test_model_info_unknown_main_table_is_still_cached(plus, db, fk):
    db.reply(fk.MODEL_SQL, [fk.model_row(table="gone", alias="g")], model="m")
    info = plus.model_info("m")
    assert info.main_table is None and info.tables == {} and plus.cache == {"/model/m/": info}


@pytest.mark.parametrize("reply", [[], None, RuntimeError("down")])
def test_model_info_caches_nothing_for_unknown_model_or_failure(plus, db, fk, reply):
    db.reply(fk.MODEL_SQL, reply)
    if isinstance(reply, Exception):
        with pytest.raises(RuntimeError):
            plus.model_info("m", fk.user())
    else:
        assert plus.model_info("m", fk.user()) is None
    assert plus.cache == {} and len(db.runs) == 1


def test_model_info_general_path_and_host_names(plus, db, fk, monkeypatch):
    class Settings(dict):
        pass

    class Row(dict):  # its own get: no fast path
        def get(self, key, default=None):
            return dict.get(self, key, default)

    monkeypatch.setattr(dp, "Dict", Settings)
    db.reply(fk.MODEL_SQL, [Row(fk.model_row())])
    prop = types.SimpleNamespace(**{k: None for k in fk.PROP_KEYS})
    vars(prop).update(name="name", table="t", column="name")
    db.reply(fk.PROP_SQL, [prop])
    info = plus.model_info("m", types.SimpleNamespace(id=5))
    assert type(info.model) is Settings and info.model["table"] == "t" and info.props == {"name": prop}
    assert prop.dataType == "string" and "/model/m/5" in plus.cache


@pytest.mark.parametrize("bad, message", [
    (dict(prop=dict(name='x" or 1=1 --')), """model 'm', _prop row 7: the property name 'x" or 1=1 --' holds a double quote"""),
    (dict(prop=dict(name=None)), "model 'm', _prop row 7: the property name is not a text but None"),
])
def test_bad_metadata_is_refused_when_the_model_loads(plus, db, fk, bad, message):
    db.reply(fk.MODEL_SQL, [fk.model_row(mt=bad.get("mt"))], model="m")
    db.reply(fk.PROP_SQL, [fk.prop("id"), fk.prop(**{"column": "id", "id": 7, **bad.get("prop", {"name": "n"})})])
    with pytest.raises(dp.MetadataError) as raised:
        plus.model_info("m")
    assert str(raised.value) == message and plus.cache == {}


@pytest.mark.parametrize("order", ["first", "1", None])
def test_a_join_order_that_is_no_number_is_refused_only_where_joins_are_sorted(plus, db, fk, order):
    db.reply(fk.MODEL_SQL, [fk.model_row(mt=dict(table="dept", order=order))], model="m")
    db.reply(fk.PROP_SQL, [fk.prop("id")])
    info = plus.model_info("m")
    assert info.join_tables[0]["order"] == order and plus.build_sql_blocks(info).join_tables[1][1] == order
    with pytest.raises(dp.MetadataError, match=f"^model join 'left join \\\"dept\\\"' .*: the order {order!r} is not"):
        plus.build_sql_blocks(info).sorted_join_tables()


def test_a_property_without_a_column_is_passed_over_where_its_column_is_not_used(plus, db, fk):
    db.tables["t"] = sa.Table("t", sa.MetaData(), sa.Column("id", sa.Integer), sa.Column("name", sa.String))
    bad = fk.prop("p", id=9, selectEnabled=1)
    bad.column = None
    info = fk.make_info(fk.prop("id", selectEnabled=1), bad, tables=[db.tables["t"]])
    assert plus.build_sql_blocks(info).select_columns == ['"t"."id"']


@pytest.mark.parametrize("column, as_enabled, problem", [
    (b"name", None, "the column is not a text but b'name'"),
    (None, 1, "the column is NULL"), (5, 1, "the column is not a text but 5"),
])
def test_a_property_column_that_is_not_a_text_is_refused_with_its_row(plus, db, fk, column, as_enabled, problem):
    # SQLAlchemy's column collections refuse such keys with an error that names nothing
    db.tables["t"] = sa.Table("t", sa.MetaData(), sa.Column("id", sa.Integer), sa.Column("name", sa.String))
    bad = fk.prop("p", asEnabled=as_enabled, id=9)
    bad.column = column
    info = fk.make_info(fk.prop("id", selectEnabled=1), bad, tables=[db.tables["t"]])
    with pytest.raises(dp.MetadataError) as raised:
        plus.build_sql_blocks(info)
    assert str(raised.value) == f"model 'm', _prop row 9 (property 'p' on table 't'): {problem}"


def test_model_info_honours_overridden_acl_prop(db, fk, loaded):
    class Plus(dp.DbPlus):
        def acl_prop(self, uid, model, session=None):
            self.asked = (uid, model, session)
            return {"name", "id"}

    plus = Plus(db)
    info = plus.model_info("m", fk.user(7))
    assert plus.asked == (7, "m", None) and "name" not in info.props and "secret" in info.props


# function permissions

COND = {
    (None, None): "", ("model", None): "s.type = :resource_type and ", ("", "r"): "s.resource = :resource and ",
    ("model", "r"): "s.type = :resource_type and s.resource = :resource and ",
}


@pytest.mark.parametrize("rtype, resource", COND)
def test_acl_func_statement_parameters_and_cache_key(plus, db, fk, rtype, resource):
    assert dp.DbPlus._acl_func_cond(rtype, resource) == COND[rtype, resource]
    assert plus._acl_func_cond(resource=resource, resource_type=rtype) == COND[rtype, resource]
    assert plus.acl_func(1, rtype, resource, session=S) == []
    assert db.runs == [("query", (fk.acl_func_sql(COND[rtype, resource]),),
                        [("resource_type", rtype), ("resource", resource), ("uid", 1), ("session", S)])]
    assert list(plus.cache) == [f"/acl_func/1/{rtype or ''}/{resource or ''}"]
    assert plus.acl_func(1, rtype, resource) == [] and len(db.runs) == 1


def test_acl_func_groups_by_resource_in_first_seen_order(plus, db, fk):
    rows = [Dict(resource="b", type="model", funcKey="q", funcId=1, resourceId=2),
            Dict(resource="a", type="fn", funcKey="x", funcId=2, resourceId=1),
            types.SimpleNamespace(resource="b", type="model", funcKey="u", funcId=3, resourceId=2)]
    db.reply(fk.acl_func_sql(), rows)
    groups = plus.acl_func(1)
    assert [list(g.items()) for g in groups] == [
        [("resource", "b"), ("type", "model"), ("resourceId", 2),
         ("ops", [{"funcKey": "q", "funcId": 1}, {"funcKey": "u", "funcId": 3}])],
        [("resource", "a"), ("type", "fn"), ("resourceId", 1), ("ops", [{"funcKey": "x", "funcId": 2}])]]
    assert list(groups[0]["ops"][0]) == ["funcKey", "funcId"]
    assert plus.cache["/acl_func/1//"] is groups


def grant(db, fk, *groups):
    rows = [Dict(resource=res, type="model", funcKey=key, funcId=i, resourceId=rid)
            for i, (rid, res, key) in enumerate(groups)]
    db.reply(fk.acl_func_sql(COND["model", "r"]), rows)
    db.reply(fk.acl_func_sql(COND["", "r"]), rows)


def test_acl_model_reads_the_first_group_only(plus, db, fk):
    assert plus.acl_model(1, "m") is None
    grant(db, fk, (1, "m", "createEnabled"), (2, "m", "deleteEnabled"), (1, "m", "queryEnabled"))
    assert plus.acl_model(2, "m", session=S) == {"createEnabled": 1, "queryEnabled": 1}
    assert db.runs[-1].kwargs == [("resource_type", "model"), ("resource", "m"), ("uid", 2), ("session", S)]


@pytest.fixture
def perm_model(db, fk):
    db.reply(fk.MODEL_SQL, [fk.model_row(model="r", displayName="订单")], model="r")


@pytest.mark.parametrize("grants, key, status, message, acl", [
    ([(1, "r", "createEnabled")], "createEnabled", 200, None, {"createEnabled": 1}),
    ([(1, "r", "createEnabled")], "deleteEnabled", 403, {"message": "无权限创建: 订单"}, None),
    ([], "createEnabled", 403, {"message": "无权限创建: 订单"}, None),
])
def test_check_perm(plus, db, fk, perm_model, grants, key, status, message, acl):
    grant(db, fk, *grants)
    res = plus.check_perm(fk.user(), "r", key, "创建", session=S)
    assert type(res) is dp.PermCheckResult and (res.status, res.message, res.acl) == (status, message, acl)
    assert res.info is plus.cache["/model/r/1"]
    assert all(dict(c.kwargs)["session"] is S for c in db.runs[:2] + db.runs[3:])
    db.calls.clear()
    assert plus.check_perm(fk.user(), "r", key, "创建").status == status and db.runs == []


@pytest.mark.parametrize("model", ["nope", 7])
def test_check_perm_unknown_model(plus, db, fk, model):
    res = plus.check_perm(fk.user(), model, "queryEnabled", "查询")
    assert (res.info, res.status, res.acl, res.message) == (None, 404, None, {"message": f"{model}不存在"})
    assert len(db.runs) == 1


def test_check_perm_reads_the_user_id_after_the_model(db, fk):
    class Plus(dp.DbPlus):
        def model_info(self, entity, user=None, session=None):
            self.asked = (entity, user, session)
            return info

    plus, anonymous, info = Plus(db), object(), fk.make_info()
    with pytest.raises(AttributeError):
        plus.check_perm(anonymous, "m", "queryEnabled", "查询")
    assert plus.asked == ("m", anonymous, None)
    info = None
    assert plus.check_perm(anonymous, "m", "queryEnabled", "查询").status == 404


def test_check_perm_ext(plus, db, fk):
    res = plus.check_perm_ext(fk.user(), "r", "导出工具", session=S)
    assert (res.info, res.status, res.acl, res.message) == (None, 403, None, {"message": "无权限: 导出工具"})
    assert db.runs[-1] == ("query", (fk.acl_func_sql(COND["", "r"]),),
                           [("resource_type", None), ("resource", "r"), ("uid", 1), ("session", S)])
    grant(db, fk, (3, "r", "anything"))
    res = plus.check_perm_ext(fk.user(2), "r", "导出工具")
    assert (res.status, res.message, [g["resourceId"] for g in res.acl]) == (200, None, [3])
    db.calls.clear()
    with pytest.raises(AttributeError):
        plus.check_perm_ext(object(), "r", "x")
    assert db.calls == []


# data and property permissions

@pytest.mark.parametrize("model, with_cond, key", [
    ("m", True, "/acl_data/1/m"), (None, False, "/acl_data/1/None"), ("", False, "/acl_data/1/"),
])
def test_acl_data(plus, db, fk, model, with_cond, key):
    rows = [Dict(cond="c", join=None, model="m", name="n", order=1)]
    db.reply(fk.acl_data_sql(with_cond), rows)
    assert plus.acl_data(1, model, session=S) is rows
    assert db.runs == [("query", (fk.acl_data_sql(with_cond),), [("model", model), ("uid", 1), ("session", S)])]
    assert plus.cache == {key: rows}


def test_acl_data_and_prop_cache_empty_results(plus, db, fk):
    assert plus.acl_data(1, "m") == [] and plus.acl_prop(1, "m") == set()
    assert plus.acl_data(1, "m") == [] and plus.acl_prop(1, "m") == set()
    assert len(db.runs) == 2 and set(plus.cache) == {"/acl_data/1/m", "/acl_prop/1/m"}


def test_acl_prop_is_the_union_of_hidden_names(plus, db, fk):
    db.reply(fk.ACL_PROP_SQL, [Dict(model="m", name="a"), Dict(model="m", name="b"), {"model": "m", "name": "a"}])
    assert plus.acl_prop(1, "m", session=S) == {"a", "b"}
    assert db.runs == [("query", (fk.ACL_PROP_SQL,), [("uid", 1), ("model", "m"), ("session", S)])]
    assert plus.acl_prop(None, "") is plus.cache["/acl_prop/None/"]


@pytest.mark.parametrize("rows", [[Dict(model="m")], RuntimeError("down")])
def test_acl_prop_failures_cache_nothing(plus, db, fk, rows):
    db.reply(fk.ACL_PROP_SQL, rows)
    with pytest.raises((KeyError, RuntimeError)):
        plus.acl_prop(1, "m")
    assert plus.cache == {}
