"""Describing an existing table or view as a business model, keeping its
properties in step with the table, and reading back what is described.

The property rows themselves are written by the extension
(``DbPlus.sync_model``); this module writes the ``_model`` and
``_model_table`` rows around it and makes new properties usable: shown,
filterable and orderable, and text columns searchable by keyword.
"""

import re
from typing import NamedTuple, Optional, Tuple

from ..handle.attrdict import Dict

# TABLE [ALIAS] [(COLUMN, EXPRESSION AS NAME, ...)] ON CONDITION
_JOIN = re.compile(
    r"\s*(?P<table>[^\s(]+)(?:\s+(?:as\s+)?(?P<alias>(?!on\s)[^\s(]+))?\s*(?:\((?P<columns>[^)]*)\))?"
    r"\s+on\s+(?P<condition>.+)",
    re.IGNORECASE | re.DOTALL,
)
JOIN_FORM = "TABLE [ALIAS] [(COLUMN, ...)] ON CONDITION"

_PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


class MetadataError(ValueError):
    """The model, role or grant asked for does not fit the database."""


class Join(NamedTuple):
    """A table left-joined to a model's main table; its listed columns
    become properties named ``alias.column``."""

    table: str
    alias: Optional[str]
    columns: Tuple[str, ...]
    condition: str

    @classmethod
    def parse(cls, text):
        match = _JOIN.fullmatch(text)
        if not match:
            raise MetadataError(f"a join is written {JOIN_FORM}, not {text!r}")
        columns = split_list(match["columns"] or "")
        return cls(match["table"], match["alias"], tuple(columns), match["condition"].strip())

    @property
    def clause(self):
        named = f"{self.table} {self.alias}" if self.alias else self.table
        return f"left join {named} on {self.condition}"


class PropertyChanges(NamedTuple):
    """The property rows a sync added and removed, by name; ``hidden``: the
    added ones hidden from every role until shown."""

    added: Tuple[str, ...]
    removed: Tuple[str, ...]
    hidden: Tuple[str, ...] = ()


def split_list(text):
    """The non-empty items of a comma-separated text, stripped."""
    return [item.strip() for item in text.split(",") if item.strip()]


def require_metadata_tables(db):
    if "_model" not in db.tables:
        raise MetadataError("the database has no metadata tables: create them with 'dbplus init'")


def existing_table(db, name):
    """The table or view ``name``; a clear error, with the name in its
    right case when only the case differs, when there is none."""
    table = db.tables.get(name)
    if table is not None:
        return table
    same = [known for known in db.tables if known.lower() == name.lower()]
    hint = f" (did you mean {same[0]}?)" if same else ""
    raise MetadataError(f"no table or view named {name}{hint}")


def model_row(s, name):
    return s.query_one("select * from _model where model=:model", model=name)


def require_model(s, name):
    row = model_row(s, name)
    if row is None:
        raise MetadataError(f"no model named {name}: describe it with 'dbplus model add {name} --table TABLE'")
    return row


def _name_in_sql(db, name):
    # stored SQL is written unquoted, as the handle adapts it per database
    return name if _PLAIN_NAME.fullmatch(name) else db.escape(name)


def keyed_sql(db, table, key):
    """A model's SQL that reads ``table`` with its key ``key`` also as ``id``."""
    table_name, key_name = _name_in_sql(db, table.name), _name_in_sql(db, key)
    return f"select {key_name} as id, {table_name}.* from {table_name}"


def _key_column(table, key):
    """The column to expose as ``id``: ``key`` when given; else, for a
    table without an ``id`` column, its one-column primary key."""
    if key is not None:
        if key not in table.c:
            raise MetadataError(f"{table.name} has no column {key} to use as the key")
        return key
    if "id" in table.c:
        return None
    primary_key = list(table.primary_key)
    return primary_key[0].name if len(primary_key) == 1 else None


def _main_table_settings(db, table_name, alias, key, sql):
    """The model's ``table`` and ``sql``, and the key column exposed as id."""
    if sql is not None:
        if table_name in db.tables:
            raise MetadataError(f"{table_name} is a table already: name the result of the SQL otherwise")
        if alias or key:
            raise MetadataError("a model defined by SQL takes neither an alias nor a key: its SQL yields the id")
        return table_name, sql, None
    table = existing_table(db, table_name)
    key = _key_column(table, key)
    if key is None:
        return table.name, None, None
    if alias:
        raise MetadataError(f"a model that exposes {key} as id reads {table.name} by its own name: drop the alias")
    return table.name, keyed_sql(db, table, key), key


def add_model(db, name, table_name, *, alias=None, joins=(), display_name=None, columns=None, key=None,
              sql=None):
    """Describe the table or view ``table_name`` as the model ``name``,
    joined to ``joins`` (``Join``), and generate its properties; all in
    one transaction. A table without an ``id`` column exposes its key
    (``key``, else its one-column primary key) as ``id`` through the
    model's SQL, so that single records can be read by id. With ``sql``
    the model reads the result of that SELECT instead, known under
    ``table_name``. Returns the ``PropertyChanges`` and the key column
    exposed (or None)."""
    from .._dbplus import DbPlus

    db.reflect()
    require_metadata_tables(db)
    table, model_sql, key = _main_table_settings(db, table_name, alias, key, sql)
    for join in joins:
        existing_table(db, join.table)
    row = {"model": name, "table": table, "alias": alias or None, "sql": model_sql,
           "columns": ",".join(columns) if columns else None,
           "displayName": display_name or DbPlus.beautify_display_name(name)}
    with db.session() as s:
        if model_row(s, name) is not None:
            raise MetadataError(f"model {name} exists already: 'dbplus model sync {name}' brings it up to date")
        s.add("_model", row)
        for order, join in enumerate(joins, start=1):
            s.add("_model_table", {"model": name, "table": join.table, "alias": join.alias,
                                   "columns": ",".join(join.columns), "join": join.clause, "order": order})
        return _sync(db, DbPlus(db), s, name), key


