"""``dbplus model add|sync|list|show|check``: describing existing tables and
views as business models and keeping them in step."""

from .common import CommandError, add_database_option, connected


def _changes_text(changes):
    lines = [f"added {name}" + (", hidden from every role until shown (dbplus grant ROLE MODEL --show)"
                                if name in changes.hidden else "") for name in changes.added]
    lines += [f"removed {name}" for name in changes.removed]
    return "\n".join(lines) if lines else "properties already in step"


def _key_text(table, key):
    """What the model's key lets single-record commands do."""
    if key.column:
        return f"its key {key.column} is its property id: get, update and delete take its value"
    if key.several:
        return (f"{table} has a key of several columns ({', '.join(key.several)}): search, export and create work; "
                "get, update and delete take one id and do not (--key COLUMN names a column of unique values)")
    return None


def _add(args):
    from ..admin.modeling import Join, add_model, split_list

    joins = [Join.parse(text) for text in args.join]
    columns = split_list(args.columns) if args.columns else None
    with connected(args.db, existing=True) as database:
        changes, key = add_model(database, args.name, args.table, alias=args.alias, joins=joins,
                                 display_name=args.display_name, columns=columns, key=args.key, sql=args.sql)
    print(f"model {args.name} on {args.table}: {len(changes.added)} properties")
    note = _key_text(args.table, key)
    if note:
        print(note)
    print(_changes_text(changes))


def _sync(args):
    from ..admin.modeling import sync_model

    with connected(args.db, existing=True) as database:
        changes = sync_model(database, args.name)
    if changes.key:
        print(f"reads its table now, not through SQL: its key {changes.key} is its property id, "
              "which update and delete take too")
    print(_changes_text(changes))


def _list(args):
    from . import render
    from ..admin.modeling import list_models

    with connected(args.db, existing=True) as database:
        rows = [{"model": m.model, "table": m.table, "sql": "yes" if m.sql else "", "displayName": m.displayName,
                 "properties": m.props} for m in list_models(database)]
    print(render.table_text(rows))


_FLAGS = (("select", "selectEnabled"), ("search", "searchEnabled"), ("filter", "filterEnabled"),
          ("order", "orderEnabled"), ("export", "exportEnabled"))


def _flags(prop):
    return ",".join(short for short, key in _FLAGS if prop.get(key))


def _description_text(description):
    from . import render

    model = description.model
    lines = [f"model {model.model}: {model.displayName}",
             f"table: {model.table}" + (f" {model.alias}" if model.alias else "")]
    if model.sql:
        lines.append(f"sql: {' '.join(model.sql.split())}")
    if model.columns:
        lines.append(f"columns: {model.columns}")
    lines += [f"join: {j.join}" + (f"  (columns {j.columns})" if j.columns else "") for j in description.joins]
    props = [{"name": p.name, "table": p.table, "column": p.column, "dataType": p.dataType,
              "displayName": p.displayName, "flags": _flags(p),
              "lookup": f"{p.transTable} -> {p.transColumns}" if p.transTable else ""}
             for p in description.props]
    return "\n".join(lines + ["", render.table_text(props)])


def _problems_text(problems):
    if not problems:
        return "check: no problems found"
    return "\n".join(["check:"] + [f"  {problem}" for problem in problems])


def _show(args):
    from ..admin.model_check import model_problems
    from ..admin.modeling import describe_model

    with connected(args.db, existing=True) as database:
        description = describe_model(database, args.name)
        problems = model_problems(database, args.name)
    print(_description_text(description))
    print()
    print(_problems_text(problems))


def _check(args):
    from ..admin.model_check import model_problems

    with connected(args.db, existing=True) as database:
        problems = model_problems(database, args.name)
    print(_problems_text(problems))
    if problems:
        raise CommandError(f"{args.name}: {len(problems)} problem(s)")


def _remove(args):
    from ..admin.modeling import remove_model

    with connected(args.db, existing=True) as database:
        props = remove_model(database, args.name)
    print(f"model {args.name} removed with its {props} properties, joins, grants and rules; its tables stay")


def _model_parser(models, name, help, run, takes_name=True):
    parser = models.add_parser(name, help=help)
    if takes_name:
        parser.add_argument("name", help="business model name")
    add_database_option(parser)
    parser.set_defaults(run=run, command=f"model {name}")
    return parser


def register(subparsers):
    from ..admin.modeling import JOIN_FORM

    parser = subparsers.add_parser("model", help="describe tables and views as models, keep them in step")
    models = parser.add_subparsers(dest="model_command", metavar="ACTION", required=True)

    add = _model_parser(models, "add", "describe an existing table or view as a model, properties included", _add)
    add.add_argument("--table", required=True, help="the main table or view")
    add.add_argument("--alias", help="the main table's alias in joins and rules")
    add.add_argument("--join", action="append", default=[], metavar="JOIN",
                     help=f"a left-joined table, {JOIN_FORM}; its listed columns become properties alias.column "
                          "(repeatable)")
    add.add_argument("--columns", metavar="A,B", help="only these columns of the main table (default: all)")
    add.add_argument("--display-name", help="the model's display name (default: from its name)")
    add.add_argument("--key", metavar="COLUMN",
                     help="the key column shown as the property id, by which get, update and delete find a record "
                          "(default: the one-column primary key of a table without an id)")
    add.add_argument("--sql", metavar="SELECT",
                     help="read the result of this SELECT instead of a table; --table names that result")

    _model_parser(models, "sync", "bring a model's properties in line with its tables as they are now", _sync)
    _model_parser(models, "list", "list the models", _list, takes_name=False)
    _model_parser(models, "show", "show a model, its properties and its problems", _show)
    _model_parser(models, "check", "list a model's problems; exit 1 when it has any", _check)
    _model_parser(models, "remove", "remove a model's description and permissions (never a table)", _remove)
