"""Argument binding, type checks with their notes, and value conversion."""

import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

import korvane
from conftest import ZERO_STATS


class RadixEngine:
    """Pure-Python functions with the same parameters (self excluded) and the
    same qualified names: CPython's own binding errors are the expected texts."""

    @staticmethod
    def __new__(variant=None): pass

    @staticmethod
    def insert(subnet, metadata): pass

    @staticmethod
    def lookup(ip): pass

    @staticmethod
    def remove(subnet): pass

    @staticmethod
    def contains(ip): pass


GOOD = {"subnet": "10.0.0.0/8", "metadata": {}, "ip": "10.0.0.1", "variant": "standard"}
PARAMS = {"__new__": ["variant"], "insert": ["subnet", "metadata"], "lookup": ["ip"],
          "remove": ["subnet"], "contains": ["ip"]}


@given(method=st.sampled_from(list(PARAMS)), data=st.data())
def test_binding_matches_cpython(method, data):
    params = PARAMS[method]
    npos = data.draw(st.integers(0, len(params) + 2))
    args = [GOOD[params[i]] if i < len(params) else "extra" for i in range(npos)]
    names = data.draw(st.lists(st.sampled_from(params + ["x", "subnett"]), unique=True, max_size=3))
    kwargs = {name: GOOD.get(name, "extra") for name in names}
    try:
        getattr(RadixEngine, method)(*args, **kwargs)
        expected = None
    except TypeError as error:
        expected = str(error)

    target = korvane.RadixEngine if method == "__new__" else getattr(korvane.RadixEngine(), method)
    if expected is None:
        target(*args, **kwargs)
    else:
        with pytest.raises(TypeError) as info:
            target(*args, **kwargs)
        assert str(info.value) == expected
        assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("call, text", [
    (lambda e: e.insert("10.0.0.0/8"), "RadixEngine.insert() missing 1 required positional argument: 'metadata'"),
    (lambda e: e.insert(), "RadixEngine.insert() missing 2 required positional arguments: 'subnet' and 'metadata'"),
    (lambda e: e.insert("a", {}, x=1), "RadixEngine.insert() got an unexpected keyword argument 'x'"),
    (lambda e: e.insert("a", subnet="a"), "RadixEngine.insert() got multiple values for argument 'subnet'"),
    (lambda e: e.insert("a", {}, 1), "RadixEngine.insert() takes 2 positional arguments but 3 were given"),
    (lambda e: e.lookup("a", "b"), "RadixEngine.lookup() takes 1 positional argument but 2 were given"),
    (lambda e: korvane.RadixEngine(None, None),
     "RadixEngine.__new__() takes from 0 to 1 positional arguments but 2 were given"),
])
def test_binding_texts(call, text):
    with pytest.raises(TypeError, match=f"^{re.escape(text)}$"):
        call(korvane.RadixEngine())


class Holder:
    class Inner:
        pass


NOT_STR = "'int' object is not an instance of 'str'"


