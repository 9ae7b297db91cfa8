"""Paged search, single-row search, single-record read, and methods reaching each other through ``self``."""

import types

import pytest

from ornivell.db import _dbplus as dp
from ornivell.db.db import Dict

S = object()
SELECT = 'select  "t"."id","t"."name" from "t" "t"'
BY_KEY = ' order by "t"."id"'  # pages are slices of one order: the key ends it


@pytest.fixture
def info(plus, fk, db, parser):
    info = fk.make_info(fk.prop("id", selectEnabled=1), fk.prop("name", selectEnabled=1, searchEnabled=1),
                        tables=[db.tables["t"]])
    fk.warm(plus, info)
    return info


def page_call(page=1, limit=10, do_count=None):
    return ("query_page", (SELECT + BY_KEY,), [("page", page), ("limit", limit), ("do_count", do_count), ("session", None)])


@pytest.mark.parametrize("args, page, limit, do_count", [
    ({}, 1, 10, None), ({"page": 0, "limit": "25"}, 1, 25, None), ({"page": 3, "limit": 7.9, "doCount": 1}, 3, 7, 1),
    ({"limit": 1000}, 1, 1000, None), ({"limit": "5000", "doCount": False}, 1, 1000, False),
])
def test_search_pages(plus, db, fk, info, args, page, limit, do_count):
    result = types.SimpleNamespace(data=[])
    db.reply(SELECT + BY_KEY, result)
    res = plus.search(fk.user(), "m", args=args)
    assert res[0] is result and res[1] == 200
    assert db.runs == [page_call(page, limit, do_count)]


def test_search_passes_statement_params_and_session(plus, db, fk, info):
    plus.search(fk.user(), "m", {"key": "x"}, ["a = :a"], {"a": 1}, session=S)
    assert db.runs == [("query_page", (SELECT + ' where ("t"."name" like :key) and (a = :a)' + BY_KEY,),
                        [("page", 1), ("limit", 10), ("do_count", None), ("key", "%x%"), ("a", 1), ("session", S)])]


@pytest.mark.parametrize("limit, error", [("abc", ValueError), ("", ValueError), ([1], TypeError)])
def test_limit_that_int_cannot_convert(plus, fk, info, limit, error):
    assert plus._limit({}) == 10
    with pytest.raises(error):
        plus.search(fk.user(), "m", {"limit": limit})


@pytest.mark.parametrize("args, message", [
    ({"limit": float("inf")}, "limit must be a whole number, not inf"),
    ({"key": float("-inf")}, "key: numbers must be finite"),
    ({"key": True}, "key: expected a text or a number, got bool"),
    ({"key": b"x"}, "key: expected a text or a number, got bytes"),
    ({"key": "x\0"}, "key: NUL characters are not allowed"),
    ({"key": "\U0001F600" * 10_001}, "key: longer than 10000 characters"),
    ({"where": {"sql": "a", "params": {f"p{i}": i for i in range(300)}},
      "joinCond": {"d": {"sql": "b", "params": {f"q{i}": i for i in range(201)}}}},
     "where and joinCond: more than 500 values in all"),
    ({"where": {"sql": "a", "params": {"p": "x" * 30_000}}, "joinCond": {"d": {"sql": "b", "params": {"q": "y" * 20_001}}}},
     "where and joinCond: more than 50000 characters of text in all"),
])
def test_request_values_no_database_could_take_are_refused(plus, db, fk, info, args, message):
    with pytest.raises(ValueError) as raised:
        plus.search(fk.user(), "m", args)
    assert str(raised.value) == message and db.runs == []


@pytest.mark.parametrize("key, bound", [(7, "7"), (2 ** 64, "18446744073709551616"), (-2.5, "-2.5"), ("x" * 10_000, None)])
def test_a_keyword_is_bound_as_text(plus, db, fk, info, key, bound):
    info.props["name"].matchEnabled = 1
    plus.search(fk.user(), "m", {"key": key})
    bound = bound or key
    assert db.runs[-1].kwargs[3:5] == [("key", f"%{bound}%"), ("key_raw", bound)]


@pytest.mark.parametrize("id, message", [
    ("1\0", "id: NUL characters are not allowed"), ("1" * 10_001, "id: longer than 10000 characters"),
    (2 ** 63, "id: integer out of range"), (-2 ** 63 - 1, "id: integer out of range"),
    (float("nan"), "id: numbers must be finite"),
])
def test_query_one_refuses_ids_no_database_could_take(plus, db, fk, info, id, message):
    with pytest.raises(ValueError) as raised:
        plus.query_one(fk.user(), "m", id)
    assert str(raised.value) == message and db.runs == []


