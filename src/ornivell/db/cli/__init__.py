"""The ``dbplus`` command.

Each module named in ``_COMMAND_MODULES`` adds subcommands: its
``register(subparsers)`` adds their parsers and sets ``run`` to the function
that carries each out. Those functions import what they need when they run,
so that ``dbplus --help`` and a command's usage errors answer at once.
"""

import importlib
import os
import sys

from .arguments import OneLineParser
from .common import CommandError, one_line, user_errors

# in the order the subcommands are listed by --help
_COMMAND_MODULES = ("setup", "read", "export", "writes", "design", "access", "metadata", "serve")


def _parser():
    parser = OneLineParser(prog="dbplus", description="Model-driven data access tools.")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name in _COMMAND_MODULES:
        importlib.import_module(f"{__name__}.{name}").register(subparsers)
    return parser


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        args.run(args)
    except BrokenPipeError:
        # the reader went away (`dbplus search ... | head`): nothing left to say
        sys.stdout = open(os.devnull, "w")
        return 1
    except Exception as error:
        if not isinstance(error, user_errors()):
            raise
        print(f"dbplus {args.command}: {one_line(error)}", file=sys.stderr)
        return 1
    return 0


__all__ = ["CommandError", "main"]
