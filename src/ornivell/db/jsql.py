"""Client filter and ordering structures turned into SQL for one business model.

A filter is a JSON boolean expression over the model's visible properties; the
result is a condition text whose values all travel as named parameters. The
grammar is described in the README, section "Filters and ordering".
"""

import itertools
import json
import logging
import math
import re
import threading
import weakref

from sqlalchemy.exc import SQLAlchemyError

from .jsql_values import INT_MAX, INT_MIN, UNTYPED, UnfitValue, type_rule, value_rule

MAX_DEPTH = 16
MAX_BRANCHES = 200
# What the parses of one parser, so one filter of a request (its where, or
# its join filters together), may hold in all: compiling and running the
# statement costs time in proportion. MAX_VALUES also bounds one list.
MAX_VALUES = 500
MAX_CONDITIONS = 250
MAX_TEXT = 50_000
# One text value, in characters: SQLite refuses LIKE patterns over 50,000
# bytes, and a pattern made of such a text stays below that.
MAX_TEXT_LENGTH = 10_000
# A filter or ordering sent as JSON text, in characters, checked before it is decoded.
MAX_JSON_TEXT = 1_000_000
LIKE_ESCAPE = "!"
# Written for an empty _or and for a negated empty expression.
FALSE_CONDITION = "1 = 0"

_LISTS = (list, tuple)
_COMPARISONS = {"_eq": " = ", "_neq": " <> ", "_gt": " > ", "_gte": " >= ", "_lt": " < ", "_lte": " <= "}
_NULL_TESTS = {"_eq": " is null", "_neq": " is not null"}
_TEXT_MATCHES = {"_contains": "%{}%", "_starts_with": "{}%", "_ends_with": "%{}"}
_DIRECTIONS = ("asc", "desc")
_LIKE_TAIL = " escape '%s'" % LIKE_ESCAPE

# Parameter names are "_j", a generation letter and a number. The join filters
# and the where filter of one request are parsed by two parsers, made one after
# the other on the same thread, into dictionaries that the statement builder
# merges: consecutive parsers of a thread take different generations, so their
# names never meet. The names of a request repeat from request to request, and
# so does the statement text, which keeps the database's statement caches warm.
_GENERATIONS = ("_ja", "_jb")
_thread_state = threading.local()


def _next_generation():
    turn = 1 - getattr(_thread_state, "turn", 1)
    _thread_state.turn = turn
    return _GENERATIONS[turn]

# A path is "$" or a pair (parent path, key): its text is made only for an error.
_ROOT = "$"


class JsonSqlError(ValueError):
    """A filter or ordering the client got wrong; the message names the offending part."""


def _child_text(text, key):
    if isinstance(key, str) and key.isidentifier():
        return "%s.%s" % (text, key)
    return "%s[%s]" % (text, json.dumps(key) if isinstance(key, str) else repr(key))


def _path_text(path):
    keys = []
    while isinstance(path, tuple):
        path, key = path
        keys.append(key)
    text = _ROOT
    for key in reversed(keys):
        text = _child_text(text, key)
    return text


def _error(path, message):
    return JsonSqlError("%s: %s" % (_path_text(path), message))


def _too_many(path, limit):
    return _error(path, "more than %d items" % limit)


def _kind(value):
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, _LISTS):
        return "a list"
    return "null" if value is None else type(value).__name__


def _decode(structure):
    if len(structure) > MAX_JSON_TEXT:
        raise JsonSqlError("$: a JSON text of more than %d characters" % MAX_JSON_TEXT)
    try:
        return json.loads(structure)
    except (ValueError, RecursionError) as error:
        raise JsonSqlError("$: not valid JSON (%s)" % error) from None


def _text(value, path):
    if len(value) > MAX_TEXT_LENGTH:
        raise _error(path, "longer than %d characters" % MAX_TEXT_LENGTH)
    # PostgreSQL cannot store it, the other engines would cut texts short at it
    if "\0" in value:
        raise _error(path, "NUL characters are not allowed")
    return value


