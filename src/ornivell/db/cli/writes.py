"""``dbplus create``, ``update``, ``delete`` and ``link``: writing a model as
a user. Record data is a JSON object or ``key=value`` pairs, each value read
as JSON when it is JSON (``3``, ``true``, ``null``, ``"007"``) and as text
otherwise."""

import json

from .arguments import record_id
from .common import (
    CommandError,
    acting_user,
    add_database_option,
    add_user_option,
    answer,
    connected,
    dbplus,
    json_value,
)


def _value(text, what):
    try:
        return json.loads(text)
    except RecursionError:
        raise CommandError(f"{what} is nested too deeply to read") from None
    except ValueError:
        return text


def _pairs(items, what):
    record = {}
    for item in items:
        key, equals, value = item.partition("=")
        if not equals or not key.strip():
            raise CommandError(f"{what}: {item!r} is not key=value")
        record[key.strip()] = _value(value, f"{what}: {key.strip()}")
    return record


def _json_object(text, what):
    record = json_value(text, what)
    if not isinstance(record, dict):
        raise CommandError(f"{what} must be a JSON object")
    return record


def _record(items, what="DATA"):
    """One record from a JSON object or from key=value pairs."""
    if len(items) == 1 and items[0].lstrip().startswith("{"):
        return _json_object(items[0], what)
    return _pairs(items, what)


def _link_row(text):
    # a link row in one argument: a JSON object, or pairs separated by commas
    return _record([text] if text.lstrip().startswith("{") else text.split(","), "a link row")


def _show(args, row):
    from . import render

    print(render.to_json(row) if args.json else render.record_text(row))


def _require_current_model(database, model):
    from ..admin.modeling import stale_key

    if stale_key(database, model):
        raise CommandError(f"{model} reads its table through the SQL of an earlier 'dbplus model add': "
                           f"'dbplus model sync {model}' lets update and delete find its records")


def _write(args, operation, by_id=False):
    """Runs ``operation(extension, user)`` as the acting user and prints the row it gives."""
    with connected(args.db, existing=True) as database:
        if by_id:
            _require_current_model(database, args.model)
        user = acting_user(database, args.user)
        row = answer(operation(dbplus(database), user))
    _show(args, row)


def _create(args):
    data = _record(args.data)
    _write(args, lambda extension, user: extension.create(user, args.model, data))


def _update(args):
    data = {**_record(args.data), "id": args.id}
    _write(args, lambda extension, user: extension.update(user, args.model, data), by_id=True)


def _delete(args):
    _write(args, lambda extension, user: extension.delete(user, args.model, args.id), by_id=True)


def _link(args):
    if not args.add and not args.remove:
        raise CommandError("give link rows with --add or --remove")
    added = [_link_row(text) for text in args.add]
    removed = [_link_row(text) for text in args.remove]
    with connected(args.db, existing=True) as database:
        user = acting_user(database, args.user)
        result = answer(dbplus(database).relation_update(user, args.link_model, add_data=added, del_data=removed))
    print(result["message"])


# name, help, run, whether it takes an ID, whether it takes DATA
_RECORD_COMMANDS = (
    ("create", "create a record of a model as a user", _create, False, True),
    ("update", "change a record of a model as a user", _update, True, True),
    ("delete", "delete a record of a model as a user", _delete, True, False),
)


def _add_record_command(subparsers, name, help, run, takes_id, takes_data):
    parser = subparsers.add_parser(name, help=help)
    parser.add_argument("model", help="business model name, e.g. quote")
    add_user_option(parser)
    add_database_option(parser)
    if takes_id:
        parser.add_argument("id", metavar="ID", type=record_id, help="the record's id")
    if takes_data:
        parser.add_argument("data", nargs="+", metavar="DATA",
                            help='a JSON object, or key=value pairs: title="Spring offer" amount=1200.50')
    parser.add_argument("--json", action="store_true", help="print the row as JSON instead of text")
    parser.set_defaults(run=run)


def register(subparsers):
    for command in _RECORD_COMMANDS:
        _add_record_command(subparsers, *command)

    parser = subparsers.add_parser("link", help="add and remove link rows of a link model as a user")
    parser.add_argument("link_model", metavar="LINK_MODEL", help="link model name, e.g. project_member")
    add_user_option(parser)
    add_database_option(parser)
    parser.add_argument("--add", action="append", default=[], metavar="ROW",
                        help="a link row to add: projectId=1,employeeId=5 or a JSON object (repeatable)")
    parser.add_argument("--remove", action="append", default=[], metavar="ROW",
                        help="a link row to remove; every stored row holding all its values goes (repeatable)")
    parser.set_defaults(run=_link)