def sync_model(db, name):
    """Bring the model's properties in line with its tables as they are now."""
    from .._dbplus import DbPlus

    require_metadata_tables(db)
    with db.session() as s:
        require_model(s, name)
        return _sync(db, DbPlus(db), s, name, hide_added=True)


def _props(s, name):
    # in the order they were made: a table's columns keep their order
    return s.query("select * from _prop where model=:model order by id", model=name)


def _hide_from_every_role(s, props):
    # a column added to a table later (an ssn) is shown to nobody until someone decides to
    roles = [role.id for role in s.query("select id from _role")]
    for prop in props:
        for role in roles:
            s.add("_role_prop", {"roleId": role, "propId": prop.id})
    return tuple(prop.name for prop in props) if roles else ()


def _sync(db, dp, s, name, hide_added=False):
    before = {p.id: p for p in _props(s, name)}
    payload, status = dp.sync_model(name, session=s)
    if status != 200:
        raise MetadataError(payload["message"])
    after = _props(s, name)
    added = [p for p in after if p.id not in before]
    kept = {p.id for p in after}
    last = max((p.displayOrder for p in before.values() if p.id in kept), default=0)
    _make_usable(db, s, name, added, first_order=last + 1)
    _quote_columns(db, s, name, added)
    removed = [p.name for p in before.values() if p.id not in kept]
    hidden = _hide_from_every_role(s, added) if hide_added else ()
    return PropertyChanges(tuple(p.name for p in added), tuple(removed), hidden)


def _column_types(db, s, name):
    """Table name to column name to the generic SQLAlchemy type class of
    the column, for the tables of the model ``name``."""
    types = {t.name: {c.name: c.type._type_affinity for c in t.c} for t in db.tables.values()}
    model = model_row(s, name)
    if model.sql and model.table not in db.tables:
        types[model.table] = {c.name: c.type for c in (s.query_meta(model.sql) or {}).values()}
    return types


def _needs_expression(db, prop):
    """A main-table column whose name the handle's escape passes as written
    (a blank or a bracket in it, read as an SQL expression) would break every
    statement of the model; a double quote cannot be in a property name."""
    if prop.asEnabled or "." in prop.name or not isinstance(prop.column, str):
        return False
    if '"' in prop.column:
        raise MetadataError(f"column {prop.table}.{prop.column} holds a double quote, which no property name may "
                            f"hold: rename the column, or leave it out with --columns")
    return db.escape(prop.column) == prop.column and not _PLAIN_NAME.fullmatch(prop.column)


def _quote_columns(db, s, name, props):
    """Columns named with a blank (``zip code``) are described as the
    expression that selects them quoted, qualified as the statements name
    the main table."""
    model = model_row(s, name)
    quote = db.engine.dialect.identifier_preparer.quote_identifier
    qualifier = model.table if model.sql else (model.alias or model.table)
    for p in props:
        if _needs_expression(db, p):
            s.execute("update _prop set " + db.escape("column") + "=:expression, asEnabled=1 where id=:id",
                      expression=f"{quote(qualifier)}.{quote(p.column)}", id=p.id)


def _make_usable(db, s, name, props, first_order):
    """New properties are shown, filterable and orderable, text columns
    searchable by keyword; the key (``id``) is the default order, so that
    pages are slices of one order. Their data type comes from the generic
    type of their column, as the extension types the columns of a model's SQL."""
    from sqlalchemy import String

    from .._dbplus import DbPlus
    from ..handle.session import ResultColumn

    types = _column_types(db, s, name) if props else {}
    for order, p in enumerate(props, start=first_order):
        column_type = None if p.asEnabled else types.get(p.table, {}).get(p.column)
        data_type = DbPlus.guess_column_type(ResultColumn(p.column, column_type)) if column_type else p.dataType
        s.execute("update _prop set selectEnabled=1, filterEnabled=:filter, orderEnabled=:sort, "
                  "searchEnabled=:search, dataType=:data_type, displayOrder=:position, orderAsDefault=:by_key "
                  "where id=:id",
                  filter=int(not p.asEnabled), sort=int(not p.asEnabled), by_key=int(p.name == "id"),
                  search=int(column_type is not None and issubclass(column_type, String)), data_type=data_type,
                  position=order, id=p.id)


def list_models(db):
    """Every model with its main table (or SQL) and its number of properties."""
    require_metadata_tables(db)
    return db.query("select m.model, m.table, m.sql, m.displayName, count(p.id) as props from _model m "
                    "left join _prop p on p.model = m.model group by m.model, m.table, m.sql, m.displayName "
                    "order by m.model")


class ModelDescription(NamedTuple):
    model: Dict
    joins: list
    props: list


def describe_model(db, name):
    """The model's settings, its joined tables and its properties in display order."""
    require_metadata_tables(db)
    with db.session() as s:
        model = require_model(s, name)
        joins = s.query("select * from _model_table where model=:model", model=name)
        props = _props(s, name)
    joins.sort(key=lambda j: (j.order, j.id))
    props.sort(key=lambda p: (p.displayOrder, p.id))
    return ModelDescription(model, joins, props)
