"""Client filter and ordering structures turned into SQL for one business model.

A filter is a JSON boolean expression over the model's visible properties; the
result is a condition text whose values all travel as named parameters. The
grammar is described in the README, section "Filters and ordering".
"""

import itertools
import json
import math
import re
import threading

MAX_DEPTH = 16
MAX_BRANCHES = 200
MAX_VALUES = 1000
LIKE_ESCAPE = "!"
# Written for an empty _or and for a negated empty expression.
FALSE_CONDITION = "1 = 0"

_LISTS = (list, tuple)
_INT_MIN, _INT_MAX = -2 ** 63, 2 ** 63 - 1
_COMPARISONS = {"_eq": "=", "_neq": "<>", "_gt": ">", "_gte": ">=", "_lt": "<", "_lte": "<="}
_NULL_TESTS = {"_eq": " is null", "_neq": " is not null"}
_TEXT_MATCHES = {"_contains": "%{}%", "_starts_with": "{}%", "_ends_with": "%{}"}
_DIRECTIONS = ("asc", "desc")

# One process-wide sequence: the join filters and the where filter of a request
# are parsed into separate dictionaries that the statement builder merges.
_param_numbers = itertools.count(1)
_param_lock = threading.Lock()


class JsonSqlError(ValueError):
    """A filter or ordering the client got wrong; the message names the offending part."""


def _fresh_param_name(taken):
    # "_jq<n>" never ends in "_<digits>", so it cannot meet the names in_clause makes.
    while True:
        with _param_lock:
            name = "_jq%d" % next(_param_numbers)
        if name not in taken:
            return name


class _Binder:
    """Collects the values of one parse under fresh parameter names."""

    def __init__(self, taken):
        self._taken = taken
        self.values = {}

    def placeholder(self, value):
        name = _fresh_param_name(self._taken)
        self.values[name] = value
        return ":" + name


def _child(path, key):
    if isinstance(key, str) and key.isidentifier():
        return "%s.%s" % (path, key)
    return "%s[%s]" % (path, json.dumps(key) if isinstance(key, str) else repr(key))


def _index(path, position):
    return "%s[%d]" % (path, position)


def _kind(value):
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, _LISTS):
        return "a list"
    return "null" if value is None else type(value).__name__


def _decode(structure):
    if not isinstance(structure, str):
        return structure
    try:
        return json.loads(structure)
    except (ValueError, RecursionError) as error:
        raise JsonSqlError("$: not valid JSON (%s)" % error) from None


def _check_length(items, limit, path):
    if len(items) > limit:
        raise JsonSqlError("%s: more than %d items" % (path, limit))


def _scalar(value, path):
    if value is None:
        raise JsonSqlError("%s: null is not allowed here, use _null" % path)
    if isinstance(value, float) and not math.isfinite(value):
        raise JsonSqlError("%s: numbers must be finite" % path)
    if isinstance(value, int) and not _INT_MIN <= value <= _INT_MAX:
        raise JsonSqlError("%s: integer out of range" % path)
    if not isinstance(value, (str, int, float)):
        raise JsonSqlError("%s: expected a text, number or boolean, got %s" % (path, _kind(value)))
    return value


def _scalar_list(value, path):
    if not isinstance(value, _LISTS):
        raise JsonSqlError("%s: expected a list of values, got %s" % (path, _kind(value)))
    _check_length(value, MAX_VALUES, path)
    return [_scalar(item, _index(path, i)) for i, item in enumerate(value)]


def _escape_like(text):
    for special in (LIKE_ESCAPE, "%", "_"):
        text = text.replace(special, LIKE_ESCAPE + special)
    return text


def _compare(column, op, value, path, binder):
    if value is None and op in _NULL_TESTS:
        return column + _NULL_TESTS[op]
    return "%s %s %s" % (column, _COMPARISONS[op], binder.placeholder(_scalar(value, path)))


def _membership(column, op, value, path, binder):
    values = _scalar_list(value, path)
    if not values:
        raise JsonSqlError("%s: needs at least one value" % path)
    word = "in" if op == "_in" else "not in"
    return "%s %s (%s)" % (column, word, ", ".join(binder.placeholder(v) for v in values))


def _between(column, op, value, path, binder):
    values = _scalar_list(value, path)
    if len(values) != 2:
        raise JsonSqlError("%s: needs exactly two values [low, high]" % path)
    low, high = (binder.placeholder(v) for v in values)
    return "%s between %s and %s" % (column, low, high)


def _like(column, op, value, path, binder):
    if not isinstance(value, str):
        raise JsonSqlError("%s: expected a text, got %s" % (path, _kind(value)))
    pattern = _TEXT_MATCHES[op].format(_escape_like(value)) if op in _TEXT_MATCHES else value
    # An explicit escape character keeps patterns alike on SQLite, MariaDB and PostgreSQL.
    return "%s like %s escape '%s'" % (column, binder.placeholder(pattern), LIKE_ESCAPE)


def _null(column, op, value, path, binder):
    if not isinstance(value, bool):
        raise JsonSqlError("%s: expected true or false, got %s" % (path, _kind(value)))
    return column + _NULL_TESTS["_eq" if value else "_neq"]


