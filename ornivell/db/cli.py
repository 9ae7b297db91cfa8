"""The ``dbplus`` command.

Each subcommand is a function that adds its parser and names the function
that runs it; list new ones in ``_SUBCOMMANDS``.
"""

import argparse
import json
import os
import shlex
import sys
from contextlib import contextmanager

from sqlalchemy import make_url
from sqlalchemy.exc import OperationalError, SQLAlchemyError

from . import render
from .db import DEFAULT_URL, URL_VARIABLE, Database
from .demo import DEFAULT_SCALE, DEFAULT_SEED, UnknownUser, build_demo, find_user
from .schema import create_metadata_tables


class CommandError(Exception):
    """A request the command cannot carry out; the message says why."""


# what a user can get wrong: the URL, a missing driver, an unreachable or
# refusing server, a file that cannot be written, a user, model, record,
# permission, filter or JSON text that does not fit
_USER_ERRORS = (SQLAlchemyError, ImportError, ValueError, OSError, CommandError, UnknownUser)


def _default_url():
    return os.environ.get(URL_VARIABLE) or DEFAULT_URL


def _add_database_option(parser):
    parser.add_argument(
        "--db",
        metavar="URL",
        default=_default_url(),
        help=f"SQLAlchemy database URL (default: ${URL_VARIABLE}, else {DEFAULT_URL})",
    )


def _init(args):
    database = Database(args.db)
    try:
        create_metadata_tables(database)
    finally:
        database.engine.dispose()
    print(f"metadata tables ready in {database.engine.url.render_as_string(hide_password=True)}")


def _add_init(subparsers):
    parser = subparsers.add_parser("init", help="create the metadata and permission tables")
    _add_database_option(parser)
    parser.set_defaults(run=_init)


def _shown_url(database):
    return database.engine.url.render_as_string(hide_password=True)


def _require_database_file(url):
    # connecting would create an empty SQLite file and then fail on the missing tables
    parsed = make_url(url)
    path = parsed.database
    if parsed.get_backend_name() == "sqlite" and path and path != ":memory:" and not os.path.exists(path):
        raise CommandError(f"no database at {path}: build one with 'dbplus demo' or 'dbplus init'")


@contextmanager
def _connected(url, existing=False):
    """A ``Database`` on ``url`` whose server has answered once; with
    ``existing``, an embedded database must already be there."""
    if existing:
        _require_database_file(url)
    database = Database(url)
    try:
        try:
            database.engine.connect().close()
        except OperationalError as error:
            raise CommandError(f"cannot connect to {_shown_url(database)}: {_one_line(error)}") from None
        yield database
    finally:
        database.engine.dispose()


def _dbplus(database):
    # the extension loads on first use, so that init works without it
    from ._dbplus import DbPlus

    return DbPlus(database)


def _answer(result):
    """The payload of a ``(payload, status)`` pair, or its message as an error."""
    payload, status = result
    if status != 200:
        raise CommandError(payload["message"])
    return payload


def _demo(args):
    with _connected(args.db) as database:
        summary = build_demo(database, scale=args.scale, seed=args.seed)
    url_option = "" if args.db == _default_url() else f" --db {shlex.quote(_shown_url(database))}"
    print(render.demo_text(summary, _shown_url(database), url_option))


