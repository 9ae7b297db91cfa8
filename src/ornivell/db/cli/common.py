"""What the subcommands share: the database option, connecting, the
acting user, reading JSON options and turning result pairs into output or
one-line errors."""

import argparse
import json
import os
from contextlib import contextmanager

from ..handle.urls import DEFAULT_URL, URL_VARIABLE
from .arguments import user_id


class CommandError(Exception):
    """A request the command cannot carry out; the message says why."""


def user_errors():
    """What a user can get wrong: the URL, a missing driver, an unreachable
    or refusing server, a file that cannot be written, a user, model,
    record, permission, filter or JSON text that does not fit."""
    from sqlalchemy.exc import SQLAlchemyError

    from ..admin.users import UnknownUser

    return (SQLAlchemyError, ImportError, ValueError, OSError, CommandError, UnknownUser)


def one_line(error):
    # drivers' messages hide under SQLAlchemy's wrapper, which adds lines
    cause = getattr(error, "orig", None) or error
    text = str(cause).strip().splitlines()
    return text[0] if text else type(cause).__name__


def default_url():
    return os.environ.get(URL_VARIABLE) or DEFAULT_URL


def add_database_option(parser):
    parser.add_argument(
        "--db",
        metavar="URL",
        default=default_url(),
        help=f"SQLAlchemy database URL (default: ${URL_VARIABLE}, else {DEFAULT_URL})",
    )


class UserChoice:
    """Who acts, as the options say: ``id`` looked up in the users table
    ``table`` (else the configured one), or a user given whole as JSON."""

    def __init__(self, id=None, table=None, json_text=None):
        self.id, self.table, self.json_text = id, table, json_text

    def __str__(self):
        return str(self.id) if self.json_text is None else self.json_text


class _UserPart(argparse.Action):
    """Each user option fills its part of the one ``UserChoice`` in ``args.user``."""

    def __init__(self, *args, part, **kwargs):
        super().__init__(*args, **kwargs)
        self.part = part

    def __call__(self, parser, namespace, values, option_string=None):
        choice = namespace.user if isinstance(namespace.user, UserChoice) else UserChoice()
        setattr(choice, self.part, values)
        namespace.user = choice


def add_user_option(parser):
    from ..admin.users import USER_JSON_EXAMPLE, USER_TABLE_FORM, USER_TABLE_VARIABLE

    who = parser.add_mutually_exclusive_group(required=True)
    who.add_argument("--user", dest="user", type=user_id, metavar="ID", action=_UserPart, part="id",
                     help="id of the user who asks, looked up in the users table")
    who.add_argument("--user-json", dest="user", metavar="JSON", action=_UserPart, part="json_text",
                     help=f"the user who asks, given whole: {USER_JSON_EXAMPLE}")
    parser.add_argument("--user-table", dest="user", metavar=USER_TABLE_FORM, action=_UserPart, part="table",
                        help=f"where users are read from (default: ${USER_TABLE_VARIABLE}, else app_user:id,orgId)")


def shown_url(database):
    return database.engine.url.render_as_string(hide_password=True)


def _require_database_file(url):
    from sqlalchemy import make_url

    # connecting would create an empty SQLite file and then fail on the missing tables
    parsed = make_url(url)
    path = parsed.database
    if parsed.get_backend_name() == "sqlite" and path and path != ":memory:" and not os.path.exists(path):
        raise CommandError(f"no database at {path}: build one with 'dbplus demo' or 'dbplus init'")


@contextmanager
def connected(url, existing=False):
    """A ``Database`` on ``url`` whose server has answered once; with
    ``existing``, an embedded database must already be there."""
    from sqlalchemy.exc import OperationalError

    from ..db import Database

    if existing:
        _require_database_file(url)
    database = Database(url)
    try:
        try:
            database.engine.connect().close()
        except OperationalError as error:
            raise CommandError(f"cannot connect to {shown_url(database)}: {one_line(error)}") from None
        yield database
    finally:
        database.engine.dispose()


def dbplus(database):
    from .._dbplus import DbPlus

    return DbPlus(database)


def acting_user(database, user):
    """The user mapping for ``user``: a ``UserChoice`` from the user options,
    or a bare user id to look up in the configured users table."""
    from ..admin.users import DEFAULT_USER_TABLE, USER_TABLE_VARIABLE, UserTable, find_user, user_from_json

    choice = user if isinstance(user, UserChoice) else UserChoice(id=user)
    if choice.json_text is not None:
        return user_from_json(choice.json_text)
    if choice.id is None:
        raise CommandError("say who asks: --user ID (read from the users table) or --user-json JSON")
    table = choice.table or os.environ.get(USER_TABLE_VARIABLE) or DEFAULT_USER_TABLE
    return find_user(database, choice.id, UserTable.parse(table))


def _refusal_text(payload):
    # a refusal carries its message; failed validation a message per property
    # (a batch: one such mapping per failed record)
    if isinstance(payload, dict):
        if "message" in payload:
            return str(payload["message"])
        return "; ".join(f"{key}: {message}" for key, message in payload.items())
    if isinstance(payload, (list, tuple)):
        return "; ".join(_refusal_text(item) for item in payload)
    return str(payload)


def answer(result):
    """The payload of a ``(payload, status)`` pair, or what it says as an error."""
    payload, status = result
    if status != 200:
        raise CommandError(_refusal_text(payload))
    return payload


def json_value(text, what):
    """``text`` decoded; CommandError naming ``what`` when it is not JSON or
    nests too deeply for the decoder."""
    try:
        return json.loads(text)
    except RecursionError:
        raise CommandError(f"{what} is nested too deeply to read") from None
    except ValueError as error:
        raise CommandError(f"{what} is not valid JSON: {error}") from None


def json_option(args, name):
    text = getattr(args, name)
    return None if text is None else json_value(text, f"--{name}")
