"""Writing an export to an Excel workbook.

Rows are written with XlsxWriter in constant-memory mode: each row goes to
disk as soon as the next one starts, so writing takes the same memory for a
hundred rows as for a million (bench/bench_sheet_writers.py compares the
writers that were tried).
"""

import contextlib
import datetime
import decimal
import itertools
import os
import re
import tempfile
import unicodedata
import uuid

EXPORT_DIR_VARIABLE = "DBPLUS_EXPORT_DIR"

# an Excel sheet holds 1,048,576 rows, the titles take one of them
SHEET_DATA_ROWS = 1_048_575
SHEET_COLUMNS = 16_384

_SHEET_TITLE_MAX = 31
_SHEET_TITLE_FORBIDDEN = re.compile(r"[\\/*?:\[\]]")
_FILE_NAME_FORBIDDEN = re.compile(r'[\\/:*?"<>|\x00-\x1f]')
_FILE_STEM_MAX = 80

_WORKBOOK_OPTIONS = {
    "constant_memory": True,
    # a text is data: "=1+1", "12" and "http://..." stay texts
    "strings_to_formulas": False,
    "strings_to_numbers": False,
    "strings_to_urls": False,
    "nan_inf_to_errors": True,
}
_DATE_FORMATS = {
    datetime.date: "yyyy-mm-dd",
    datetime.datetime: "yyyy-mm-dd hh:mm:ss",
    datetime.time: "hh:mm:ss",
    datetime.timedelta: "[h]:mm:ss",
}
# written as they are; other values go in as their text
_CELL_TYPES = (str, bool, int, float, decimal.Decimal, *_DATE_FORMATS)
_AS_IS = {type(None), str, bool, int, float, decimal.Decimal, datetime.date, datetime.timedelta}

# column widths, in characters, guessed from the titles and the first rows
_WIDTH_SAMPLE_ROWS = 100
_MIN_WIDTH, _MAX_WIDTH = 8, 60
_NO_ROW = object()


def create_sheet(info, model, headers, props_names, data):
    """Write ``data``, an iterable of rows read once, as one sheet: a bold
    row of ``headers``, then per row the values under ``props_names``, typed
    (numbers, dates, texts). Rows past what one sheet holds continue on
    further sheets. ``info`` (the model) is not needed.

    Returns ``(path, filename)`` of the new file, which lies in
    ``$DBPLUS_EXPORT_DIR`` or else the temporary directory.
    """
    if len(props_names) > SHEET_COLUMNS:
        raise ValueError(f"{len(props_names)} columns do not fit in a sheet of {SHEET_COLUMNS}")
    display_name = "" if model is None else str(model)
    path, filename = _new_file(display_name)
    try:
        _write_workbook(path, sheet_title(display_name), headers, props_names, data)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(path)
        raise
    return path, filename


# rows may come as any iterable, read once: the module then hands them over
# as they are read from the database instead of collected in a list
create_sheet.takes_row_stream = True


def sheet_title(name):
    """``name`` as Excel accepts a sheet title: no ``\\ / * ? : [ ]``, not
    beginning or ending with an apostrophe, at most 31 characters, not empty
    and not the reserved "History"."""
    title = _SHEET_TITLE_FORBIDDEN.sub("_", name)[:_SHEET_TITLE_MAX].strip("'").strip()
    if not title:
        return "Sheet"
    return title + "_" if title.lower() == "history" else title


def _new_file(display_name):
    """A new, empty file of its own in the export directory: ``(path, filename)``."""
    directory = os.environ.get(EXPORT_DIR_VARIABLE) or tempfile.gettempdir()
    os.makedirs(directory, exist_ok=True)
    stem = _FILE_NAME_FORBIDDEN.sub("_", display_name).strip(" .")[:_FILE_STEM_MAX] or "export"
    while True:
        stamp = datetime.datetime.now().strftime("%Y%m%d%H%M%S")
        filename = f"{stem}-{stamp}-{uuid.uuid4().hex[:8]}.xlsx"
        path = os.path.join(directory, filename)
        try:
            # taken by this export alone, even against one started in the same second
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644))
        except FileExistsError:
            continue
        return path, filename


def _write_workbook(path, title, headers, props_names, data):
    # loaded when a sheet is written, not with the extension that names create_sheet
    import xlsxwriter

    workbook = xlsxwriter.Workbook(path, _WORKBOOK_OPTIONS)
    try:
        header_format = workbook.add_format({"bold": True})
        date_formats = {kind: workbook.add_format({"num_format": text}) for kind, text in _DATE_FORMATS.items()}
        rows = iter(data)
        sample = list(itertools.islice(rows, _WIDTH_SAMPLE_ROWS))
        widths = _column_widths(headers, props_names, sample)
        rows = itertools.chain(sample, rows)
        for number in itertools.count(1):
            sheet = workbook.add_worksheet(title if number == 1 else _continued_title(title, number))
            _prepare_sheet(sheet, headers, widths, header_format, date_formats)
            if _write_rows(sheet, props_names, rows, SHEET_DATA_ROWS) < SHEET_DATA_ROWS:
                break
            following = next(rows, _NO_ROW)
            if following is _NO_ROW:
                break
            rows = itertools.chain([following], rows)
    finally:
        workbook.close()


def _continued_title(title, number):
    suffix = f" ({number})"
    return title[:_SHEET_TITLE_MAX - len(suffix)] + suffix


def _prepare_sheet(sheet, headers, widths, header_format, date_formats):
    for kind, cell_format in date_formats.items():
        sheet.add_write_handler(kind, _dated(cell_format))
    for column, width in enumerate(widths):
        sheet.set_column(column, column, width)
    sheet.freeze_panes(1, 0)
    sheet.write_row(0, 0, [_cell_value(header) for header in headers], header_format)


def _dated(cell_format):
    def write(sheet, row, column, value, *args):
        if isinstance(value, datetime.date) and value.year < 1900:
            # the workbook's dates begin in 1900: earlier ones are kept as ISO text
            return sheet.write_string(row, column, value.isoformat())
        return sheet.write_datetime(row, column, value, cell_format)
    return write


def _write_rows(sheet, props_names, rows, count):
    """Writes up to ``count`` of ``rows`` under the titles; returns how many."""
    write_row = sheet.write_row
    line = 0
    for line, row in enumerate(itertools.islice(rows, count), start=1):
        write_row(line, 0, [_cell_value(row.get(key)) for key in props_names])
    return line


def _cell_value(value):
    if type(value) in _AS_IS:
        return value
    if isinstance(value, (datetime.datetime, datetime.time)):
        # Excel has no time zones: keep the wall-clock time
        return value if value.tzinfo is None else value.replace(tzinfo=None)
    if isinstance(value, _CELL_TYPES):
        return value
    # what Excel cannot hold (dicts, lists, ids) goes in as text
    return str(value)


def _column_widths(headers, props_names, sample):
    widths = []
    for header, key in zip(headers, props_names):
        shown = [_shown_width(header)] + [_shown_width(row.get(key)) for row in sample]
        widths.append(min(max(max(shown) + 2, _MIN_WIDTH), _MAX_WIDTH))
    return widths


def _shown_width(value):
    if value is None:
        return 0
    if isinstance(value, datetime.datetime):
        return 19
    text = value.isoformat() if isinstance(value, (datetime.date, datetime.time)) else str(value)[:_MAX_WIDTH]
    return sum(2 if unicodedata.east_asian_width(char) in "WF" else 1 for char in text)
