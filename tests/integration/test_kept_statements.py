"""What a statement keeps of a loaded model changes nothing: for every demo model, user and request, the
statement built on a cold cache, the one built again from what was kept, and the one built from a copy of the
model with nothing kept are the same, and a change to a model's metadata shows after clear_cache."""

import pytest
from sqlalchemy import update

from ornivell.db import _dbplus as dp
from ornivell.db import jsql
from ornivell.db import schema
from ornivell.db.demo.models import MODEL_NAMES

REQUESTS = [{}, {"key": "a", "order": [{"id": "desc"}]}, {"where": {"id": {"_gt": 1}}, "joinCond": {}}]


def statement(dbplus, user, model, request):
    jsql._thread_state.turn = 1  # the filter parser takes the same parameter prefix each time
    result, status = dbplus.build_sql(user, model, request)
    assert status == 200, result
    return (result.to_sql(), result.to_sql(export=True), result.params, result.export_props, result.orderby)


def with_fresh_model(dbplus, user, model):
    """The user's cached ModelInfo replaced by a copy, for which nothing is kept."""
    key = f"/model/{model}/{user['id']}"
    copy = dp.ModelInfo()
    vars(copy).update(vars(dbplus._read_cache(key)))
    dbplus._write_cache(key, copy)


@pytest.mark.parametrize("model", MODEL_NAMES)
def test_statements_built_from_what_is_kept_are_the_ones_built_anew(business_db, users, model):
    dbplus = dp.DbPlus(business_db.db)
    for login in ("ada", "sue"):
        user = users[login]
        for request in REQUESTS:
            dbplus.clear_cache()
            cold = statement(dbplus, user, model, request)
            assert statement(dbplus, user, model, request) == cold
            with_fresh_model(dbplus, user, model)
            assert statement(dbplus, user, model, request) == cold


def test_a_changed_property_shows_after_clear_cache(business_db, users):
    dbplus = dp.DbPlus(business_db.db)
    user = users["ada"]
    before = statement(dbplus, user, "customer", {})[0]
    prop = schema.prop
    unselect = update(prop).where(prop.c.model == "customer", prop.c.name == "city")
    with business_db.db.engine.begin() as connection:
        connection.execute(unselect.values(selectEnabled=0))
    try:
        assert statement(dbplus, user, "customer", {})[0] == before  # cached until the host clears
        dbplus.clear_cache()
        assert '"city"' not in statement(dbplus, user, "customer", {})[0].replace("`", '"')
    finally:
        with business_db.db.engine.begin() as connection:
            connection.execute(unselect.values(selectEnabled=1))
