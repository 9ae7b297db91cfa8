"""MySQL's own integer types, without loading MySQL's dialect.

Only a table read through that dialect has columns of these types, so while
the dialect is not loaded no column is of them, and a handle on another
database need not load it (a tenth of the command's start) to tell.
"""

import sys

# where the types are defined: loaded with the dialect, before any column is made of them
_DEFINED_IN = "sqlalchemy.dialects.mysql.types"


def is_mysql_type(column_type, name):
    """Whether ``column_type`` is of the MySQL type ``name`` (``"TINYINT"``...)."""
    module = sys.modules.get(_DEFINED_IN)
    return module is not None and isinstance(column_type, getattr(module, name))
