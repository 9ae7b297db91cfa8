"""Statement pieces that read the same on every supported database:
paging, counting and IN lists."""

import re

_NON_WORD = re.compile(r"\W")

# Pages and page sizes up to this keep every offset within the 64-bit
# integers that all supported databases take.
MAX_WINDOW = 10 ** 9

# ``query_page``'s parameters after the statement, with their defaults (``positional``)
PAGE_OPTIONS = (("page", 1), ("limit", 10), ("do_count", None))


def _window_number(name, value):
    try:
        number = int(value)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"{name} must be a whole number, not {value!r}") from None
    if not 1 <= number <= MAX_WINDOW:
        raise ValueError(f"{name} must be from 1 to {MAX_WINDOW}, not {number}")
    return number


def page_window(page, limit):
    """``(page, limit)`` as integers; pages count from 1, limits from 1, both
    up to ``MAX_WINDOW``. Anything else is a ``ValueError``."""
    if page.__class__ is int and limit.__class__ is int and 0 < page <= MAX_WINDOW and 0 < limit <= MAX_WINDOW:
        return page, limit  # what a search passes: nothing to convert
    return _window_number("page", page), _window_number("limit", limit)


def sql_page(sql, page, limit):
    return page_text(sql, *page_window(page, limit))


def page_text(sql, page, limit):
    """``sql`` limited to page ``page`` of ``limit`` rows, both checked by ``page_window``."""
    # on a line of its own, so a trailing line comment cannot swallow it
    return f"{sql}\nlimit {limit} offset {(page - 1) * limit}"


# the largest LIMIT that every supported database takes: "no limit"
_NO_LIMIT = 2 ** 63 - 1


def sql_from(sql, offset):
    """``sql`` without its first ``offset`` rows."""
    return f"{sql}\nlimit {_NO_LIMIT} offset {int(offset)}"


def sql_count(sql):
    return f"select count(*) as total from (\n{sql}\n) dbplus_count"


def in_clause(key, values):
    """``(text, params)`` for ``column in <text>``: one placeholder per value.

    Placeholder names are ``key`` (made a valid parameter name) followed by
    the value's position. No values give ``(NULL)``, which matches no row.
    """
    if isinstance(values, (str, bytes)):
        raise TypeError("in_clause needs a collection of values, not a single text")
    base = _NON_WORD.sub("_", str(key)) or "p"
    params = {f"{base}_{i}": value for i, value in enumerate(values)}
    if not params:
        return "(NULL)", params
    return "(" + ", ".join(":" + name for name in params) + ")", params
