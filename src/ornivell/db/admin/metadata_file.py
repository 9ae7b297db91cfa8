"""Models and permissions as a file: exported from one database, kept in
version control, compared with another database and applied to it.

Both sides are read into the same facts: a key made of names (never row
ids) and the values that the key's row holds. Export writes the facts of
the database as one document in a stable order; apply compares the facts
of a document with those of the database and writes the difference in one
transaction.
"""

from typing import NamedTuple

from sqlalchemy import and_, delete, insert, select, update

from .. import schema
from .modeling import MetadataError, require_metadata_tables

FORMAT = "dbplus-metadata/1"

_MODEL_FIELDS = [str(c.name) for c in schema.model.c if c.name not in ("id", "model")]
_JOIN_FIELDS = ["columns", "join", "order"]
_PROP_FIELDS = [str(c.name) for c in schema.prop.c if c.name not in ("id", "model", "name")]
_SEQ_FIELDS = ["prefix", "timeFormat", "digits"]
_RULE_FIELDS = ("model", "name", "cond", "join", "order")
# written when they are not 0
_ZERO_DEFAULTS = {str(c.name) for t in (schema.model, schema.prop, schema.model_table, schema.acl_data, schema.dict_entry)
                  for c in t.c if c.server_default is not None}

# the kinds of facts in the order they are written; removed in the reverse order
KINDS = ("model", "join", "prop", "resource", "operation", "role", "grant", "rule", "hidden", "user", "dict",
         "seq")


class Fact(NamedTuple):
    kind: str
    key: tuple
    values: tuple  # (field, value) pairs


class Change(NamedTuple):
    action: str  # add, change, remove
    fact: Fact
    fields: tuple = ()


def _values(row, fields):
    return tuple((field, row.get(field, 0 if field in _ZERO_DEFAULTS else None)) for field in fields)


# reading the database

def _rows(connection, table):
    return [dict(row._mapping) for row in connection.execute(select(table).order_by(table.c.id)).all()]


def database_facts(connection, models=None, users=True):
    """The facts of the database, of the ``models`` named (all by default)."""
    wanted = (lambda name: True) if not models else set(models).__contains__
    facts = []
    model_rows = [m for m in _rows(connection, schema.model) if wanted(m["model"])]
    tables = {m["model"]: m["table"] for m in model_rows}
    facts += [Fact("model", (m["model"],), _values(m, _MODEL_FIELDS)) for m in model_rows]
    facts += [Fact("join", (j["model"], j["table"], j["alias"]), _values(j, _JOIN_FIELDS))
              for j in _rows(connection, schema.model_table) if j["model"] in tables]
    props = {p["id"]: p for p in _rows(connection, schema.prop) if p["model"] in tables}
    facts += [Fact("prop", (p["model"], p["name"]), _values(p, _PROP_FIELDS)) for p in props.values()]
    resources = {r["id"]: r for r in _rows(connection, schema.resource)
                 if r["type"] != "model" or r["resource"] in tables or not models}
    facts += [Fact("resource", (r["type"], r["resource"]), (("name", r["name"]),)) for r in resources.values()]
    funcs = {a["id"]: a for a in _rows(connection, schema.acl_func) if a["resourceId"] in resources}
    facts += [Fact("operation", _func_key(resources, a), (("name", a["name"]),)) for a in funcs.values()]
    roles = {r["id"]: r["name"] for r in _rows(connection, schema.role)}
    facts += [Fact("role", (name,), ()) for name in roles.values()]
    facts += [Fact("grant", (roles[g["roleId"]],) + _func_key(resources, funcs[g["aclFuncId"]]), ())
              for g in _rows(connection, schema.role_acl_func) if g["roleId"] in roles and g["aclFuncId"] in funcs]
    rules = {r["id"]: r for r in _rows(connection, schema.acl_data)
             if not models or r["model"] in tables or r["model"] in tables.values()}
    facts += [Fact("rule", (roles[link["roleId"]],) + _rule_key(rules[link["aclDataId"]]), ())
              for link in _rows(connection, schema.role_acl_data)
              if link["roleId"] in roles and link["aclDataId"] in rules]
    facts += [Fact("hidden", (roles[h["roleId"]], props[h["propId"]]["model"], props[h["propId"]]["name"]), ())
              for h in _rows(connection, schema.role_prop) if h["roleId"] in roles and h["propId"] in props]
    if users:
        facts += [Fact("user", (roles[u["roleId"]], u["userId"]), ())
                  for u in _rows(connection, schema.user_role) if u["roleId"] in roles]
    facts += [Fact("dict", (d["domain"], d["key"]), _values(d, ("value", "order")))
              for d in _rows(connection, schema.dict_entry)]
    facts += [Fact("seq", (s["name"],), _values(s, _SEQ_FIELDS)) for s in _rows(connection, schema.seq)]
    return facts


