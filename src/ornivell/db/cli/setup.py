"""``dbplus init`` and ``dbplus demo``: making a database ready."""

import shlex

from .arguments import bounded_number
from .common import add_database_option, connected, default_url, shown_url

# the demo's own defaults and bound, repeated here so that --help needs no import of it
DEFAULT_SCALE = 1
DEFAULT_SEED = 1
MAX_SCALE = 100


def _init(args):
    from ..db import Database
    from ..schema import create_metadata_tables

    database = Database(args.db)
    try:
        create_metadata_tables(database)
    finally:
        database.engine.dispose()
    print(f"metadata tables ready in {shown_url(database)}")


def _demo(args):
    from . import render
    from ..demo import build_demo

    with connected(args.db) as database:
        summary = build_demo(database, scale=args.scale, seed=args.seed, replace=args.replace)
    url_option = "" if args.db == default_url() else f" --db {shlex.quote(shown_url(database))}"
    print(render.demo_text(summary, shown_url(database), url_option))


def register(subparsers):
    parser = subparsers.add_parser("init", help="create the metadata and permission tables")
    add_database_option(parser)
    parser.set_defaults(run=_init)

    parser = subparsers.add_parser("demo", help="build the demo database: business tables, models, users, roles")
    add_database_option(parser)
    parser.add_argument("--scale", type=bounded_number(MAX_SCALE), default=DEFAULT_SCALE,
                        help=f"size factor, at most {MAX_SCALE}; {DEFAULT_SCALE} gives about 4,000 rows "
                             f"(default: %(default)s)")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED,
                        help="seed of the generated data (default: %(default)s)")
    parser.add_argument("--replace", action="store_true",
                        help="build the demo even where the database holds tables or roles it did not make; "
                             "only the demo's own tables, models and roles are replaced")
    parser.set_defaults(run=_demo)