def _scalar(value, path):
    # Texts, integers and floats are disjoint kinds, so the usual ones return first.
    if isinstance(value, str):
        return _text(value, path)
    if isinstance(value, int):
        if INT_MIN <= value <= INT_MAX:
            return value
        raise _error(path, "integer out of range")
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        raise _error(path, "numbers must be finite")
    if value is None:
        raise _error(path, "null is not allowed here, use _null")
    raise _error(path, "expected a text, number or boolean, got %s" % _kind(value))


def _value(value, path, convert):
    value = _scalar(value, path)
    try:
        return convert(value)
    except UnfitValue as unfit:
        raise _error(path, str(unfit)) from None


def _value_list(value, path, convert):
    if not isinstance(value, _LISTS):
        raise _error(path, "expected a list of values, got %s" % _kind(value))
    if len(value) > MAX_VALUES:
        raise _too_many(path, MAX_VALUES)
    return [_value(item, (path, position), convert) for position, item in enumerate(value)]


def _escape_like(text):
    for special in (LIKE_ESCAPE, "%", "_"):
        text = text.replace(special, LIKE_ESCAPE + special)
    return text


class _Budget:
    """What the parses of one parser have taken so far: conditions (each
    operator on a property, each _and, _or and _not), bound values and the
    characters of their texts."""

    __slots__ = ("conditions", "values", "text")

    def __init__(self):
        self.conditions = self.values = self.text = 0

    def condition(self, path):
        self.conditions += 1
        if self.conditions > MAX_CONDITIONS:
            raise _error(path, "more than %d conditions in all" % MAX_CONDITIONS)

    def value(self, value, path):
        self.values += 1
        if self.values > MAX_VALUES:
            raise _error(path, "more than %d values in all" % MAX_VALUES)
        if isinstance(value, str):
            self.text += len(value)
            if self.text > MAX_TEXT:
                raise _error(path, "more than %d characters of text in all" % MAX_TEXT)


class _Binder:
    """Collects the values of one parse under fresh parameter names."""

    __slots__ = ("_taken", "_prefix", "_numbers", "budget", "values", "absorbed")

    def __init__(self, taken, prefix, numbers, budget):
        self._taken = taken
        self._prefix = prefix
        self._numbers = numbers
        self.budget = budget
        self.values = {}
        # Set when an always-true _or drops branches, leaving values the text no longer uses.
        self.absorbed = False

    def placeholder(self, value, path):
        self.budget.value(value, path)
        # "_ja<n>" never ends in "_<digits>", so it cannot meet the names in_clause makes.
        name = f"{self._prefix}{next(self._numbers)}"
        while name in self._taken:
            name = f"{self._prefix}{next(self._numbers)}"
        self.values[name] = value
        return ":" + name

    def bind_into(self, params, condition):
        if not self.absorbed:
            params.update(self.values)
            return
        used = set(re.findall(r":(\w+)", condition or ""))
        params.update((name, value) for name, value in self.values.items() if name in used)


# An operator's handler takes the column reference, its ValueRule, the operator,
# the operand, the operand's path and the binder.

def _compare(column, rule, op, value, path, binder):
    if value is None and op in _NULL_TESTS:
        return column + _NULL_TESTS[op]
    return column + _COMPARISONS[op] + binder.placeholder(_value(value, path, rule.convert), path)


def _membership(column, rule, op, value, path, binder):
    values = _value_list(value, path, rule.convert)
    if not values:
        raise _error(path, "needs at least one value")
    word = " in (" if op == "_in" else " not in ("
    return column + word + ", ".join(binder.placeholder(value, path) for value in values) + ")"


def _between(column, rule, op, value, path, binder):
    values = _value_list(value, path, rule.convert)
    if len(values) != 2:
        raise _error(path, "needs exactly two values [low, high]")
    low, high = values
    return "%s between %s and %s" % (column, binder.placeholder(low, path), binder.placeholder(high, path))


def _like(column, rule, op, value, path, binder):
    if not isinstance(value, str):
        raise _error(path, "expected a text, got %s" % _kind(value))
    _text(value, path)
    # PostgreSQL matches patterns against texts only: refused alike on every engine
    if not rule.patterns:
        raise _error(path, "patterns apply to text properties only")
    if op in _TEXT_MATCHES:
        pattern = _TEXT_MATCHES[op].format(_escape_like(value))
    elif _ends_in_escape(value):
        # PostgreSQL refuses such a pattern, the others read it each their own way
        raise _error(path, "the pattern ends in the escape character %r" % LIKE_ESCAPE)
    else:
        pattern = value
    # An explicit escape character keeps patterns alike on SQLite, MariaDB and PostgreSQL.
    return column + " like " + binder.placeholder(pattern, path) + _LIKE_TAIL


