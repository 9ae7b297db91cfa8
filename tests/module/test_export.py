"""Export: the paging loop, titles and row keys in display order, dictionary labels, refusals."""

import types

import pytest

from ornivell.db import _dbplus as dp
from ornivell.db.db import Dict

S = object()
DICT_SQL = 'select * from _dict where domain in (:domains_0, :domains_1) order by "order"'


def page(rows):
    return types.SimpleNamespace(data=rows)


class Sheets:
    """Stands in for create_sheet: records each call."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        return "/x/m.xlsx", "m.xlsx"


@pytest.fixture
def sheets(monkeypatch):
    recorder = Sheets()
    monkeypatch.setattr(dp, "create_sheet", recorder)
    return recorder


@pytest.fixture
def info(plus, fk, db, parser):
    db.in_clause = lambda key, values: (
        "(" + ", ".join(f":{key}_{i}" for i in range(len(values))) + ")",
        {f"{key}_{i}": v for i, v in enumerate(values)})
    info = fk.make_info(
        fk.prop("id", selectEnabled=1, displayOrder=0),
        fk.prop("name", selectEnabled=1, displayOrder=2, displayName="名称"),
        fk.prop("code", selectEnabled=1, displayOrder=1, displayName="编码", transDict="level"),
        fk.prop("deptId", selectEnabled=1, displayOrder=1, displayName="部门", transObjectName="dd",
                transTable="dept.id", transColumns="name,code", transDict="dept_kind"),
        tables=[db.tables["t"], db.tables["dept"]])
    fk.warm(plus, info, ops=("exportEnabled",))
    return info


@pytest.fixture
def sql(plus, fk, info):
    return plus.build_sql(fk.user(), "m")[0].to_sql(export=True)


def page_call(sql, number, params=(), session=None):
    return ("query_page", (sql,), [("page", number), ("limit", 2000), ("do_count", 0), *params, ("session", session)])


@pytest.mark.parametrize("args, sizes, first_page", [
    ({}, [2000, 2000, 500], 1),
    ({"page": 3}, [2000, 7], 3),
    ({"page": 0}, [], 1),
])
def test_pages_are_read_until_an_empty_one(plus, db, fk, info, sql, sheets, args, sizes, first_page):
    db.reply(sql, page([]))
    rows = {}
    for number, size in enumerate(sizes, start=first_page):
        rows[number] = [Dict(id=f"{number}.{i}") for i in range(size)]
        db.reply(sql, page(rows[number]), page=number)
    result = plus.export(fk.user(), "m", args, session=S)
    assert result == ({"path": "/x/m.xlsx", "filename": "m.xlsx"}, 200) and type(result[0]) is Dict
    numbers = range(first_page, first_page + len(sizes) + 1)
    assert [c for c in db.runs if c.name == "query_page"] == [page_call(sql, n, session=S) for n in numbers]
    (_, _, _, _, data), = sheets.calls
    # a writer of the host's own gets the list of all rows
    assert type(data) is list and data == [row for number in sorted(rows) for row in rows[number]]


def test_titles_row_keys_and_labels(plus, db, fk, info, sql, sheets):
    db.reply(DICT_SQL, [
        Dict(domain="level", key="1", value="一级", order=1), Dict(domain="level", key="2", value="二级", order=2),
        Dict(domain="level", key="1", value="甲级", order=3), Dict(domain="dept_kind", key="x", value="X", order=1),
    ], domains_0="level", domains_1="dept_kind")
    db.reply(sql, page([]))
    data = [Dict(id=1, name="a", code=1, deptId=5, **{"dd.name": "Sales", "dd.code": "S"}),
            Dict(id=2, name="b", code="2", deptId=6, **{"dd.name": "x"}),
            Dict(id=3, name="c", code=3, deptId=7, **{"dd.name": None})]
    db.reply(sql, page(data), page=1)
    plus.export(fk.user(), "m")
    info_arg, model, headers, names, rows = sheets.calls[0]
    assert (info_arg, model) == (info, "模型")
    # code and deptId share a display order and keep the order they came in
    assert headers == ["编码", "部门", "名称"] and names == ["code", "dd.name", "name"]
    # codes are looked up by their text; the lookup table of a translated property is its row key's
    assert [(r["code"], r["dd.name"]) for r in rows] == [("甲级", "Sales"), ("二级", "X"), (3, None)]
    assert all(row is read for row, read in zip(rows, data))  # changed in place


def test_no_dictionary_reads_no_dictionary(plus, db, fk, info, sql, sheets):
    for prop in info.props.values():
        prop["transDict"] = None
    db.reply(sql, page([]))
    plus.export(fk.user(), "m")
    assert [c.name for c in db.runs] == ["query_page"]


def test_nothing_to_export(plus, db, fk, info, sheets):
    fk.warm(plus, info, hidden=set(info.props), ops=("exportEnabled",))
    assert plus.export(fk.user(), "m") == ({"message": "No column to export"}, 600)
    assert db.runs == [] and sheets.calls == []


def test_refusals_pass_through_without_a_query(plus, db, fk, info, sheets):
    fk.warm(plus, info, ops=("queryEnabled",))
    assert plus.export(fk.user(), "m") == ({"message": "无权限导出: 模型"}, 403)
    assert plus.export(fk.user(), "nope") == ({"message": "nope不存在"}, 404)
    assert [c.args[0] for c in db.runs] == [fk.MODEL_SQL] and sheets.calls == []


def test_model_vanishing_after_the_check(db, fk, sheets):
    class Plus(dp.DbPlus):
        def check_perm(self, user, model, op_key, op_name, session=None):
            self.checked = (model, op_key, op_name, session)
            res = dp.PermCheckResult()
            res.status = 200
            return res

    plus = Plus(db)
    assert plus.export(fk.user(), "m") == ({"message": "业务模型（m）不存在"}, 404)
    assert plus.checked == ("m", "exportEnabled", "导出", None)


def test_extra_conditions_and_parameters_reach_every_page(plus, db, fk, info, sheets):
    sql = plus.build_sql(fk.user(), "m", {}, ["x = :x"], {"x": 1})[0].to_sql(export=True)
    db.reply(sql, page([]))
    db.reply(sql, page([Dict(id=1)]), page=1)
    plus.export(fk.user(), "m", {}, ["x = :x"], {"x": 1})
    assert [c for c in db.runs if c.name == "query_page"] == [page_call(sql, n, [("x", 1)]) for n in (1, 2)]


@pytest.mark.parametrize("extra_params, args, error", [
    ({"page": 1}, {}, "got multiple values for keyword argument 'page'"),
    ({"session": 1}, {}, "got multiple values for keyword argument 'session'"),
    ({}, {"page": "2"}, 'can only concatenate str'),
])
def test_page_parameters_that_cannot_be_used(plus, db, fk, info, sheets, extra_params, args, error):
    db.reply(plus.build_sql(fk.user(), "m", args, ["x"], extra_params)[0].to_sql(export=True), page([Dict(id=1)]))
    with pytest.raises(TypeError, match=error):
        plus.export(fk.user(), "m", args, ["x"], extra_params)
    assert sheets.calls == []


@pytest.mark.parametrize("written", [("only one",), ("a", "b", "c")])
def test_the_writer_must_answer_path_and_name(plus, db, fk, info, sql, monkeypatch, written):
    db.reply(sql, page([]))
    monkeypatch.setattr(dp, "create_sheet", lambda *args: written)
    with pytest.raises(ValueError, match="values to unpack"):
        plus.export(fk.user(), "m")


def test_dictionaries_are_read_through_self(db, fk, info, sql, sheets):
    class Plus(dp.DbPlus):
        def find_dict_domains(self, domains=None):
            self.asked = list(domains)
            return {"level": {"1": {"label": "L1"}}}

    plus = Plus(db)
    fk.warm(plus, info, ops=("exportEnabled",))
    db.reply(sql, page([]))
    db.reply(sql, page([Dict(id=1, code=1)]), page=1)
    plus.export(fk.user(), "m")
    assert plus.asked == ["level", "dept_kind"]
    assert sheets.calls[0][4] == [{"id": 1, "code": "L1"}]


class StreamingSheets(Sheets):
    """Stands in for the project's writer, which takes rows as they come:
    records, per row, how many pages had been asked for when it arrived."""

    takes_row_stream = True

    def __init__(self, db):
        super().__init__()
        self.db = db
        self.pages_read = []

    def __call__(self, *args):
        *head, rows = args
        read = []
        for row in rows:
            read.append(row)
            self.pages_read.append(sum(c.name == "query_page" for c in self.db.runs))
        return super().__call__(*head, (type(rows), read))


def test_the_projects_writer_takes_rows_while_pages_are_read(plus, db, fk, info, sql, monkeypatch):
    sheets = StreamingSheets(db)
    monkeypatch.setattr(dp, "create_sheet", sheets)
    db.reply(DICT_SQL, [Dict(domain="level", key="1", value="一级", order=1)],
             domains_0="level", domains_1="dept_kind")
    db.reply(sql, page([]))
    first = [Dict(id=i, code=1) for i in range(2000)]
    db.reply(sql, page(first), page=2)
    db.reply(sql, page([Dict(id="last", code=2)]), page=3)
    assert plus.export(fk.user(), "m", {"page": 2}, session=S) == ({"path": "/x/m.xlsx", "filename": "m.xlsx"}, 200)
    (_, _, headers, names, (kind, rows)), = sheets.calls
    assert kind is not list and names == ["code", "dd.name", "name"]
    assert sheets.pages_read == [1] * 2000 + [2]
    # the lookup tables are read before the first page, labels given as rows pass
    assert [c.name for c in db.runs][:2] == ["query", "query_page"]
    assert rows[0] is first[0] and [r["code"] for r in rows] == ["一级"] * 2000 + [2]
    assert [c for c in db.runs if c.name == "query_page"] == [page_call(sql, n, session=S) for n in (2, 3, 4)]


def test_a_page_failing_under_the_projects_writer_leaves_no_file(plus, db, fk, info, tmp_path, monkeypatch):
    monkeypatch.setenv("DBPLUS_EXPORT_DIR", str(tmp_path))
    db.reply(plus.build_sql(fk.user(), "m", {"page": "2"})[0].to_sql(export=True), page([Dict(id=1)]))
    with pytest.raises(TypeError, match="can only concatenate str"):
        plus.export(fk.user(), "m", {"page": "2"})
    assert list(tmp_path.iterdir()) == []
