"""Creating, changing and deleting records and link rows as the demo users, on every engine: what a created
record carries, what row rules let each user change, sessions that roll back, and values no column takes."""

import datetime
import re
import uuid
from decimal import Decimal

import pytest

from ornivell.db.handle.row_values import ColumnValueError

pytestmark = pytest.mark.usefixtures("writes_undone")


def quotes(db):
    return db.query("select * from quote order by id")


def own_quote(db, org):
    return db.query("select id from quote where orgId = :org order by id", org=org)[0]["id"]


def offer(**data):
    return {"title": "Spring offer", "customerId": 1, **data}


@pytest.mark.parametrize("login", ["sam", "ada"])
def test_a_created_quote_carries_number_presets_defaults_and_keys(it, business_db, users, login):
    db, user = business_db.db, users[login]
    counter = it.quote_counter(db, user.orgId)
    before = datetime.datetime.now().replace(microsecond=0)
    row, status = business_db.dp.create(user, "quote", offer(amount="1200.50"))
    after = datetime.datetime.now()
    assert status == 200
    stored = db.query_one("select * from quote where id = :id", id=row["id"])
    # the admin's department had no quote yet: its numbers start at 1
    number = f"{counter + 1:04d}"
    assert re.fullmatch(rf"QT(\d{{8}}){number}", stored["code"]) and (counter > 0) == (login == "sam")
    assert it.quote_counter(db, user.orgId) == counter + 1
    assert (stored["createdBy"], stored["orgId"], stored["status"], stored["amount"]) == (
        user.id, user.orgId, "open", Decimal("1200.50"))
    created = stored["createdAt"]
    created = datetime.datetime.fromisoformat(created) if isinstance(created, str) else created
    assert before <= created <= after and stored["updatedBy"] is None
    assert stored["code"][2:10] == created.strftime("%Y%m%d")
    assert uuid.UUID(stored["publicId"]).version == 4
    assert before.strftime("%Y%m%d%H%M%S") <= stored["revision"] <= after.strftime("%Y%m%d%H%M%S")


@pytest.mark.parametrize("login, data, answer", [
    ("sam", {"amount": 3}, ({"customerId": "customerId is required", "title": "a quote needs a title"}, 400)),
    ("carl", {"title": "x", "customerId": 1}, ({"message": "无权限创建: Quotes"}, 403)),
    ("sam", {}, ({"message": "不能创建空表单"}, 400)),
])
def test_refused_creates_write_no_record(business_db, users, login, data, answer):
    before = quotes(business_db.db)
    assert business_db.dp.create(users[login], "quote", data) == answer
    assert quotes(business_db.db) == before


def test_updates_and_deletes_reach_only_rows_the_rules_admit(business_db, users):
    db, dp = business_db.db, business_db.dp
    sam, sue, ada = users["sam"], users["sue"], users["ada"]
    mine, status = dp.create(sam, "quote", offer())
    theirs = own_quote(db, sue.orgId)
    assert dp.update(sue, "quote", {"id": mine["id"], "title": "taken"}) == (
        {"message": f"无数据权限更新: Quotes, {{'id': {mine['id']}}}"}, 403)
    changed, status = dp.update(sam, "quote", {"id": mine["id"], "title": "Changed", "updatedBy": 99})
    stored = db.query_one("select * from quote where id = :id", id=mine["id"])
    assert status == 200 and changed["title"] == stored["title"] == "Changed"
    assert stored["updatedBy"] == 2 and stored["updatedAt"] is not None
    assert dp.update(ada, "quote", {"id": 10 ** 6, "title": "x"}) == ({"message": "Quotes(id=1000000)不存在"}, 404)

    before = quotes(db)
    batch = [{"id": mine["id"], "status": "sent"}, {"id": theirs, "status": "sent"}]
    assert dp.update_many(sam, "quote", batch) == ({"message": f"无数据权限更新: Quotes, {{'id': [{theirs}]}}"}, 403)
    assert quotes(db) == before
    assert dp.update_many(sam, "quote", batch[:1]) == ({"message": "批量更新成功！"}, 200)
    assert db.query_one("select status from quote where id = :id", id=mine["id"])["status"] == "sent"

    assert dp.delete(sue, "quote", mine["id"]) == ({"message": f"无数据权限删除: Quotes(id={mine['id']})"}, 403)
    assert dp.delete(ada, "quote", 10 ** 6) == ({"message": "Quotes(id=1000000)不存在"}, 404)
    deleted, status = dp.delete(sam, "quote", mine["id"])
    assert status == 200 and deleted["id"] == mine["id"]
    assert db.query("select id from quote where id = :id", id=mine["id"]) == []


