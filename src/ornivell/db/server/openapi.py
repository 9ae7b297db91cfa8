"""The OpenAPI description of the API as one user may use it: the models
they may search, their visible properties typed from the columns, the
filter and ordering grammar, and the write bodies as what they may write."""

import datetime
import decimal
import html

from .routes import MAX_LIMIT

_MESSAGE = {"type": "object", "properties": {"message": {"type": "string"}}, "required": ["message"]}
_REFUSAL = {"type": "object", "properties": {"message": {"type": "string"}, "path": {"type": "string"}},
            "required": ["message"]}
# 400 for validation gives a message per property, per record in a batch
_INVALID = {"anyOf": [{"type": "object", "additionalProperties": {"type": "string"}},
                      {"type": "array", "items": {"type": "object", "additionalProperties": {"type": "string"}}}]}
_FAILURE = {"type": "object", "properties": {"message": {"type": "string"}, "requestId": {"type": "string"}},
            "required": ["message", "requestId"]}
_SCALAR = {"type": ["string", "number", "boolean"]}

_GRAMMAR = {
    "Value": _SCALAR,
    "Operators": {
        "type": "object",
        "description": "several operators mean AND",
        "properties": {
            **{op: {"anyOf": [_SCALAR, {"type": "null"}]} for op in ("_eq", "_neq")},
            **{op: _SCALAR for op in ("_gt", "_gte", "_lt", "_lte")},
            **{op: {"type": "array", "items": _SCALAR, "minItems": 1, "maxItems": 500} for op in ("_in", "_nin")},
            "_between": {"type": "array", "items": _SCALAR, "minItems": 2, "maxItems": 2},
            **{op: {"type": "string"} for op in ("_like", "_contains", "_starts_with", "_ends_with")},
            "_null": {"type": "boolean"},
        },
        "additionalProperties": False,
    },
    "Condition": {"anyOf": [{"$ref": "#/components/schemas/Value"}, {"type": "null"},
                            {"$ref": "#/components/schemas/Operators"}]},
    "Filter": {
        "type": "object",
        "description": "every key must hold; other keys are property names, each with a Condition",
        "properties": {
            "_and": {"type": "array", "items": {"$ref": "#/components/schemas/Filter"}, "maxItems": 200},
            "_or": {"type": "array", "items": {"$ref": "#/components/schemas/Filter"}, "maxItems": 200},
            "_not": {"$ref": "#/components/schemas/Filter"},
        },
        "additionalProperties": {"$ref": "#/components/schemas/Condition"},
    },
    "Ordering": {
        "description": "items applied in order: a property name (ascending) or {name: asc|desc}",
        "anyOf": [{"$ref": "#/components/schemas/OrderItem"},
                  {"type": "array", "items": {"$ref": "#/components/schemas/OrderItem"}, "maxItems": 200}],
    },
    "OrderItem": {"anyOf": [{"type": "string"}, {"type": "object", "minProperties": 1, "maxProperties": 1,
                                                 "additionalProperties": {"enum": ["asc", "desc", "ASC", "DESC"]}}]},
    "Message": _MESSAGE,
    "Refusal": _REFUSAL,
    "Invalid": _INVALID,
    "Failure": _FAILURE,
    "Domains": {"type": "object", "additionalProperties": {
        "type": "object", "additionalProperties": {"type": "object", "properties": {"order": {}, "label": {}}}}},
}


_TIME = r"^[0-9]{2}:[0-9]{2}(:[0-9]{2}(\.[0-9]+)?)?([+-][0-9]{2}:?[0-9]{2}|Z)?$"
_DATE_TIME = r"^[0-9]{4}-[0-9]{2}-[0-9]{2}([T ][0-9]{2}:[0-9]{2}(:[0-9]{2}(\.[0-9]+)?)?([+-][0-9]{2}:?[0-9]{2}|Z)?)?$"


def _type_of(column):
    try:
        kind = column.type.python_type
    except NotImplementedError:
        return {}
    if kind is bool:
        # MariaDB keeps booleans as small integers and answers them as such
        return {"type": ["boolean", "integer"]}
    if kind is int:
        return {"type": "integer"}
    if kind in (float, decimal.Decimal):
        return {"type": "number"}
    # times are kept without an offset, which RFC 3339's date-time and time formats require
    if kind is datetime.datetime:
        return {"type": "string", "pattern": _DATE_TIME}
    if kind is datetime.date:
        return {"type": "string", "format": "date"}
    if kind is datetime.time:
        return {"type": "string", "pattern": _TIME}
    return {"type": "string"}


def _nullable(schema):
    kinds = schema.get("type")
    if kinds is None:
        return schema
    kinds = kinds if isinstance(kinds, list) else [kinds]
    return {**schema, "type": kinds + ["null"]}


def _column(info, prop):
    table = info.db_table(prop.get("table")) if prop.get("table") else info.main_table
    column = prop.get("column") or prop["name"]
    if table is None or column not in table.c:
        return None
    return table.c[column]


