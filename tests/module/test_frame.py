"""Module globals, shared records, the facade's delegations, the cache and column mapping."""

import datetime
import logging

import pytest
import sqlalchemy.types as sat

from ornivell.db import _dbplus as dp
from ornivell.db import jsql, xlsx
from ornivell.db.db import Dict

GLOBALS = ("logging re uuid datetime Integer DateTime Time String Boolean Dict create_sheet JsonSqlParser log "
           "cached_models SqlBlock SqlResult PermCheckResult ModelInfo trim_get DbPlus MetadataError").split()
CACHED_MODELS = {"_role", "_user_role", "_acl_func", "_acl_data", "_prop", "_model", "_role_acl_func", "_resource",
                 "_role_acl_data", "_model_table", "_role_prop"}
METHOD_ORDER = """__init__ escape sql_page sql_count is_mssql in_clause session clear_cache evict_cache _read_cache
    _write_cache model_info table_column guess_column_type acl_data acl_model _acl_func_cond _acl_func_result acl_func
    acl_prop normalize_sql build_acl_cond_sql add_cond parse_where_cond parse_join_cond parse_orderby build_sql_blocks
    build_sql search_one search_all _limit search export query_one check_perm check_perm_ext create create_many update
    _update update_many delete _delete relation relation_update _update_rel _del_rel beautify_display_name
    generate_table_columns generate_columns _generate_columns sync_model find_dict_domains find_link_domains
    primary_key_cond primary_key_cond_list normalize_create_entity generate_seq normalize_create_entity_list
    normalize_update_entity normalize_update_entity_list touch_metadata""".split()
RECORDS = {
    "SqlBlock": [("select_columns", []), ("export_columns", []), ("join_tables", []), ("search_columns", []),
                 ("match_columns", []), ("filter_columns", []), ("filter_params", []), ("orderby_columns", []),
                 ("groupby_columns", []), ("conds", []), ("params", {}), ("metadata", None), ("export_props", []),
                 ("distinct_enabled", False)],
    "SqlResult": [("distinct", ""), ("columns", []), ("export_columns", []), ("tables", []), ("conds", []),
                  ("orderby", []), ("params", {}), ("groupby", []), ("metadata", None), ("export_props", [])],
    "PermCheckResult": [("info", None), ("status", None), ("acl", None), ("message", None)],
    "ModelInfo": [("model", None), ("main_table", None), ("tables", {}), ("props", {}), ("join_tables", [])],
}


def test_globals_are_bound_in_order():
    assert [k for k in vars(dp) if not k.startswith("__")] == GLOBALS
    assert (dp.Dict, dp.create_sheet, dp.JsonSqlParser) == (Dict, xlsx.create_sheet, jsql.JsonSqlParser)
    assert (dp.datetime, dp.Integer, dp.Boolean, dp.logging) == (datetime.datetime, sat.Integer, sat.Boolean, logging)
    assert dp.log is logging.getLogger(dp.__name__)
    assert dp.cached_models == CACHED_MODELS and isinstance(dp.cached_models, set)


@pytest.mark.parametrize("name", RECORDS)
def test_records_are_plain_classes_with_fields_in_order(name):
    cls = getattr(dp, name)
    assert cls.__bases__ == (object,) and cls.__module__ == dp.__name__
    first, second = cls(), cls()
    assert [(k, v, type(v)) for k, v in vars(first).items()] == [(k, v, type(v)) for k, v in RECORDS[name]]
    for key, value in vars(first).items():
        assert value is None or value is False or value == "" or value is not getattr(second, key)
    first.extra = 1
    first.conds = "replaced"
    assert (first.extra, first.conds) == (1, "replaced")


def test_dbplus_fields_methods_and_static_methods(db):
    assert dp.DbPlus.__bases__ == (object,)
    plus = dp.DbPlus(db)
    assert list(vars(plus).items()) == [("db", db), ("cache", {}), ("cache_enabled", True)] and not db.calls
    defined = [k for k in vars(dp.DbPlus) if callable(getattr(dp.DbPlus, k)) and (k == "__init__" or k[:2] != "__")]
    assert defined == [k for k in METHOD_ORDER if k in defined]
    assert {"search", "query_one", "check_perm_ext", "build_sql"} <= set(defined)
    for name in ("guess_column_type", "_acl_func_cond", "_acl_func_result"):
        assert isinstance(vars(dp.DbPlus)[name], staticmethod)
    plus.note = "mine"
    assert plus.note == "mine"


# SqlResult.to_sql

def result(**fields):
    res = dp.SqlResult()
    vars(res).update(fields)
    return res


