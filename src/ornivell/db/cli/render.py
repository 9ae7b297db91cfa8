"""What the ``dbplus`` command prints: pages of rows as aligned text tables,
single records as ``key: value`` lines, either as JSON, and the summary of
a freshly built demo."""

import datetime
import json
import unicodedata
from decimal import Decimal

# widest a table cell gets, in terminal columns
MAX_CELL_WIDTH = 32
_ELLIPSIS = "…"
_NUMBERS = (int, float, Decimal)


def _char_width(char):
    return 2 if unicodedata.east_asian_width(char) in "WF" else 1


def _width(text):
    return sum(_char_width(char) for char in text)


def _truncate(text, width):
    if _width(text) <= width:
        return text
    kept, used = [], _width(_ELLIPSIS)
    for char in text:
        used += _char_width(char)
        if used > width:
            break
        kept.append(char)
    return "".join(kept) + _ELLIPSIS


def _cell(value):
    if value is None:
        return ""
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    # one line per row, whatever the value holds
    return " ".join(str(value).split())


def _is_number(value):
    return isinstance(value, _NUMBERS) and not isinstance(value, bool)


def _pad(text, width, right):
    gap = " " * (width - _width(text))
    return gap + text if right else text + gap


def _display_order(prop):
    # the id breaks ties, so that every database gives the same order
    return (prop.get("displayOrder") or 0, prop.get("id") or 0, prop.name)


def _looked_up(prop):
    """The row keys of a translated property's looked-up columns, with their names."""
    lookup_table, _, _ = (prop.get("transTable") or "").partition(".")
    if not lookup_table or not prop.get("transColumns"):
        return []
    alias = prop.get("transObjectName") or lookup_table
    return [(f"{alias}.{column}", column) for column in prop["transColumns"].split(",")]


def model_columns(info, names=False):
    """``(row key, header)`` for each column a search of the model (its
    ``ModelInfo``) can give, in the properties' display order: the display
    name, or with ``names`` the property's name; a translated property's
    looked-up columns follow it."""
    columns = []
    for prop in sorted(info.props.values(), key=_display_order):
        label = prop.name if names else prop.get("displayName") or prop.name
        columns.append((prop.name, label))
        columns += [(key, key if names else f"{label} {column}") for key, column in _looked_up(prop)]
    return columns


def _shown_columns(rows, columns):
    """The columns the rows hold, in the order given, then any other key of theirs."""
    keys = dict.fromkeys(rows[0]) if rows else {}
    shown = [(key, header) for key, header in columns if key in keys]
    known = {key for key, _ in shown}
    return shown + [(key, key) for key in keys if key not in known]


def table_text(rows, columns=()):
    """The rows (mappings) as an aligned table: the ``columns`` (``(key,
    header)`` pairs) they hold, then their other keys; numeric columns
    align right; long values are cut short."""
    if not rows:
        return "(no rows)"
    keys, headers = zip(*_shown_columns(rows, columns))
    cells = [[_truncate(_cell(row.get(key)), MAX_CELL_WIDTH) for key in keys] for row in rows]
    widths = [max(_width(text) for text in column) for column in zip(headers, *cells)]
    right = [all(_is_number(row.get(key)) for row in rows if row.get(key) is not None) for key in keys]
    lines = [[_pad(header, w, r) for header, w, r in zip(headers, widths, right)],
             ["-" * w for w in widths]]
    lines += [[_pad(text, w, r) for text, w, r in zip(line, widths, right)] for line in cells]
    return "\n".join("  ".join(line).rstrip() for line in lines)


def _plural(count, word):
    return f"{count} {word}" + ("" if count == 1 else "s")


def page_footer(page):
    footer = f"page {page['page']}, {_plural(len(page['data']), 'row')}"
    if page.get("total") is not None:
        footer += f" (of {page['total']})"
    return footer


def page_text(page, columns=()):
    return table_text(page["data"], columns) + "\n" + page_footer(page)


def page_in_columns(page, columns):
    """The page with each row's keys in the order of ``columns``."""
    keys = [key for key, _ in _shown_columns(page["data"], columns)]
    return {**page, "data": [{key: row[key] for key in keys} for row in page["data"]]}


def record_text(record):
    """One record as ``key: value`` lines, the values in one column."""
    width = max(_width(key) for key in record) + 1
    return "\n".join(_pad(f"{key}:", width, False) + " " + _cell(value) for key, value in record.items())


def json_default(value):
    """JSON for the values that rows hold beyond JSON's own."""
    if isinstance(value, Decimal):
        return int(value) if value == value.to_integral_value() else float(value)
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, bytes):
        return value.hex()
    raise TypeError(f"{type(value).__name__} is not JSON serializable")


def to_json(value):
    return json.dumps(value, ensure_ascii=False, indent=2, default=json_default)


def _try_lines(summary):
    admin, sales, clerk = (summary.users_in(role)[0].id for role in ("admin", "sales", "clerk"))
    return [
        f"dbplus search employee --user {admin}",
        f"dbplus search employee --user {sales}",
        f"dbplus search order --user {sales} --where '{{\"status\": \"paid\"}}' "
        f"--order '[{{\"orderedOn\": \"asc\"}}]' --limit 5 --count",
        # the demo gives customer 1 to the first sales department
        f"dbplus get customer 1 --user {sales}",
        f"dbplus search order --user {clerk}",
        f"dbplus export order --user {sales} -o orders.xlsx",
        f"dbplus domains order --user {sales} --links",
    ]


def demo_text(summary, url, url_option=""):
    """What was built, who can sign in, and commands to try (each followed
    by ``url_option``)."""
    # only the demo command shows the roles: the others need not load the demo
    from ..demo import ROLES

    counts = ", ".join(f"{table} {count}" for table, count in summary.counts.items())
    users = [{"id": u.id, "login": u.login, "name": u.name, "orgId": u.orgId, "roles": ", ".join(u.roles)}
             for u in summary.users]
    width = max(len(role.name) for role in ROLES)
    return "\n".join([
        f"demo ready in {url} (scale {summary.scale:g}, seed {summary.seed})",
        f"rows: {counts}",
        "",
        "users (give one with --user):",
        table_text(users),
        "",
        "what each role sees:",
        *(f"  {role.name:<{width}}  {role.description}" for role in ROLES),
        "",
        "try:",
        *(f"  {line}{url_option}" for line in _try_lines(summary)),
    ])


def domains_text(domains):
    """Each value list as a titled table of its codes, labels and positions."""
    if not domains:
        return "(no value lists)"
    blocks = []
    for name, entries in domains.items():
        rows = [{"code": code, "label": entry.get("label"), "order": entry.get("order")}
                for code, entry in entries.items()]
        blocks.append(f"{name} ({_plural(len(rows), 'value')})\n{table_text(rows)}")
    return "\n\n".join(blocks)


def _json_key(value):
    # JSON names are texts; numbers become texts by themselves
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return value.isoformat() if isinstance(value, (datetime.date, datetime.time)) else str(value)


def domains_json(domains):
    """The value lists with codes that JSON can take as names."""
    return {name: {_json_key(code): entry for code, entry in entries.items()} for name, entries in domains.items()}
