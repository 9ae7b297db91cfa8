"""The statements that the extension runs on the metadata tables, exactly as
it writes them (MySQL-flavoured), run through the handle on every engine."""

import pytest

MODEL = (
    "\n        select"
    "\n            _model.*,"
    '\n            mt.table as "mt.table",'
    '\n            mt.columns as "mt.columns",'
    '\n            mt.join as "mt.join",'
    '\n            mt.alias as "mt.alias",'
    '\n            mt.order as "mt.order"'
    "\n        from"
    "\n            _model"
    "\n        left join _model_table mt on _model.model = mt.model"
    "\n        where _model.model=:model order by mt.order asc"
    "\n        "
)

PROPS = "select * from _prop where model=:model"


def acl_func(resource_filter):
    return (
        "\n        select distinct s.resource, s.type, a.funcKey, "
        '\n        a.id as "funcId", a.resourceId from'
        "\n            _acl_func a,"
        "\n            _resource s,"
        "\n            _user_role ur,"
        "\n            _role_acl_func rf"
        "\n        where"
        "\n            "
        + resource_filter
        + "\n            a.resourceId = s.id"
        "\n            and ur.userId = :uid"
        "\n            and ur.roleId = rf.roleId "
        "\n            and rf.aclFuncId = a.id"
        "\n        "
    )


def acl_data(model_filter):
    return (
        "\n        select distinct a.cond, a.join, a.model, a.name, a.order"
        "\n            from _acl_data a, _user_role ur, _role_acl_data rd"
        "\n        where"
        "\n            "
        + model_filter
        + "\n            ur.userId = :uid "
        "\n            and ur.roleId = rd.roleId"
        "\n            and rd.aclDataId = a.id"
        "\n        "
    )


ACL_PROP = (
    "\n        SELECT"
    "\n            _prop.model,"
    "\n            _prop.name"
    "\n        FROM"
    "\n            _prop"
    "\n        JOIN _role_prop ON _role_prop.propId = _prop.id"
    "\n        JOIN _user_role ur ON ur.roleId = _role_prop.roleId"
    "\n        AND _role_prop.roleId = ur.roleId AND ur.userId = :uid"
    "\n        WHERE"
    "\n             _prop.model = :model"
    "\n        "
)

SEQ = (
    '\n        SELECT s.*, v.id as "valueId", v.value'
    "\n        FROM _seq s LEFT JOIN _seq_value v ON s.id = v.seqId and orgId=:orgId"
    "\n        WHERE s.name=:name"
    "\n        "
)

PROP_DELETE_BY_ID = "delete from _prop where id=:id"
PROP_BY_NAME = "select * from _prop where model=:model and name=:name"
PROP_DELETE_BY_NAME = "delete from _prop where model=:model and name=:name"

RESOURCE_FILTER = "s.type = :resource_type and s.resource = :resource and "
MODEL_FILTER = "a.model = :model and "

USER, NO_ROLE, ORG = 7, 8, 3


@pytest.fixture(scope="module")
def seeded(metadata_db):
    db = metadata_db
    db.add("_model", {"model": "user", "table": "t_user", "alias": "u", "columns": "id,name", "displayName": "用户"})
    db.add("_model", {"model": "dept", "table": "t_dept", "displayName": "部门"})
    db.add_many("_model_table", [
        {"model": "user", "table": "t_dept", "alias": "d", "join": "d.id = u.deptId", "columns": "name", "order": 2},
        {"model": "user", "table": "t_org", "alias": "o", "join": "o.id = u.orgId", "columns": "", "order": 1},
    ])
    role = db.add("_role", {"name": "clerk"})
    db.add("_user_role", {"userId": USER, "roleId": role.id})
    model_res = db.add("_resource", {"resource": "user", "type": "model", "name": "用户"})
    func_res = db.add("_resource", {"resource": "export", "type": "func"})
    funcs = db.add_many("_acl_func", [
        {"resourceId": model_res.id, "funcKey": "queryEnabled"},
        {"resourceId": model_res.id, "funcKey": "createEnabled"},
        {"resourceId": func_res.id, "funcKey": "run"},
    ])
    db.add_many("_role_acl_func", [{"roleId": role.id, "aclFuncId": f.id} for f in funcs])
    rules = db.add_many("_acl_data", [
        {"model": "t_user", "name": "own org", "cond": "u.orgId = $user.orgId", "join": "", "order": 1},
        {"model": "t_dept", "name": "all", "cond": "1 = 1", "order": 2},
    ])
    db.add_many("_role_acl_data", [{"roleId": role.id, "aclDataId": r.id} for r in rules])
    props = db.add_many("_prop", [
        {"model": "user", "name": "name", "table": "t_user", "column": "name"},
        {"model": "user", "name": "salary", "table": "t_user", "column": "salary"},
    ])
    db.add("_role_prop", {"roleId": role.id, "propId": props[1].id})
    seq = db.add("_seq", {"name": "PO", "prefix": "PO", "timeFormat": "%Y", "digits": 4})
    db.add("_seq_value", {"seqId": seq.id, "orgId": ORG, "value": 5})
    db.add_many("_dict", [
        {"domain": "status", "key": "1", "value": "启用", "order": 2},
        {"domain": "status", "key": "0", "value": "停用", "order": 1},
        {"domain": "gender", "key": "m", "value": "男", "order": 3},
        {"domain": "other", "key": "x", "value": "X", "order": 0},
    ])
    return db


