"""``dbplus role``, ``dbplus grant`` and ``dbplus access``: roles, who
holds them, what they may do with a model, and taking each of it back."""

import sys

from .arguments import user_id
from .common import CommandError, add_database_option, connected

# ``dbplus grant list [MODEL]`` lists instead of granting
LIST = "list"


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


def _role_unassign(args):
    from ..admin.grants import unassign_role

    with connected(args.db, existing=True) as database:
        removed = unassign_role(database, args.role, args.user_id)
    print(f"user {args.user_id} " + ("no longer holds" if removed else "did not hold") + f" role {args.role}")


def _holdings_text(held):
    return (f"operation grants: {held.operations}, row rules: {held.rules}, hidden properties: {held.hidden}, "
            f"user assignments: {held.users}")


def _confirmed(question):
    if not sys.stdin.isatty():
        return False
    return input(f"{question} [y/N] ").strip().lower() in ("y", "yes")


def _role_remove(args):
    from ..admin.grants import remove_role, role_holdings

    with connected(args.db, existing=True) as database:
        if not args.yes:
            question = f"remove role {args.role} ({_holdings_text(role_holdings(database, args.role))})?"
            if not _confirmed(question):
                raise CommandError(f"role {args.role} kept: confirm at the prompt, or give --yes")
        held = remove_role(database, args.role)
    print(f"role {args.role} removed ({_holdings_text(held)})")


def _entries_text(entries, with_role=True):
    """Per model a line, then one per kind and role (operations together),
    rules whole: a cut rule would not say what it admits."""
    from itertools import groupby

    if not entries:
        return "(nothing granted)"
    lines = []
    for model, of_model in groupby(entries, key=lambda e: e.model):
        lines.append(model)
        for (kind, role), group in groupby(of_model, key=lambda e: (e.kind, e.role)):
            whats = [entry.what for entry in group]
            whats = [", ".join(whats)] if kind == "operations" else whats
            lines += [f"  {kind + ':':<13} {what}" + (f"  ({role})" if with_role else "") for what in whats]
    return "\n".join(lines)


def _role_show(args):
    from ..admin.listing import role_access

    with connected(args.db, existing=True) as database:
        access = role_access(database, args.role)
    held_by = ", ".join(str(user) for user in access.users) or "no user"
    print(f"role {args.role}: held by {held_by}")
    print(_entries_text(access.entries, with_role=False))


def _access(args):
    from ..admin.listing import user_access

    with connected(args.db, existing=True) as database:
        access = user_access(database, args.user_id, args.model)
    if not access.roles:
        print(f"user {args.user_id} holds no role: may do nothing")
        return
    print(f"user {args.user_id} holds {', '.join(access.roles)}")
    print(_entries_text(access.entries))


def _grant_text(args, grant):
    lines = [f"{args.role} may now {', '.join(grant.operations)} on {args.model}"] if grant.operations else []
    lines += [f"{args.role} no longer sees {args.model}.{name}" for name in grant.hidden]
    if grant.rules:
        lines.append(f"{args.role} sees only the rows of {args.model} where {args.rule.strip()}")
    return "\n".join(lines) or f"{args.role} held all of this on {args.model} already"


def _revoke_text(args, revoked):
    lines = [f"{args.role} may no longer {', '.join(revoked.operations)} on {args.model}"] if revoked.operations else []
    lines += [f"{args.role} sees {args.model}.{name} again" for name in revoked.shown]
    lines += [f"{args.role} no longer has the rule {rule} on {args.model}" for rule in revoked.rules]
    return "\n".join(lines) or f"{args.role} held none of this on {args.model}"


def _grant_list(args):
    from ..admin.listing import all_grants

    with connected(args.db, existing=True) as database:
        entries = all_grants(database, args.model)
    print(_entries_text(entries))


