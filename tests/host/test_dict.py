import copy
import pickle

import pytest

from ornivell.db.db import Dict


def test_keys_read_write_and_delete_as_attributes():
    row = Dict(name="a")
    row.orgId = 7
    assert (row.name, row["orgId"]) == ("a", 7)
    del row.name
    assert row == {"orgId": 7}


@pytest.mark.parametrize("use", [lambda r: r.missing, lambda r: delattr(r, "missing")])
def test_missing_attribute_is_an_attribute_error(use):
    with pytest.raises(AttributeError, match="missing"):
        use(Dict())


def test_getattr_default_and_hasattr_follow_the_items():
    row = Dict({"mt.table": "t"})
    assert getattr(row, "absent", None) is None
    assert not hasattr(row, "absent")
    assert getattr(row, "mt.table") == "t"


def test_holds_no_attributes_besides_its_items():
    row = Dict(a=1)
    row.b = 2
    assert not hasattr(row, "__dict__")
    assert dict(row) == {"a": 1, "b": 2}


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda r: pickle.loads(pickle.dumps(r))])
def test_copies_stay_dicts_with_attributes(clone):
    twin = clone(Dict(a=Dict(b=1)))
    assert type(twin) is Dict and twin.a.b == 1
