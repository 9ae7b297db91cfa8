"""The column names of a cursor's result, as its rows' keys.

A DB-API cursor names its result's columns in ``description``. psycopg
builds that anew on every read, a ``Column`` object per column with a type
lookup each: several times what the names cost. Its cursors also hold the
result itself (``pgresult``), whose field names are a call each; the keys
of names seen before are kept, so a read asks for those names only.
"""

from operator import itemgetter

from sqlalchemy.exc import ResourceClosedError

from .rowdicts import column_names

_name = itemgetter(0)  # of a column in a description

# field names (bytes) to their keys; ASCII names only, which decode the same
# in every client encoding. Bounded: names made per request are not kept.
_KEPT_LIMIT = 1024
_kept = {}


def _described(cursor):
    description = cursor.description
    if description is None:
        # what SQLAlchemy's result says when asked for the rows of such a statement
        raise ResourceClosedError("This result object does not return rows. It has been closed automatically.")
    return column_names(map(_name, description))


def result_keys(cursor):
    """The keys of the rows of ``cursor``'s result; ``ResourceClosedError``
    when it has no rows to give."""
    result = getattr(cursor, "pgresult", None)
    if result is None or not result.nfields:
        return _described(cursor)
    fields = tuple(map(result.fname, range(result.nfields)))
    keys = _kept.get(fields)
    if keys is not None:
        return keys
    keys = tuple(_described(cursor))
    if len(_kept) < _KEPT_LIMIT and all(field and field.isascii() for field in fields):
        _kept[fields] = keys
    return keys
