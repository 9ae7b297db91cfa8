"""``dbplus metadata touch``: telling running processes of a change that
was made to the metadata tables with other tools."""

from .common import add_database_option, connected


def _touch(args):
    from ..admin.modeling import require_metadata_tables
    from ..schema import move_version

    with connected(args.db, existing=True) as database:
        require_metadata_tables(database)
        with database.engine.begin() as connection:
            move_version(connection)
        version = database.metadata_version()
    print(f"metadata version now {version}: running processes drop their caches within their check interval")


def register(subparsers):
    parser = subparsers.add_parser("metadata", help="tell running processes of metadata changes")
    actions = parser.add_subparsers(dest="metadata_command", metavar="ACTION", required=True)
    touch = actions.add_parser("touch", help="move the metadata version after editing metadata tables by hand")
    add_database_option(touch)
    touch.set_defaults(run=_touch, command="metadata touch")
