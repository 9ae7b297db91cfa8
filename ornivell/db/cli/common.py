"""What the subcommands share: the database option, connecting, the
acting user, reading JSON options and turning result pairs into output or
one-line errors."""

import json
import os
from contextlib import contextmanager

from ..urls import DEFAULT_URL, URL_VARIABLE


class CommandError(Exception):
    """A request the command cannot carry out; the message says why."""


def user_errors():
    """What a user can get wrong: the URL, a missing driver, an unreachable
    or refusing server, a file that cannot be written, a user, model,
    record, permission, filter or JSON text that does not fit."""
    from sqlalchemy.exc import SQLAlchemyError

    from ..demo import UnknownUser

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


def add_user_option(parser):
    parser.add_argument("--user", type=int, required=True, metavar="ID", help="id of the user who asks")


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


def acting_user(database, user_id):
    from ..demo import find_user

    return find_user(database, user_id)


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


def record_id(text):
    """A record id as given on the command line: a number when it reads as one."""
    try:
        return int(text)
    except ValueError:
        return text


def json_option(args, name):
    text = getattr(args, name)
    if text is None:
        return None
    try:
        return json.loads(text)
    except ValueError as error:
        raise CommandError(f"--{name} is not valid JSON: {error}") from None