def _func_key(resources, func):
    resource = resources[func["resourceId"]]
    return (resource["type"], resource["resource"], func["funcKey"])


def _rule_key(rule):
    return tuple(rule.get(field, 0 if field == "order" else None) for field in _RULE_FIELDS)


# the document

def _present(values):
    """The values worth writing: no None, no 0 where 0 is the default."""
    return {field: value for field, value in values
            if value is not None and not (field in _ZERO_DEFAULTS and value == 0)}


def _of(facts, kind):
    return sorted((f for f in facts if f.kind == kind), key=lambda f: _sort_key(f.key))


def _sort_key(key):
    return tuple((value is None, str(value) if value is not None else "") for value in key)


def document(facts, users=True):
    """The facts as one document: models, resources, roles, value lists and
    sequences, each in the order of their names."""
    doc = {"format": FORMAT, "models": [], "resources": [], "roles": [], "dicts": {}, "sequences": []}
    props = [f for f in facts if f.kind == "prop"]  # in the order the module reads them
    for model in _of(facts, "model"):
        name = model.key[0]
        entry = {"model": name, **_present(model.values)}
        joins = [{"table": j.key[1], **({"alias": j.key[2]} if j.key[2] else {}), **_present(j.values)}
                 for j in sorted(_of(facts, "join"), key=lambda j: (dict(j.values)["order"], _sort_key(j.key)))
                 if j.key[0] == name]
        if joins:
            entry["joins"] = joins
        entry["properties"] = [{"name": p.key[1], **_present(p.values)} for p in props if p.key[0] == name]
        doc["models"].append(entry)
    for resource in _of(facts, "resource"):
        rtype, rname = resource.key
        ops = [{"funcKey": o.key[2], **_present(o.values)} for o in _of(facts, "operation") if o.key[:2] == (rtype, rname)]
        doc["resources"].append({"resource": rname, "type": rtype, **_present(resource.values), "operations": ops})
    for role in _of(facts, "role"):
        doc["roles"].append(_role_entry(facts, role.key[0], users))
    for entry in sorted(_of(facts, "dict"), key=lambda d: (str(d.key[0]), dict(d.values)["order"], str(d.key[1]))):
        doc["dicts"].setdefault(entry.key[0], []).append({"key": entry.key[1], **_present(entry.values)})
    doc["sequences"] = [{"name": s.key[0], **_present(s.values)} for s in _of(facts, "seq")]
    if not users:
        doc["assignments"] = False
    return doc


def _role_entry(facts, role, users):
    entry = {"name": role}
    grants = {}
    for g in _of(facts, "grant"):
        if g.key[0] == role:
            grants.setdefault((g.key[1], g.key[2]), []).append(g.key[3])
    if grants:
        entry["grants"] = [{"resource": resource, "type": rtype, "operations": ops}
                           for (rtype, resource), ops in sorted(grants.items())]
    rules = [dict(zip(_RULE_FIELDS, r.key[1:])) for r in _of(facts, "rule") if r.key[0] == role]
    if rules:
        entry["rules"] = [_present(rule.items()) for rule in rules]
    hidden = {}
    for h in _of(facts, "hidden"):
        if h.key[0] == role:
            hidden.setdefault(h.key[1], []).append(h.key[2])
    if hidden:
        entry["hidden"] = hidden
    if users:
        entry["users"] = [u.key[1] for u in _of(facts, "user") if u.key[0] == role]
    return entry


