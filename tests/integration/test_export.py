"""Exports and value lists on real databases: the workbook read back holds
the rows of the same search over all pages, labelled, titled in display
order, with cells of the value's kind; value lists have the demo's codes."""

import datetime
import decimal

import pytest
from openpyxl import load_workbook

from ornivell.db.demo import USERS, build_demo
from ornivell.db.demo.models import DOMAINS, model_named

# enough orders for more than one export page of 2000 rows
EXPORT_SCALE = 2.5
LABELS = {domain: dict(entries) for domain, entries in DOMAINS.items()}


@pytest.fixture(scope="module")
def demo(make_database, engine_name):
    from ornivell.db._dbplus import DbPlus

    db = make_database(engine_name)
    build_demo(db, scale=EXPORT_SCALE)
    return db, DbPlus(db)


@pytest.fixture(autouse=True)
def export_dir(tmp_path, monkeypatch):
    monkeypatch.setenv("DBPLUS_EXPORT_DIR", str(tmp_path))


def user(login):
    return next(u for u in USERS if u.login == login)


def searched_rows(dp, demo_user, model, args):
    rows, page = [], 1
    while True:
        found, status = dp.search(demo_user.as_user(), model, {**args, "page": page, "limit": 1000})
        assert status == 200, found
        if not found.data:
            return rows
        rows += found.data
        page += 1


def exported_props(demo_user, model, columns=None):
    """The demo's properties that an export shows the user, in display order."""
    from ornivell.db.demo import ROLES

    hidden = {name for role in ROLES if role.name in demo_user.roles for name in role.hidden.get(model, ())}
    return [prop for prop in model_named(model).props
            if prop["name"] not in hidden and prop["name"] != "id" and (columns is None or prop["name"] in columns)]


def row_key(prop):
    if prop.get("transObjectName") and prop.get("transColumns"):
        return f"{prop['transObjectName']}.{prop['transColumns'].split(',')[0]}"
    return prop["name"]


def labelled(prop, value):
    domain = prop.get("transDict")
    return LABELS[domain].get(str(value), value) if domain else value


def cell(value):
    """(kind, value) as a spreadsheet holds ``value``."""
    if value is None or value == "":
        return "empty", None
    if isinstance(value, bool):
        return "bool", value
    if isinstance(value, (int, float, decimal.Decimal)):
        return "number", float(value)
    if isinstance(value, datetime.datetime):
        return "date", value.replace(tzinfo=None)
    if isinstance(value, datetime.date):
        return "date", datetime.datetime.combine(value, datetime.time())
    return "text", value


def read_back(path):
    sheet = load_workbook(path, read_only=True).active
    titles, *rows = sheet.iter_rows(values_only=True)
    return list(titles), [[cell(value) for value in row] for row in rows]


CASES = [
    ("ada", "order", {}),
    ("sam", "order", {"where": {"status": {"_in": ["paid", "shipped"]}}, "order": [{"code": "desc"}]}),
    ("ada", "product", {"key": "Pro"}),
    ("sue", "employee", {}),
    ("ada", "department", {}),
    ("mia", "customer", {"columns": ["code", "creditLimit", "ownerId"]}),
]


@pytest.mark.parametrize("stream_pages", [False, True], ids=["paged", "streamed"])
@pytest.mark.parametrize("login, model, args", CASES, ids=[f"{c[0]}-{c[1]}" for c in CASES])
def test_the_workbook_holds_the_search(demo, login, model, args, stream_pages):
    db, dp = demo
    demo_user = user(login)
    with db.session(stream_pages=stream_pages) as session:
        written, status = dp.export(demo_user.as_user(), model, args, session=session)
    assert status == 200, written
    props = exported_props(demo_user, model, args.get("columns"))
    titles, cells = read_back(written.path)
    assert titles == [prop["displayName"] for prop in props]
    expected = [[cell(labelled(prop, row[row_key(prop)])) for prop in props]
                for row in searched_rows(dp, demo_user, model, args)]
    assert cells == expected and cells


def test_cells_keep_the_kind_the_database_delivers(demo, engine_name):
    db, dp = demo
    written, _ = dp.export(user("ada").as_user(), "order", {"where": {"status": "paid"}})
    titles, cells = read_back(written.path)
    columns = dict(zip(titles, zip(*cells)))
    kinds = {title: {kind for kind, _ in column} - {"empty"} for title, column in columns.items()}
    assert set(columns["Status"]) == {("text", "Paid")}
    assert kinds["Lines"] == kinds["Total"] == {"number"}
    # SQLite keeps dates as texts and hands them over as such
    assert kinds["Ordered on"] == ({"text"} if engine_name == "sqlite" else {"date"})


@pytest.mark.parametrize("login, model, status", [("carl", "order", 403), ("ada", "nope", 404)])
def test_refusals(demo, login, model, status, tmp_path):
    written, got = demo[1].export(user(login).as_user(), model)
    assert got == status and set(written) == {"message"}
    assert list(tmp_path.iterdir()) == []


# value lists

def test_dictionary_lists(demo):
    dp = demo[1]
    every = dp.find_dict_domains()
    assert {name: {code: entry["label"] for code, entry in entries.items()}
            for name, entries in every.items() if name in DOMAINS} == LABELS
    chosen = dp.find_dict_domains(["order_status", "no_such_list"])
    assert list(chosen) == ["order_status"]
    assert [(code, entry["order"]) for code, entry in chosen["order_status"].items()] == [
        (code, order) for order, (code, _) in enumerate(DOMAINS["order_status"], start=1)]


def test_link_lists_follow_the_users_permissions(demo):
    db, dp = demo
    ada, sam = user("ada"), user("sam")
    lists = {login: dp.find_link_domains(u.as_user(), dp.model_info("order", u.as_user()))
             for login, u in (("ada", ada), ("sam", sam))}
    departments = {row["id"]: row["name"] for row in db.query("select id, name from department")}
    assert {code: entry["label"] for code, entry in lists["ada"]["org"].items()} == departments
    assert "org" not in lists["sam"]  # no grant on departments: silently left out
    names = {row["id"]: (row["name"], row["orgId"]) for row in db.query("select id, name, orgId from customer")}
    for login, demo_user in (("ada", ada), ("sam", sam)):
        customers = lists[login]["cu"]
        assert len(customers) == 50
        assert [entry["order"] for entry in customers.values()] == list(range(50))
        assert all(entry["label"] == names[code][0] for code, entry in customers.items())
        if login == "sam":
            assert {names[code][1] for code in customers} == {demo_user.orgId}
        statuses = lists[login]["status"]
        assert set(statuses) <= set(LABELS["order_status"]) and all(c == e["label"] for c, e in statuses.items())