def _ends_in_escape(pattern):
    # escape characters pair up from the left: an odd run at the end leaves one escaping nothing
    trailing = len(pattern) - len(pattern.rstrip(LIKE_ESCAPE))
    return trailing % 2 == 1


def _null(column, rule, op, value, path, binder):
    if not isinstance(value, bool):
        raise _error(path, "expected true or false, got %s" % _kind(value))
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


# None stands for an empty expression, which holds for every row.

def _all_of(conditions):
    # Groups carry their own brackets: a join filter is appended to an ON clause as it is.
    if len(conditions) > 1:
        return "(" + " and ".join(conditions) + ")"
    return conditions[0] if conditions else None


def _any_of(parts):
    if len(parts) > 1:
        return "(" + " or ".join(parts) + ")"
    return parts[0] if parts else FALSE_CONDITION


def _negate(condition):
    return FALSE_CONDITION if condition is None else "not (%s)" % condition


def _has_column(table, column):
    # Table column collections refuse non-text keys instead of answering False.
    return isinstance(column, str) and column in table.c


def _prop_fields(prop):
    try:
        # Property rows are dicts read as attributes; their items skip the failed attribute lookup.
        return prop["table"], prop["column"], prop["name"], prop["asEnabled"]
    except (KeyError, TypeError):
        return prop.table, prop.column, prop.name, prop.asEnabled


