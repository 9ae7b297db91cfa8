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
# a --columns item that is an expression rather than a column name
_EXPRESSION_ITEM = re.compile(r"[\s()]")


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
    added ones hidden from every role until shown; ``key`` is the key column
    that a model which read its table through the SQL of an earlier ``model
    add`` now shows as its property ``id``."""

    added: Tuple[str, ...]
    removed: Tuple[str, ...]
    hidden: Tuple[str, ...] = ()
    key: Optional[str] = None


class ModelKey(NamedTuple):
    """How a new model's records are found by id: ``column`` is the key
    column shown as the property ``id`` (None when the table has an ``id``
    or no usable key); ``several`` the columns of a key of several columns,
    which no single id can name."""

    column: Optional[str] = None
    several: Tuple[str, ...] = ()


def split_list(text):
    """The non-empty items of a comma-separated text, stripped."""
    return [item.strip() for item in text.split(",") if item.strip()]


def require_metadata_tables(db):
    """Refuses a database without metadata tables; gives one made before
    the version row its version row."""
    from .. import schema

    if "_model" not in db.tables:
        raise MetadataError("the database has no metadata tables: create them with 'dbplus init'")
    if schema.metadata_version.name not in db.tables:
        with db.engine.begin() as connection:
            schema.ensure_version_table(connection)
        db.reflect()


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
    """The SQL by which an earlier ``model add`` read ``table`` with its key
    ``key`` also as ``id``; ``model sync`` turns such models into models of
    the table whose property ``id`` shows the key."""
    table_name, key_name = _name_in_sql(db, table.name), _name_in_sql(db, key)
    return f"select {key_name} as id, {table_name}.* from {table_name}"


def _model_key(table, key):
    """``key`` when given; else, for a table without an ``id`` column, its
    one-column primary key."""
    if key is not None:
        if key not in table.c:
            raise MetadataError(f"{table.name} has no column {key} to use as the key")
        if key != "id" and "id" in table.c:
            raise MetadataError(f"{table.name} has a column id: its records are found by it, not by {key}")
        return ModelKey(None if key == "id" else key)
    primary_key = [column.name for column in table.primary_key]
    if "id" in table.c or not primary_key:
        return ModelKey()
    return ModelKey(primary_key[0]) if len(primary_key) == 1 else ModelKey(several=tuple(primary_key))


def _main_table_settings(db, table_name, alias, key, sql):
    """The model's ``table`` and ``sql``, and its ``ModelKey``."""
    if sql is not None:
        if table_name in db.tables:
            raise MetadataError(f"{table_name} is a table already: name the result of the SQL otherwise")
        if alias or key:
            raise MetadataError("a model defined by SQL takes neither an alias nor a key: its SQL yields the id")
        return table_name, sql, ModelKey()
    table = existing_table(db, table_name)
    return table.name, None, _model_key(table, key)


def _show_key(db, s, name, key):
    """The model's property ``id`` shows its main table's column ``key``,
    by which single-record operations find a record."""
    table = model_row(s, name).table
    if s.query_one("select id from _prop where model=:model and name='id'", model=name) is None:
        s.add("_prop", {"model": name, "name": "id", "table": table, "column": key, "asEnabled": 0,
                        "displayName": "Id"})
    else:
        s.execute(f"update _prop set {db.escape('column')}=:key, {db.escape('table')}=:table, asEnabled=0 "
                  "where model=:model and name='id'", key=key, table=table, model=name)


def _wrapped_key(db, model):
    """The key column of a model that an earlier ``model add`` made to read
    its table through ``keyed_sql``, or None."""
    table = db.tables.get(model.table)
    if not model.sql or table is None:
        return None
    return next((c.name for c in table.c if model.sql == keyed_sql(db, table, c.name)), None)


def stale_key(db, name):
    """The key column of the model ``name`` when an earlier ``model add``
    made it read its table through ``keyed_sql`` (updates and deletes
    cannot find its records until ``model sync`` turns it into the new
    form), else None."""
    if "_model" not in db.tables:
        return None
    model = db.query_one("select * from _model where model=:model", model=name)
    return None if model is None else _wrapped_key(db, model)


