"""Pages of one statement read in order from a single open result.

An export asks for page 1, 2, 3, ... of one statement until a page comes
back empty. Run as separate LIMIT/OFFSET statements, each page makes the
database produce (and sort) the result again up to its offset, so reading
n rows costs in the order of n² / page size rows; and pages read in
separate transactions may skip or repeat rows that change meanwhile. A
``PageStream`` runs the statement once and hands out its rows a page at a
time, for as long as the pages are asked for in order.
"""

from .sqlparts import sql_from


class PageStream:
    """The open result of the last paged statement of one session."""

    __slots__ = ("_request", "_next_page", "_result", "_keys")

    def __init__(self):
        self._request = None  # (sql, params, limit) being read
        self._next_page = None
        self._result = None  # None once the result is read to its end
        self._keys = None

    def page(self, run, sql, page, limit, params):
        """``(keys, rows)`` of page ``page`` (from 1) of ``limit`` rows.
        ``run(sql, params)`` executes a statement and returns its result,
        which is read only as far as the pages asked for."""
        request = (sql, params, limit)
        if request != self._request or page != self._next_page:
            self.close()
            offset = (page - 1) * limit
            self._result = run(sql_from(sql, offset) if offset else sql, params)
            self._keys = self._result.keys()
            self._request = (sql, dict(params), limit)
        self._next_page = page + 1
        if self._result is None:
            # the result ended on an earlier page: later pages are empty
            return self._keys, []
        rows = self._result.fetchmany(limit)
        if len(rows) < limit:
            self._end()
        return self._keys, rows

    def _end(self):
        self._result.close()
        self._result = None

    def close(self):
        """Give up the open result, if any; the next page runs its statement anew."""
        if self._result is not None:
            self._end()
        self._request = None
