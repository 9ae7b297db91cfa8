"""Export of the demo's orders on SQLite: ``dbplus export`` against what a
Python user reaches for, ``pandas.read_sql`` of the same statement followed
by ``DataFrame.to_excel``, measured in the same run.

Each side runs as a process of its own, as a person would run it; the
figures are its wall time and its peak resident memory. pandas writes
every column of the statement, the export only the exported properties.

    python bench/bench_export.py [--orders 100000 1000000] [--folder DIR] [--baseline PYTHON]

Needs the ``bench`` extra (pandas). Built databases stay in ``--folder``
(default: the temporary directory) for later runs.
"""

import os
import sys
import tempfile

from demo_orders import MODEL, admin, bench_main, demo_url, run_measured


def export_statement(url):
    """The export's SELECT, as the database runs it, for the admin."""
    from ornivell.db._dbplus import DbPlus

    database, user = admin(url)
    try:
        statement, status = DbPlus(database).build_sql(user, MODEL, {})
        assert status == 200, statement
        return database.escape_sql(statement.to_sql(export=True))
    finally:
        database.engine.dispose()


def pandas_baseline(url, sql, path):
    import pandas
    from sqlalchemy import create_engine, text

    engine = create_engine(url)
    with engine.connect() as connection:
        frame = pandas.read_sql(text(sql), connection)
    frame.to_excel(path, index=False)


def export_command(python, url, out):
    return [python, "-m", "ornivell.db.cli", "export", MODEL, "--user", "1", "--db", url,
            "-o", os.path.join(out, "dbplus.xlsx")]


def figures(measured):
    return f"{measured[0]:6.1f} s (cpu {measured[1]:6.1f} s) {measured[2]:6.0f} MiB"


def compare(orders, options):
    url = demo_url(orders, options.folder)
    sql = export_statement(url)
    with tempfile.TemporaryDirectory() as out:
        export = run_measured(export_command(sys.executable, url, out), cwd=out)
        baseline = run_measured([sys.executable, os.path.abspath(__file__), "--pandas", url, sql,
                                 os.path.join(out, "pandas.xlsx")], cwd=out)
        other = options.baseline and run_measured(export_command(options.baseline, url, out), cwd=out)
    print(f"{orders:>9,} orders  dbplus export {figures(export)}   pandas {figures(baseline)}   "
          f"{baseline[0] / export[0]:.1f}x faster (cpu {baseline[1] / export[1]:.1f}x), "
          f"{export[2] / baseline[2]:.0%} of the memory", flush=True)
    if other:
        print(f"{'':>9}         baseline export {figures(other)}   this build takes "
              f"{export[0] / other[0]:.0%} of its time, {export[2] / other[2]:.0%} of its memory", flush=True)


def add_options(parser):
    parser.add_argument("--baseline", metavar="PYTHON",
                        help="also export with PYTHON, another build (a virtualenv with the package installed)")


if __name__ == "__main__":
    bench_main(__doc__, compare, "--pandas", pandas_baseline, add_options)
