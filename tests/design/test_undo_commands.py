"""Every change the tool makes can be taken back from the command line,
what a user may do can be listed, and SQL that does not compile is refused
before it is stored, on every engine."""

import pytest

from ornivell.db.admin.grants import OPERATIONS

LINKS = ("_role_acl_func", "_role_prop", "_role_acl_data", "_acl_data", "_user_role")
SHORT = {key: short for short, key in OPERATIONS.items()}


def _rows(db, *tables):
    return {table: sorted(repr(sorted(row.items())) for row in db.query(f"select * from {table}"))
            for table in tables}


def _access(dbplus, db, *args):
    done = dbplus(db, "access", *args)
    assert done.status == 0, done.err
    return done.out


def test_revoke_show_and_drop_rule_take_back_what_grant_gave(business_db, dbplus):
    db = business_db.db
    before = _rows(db, *LINKS)
    assert dbplus(db, "role", "add", "auditor").status == 0
    rule = "c.orgId = $user.orgId and c.city is not null"
    done = dbplus(db, "grant", "auditor", "customer", "--ops", "query,export", "--hide", "city", "--rule", rule)
    assert done.status == 0, done.err
    assert dbplus(db, "role", "assign", "auditor", "4").status == 0
    listed = _access(dbplus, db, "4", "customer")
    assert f"search rule:  {rule}  (auditor)" in listed and "hidden:       city  (auditor)" in listed

    done = dbplus(db, "grant", "auditor", "customer", "--revoke", "query,export", "--show", "city",
                  "--drop-rule", rule)
    assert done.out.splitlines() == ["auditor may no longer query, export on customer",
                                     "auditor sees customer.city again",
                                     f"auditor no longer has the rule {rule} on customer"]
    again = dbplus(db, "grant", "auditor", "customer", "--revoke", "query", "--show", "city")
    assert again.out == "auditor held none of this on customer\n"
    assert dbplus(db, "role", "unassign", "auditor", "4").out == "user 4 no longer holds role auditor\n"
    assert dbplus(db, "role", "remove", "auditor", "--yes").status == 0
    assert _rows(db, *LINKS) == before


@pytest.mark.parametrize("args, message", [
    (("grant", "sales", "customer", "--rule", "c.orgId = = 1"), "the rule does not compile on customer: "),
    (("grant", "sales", "customer", "--rule", "c.nosuch = 1"), "the rule does not compile on customer: "),
    (("grant", "sales", "customer", "--rule", "x.orgId = 1", "--rule-join", "left join nosuch x on 1 = 1"),
     "the rule does not compile on customer: "),
    (("model", "add", "badjoin", "--table", "customer", "--join", "department d (name) on d.nosuch = customer.orgId"),
     "model badjoin: join of department (left join department d on d.nosuch = customer.orgId) does not compile: "),
    (("model", "add", "badexpr", "--table", "customer", "--columns", "id,nosuch * 2 as twice"),
     "model badexpr: column nosuch * 2 as twice does not compile: "),
    (("model", "add", "badsql", "--table", "badsql", "--sql", "select id from customer where"),
     "model badsql: the model's SQL does not compile: "),
    (("grant", "sales", "customer", "--drop-rule", "no such rule"), "sales has no rule on customer named or reading"),
    (("role", "remove", "sales"), "role sales kept: confirm at the prompt, or give --yes"),
    (("model", "remove", "nosuch"), "no model named nosuch"),
])
def test_mistakes_are_refused_in_one_line_with_nothing_changed(business_db, dbplus, args, message):
    db = business_db.db
    before = _rows(db, *LINKS, "_model", "_model_table", "_prop")
    done = dbplus(db, *args)
    assert done.status == 1 and done.out == ""
    assert len(done.err.splitlines()) == 1 and message in done.err
    assert _rows(db, *LINKS, "_model", "_model_table", "_prop") == before


def test_model_check_reports_stored_sql_that_does_not_compile(business_db, dbplus):
    db = business_db.db
    rule = db.add("_acl_data", {"model": "customer", "name": "typo", "cond": "c.orgId = = 1"})
    db.execute("update _model set orderBy = 'nosuch_column' where model = 'product'")
    try:
        done = dbplus(db, "model", "check", "customer")
        assert done.status == 1 and "row rule typo on customer (c.orgId = = 1) does not compile: " in done.out
        done = dbplus(db, "model", "check", "product")
        assert done.status == 1 and "the model's orderBy (nosuch_column) does not compile: " in done.out
    finally:
        db.delete("_acl_data", rule.id)
        db.execute("update _model set orderBy = null where model = 'product'")


def _section(listed, model):
    """The lines under ``model`` in an access listing."""
    lines, inside = [], False
    for line in listed.splitlines():
        if not line.startswith(" "):
            inside = line == model
        elif inside:
            lines.append(line.strip())
    return lines


def _listed_ops(section):
    return sorted({op.strip() for line in section if line.startswith("operations:")
                   for op in line.split(":", 1)[1].rsplit("(", 1)[0].split(",")})


def test_access_lists_what_the_module_decides(business_db, dbplus):
    db, dp = business_db.db, business_db.dp
    dp.clear_cache()
    for user in business_db.summary.users:
        listed = _access(dbplus, db, str(user.id))
        for model in ("customer", "employee", "product", "order"):
            section = _section(listed, model)
            assert _listed_ops(section) == sorted(SHORT[key] for key in dp.acl_model(user.id, model) or {})
            hidden = {line.split()[1] for line in section if line.startswith("hidden:")}
            assert hidden == dp.acl_prop(user.id, model), (user.login, model)
    listed = dbplus(db, "grant", "list", "customer").out
    assert "search rule:  c.orgId = $user.orgId  (sales)" in listed and "hidden:       creditLimit  (clerk)" in listed
    assert dbplus(db, "role", "show", "sales").out.startswith("role sales: held by 2, 3, 5\ncustomer\n")


def test_role_and_model_removal_take_every_metadata_row_and_no_table(business_db, dbplus):
    db = business_db.db
    projects = db.query("select count(*) as n from project")[0].n
    done = dbplus(db, "model", "remove", "project")
    assert done.status == 0 and done.out.startswith("model project removed")
    for table, column in (("_model", "model"), ("_prop", "model"), ("_model_table", "model"),
                          ("_acl_data", "model"), ("_resource", "resource")):
        assert not db.query(f"select id from {table} where {column} = 'project'"), table
    assert db.query("select count(*) as n from project")[0].n == projects

    role_id = db.query_one("select id from _role where name = 'clerk'").id
    assert dbplus(db, "role", "remove", "clerk", "--yes").out.startswith("role clerk removed (operation grants: ")
    for table in ("_role_acl_func", "_role_prop", "_role_acl_data", "_user_role"):
        assert not db.query(f"select id from {table} where roleId = :r", r=role_id), table
    assert _access(dbplus, db, "4") == "user 4 holds no role: may do nothing\n"
