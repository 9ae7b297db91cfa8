"""Writing an export to an Excel workbook."""

import datetime
import decimal
import os
import re
import tempfile
import uuid

from openpyxl import Workbook
from openpyxl.cell import WriteOnlyCell
from openpyxl.cell.cell import ILLEGAL_CHARACTERS_RE
from openpyxl.styles import Font

EXPORT_DIR_VARIABLE = "DBPLUS_EXPORT_DIR"

_SHEET_TITLE_MAX = 31
_SHEET_TITLE_FORBIDDEN = re.compile(r"[\\/*?:\[\]]")
_FILE_NAME_FORBIDDEN = re.compile(r'[\\/:*?"<>|\x00-\x1f]')
_FILE_STEM_MAX = 80
_CELL_TYPES = (int, float, decimal.Decimal, datetime.date, datetime.time, datetime.timedelta)


def create_sheet(info, model, headers, props_names, data):
    """Write ``data`` as one sheet: a bold row of ``headers``, then per row
    the values under ``props_names``. ``info`` (the model) is not needed.

    Returns ``(path, filename)`` of the new file, which lies in
    ``$DBPLUS_EXPORT_DIR`` or else the temporary directory.
    """
    display_name = "" if model is None else str(model)
    workbook = Workbook(write_only=True)
    sheet = workbook.create_sheet(sheet_title(display_name))
    sheet.append([_header_cell(sheet, header) for header in headers])
    for row in data:
        sheet.append([_cell(sheet, row.get(key)) for key in props_names])
    directory = os.environ.get(EXPORT_DIR_VARIABLE) or tempfile.gettempdir()
    os.makedirs(directory, exist_ok=True)
    filename = _file_name(display_name)
    path = os.path.join(directory, filename)
    workbook.save(path)
    return path, filename


def sheet_title(name):
    """``name`` as Excel accepts a sheet title: no ``\\ / * ? : [ ]``, not
    beginning or ending with an apostrophe, at most 31 characters, not empty
    and not the reserved "History"."""
    title = _SHEET_TITLE_FORBIDDEN.sub("_", name)[:_SHEET_TITLE_MAX].strip("'").strip()
    if not title:
        return "Sheet"
    return title + "_" if title.lower() == "history" else title


def _file_name(display_name):
    stem = _FILE_NAME_FORBIDDEN.sub("_", display_name).strip(" .")[:_FILE_STEM_MAX] or "export"
    stamp = datetime.datetime.now().strftime("%Y%m%d%H%M%S")
    return f"{stem}-{stamp}-{uuid.uuid4().hex[:8]}.xlsx"


def _header_cell(sheet, header):
    cell = _cell(sheet, header)
    cell.font = Font(bold=True)
    return cell


def _cell(sheet, value):
    cell = WriteOnlyCell(sheet, value=_cell_value(value))
    if cell.data_type == "f":
        # a text that starts with "=" is data, not a formula to evaluate
        cell.data_type = "s"
    return cell


def _cell_value(value):
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, str):
        return _clean_text(value)
    if isinstance(value, _CELL_TYPES):
        return _naive(value)
    # what Excel cannot hold (dicts, lists, ids) goes in as text
    return _clean_text(str(value))


def _naive(value):
    # Excel has no time zones: keep the wall-clock time
    if isinstance(value, (datetime.datetime, datetime.time)) and value.tzinfo is not None:
        return value.replace(tzinfo=None)
    return value


def _clean_text(text):
    return ILLEGAL_CHARACTERS_RE.sub("", text)