@pytest.mark.parametrize("name", ["page", "limit", "do_count", "session"])
def test_statement_parameter_colliding_with_a_keyword(plus, fk, info, name):
    with pytest.raises(TypeError, match=f"got multiple values for keyword argument '{name}'"):
        plus.search(fk.user(), "m", {}, ["x"], {name: 1})


def test_search_all_writes_the_caller_args(plus, db, fk, info):
    args = {"limit": 3}
    assert plus.search_all(fk.user(), "m", args) == (["row"], 200)
    assert args == {"limit": 1000, "doCount": 0}
    assert db.runs == [page_call(limit=1000, do_count=0)]
    assert plus.search_all(fk.user(), "m")[1] == 200 and db.runs[-1] == page_call(limit=1000, do_count=0)
    plus.search(fk.user(), "m")  # the default of search is its own
    assert db.runs[-1] == page_call()


def test_search_one(plus, db, fk, info):
    row = Dict(id=1)
    db.reply(SELECT + ' where ("t"."name" like :key)' + BY_KEY, row)
    assert plus.search_one(fk.user(), "m", {"key": "x", "page": 2, "limit": 3}) == (row, 200)
    assert db.runs == [("query_one", (SELECT + ' where ("t"."name" like :key)' + BY_KEY,), [("key", "%x%"), ("session", None)])]
    assert plus.search_one(fk.user(), "m", session=S) == (None, 200)
    assert db.runs[-1] == ("query_one", (SELECT + BY_KEY,), [("session", S)])


@pytest.mark.parametrize("method", ["search", "search_all", "search_one"])
def test_search_refusals_pass_through(plus, db, fk, info, method):
    fk.warm(plus, info, ops=("createEnabled",))
    assert getattr(plus, method)(fk.user(), "m") == ({"message": "无权限查询: 模型"}, 403)
    assert getattr(plus, method)(fk.user(), "nope") == ({"message": "nope不存在"}, 404)
    assert [c.args[0] for c in db.runs] == [fk.MODEL_SQL]


def test_search_model_vanishing_after_the_check(db, fk):
    class Plus(dp.DbPlus):
        def check_perm(self, user, model, op_key, op_name, session=None):
            self.checked = (user, model, op_key, op_name, session)
            res = dp.PermCheckResult()
            res.status = 200
            return res

    plus, user = Plus(db), fk.user()
    assert plus.search(user, "m") == ({"message": "业务模型（m）不存在"}, 404)
    assert plus.search_all(user, "m") == ({"message": "业务模型（m）不存在"}, 404)
    assert plus.checked == (user, "m", "queryEnabled", "查询", None)
    assert all(c.name == "query" for c in db.runs)


# query_one

@pytest.mark.parametrize("alias, sql, table_known, head", [
    ("", "", True, 'select "t"."id","t"."name" from "t" "t" where "t".id=:id'),
    ("e", "", True, 'select "e"."id","e"."name" from "t" "e" where "e".id=:id'),
    ("e", "select 1", False, 'select "t"."id","t"."name" from (select 1) as t where "t".id=:id'),
])
def test_query_one_statement(plus, db, fk, parser, alias, sql, table_known, head):
    info = fk.make_info(fk.prop("id", selectEnabled=1), fk.prop("name", selectEnabled=1), alias=alias, sql=sql,
                        tables=[db.tables["t"]])
    if not table_known:
        info.main_table = None
    fk.warm(plus, info)
    assert plus.query_one(fk.user(), "m", 5) == (None, 200)
    assert db.runs == [("query_one", (head,), [("id", 5), ("session", None)])]


@pytest.mark.parametrize("alias", ["", "e"])
def test_query_one_reads_a_key_not_named_id_through_the_property_id(plus, db, fk, alias):
    table = fk.Table("k", "kid", "name")
    info = fk.make_info(fk.prop("id", table="k", column="kid", selectEnabled=1), model="m", table="k", alias=alias,
                        tables=[table])
    fk.warm(plus, info)
    name = alias or "k"
    assert plus.query_one(fk.user(), "m", 5) == (None, 200)
    assert db.runs == [("query_one", (f'select "{name}"."kid" as "id" from "k" "{name}" where "{name}"."kid"=:id',),
                        [("id", 5), ("session", None)])]


def test_query_one_with_data_permissions(plus, db, fk, info):
    fk.warm(plus, info, acl_data=[Dict(cond="c1 = $user.id", join="left join z", order=3),
                                  Dict(cond="c2", join=None, order=0), Dict(cond="c3", join=None, order=0)])
    row = Dict(id=5)
    db.reply('select "t"."id","t"."name" from "t" "t" left join z where "t".id=:id and ((c1 = :user_id) and (c2) and (c3))',
             row)
    assert plus.query_one(fk.user(), "m", 5, session=S) == (row, 200)
    assert db.runs[-1].kwargs == [("id", 5), ("user_id", 1), ("session", S)]


