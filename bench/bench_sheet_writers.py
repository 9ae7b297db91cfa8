"""Spreadsheet writers on the rows of an export of the demo's orders: time and
memory taken by writing alone, each writer in a process of its own.

The rows are what ``create_sheet`` receives from an export (labels in
place), with dates and totals typed as MariaDB and PostgreSQL deliver them
(SQLite hands over texts and floats). Memory is the growth of resident
memory while writing, over the rows already held; "flat" means it does not
grow with the rows.

    python bench/bench_sheet_writers.py [--orders 100000 1000000] [--folder DIR]

Writers whose package is missing are left out (the ``bench`` extra has them).
"""

import datetime
import decimal
import importlib
import importlib.util
import os
import pickle
import subprocess
import sys
import tempfile
import threading
import time

from demo_orders import MODEL, admin, bench_main, demo_url

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def capture_export(url, path):
    """Runs the export with a writer that pickles its arguments to ``path``."""
    from ornivell.db import _dbplus

    def keep(info, model, headers, props_names, data):
        with open(path, "wb") as file:
            pickle.dump((model, headers, props_names, [dict(row) for row in data]), file, protocol=5)
        return path, os.path.basename(path)

    database, user = admin(url)
    _dbplus.create_sheet = keep
    try:
        with database.session(stream_pages=True) as session:
            written, status = _dbplus.DbPlus(database).export(user, MODEL, session=session)
        assert status == 200, written
    finally:
        database.engine.dispose()


def typed(rows):
    for row in rows:
        if isinstance(row["orderedOn"], str):
            row["orderedOn"] = datetime.date.fromisoformat(row["orderedOn"])
        if isinstance(row["total"], float):
            row["total"] = decimal.Decimal(str(row["total"]))
    return rows


# the candidates: each writes a bold title row, then the values under the keys

def openpyxl_cells(path, title, headers, keys, rows):
    """openpyxl write-only, one cell object per value (the writer before)."""
    from openpyxl import Workbook
    from openpyxl.cell import WriteOnlyCell
    from openpyxl.styles import Font

    workbook = Workbook(write_only=True)
    sheet = workbook.create_sheet(title)

    def cell(value, bold=False):
        made = WriteOnlyCell(sheet, value=value)
        if made.data_type == "f":
            made.data_type = "s"  # a text, not a formula
        if bold:
            made.font = Font(bold=True)
        return made

    sheet.append([cell(header, bold=True) for header in headers])
    for row in rows:
        sheet.append([cell(row.get(key)) for key in keys])
    workbook.save(path)


def openpyxl_values(path, title, headers, keys, rows):
    """openpyxl write-only, plain values; cell objects only for texts starting with "="."""
    from openpyxl import Workbook
    from openpyxl.cell import WriteOnlyCell
    from openpyxl.styles import Font

    workbook = Workbook(write_only=True)
    sheet = workbook.create_sheet(title)

    def value_of(value):
        if isinstance(value, str) and value.startswith("="):
            made = WriteOnlyCell(sheet, value=value)
            made.data_type = "s"
            return made
        return value

    titles = [WriteOnlyCell(sheet, value=header) for header in headers]
    for made in titles:
        made.font = Font(bold=True)
    sheet.append(titles)
    for row in rows:
        sheet.append([value_of(row.get(key)) for key in keys])
    workbook.save(path)


def xlsxwriter_constant_memory(path, title, headers, keys, rows):
    """XlsxWriter in constant-memory mode: ornivell.db.xlsx.create_sheet itself."""
    from ornivell.db import xlsx

    os.environ[xlsx.EXPORT_DIR_VARIABLE] = os.path.dirname(path)
    written, _ = xlsx.create_sheet(None, title, headers, keys, rows)
    os.replace(written, path)


def pyexcelerate(path, title, headers, keys, rows):
    """PyExcelerate: the whole sheet as lists first. Dates go in as plain
    numbers and texts starting with "=" as formulas."""
    from pyexcelerate import Font, Style, Workbook

    workbook = Workbook()
    sheet = workbook.new_sheet(title, data=[list(headers)] + [[row.get(key) for key in keys] for row in rows])
    sheet.set_row_style(1, Style(font=Font(bold=True)))
    workbook.save(path)


def rustpy_xlsxwriter(path, title, headers, keys, rows):
    """rustpy-xlsxwriter: rows as mappings keyed by their titles, so equal
    titles would merge columns; dates go in with a date-and-time format."""
    from rustpy_xlsxwriter import FastExcel

    records = ({header: row.get(key) for header, key in zip(headers, keys)} for row in rows)
    FastExcel(path).format(bold_headers=True).sheet(title, records).save()


WRITERS = {
    "openpyxl write-only, cells": (openpyxl_cells, "openpyxl"),
    "openpyxl write-only, values": (openpyxl_values, "openpyxl"),
    "xlsxwriter constant memory": (xlsxwriter_constant_memory, "ornivell.db.xlsx"),
    "pyexcelerate": (pyexcelerate, "pyexcelerate"),
    "rustpy-xlsxwriter": (rustpy_xlsxwriter, "rustpy_xlsxwriter"),
}


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def write_one(name, rows_path, out_path):
    """In the child: load the rows, write them, print seconds, CPU seconds and growth in MiB."""
    write, module = WRITERS[name]
    importlib.import_module(module)  # its import is no part of writing
    with open(rows_path, "rb") as file:
        model, headers, keys, rows = pickle.load(file)
    typed(rows)
    base = peak = resident()
    done = threading.Event()

    def watch():
        nonlocal peak
        while not done.wait(0.005):
            peak = max(peak, resident())

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    started, cpu = time.perf_counter(), time.process_time()
    write(out_path, model, headers, keys, rows)
    seconds, cpu = time.perf_counter() - started, time.process_time() - cpu
    done.set()
    watcher.join()
    print(seconds, cpu, (max(peak, resident()) - base) / 2 ** 20)


def installed(module):
    return importlib.util.find_spec(module) is not None


def compare(orders, options):
    url = demo_url(orders, options.folder)
    with tempfile.TemporaryDirectory() as out:
        rows_path = os.path.join(out, "rows.pickle")
        capture_export(url, rows_path)
        for name, (_, module) in WRITERS.items():
            if not installed(module):
                print(f"{orders:>9,} orders  {name:<28}  (not installed)")
                continue
            answer = subprocess.run([sys.executable, os.path.abspath(__file__), "--write", name, rows_path,
                                     os.path.join(out, "sheet.xlsx")], cwd=out, check=True, capture_output=True,
                                    text=True)
            seconds, cpu, grown = map(float, answer.stdout.split())
            size = os.path.getsize(os.path.join(out, "sheet.xlsx")) / 2 ** 20
            print(f"{orders:>9,} orders  {name:<28} {seconds:7.1f} s  cpu {cpu:7.1f} s  "
                  f"+{grown:6.1f} MiB  file {size:5.1f} MiB", flush=True)


if __name__ == "__main__":
    bench_main(__doc__, compare, "--write", write_one)