def test_an_error_in_the_caller_session_rolls_its_writes_back(it, business_db, users):
    db, dp, sam = business_db.db, business_db.dp, users["sam"]
    first, second = [row["id"] for row in db.query("select id from quote where orgId = 2 order by id")][:2]
    before, counter = quotes(db), it.quote_counter(db, sam.orgId)
    with pytest.raises(ColumnValueError, match="^amount: "):
        with db.session() as session:
            assert dp.create(sam, "quote", offer(), session=session)[1] == 200
            assert dp.update(sam, "quote", {"id": first, "title": "Changed"}, session=session)[1] == 200
            assert dp.delete(sam, "quote", second, session=session)[1] == 200
            dp.update(sam, "quote", {"id": first, "amount": "lots"}, session=session)
    assert quotes(db) == before
    # the number stays issued: counters are written apart from the caller's session
    assert it.quote_counter(db, sam.orgId) == counter + 1


@pytest.mark.parametrize("name, value, problem", [
    ("title", "x" * 101, "expected at most 100 characters, got 101"),
    ("amount", "lots", 'expected a number, got "lots"'),
    ("amount", 10 ** 10, "at most 10 digits before the point"),
    ("validUntil", "2026-02-30", 'expected a date YYYY-MM-DD, got "2026-02-30"'),
    ("validUntil", "2026-02-03T10:00", "expected a date YYYY-MM-DD"),
    ("customerId", "first", 'expected an integer, got "first"'),
    ("customerId", 2 ** 31, "expected an integer from -2147483648 to 2147483647"),
])
def test_a_value_no_column_takes_names_its_property_and_writes_nothing(business_db, users, name, value, problem):
    db, dp, sam = business_db.db, business_db.dp, users["sam"]
    before, mine = quotes(db), own_quote(db, sam.orgId)
    for write in (lambda: dp.create(sam, "quote", offer(**{name: value})),
                  lambda: dp.create_many(sam, "quote", [offer(), offer(**{name: value})]),
                  lambda: dp.update(sam, "quote", {"id": mine, name: value})):
        with pytest.raises(ValueError) as raised:
            write()
        assert str(raised.value).startswith(f"{name}: ") and problem in str(raised.value)
    assert quotes(db) == before


def members(db, project=None):
    rows = db.query("select projectId, employeeId from project_member order by projectId, employeeId")
    return [(r["projectId"], r["employeeId"]) for r in rows if project in (None, r["projectId"])]


def test_link_rows_are_added_once_and_deleted_by_their_values(business_db, users):
    db, dp = business_db.db, business_db.dp
    ada, sam, carl = users["ada"], users["sam"], users["carl"]
    newcomer = next(e["id"] for e in db.query("select id from employee order by id")
                    if (1, e["id"]) not in members(db))
    row = {"projectId": 1, "employeeId": newcomer}
    for _ in range(2):
        assert dp.relation_update(ada, "project_member", add_data=[row]) == ({"message": "success"}, 200)
    assert members(db).count((1, newcomer)) == 1
    assert dp.relation_update(sam, "project_member", del_data=[row]) == (
        {"message": "无权限删除: Project members"}, 403)
    assert dp.relation_update(carl, "project_member", add_data=[row]) == (
        {"message": "无权限增加: Project members"}, 403)
    assert (1, newcomer) in members(db)

    others = [pair for pair in members(db) if pair[0] != 1]
    linked, status = dp.relation(ada, "project_member", "projectId", [1, 2], "employeeId",
                                 [e for _, e in members(db)])
    assert status == 200 and {(r["projectId"], r["employeeId"]) for r in linked} == set(
        members(db, 1) + members(db, 2))
    assert dp.relation_update(sam, "project_member", add_data=[{"projectId": 3, "employeeId": newcomer}]) == (
        {"message": "success"}, 200)
    # a row naming only the project removes all of its members
    assert dp.relation_update(ada, "project_member", del_data=[{"projectId": 1}])[1] == 200
    assert members(db, 1) == [] and (3, newcomer) in members(db)
    assert set(others) <= set(members(db))


class Undo(Exception):
    """Ends a caller's session so that it rolls back."""


def in_undone_session(db, write):
    """What ``write(session)`` answers inside a caller's session that is then rolled back."""
    answers = []
    with pytest.raises(Undo):
        with db.session() as session:
            answers.append(write(session))
            raise Undo
    return answers[0]