def test_query_one_reads_data_permissions_under_the_main_table(plus, db, fk, info):
    plus.cache.pop("/acl_data/1/t")
    plus.query_one(fk.user(), "m", 5)
    assert db.runs[0] == ("query", (fk.acl_data_sql(),), [("model", "t"), ("uid", 1), ("session", None)])


def test_query_one_failures(plus, db, fk, info):
    assert plus.query_one(fk.user(), "nope", 1) == ({"message": "nope不存在"}, 404)
    assert plus.query_one(fk.user(), 7, 1) == ({"message": "7不存在"}, 404)
    fk.warm(plus, info, hidden={"id", "name"})
    plus.cache.pop("/acl_data/1/t")
    assert plus.query_one(fk.user(), "m", 1) == ({"message": "m无任何模型属性列可查询"}, 404)
    assert [c.args[0] for c in db.runs] == [fk.MODEL_SQL, fk.MODEL_SQL, fk.acl_data_sql()]


@pytest.mark.parametrize("acl, error", [
    ((["x = :id"], {"id": 2}, []), "multiple values for keyword argument 'id'"),
    (([], None, []), "argument after \\*\\* must be a mapping, not NoneType"),
    (([], {}), "not enough values to unpack"),
])
def test_query_one_permission_results_that_cannot_be_used(db, fk, parser, acl, error):
    class Plus(dp.DbPlus):
        def build_acl_cond_sql(self, ctx, model):
            self.asked = (ctx, model)
            return acl

    plus, user = Plus(db), fk.user()
    fk.warm(plus, fk.make_info(fk.prop("id", selectEnabled=1), tables=[db.tables["t"]]))
    with pytest.raises((TypeError, ValueError), match=error):
        plus.query_one(user, "m", 5)
    assert plus.asked == ({"user": user}, "t")


# methods reach each other through self

THROUGH_SELF = [
    "model_info", "table_column", "guess_column_type", "acl_data", "acl_model", "_acl_func_cond", "_acl_func_result",
    "acl_func", "acl_prop", "normalize_sql", "build_acl_cond_sql", "add_cond", "parse_where_cond", "parse_join_cond",
    "parse_orderby", "build_sql_blocks", "build_sql", "_limit", "search", "check_perm", "escape", "_read_cache",
    "_write_cache", "ModelInfo.main_table_name", "ModelInfo.table_name",
]


@pytest.mark.parametrize("name", THROUGH_SELF)
def test_overridden_methods_are_honoured(db, fk, parser, monkeypatch, name):
    seen = []
    owner, _, method = name.rpartition(".")
    base = getattr(dp.DbPlus if not owner else dp.ModelInfo, method)

    def wrapper(*args, **kwargs):
        seen.append(args)
        return base(*args, **kwargs)

    if owner:
        monkeypatch.setattr(dp.ModelInfo, method, wrapper)
        plus = dp.DbPlus(db)
    else:
        static = isinstance(vars(dp.DbPlus)[method], staticmethod)
        plus = type("Plus", (dp.DbPlus,), {method: staticmethod(wrapper) if static else wrapper})(db)
    db.tables["t"].c = fk.Columns([fk.Column("id", dp.Integer), fk.Column("name"), fk.Column("deptId")])
    db.reply(fk.MODEL_SQL, [fk.model_row(where="o = $user.orgId", alias="e",
                                         mt=dict(table="dept", alias="d", order=1))], model="m")
    db.reply(fk.PROP_SQL, [fk.prop("id", selectEnabled=1), fk.prop("name", selectEnabled=1, searchEnabled=1),
                           fk.prop("deptId", transObjectName="dd", transTable="dept.id", transColumns="name")])
    db.reply(fk.acl_func_sql("s.type = :resource_type and s.resource = :resource and "),
             [Dict(resource="m", type="model", funcKey="queryEnabled", funcId=1, resourceId=1)])
    db.reply(fk.acl_data_sql(), [Dict(cond="a = 1", join=None, order=0)])
    user = fk.user(orgId=7)
    assert plus.search_all(user, "m", {"key": "k"})[1] == 200
    assert plus.query_one(user, "m", 1)[1] == 200
    assert seen


@pytest.mark.parametrize("method", ["search", "search_all", "search_one"])
def test_a_selection_of_no_visible_property_is_refused_before_any_statement(plus, db, fk, info, method):
    result = getattr(plus, method)(fk.user(), "m", {"columns": ["nothing", "here"]})
    assert result == ({"message": "m无任何模型属性列可查询"}, 404)
    assert db.runs == []