def _property_schema(info, prop):
    column = _column(info, prop)
    schema = _type_of(column) if column is not None else {}
    schema = _nullable(schema) if column is None or column.nullable else schema
    return {**schema, "title": prop.get("displayName") or prop["name"]}


def _writable(info):
    """The visible properties whose column is one of the main table's."""
    main = info.main_table
    if main is None:
        # a model defined by SQL is not written
        return
    names = {info.model.get("table"), info.model.get("alias")}
    for name, prop in info.props.items():
        column = prop.get("column") or name
        if prop.get("table") in names and column in main.c:
            yield name, prop


def _model_schemas(name, info):
    row = {"type": "object", "additionalProperties": True,
           "properties": {prop_name: _property_schema(info, prop) for prop_name, prop in info.props.items()}}
    written = {prop_name: _property_schema(info, prop) for prop_name, prop in _writable(info)}
    write = {"type": "object", "properties": written, "additionalProperties": False, "minProperties": 1}
    page = {"type": "object", "required": ["data", "page", "limit"], "properties": {
        "data": {"type": "array", "items": {"$ref": f"#/components/schemas/{name}"}},
        "page": {"type": "integer"}, "limit": {"type": "integer"}, "total": {"type": ["integer", "null"]}}}
    return {name: row, f"{name}.write": write, f"{name}.page": page}


def _ref(name):
    return {"$ref": f"#/components/schemas/{name}"}


def _json_answer(schema, description="done"):
    return {"description": description, "content": {"application/json": {"schema": schema}}}


def _responses(ok, *statuses):
    answers = {"200": ok, "401": _json_answer(_ref("Message"), "no token, or a bad one"),
               "500": _json_answer(_ref("Failure"), "failed; the id finds the logged error")}
    texts = {"400": ("bad request", {"anyOf": [_ref("Refusal"), _ref("Invalid")]}),
             "403": ("not permitted", _ref("Message")), "404": ("no such model or record", _ref("Message")),
             "409": ("the database refused the change", _ref("Message"))}
    for status in statuses:
        description, schema = texts[status]
        answers[status] = _json_answer(schema, description)
    return answers


def _json_query(name, schema, description):
    return {"name": name, "in": "query", "description": description,
            "content": {"application/json": {"schema": schema}}}


def _query(name, schema, description):
    return {"name": name, "in": "query", "schema": schema, "description": description}


_FILTERS = [
    _json_query("where", _ref("Filter"), "filter on the model's filterable properties"),
    _json_query("joinCond", {"type": "object", "additionalProperties": _ref("Filter")},
                "filters added to joined tables' ON clauses, by table"),
    _json_query("order", _ref("Ordering"), "ordering"),
    _query("key", {"type": "string", "maxLength": 10000}, "keyword, looked for in the searchable properties"),
    _query("columns", {"type": "string"}, "properties to answer with, separated by commas"),
]
_PAGING = [
    _query("page", {"type": "integer", "minimum": 1, "maximum": 1000000}, "page number"),
    _query("limit", {"type": "integer", "minimum": 1, "maximum": MAX_LIMIT}, "rows per page"),
    _query("count", {"type": "boolean"}, "also count all matching rows"),
]
_ID = {"name": "id", "in": "path", "required": True, "schema": {"type": ["integer", "string"]}}


def _body(schema):
    return {"required": True, "content": {"application/json": {"schema": schema}}}


