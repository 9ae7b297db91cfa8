import pytest
from sqlalchemy.exc import IntegrityError

from ornivell.db.schema import create_metadata_tables, drop_metadata_tables

FLAGS = [
    "selectEnabled", "exportEnabled", "searchEnabled", "matchEnabled", "filterEnabled", "orderEnabled",
    "orderDir", "orderAsDefault", "asEnabled", "createUserEnabled", "createOrgEnabled", "createTimeEnabled",
    "validateEnabled", "updateUserEnabled", "updateTimeEnabled",
]

COLUMNS = {
    "_model": "id model table alias where groupBy orderBy sql spName spParams distinctEnabled uiData columns displayName",
    "_model_table": "id model table columns join alias order",
    "_prop": "id model name table column transObjectName transTable transColumns transDict transModel dataType "
             "displayName displayOrder selectEnabled exportEnabled searchEnabled matchEnabled filterEnabled "
             "orderEnabled orderDir orderAsDefault asEnabled createUserEnabled createOrgEnabled createTimeEnabled "
             "validateEnabled validateFailureMsg defaultValue autoGen timeFormat updateUserEnabled updateTimeEnabled",
    "_role": "id name",
    "_user_role": "id userId roleId",
    "_resource": "id resource type name",
    "_acl_func": "id resourceId funcKey name",
    "_role_acl_func": "id roleId aclFuncId",
    "_acl_data": "id model name cond join order",
    "_role_acl_data": "id roleId aclDataId",
    "_role_prop": "id roleId propId",
    "_seq": "id name prefix timeFormat digits",
    "_seq_value": "id seqId orgId value",
    "_dict": "id domain key value order",
}


@pytest.mark.parametrize("table", sorted(COLUMNS))
def test_tables_keep_their_exact_column_names(metadata_db, table):
    assert sorted(metadata_db.tables[table].c.keys()) == sorted(COLUMNS[table].split())


def test_flags_default_to_zero(metadata_db):
    row = metadata_db.add("_prop", {"model": "flags", "name": "p"})
    assert {flag: row[flag] for flag in FLAGS} == dict.fromkeys(FLAGS, 0)


@pytest.mark.parametrize("table, row", [
    ("_model", {"model": "twice", "displayName": "Twice"}),
    ("_prop", {"model": "twice", "name": "p"}),
    ("_seq", {"name": "twice", "digits": 3}),
    ("_seq_value", {"seqId": 1, "orgId": 1}),
    ("_user_role", {"userId": 1, "roleId": 1}),
])
def test_lookup_keys_are_unique(metadata_db, table, row):
    metadata_db.add(table, row)
    with pytest.raises(IntegrityError):
        metadata_db.add(table, row)


def test_create_is_idempotent_and_drop_removes_the_tables(make_database, engine_name):
    db = make_database(engine_name)
    create_metadata_tables(db)
    db.add("_dict", {"domain": "d", "key": "k", "value": "v"})
    create_metadata_tables(db.engine)
    assert db.query("select value from _dict") == [{"value": "v"}]
    drop_metadata_tables(db)
    assert not any(name in db.tables for name in COLUMNS)
