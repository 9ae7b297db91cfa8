"""The columns of the command's search output: each property under its
display name, in display order, the same on every engine."""

import re

import pytest

from ornivell.db.cli import render
from ornivell.db.demo.models import MODEL_NAMES, model_named

LOGINS = ("ada", "sam")  # sam does not see salaries and product costs


def expected_columns(model, hidden):
    """(key, header) of the demo model's visible properties in the order they are written."""
    for prop in model_named(model).props:
        if prop["name"] in hidden:
            continue
        yield prop["name"], prop["displayName"]
        for column in (prop["transColumns"] or "").split(",") if prop["transTable"] else ():
            yield f"{prop['transObjectName']}.{column}", f"{prop['displayName']} {column}"


@pytest.mark.parametrize("login", LOGINS)
@pytest.mark.parametrize("model", MODEL_NAMES)
def test_columns_follow_the_display_order_under_display_names(it, business_db, users, login, model):
    user = users[login]
    page, status = business_db.dp.search(user, model, {"limit": 3})
    if status == 403:
        return
    columns = render.model_columns(business_db.dp.model_info(model, user))
    expected = list(expected_columns(model, it.hidden_props(users.demo[login], model)))
    header = render.page_text(page, columns).splitlines()[0]
    assert re.split(r"\s{2,}", header.strip()) == [label for _, label in expected]
    assert [list(row) for row in render.page_in_columns(page, columns)["data"]] == [
        [key for key, _ in expected]] * len(page.data)