_OPERATORS = {
    **{op: _compare for op in _COMPARISONS},
    "_in": _membership,
    "_nin": _membership,
    "_between": _between,
    "_like": _like,
    **{op: _like for op in _TEXT_MATCHES},
    "_null": _null,
}


def _operator(column, op, value, path, binder):
    handler = _OPERATORS.get(op)
    if handler is None:
        raise JsonSqlError("%s: unknown operator" % path)
    return handler(column, op, value, path, binder)


# None stands for an empty expression, which holds for every row.

def _group(conditions, word):
    # Groups carry their own brackets: a join filter is appended to an ON clause as it is.
    if len(conditions) == 1:
        return conditions[0]
    return "(%s)" % (" %s " % word).join(conditions)


def _all_of(parts):
    conditions = [part for part in parts if part is not None]
    return _group(conditions, "and") if conditions else None


def _any_of(parts):
    if any(part is None for part in parts):
        return None
    return _group(parts, "or") if parts else FALSE_CONDITION


def _negate(condition):
    return FALSE_CONDITION if condition is None else "not (%s)" % condition


def _has_column(table, column):
    # Table column collections refuse non-text keys instead of answering False.
    return isinstance(column, str) and column in table.c


class JsonSqlParser:
    """Parses filters and orderings of one model; names resolve through its visible properties."""

    def __init__(self, info, db):
        self.info = info
        self.db = db

    def parse_cond(self, params, json_cond):
        expression = _decode(json_cond)
        if expression is None:
            return None
        binder = _Binder(params)
        condition = self._expression(expression, "$", 1, binder)
        # Branches absorbed by an always-true _or leave values that the text no longer uses.
        used = set(re.findall(r":(\w+)", condition or ""))
        params.update((name, value) for name, value in binder.values.items() if name in used)
        return condition

    def parse_orderby(self, orderby):
        ordering = _decode(orderby)
        if ordering is None:
            return []
        if not isinstance(ordering, _LISTS):
            return [self._order_item(ordering, "$")]
        _check_length(ordering, MAX_BRANCHES, "$")
        return [self._order_item(item, _index("$", i)) for i, item in enumerate(ordering)]

    def _expression(self, node, path, depth, binder):
        if depth > MAX_DEPTH:
            raise JsonSqlError("%s: nested deeper than %d levels" % (path, MAX_DEPTH))
        if not isinstance(node, dict):
            raise JsonSqlError("%s: expected an object, got %s" % (path, _kind(node)))
        return _all_of([self._term(key, value, _child(path, key), depth, binder)
                        for key, value in node.items()])

    def _term(self, key, value, path, depth, binder):
        if key in ("_and", "_or"):
            return self._junction(key, value, path, depth, binder)
        if key == "_not":
            return _negate(self._expression(value, path, depth + 1, binder))
        return self._property(key, value, path, binder)

    def _junction(self, key, branches, path, depth, binder):
        if not isinstance(branches, _LISTS):
            raise JsonSqlError("%s: expected a list of expressions, got %s" % (path, _kind(branches)))
        _check_length(branches, MAX_BRANCHES, path)
        parts = [self._expression(branch, _index(path, i), depth + 1, binder)
                 for i, branch in enumerate(branches)]
        return _all_of(parts) if key == "_and" else _any_of(parts)

    def _property(self, name, value, path, binder):
        column = self._column(name, path)
        if isinstance(value, dict):
            return _all_of([_operator(column, op, operand, _child(path, op), binder)
                            for op, operand in value.items()])
        if isinstance(value, _LISTS):
            raise JsonSqlError("%s: a list needs an operator such as _in" % path)
        return _compare(column, "_eq", value, path, binder)

    def _order_item(self, item, path):
        if isinstance(item, str):
            name, direction = item, "asc"
        elif isinstance(item, dict) and len(item) == 1:
            (name, direction), = item.items()
            path = _child(path, name)
        else:
            raise JsonSqlError("%s: an order item is a property name or an object with one property" % path)
        if not isinstance(direction, str) or direction.lower() not in _DIRECTIONS:
            raise JsonSqlError("%s: direction must be asc or desc" % path)
        return "%s %s" % (self._column(name, path), direction.lower())

    def _column(self, name, path):
        prop = self.info.props.get(name)
        if prop is None:
            raise JsonSqlError("%s: unknown property %r" % (path, name))
        reference = self._column_reference(prop)
        if reference is None:
            raise JsonSqlError("%s: property %r cannot be filtered or ordered" % (path, name))
        return reference

    def _column_reference(self, prop):
        # Same reference as the statement builder makes, so a filter names the column it selects.
        if not prop.table:
            return None
        sql = self.info.model.get("sql")
        prop_t = self.info.tables.get(prop.table)
        if not sql and (prop_t is None or (not prop.asEnabled and not _has_column(prop_t, prop.column))):
            return None
        if "." in prop.name:
            return self.db.escape(prop.name)
        renamed = prop.asEnabled or (prop.column and prop.column != prop.name)
        if not prop.column or (renamed and prop_t is not None and not _has_column(prop_t, prop.column)):
            return None
        table_name = self.info.model["table"] if sql else self.info.table_name(prop.table)
        return "%s.%s" % (self.db.escape(table_name), self.db.escape(prop.column))
