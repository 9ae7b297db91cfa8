"""``dbplus role add|assign`` and ``dbplus grant``: roles, who holds them,
and what they may do with a model."""

from .arguments import user_id
from .common import CommandError, add_database_option, connected


def _role_add(args):
    from ..admin.grants import add_role

    with connected(args.db, existing=True) as database:
        added = add_role(database, args.role)
    print(f"role {args.role} " + ("added" if added else "exists already"))


def _role_assign(args):
    from ..admin.grants import assign_role

    with connected(args.db, existing=True) as database:
        added = assign_role(database, args.role, args.user_id)
    print(f"user {args.user_id} " + ("now holds" if added else "holds already") + f" role {args.role}")


def _grant_text(args, grant):
    lines = [f"{args.role} may now {', '.join(grant.operations)} on {args.model}"] if grant.operations else []
    lines += [f"{args.role} no longer sees {args.model}.{name}" for name in grant.hidden]
    lines += [f"{args.role} now sees {args.model}.{name}" for name in grant.shown]
    if grant.rules:
        lines.append(f"{args.role} sees only the rows of {args.model} where {args.rule.strip()}")
    return "\n".join(lines) or f"{args.role} held all of this on {args.model} already"


def _grant(args):
    from ..admin.grants import grant
    from ..admin.modeling import split_list

    if not (args.ops or args.hide or args.show or args.rule is not None):
        raise CommandError("say what to grant: --ops, --hide, --show or --rule")
    with connected(args.db, existing=True) as database:
        done = grant(database, args.role, args.model, operations=split_list(args.ops or ""),
                     hide=split_list(args.hide or ""), rule=args.rule, rule_join=args.rule_join,
                     show=split_list(args.show or ""))
    print(_grant_text(args, done))


def _parser(subparsers, name, help, run, command):
    parser = subparsers.add_parser(name, help=help)
    parser.add_argument("role", help="role name")
    parser.set_defaults(run=run, command=command)
    return parser


def register(subparsers):
    parser = subparsers.add_parser("role", help="add roles and give them to users")
    roles = parser.add_subparsers(dest="role_command", metavar="ACTION", required=True)
    add_database_option(_parser(roles, "add", "add a role", _role_add, "role add"))
    assign = _parser(roles, "assign", "give a role to a user", _role_assign, "role assign")
    assign.add_argument("user_id", type=user_id, metavar="USER_ID", help="the user's id, as --user gives it")
    add_database_option(assign)

    parser = _parser(subparsers, "grant", "grant a role operations on a model, hide properties, limit rows",
                     _grant, "grant")
    parser.add_argument("model", help="business model name")
    parser.add_argument("--ops", metavar="OP,OP", help="operations: query, export, create, update, delete")
    parser.add_argument("--hide", metavar="PROP,PROP", help="properties the role must not see")
    parser.add_argument("--show", metavar="PROP,PROP",
                        help="hidden properties the role may see again (model sync hides new ones)")
    parser.add_argument("--rule", metavar="SQL",
                        help="row rule: an SQL condition on the model's tables, e.g. \"t.orgId = $user.orgId\"")
    parser.add_argument("--rule-join", metavar="SQL", help="a join the rule needs, e.g. \"left join x on ...\"")
    add_database_option(parser)
