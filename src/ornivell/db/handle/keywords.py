"""Reserved words that decide which identifiers a statement text must quote."""

# Words SQLite's parser refuses right after a qualifier (``t.order``); it
# accepts every other keyword there. Read off SQLite 3.40 by trying each of
# its keywords as ``t.<word>``.
SQLITE_QUALIFIED_RESERVED = frozenset("""
    add all alter and as autoincrement between case check collate commit
    constraint create default deferrable delete distinct drop else escape
    except exists foreign from group having in index insert intersect into
    is isnull join limit not nothing notnull null on or order primary
    references returning select set table then to transaction union unique
    update using values when where
""".split())

# PostgreSQL keywords that act as syntax rather than as names: the reserved
# ones, those that may only be function or type names, those that may only
# be column names, and the unreserved ones that statements are made of
# (by, set, update, ...), of ordering, windows and date parts.
# A mixed-case spelling of one of these (``Order By``, ``Nulls Last``) is the
# keyword, not an identifier to keep in its case.
POSTGRESQL_SYNTAX_WORDS = frozenset("""
    all analyse analyze and any array as asc asymmetric authorization between
    bigint binary bit boolean both case cast char character check coalesce
    collate collation column concurrently constraint create cross
    current_catalog current_date current_role current_schema current_time
    current_timestamp current_user dec decimal default deferrable desc
    distinct do else end except exists extract false fetch float for foreign
    freeze from full grant greatest group grouping having ilike in initially
    inner inout int integer intersect interval into is isnull join lateral
    leading least left like limit localtime localtimestamp national natural
    nchar none normalize not notnull null nullif numeric offset on only or
    order out outer overlaps overlay placing position precision primary real
    references returning right row select session_user setof similar
    smallint some substring symmetric table tablesample then time timestamp
    to trailing treat trim true union unique user using values varchar
    variadic verbose when where window with xmlattributes xmlconcat
    xmlelement xmlexists xmlforest xmlnamespaces xmlparse xmlpi xmlroot
    xmlserialize xmltable
    by set insert update delete at recursive conflict nothing ordinality
    materialized nulls first last over partition filter within rows range
    groups preceding following unbounded current ties escape
    year month day hour minute second zone
""".split())
