"""The routes: each reads its request, asks ``DbPlus`` as the request's
user on the server's threads, and answers with the module's own result."""

import json
import os

from sqlalchemy.exc import IntegrityError
from starlette.background import BackgroundTask
from starlette.requests import Request
from starlette.responses import FileResponse, HTMLResponse
from starlette.routing import Route

from ..handle.sqlparts import MAX_WINDOW
from .auth import Unauthorized
from .responses import JSONAnswer, Refusal, bad_input, domains_json, failure, pair_answer, refused

MAX_LIMIT = 1000
# a request body the server reads at most
MAX_BODY = 16 * 1024 * 1024
_QUERY = ("queryEnabled", "查询")


def endpoint(handle):
    """``handle(api, request, user)`` with its errors answered: refusals and
    bad input as 4xx, anything else as 500 with a logged request id."""

    async def run(request: Request):
        api = request.app.state.api
        try:
            user = await api.user(request)
            return await handle(api, request, user)
        except Refusal as refusal:
            return refused(refusal.status, refusal.message, refusal.path)
        except Unauthorized as error:
            return JSONAnswer({"message": str(error)}, status_code=401, headers={"WWW-Authenticate": "Bearer"})
        except IntegrityError:
            return refused(409, "the database refused the change: a constraint of its tables does not hold "
                                "(a row refers to this one, or a unique value is taken)")
        except (ValueError, RecursionError) as error:
            # a JsonSqlError is a ValueError too; its message starts with its JSON path
            return bad_input(error)
        except Exception as error:
            return failure(request, error)

    return run


# request values

def _json(text, what):
    try:
        return json.loads(text)
    except RecursionError:
        raise Refusal(400, f"{what} is nested too deeply to read") from None
    except ValueError as error:
        raise Refusal(400, f"{what} is not valid JSON: {error}") from None


def _whole(text, what, low, high):
    try:
        value = int(text)
    except ValueError:
        value = None
    if value is None or not low <= value <= high:
        raise Refusal(400, f"{what} must be a whole number from {low} to {high}, not {text!r}")
    return value


def _flag(text, what):
    lowered = text.strip().lower()
    if lowered in ("1", "true", "yes"):
        return 1
    if lowered in ("", "0", "false", "no"):
        return 0
    raise Refusal(400, f"{what} must be true or false, not {text!r}")


def _object_param(query, name):
    if name not in query:
        return None
    value = _json(query[name], name)
    if not isinstance(value, dict):
        raise Refusal(400, f"{name} must be a JSON object")
    return value


def _order(text):
    # a bare property name is one ordering item
    try:
        return json.loads(text)
    except RecursionError:
        raise Refusal(400, "order is nested too deeply to read") from None
    except ValueError:
        return [text]


def _columns(text):
    if text.lstrip().startswith("["):
        names = _json(text, "columns")
        if not all(isinstance(name, str) for name in names):
            raise Refusal(400, "columns must be a list of property names")
        return names
    return [name.strip() for name in text.split(",") if name.strip()]


def filter_request(query):
    """The request keys that a search and an export take from the query string."""
    request = {}
    for name in ("where", "joinCond"):
        value = _object_param(query, name)
        if value is not None:
            request[name] = value
    if "order" in query:
        order = _order(query["order"])
        request["order"] = [order] if isinstance(order, str) else order
    if query.get("key"):
        request["key"] = query["key"]
    if query.get("columns"):
        request["columns"] = _columns(query["columns"])
    return request


def search_request(query):
    request = filter_request(query)
    request["page"] = _whole(query.get("page", "1"), "page", 1, MAX_WINDOW)
    request["limit"] = _whole(query.get("limit", "20"), "limit", 1, MAX_LIMIT)
    request["doCount"] = _flag(query.get("count", "0"), "count")
    return request


async def _body(request):
    declared = request.headers.get("content-length", "")
    if declared.isdigit() and int(declared) > MAX_BODY:
        raise Refusal(413, f"a request body takes at most {MAX_BODY} bytes")
    body = await request.body()
    if len(body) > MAX_BODY:
        raise Refusal(413, f"a request body takes at most {MAX_BODY} bytes")
    if not body.strip():
        raise Refusal(400, "send a JSON body")
    return _json(body, "the body")


def _records(value, what="the body"):
    if not isinstance(value, list) or not all(isinstance(item, dict) for item in value):
        raise Refusal(400, f"{what} must be a list of JSON objects")
    return value


def _record(value):
    if not isinstance(value, dict):
        raise Refusal(400, "the body must be a JSON object")
    return value


def _may_query(api, user, model):
    """The model's info, or a Refusal when the user may not search it."""
    check = api.dp.check_perm(user, model, *_QUERY)
    if check.status != 200:
        raise Refusal(check.status, check.message["message"])
    return check.info


def _visible_record(api, user, model, id):
    # a record is shown only to those who may search its model
    _may_query(api, user, model)
    payload, status = api.dp.query_one(user, model, id)
    if status == 200 and not payload:
        raise Refusal(404, f"{model}(id={id}): no such record visible to this user")
    return payload, status


