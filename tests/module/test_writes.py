"""Create, update, delete and link rows against a recording handle: permission checks, statements, sessions
and answers."""

import pytest

from ornivell.db import _dbplus as dp
from ornivell.db.db import Dict

USER = Dict(id=1, orgId=7)
RULES = [Dict(cond="a = $user.orgId", join="left join z", order=2), Dict(cond="b = 1 or c = 2", join=None, order=0)]
RULE_GROUP = "((a = :user_orgId) and (b = 1 or c = 2))"
ALL_OPS = ("createEnabled", "updateEnabled", "deleteEnabled")


class Recording(dp.DbPlus):
    """Notes the session each permission check gets."""

    def check_perm(self, *args, **kwargs):
        self.checked.append(kwargs.get("session", "none given"))
        return super().check_perm(*args, **kwargs)


@pytest.fixture
def plus(write_db):
    plus = Recording(write_db)
    plus.checked = []
    return plus


@pytest.fixture
def S(write_db, fk):
    """A caller's session."""
    return fk.FakeSession(write_db)


@pytest.fixture
def model(plus, write_db, fk):
    """``model(alias="", rules=(), ops=ALL_OPS, **props)``: caches model m on table t for user 1."""
    def make(alias="", rules=(), ops=ALL_OPS, *props):
        props = props or (fk.prop("id"), fk.prop("name", selectEnabled=1), fk.prop("code", validateEnabled=1),
                          fk.prop("by", updateUserEnabled=1))
        info = fk.make_info(*props, alias=alias, tables=[write_db.tables["t"]])
        fk.warm(plus, info, acl_data=rules, ops=ops)
        return info
    return make


# create

def test_create_checks_in_the_caller_session_and_adds_the_completed_row(plus, S, write_db, model):
    model()
    assert plus.create(USER, "m", {}) == ({"message": "不能创建空表单"}, 400) and plus.checked == []
    assert plus.create(USER, "m", {"name": "x"}, session=S) == ({"code": "code is required"}, 400)
    assert plus.create(USER, "m", {"code": "c"}, session=S) == (Dict(id=99), 200)
    assert plus.checked == [S, S]
    assert write_db.writes == [("add", ("t", {"code": "c"}), [("session", S)])]


def test_create_many_checks_without_session_and_writes_nothing_when_one_fails(plus, S, write_db, model):
    model()
    assert plus.create_many(USER, "m", [{"code": "a"}, {}, {"code": "b"}], session=S) == (
        [{"code": "code is required"}], 400)
    assert plus.create_many(USER, "m", {"code": "a"}, session=S) == ([Dict(id=99)], 200)
    assert plus.create_many(USER, "m", [], session=S) == ([], 200)
    assert plus.checked == ["none given"] * 3
    assert write_db.writes == [("add_many", ("t", [{"code": "a"}]), [("session", S)]),
                               ("add_many", ("t", []), [("session", S)])]
    assert "批量增加，验证创建功能权限" in dp.DbPlus.create_many.__doc__


@pytest.mark.parametrize("call", [
    lambda plus: plus.create(USER, "m", {"code": "c"}), lambda plus: plus.create_many(USER, "m", []),
    lambda plus: plus.update(USER, "m", {"id": 1}), lambda plus: plus.update_many(USER, "m", []),
    lambda plus: plus.delete(USER, "m", 1),
])
def test_refused_writes_pass_the_permission_answer_on(plus, write_db, model, call):
    model(ops=("queryEnabled",))
    payload, status = call(plus)
    assert status == 403 and payload["message"].startswith("无权限") and payload["message"].endswith(": 模型")
    assert {c.name for c in write_db.writes} <= {"session.enter", "session.exit"}


# update