def _positive_number(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, not {text}")
    return value


def _add_demo(subparsers):
    parser = subparsers.add_parser("demo", help="build the demo database: business tables, models, users, roles")
    _add_database_option(parser)
    parser.add_argument("--scale", type=_positive_number, default=DEFAULT_SCALE,
                        help=f"size factor; {DEFAULT_SCALE} gives about 4,000 rows (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED,
                        help="seed of the generated data (default: %(default)s)")
    parser.set_defaults(run=_demo)


def _json_option(args, name):
    text = getattr(args, name)
    if text is None:
        return None
    try:
        return json.loads(text)
    except ValueError as error:
        raise CommandError(f"--{name} is not valid JSON: {error}") from None


def _search_request(args):
    request = {"page": args.page, "limit": args.limit, "doCount": int(args.count)}
    for key, value in (("key", args.key), ("where", _json_option(args, "where")),
                       ("order", _json_option(args, "order"))):
        if value is not None:
            request[key] = value
    if args.columns:
        request["columns"] = [name.strip() for name in args.columns.split(",") if name.strip()]
    return request


def _search(args):
    request = _search_request(args)
    with _connected(args.db, existing=True) as database:
        user = find_user(database, args.user)
        page = _answer(_dbplus(database).search(user, args.model, request))
    print(render.to_json(page) if args.json else render.page_text(page))


def _record_id(text):
    try:
        return int(text)
    except ValueError:
        return text


def _get(args):
    with _connected(args.db, existing=True) as database:
        user = find_user(database, args.user)
        dbplus = _dbplus(database)
        # a record is shown only to those who may search its model; the
        # operation is named as the extension names it in its own refusals
        check = dbplus.check_perm(user, args.model, "queryEnabled", "查询")
        _answer((check.message, check.status))
        record = _answer(dbplus.query_one(user, args.model, _record_id(args.id)))
    if not record:
        raise CommandError(f"{args.model} {args.id}: no such record visible to user {args.user}")
    print(render.to_json(record) if args.json else render.record_text(record))


def _add_query_options(parser):
    parser.add_argument("model", help="business model name, e.g. employee")
    parser.add_argument("--user", type=int, required=True, metavar="ID", help="id of the user who asks")
    _add_database_option(parser)
    parser.add_argument("--json", action="store_true", help="print JSON instead of text")


_MAX_LIMIT = 1000


def _page_limit(text):
    value = int(text)
    if not 1 <= value <= _MAX_LIMIT:
        raise argparse.ArgumentTypeError(f"must be from 1 to {_MAX_LIMIT}, not {text}")
    return value


def _page_number(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {text}")
    return value


def _add_search(subparsers):
    parser = subparsers.add_parser("search", help="search a model as a user")
    _add_query_options(parser)
    parser.add_argument("--key", help="keyword, looked for in the searchable properties")
    parser.add_argument("--where", metavar="JSON", help='filter, e.g. \'{"title": {"_contains": "Manager"}}\'')
    parser.add_argument("--order", metavar="JSON", help='ordering, e.g. \'[{"name": "desc"}]\'')
    parser.add_argument("--columns", metavar="A,B", help="properties to show (default: all visible)")
    parser.add_argument("--page", type=_page_number, default=1, help="page number (default: %(default)s)")
    parser.add_argument("--limit", type=_page_limit, default=20,
                        help=f"rows per page, at most {_MAX_LIMIT} (default: %(default)s)")
    parser.add_argument("--count", action="store_true", help="also count all matching rows")
    parser.set_defaults(run=_search)


def _add_get(subparsers):
    parser = subparsers.add_parser("get", help="read one record of a model by id, as a user")
    _add_query_options(parser)
    parser.add_argument("id", metavar="ID", help="the record's id")
    parser.set_defaults(run=_get)


_SUBCOMMANDS = (_add_init, _add_demo, _add_search, _add_get)


def _parser():
    parser = argparse.ArgumentParser(prog="dbplus", description="Model-driven data access tools.")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for add_subcommand in _SUBCOMMANDS:
        add_subcommand(subparsers)
    return parser


def _one_line(error):
    # drivers' messages hide under SQLAlchemy's wrapper, which adds lines
    cause = getattr(error, "orig", None) or error
    text = str(cause).strip().splitlines()
    return text[0] if text else type(cause).__name__


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        args.run(args)
    except BrokenPipeError:
        # the reader went away (`dbplus search ... | head`): nothing left to say
        sys.stdout = open(os.devnull, "w")
        return 1
    except _USER_ERRORS as error:
        print(f"dbplus {args.command}: {_one_line(error)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
