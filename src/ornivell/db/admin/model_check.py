"""Mistakes in a model's description that the extension passes over
without a word: properties whose table or column is not there, joined and
lookup tables the database lacks, row rules without a condition, which
are dropped and so restrict nothing; and SQL (joins, the model's SQL,
where and orderBy, column expressions, row rules) that the database does
not compile, which fails every statement of the model."""

from sqlalchemy.exc import DBAPIError

from . import compile_check
from .modeling import require_metadata_tables, require_model, split_list


def _first_line(error):
    cause = getattr(error, "orig", None) or error
    lines = str(cause).strip().splitlines()
    return lines[0] if lines else type(cause).__name__


def _sql_columns(db, sql):
    """The columns the model's SQL yields, or the problem with it."""
    try:
        with db.session() as s:
            meta = s.query_meta(sql)
    except DBAPIError as error:
        return None, f"the model's SQL fails: {_first_line(error)}"
    if meta is None:
        return None, "the model's SQL yields no columns"
    return set(meta), None


def _model_tables(db, model, joins):
    """The main and joined tables under the names that the model's
    statements use for them: their own and their aliases."""
    found = {}
    for table, alias in [(model.table, model.alias)] + [(j.table, j.alias) for j in joins]:
        known = db.tables.get(table)
        if known is not None:
            found[table] = known
            if alias:
                found[alias] = known
    return found


def _table_problems(db, model, joins):
    problems = []
    if not model.sql and model.table not in db.tables:
        problems.append(f"main table {model.table} does not exist")
    problems += [f"joined table {j.table} does not exist: the join is dropped"
                 for j in joins if j.table not in db.tables]
    return problems


def _qualified_problem(prop, tables):
    """A property named alias.column is selected by that name itself."""
    alias, column = prop.name.split(".", 1)
    table = tables.get(alias)
    if table is None:
        return f"property {prop.name}: {alias} is not a table or alias of the model"
    if column not in table.c:
        return f"property {prop.name}: column {table.name}.{column} does not exist"
    return None


def _column_problem(prop, tables, sql_columns):
    """``sql_columns``: for a model defined by SQL, the columns its SQL
    yields, which its properties read unless named alias.column."""
    if prop.asEnabled:
        return None  # an expression, not a column
    if sql_columns is None:
        if not prop.table:
            return f"property {prop.name} names no table: it is never shown"
        table = tables.get(prop.table)
        if table is None:
            return f"property {prop.name}: {prop.table} is not a table of the model: the property is dropped"
        if prop.column not in table.c:
            return f"property {prop.name}: column {prop.table}.{prop.column} does not exist: the property is dropped"
    if "." in prop.name:
        return _qualified_problem(prop, tables)
    if sql_columns is not None and prop.column not in sql_columns:
        return f"property {prop.name}: the model's SQL yields no column {prop.column}"
    return None


def _lookup_problems(db, prop):
    if not prop.transTable:
        return []
    parts = prop.transTable.split(".")
    if len(parts) != 2:
        return [f"property {prop.name}: lookup {prop.transTable} is not written TABLE.COLUMN"]
    lookup_name, key = parts
    lookup = db.tables.get(lookup_name)
    if lookup is None:
        return [f"property {prop.name}: lookup table {lookup_name} does not exist"]
    shown = split_list(prop.transColumns or "")
    if not shown:
        return [f"property {prop.name}: lookup {prop.transTable} names no columns to show (transColumns)"]
    return [f"property {prop.name}: lookup column {lookup_name}.{column} does not exist"
            for column in [key, *shown] if column not in lookup.c]


def _rule_problems(rules):
    return [f"row rule {rule.name or rule.id} on {rule.model} has no condition: it is dropped and restricts nothing"
            for rule in rules if rule.cond is None or not rule.cond.strip()]


def _compile_problems(db, model, joins, props, rules):
    """The SQL the metadata holds for the model that the database refuses."""
    probe = compile_check.Probe(db, model, joins)
    problems = compile_check.model_problems(probe)
    if problems:
        return problems  # every statement of the model fails: the rest cannot be told apart
    for prop in props:
        if prop.asEnabled and prop.column:
            problem = compile_check.expression_problem(probe, prop.column)
            if problem:
                problems.append(f"property {prop.name}: column expression {prop.column} does not compile: {problem}")
    for rule in rules:
        if rule.cond and rule.cond.strip():
            problem = compile_check.rule_problem(probe, rule.cond, rule.join)
            if problem:
                problems.append(f"row rule {rule.name or rule.id} on {rule.model} ({rule.cond}) does not compile: "
                                f"{problem}")
    return problems


def _key_problems(db, model, props):
    # searches end their ordering with the key; without one rows that sort alike may change places between pages
    table = db.tables.get(model.table)
    if any(prop.name == "id" for prop in props) or (table is not None and len(table.primary_key.columns) == 1):
        return []
    return ["the model has no key (no property id, no one-column primary key): its pages may repeat or skip rows"]


def model_problems(db, name):
    """What is wrong with the model ``name``, one sentence each."""
    require_metadata_tables(db)
    with db.session() as s:
        model = require_model(s, name)
        joins = s.query("select * from _model_table where model=:model order by id", model=name)
        props = s.query("select * from _prop where model=:model order by id", model=name)
        # searches read rules under the model's name, single records under its main table's
        rules = s.query("select * from _acl_data where model=:model or model=:main order by id", model=name,
                        main=model.table)
    problems = _table_problems(db, model, joins) + _key_problems(db, model, props)
    sql_columns = None
    if model.sql:
        sql_columns, sql_problem = _sql_columns(db, model.sql)
        if sql_problem:
            # the properties cannot be checked against an SQL that fails
            return problems + [sql_problem] + _rule_problems(rules)
    tables = _model_tables(db, model, joins)
    for prop in props:
        problem = _column_problem(prop, tables, sql_columns)
        problems += ([problem] if problem else []) + _lookup_problems(db, prop)
    return problems + _rule_problems(rules) + _compile_problems(db, model, joins, props, rules)