def _link_domains(api, user, model):
    return api.dp.find_link_domains(user, _may_query(api, user, model))


# the routes

@endpoint
async def search(api, request, user):
    args = search_request(request.query_params)
    return pair_answer(await api.run(api.dp.search, user, request.path_params["model"], args))


@endpoint
async def get_one(api, request, user):
    model, id = request.path_params["model"], request.path_params["id"]
    return pair_answer(await api.run(_visible_record, api, user, model, id))


@endpoint
async def create(api, request, user):
    model, body = request.path_params["model"], await _body(request)
    if isinstance(body, list):
        return pair_answer(await api.run(api.dp.create_many, user, model, _records(body)))
    return pair_answer(await api.run(api.dp.create, user, model, _record(body)))


@endpoint
async def update_one(api, request, user):
    model, id = request.path_params["model"], request.path_params["id"]
    data = {**_record(await _body(request)), "id": id}
    return pair_answer(await api.run(api.dp.update, user, model, data))


@endpoint
async def update_many(api, request, user):
    model, rows = request.path_params["model"], _records(await _body(request))
    if not all("id" in row for row in rows):
        raise Refusal(400, "each record of a batch update carries its id")
    return pair_answer(await api.run(api.dp.update_many, user, model, rows))


@endpoint
async def delete(api, request, user):
    model, id = request.path_params["model"], request.path_params["id"]
    return pair_answer(await api.run(api.dp.delete, user, model, id))


@endpoint
async def update_links(api, request, user):
    body = _record(await _body(request))
    unknown = sorted(set(body) - {"add", "remove"})
    if unknown:
        raise Refusal(400, f"a links body holds add and remove, not {', '.join(unknown)}")
    added = _records(body.get("add", []), "add")
    removed = _records(body.get("remove", []), "remove")
    return pair_answer(await api.run(api.dp.relation_update, user, request.path_params["model"],
                                     add_data=added, del_data=removed))


def _key_values(query, key_name, values_name):
    key = query.get(key_name)
    if not key or values_name not in query:
        raise Refusal(400, f"give {key_name} (a key column) and {values_name} (a JSON list of its values)")
    values = _json(query[values_name], values_name)
    if not isinstance(values, list) or not values or not all(
            isinstance(value, (str, int, float)) and not isinstance(value, bool) for value in values):
        raise Refusal(400, f"{values_name} must be a JSON list of numbers or texts")
    return key, values


@endpoint
async def read_links(api, request, user):
    from_key, from_data = _key_values(request.query_params, "fromKey", "fromData")
    to_key, to_data = _key_values(request.query_params, "toKey", "toData")
    return pair_answer(await api.run(api.dp.relation, user, request.path_params["model"],
                                     from_key, from_data, to_key, to_data))


@endpoint
async def export(api, request, user):
    args = filter_request(request.query_params)
    payload, status = await api.run(api.export, user, request.path_params["model"], args)
    if status != 200:
        return pair_answer((payload, status))
    path = payload["path"]
    return FileResponse(path, filename=payload["filename"], background=BackgroundTask(os.remove, path),
                        media_type="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet")


@endpoint
async def dict_domains(api, request, user):
    names = request.query_params.getlist("name")
    return JSONAnswer(domains_json(await api.run(api.dp.find_dict_domains, names)))


@endpoint
async def link_domains(api, request, user):
    return JSONAnswer(domains_json(await api.run(_link_domains, api, user, request.path_params["model"])))


@endpoint
async def openapi(api, request, user):
    from .openapi import describe

    return JSONAnswer(await api.run(describe, api, user))


async def docs(request):
    from .openapi import docs_page

    return HTMLResponse(docs_page())


async def health(request):
    api = request.app.state.api
    try:
        await api.run(api.ping)
    except Exception as error:
        return failure(request, error)
    return JSONAnswer({"status": "ok"})


ROUTES = [
    Route("/health", health, methods=["GET"]),
    Route("/openapi.json", openapi, methods=["GET"]),
    Route("/docs", docs, methods=["GET"]),
    Route("/domains", dict_domains, methods=["GET"]),
    Route("/models/{model}", search, methods=["GET"]),
    Route("/models/{model}", create, methods=["POST"]),
    Route("/models/{model}", update_many, methods=["PATCH"]),
    # before /models/{model}/{id}, which would take these names for ids
    Route("/models/{model}/links", read_links, methods=["GET"]),
    Route("/models/{model}/links", update_links, methods=["POST"]),
    Route("/models/{model}/export", export, methods=["GET"]),
    Route("/models/{model}/domains", link_domains, methods=["GET"]),
    Route("/models/{model}/{id}", get_one, methods=["GET"]),
    Route("/models/{model}/{id}", update_one, methods=["PATCH"]),
    Route("/models/{model}/{id}", delete, methods=["DELETE"]),
]
