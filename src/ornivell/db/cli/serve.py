"""``dbplus serve``: the HTTP API over a database; ``dbplus token``: a
signed token for trying it."""

import os
import sys

from .arguments import bounded_number, user_id, whole_number
from .common import CommandError, acting_user, add_database_option, connected

SECRET_VARIABLE = "DBPLUS_JWT_SECRET"
_APP = "ornivell.db.cli.serve:app_from_environment"
# how a worker process started by uvicorn learns the options
_OPTIONS_VARIABLE = "DBPLUS_SERVE_OPTIONS"


def _read_key(args):
    if args.public_key:
        with open(args.public_key) as file:
            return file.read()
    return args.secret or os.environ.get(SECRET_VARIABLE)


def _claim_names(pairs):
    renamed = {}
    for pair in pairs:
        key, equals, claim = pair.partition("=")
        if not equals or not key.strip() or not claim.strip():
            raise CommandError(f"--claim takes USER_KEY=CLAIM, not {pair!r}")
        renamed[key.strip()] = claim.strip()
    return renamed


def authenticator(options):
    """The ``Authenticator`` that the serve options describe."""
    from ..admin.users import UserTable
    from ..server.auth import Authenticator, TokenRules

    table = UserTable.parse(options["user_table"]) if options.get("user_table") else None
    tokens = None
    if options.get("key"):
        tokens = TokenRules(options["key"], options["algorithm"], options.get("issuer"), options.get("audience"),
                            options["id_claim"], options["org_claim"], options.get("renamed") or {},
                            options.get("leeway", 0))
    return Authenticator(tokens, table, options.get("dev_user"))


def _options(args):
    from ..server.auth import HMAC_ALGORITHMS, is_loopback

    key = _read_key(args)
    if args.insecure_dev_user is not None:
        if not is_loopback(args.host):
            raise CommandError(f"--insecure-dev-user serves without tokens, so only on a loopback address, "
                               f"not {args.host}")
    elif not key:
        raise CommandError(f"give the tokens' key: --secret (or ${SECRET_VARIABLE}) for HS256, "
                           f"or --public-key FILE with --algorithm RS256 or ES256")
    if args.public_key and args.algorithm in HMAC_ALGORITHMS:
        raise CommandError("a --public-key checks RS256 or ES256 tokens: give --algorithm")
    return {
        "url": args.db, "key": key, "algorithm": args.algorithm, "issuer": args.issuer, "audience": args.audience,
        "id_claim": args.id_claim, "org_claim": args.org_claim, "renamed": _claim_names(args.claim),
        "user_table": args.user_table, "dev_user": args.insecure_dev_user, "grants_interval": args.grants_interval,
    }


def app_from_environment():
    """The application of one worker, made from the options ``serve`` left in the environment."""
    import json

    from ..server import create_app

    options = json.loads(os.environ[_OPTIONS_VARIABLE])
    return create_app(authenticator=authenticator(options), url=options["url"],
                      grants_interval=options["grants_interval"])


def _serve(args):
    import json

    import uvicorn

    options = _options(args)
    with connected(args.db, existing=True):
        pass
    if args.insecure_dev_user is not None:
        print(f"dbplus serve: INSECURE development mode: every request acts as user {args.insecure_dev_user}, "
              f"no token is checked", file=sys.stderr)
    os.environ[_OPTIONS_VARIABLE] = json.dumps(options)
    uvicorn.run(_APP, factory=True, host=args.host, port=args.port, workers=args.workers,
                log_level=args.log_level)


def _token(args):
    from ..server.auth import mint_token

    secret = args.secret or os.environ.get(SECRET_VARIABLE)
    if not secret:
        raise CommandError(f"give the secret the server checks tokens with: --secret or ${SECRET_VARIABLE}")
    org = args.org
    if org is None:
        # the user's organisation as the users table holds it
        with connected(args.db, existing=True) as database:
            org = acting_user(database, args.user)["orgId"]
    print(mint_token(secret, args.user, org, args.expires, args.issuer, args.audience))


def _add_token_options(parser):
    parser.add_argument("--secret", help=f"HS256 shared secret (default: ${SECRET_VARIABLE})")
    parser.add_argument("--issuer", help="the tokens' issuer (iss), checked when given")
    parser.add_argument("--audience", help="the tokens' audience (aud), checked when given")


def register(subparsers):
    parser = subparsers.add_parser("serve", help="serve an HTTP API over the models, users known by signed tokens")
    add_database_option(parser)
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    parser.add_argument("--port", type=whole_number(0, 65535), default=8000, help="port (default: %(default)s)")
    parser.add_argument("--workers", type=whole_number(1, 64), default=1,
                        help="worker processes, each with its own connections (default: %(default)s)")
    _add_token_options(parser)
    parser.add_argument("--public-key", metavar="FILE", help="PEM public key checking RS256 or ES256 tokens")
    parser.add_argument("--algorithm", choices=("HS256", "RS256", "ES256"), default="HS256",
                        help="the tokens' signature (default: %(default)s)")
    parser.add_argument("--id-claim", default="sub", help="claim holding the user's id (default: %(default)s)")
    parser.add_argument("--org-claim", default="orgId",
                        help="claim holding the user's organisation (default: %(default)s)")
    parser.add_argument("--claim", action="append", default=[], metavar="USER_KEY=CLAIM",
                        help="a claim rules read as $user.USER_KEY (every claim is also there under its own name)")
    parser.add_argument("--user-table", metavar="TABLE[:ID_COLUMN[,ORG_COLUMN]]",
                        help="read the token's subject's row from this users table: the row is the user")
    parser.add_argument("--insecure-dev-user", type=user_id, metavar="ID",
                        help="development only, on a loopback address: act as this user (from the users table) "
                             "without tokens")
    parser.add_argument("--grants-interval", type=bounded_number(86400), default=10, metavar="SECONDS",
                        help="read models and grants again after this long, so that every worker and server "
                             "sees a change (default: %(default)s)")
    parser.add_argument("--log-level", default="info", choices=("critical", "error", "warning", "info", "debug"),
                        help="uvicorn's log level (default: %(default)s)")
    parser.set_defaults(run=_serve)

    parser = subparsers.add_parser("token", help="sign a token (HS256) for a user, for trying the server")
    parser.add_argument("--user", type=user_id, required=True, metavar="ID", help="the user's id (sub)")
    parser.add_argument("--org", type=user_id, metavar="ID",
                        help="the user's organisation (default: read from the users table of --db)")
    _add_token_options(parser)
    parser.add_argument("--expires", type=whole_number(1, 10 ** 8), default=3600, metavar="SECONDS",
                        help="lifetime in seconds (default: %(default)s)")
    add_database_option(parser)
    parser.set_defaults(run=_token)