@pytest.mark.parametrize("alias, rules, sql, kwargs", [
    ("", [], 'select "t".* from "t" "t" where "t"."id"=:id', [("id", 4)]),
    ("", RULES, f'select "t".* from "t" "t" left join z where ("t"."id"=:id) and {RULE_GROUP}',
     [("id", 4), ("user_orgId", 7)]),
    ("e", RULES[:1], 'select "e".* from "t" "e" left join z where ("e"."id"=:id) and (a = :user_orgId)',
     [("id", 4), ("user_orgId", 7)]),
])
def test_update_reads_the_row_under_the_rules_then_merges(plus, write_db, model, alias, rules, sql, kwargs):
    model(alias, rules)
    write_db.reply(sql, Dict(id=4, name="old", code="c", secret="s"))
    main = alias or "t"
    check = (f'select "{main}".* from "t" "{main}" left join z where "{main}"."id" in (:dbplus_written_ids_0)'
             f' and {RULE_GROUP if len(rules) > 1 else "(a = :user_orgId)"}')
    write_db.reply(check, [Dict(id=4)])
    data = {"id": 4, "name": "new", "by": 9}
    # the answer holds what the user may read: no column that no property shows
    assert plus.update(USER, "m", data) == ({"id": 4, "name": "new", "code": "c", "by": 1}, 200)
    merge = ("session.merge", ("t", {"id": 4, "name": "new", "by": 1}), [])
    if rules:
        # the row the update leaves must still be one the rules admit
        merge = [("savepoint.enter", (), []), merge,
                 ("session.query", (check,), [("dbplus_written_ids_0", 4)] + kwargs[1:]),
                 ("savepoint.exit", (None,), [])]
    else:
        merge = [merge]
    assert write_db.writes == [
        ("session.enter", (), []), ("session.query_one", (sql,), kwargs), *merge, ("session.exit", (None,), [])]
    assert len(plus.checked) == 1 and plus.checked[0] is not None


@pytest.mark.parametrize("rules, data, answer", [
    (RULES, {"id": 4}, ({"message": "无数据权限更新: 模型, {'id': 4}"}, 403)),
    ([], {"id": 4}, ({"message": "模型(id=4)不存在"}, 404)),
    ([], Dict(id="4"), ({"message": "模型(id=4)不存在"}, 404)),
    ([], {"name": "x"}, ({"id": "id is required"}, 400)),
])
def test_update_refusals_write_nothing(plus, S, write_db, model, rules, data, answer):
    model(rules=rules)
    assert plus.update(USER, "m", data, session=S) == answer
    assert [c.name for c in write_db.writes] in (["session.query_one"], [])
    assert plus.checked == [S]


def test_update_leaves_its_session_with_the_error(plus, write_db, model):
    model()
    write_db.reply('select "t".* from "t" "t" where "t"."id"=:id', LookupError("gone"))
    with pytest.raises(LookupError):
        plus.update(USER, "m", {"id": 1})
    assert write_db.writes[-1] == ("session.exit", (LookupError,), [])


def test_update_many_refuses_a_batch_with_rows_the_rules_hide(plus, S, write_db, model):
    model(rules=RULES)
    sql = f'select "t".* from "t" "t" left join z where ("t".id in (:t_ids_0, :t_ids_1)) and {RULE_GROUP}'
    write_db.reply(sql, [Dict(id=1)])
    data = [{"id": 1, "name": "a"}, {"id": "2", "name": "b"}]
    assert plus.update_many(USER, "m", data, keys=["id"], session=S) == (
        {"message": "无数据权限更新: 模型, {'id': ['2']}"}, 403)
    write_db.reply(sql, [Dict(id=1), Dict(id=2)])
    check = f'select "t".* from "t" "t" left join z where "t"."id" in (:dbplus_written_ids_0, :dbplus_written_ids_1) and {RULE_GROUP}'
    write_db.reply(check, [Dict(id=1), Dict(id=2)])
    assert plus.update_many(USER, "m", data, keys=["id"]) == ({"message": "批量更新成功！"}, 200)
    query = ("query", (sql,), [("t_ids_0", 1), ("t_ids_1", "2"), ("user_orgId", 7)])
    calls = write_db.writes
    assert calls[:4] == [query, query, ("session.enter", (), []), ("savepoint.enter", (), [])]
    assert calls[4][:2] == ("update_many", ("t", data)) and calls[4].kwargs[0] == ("keys", ["id"])
    assert calls[5] == ("session.query", (check,), [("dbplus_written_ids_0", 1), ("dbplus_written_ids_1", "2"),
                                                   ("user_orgId", 7)])
    assert calls[6:] == [("savepoint.exit", (None,), []), ("session.exit", (None,), [])]
    assert data[0]["by"] == 1 and plus.checked == ["none given"] * 2
    assert "批量更新，验证更新功能权限" in dp.DbPlus.update_many.__doc__


