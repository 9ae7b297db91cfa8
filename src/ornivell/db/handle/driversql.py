"""Statement texts compiled once for the DB-API driver.

Run through SQLAlchemy, a ``text()`` is compiled to the driver's parameter
style (``?``, ``%(name)s``...) and its parameters are put in that order on
every call. A ``DriverStatement`` keeps the compiled text and the order, so
that a repeated text costs one lookup; its parameters are bound as
SQLAlchemy binds those of a text, which have no type and so no conversion.
"""

import re
from operator import itemgetter
from typing import Any, Callable, Mapping, Optional, Tuple

# a SELECT that yields rows; SELECT ... INTO makes a table (or fills
# variables) instead
_YIELDS_ROWS = re.compile(r"\s*select\b(?!.*\binto\b)", re.IGNORECASE | re.DOTALL)


class DriverStatement:
    """A text as the driver takes it. Shared by every read of the text, so
    never changed; its fields are slots, read in a few instructions where a
    tuple's named fields are a call each."""

    __slots__ = ("sql", "names", "driver_keys", "yields_rows", "values")

    def __init__(self, sql: str, names: Tuple[str, ...], driver_keys: Optional[Tuple[str, ...]], yields_rows: bool,
                 values: Callable[[Mapping[str, Any]], Tuple[Any, ...]]):
        self.sql = sql
        # parameter names in the order of the driver's placeholders (positional
        # styles), or in the order SQLAlchemy lists them (named styles)
        self.names = names
        # the keys the driver reads them under, for named styles; None for positional
        self.driver_keys = driver_keys
        # whether the text surely yields rows (not every one that does is seen to)
        self.yields_rows = yields_rows
        # the values of ``names`` from a mapping, as a tuple
        self.values = values

    @classmethod
    def compile(cls, statement, dialect):
        """The ``text()`` construct ``statement`` as ``dialect``'s driver takes it."""
        compiled = statement.compile(dialect=dialect)
        sql = compiled.string
        yields_rows = _YIELDS_ROWS.match(sql) is not None
        if compiled.positional:
            names = tuple(compiled.positiontup)
            return cls(sql, names, None, yields_rows, _values_of(names))
        names = tuple(compiled.bind_names.values())
        escaped = compiled.escaped_bind_names
        driver_keys = tuple(escaped.get(name, name) for name in names)
        # the same tuple when no name needed escaping: ``bind`` may then pass the caller's mapping
        return cls(sql, names, names if driver_keys == names else driver_keys, yields_rows, _values_of(names))

    def bind(self, params):
        """The parameters as the driver takes them, from ``params`` (name to
        value); ``KeyError`` when one has no value."""
        values = self.values(params)
        if self.driver_keys is None:
            return values
        if self.driver_keys is self.names and len(params) == len(values):
            return params  # the statement's parameters and nothing else, under their own names
        return dict(zip(self.driver_keys, values))


def _values_of(names):
    # itemgetter reads them in C: on every read's path
    if not names:
        return lambda params: ()
    getter = itemgetter(*names)
    if len(names) == 1:
        return lambda params: (getter(params),)
    return getter