def add_model(db, name, table_name, *, alias=None, joins=(), display_name=None, columns=None, key=None,
              sql=None):
    """Describe the table or view ``table_name`` as the model ``name``,
    joined to ``joins`` (``Join``), and generate its properties; all in
    one transaction. A table without an ``id`` column shows its key
    (``key``, else its one-column primary key) as the property ``id``,
    by which single records are read, changed and deleted. With ``sql``
    the model reads the result of that SELECT instead, known under
    ``table_name``. Returns the ``PropertyChanges`` and the ``ModelKey``."""
    from .._dbplus import DbPlus

    db.reflect()
    require_metadata_tables(db)
    table, model_sql, model_key = _main_table_settings(db, table_name, alias, key, sql)
    for join in joins:
        existing_table(db, join.table)
    row = {"model": name, "table": table, "alias": alias or None, "sql": model_sql,
           "columns": ",".join(columns) if columns else None,
           "displayName": display_name or DbPlus.beautify_display_name(name)}
    join_rows = [{"model": name, "table": join.table, "alias": join.alias, "columns": ",".join(join.columns),
                  "join": join.clause, "order": order} for order, join in enumerate(joins, start=1)]
    _require_compiling(db, row, join_rows)
    with db.session() as s:
        if model_row(s, name) is not None:
            raise MetadataError(f"model {name} exists already: 'dbplus model sync {name}' brings it up to date")
        s.add("_model", row)
        for join_row in join_rows:
            s.add("_model_table", join_row)
        return _sync(db, DbPlus(db), s, name, model_key.column), model_key


def _require_compiling(db, row, join_rows):
    """Refuses a model whose SQL, joins or column expressions (``--columns``
    items such as ``price * 100 as cents``) the database does not compile."""
    from .compile_check import Probe, expression_problem, model_problems

    model = Dict({"where": None, "orderBy": None, **row})
    probe = Probe(db, model, [Dict(j) for j in join_rows])
    problems = model_problems(probe)
    expressions = [item for item in split_list(row["columns"] or "") if _EXPRESSION_ITEM.search(item)]
    problems += [f"column {item} does not compile: {problem}" for item in expressions
                 for problem in [expression_problem(probe, item)] if problem]
    if problems:
        raise MetadataError(f"model {row['model']}: {problems[0]}")


def sync_model(db, name):
    """Bring the model's properties in line with its tables as they are now;
    a model read through the SQL of an earlier ``model add`` becomes a model
    of its table whose property ``id`` shows the key."""
    from .._dbplus import DbPlus

    require_metadata_tables(db)
    with db.session() as s:
        model = require_model(s, name)
        key = _wrapped_key(db, model)
        if key is not None:
            s.execute(f"update _model set {db.escape('sql')}=NULL where model=:model", model=name)
        return _sync(db, DbPlus(db), s, name, key, hide_added=True)._replace(key=key)


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


def _sync(db, dp, s, name, key=None, hide_added=False):
    before = {p.id: p for p in _props(s, name)}
    if key is not None:
        _show_key(db, s, name, key)
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


def _delete_where(connection, table, condition):
    from sqlalchemy import delete

    return connection.execute(delete(table).where(condition)).rowcount


def _remove_rules(connection, model):
    """The model's rules: under its name, and those the tool wrote under its
    main table's name for it; with their links to roles."""
    from sqlalchemy import and_, or_, select

    from .. import schema

    ad, rd = schema.acl_data, schema.role_acl_data
    mine = or_(ad.c.model == model.model, and_(ad.c.model == model.table, ad.c.name.like(f"%: {model.model}")))
    ids = [row.id for row in connection.execute(select(ad.c.id).where(mine)).all()]
    _delete_where(connection, rd, rd.c.aclDataId.in_(ids))
    return _delete_where(connection, ad, ad.c.id.in_(ids))


def _remove_grants(connection, model):
    from sqlalchemy import select

    from .. import schema

    s, a, rf = schema.resource, schema.acl_func, schema.role_acl_func
    resources = select(s.c.id).where(s.c.resource == model.model, s.c.type == "model")
    funcs = select(a.c.id).where(a.c.resourceId.in_(resources))
    _delete_where(connection, rf, rf.c.aclFuncId.in_(funcs))
    _delete_where(connection, a, a.c.resourceId.in_(resources))
    return _delete_where(connection, s, s.c.id.in_(resources))


def remove_model(db, name):
    """Removes the model's rows from every metadata table: its settings,
    joins, properties (and who they are hidden from), rules and grants.
    No business table is touched. Returns the number of properties."""
    from sqlalchemy import select

    from .. import schema

    require_metadata_tables(db)
    p, rp = schema.prop, schema.role_prop
    with db.engine.begin() as connection:
        model = connection.execute(select(schema.model).where(schema.model.c.model == name)).first()
        if model is None:
            raise MetadataError(f"no model named {name}: 'dbplus model list' lists them")
        _delete_where(connection, rp, rp.c.propId.in_(select(p.c.id).where(p.c.model == name)))
        props = _delete_where(connection, p, p.c.model == name)
        _delete_where(connection, schema.model_table, schema.model_table.c.model == name)
        _remove_rules(connection, model)
        _remove_grants(connection, model)
        _delete_where(connection, schema.model, schema.model.c.model == name)
        schema.move_version(connection)
    return props
