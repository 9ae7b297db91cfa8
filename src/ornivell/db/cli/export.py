"""``dbplus export`` and ``dbplus domains``: a model's rows as a workbook,
and the value lists that show codes by their labels."""

import os
import sys
from contextlib import contextmanager

from ..handle.positional import positional
from .common import CommandError, acting_user, add_database_option, add_user_option, answer, connected, dbplus
from .read import add_filter_options, add_model_options, filter_request


class PageProgress:
    """Stands in for the session that an export reads its pages through:
    counts the rows and, on a terminal, shows them in a progress bar."""

    def __init__(self, session):
        self._session = session
        self._bar = None
        self.rows = 0

    def query_page(self, *args, **kwargs):
        [sql] = positional("query_page", args, kwargs, ("sql",))
        page = self._session.query_page(sql, **kwargs)
        read = len(page["data"])
        self.rows += read
        if self._bar is None:
            # made at the first page, so that a refusal prints no bar
            from tqdm import tqdm

            self._bar = tqdm(desc="reading", unit=" rows", unit_scale=True, file=sys.stderr, disable=None,
                             bar_format="{desc}: {n} rows [{elapsed}, {rate_fmt}]")
        self._bar.update(read)
        if not read:
            self._bar.set_description_str("writing")
        return page

    def close(self):
        if self._bar is not None:
            self._bar.close()


def _destination(output):
    """``(directory to write in, path to give the file)``: ``-o`` names a
    regular file or a new one in an existing directory, or an existing
    directory that keeps the workbook's own name. Anything else is refused
    before the export runs, so that a refusal leaves no file behind."""
    if output is None:
        return None, None
    if not output.strip():
        raise CommandError("-o names no file: give a file or folder name")
    if os.path.islink(output) or (os.path.exists(output) and not os.path.isdir(output)
                                  and not os.path.isfile(output)):
        raise CommandError(f"-o {output}: not a regular file or folder; name a regular file or a new one")
    if os.path.isdir(output):
        return output, None
    directory = os.path.dirname(os.path.abspath(output))
    if output.endswith((os.sep, "/")) or not os.path.isdir(directory):
        missing = output if output.endswith((os.sep, "/")) else directory
        raise CommandError(f"-o {output}: no folder {missing}")
    return directory, output


@contextmanager
def _exports_written_in(directory):
    from ..xlsx import EXPORT_DIR_VARIABLE

    if directory is None:
        yield
        return
    before = os.environ.get(EXPORT_DIR_VARIABLE)
    os.environ[EXPORT_DIR_VARIABLE] = directory
    try:
        yield
    finally:
        if before is None:
            del os.environ[EXPORT_DIR_VARIABLE]
        else:
            os.environ[EXPORT_DIR_VARIABLE] = before


def _export(args):
    request = filter_request(args)
    directory, target = _destination(args.output)
    with connected(args.db, existing=True) as database:
        user = acting_user(database, args.user)
        # one statement read page after page, instead of one statement per page
        with _exports_written_in(directory), database.session(stream_pages=True) as session:
            progress = PageProgress(session)
            try:
                written = answer(dbplus(database).export(user, args.model, request, session=progress))
            finally:
                progress.close()
    path = written["path"]
    if target is not None:
        try:
            os.replace(path, target)
        finally:
            if os.path.exists(path):
                os.remove(path)
        path = target
    print(f"{path}: {progress.rows} rows")


def _domains(args):
    from . import render

    with connected(args.db, existing=True) as database:
        user = acting_user(database, args.user)
        extension = dbplus(database)
        if args.links:
            if len(args.names) != 1:
                raise CommandError("--links lists the value lists of one model: name it")
            check = extension.check_perm(user, args.names[0], "queryEnabled", "查询")
            answer((check.message, check.status))
            lists = extension.find_link_domains(user, check.info)
        else:
            lists = extension.find_dict_domains(args.names)
    print(render.to_json(render.domains_json(lists)) if args.json else render.domains_text(lists))


def register(subparsers):
    parser = subparsers.add_parser("export", help="write a model's rows, as a user may search them, to a workbook")
    add_model_options(parser)
    add_filter_options(parser)
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="the workbook to write, or a directory for it "
                             "(default: a new file in $DBPLUS_EXPORT_DIR, else the temporary directory)")
    parser.set_defaults(run=_export)

    parser = subparsers.add_parser("domains", help="value lists: dictionary codes with labels, or a model's links")
    parser.add_argument("names", nargs="*", metavar="NAME",
                        help="dictionary domains to list (default: all); with --links, the model")
    add_user_option(parser)
    add_database_option(parser)
    parser.add_argument("--links", action="store_true",
                        help="the lists of the model's filterable properties, from linked models or its own rows")
    parser.add_argument("--json", action="store_true", help="print JSON instead of text")
    parser.set_defaults(run=_domains)