def customer_small(business_db):
    """A model made as ``dbplus model add`` makes it, showing only four columns of the customers."""
    from ornivell.db.admin.grants import grant
    from ornivell.db.admin.modeling import add_model, model_row

    with business_db.db.session() as s:
        exists = model_row(s, "customer_small") is not None
    if not exists:
        add_model(business_db.db, "customer_small", "customer", columns=["id", "code", "name", "city"])
        grant(business_db.db, "admin", "customer_small", operations=("query", "create", "update", "delete"))
        business_db.dp.clear_cache()
    return "customer_small"


@pytest.mark.parametrize("login, model, data, refused", [
    ("mia", "customer", {"name": "x", "creditLimit": 1}, "creditLimit"),       # a hidden property
    ("ada", "employee", {"name": "x", "d.name": "Elsewhere"}, "d.name"),      # a joined table's property
    ("ada", customer_small, {"name": "x", "orgId": 3, "creditLimit": 1}, "orgId, creditLimit"),  # no property shows
])
def test_a_write_names_only_what_the_user_may_see_of_the_main_table(business_db, users, login, model, data, refused):
    db, dp, user = business_db.db, business_db.dp, users[login]
    model = model(business_db) if callable(model) else model
    display = dp.model_info(model, user).model["displayName"]
    answer = ({"message": f"无权限写入: {display}({refused})"}, 403)
    table = dp.model_info(model, user).main_table.name
    before = db.query(f"select * from {table} order by id")
    row_id = before[2]["id"]
    assert dp.update(user, model, {"id": row_id, **data}) == answer
    assert dp.update_many(user, model, [{"id": row_id, **data}]) == answer
    assert dp.create(user, model, dict(data)) == answer
    assert db.query(f"select * from {table} order by id") == before
    # a key that names no column at all is left aside, as the handle leaves it
    changed = in_undone_session(db, lambda s: dp.update(user, model, {"id": row_id, "name": "x", "nothing": 1},
                                                        session=s))
    assert changed[1] == 200


def test_write_answers_hold_only_what_the_user_may_read(business_db, users):
    db, dp, mia, ada = business_db.db, business_db.dp, users["mia"], users["ada"]
    mine = db.query("select id from customer where orgId = :org order by id", org=mia.orgId)[0]["id"]
    readable = set(dp.query_one(mia, "customer", mine)[0])
    row, status = in_undone_session(db, lambda s: dp.update(mia, "customer", {"id": mine, "name": "R"}, session=s))
    assert status == 200 and "creditLimit" not in row and set(row) <= readable
    small = customer_small(business_db)

    def create_then_delete(s):
        made, _ = dp.create(ada, "customer", {"code": "ZZ1", "name": "Gone", "city": "Rome", "orgId": 2,
                                              "ownerId": 1, "creditLimit": 0}, session=s)
        return dp.delete(ada, small, made["id"], session=s)

    deleted, status = in_undone_session(db, create_then_delete)
    assert status == 200 and set(deleted) == {"id", "code", "name", "city"}


def test_writes_may_not_take_rows_out_of_the_users_rules(business_db, users):
    db, dp, sam, sue = business_db.db, business_db.dp, users["sam"], users["sue"]
    mine, before = own_quote(db, sam.orgId), quotes(db)
    moved = ({"message": f"无数据权限更新: Quotes, {{'id': {mine}}}"}, 403)
    assert dp.update(sam, "quote", {"id": mine, "orgId": sue.orgId}) == moved
    assert dp.update_many(sam, "quote", [{"id": mine, "orgId": sue.orgId}]) == (
        {"message": f"无数据权限更新: Quotes, {{'id': [{mine}]}}"}, 403)
    assert dp.create(sam, "quote", offer(orgId=sue.orgId)) == ({"message": "无数据权限创建: Quotes"}, 403)
    assert dp.create_many(sam, "quote", [offer(), offer(orgId=sue.orgId)]) == (
        {"message": "无数据权限创建: Quotes"}, 403)
    assert quotes(db) == before
    # in the caller's own session only the refused writes are undone
    with db.session() as session:
        assert dp.create(sam, "quote", offer(orgId=sue.orgId), session=session)[1] == 403
        assert dp.update(sam, "quote", {"id": mine, "orgId": sue.orgId}, session=session) == moved
        assert dp.update(sam, "quote", {"id": mine, "title": "Kept"}, session=session)[1] == 200
    assert [(q["id"], q["title"], q["orgId"]) for q in quotes(db) if q not in before] == [(mine, "Kept", sam.orgId)]
    # a user without rules on the model is not limited
    ada = users["ada"]
    assert dp.update(ada, "quote", {"id": mine, "orgId": sue.orgId})[1] == 200