@pytest.mark.parametrize("fields, export, sql", [
    (dict(columns=["a"], tables=["t"]), False, "select  a from t"),
    (dict(columns=["a", "b"], tables=["t", "left join d"], distinct="distinct"), False,
     "select distinct a,b from t left join d"),
    (dict(columns=["a"], tables=["t"], orderby=["x desc", "y", "x desc"]), False,
     "select  a from t order by x desc , y"),
    (dict(columns=["a"], export_columns=[], tables=["t"]), True, "select   from t"),
    (dict(columns=["a"], export_columns=["e", "f"], tables=["t"]), True, "select  e,f from t"),
    (dict(columns=["a"], tables=["t"], conds=["(p)", "(q)"], groupby=["g", "h"], orderby=["o"]), False,
     "select  a from t where (p) and (q) group by g , h order by o"),
])
def test_to_sql(fields, export, sql):
    res = result(**fields)
    assert res.to_sql(export=export) == sql
    assert res.to_sql(export) == sql


@pytest.mark.parametrize("field", ["columns", "tables", "conds", "groupby", "orderby"])
def test_to_sql_requires_texts(field):
    res = result(columns=["a"], tables=["t"])
    setattr(res, field, ["x", 1])
    with pytest.raises(TypeError):
        res.to_sql()


# SqlBlock.sorted_join_tables

@pytest.mark.parametrize("pairs, expected", [
    ([("a", 2), ("m", -1), ("b", 2)], ["m", "a", "b"]),
    ([("a", 2.5), ("m", -1), ("b", 2), ("c", 2.0)], ["m", "b", "c", "a"]),
    ([("big", 2 ** 70), ("m", -1), ("x", True)], ["m", "x", "big"]),
    ([], []), ([("b", "x")], ["b"]), ([("a", 1), ("b", None)], dp.MetadataError),
])
def test_sorted_join_tables_is_stable_and_leaves_the_pairs(pairs, expected):
    block = dp.SqlBlock()
    block.join_tables = list(pairs)
    if expected is dp.MetadataError:
        with pytest.raises(dp.MetadataError, match="^model join 'b' .*: the order None is not a number$"):
            block.sorted_join_tables()
    else:
        assert block.sorted_join_tables() == expected
    assert block.join_tables == pairs


# ModelInfo

@pytest.fixture
def info(fk):
    main, dept = fk.Table("t"), fk.Table("dept")
    info = dp.ModelInfo()
    info.model = Dict(table="t", alias="e")
    info.tables = {"t": main, "e": main, "dept": dept, "d": "object under the alias"}
    info.join_tables = [{"table": "dept", "alias": "d"}]
    return info


def test_model_info_names(info):
    assert info.main_table_name() == "t"
    assert [info.table_name(n) for n in ("t", "dept", "d", None)] == ["e", "dept", "d", None]
    assert [info.db_table(n) for n in ("t", "e", "dept", "d", "zz")] == [
        info.tables["t"], info.tables["t"], info.tables["dept"], info.tables["dept"], None]
    info.model["alias"] = ""
    assert info.table_name("t") == "t"


@pytest.mark.parametrize("join, alias, name", [
    (None, "d", "dept"), ("", "d", "dept"),
    ("left join dept d on d.id = t.x", None, "d"),
    ("LEFT JOIN Dept AS dd ON dd.id = t.x", "d", "dd"),
    ('left join "dept" "q" on "q".id = t.x', "d", "q"),
    ("left join dept `back` on back.id = t.x", "d", "back"),
    ("left join dept on dept.id = t.x", "d", "dept"),
    ("left join dept\n  inner join y on y.a = dept.a", "d", "dept"),
    ("left join s.dept sd using (id)", "d", "sd"),
    ("left join o x on x.id = t.x left join dept /* why */ -- and how\n dx on dx.id = x.d", "d", "dx"),
    ("left join deptx on deptx.id = t.x", "d", "d"),
    ("left join (select * from dept) dq on dq.id = t.x", "d", "d"),
    ("left join (select * from dept) dq on dq.id = t.x", None, "dept"),
    ("left join o on o.n = 'join dept z'", "d", "d"),
], ids=lambda value: repr(value)[:40])
def test_a_joined_table_is_named_as_its_join_text_brings_it_in(info, join, alias, name):
    info.join_tables = [{"table": "dept", "alias": alias, "join": join}]
    assert info.table_name("dept") == name


@pytest.mark.parametrize("model", [None, {}])
def test_model_info_without_model(model):
    info = dp.ModelInfo()
    info.model = model
    assert info.main_table_name() is None
    if model is None:
        with pytest.raises(TypeError):
            info.table_name("t")
        with pytest.raises(TypeError):
            info.db_table("t")


# trim_get

class OwnGet(dict):
    def get(self, key, default=None):
        return " own "


@pytest.mark.parametrize("d, expected", [
    ({"k": "  a \t"}, "a"), ({"k": "   "}, ""), ({"k": ""}, None), ({"k": 0}, None), ({"k": False}, None),
    ({}, None), (Dict(k=" b "), "b"), (OwnGet(), "own"),
])
def test_trim_get(d, expected):
    assert dp.trim_get(d, "k") == expected


def test_trim_get_of_a_true_value_without_strip():
    with pytest.raises(AttributeError):
        dp.trim_get({"k": 5}, "k")


# delegations

