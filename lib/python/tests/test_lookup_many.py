"""lookup_many: the answers of lookup, in order, for any iterable."""

import gc
import os
import subprocess
import sys
import weakref

import pytest

import korvane
from conftest import ZERO_STATS

TABLE = {
    "10.0.0.0/8": {"value": "ten", "attributes": {"asn": "AS1"}},
    "10.1.0.0/16": {"value": "ten-one", "attributes": {}},
    "2001:db8::/32": {"value": "doc", "attributes": {"cc": "de", "asn": "AS2"}},
    "::a00:0/104": {"value": "compat", "attributes": {}},
}
ADDRESSES = ["10.1.2.3", "10.2.0.1", "11.0.0.1", "2001:db8::1", "::10.0.0.1", "2001:db9::1", "10.1.2.3"]


def loaded(variant):
    engine = korvane.RadixEngine(variant)
    for subnet, record in TABLE.items():
        engine.insert(subnet, record)
    return engine


@pytest.mark.parametrize("make", [list, tuple, iter, lambda xs: (x for x in xs)], ids=["list", "tuple", "iter", "gen"])
def test_same_answers_as_lookup(variant, make):
    engine = loaded(variant)
    many = engine.lookup_many(make(ADDRESSES))
    assert many == [engine.lookup(a) for a in ADDRESSES]
    assert many[0] == {"value": "ten-one", "attributes": {}} and many[2] is None
    # Fresh objects: changing one result changes nothing else.
    many[3]["attributes"]["cc"] = "xx"
    many[0]["value"] = "changed"
    assert engine.lookup_many(["2001:db8::1", "10.1.2.3"]) == [TABLE["2001:db8::/32"], TABLE["10.1.0.0/16"]]
    assert engine.lookup_many([]) == []


def test_counts_as_single_lookups(variant):
    engine = loaded(variant)
    before = engine.stats()
    engine.lookup_many(ADDRESSES * 100)
    counted = {key: engine.stats()[key] - before[key] for key in ("lookups", "hits", "misses")}
    # Through a cache, a repeat is answered from it, in a batch as in a loop.
    looped = loaded(variant)
    start = looped.stats()
    for address in ADDRESSES * 100:
        looped.lookup(address)
    assert counted == {key: looped.stats()[key] - start[key] for key in ("lookups", "hits", "misses")}
    if variant is None:
        assert counted == {"lookups": 700, "hits": 500, "misses": 200}


@pytest.mark.parametrize(
    ("bad", "error", "message"),
    [
        ("10.0.0.256", ValueError, None),
        ("", ValueError, None),
        (17, TypeError, "'int' object is not an instance of 'str'"),
        (None, TypeError, "'None' is not an instance of 'str'"),
    ],
)
def test_bad_item_names_its_position(bad, error, message):
    engine = loaded(None)
    with pytest.raises(error) as single:
        engine.lookup(bad)
    before = engine.stats()
    with pytest.raises(error) as many:
        engine.lookup_many(["10.1.2.3", "2001:db8::1", bad, "10.0.0.1"])
    assert str(many.value) == str(single.value)
    if message is not None:
        assert str(many.value) == message
    assert many.value.__notes__ == [f"while processing 'addresses' item 2: {bad!r}"]
    assert engine.stats() == before  # nothing was looked up


def test_bad_item_whose_repr_fails_keeps_its_own_error():
    class Hostile:
        def __repr__(self):
            raise RuntimeError("no repr")

    with pytest.raises(TypeError) as many:
        loaded(None).lookup_many(["10.1.2.3", Hostile()])
    assert many.value.__notes__ == ["while processing 'addresses' item 1: <Hostile object>"]


def test_bad_item_that_drops_itself_in_its_repr():
    # The repr removes the item from the caller's list, its last holder, and
    # fails: the note must still name the item's type, read from a live
    # object. The debug allocator overwrites freed memory, so a read after
    # the free shows.
    script = """
import korvane
items = []
class Vanishing:
    def __repr__(self):
        items.clear()
        raise RuntimeError("gone")
items.append(Vanishing())
try:
    korvane.RadixEngine().lookup_many(items)
except TypeError as error:
    print(error.__notes__)
"""
    done = subprocess.run([sys.executable, "-c", script], env={**os.environ, "PYTHONMALLOC": "debug"},
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[\"while processing 'addresses' item 0: <Vanishing object>\"]"


def test_argument_must_be_an_iterable_of_str():
    engine = korvane.RadixEngine()
    with pytest.raises(TypeError, match="iterable of str, not str"):
        engine.lookup_many("10.0.0.1")
    with pytest.raises(TypeError, match="iterable of str, not bytes"):
        engine.lookup_many(b"10.0.0.1")
    with pytest.raises(TypeError, match=r"^RadixEngine\.lookup_many\(\) argument 'addresses' must be an iterable, not int$"):
        engine.lookup_many(5)

    def failing():
        yield "10.0.0.1"
        raise TypeError("the caller's own")

    with pytest.raises(TypeError, match="^the caller's own$"):  # passed on, not renamed
        engine.lookup_many(failing())
    assert engine.stats() == ZERO_STATS


@pytest.mark.parametrize("close", [lambda result: result, lambda result: result["attributes"]],
                         ids=["in-result", "in-attributes"])
def test_results_in_a_cycle_are_still_collected(variant, close):
    # A caller may close a cycle through a result, directly or through its
    # attributes dict: the collector must still find it.
    engine = loaded(variant)

    class Holder:
        pass

    for fetch in (lambda: engine.lookup("10.1.2.3"), lambda: engine.lookup_many(["2001:db8::1"])[0],
                  lambda: next(engine.items())[1]):
        result = fetch()
        holder = Holder()
        close(result)["holder"] = holder
        holder.result = result
        gone = weakref.ref(holder)
        del holder, result
        gc.collect()
        assert gone() is None


def test_many_distinct_texts_come_back_exactly(variant):
    # Results reuse the strs of names and short values seen before: every
    # text must still come back as stored, however many share a slot, at
    # the lengths around the longest kept, and in any script.
    engine = korvane.RadixEngine(variant)
    table = {}
    for i in range(3000):
        pad = "x" * (i % 30)
        name = "n" + "é" * (i % 40) if i % 7 else "k" * (i % 90)
        table[f"10.{i // 256}.{i % 256}.0/24"] = {
            "value": f"v{i}",
            "attributes": {name: f"{i}{pad}", "cc": ("de", "fr", "ωω", "")[i % 4], "dup": f"{i % 300}"},
        }
    for subnet, record in table.items():
        engine.insert(subnet, record)
    addresses = [subnet.replace(".0/24", ".7") for subnet in table] * 2
    expected = [table[subnet] for subnet in table] * 2
    assert engine.lookup_many(addresses) == expected
    assert [engine.lookup(a) for a in addresses] == expected


def test_collector_is_left_as_the_caller_set_it(variant):
    engine = loaded(variant)
    assert gc.isenabled()
    try:
        assert len(engine.lookup_many(ADDRESSES * 500)) == 3500
        assert gc.isenabled()
        with pytest.raises(ValueError):
            engine.lookup_many(["10.0.0.1", "nope"])
        assert gc.isenabled()
        gc.disable()
        engine.lookup_many(ADDRESSES)
        assert not gc.isenabled()
    finally:
        gc.enable()
