"""Reading a metadata file (YAML, or JSON, which YAML reads too): its
schema, the line of each part, the names it gives as the database has
them, and the SQL it holds compiled on the database, all before anything
is written; then the difference written in one transaction."""

from typing import NamedTuple

from sqlalchemy import Integer

from .. import schema
from ..handle.attrdict import Dict
from . import compile_check
from . import metadata_file as mf
from .modeling import MetadataError, require_metadata_tables


class FileError(MetadataError):
    """A file that cannot be applied; the message names its line."""


def _columns_schema(table, exclude):
    return {str(c.name): {"type": "integer"} if isinstance(c.type, Integer) else {"type": "string"}
            for c in table.c if c.name not in exclude}


def _object(properties, required=()):
    return {"type": "object", "properties": properties, "required": list(required), "additionalProperties": False}


def _list(items):
    return {"type": "array", "items": items}


_NAME = {"type": "string", "minLength": 1}
_NAMES = _list(_NAME)

SCHEMA = {
    "$schema": "http://json-schema.org/draft-07/schema#",
    "title": "dbplus metadata",
    **_object({
        "format": {"const": mf.FORMAT},
        "assignments": {"type": "boolean"},
        "models": _list(_object({
            "model": _NAME,
            **_columns_schema(schema.model, ("id", "model")),
            "joins": _list(_object({"table": _NAME, "alias": _NAME,
                                    **_columns_schema(schema.model_table, ("id", "model", "table", "alias"))},
                                   ["table"])),
            "properties": _list(_object({"name": _NAME, **_columns_schema(schema.prop, ("id", "model", "name"))},
                                        ["name"])),
        }, ["model"])),
        "resources": _list(_object({
            "resource": _NAME, "type": _NAME, "name": {"type": "string"},
            "operations": _list(_object({"funcKey": _NAME, "name": {"type": "string"}}, ["funcKey"])),
        }, ["resource", "type"])),
        "roles": _list(_object({
            "name": _NAME,
            "grants": _list(_object({"resource": _NAME, "type": _NAME, "operations": _NAMES},
                                    ["resource", "type", "operations"])),
            "rules": _list(_object(_columns_schema(schema.acl_data, ("id",)), ["model"])),
            "hidden": {"type": "object", "additionalProperties": _NAMES},
            "users": _list({"type": "integer"}),
        }, ["name"])),
        "dicts": {"type": "object", "additionalProperties": _list(_object(
            {"key": _NAME, "value": {"type": "string"}, "order": {"type": "integer"}}, ["key"]))},
        "sequences": _list(_object(_columns_schema(schema.seq, ("id",)), ["name", "digits"])),
    }, ["format"]),
}


class Source(NamedTuple):
    """A parsed file: its data and the line of each part."""

    name: str
    data: object
    root: object

    def line(self, path):
        node = self.root
        for part in path:
            if node is None:
                break
            node = _child(node, part)
        return (node or self.root).start_mark.line + 1 if (node or self.root) is not None else 1

    def error(self, path, message):
        return FileError(f"{self.name}:{self.line(path)}: {message}")


def _child(node, part):
    import yaml

    if isinstance(node, yaml.MappingNode):
        return next((value for key, value in node.value if key.value == str(part)), None)
    if isinstance(node, yaml.SequenceNode) and isinstance(part, int) and part < len(node.value):
        return node.value[part]
    return None


def read_source(name, text):
    import yaml

    try:
        return Source(name, yaml.safe_load(text), yaml.compose(text, Loader=yaml.SafeLoader))
    except yaml.MarkedYAMLError as error:
        mark = error.problem_mark or error.context_mark
        line = mark.line + 1 if mark else 1
        raise FileError(f"{name}:{line}: not YAML or JSON: {error.problem or error}") from None
    except yaml.YAMLError as error:
        raise FileError(f"{name}: not YAML or JSON: {error}") from None


def validate(source):
    from jsonschema import Draft7Validator

    errors = sorted(Draft7Validator(SCHEMA).iter_errors(source.data), key=lambda e: list(e.absolute_path))
    if errors:
        first = errors[0]
        where = "/".join(str(p) for p in first.absolute_path) or "the document"
        raise source.error(list(first.absolute_path), f"{where}: {first.message}")


# names as the database has them

def _engine_name(names, name):
    """``name`` as the database spells it, when only the case differs."""
    if name in names:
        return name
    same = [known for known in names if known.lower() == name.lower()]
    return same[0] if len(same) == 1 else None


def _table_named(db, source, path, name):
    found = _engine_name(db.tables, name)
    if found is None:
        raise source.error(path, f"no table or view named {name} in the database")
    return found


def _column_named(db, source, path, table, name):
    found = _engine_name(db.tables[table].c.keys(), name)
    if found is None:
        raise source.error(path, f"table {table} has no column {name}")
    return found


def _sql_columns(db, sql):
    """The columns a model's SQL yields; None when it fails (the compile
    check then says why)."""
    from sqlalchemy.exc import DBAPIError

    try:
        return list(db.query_meta(sql) or {})
    except DBAPIError:
        return None


