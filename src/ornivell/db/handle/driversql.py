"""Statement texts compiled once for the DB-API driver.

Run through SQLAlchemy, a ``text()`` is compiled to the driver's parameter
style (``?``, ``%(name)s``...) and its parameters are put in that order on
every call. A ``DriverStatement`` keeps the compiled text and the order, so
that a repeated text costs one lookup; its parameters are bound as
SQLAlchemy binds those of a text, which have no type and so no conversion.
"""

import re
from typing import NamedTuple, Optional, Tuple

# a SELECT that yields rows; SELECT ... INTO makes a table (or fills
# variables) instead
_YIELDS_ROWS = re.compile(r"\s*select\b(?!.*\binto\b)", re.IGNORECASE | re.DOTALL)


class DriverStatement(NamedTuple):
    sql: str
    # parameter names in the order of the driver's placeholders (positional
    # styles), or in the order SQLAlchemy lists them (named styles)
    names: Tuple[str, ...]
    # the keys the driver reads them under, for named styles; None for positional
    driver_keys: Optional[Tuple[str, ...]]
    # whether the text surely yields rows (not every one that does is seen to)
    yields_rows: bool

    @classmethod
    def compile(cls, statement, dialect):
        """The ``text()`` construct ``statement`` as ``dialect``'s driver takes it."""
        compiled = statement.compile(dialect=dialect)
        sql = compiled.string
        yields_rows = _YIELDS_ROWS.match(sql) is not None
        if compiled.positional:
            return cls(sql, tuple(compiled.positiontup), None, yields_rows)
        names = tuple(compiled.bind_names.values())
        escaped = compiled.escaped_bind_names
        return cls(sql, names, tuple(escaped.get(name, name) for name in names), yields_rows)

    def bind(self, params):
        """The parameters as the driver takes them, from ``params`` (name to
        value); ``KeyError`` when one has no value."""
        if self.driver_keys is None:
            return tuple([params[name] for name in self.names])
        return {key: params[name] for name, key in zip(self.names, self.driver_keys)}