def test_an_order_line_may_not_point_at_another_departments_order(business_db, users):
    db, dp, sam, sue = business_db.db, business_db.dp, users["sam"], users["sue"]
    theirs = db.query("select id from sales_order where orgId = :org", org=sue.orgId)[0]["id"]
    line = db.query("select l.* from order_line l join sales_order o on o.id = l.orderId where o.orgId = :org",
                    org=sam.orgId)[0]
    before = db.query("select * from order_line order by id")
    assert dp.update(sam, "order_line", {"id": line["id"], "orderId": theirs})[1] == 403
    assert dp.create(sam, "order_line", {"orderId": theirs, "lineNo": 99, "productId": line["productId"],
                                         "qty": 1, "unitPrice": 1})[1] == 403
    assert db.query("select * from order_line order by id") == before


def test_what_the_module_fills_in_cannot_be_forged(business_db, users):
    db, dp, sam = business_db.db, business_db.dp, users["sam"]
    forged = {"createdBy": 1, "createdAt": "2001-01-01 00:00:00", "code": "QT-MINE", "publicId": "mine",
              "revision": "20010101000000"}
    made, status = dp.create(sam, "quote", offer(**forged))
    stored = db.query_one("select * from quote where id = :id", id=made["id"])
    assert status == 200 and all(stored[key] != value for key, value in forged.items())
    assert stored["createdBy"] == sam.id
    # a record sent back whole passes; a changed creator, time or number does not
    whole, _ = dp.query_one(sam, "quote", made["id"])
    assert dp.update(sam, "quote", {**whole, "title": "Whole"})[1] == 200
    for key, value in forged.items():
        answer = ({"message": f"无权限写入: Quotes({key})"}, 403)
        assert dp.update(sam, "quote", {"id": made["id"], key: value}) == answer
        assert dp.update_many(sam, "quote", [{"id": made["id"], key: value}]) == answer
    assert db.query_one("select * from quote where id = :id", id=made["id"])["code"] == stored["code"]


def linked_quote(org, code):
    """A quote written as a link row, with every column the table requires."""
    return {"code": code, "customerId": 1, "title": "Linked", "status": "open", "publicId": str(uuid.uuid4()),
            "revision": "20260101000000", "orgId": org, "createdBy": 1, "createdAt": datetime.datetime(2026, 1, 1)}


def test_link_rows_reach_only_rows_the_rules_admit(business_db, users):
    db, dp = business_db.db, business_db.dp
    sam, sue, ada = users["sam"], users["sue"], users["ada"]
    success = ({"message": "success"}, 200)
    before = quotes(db)
    assert dp.relation_update(sue, "quote", del_data=[{"orgId": sam.orgId}]) == success
    # keys that are no column names: a table's columns also answer to positions
    assert dp.relation_update(ada, "quote", del_data=[{1: 2}, {None: 1}, {"id": 1, 0: 1}]) == success
    assert quotes(db) == before
    batch = [linked_quote(sam.orgId, "L1"), linked_quote(sue.orgId, "L2")]
    assert dp.relation_update(sam, "quote", add_data=batch) == ({"message": "无数据权限增加: Quotes"}, 403)
    assert quotes(db) == before

    assert dp.relation_update(sam, "quote", add_data=batch[:1], del_data=[{"status": "sent"}]) == success
    kept = [q for q in before if q["orgId"] != sam.orgId or q["status"] != "sent"]
    assert [q["id"] for q in quotes(db) if q["code"] != "L1"] == [q["id"] for q in kept]
    assert [q["orgId"] for q in quotes(db) if q["code"] == "L1"] == [sam.orgId]
    # without rules nothing is limited
    assert dp.relation_update(ada, "quote", del_data=[{"status": "sent"}]) == success
    assert [q for q in quotes(db) if q["status"] == "sent"] == []


def test_relation_keys_are_link_table_columns_named_through_the_model(business_db, users):
    db, dp, sam = business_db.db, business_db.dp, users["sam"]
    everyone = [c["id"] for c in db.query("select id from customer")]
    rows, status = dp.relation(sam, "quote", "orgId", [1, 2, 3, 4, 5], "customerId", everyone)
    assert status == 200 and sorted(r["id"] for r in rows) == [
        q["id"] for q in quotes(db) if q["orgId"] == sam.orgId][:10]
    with pytest.raises(ValueError, match="^from_key: .* is not a column of quote$"):
        dp.relation(sam, "quote", "((select max(salary) from employee) > 0) and q.customerId", [1],
                    "customerId", everyone)
