"""``dbplus search`` and ``dbplus get``: reading a model as a user."""

from ..handle.sqlparts import MAX_WINDOW
from .arguments import record_id, whole_number
from .common import (
    CommandError,
    acting_user,
    add_database_option,
    add_user_option,
    answer,
    connected,
    dbplus,
    json_option,
)

MAX_LIMIT = 1000

_KINDS = {str: "a text", list: "a list", bool: "true or false", int: "a number", float: "a number"}


def _filter(args):
    where = json_option(args, "where")
    if where is not None and not isinstance(where, dict):
        raise CommandError(f"--where must be a JSON object such as '{{\"name\": \"Ann\"}}', "
                           f"not {_KINDS[type(where)]}")
    return where


def _ordering(args):
    order = json_option(args, "order")
    # one property name is one item; handed on as a text it would be read as JSON again
    return [order] if isinstance(order, str) else order


def filter_request(args):
    """The request keys of the options that ``add_filter_options`` adds."""
    request = {}
    for key, value in (("key", args.key), ("where", _filter(args)), ("order", _ordering(args))):
        if value is not None:
            request[key] = value
    if args.columns:
        request["columns"] = [name.strip() for name in args.columns.split(",") if name.strip()]
    return request


def _search_request(args):
    return {"page": args.page, "limit": args.limit, "doCount": int(args.count), **filter_request(args)}


def _search(args):
    from . import render

    request = _search_request(args)
    with connected(args.db, existing=True) as database:
        user = acting_user(database, args.user)
        extension = dbplus(database)
        page = answer(extension.search(user, args.model, request))
        # the model as the search loaded it, from the cache
        columns = render.model_columns(extension.model_info(args.model, user), names=args.names)
    print(render.to_json(render.page_in_columns(page, columns)) if args.json else render.page_text(page, columns))


def _get(args):
    from . import render

    with connected(args.db, existing=True) as database:
        user = acting_user(database, args.user)
        extension = dbplus(database)
        # a record is shown only to those who may search its model; the
        # operation is named as the extension names it in its own refusals
        check = extension.check_perm(user, args.model, "queryEnabled", "查询")
        answer((check.message, check.status))
        record = answer(extension.query_one(user, args.model, args.id))
    if not record:
        raise CommandError(f"{args.model} {args.id}: no such record visible to user {args.user}")
    print(render.to_json(record) if args.json else render.record_text(record))


def add_model_options(parser):
    parser.add_argument("model", help="business model name, e.g. employee")
    add_user_option(parser)
    add_database_option(parser)


def add_query_options(parser):
    add_model_options(parser)
    parser.add_argument("--json", action="store_true", help="print JSON instead of text")


def add_filter_options(parser):
    """Which rows, in which order, with which properties: as for search."""
    parser.add_argument("--key", help="keyword, looked for in the searchable properties")
    parser.add_argument("--where", metavar="JSON", help='filter, e.g. \'{"title": {"_contains": "Manager"}}\'')
    parser.add_argument("--order", metavar="JSON", help='ordering, e.g. \'[{"name": "desc"}]\'')
    parser.add_argument("--columns", metavar="A,B", help="properties to show (default: all visible)")


def register(subparsers):
    parser = subparsers.add_parser("search", help="search a model as a user")
    add_query_options(parser)
    add_filter_options(parser)
    parser.add_argument("--page", type=whole_number(1, MAX_WINDOW), default=1, help="page number (default: %(default)s)")
    parser.add_argument("--limit", type=whole_number(1, MAX_LIMIT), default=20,
                        help=f"rows per page, at most {MAX_LIMIT} (default: %(default)s)")
    parser.add_argument("--count", action="store_true", help="also count all matching rows")
    parser.add_argument("--names", action="store_true",
                        help="head the columns with the properties' names (as --columns, --where and --order take "
                             "them) instead of their display names")
    parser.set_defaults(run=_search)

    parser = subparsers.add_parser("get", help="read one record of a model by id, as a user")
    add_query_options(parser)
    parser.add_argument("id", metavar="ID", type=record_id, help="the record's id")
    parser.set_defaults(run=_get)