@pytest.mark.parametrize("method, args", [
    ("escape", ("a.b",)), ("sql_page", ("select 1", 2, 10)), ("sql_count", ("select 1",)), ("is_mssql", ()),
    ("in_clause", ("t_ids", [1, 2])), ("session", ()),
])
def test_delegations_pass_arguments_positionally(plus, db, method, args):
    value = getattr(plus, method)(*args)
    assert db.calls[-1] == (method, args, [])
    assert value == ('"a"."b"' if method == "escape" else (method, args))


def test_any_handle_constructs_and_fails_on_first_use():
    plus = dp.DbPlus(object())
    with pytest.raises(AttributeError):
        plus.escape("t")
    with pytest.raises(AttributeError):
        plus.is_mssql()


# cache

def test_instances_have_separate_caches(db):
    a, b = dp.DbPlus(db), dp.DbPlus(db)
    a._write_cache("k", 1)
    b._write_cache("k", 2)
    a.clear_cache()
    assert (a._read_cache("k"), b._read_cache("k")) == (None, 2)


def test_cache_read_write_and_eviction(plus):
    plus._write_cache("k", [])
    assert plus._read_cache("k") == [] and plus._read_cache("other") is None
    old = plus.cache
    assert plus.evict_cache("orders") is None and plus.cache is old
    assert plus.evict_cache("_prop") is None
    assert plus.cache == {} and plus.cache is not old and old == {"k": []}


def test_disabled_cache_neither_reads_nor_writes_nor_evicts(plus):
    plus._write_cache("k", 1)
    plus.cache_enabled = False
    plus._write_cache("n", 2)
    assert plus._read_cache("k") is None
    plus.evict_cache("_model")
    assert plus.cache == {"k": 1}
    plus.clear_cache()
    assert plus.cache == {}


def test_cache_keeps_the_most_recently_used_entries(db, monkeypatch):
    assert dp.DbPlus.cache_limit == 10000
    monkeypatch.setattr(dp.DbPlus, "cache_limit", 3)
    plus = dp.DbPlus(db)
    for key in "abc":
        plus._write_cache(key, key.upper())
    assert plus._read_cache("a") == "A"  # a read counts as a use
    plus._write_cache("b", "B2")  # so does a write
    plus._write_cache("d", "D")
    assert list(plus.cache.items()) == [("a", "A"), ("b", "B2"), ("d", "D")]
    plus.cache_limit = 1
    plus._write_cache("e", [])
    assert plus.cache == {"e": []} and plus._read_cache("e") == []
    plus.cache_limit = None
    for key in range(50):
        plus._write_cache(key, key)
    assert len(plus.cache) == 51


def test_a_load_stores_only_into_the_cache_it_looked_in(plus, db, fk):
    # the host clears while the permission rows are read: what they held must not be stored
    db.reply(fk.ACL_PROP_SQL, [Dict(name="secret")])
    reply = db._answer

    def answer_then_clear(name, args, kwargs, default):
        result = reply(name, args, kwargs, default)
        plus.clear_cache()
        return result

    db._answer = answer_then_clear
    assert plus.acl_prop(1, "m") == {"secret"} and plus.cache == {}
    plus._write_cache("k", 1)  # a direct write stores into the cache as it is now
    assert plus.cache == {"k": 1}


# column mapping

@pytest.mark.parametrize("reference, expected", [
    ("dept.name", ("dept", "name")), ("dept.nope", ("dept", "nope")), ("zz.name", (None, None)),
    ("a.b.c", (None, None)), ("dept", (None, None)),
])
def test_table_column(plus, db, reference, expected):
    found = plus.table_column(reference)
    assert (found[0] and found[0].name, found[1]) == expected and isinstance(found, tuple)


class TinyType:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


@pytest.mark.parametrize("type_, name, expected", [
    (sat.String, "isOn", "string"), (sat.Integer, "count", "integer"), (sat.Integer, "isOn", "bool"),
    (sat.Integer, "deleteEnabled", "bool"), (TinyType("TinyInt(1)"), "flag", "integer"),
    (TinyType("TINYINT"), "isX", "bool"), (TinyType("tinyint(4)"), "deleteEnabled", "bool"),
    (TinyType("int"), "isX", "string"), (sat.DateTime, "at", "datetime"), (sat.Time, "at", "time"),
    (sat.Boolean, "b", "bool"), (sat.String(20), "s", "string"), (sat.Integer(), "isOn", "string"),
    (sat.DateTime(), "at", "string"), (sat.Text, "t", "string"),
])
def test_guess_column_type(fk, type_, name, expected):
    assert dp.DbPlus.guess_column_type(fk.Column(name, type_)) == expected


def test_guess_column_type_reads_the_type_classes_when_used(fk, plus, monkeypatch):
    class MyInt:
        pass
    monkeypatch.setattr(dp, "Integer", MyInt)
    assert plus.guess_column_type(fk.Column("n", MyInt)) == "integer"
    assert plus.guess_column_type(fk.Column("n", sat.Integer)) == "string"
    assert plus.guess_column_type(None) == "string"
    with pytest.raises(AttributeError):
        plus.guess_column_type(object())