def _prop_names(db, source, path, model, prop, tables, sql_columns):
    if not prop.get("column") or prop.get("asEnabled"):
        return
    if model.get("sql"):
        if sql_columns is not None and "." not in prop["name"]:
            found = _engine_name(sql_columns, prop["column"])
            if found is None:
                raise source.error(path + ["column"], f"the SQL of model {model['model']} yields no column "
                                                      f"{prop['column']}")
            prop["column"] = found
        return
    if prop.get("table"):
        table = tables.get(prop["table"]) or _table_named(db, source, path + ["table"], prop["table"])
        prop["table"] = table
        prop["column"] = _column_named(db, source, path + ["column"], table, prop["column"])


def engine_names(db, source):
    """Puts the engine's spelling of each table and column into the data;
    refuses names the database lacks."""
    for i, model in enumerate(source.data.get("models", [])):
        path = ["models", i]
        tables = {}
        if not model.get("sql") and model.get("table"):
            model["table"] = tables[model["table"]] = _table_named(db, source, path + ["table"], model["table"])
        if model.get("alias"):
            tables[model["alias"]] = model.get("table")
        for j, join in enumerate(model.get("joins", [])):
            join["table"] = _table_named(db, source, path + ["joins", j, "table"], join["table"])
            tables[join.get("alias") or join["table"]] = join["table"]
        sql_columns = _sql_columns(db, model["sql"]) if model.get("sql") else None
        for j, prop in enumerate(model.get("properties", [])):
            _prop_names(db, source, path + ["properties", j], model, prop, tables, sql_columns)


# SQL compiled before it is stored

def _probes(db, source):
    """A probe per model of the file, and per model of the database that the file does not hold."""
    probes = {}
    for model in db.query("select * from _model"):
        joins = db.query("select * from _model_table where model=:model", model=model.model)
        probes[model.model] = compile_check.Probe(db, model, joins)
    for model in source.data.get("models", []):
        row = Dict({field: model.get(field) for field in mf._MODEL_FIELDS}, model=model["model"])
        joins = [Dict({"model": model["model"], "alias": None, "order": 0, **join}) for join in model.get("joins", [])]
        probes[model["model"]] = compile_check.Probe(db, row, joins)
    return probes


def _rule_probe(probes, key):
    """A rule under a model's name, else under the main table of a model."""
    if key in probes:
        return probes[key]
    return next((probe for probe in probes.values() if probe.model.table == key), None)


def compile_sql(db, source):
    probes = _probes(db, source)
    for i, model in enumerate(source.data.get("models", [])):
        probe = probes[model["model"]]
        problems = compile_check.model_problems(probe)
        if problems:
            raise source.error(["models", i], f"model {model['model']}: {problems[0]}")
        for j, prop in enumerate(model.get("properties", [])):
            if prop.get("asEnabled") and prop.get("column"):
                problem = compile_check.expression_problem(probe, prop["column"])
                if problem:
                    raise source.error(["models", i, "properties", j, "column"],
                                       f"property {prop['name']}: {prop['column']} does not compile: {problem}")
    for i, role in enumerate(source.data.get("roles", [])):
        for j, rule in enumerate(role.get("rules", [])):
            probe = _rule_probe(probes, rule["model"])
            if probe is not None and (rule.get("cond") or "").strip():
                problem = compile_check.rule_problem(probe, rule["cond"], rule.get("join"))
                if problem:
                    raise source.error(["roles", i, "rules", j, "cond"], f"rule {rule['cond']} does not compile: {problem}")


# references inside the file and to the database

def _check_references(source, located, db_facts):
    known = {(f.kind, f.key) for f in db_facts} | {(l.fact.kind, l.fact.key) for l in located}
    needs = {"grant": lambda k: ("operation", k[1:]), "hidden": lambda k: ("prop", k[1:])}
    for item in located:
        need = needs.get(item.fact.kind)
        if need and need(item.fact.key) not in known:
            what = "operation" if item.fact.kind == "grant" else "property"
            raise FileError(f"{source.name}:{item.line}: no {what} {' '.join(map(str, need(item.fact.key)[1]))} "
                            f"in the file or the database")


class Plan(NamedTuple):
    changes: list
    kept_rules: list


def plan(db, source, prune=False):
    """What applying the file would change; refuses a file that cannot be
    applied, before anything is written."""
    require_metadata_tables(db)
    if not isinstance(source.data, dict):
        raise FileError(f"{source.name}:1: a metadata file holds one mapping, as 'dbplus metadata export' writes it")
    validate(source)
    engine_names(db, source)
    compile_sql(db, source)
    users = source.data.get("assignments", True)
    located = mf.file_facts(source.data, source.line)
    with db.engine.connect() as connection:
        db_facts = mf.database_facts(connection, users=users)
    _check_references(source, located, db_facts)
    return Plan(mf.changes(located, db_facts, prune, users), [] if prune else mf.kept_rules(located, db_facts))


def apply(db, source, prune=False, dry_run=False):
    found = plan(db, source, prune)
    if not dry_run and found.changes:
        with db.engine.begin() as connection:
            mf.write_changes(connection, found.changes)
    return found
