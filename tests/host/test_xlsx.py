import datetime
import os

import pytest
from openpyxl import load_workbook

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