class JsonSqlParser:
    """Parses filters and orderings of one model; names resolve through its visible properties."""

    def __init__(self, info, db):
        self.info = info
        self.db = db
        # Column references and value rules by property name, escaped table names by
        # table: a parser serves one request, so the model holds still.
        self._references = {}
        self._rules = {}
        self._qualifiers = {}
        self._prefix = _next_generation()
        self._numbers = itertools.count(1)
        self._budget = _Budget()

    def parse_cond(self, params, json_cond):
        expression = _decode(json_cond) if isinstance(json_cond, str) else json_cond
        if expression is None:
            return None
        binder = _Binder(params, self._prefix, self._numbers, self._budget)
        condition = self._expression(expression, _ROOT, 1, binder)
        binder.bind_into(params, condition)
        return condition

    def parse_orderby(self, orderby):
        ordering = _decode(orderby) if isinstance(orderby, str) else orderby
        if ordering is None:
            return []
        if not isinstance(ordering, _LISTS):
            return [self._order_item(ordering, _ROOT)]
        if len(ordering) > MAX_BRANCHES:
            raise _too_many(_ROOT, MAX_BRANCHES)
        return [self._order_item(item, (_ROOT, position)) for position, item in enumerate(ordering)]

    def _expression(self, node, path, depth, binder):
        if depth > MAX_DEPTH:
            raise _error(path, "nested deeper than %d levels" % MAX_DEPTH)
        if not isinstance(node, dict):
            raise _error(path, "expected an object, got %s" % _kind(node))
        conditions = []
        for key, value in node.items():
            if key == "_and" or key == "_or":
                self._budget.condition((path, key))
                condition = self._junction(key, value, (path, key), depth + 1, binder)
            elif key == "_not":
                self._budget.condition((path, key))
                condition = _negate(self._expression(value, (path, key), depth + 1, binder))
            else:
                condition = self._property(key, value, (path, key), binder)
            if condition is not None:
                conditions.append(condition)
        return conditions[0] if len(conditions) == 1 else _all_of(conditions)

    def _junction(self, key, branches, path, depth, binder):
        if not isinstance(branches, _LISTS):
            raise _error(path, "expected a list of expressions, got %s" % _kind(branches))
        if len(branches) > MAX_BRANCHES:
            raise _too_many(path, MAX_BRANCHES)
        conditions, always_true = [], False
        for position, branch in enumerate(branches):
            condition = self._expression(branch, (path, position), depth, binder)
            if condition is None:
                always_true = True
            else:
                conditions.append(condition)
        if key == "_and":
            return _all_of(conditions)
        if always_true:
            binder.absorbed = True
            return None
        return _any_of(conditions)

    def _property(self, name, value, path, binder):
        column = self._references.get(name) or self._new_column(name, path)
        rule = self._rules[name]
        if not isinstance(value, dict):
            if isinstance(value, _LISTS):
                raise _error(path, "a list needs an operator such as _in")
            self._budget.condition(path)
            return _compare(column, rule, "_eq", value, path, binder)
        conditions = []
        for op, operand in value.items():
            handler = _OPERATORS.get(op)
            if handler is None:
                raise _error((path, op), "unknown operator")
            self._budget.condition((path, op))
            conditions.append(handler(column, rule, op, operand, (path, op), binder))
        return conditions[0] if len(conditions) == 1 else _all_of(conditions)

    def _order_item(self, item, path):
        if isinstance(item, str):
            name, direction = item, "asc"
        elif isinstance(item, dict) and len(item) == 1:
            (name, direction), = item.items()
            path = (path, name)
        else:
            raise _error(path, "an order item is a property name or an object with one property")
        direction = direction.lower() if isinstance(direction, str) else None
        if direction not in _DIRECTIONS:
            raise _error(path, "direction must be asc or desc")
        column = self._references.get(name) or self._new_column(name, path)
        return column + " " + direction

    def _new_column(self, name, path):
        prop = self.info.props.get(name)
        if prop is None:
            raise _error(path, "unknown property %r" % (name,))
        table, column, prop_name, as_enabled = _prop_fields(prop)
        reference = self._column_reference(table, column, prop_name, as_enabled)
        if reference is None:
            raise _error(path, "property %r cannot be filtered or ordered" % (name,))
        self._references[name] = reference
        self._rules[name] = self._value_rule(table, column)
        return reference

    def _value_rule(self, table, column):
        # A model defined by SQL makes its own columns: the types of its result
        if self.info.model.get("sql"):
            return _result_rules(self.info, self.db).get(column, UNTYPED)
        prop_t = self.info.tables.get(table)
        return UNTYPED if prop_t is None else value_rule(prop_t, column, self.db.engine.dialect)

    def _column_reference(self, table, column, name, as_enabled):
        # Same reference as the statement builder makes, so a filter names the column it selects.
        if not table:
            return None
        sql = self.info.model.get("sql")
        prop_t = self.info.tables.get(table)
        if not sql and (prop_t is None or (not as_enabled and not _has_column(prop_t, column))):
            return None
        if "." in name:
            return self.db.escape(name)
        renamed = as_enabled or (column and column != name)
        if not column or (renamed and prop_t is not None and not _has_column(prop_t, column)):
            return None
        return "%s.%s" % (self._qualifier(table, sql), self.db.escape(column))

    def _qualifier(self, table, sql):
        qualifier = self._qualifiers.get(table)
        if qualifier is None:
            table_name = self.info.model["table"] if sql else self.info.table_name(table)
            qualifier = self._qualifiers[table] = self.db.escape(table_name)
        return qualifier


# The value rules of the result columns of a model defined by SQL, by its
# loaded description: they last as long as the model's cache entry.
_RESULT_RULES = weakref.WeakKeyDictionary()
# a context variable of metadata SQL, $name or $name.attribute
_CONTEXT_VARIABLE = re.compile(r"\$\w+\.?\w+")
_log = logging.getLogger(__name__)


def _result_rules(info, db):
    rules = _RESULT_RULES.get(info)
    if rules is None:
        rules = _RESULT_RULES[info] = _read_result_rules(info, db)
    return rules


def _read_result_rules(info, db):
    # The result's shape does not depend on the request: context variables read as null.
    sql = _CONTEXT_VARIABLE.sub("null", info.model["sql"])
    try:
        columns = db.query_meta(sql) or {}
    except SQLAlchemyError as error:
        _log.warning("the result columns of model %r are unknown, its filter values go unchecked: %s",
                     info.model.get("model"), error)
        return {}
    dialect = db.engine.dialect
    return {name: type_rule(_type_instance(column.type), dialect) for name, column in columns.items()}


def _type_instance(column_type):
    # the handle's query_meta reports generic type classes, as the extension compares them
    return column_type() if isinstance(column_type, type) else column_type