# reading a document

class Located(NamedTuple):
    """A fact of a file, with the line it starts on."""

    fact: Fact
    line: int


def _defaults(entry, fields):
    return tuple((field, entry.get(field, 0 if field in _ZERO_DEFAULTS else None)) for field in fields)


def file_facts(doc, lines):
    """The facts of a document that meets the schema; ``lines(path)`` is the
    line of the node at ``path``."""
    found = []

    def add(kind, key, values, path):
        found.append(Located(Fact(kind, tuple(key), tuple(values)), lines(path)))

    for i, model in enumerate(doc.get("models", [])):
        name = model["model"]
        add("model", (name,), _defaults(model, _MODEL_FIELDS), ("models", i))
        for j, join in enumerate(model.get("joins", [])):
            add("join", (name, join["table"], join.get("alias")), _defaults(join, _JOIN_FIELDS), ("models", i, "joins", j))
        for j, prop in enumerate(model.get("properties", [])):
            add("prop", (name, prop["name"]), _defaults(prop, _PROP_FIELDS), ("models", i, "properties", j))
    for i, resource in enumerate(doc.get("resources", [])):
        key = (resource["type"], resource["resource"])
        add("resource", key, (("name", resource.get("name")),), ("resources", i))
        for j, op in enumerate(resource.get("operations", [])):
            add("operation", key + (op["funcKey"],), (("name", op.get("name")),), ("resources", i, "operations", j))
    for i, role in enumerate(doc.get("roles", [])):
        name = role["name"]
        add("role", (name,), (), ("roles", i))
        for j, grant in enumerate(role.get("grants", [])):
            for op in grant["operations"]:
                add("grant", (name, grant["type"], grant["resource"], op), (), ("roles", i, "grants", j))
        for j, rule in enumerate(role.get("rules", [])):
            add("rule", (name,) + _rule_key(rule), (), ("roles", i, "rules", j))
        for model, props in role.get("hidden", {}).items():
            for prop in props:
                add("hidden", (name, model, prop), (), ("roles", i, "hidden", model))
        for user in role.get("users", []):
            add("user", (name, user), (), ("roles", i, "users"))
    for domain, entries in doc.get("dicts", {}).items():
        for j, entry in enumerate(entries):
            add("dict", (domain, entry["key"]), _defaults(entry, ("value", "order")), ("dicts", domain, j))
    for i, seq in enumerate(doc.get("sequences", [])):
        add("seq", (seq["name"],), _defaults(seq, _SEQ_FIELDS), ("sequences", i))
    return found


# comparing

def changes(file_located, db_facts, prune=False, users=True):
    """What applying the file changes: adds and changes in the order they are
    written, then (with ``prune``) removals of what the file does not name."""
    in_db = {(f.kind, f.key): f for f in db_facts}
    in_file = {(l.fact.kind, l.fact.key): l.fact for l in file_located}
    found = []
    for kind in KINDS:
        for (fkind, key), fact in in_file.items():
            if fkind != kind:
                continue
            before = in_db.get((kind, key))
            if before is None:
                found.append(Change("add", fact))
            elif before.values != fact.values:
                old = dict(before.values)
                found.append(Change("change", fact, tuple(f for f, v in fact.values if old.get(f) != v)))
    if prune:
        for kind in reversed(KINDS):
            if kind == "user" and not users:
                continue
            found += [Change("remove", fact) for (fkind, key), fact in in_db.items()
                      if fkind == kind and (kind, key) not in in_file]
    return found


