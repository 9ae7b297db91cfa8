import datetime
import decimal
import os
import types
import uuid

import pytest
from openpyxl import load_workbook

from ornivell.db import xlsx
from ornivell.db.xlsx import create_sheet, sheet_title


@pytest.fixture
def export_dir(tmp_path, monkeypatch):
    monkeypatch.setenv("DBPLUS_EXPORT_DIR", str(tmp_path / "exports"))
    return tmp_path / "exports"


def test_writes_headers_and_rows_by_key(export_dir):
    when = datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc)
    data = [
        {"name": "甲", "n": 1, "extra": "ignored", "when": when},
        {"name": "=1+1", "n": {"a": 1}, "when": None},
    ]
    path, filename = create_sheet(None, "用户/列表", ["名称", "数量", "时间"], ["name", "n", "when"], data)
    assert os.path.dirname(path) == str(export_dir) and os.path.basename(path) == filename
    sheet = load_workbook(path).active
    assert sheet.title == "用户_列表"
    rows = [[c.value for c in row] for row in sheet.iter_rows()]
    assert rows == [["名称", "数量", "时间"], ["甲", 1, when.replace(tzinfo=None)], ["=1+1", "{'a': 1}", None]]
    assert all(c.font.bold for c in sheet[1]) and sheet["A3"].data_type == "s"


def test_each_export_gets_its_own_file(export_dir):
    first, second = (create_sheet(None, "a:b", [], [], [])[1] for _ in range(2))
    assert first != second and first.startswith("a_b-") and first.endswith(".xlsx")


@pytest.mark.parametrize("name, title", [
    ("a/b\\c?d*e:f[g]", "a_b_c_d_e_f_g_"),
    ("x" * 40, "x" * 31),
    ("'quoted'", "quoted"),
    ("", "Sheet"),
    ("History", "History_"),
])
def test_sheet_titles_follow_excel_rules(name, title):
    assert sheet_title(name) == title


def read(path):
    return {sheet.title: [[(c.value, c.number_format) for c in row] for row in sheet.iter_rows()]
            for sheet in load_workbook(path).worksheets}


def test_cells_are_typed_and_texts_stay_texts(export_dir):
    values = [decimal.Decimal("12.50"), 7, True, datetime.date(2024, 2, 3), datetime.datetime(2024, 2, 3, 4, 5, 6),
              datetime.time(4, 5, 6), datetime.timedelta(hours=30), "12", "=SUM(A1:A2)", "http://x", "", None]
    keys = [f"k{i}" for i in range(len(values))]
    path, _ = create_sheet(None, "m", keys, keys, [dict(zip(keys, values))])
    (_, row), = read(path).values()
    assert row == [
        (12.5, "General"), (7, "General"), (True, "General"), (datetime.datetime(2024, 2, 3), "yyyy-mm-dd"),
        (datetime.datetime(2024, 2, 3, 4, 5, 6), "yyyy-mm-dd hh:mm:ss"), (datetime.time(4, 5, 6), "hh:mm:ss"),
        (datetime.timedelta(hours=30), "[h]:mm:ss"), ("12", "General"), ("=SUM(A1:A2)", "General"),
        ("http://x", "General"), (None, "General"), (None, "General")]


def generated(rows):
    yield from rows


@pytest.mark.parametrize("given", [list, generated], ids=["list", "generator"])
@pytest.mark.parametrize("count, sheets", [(0, {"m": 1}), (4, {"m": 3, "m (2)": 3}), (5, {"m": 3, "m (2)": 3, "m (3)": 2})])
def test_rows_past_a_sheet_continue_on_the_next(export_dir, monkeypatch, count, sheets, given):
    monkeypatch.setattr(xlsx, "SHEET_DATA_ROWS", 2)
    path, _ = create_sheet(None, "m", ["N"], ["n"], given({"n": i} for i in range(count)))
    written = read(path)
    assert {title: len(rows) for title, rows in written.items()} == sheets
    assert [rows[0][0][0] for rows in written.values()] == ["N"] * len(sheets)
    assert [row[0][0] for rows in written.values() for row in rows[1:]] == list(range(count))


def test_a_name_taken_meanwhile_is_not_overwritten(export_dir, monkeypatch):
    hexes = iter(["a" * 32, "a" * 32, "b" * 32])
    monkeypatch.setattr(xlsx.uuid, "uuid4", lambda: uuid.UUID(next(hexes)))
    frozen = type("Frozen", (datetime.datetime,), {"now": classmethod(lambda cls: cls(2024, 1, 2, 3, 4, 5))})
    monkeypatch.setattr(xlsx, "datetime", types.SimpleNamespace(**{**vars(datetime), "datetime": frozen}))
    first = create_sheet(None, "m", ["a"], ["a"], [{"a": 1}])
    second = create_sheet(None, "m", ["a"], ["a"], [{"a": 2}])
    assert (first[1], second[1]) == ("m-20240102030405-aaaaaaaa.xlsx", "m-20240102030405-bbbbbbbb.xlsx")
    assert read(first[0])["m"][1][0][0] == 1


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("names, rows, error", [
    (["a"], [{"a": 1}, {"a": Unprintable()}], RuntimeError),
    (["a"] * (xlsx.SHEET_COLUMNS + 1), [], ValueError),
])
def test_a_failed_export_leaves_no_file(export_dir, names, rows, error):
    with pytest.raises(error):
        create_sheet(None, "m", names, names, rows)
    assert not export_dir.exists() or list(export_dir.iterdir()) == []


def test_widths_come_from_the_first_rows_while_later_ones_are_still_to_come(export_dir, monkeypatch):
    monkeypatch.setattr(xlsx, "_WIDTH_SAMPLE_ROWS", 2)
    taken = []

    def rows():
        for text in ["a" * 20, "b", "c" * 50]:
            taken.append(text)
            yield {"t": text}

    widths = []
    monkeypatch.setattr(xlsx, "_column_widths", lambda *args: widths.append(list(taken)) or [22])
    path, _ = create_sheet(None, "m", ["T"], ["t"], rows())
    assert widths == [["a" * 20, "b"]] and len(taken) == 3
    assert [row[0][0] for row in read(path)["m"]] == ["T", "a" * 20, "b", "c" * 50]
