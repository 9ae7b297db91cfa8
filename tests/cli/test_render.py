"""Text tables: columns line up in terminal cells, however wide the
characters, and long values are cut to the cell width."""

from decimal import Decimal

from ornivell.db.cli.render import MAX_CELL_WIDTH, _width, page_footer, table_text


def column_of(line, text, end=False):
    """The terminal column where ``text`` starts (or ends) in ``line``."""
    start = line.index(text)
    return _width(line[:start + (len(text) if end else 0)])


def test_columns_align_in_terminal_cells_and_long_values_are_cut():
    rows = [{"city": "中文城市", "amount": Decimal("12.50"), "note": "x" * 100},
            {"city": None, "amount": 7, "note": "short"}]
    header, _, first, second = table_text(rows).splitlines()
    assert column_of(header, "note") == column_of(first, "xxx") == column_of(second, "short")
    assert column_of(header, "amount", end=True) == column_of(first, "12.50", end=True) \
        == column_of(second, "7", end=True)
    assert first.endswith("x" * (MAX_CELL_WIDTH - 1) + "…")


def test_footer_counts_rows_and_total():
    assert page_footer({"page": 2, "data": [{}], "total": None}) == "page 2, 1 row"
    assert page_footer({"page": 1, "data": [{}, {}], "total": 7}) == "page 1, 2 rows (of 7)"
