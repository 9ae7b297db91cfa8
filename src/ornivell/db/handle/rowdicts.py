"""Rows as ``Dict``, keyed by the statement's column names."""

import sys

from .attrdict import Dict


def column_names(keys):
    # interned column names make every later lookup by a constant name a
    # pointer comparison
    return list(map(sys.intern, map(str, keys)))


def dict_rows(keys, rows):
    return [Dict(zip(keys, row)) for row in rows]