def kept_rules(file_located, db_facts):
    """Rules of the database, of roles the file names, that the file lacks:
    without --prune they stay."""
    roles = {l.fact.key[0] for l in file_located if l.fact.kind == "role"}
    in_file = {l.fact.key for l in file_located if l.fact.kind == "rule"}
    return [f for f in db_facts if f.kind == "rule" and f.key[0] in roles and f.key not in in_file]


def describe(change):
    """One line for a change."""
    fact = change.fact
    key = fact.key
    what = {
        "model": lambda: f"model {key[0]}",
        "join": lambda: f"join {key[1]}" + (f" {key[2]}" if key[2] else "") + f" of model {key[0]}",
        "prop": lambda: f"property {key[0]}.{key[1]}",
        "resource": lambda: f"resource {key[0]} {key[1]}",
        "operation": lambda: f"operation {key[2]} of {key[0]} {key[1]}",
        "role": lambda: f"role {key[0]}",
        "grant": lambda: f"grant of {key[3]} on {key[1]} {key[2]} to {key[0]}",
        "rule": lambda: f"rule of {key[0]} on {key[1]}: {key[3]}" + (f" [{key[4]}]" if key[4] else ""),
        "hidden": lambda: f"hiding of {key[1]}.{key[2]} from {key[0]}",
        "user": lambda: f"role {key[0]} of user {key[1]}",
        "dict": lambda: f"value {key[1]} of list {key[0]}",
        "seq": lambda: f"sequence {key[0]}",
    }[fact.kind]()
    fields = f" ({', '.join(change.fields)})" if change.fields else ""
    return f"{change.action} {what}{fields}"


# writing

class _Writer:
    """Writes changes, looking ids up by name in the transaction."""

    def __init__(self, connection):
        self.c = connection

    def _id(self, table, **values):
        condition = and_(*(table.c[name] == value for name, value in values.items()))
        found = self.c.execute(select(table.c.id).where(condition).order_by(table.c.id)).scalar()
        if found is None:
            raise MetadataError(f"no {table.name} row for {values}")
        return found

    def _upsert(self, table, action, where, values):
        condition = and_(*(table.c[name] == value for name, value in where.items()))
        if action == "add":
            self.c.execute(insert(table).values({**where, **values}))
        elif action == "change":
            self.c.execute(update(table).where(condition).values(values))
        else:
            self.c.execute(delete(table).where(condition))

    def _resource_id(self, rtype, resource):
        return self._id(schema.resource, type=rtype, resource=resource)

    def _func_id(self, rtype, resource, func_key):
        return self._id(schema.acl_func, resourceId=self._resource_id(rtype, resource), funcKey=func_key)

    def _role_id(self, role):
        return self._id(schema.role, name=role)

    def write(self, change):
        fact, action = change.fact, change.action
        key, values = fact.key, dict(fact.values)
        getattr(self, "_" + fact.kind)(action, key, values)

    def _model(self, action, key, values):
        self._upsert(schema.model, action, {"model": key[0]}, values)

    def _join(self, action, key, values):
        t = schema.model_table
        where = {"model": key[0], "table": key[1]}
        if action == "add":
            self.c.execute(insert(t).values({**where, "alias": key[2], **values}))
            return
        alias = t.c.alias.is_(None) if key[2] is None else t.c.alias == key[2]
        condition = and_(t.c.model == key[0], t.c.table == key[1], alias)
        if action == "change":
            self.c.execute(update(t).where(condition).values(values))
        else:
            self.c.execute(delete(t).where(condition))

    def _prop(self, action, key, values):
        if action == "remove":
            prop_id = self._id(schema.prop, model=key[0], name=key[1])
            self.c.execute(delete(schema.role_prop).where(schema.role_prop.c.propId == prop_id))
        self._upsert(schema.prop, action, {"model": key[0], "name": key[1]}, values)

    def _resource(self, action, key, values):
        self._upsert(schema.resource, action, {"type": key[0], "resource": key[1]}, values)

    def _operation(self, action, key, values):
        resource = self._resource_id(key[0], key[1])
        if action == "remove":
            func = self._id(schema.acl_func, resourceId=resource, funcKey=key[2])
            self.c.execute(delete(schema.role_acl_func).where(schema.role_acl_func.c.aclFuncId == func))
        self._upsert(schema.acl_func, action, {"resourceId": resource, "funcKey": key[2]}, values)

    def _role(self, action, key, values):
        if action == "remove":
            role_id = self._role_id(key[0])
            for table in (schema.role_acl_func, schema.role_acl_data, schema.role_prop, schema.user_role):
                self.c.execute(delete(table).where(table.c.roleId == role_id))
        self._upsert(schema.role, action, {"name": key[0]}, values)

    def _grant(self, action, key, values):
        where = {"roleId": self._role_id(key[0]), "aclFuncId": self._func_id(*key[1:])}
        self._upsert(schema.role_acl_func, action, where, {})

    def _rule(self, action, key, values):
        ad, rd = schema.acl_data, schema.role_acl_data
        role_id = self._role_id(key[0])
        content = dict(zip(_RULE_FIELDS, key[1:]))
        condition = and_(*((ad.c[f].is_(None) if v is None else ad.c[f] == v) for f, v in content.items()))
        found = self.c.execute(select(ad.c.id).where(condition).order_by(ad.c.id)).scalars().all()
        if action == "add":
            rule_id = found[0] if found else self.c.execute(insert(ad).values(content)).inserted_primary_key[0]
            self.c.execute(insert(rd).values(roleId=role_id, aclDataId=rule_id))
            return
        for rule_id in found:
            self.c.execute(delete(rd).where(rd.c.roleId == role_id, rd.c.aclDataId == rule_id))
            if self.c.execute(select(rd.c.id).where(rd.c.aclDataId == rule_id)).first() is None:
                self.c.execute(delete(ad).where(ad.c.id == rule_id))

    def _hidden(self, action, key, values):
        where = {"roleId": self._role_id(key[0]), "propId": self._id(schema.prop, model=key[1], name=key[2])}
        self._upsert(schema.role_prop, action, where, {})

    def _user(self, action, key, values):
        self._upsert(schema.user_role, action, {"roleId": self._role_id(key[0]), "userId": key[1]}, {})

    def _dict(self, action, key, values):
        self._upsert(schema.dict_entry, action, {"domain": key[0], "key": key[1]}, values)

    def _seq(self, action, key, values):
        self._upsert(schema.seq, action, {"name": key[0]}, values)


