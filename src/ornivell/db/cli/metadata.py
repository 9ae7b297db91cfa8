"""``dbplus metadata export|apply|schema|touch``: models and permissions as
a file that can be reviewed and applied to another database, and telling
running processes of a change made with other tools."""

import sys

from .common import CommandError, add_database_option, connected


def _export(args):
    from ..admin.metadata_file import document_text, export_document

    with connected(args.db, existing=True) as database:
        text = document_text(export_document(database, args.models, users=not args.no_users), args.json)
    if args.output is None:
        sys.stdout.write(text)
        return
    with open(args.output, "w", encoding="utf-8") as out:
        out.write(text)
    print(f"metadata written to {args.output}")


def _read(path):
    try:
        with open(path, encoding="utf-8") as source:
            return source.read()
    except (OSError, UnicodeDecodeError) as error:
        raise CommandError(f"cannot read {path}: {error}") from None


def _apply(args):
    from ..admin.metadata_apply import apply, read_source
    from ..admin.metadata_file import describe

    source = read_source(args.file, _read(args.file))
    with connected(args.db, existing=True) as database:
        done = apply(database, source, prune=args.prune, dry_run=args.dry_run)
    for change in done.changes:
        print(describe(change))
    for rule in done.kept_rules:
        print(f"kept rule of {rule.key[0]} on {rule.key[1]}: {rule.key[3]} (not in the file; --prune removes it)")
    count = len(done.changes)
    if not count:
        print("nothing to change")
    elif args.dry_run:
        print(f"dry run: {count} change(s), nothing written")
    else:
        print(f"applied {count} change(s) in one transaction")


def _schema(args):
    import json

    from ..admin.metadata_apply import SCHEMA

    print(json.dumps(SCHEMA, indent=2))


def _touch(args):
    from ..admin.modeling import require_metadata_tables
    from ..schema import move_version

    with connected(args.db, existing=True) as database:
        require_metadata_tables(database)
        with database.engine.begin() as connection:
            move_version(connection)
        version = database.metadata_version()
    print(f"metadata version now {version}: running processes drop their caches within their check interval")


def _action(actions, name, help, run, database=True):
    parser = actions.add_parser(name, help=help)
    if database:
        add_database_option(parser)
    parser.set_defaults(run=run, command=f"metadata {name}")
    return parser


def register(subparsers):
    parser = subparsers.add_parser("metadata", help="models and permissions as a file; tell processes of changes")
    actions = parser.add_subparsers(dest="metadata_command", metavar="ACTION", required=True)
    export = _action(actions, "export", "write models, roles, grants, rules, value lists and sequences as YAML",
                     _export)
    export.add_argument("models", nargs="*", metavar="MODEL", help="only these models (default: all)")
    export.add_argument("-o", "--output", metavar="FILE", help="write to FILE (default: standard output)")
    export.add_argument("--json", action="store_true", help="write JSON instead of YAML")
    export.add_argument("--no-users", action="store_true", help="leave out which users hold which roles")
    apply = _action(actions, "apply", "make the database's metadata what a file says, in one transaction", _apply)
    apply.add_argument("file", metavar="FILE", help="a file that 'dbplus metadata export' wrote (YAML or JSON)")
    apply.add_argument("--dry-run", action="store_true", help="print what would change, write nothing")
    apply.add_argument("--prune", action="store_true",
                       help="also remove what the file does not name (apply a whole export)")
    _action(actions, "schema", "print the JSON schema that files are checked against", _schema, database=False)
    _action(actions, "touch", "move the metadata version after editing metadata tables by hand", _touch)