@pytest.mark.parametrize("call, error, text, note", [
    (lambda e: e.insert(1, {}), TypeError, NOT_STR, "subnet"),
    (lambda e: e.insert(None, {}), TypeError, "'None' is not an instance of 'str'", "subnet"),
    (lambda e: e.insert(b"10.0.0.0/8", {}), TypeError, "'bytes' object is not an instance of 'str'", "subnet"),
    (lambda e: e.insert("\ud800/8", 1), UnicodeEncodeError, None, "subnet"),
    (lambda e: e.insert("10.0.0.0/8", []), TypeError, "'list' object is not an instance of 'dict'", "metadata"),
    (lambda e: e.insert("bad", None), TypeError, "'None' is not an instance of 'dict'", "metadata"),
    (lambda e: e.insert("10.0.0.0/8", Holder.Inner()), TypeError,
     "'Holder.Inner' object is not an instance of 'dict'", "metadata"),
    (lambda e: e.insert("bad", {}), ValueError, "Invalid CIDR 'bad': invalid address: bad", "subnet"),
    (lambda e: e.remove(2), TypeError, NOT_STR, "subnet"),
    (lambda e: e.remove("10.0.0.0/33"), ValueError,
     "Invalid CIDR '10.0.0.0/33': invalid address: 10.0.0.0/33", "subnet"),
    (lambda e: e.lookup(None), TypeError, "'None' is not an instance of 'str'", "ip"),
    (lambda e: e.lookup("10.0.0.1/32"), ValueError, "Invalid IP address: 10.0.0.1/32", "ip"),
    (lambda e: e.contains(3), TypeError, NOT_STR, "ip"),
    (lambda e: e.contains("\udc80"), UnicodeEncodeError, None, "ip"),
    (lambda e: korvane.RadixEngine(7), TypeError, NOT_STR, "variant"),
    (lambda e: korvane.RadixEngine(variant=b"x"), TypeError, "'bytes' object is not an instance of 'str'", "variant"),
    # The metadata's contents are checked after the subnet parses, without a note.
    (lambda e: e.insert("bad", {"value": 1}), ValueError, "Invalid CIDR 'bad': invalid address: bad", "subnet"),
    (lambda e: e.insert("10.0.0.0/8", {"value": 1}), TypeError, NOT_STR, None),
    (lambda e: e.insert("10.0.0.0/8", {"value": None}), TypeError, "'None' is not an instance of 'str'", None),
    (lambda e: e.insert("10.0.0.0/8", {"value": "\udc80"}), UnicodeEncodeError, None, None),
    (lambda e: e.insert("10.0.0.0/8", {"attributes": []}), TypeError, "'attributes' must be a dict", None),
    (lambda e: e.insert("10.0.0.0/8", {"attributes": None}), TypeError, "'attributes' must be a dict", None),
    (lambda e: e.insert("10.0.0.0/8", {"value": 1, "attributes": []}), TypeError, NOT_STR, None),
    (lambda e: e.insert("10.0.0.0/8", {"attributes": {"k": 1}}), TypeError, NOT_STR, None),
    (lambda e: e.insert("10.0.0.0/8", {"attributes": {"k": "v", 5: "v"}}), TypeError, NOT_STR, None),
])
def test_conversion_errors(call, error, text, note):
    engine = korvane.RadixEngine("standard")
    with pytest.raises(error) as info:
        call(engine)
    assert type(info.value) is error
    if text is not None:
        assert str(info.value) == text
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)
    assert engine.stats() == ZERO_STATS  # nothing reached the engine


class Str(str):
    pass


class Dict(dict):
    pass


def test_subclasses_accepted_and_results_are_exact_types():
    engine = korvane.RadixEngine(Str("standard"))
    engine.insert(Str("10.0.0.0/8"), Dict(value=Str("v"), attributes=Dict({Str("k"): Str("x")})))
    result = engine.lookup(Str("10.0.0.1"))
    assert result == {"value": "v", "attributes": {"k": "x"}}
    assert [type(result), type(result["value"]), type(result["attributes"])] == [dict, str, dict]
    assert engine.contains(Str("10.0.0.1")) and engine.remove(Str("10.0.0.0/8"))
    assert engine.stats()["lookups"] == 1  # the variant took effect: the second query was cached


@pytest.mark.parametrize("metadata, stored", [
    ({}, {"value": "", "attributes": {}}),
    ({"value": "", "attributes": {}}, {"value": "", "attributes": {}}),
    ({"attributes": {"a": "1"}, "extra": 5}, {"value": "", "attributes": {"a": "1"}}),
    ({"value": "Zürich \u2014 東京 🙂", "attributes": {"ключ": "значение", "": "\x00"}},
     {"value": "Zürich \u2014 東京 🙂", "attributes": {"ключ": "значение", "": "\x00"}}),
])
def test_metadata_round_trip(metadata, stored):
    engine = korvane.RadixEngine()
    snapshot = repr(metadata)
    engine.insert("10.0.0.0/8", metadata)
    assert repr(metadata) == snapshot  # the argument is only read
    first, second = engine.lookup("10.0.0.1"), engine.lookup("10.0.0.1")
    assert first == stored and list(first) == ["value", "attributes"]
    first["attributes"]["new"] = "x"  # each result is a fresh dict
    assert second == stored and first is not second
    second["attributes"]["new"] = "y"  # the later ones too, made from kept objects
    assert engine.lookup("10.0.0.1") == stored == engine.lookup("10.0.0.1")


def test_results_follow_records_replaced_between_lookups():
    # Each round answers a fresh record one to three times, then replaces it:
    # freed records' memory comes back for new ones, and a result must never
    # carry objects kept for an earlier record.
    engine = korvane.RadixEngine()
    for i in range(3000):
        record = {"value": f"v{i}", "attributes": {"n": str(i)}}
        engine.insert("10.0.0.0/8", record)
        for _ in range(i % 3 + 1):
            assert engine.lookup("10.9.9.9") == record
        assert engine.lookup_many(["10.1.1.1"]) == [record]
        if i % 2:
            engine.remove("10.0.0.0/8")