def test_model_statement_lists_the_joined_tables_in_order(seeded):
    rows = seeded.query(MODEL, model="user")
    assert [(r["mt.table"], r["mt.alias"], r["mt.order"]) for r in rows] == [("t_org", "o", 1), ("t_dept", "d", 2)]
    assert {(r.table, r.alias, r.columns, r.displayName) for r in rows} == {("t_user", "u", "id,name", "用户")}
    assert rows[1]["mt.join"] == "d.id = u.deptId" and rows[1]["mt.columns"] == "name"
    assert {"id", "groupBy", "orderBy", "spName", "distinctEnabled", "uiData"} <= rows[0].keys()


def test_model_statement_without_joined_tables(seeded):
    rows = seeded.query(MODEL, model="dept")
    assert len(rows) == 1 and rows[0]["mt.table"] is None and rows[0].displayName == "部门"
    assert seeded.query(MODEL, model="none") == []


def test_property_statement(seeded):
    assert sorted(r.name for r in seeded.query(PROPS, model="user")) == ["name", "salary"]


@pytest.mark.parametrize("resource_filter, uid, expected", [
    ("", USER, {("user", "model", "queryEnabled"), ("user", "model", "createEnabled"), ("export", "func", "run")}),
    (RESOURCE_FILTER, USER, {("user", "model", "queryEnabled"), ("user", "model", "createEnabled")}),
    ("", NO_ROLE, set()),
])
def test_acl_func_statement(seeded, resource_filter, uid, expected):
    rows = seeded.query(acl_func(resource_filter), resource_type="model", resource="user", uid=uid)
    assert {(r.resource, r.type, r.funcKey) for r in rows} == expected
    assert all(r.keys() == {"resource", "type", "funcKey", "funcId", "resourceId"} for r in rows)
    assert len({r.funcId for r in rows}) == len(rows)


@pytest.mark.parametrize("model_filter, uid, expected", [
    (MODEL_FILTER, USER, [("t_user", "u.orgId = $user.orgId", "", 1)]),
    ("", USER, [("t_dept", "1 = 1", None, 2), ("t_user", "u.orgId = $user.orgId", "", 1)]),
    ("", NO_ROLE, []),
])
def test_acl_data_statement(seeded, model_filter, uid, expected):
    rows = seeded.query(acl_data(model_filter), model="t_user", uid=uid)
    assert sorted((r.model, r.cond, r.join, r.order) for r in rows) == expected
    assert all(r.keys() == {"cond", "join", "model", "name", "order"} for r in rows)


@pytest.mark.parametrize("uid, expected", [(USER, [{"model": "user", "name": "salary"}]), (NO_ROLE, [])])
def test_acl_prop_statement(seeded, uid, expected):
    assert seeded.query(ACL_PROP, uid=uid, model="user") == expected


def test_sequence_statement_and_its_counter_rows(seeded):
    row = seeded.query_one(SEQ, name="PO", orgId=ORG)
    assert (row.prefix, row.timeFormat, row.digits, row.value) == ("PO", "%Y", 4, 5) and row.valueId
    fresh = seeded.query_one(SEQ, name="PO", orgId=ORG + 1)
    assert (fresh.valueId, fresh.value, fresh.name) == (None, None, "PO")
    counter = seeded.add("_seq_value", {"value": 0, "seqId": fresh.id, "orgId": ORG + 1})
    seeded.merge("_seq_value", {"id": counter.id, "value": 1})
    assert seeded.query_one(SEQ, name="PO", orgId=ORG + 1).value == 1
    assert seeded.query_one(SEQ, name="none", orgId=ORG) is None


def test_property_maintenance_statements_in_one_session(seeded):
    with seeded.session() as s:
        s.add("_prop", {"model": "gen", "name": "total", "table": "t", "column": "count(id)",
                        "asEnabled": 1, "dataType": "string", "displayName": "Total"})
        s.add("_prop", {"model": "gen", "name": "code", "table": "t", "column": "code",
                        "dataType": "string", "displayName": "Code"})
        assert s.query_one(PROP_BY_NAME, model="gen", name="total").asEnabled == 1
        assert s.execute(PROP_DELETE_BY_NAME, model="gen", name="code") == 1
        rows = s.query(PROPS, model="gen")
        assert [r.name for r in rows] == ["total"]
        assert s.execute(PROP_DELETE_BY_ID, id=rows[0].id) == 1
    assert seeded.query(PROPS, model="gen") == []


@pytest.mark.parametrize("domains, expected", [
    (["status", "gender"], [("status", "0"), ("status", "1"), ("gender", "m")]),
    (["gender", "missing"], [("gender", "m")]),
])
def test_dict_statement_orders_the_chosen_domains(seeded, domains, expected):
    clause, params = seeded.in_clause("domains", domains)
    sql = "select * from _dict" + " where domain in " + clause + " order by " + seeded.escape("order")
    rows = seeded.query(sql, **params)
    assert [(r.domain, r.key) for r in rows] == expected
    assert rows[0].keys() == {"id", "domain", "key", "value", "order"}


def test_dict_statement_without_domains_reads_all(seeded):
    assert len(seeded.query("select * from _dict")) == 4
