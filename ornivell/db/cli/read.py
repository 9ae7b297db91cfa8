"""``dbplus search`` and ``dbplus get``: reading a model as a user."""

import argparse

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


def filter_request(args):
    """The request keys of the options that ``add_filter_options`` adds."""
    request = {}
    for key, value in (("key", args.key), ("where", json_option(args, "where")),
                       ("order", json_option(args, "order"))):
        if value is not None:
            request[key] = value
    if args.columns:
        request["columns"] = [name.strip() for name in args.columns.split(",") if name.strip()]
    return request


def _search_request(args):
    return {"page": args.page, "limit": args.limit, "doCount": int(args.count), **filter_request(args)}


def _search(args):
    from .. import render

    request = _search_request(args)
    with connected(args.db, existing=True) as database:
        user = acting_user(database, args.user)
        page = answer(dbplus(database).search(user, args.model, request))
    print(render.to_json(page) if args.json else render.page_text(page))


def _record_id(text):
    try:
        return int(text)
    except ValueError:
        return text


def _get(args):
    from .. import render

    with connected(args.db, existing=True) as database:
        user = acting_user(database, args.user)
        extension = dbplus(database)
        # a record is shown only to those who may search its model; the
        # operation is named as the extension names it in its own refusals
        check = extension.check_perm(user, args.model, "queryEnabled", "查询")
        answer((check.message, check.status))
        record = answer(extension.query_one(user, args.model, _record_id(args.id)))
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


def _page_limit(text):
    value = int(text)
    if not 1 <= value <= MAX_LIMIT:
        raise argparse.ArgumentTypeError(f"must be from 1 to {MAX_LIMIT}, not {text}")
    return value


def _page_number(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {text}")
    return value


def register(subparsers):
    parser = subparsers.add_parser("search", help="search a model as a user")
    add_query_options(parser)
    add_filter_options(parser)
    parser.add_argument("--page", type=_page_number, default=1, help="page number (default: %(default)s)")
    parser.add_argument("--limit", type=_page_limit, default=20,
                        help=f"rows per page, at most {MAX_LIMIT} (default: %(default)s)")
    parser.add_argument("--count", action="store_true", help="also count all matching rows")
    parser.set_defaults(run=_search)

    parser = subparsers.add_parser("get", help="read one record of a model by id, as a user")
    add_query_options(parser)
    parser.add_argument("id", metavar="ID", help="the record's id")
    parser.set_defaults(run=_get)