def write_changes(connection, found):
    writer = _Writer(connection)
    for change in found:
        writer.write(change)
    if found:
        schema.move_version(connection)


def export_document(db, models=None, users=True):
    require_metadata_tables(db)
    with db.engine.connect() as connection:
        if models:
            known = {row[0] for row in connection.execute(select(schema.model.c.model)).all()}
            missing = [name for name in models if name not in known]
            if missing:
                raise MetadataError(f"no model named {missing[0]}: 'dbplus model list' lists them")
        return document(database_facts(connection, models, users), users)


def document_text(doc, as_json=False):
    """The document as YAML (lists of names on one line, the rest a line
    per value, texts of several lines as blocks, so that a change shows as
    a small diff) or as JSON."""
    import json

    import yaml

    if as_json:
        return json.dumps(doc, indent=2, ensure_ascii=False) + "\n"

    class Dumper(yaml.SafeDumper):
        pass

    def represent_list(dumper, items):
        flow = all(not isinstance(item, (dict, list)) for item in items)
        return dumper.represent_sequence("tag:yaml.org,2002:seq", items, flow_style=flow)

    def represent_text(dumper, text):
        # SQL of several lines as written, not as one escaped line
        return dumper.represent_scalar("tag:yaml.org,2002:str", text, style="|" if "\n" in text else None)

    Dumper.add_representer(list, represent_list)
    Dumper.add_representer(str, represent_text)
    return yaml.dump(doc, Dumper=Dumper, sort_keys=False, allow_unicode=True, default_flow_style=False, width=120)