def test_update_many_without_rules_or_ids(plus, write_db, model):
    model()
    assert plus.update_many(USER, "m", [{"id": 1}, {"name": "b"}]) == ({"id": "id is required"}, 400)
    assert plus.update_many(USER, "m", {"id": 1}) == ({"message": "批量更新成功！"}, 200)
    assert write_db.writes == [("update_many", ("t", [{"id": 1, "by": 1}]), [("keys", None)])]


# delete

@pytest.mark.parametrize("alias, rules, sql, kwargs", [
    ("", [], 'select "t".* from "t" "t" where "t"."id"=:id', [("id", "4")]),
    ("e", RULES, f'select "e".* from "t" "e" left join z where "e"."id"=:id and {RULE_GROUP}',
     [("id", "4"), ("user_orgId", 7)]),
])
def test_delete_reads_the_row_under_the_rules(plus, S, write_db, model, alias, rules, sql, kwargs):
    model(alias, rules)
    assert plus.delete(USER, "m", "4", session=S) == (
        {"message": "无数据权限删除: 模型(id=4)"} if rules else {"message": "模型(id=4)不存在"}, 403 if rules else 404)
    write_db.reply(sql, Dict(id=4, name="gone", secret="s"))
    assert plus.delete(USER, "m", "4") == ({"id": 4, "name": "gone"}, 200)
    read = ("session.query_one", (sql,), kwargs)
    assert write_db.writes == [read, ("session.enter", (), []), read, ("session.delete", ("t", "4"), []),
                               ("session.exit", (None,), [])]


# a key not named id, shown as the property id

@pytest.fixture
def keyed(plus, write_db, fk):
    """Model m on table k, whose key kid is the property id."""
    def make(rules=(), id_hidden=False):
        table = fk.Table("k", "kid", "name")
        table.primary_key = [table.c["kid"]]
        write_db.tables["k"] = table
        props = [fk.prop("id", table="k", column="kid"), fk.prop("name", table="k", selectEnabled=1)]
        info = fk.make_info(*props[id_hidden:], table="k", tables=[table])
        fk.warm(plus, info, acl_data=rules, ops=ALL_OPS)
        plus._write_cache("/model/m/", fk.make_info(*props, table="k", tables=[table]))
    return make


def test_writes_find_the_record_by_the_column_of_the_property_id(plus, S, write_db, keyed):
    keyed()
    read = 'select "k".* from "k" "k" where "k"."kid"=:id'
    assert plus.update(USER, "m", {"id": 4, "name": "x"}, session=S) == ({"message": "模型(id=4)不存在"}, 404)
    write_db.reply(read, Dict(kid=4, name="old"))
    assert plus.update(USER, "m", {"id": 4, "name": "new"}, session=S) == ({"id": 4, "kid": 4, "name": "new"}, 200)
    write_db.reply(read, Dict(kid=4, name="old"))
    assert plus.delete(USER, "m", 4, session=S) == ({"kid": 4, "name": "old", "id": 4}, 200)
    assert plus.update_many(USER, "m", [{"id": 4, "name": "b"}]) == ({"message": "批量更新成功！"}, 200)
    assert [c for c in write_db.writes if c.name != "session.query_one"] == [
        ("session.merge", ("k", {"id": 4, "name": "new", "kid": 4}), [("key", "kid")]),
        ("session.delete", ("k", 4), [("key", "kid")]),
        ("update_many", ("k", [{"id": 4, "name": "b", "kid": 4}]), [("keys", ["kid"])])]
    assert {c.args[0] for c in write_db.writes if c.name == "session.query_one"} == {read}
    assert plus.primary_key_cond_list([{"id": 4}], write_db.tables["k"], column="kid")[0] == [
        '"k"."kid" in (:k_ids_0)']


