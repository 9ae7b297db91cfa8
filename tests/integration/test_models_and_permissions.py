"""Model loading and the three kinds of permission, read from real metadata tables."""

import pytest

from ornivell.db.demo.models import MODEL_NAMES, MODELS, model_named

OP_NAMES = {"queryEnabled": "查询", "exportEnabled": "导出", "createEnabled": "创建",
            "updateEnabled": "更新", "deleteEnabled": "删除"}
LOGINS = ("ada", "sam", "sue", "carl", "mia")


@pytest.mark.parametrize("login", LOGINS)
@pytest.mark.parametrize("model", MODEL_NAMES)
def test_model_info_drops_hidden_properties(it, business_db, users, login, model):
    info = business_db.dp.model_info(model, users[login])
    demo_user = users.demo[login]
    every = {prop["name"] for prop in model_named(model).props}
    assert set(info.props) == every - it.hidden_props(demo_user, model)
    assert business_db.dp.acl_prop(demo_user.id, model) == it.hidden_props(demo_user, model)


def test_hidden_properties_of_each_role(business_db, users):
    # the literal grants, in case the derived expectations above share a mistake
    dp = business_db.dp
    assert "salary" in dp.model_info("employee", users["ada"]).props
    assert "salary" not in dp.model_info("employee", users["sam"]).props
    assert "unitCost" not in dp.model_info("product", users["sam"]).props
    assert "unitCost" in dp.model_info("product", users["carl"]).props
    assert "creditLimit" not in dp.model_info("customer", users["carl"]).props
    assert "creditLimit" in dp.model_info("customer", users["sam"]).props
    assert {"salary"} == dp.acl_prop(5, "employee")
    assert {"creditLimit"} == dp.acl_prop(5, "customer")


@pytest.mark.parametrize("model", ("employee", "order"))
@pytest.mark.parametrize("login", ("ada", "sam"))
def test_model_info_tables_and_joins(business_db, users, login, model):
    info = business_db.dp.model_info(model, users[login])
    demo = model_named(model)
    assert (info.model["model"], info.model["displayName"], info.model["alias"]) == (model, demo.display, demo.alias)
    assert info.main_table.name == demo.table
    assert info.tables[demo.alias].name == demo.table and info.tables[demo.table].name == demo.table
    assert [(j["table"], j["alias"], j["join"], j["order"]) for j in info.join_tables] == [
        (join.table, join.alias, join.clause, order) for order, join in enumerate(demo.joins, start=1)]
    for join in demo.joins:
        assert info.tables[join.alias].name == join.table
    lookups = {p["transObjectName"]: p["transTable"].split(".")[0] for p in demo.props if p.get("transTable")}
    assert lookups, "the demo model should have translated properties"
    for alias, table in lookups.items():
        assert info.tables[alias].name == table


def test_model_info_is_per_user_and_none_for_unknown(business_db, users):
    dp = business_db.dp
    assert dp.model_info("no_such_model", users["ada"]) is None
    assert dp.model_info("employee", users["ada"]) is dp.model_info("employee", users["ada"])
    assert dp.model_info("employee", users["ada"]) is not dp.model_info("employee", users["sam"])


@pytest.mark.parametrize("login", LOGINS)
@pytest.mark.parametrize("model", MODEL_NAMES)
def test_check_perm_for_every_operation(it, business_db, users, login, model):
    granted = it.granted_ops(users.demo[login], model)
    for op, op_name in OP_NAMES.items():
        res = business_db.dp.check_perm(users[login], model, op, op_name)
        if op in granted:
            assert (res.status, res.message) == (200, None)
            assert res.acl == dict.fromkeys(granted, 1)
            assert res.info.model["model"] == model
        else:
            assert res.status == 403
            assert res.message == {"message": f"无权限{op_name}: {model_named(model).display}"}


@pytest.mark.parametrize("login, model, op, status, message", [
    ("carl", "order", "queryEnabled", 403, "无权限查询: Orders"),
    ("carl", "customer", "exportEnabled", 403, "无权限导出: Customers"),
    ("carl", "product", "updateEnabled", 200, None),
    ("sam", "employee", "createEnabled", 403, "无权限创建: Employees"),
    ("sam", "product", "updateEnabled", 403, "无权限更新: Products"),
    ("mia", "product", "updateEnabled", 200, None),
    ("mia", "order", "deleteEnabled", 403, "无权限删除: Orders"),
    ("ada", "no_such_model", "queryEnabled", 404, "no_such_model不存在"),
])
def test_check_perm_messages(business_db, users, login, model, op, status, message):
    res = business_db.dp.check_perm(users[login], model, op, OP_NAMES[op])
    assert res.status == status
    assert res.message == (message and {"message": message})


@pytest.mark.parametrize("login", LOGINS)
@pytest.mark.parametrize("key", sorted({*MODEL_NAMES, *(m.table for m in MODELS)}))
def test_acl_data_rows(it, business_db, users, login, key):
    rows = business_db.dp.acl_data(users[login].id, key)
    got = [(r["model"], r["cond"], r["join"], r["order"]) for r in rows]
    assert len(got) == len(set(got))
    assert set(got) == it.row_rules(users.demo[login], key)


def test_acl_data_literal_rules(business_db):
    dp = business_db.dp
    line, = dp.acl_data(2, "order_line")
    assert (line["cond"], line["join"], line["order"]) == (
        "aso.orgId = $user.orgId", "left join sales_order aso on aso.id = l.orderId", 50)
    assert [r["cond"] for r in dp.acl_data(3, "sales_order")] == ["o.orgId = $user.orgId"]
    assert list(dp.acl_data(1, "order")) == [] and list(dp.acl_data(4, "customer")) == []


@pytest.mark.parametrize("login, model", [("sam", "order"), ("carl", "order"), ("ada", "employee"),
                                          ("mia", "customer"), ("sue", "sales_by_department")])
def test_warm_check_perm_runs_no_statement(it, business_db, users, login, model):
    dp = business_db.dp
    dp.clear_cache()
    with it.count_statements(business_db.db) as cold:
        first = dp.check_perm(users[login], model, "queryEnabled", "查询")
    assert cold, "the counter must see the cold lookups"
    with it.count_statements(business_db.db) as warm:
        again = dp.check_perm(users[login], model, "queryEnabled", "查询")
    assert warm == []
    assert (again.status, again.message, again.acl) == (first.status, first.message, first.acl)


def test_warm_search_runs_only_its_own_statements(it, business_db, users):
    dp = business_db.dp
    dp.search(users["sam"], "order", {"key": "SO"})
    with it.count_statements(business_db.db) as warm:
        dp.search(users["sam"], "order", {"key": "SO", "doCount": True})
    assert len(warm) == 2  # the page and its count
