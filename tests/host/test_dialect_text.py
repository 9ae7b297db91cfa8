import pytest

from ornivell.db.handle.dialects import dialect_for

CASES = [
    # SQLite refuses some keywords after a qualifier
    ("sqlite", 'select mt.table as "mt.table", mt.order from _model_table mt order by mt.order',
     'select mt."table" as "mt.table", mt."order" from _model_table mt order by mt."order"'),
    ("sqlite", "select a.join, a.cond, a.funcKey from _acl_data a",
     'select a."join", a.cond, a.funcKey from _acl_data a'),
    ("sqlite", "select order.x, t.key from t", "select order.x, t.key from t"),
    # PostgreSQL folds bare names: mixed-case ones are quoted
    ("postgresql", "select a.funcKey, ur.userId from _acl_func a where orgId=:orgId",
     'select a."funcKey", ur."userId" from _acl_func a where "orgId"=:orgId'),
    ("postgresql", "select mt.table, mt.order from t mt", "select mt.table, mt.order from t mt"),
    ("postgresql", "select Count(*), myFunc (1) from userTable",
     'select Count(*), myFunc (1) from "userTable"'),
    ("postgresql", "Select Distinct t.x From t Order By t.x Desc Nulls Last",
     "Select Distinct t.x From t Order By t.x Desc Nulls Last"),
    ("postgresql", "select t.Order, t.ID, t.user_name from t", 'select t."Order", t.ID, t.user_name from t'),
    # what is not a bare word is left alone
    ("postgresql", "select 'it''s aB', \"aB\", t.aB -- t.aB\n/* aB */ from t",
     "select 'it''s aB', \"aB\", t.\"aB\" -- t.aB\n/* aB */ from t"),
    ("postgresql", "select x::Integer, :userId::text, :aB from t", "select x::Integer, :userId::text, :aB from t"),
    ("postgresql", "select $$ aB $$, $q$ aB $q$, E'a\\' aB', `aB` from t",
     "select $$ aB $$, $q$ aB $q$, E'a\\' aB', `aB` from t"),
    ("postgresql", "select 'open aB", "select 'open aB"),
    ("postgresql", "select x from t where a = 'aB' and b1.cD = 2",
     "select x from t where a = 'aB' and b1.\"cD\" = 2"),
    # MySQL reads the texts as they are written
    ("mysql", 'select mt.table as "mt.table", a.funcKey from t where orgId=:orgId',
     'select mt.table as "mt.table", a.funcKey from t where orgId=:orgId'),
]


@pytest.mark.parametrize("dialect, sql, expected", CASES)
def test_adapts_identifier_quoting(dialect, sql, expected):
    assert dialect_for(dialect).adapt_sql(sql) == expected


@pytest.mark.parametrize("dialect, sql, expected", CASES)
def test_adapting_twice_changes_nothing(dialect, sql, expected):
    assert dialect_for(dialect).adapt_sql(expected) == expected


def test_unknown_dialect_is_refused():
    with pytest.raises(ValueError, match="unsupported database 'oracle'"):
        dialect_for("oracle")