def test_a_user_who_does_not_see_the_property_id_still_names_records_by_it(plus, S, write_db, keyed):
    keyed(id_hidden=True)
    write_db.reply('select "k".* from "k" "k" where "k"."kid"=:id', Dict(kid=4, name="old"))
    assert plus.update(USER, "m", {"id": 4, "name": "new"}, session=S) == ({"name": "new"}, 200)  # kid shows only as id
    assert write_db.writes[-1] == ("session.merge", ("k", {"id": 4, "name": "new", "kid": 4}), [("key", "kid")])


def test_rule_checks_after_writes_read_the_key_column(plus, S, write_db, keyed):
    keyed(rules=RULES[:1])
    read = 'select "k".* from "k" "k" left join z where ("k"."kid"=:kid) and (a = :user_orgId)'
    check = 'select "k".* from "k" "k" left join z where "k"."kid" in (:dbplus_written_ids_0) and (a = :user_orgId)'
    write_db.reply(read, Dict(kid=4, name="old"))
    write_db.reply(check, [Dict(kid=4)])
    assert plus.update(USER, "m", {"id": 4, "name": "new"}, session=S)[1] == 200
    write_db.reply(check, [])
    assert plus.update(USER, "m", {"id": 4, "name": "new"}, session=S) == (
        {"message": "无数据权限更新: 模型, {'kid': 4}"}, 403)
    assert plus.update(USER, "m", {"id": 4, "kid": 5}, session=S) == (
        {"id": "id and kid name different records"}, 400)


# relations

@pytest.mark.parametrize("alias", ["", "q"])
def test_relation_searches_the_link_rows_of_both_key_lists(plus, S, write_db, model, parser, alias):
    model(alias=alias, ops=("queryEnabled",))
    rows, status = plus.relation(USER, "m", "deptId", [1, 2], "code", ["x"], session=S)
    assert (rows, status) == (["row"], 200)
    page = [c for c in write_db.calls if c.name == "query_page"][0]
    name = alias or "t"
    assert (f' where ("{name}"."deptId" in (:from_keys_0, :from_keys_1) and "{name}"."code" in (:to_keys_0))'
            in page.args[0])
    assert page.kwargs == [("page", 1), ("limit", 10), ("do_count", None), ("from_keys_0", 1), ("from_keys_1", 2),
                           ("to_keys_0", "x"), ("session", S)]
    model(ops=())
    assert plus.relation(USER, "m", "name", [], "code", []) == ({"message": "无权限查询: 模型"}, 403)


@pytest.mark.parametrize("from_key, to_key, bad", [
    ("((select max(salary) from e) > 9) and t.code", "code", "from_key"),
    ("deptId", 'code" or "1', "to_key"),
    ("dept.name", "code", "from_key"),
    (None, "code", "from_key"),
    ("deptId", 7, "to_key"),
])
def test_relation_keys_must_be_columns_of_the_link_table(plus, write_db, model, parser, from_key, to_key, bad):
    model(ops=("queryEnabled",))
    with pytest.raises(ValueError, match=f"^{bad}: .* is not a column of t$"):
        plus.relation(USER, "m", from_key, [1], to_key, [2])
    assert write_db.runs == []


def test_relation_update_adds_missing_rows_then_deletes(plus, S, write_db, model):
    model(ops=("createEnabled", "deleteEnabled"))
    write_db.reply('select * from "t" where "deptId"=:deptId and "code"=:code and "by"=:by', Dict(id=5), code="a")
    added = [{"deptId": 1, "code": "a"}, {"deptId": 1, "code": "b"}, {"deptId": 1, "nope": 1}]
    assert plus.relation_update(USER, "m", add_data=added, del_data=[{"deptId": 1}, {"nope": 2}],
                                session=S) == ({"message": "success"}, 200)
    select = 'select * from "t" where "deptId"=:deptId and "code"=:code and "by"=:by'
    # concurrent adders of one link table take turns
    assert write_db.writes == [
        ("serialized", ("_link/t",), []), ("serialized.enter", (), []),
        ("session.query_one", (select,), [("deptId", 1), ("code", "a"), ("by", 1)]),
        ("session.query_one", (select,), [("deptId", 1), ("code", "b"), ("by", 1)]),
        ("session.add", ("t", {"deptId": 1, "code": "b", "by": 1}), []),
        ("session.execute", ('delete from "t" where "deptId"=:deptId',), [("deptId", 1)]),
        ("serialized.exit", (None,), [])]
    write_db.calls.clear()
    assert plus.relation_update(USER, "m", del_data=[{"deptId": 1}]) == ({"message": "success"}, 200)
    assert [c.name for c in write_db.writes] == ["session.enter", "session.execute", "session.exit"]


