"""items(), prefixes(), pickle and deepcopy, for every construction."""

import copy
import pickle

import pytest

import korvane

TABLE = {
    "10.0.0.0/8": {"value": "ten", "attributes": {"asn": "AS1"}},
    "10.0.0.0/16": {"value": "ten-zero", "attributes": {}},
    "10.128.0.0/9": {"value": "ten-high", "attributes": {"cc": "dé"}},
    "0.0.0.0/0": {"value": "v4 default", "attributes": {}},
    "::/0": {"value": "v6 default", "attributes": {"名前": "値"}},
    "2001:db8::1/128": {"value": "host", "attributes": {"note": "a\tb"}},
    "2001:db8::/32": {"value": "doc", "attributes": {}},
    "::a00:0/104": {"value": "compat twin", "attributes": {}},
}
ORDER = ["0.0.0.0/0", "10.0.0.0/8", "10.0.0.0/16", "10.128.0.0/9",
         "::/0", "::a00:0/104", "2001:db8::/32", "2001:db8::1/128"]


def loaded(variant):
    engine = korvane.RadixEngine(variant)
    for subnet, record in TABLE.items():
        engine.insert(subnet, record)
    return engine


def test_items_in_order_with_records(variant):
    engine = loaded(variant)
    assert list(engine.prefixes()) == ORDER
    assert list(engine.items()) == [(p, TABLE[p]) for p in ORDER]
    engine.insert("10.1.2.3/8", {"value": "replaced"})  # host bits: same entry, shown canonical
    assert dict(engine.items())["10.0.0.0/8"] == {"value": "replaced", "attributes": {}}
    assert list(korvane.RadixEngine(variant).items()) == []


@pytest.mark.parametrize("clone", [lambda e: pickle.loads(pickle.dumps(e)), copy.deepcopy], ids=["pickle", "deepcopy"])
def test_round_trip_keeps_entries_and_variant_and_restarts_counters(variant, clone):
    engine = loaded(variant)
    engine.lookup("10.1.1.1")
    twin = clone(engine)
    assert type(twin) is korvane.RadixEngine and twin is not engine
    assert list(twin.items()) == list(engine.items())
    assert len(twin) == len(engine)
    assert twin.stats() == {"size": len(TABLE), "inserts": len(TABLE), "lookups": 0, "hits": 0, "misses": 0,
                            "removals": 0}
    assert twin.lookup("2001:db8::1") == TABLE["2001:db8::1/128"]
    assert twin.__reduce__()[1][0] == variant
    empty = clone(korvane.RadixEngine(variant))
    assert len(empty) == 0 and list(empty.items()) == []


@pytest.mark.parametrize(
    "state",
    [
        None,
        (2, []),
        (1, ()),
        (1, [("10.0.0.0/8", "v", {})] + [("10.0.0.0/33", "v", {})]),
        (1, [("10.0.0.0/8", "v", {}), ("10.1.0.0/16", 5, {})]),
        (1, [("10.0.0.0/8", "v", {"k": 1})]),
        (1, [("10.0.0.0/8", "v")]),
    ],
)
def test_bad_state_raises_and_builds_nothing(state):
    engine = korvane.RadixEngine()
    with pytest.raises(ValueError, match="not a RadixEngine state"):
        engine.__setstate__(state)
    assert len(engine) == 0


def test_setstate_needs_an_empty_engine():
    engine = loaded(None)
    with pytest.raises(ValueError, match="needs an empty engine"):
        engine.__setstate__((1, []))
