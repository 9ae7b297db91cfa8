"""The column names of a cursor's result, as its rows' keys.

A DB-API cursor names its result's columns in ``description``. psycopg
builds that anew on every read, a ``Column`` object per column with a type
lookup each: several times what the names cost. Its cursors also hold the
result itself (``pgresult``), whose field names are a call each; the keys
of names seen before are kept, so a read asks for those names only. Other
drivers' names are read from the description, and their keys kept likewise:
interning a result's names again costs more than finding them.
"""

from operator import itemgetter

from sqlalchemy.exc import ResourceClosedError

from .rowdicts import column_names

_name = itemgetter(0)  # of a column in a description

# field names (bytes) to their keys; ASCII names only, which decode the same
# in every client encoding. Bounded: names made per request are not kept.
_KEPT_LIMIT = 1024
_kept = {}
# a description's names to their keys, bounded alike
_kept_described = {}


def _kept_keys(kept, names, keys, keepable=True):
    if keepable and len(kept) < _KEPT_LIMIT:
        kept[names] = keys
    return keys


def _described(cursor):
    description = cursor.description
    if description is None:
        # what SQLAlchemy's result says when asked for the rows of such a statement
        raise ResourceClosedError("This result object does not return rows. It has been closed automatically.")
    names = tuple(map(_name, description))
    keys = _kept_described.get(names)
    if keys is None:
        keys = _kept_keys(_kept_described, names, tuple(column_names(names)))
    return keys


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
    return _kept_keys(_kept, fields, _described(cursor), all(field and field.isascii() for field in fields))