LINK_READ = 'select "t".* from "t" "t" left join z where '


def test_link_rows_added_under_rules_must_be_visible_or_nothing_is_kept(plus, write_db, model):
    model(rules=RULES[:1], ops=("createEnabled",))
    exists = 'select * from "t" where "deptId"=:deptId and "by"=:by'
    write_db.reply(exists, Dict(id=5, deptId=1, by=1), deptId=1)
    write_db.reply(LINK_READ + '("t"."id"=:id) and (a = :user_orgId)', Dict(id=5), id=5)
    write_db.reply("t", Dict(id=99, deptId=2, by=1))  # the row as the session stored it
    rows = [{"deptId": 1}, {"deptId": 2}, {"deptId": 3}]
    assert plus.relation_update(USER, "m", add_data=rows) == ({"message": "无数据权限增加: 模型"}, 403)
    seen = ("session.query_one", (LINK_READ + '("t"."id"=:id) and (a = :user_orgId)',))
    assert write_db.writes == [
        ("serialized", ("_link/t",), []), ("serialized.enter", (), []), ("savepoint.enter", (), []),
        ("session.query_one", (exists,), [("deptId", 1), ("by", 1)]), (*seen, [("id", 5), ("user_orgId", 7)]),
        ("session.query_one", (exists,), [("deptId", 2), ("by", 1)]),
        ("session.add", ("t", {"deptId": 2, "by": 1}), []), (*seen, [("id", 99), ("user_orgId", 7)]),
        ("savepoint.rollback", (), []), ("savepoint.exit", (None,), []), ("serialized.exit", (None,), [])]


def test_link_rows_removed_under_rules_are_only_those_the_rules_admit(plus, write_db, model):
    model(rules=RULES[:1], ops=("deleteEnabled",))
    admitted = LINK_READ + '("t"."deptId"=:deptId and "t"."code"=:code) and (a = :user_orgId)'
    write_db.reply(admitted, [Dict(id=3, deptId=1, code="x"), Dict(id=4, deptId=1, code="x")])
    rows = [{"deptId": 1, "code": "x"}, {"nope": 1}]
    assert plus.relation_update(USER, "m", del_data=rows) == ({"message": "success"}, 200)
    assert write_db.writes == [
        ("session.enter", (), []),
        ("session.query", (admitted,), [("deptId", 1), ("code", "x"), ("user_orgId", 7)]),
        ("session.execute", ('delete from "t" where "t"."id"=:id',), [("id", 3)]),
        ("session.execute", ('delete from "t" where "t"."id"=:id',), [("id", 4)]),
        ("session.exit", (None,), [])]


@pytest.mark.parametrize("ops, add, remove, answer", [
    ((), None, [], ({"message": "success"}, 200)),
    (("deleteEnabled",), [{"code": "a"}], None, ({"message": "无权限增加: 模型"}, 403)),
    (("createEnabled",), [{"code": "a"}], [{"code": "a"}], ({"message": "无权限删除: 模型"}, 403)),
])
def test_relation_update_permissions(plus, write_db, model, ops, add, remove, answer):
    model(ops=ops)
    assert plus.relation_update(USER, "m", add, remove) == answer
    assert [c.name for c in write_db.writes] == (["session.enter", "session.exit"] if answer[1] == 200 else [])


def test_relation_update_of_unknown_models(plus, write_db, model, fk):
    assert plus.relation_update(USER, "nope", [{}]) == ({"message": "业务模型（nope）不存在"}, 404)
    info = model()
    info.main_table = None
    assert plus.relation_update(USER, "m", [{}]) == ({"message": "关联表t不存在"}, 404)