def _model_paths(name, acl):
    row, write, tag = _ref(name), _ref(f"{name}.write"), [name]
    collection, item = {}, {}
    if acl.get("queryEnabled"):
        collection["get"] = {"summary": f"search {name}", "tags": tag, "parameters": _FILTERS + _PAGING,
                             "responses": _responses(_json_answer(_ref(f"{name}.page")), "400", "403", "404")}
        item["get"] = {"summary": f"one {name} record", "tags": tag,
                       "responses": _responses(_json_answer(row), "400", "403", "404")}
    if acl.get("createEnabled"):
        collection["post"] = {"summary": f"create {name} records", "tags": tag,
                              "requestBody": _body({"anyOf": [write, {"type": "array", "items": write,
                                                                      "minItems": 1, "maxItems": 50}]}),
                              "responses": _responses(_json_answer({}), "400", "403", "404", "409")}
    if acl.get("updateEnabled"):
        batch = {"allOf": [write, {"required": ["id"]}]}
        collection["patch"] = {"summary": f"update {name} records, each with its id", "tags": tag,
                               "requestBody": _body({"type": "array", "items": batch, "minItems": 1,
                                                     "maxItems": 50}),
                               "responses": _responses(_json_answer(_ref("Message")), "400", "403", "404", "409")}
        item["patch"] = {"summary": f"update a {name} record", "tags": tag, "requestBody": _body(write),
                         "responses": _responses(_json_answer(row), "400", "403", "404", "409")}
    if acl.get("deleteEnabled"):
        item["delete"] = {"summary": f"delete a {name} record", "tags": tag,
                          "responses": _responses(_json_answer(row), "400", "403", "404", "409")}
    paths = {}
    if collection:
        paths[f"/models/{name}"] = collection
    if item:
        paths[f"/models/{name}/{{id}}"] = {"parameters": [_ID], **item}
    if acl.get("queryEnabled"):
        paths[f"/models/{name}/domains"] = {"get": {"summary": f"value lists of {name}'s filterable properties",
                                                    "tags": tag,
                                                    "responses": _responses(_json_answer(_ref("Domains")),
                                                                            "403", "404")}}
    links = {}
    if acl.get("queryEnabled"):
        keys = [_query(key, {"type": "string"}, "a key column of the link table") for key in ("fromKey", "toKey")]
        values = [_json_query(key, {"type": "array", "items": {"type": ["integer", "string"]}, "minItems": 1,
                                    "maxItems": 100}, "its values") for key in ("fromData", "toData")]
        for parameter in keys + values:
            parameter["required"] = True
        links["get"] = {"summary": f"link rows of {name} between the given keys", "tags": tag,
                        "parameters": keys + values,
                        "responses": _responses(_json_answer({"type": "array", "items": row}), "400", "403", "404")}
    if acl.get("createEnabled") or acl.get("deleteEnabled"):
        rows = {"type": "array", "items": write, "maxItems": 50}
        links["post"] = {"summary": f"add and remove link rows of {name}", "tags": tag,
                         "requestBody": _body({"type": "object", "additionalProperties": False,
                                               "properties": {"add": rows, "remove": rows}}),
                         "responses": _responses(_json_answer(_ref("Message")), "400", "403", "404", "409")}
    if links:
        paths[f"/models/{name}/links"] = links
    if acl.get("exportEnabled"):
        sheet = {"description": "the workbook", "content": {
            "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet": {
                "schema": {"type": "string", "format": "binary"}}}}
        paths[f"/models/{name}/export"] = {"get": {"summary": f"export {name} to a workbook", "tags": tag,
                                                   "parameters": _FILTERS,
                                                   "responses": _responses(sheet, "400", "403", "404")}}
    return paths


def _common_paths():
    return {
        "/health": {"get": {"summary": "the database answers", "security": [],
                            "responses": {"200": _json_answer({"type": "object"}),
                                          "500": _json_answer(_ref("Failure"))}}},
        "/domains": {"get": {"summary": "dictionary value lists", "parameters": [
            {"name": "name", "in": "query", "schema": {"type": "array", "items": {"type": "string"}},
             "style": "form", "explode": True, "description": "domains to list (default: all)"}],
            "responses": _responses(_json_answer(_ref("Domains")))}},
    }


def _model_names(api):
    return sorted({row["model"] for row in api.database.query("select model from _model")})


def describe(api, user):
    """The OpenAPI 3.1 description for ``user`` (runs statements: call off the event loop)."""
    schemas, paths = dict(_GRAMMAR), _common_paths()
    for name in _model_names(api):
        check = api.dp.check_perm(user, name, "queryEnabled", "查询")
        if check.status != 200:
            continue
        schemas.update(_model_schemas(name, check.info))
        acl = dict(check.acl or {})
        if check.info.main_table is None:
            # a model defined by SQL is read only
            acl = {key: value for key, value in acl.items() if key in ("queryEnabled", "exportEnabled")}
        paths.update(_model_paths(name, acl))
    return {
        "openapi": "3.1.0",
        "info": {"title": "dbplus", "version": "1", "description": f"the models as user {user['id']} may use them"},
        "paths": paths,
        "components": {"schemas": schemas,
                       "securitySchemes": {"bearer": {"type": "http", "scheme": "bearer", "bearerFormat": "JWT"}}},
        "security": [{"bearer": []}],
    }


_DOCS = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>dbplus API</title>
<link rel="stylesheet" href="{base}/swagger-ui.css"></head>
<body><div id="ui"></div>
<script src="{base}/swagger-ui-bundle.js"></script>
<script>
// the token, given as /docs#token=JWT, stays in the browser: a fragment is never sent
const token = new URLSearchParams(location.hash.slice(1)).get("token");
const bearer = (request) => {{ if (token) request.headers.Authorization = "Bearer " + token; return request; }};
SwaggerUIBundle({{url: "openapi.json", dom_id: "#ui", requestInterceptor: bearer}});
</script></body></html>
"""

DOCS_ASSETS = "/docs/assets"


def docs_page():
    return _DOCS.format(base=html.escape(DOCS_ASSETS))


def docs_files():
    """The directory of the Swagger UI distribution the page loads, installed with the server."""
    from swagger_ui_bundle import swagger_ui_path

    return swagger_ui_path
