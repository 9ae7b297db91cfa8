"""Value lists from the _dict table and from the first rows of linked models."""

import types

import pytest

from ornivell.db import _dbplus as dp
from ornivell.db.db import Dict


def entry(label, order):
    return {"label": label, "order": order}


@pytest.fixture
def dict_rows():
    return [Dict(id=1, domain="a", key="1", value="one", order=2), Dict(id=2, domain="b", key=0, value="zero", order=1),
            Dict(id=3, domain="a", key="2", value="two", order=1), Dict(id=4, domain="a", key="1", value="uno", order=3)]


def test_all_dictionaries(plus, db, dict_rows):
    db.reply("select * from _dict", dict_rows)
    assert plus.find_dict_domains() == {"a": {"1": entry("uno", 3), "2": entry("two", 1)}, "b": {0: entry("zero", 1)}}
    assert plus.find_dict_domains([]) == plus.find_dict_domains(())
    assert db.runs[0] == ("query", ("select * from _dict",), [])


def test_chosen_dictionaries(plus, db, dict_rows):
    db.in_clause = lambda key, values: ("(:d_0, :d_1)", {"d_0": values[0], "d_1": values[1]})
    db.reply('select * from _dict where domain in (:d_0, :d_1) order by "order"', dict_rows[1:2])
    assert plus.find_dict_domains(["b", "missing"]) == {"b": {0: entry("zero", 1)}}
    assert db.runs[-1].kwargs == [("d_0", "b"), ("d_1", "missing")]


@pytest.mark.parametrize("answer, error", [(("(:x)",), ValueError), ((1, {}), TypeError)])
def test_in_clause_answers_that_cannot_be_used(plus, db, answer, error):
    db.in_clause = lambda key, values: answer
    with pytest.raises(error):
        plus.find_dict_domains(["a"])


class Searching(dp.DbPlus):
    """Answers searches from ``self.pages`` (model -> (rows or None, status)) and records them."""

    def search(self, user, entity, args={}, extra_conds=[], extra_params={}, session=None):
        self.searched.append((user, entity, args, extra_conds, extra_params, session))
        rows, status = self.pages.get(entity, (None, 403))
        if status != 200:
            return {"message": "no"}, status
        return types.SimpleNamespace(data=rows), 200


@pytest.fixture
def linking(db, fk):
    plus = Searching(db)
    plus.searched = []
    plus.pages = {
        "m": ([Dict(own="x", id=1), Dict(own="y", id=2), Dict(own="x", id=3)], 200),
        "dept": ([Dict(id=5, name="Sales", code="S"), Dict(id=6, code="H")], 200),
        "people": ([Dict(id=9, name="Ann")], 200),
    }
    return plus


def test_link_lists(linking, fk):
    info = fk.make_info(
        fk.prop("plain"),
        fk.prop("own", filterEnabled=1),
        fk.prop("deptId", filterEnabled=1, transTable="dept.id", transColumns="name,code", transObjectName="dd"),
        fk.prop("bossId", filterEnabled=1, transTable="dept.id", transColumns="code", transModel="people"),
        fk.prop("noLabel", filterEnabled=1, transTable="dept.id", transColumns=""),
        fk.prop("unknown", filterEnabled=1, transTable="nowhere.id", transColumns="name"),
        fk.prop("denied", filterEnabled=1, transTable="dept.id", transColumns="name", transModel="secret"))
    user = fk.user()
    assert linking.find_link_domains(user, info) == {
        # a property's own values, each its own label, positions counted over the rows read
        "own": {"x": entry("x", 2), "y": entry("y", 1)},
        "dd": {5: entry("Sales", 0), 6: entry(None, 1)},
        "people": {9: entry(None, 0)},
    }
    assert [(s[1], s[2]) for s in linking.searched] == [
        ("m", {"limit": 50}), ("dept", {"limit": 50}), ("people", {"limit": 50}), ("secret", {"limit": 50})]
    assert all(s[0] is user and s[3:] == ([], {}, None) for s in linking.searched)


def test_lists_of_one_name_replace_each_other(linking, fk):
    info = fk.make_info(
        fk.prop("a", filterEnabled=1, transTable="dept.id", transColumns="name", transObjectName="same"),
        fk.prop("b", filterEnabled=1, transTable="dept.id", transColumns="code", transObjectName="same"))
    assert linking.find_link_domains(fk.user(), info) == {"same": {5: entry("S", 0), 6: entry("H", 1)}}


def test_a_row_without_the_code_fails(linking, fk):
    linking.pages["dept"] = ([Dict(name="no id")], 200)
    info = fk.make_info(fk.prop("d", filterEnabled=1, transTable="dept.id", transColumns="name"))
    with pytest.raises(KeyError):
        linking.find_link_domains(fk.user(), info)


def test_link_lists_search_with_the_modules_own_search(plus, db, fk, parser):
    info = fk.make_info(fk.prop("id", selectEnabled=1, filterEnabled=1), tables=[db.tables["t"]])
    fk.warm(plus, info)
    db.reply('select  "t"."id" from "t" "t" order by "t"."id"', types.SimpleNamespace(data=[Dict(id=4)]))
    assert plus.find_link_domains(fk.user(), info) == {"id": {4: entry(4, 0)}}
    assert [(c.name, c.kwargs[:3]) for c in db.runs] == [("query_page", [("page", 1), ("limit", 50),
                                                                         ("do_count", None)])]