def _grant(args):
    from ..admin.grants import grant, revoke
    from ..admin.modeling import split_list

    adds = args.ops or args.hide or args.rule is not None
    takes = args.revoke or args.show or args.drop_rule
    if args.role == LIST and not (adds or takes):
        return _grant_list(args)
    if args.model is None:
        raise CommandError("say which model: dbplus grant ROLE MODEL ...")
    if adds and takes:
        raise CommandError("grant (--ops, --hide, --rule) and take back (--revoke, --show, --drop-rule) "
                           "in separate commands")
    if not (adds or takes):
        raise CommandError("say what to grant (--ops, --hide, --rule) or take back (--revoke, --show, --drop-rule)")
    with connected(args.db, existing=True) as database:
        if takes:
            done = revoke(database, args.role, args.model, operations=split_list(args.revoke or ""),
                          show=split_list(args.show or ""), rules=args.drop_rule)
            print(_revoke_text(args, done))
            return
        done = grant(database, args.role, args.model, operations=split_list(args.ops or ""),
                     hide=split_list(args.hide or ""), rule=args.rule, rule_join=args.rule_join)
    print(_grant_text(args, done))


def _parser(subparsers, name, help, run, command):
    parser = subparsers.add_parser(name, help=help)
    parser.add_argument("role", help="role name")
    parser.set_defaults(run=run, command=command)
    return parser


def _user_parser(roles, name, help, run):
    parser = _parser(roles, name, help, run, f"role {name}")
    parser.add_argument("user_id", type=user_id, metavar="USER_ID", help="the user's id, as --user gives it")
    add_database_option(parser)


def _register_roles(subparsers):
    parser = subparsers.add_parser("role", help="add, give, take back, remove and show roles")
    roles = parser.add_subparsers(dest="role_command", metavar="ACTION", required=True)
    add_database_option(_parser(roles, "add", "add a role", _role_add, "role add"))
    _user_parser(roles, "assign", "give a role to a user", _role_assign)
    _user_parser(roles, "unassign", "take a role from a user", _role_unassign)
    remove = _parser(roles, "remove", "remove a role with its grants, rules, hidden properties and assignments",
                     _role_remove, "role remove")
    remove.add_argument("--yes", action="store_true", help="remove without asking")
    add_database_option(remove)
    add_database_option(_parser(roles, "show", "who holds a role and what it may do", _role_show, "role show"))


def _register_grant(subparsers):
    parser = _parser(subparsers, "grant", "grant a role operations on a model, hide properties, limit rows; "
                                          "take them back; 'grant list [MODEL]' lists every role's grants",
                     _grant, "grant")
    parser.add_argument("model", nargs="?", help="business model name")
    parser.add_argument("--ops", metavar="OP,OP", help="operations: query, export, create, update, delete")
    parser.add_argument("--hide", metavar="PROP,PROP", help="properties the role must not see")
    parser.add_argument("--rule", metavar="SQL",
                        help="row rule: an SQL condition on the model's tables, e.g. \"t.orgId = $user.orgId\"")
    parser.add_argument("--rule-join", metavar="SQL", help="a join the rule needs, e.g. \"left join x on ...\"")
    parser.add_argument("--revoke", metavar="OP,OP", help="operations to take back")
    parser.add_argument("--show", metavar="PROP,PROP", help="hidden properties to show again")
    parser.add_argument("--drop-rule", action="append", default=[], metavar="NAME_OR_SQL",
                        help="a row rule to drop, by its name or its condition (repeatable)")
    add_database_option(parser)


def register(subparsers):
    _register_roles(subparsers)
    _register_grant(subparsers)
    parser = subparsers.add_parser("access", help="what a user may do, per model, and the role that brings it")
    parser.add_argument("user_id", type=user_id, metavar="USER_ID", help="the user's id, as --user gives it")
    parser.add_argument("model", nargs="?", help="only this model")
    add_database_option(parser)
    parser.set_defaults(run=_access, command="access")
