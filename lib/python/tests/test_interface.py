"""Module attributes, docstrings, special methods and the counters."""

import inspect

import pytest

import korvane
from conftest import CACHED, ZERO_STATS

RadixEngine = korvane.RadixEngine

CLASS_DOC = """High-performance IP radix-tree engine.

Example::

    from korvane import RadixEngine

    engine = RadixEngine()
    engine.insert("10.0.0.0/8", {"value": "allow", "attributes": {"asn": "AS1234"}})

    match = engine.lookup("10.1.2.3")
    print(match["value"])   # "allow"
"""

METHOD_DOCS = {
    "insert": (
        "($self, subnet, metadata)",
        "Insert a CIDR prefix with associated metadata dict.\n\nParameters\n----------\n"
        'subnet : str\n    CIDR notation, e.g. ``"10.0.0.0/8"``.\n'
        'metadata : dict\n    Must contain at least ``{"value": str, "attributes": dict}``.',
    ),
    "lookup": ("($self, ip)", "Longest-prefix match.\n\nReturns a metadata dict on match, or ``None``."),
    "lookup_many": (
        "($self, addresses)",
        "Longest-prefix match for every address of an iterable.\n\n"
        "Returns a list with, for each address in order, what ``lookup`` returns\n"
        "for it. A malformed item raises the error ``lookup`` raises, with a note\n"
        "naming the item and its position; no lookup runs then.",
    ),
    "remove": ("($self, subnet)", "Remove a prefix.  Returns ``True`` if the entry existed."),
    "contains": ("($self, ip)", "Returns ``True`` if any stored prefix covers the given IP."),
    "clear": ("($self)", "Remove all entries."),
    "stats": ("($self)", "Engine performance statistics."),
}


def test_module_attributes():
    assert korvane.__doc__ == "Korvane \u2014 high-performance IP subnet longest-prefix matching engine."
    assert korvane.__all__ == ["RadixEngine", "HybridEngine", "version"]
    assert korvane.version() == "1.1.1"
    assert korvane.version.__module__ == "korvane"
    assert korvane.version.__doc__ is None and korvane.version.__text_signature__ == "()"
    assert (RadixEngine.__module__, RadixEngine.__qualname__) == ("builtins", "RadixEngine")
    assert RadixEngine.__doc__ == CLASS_DOC
    assert str(inspect.signature(RadixEngine)) == "(variant=None)"


@pytest.mark.parametrize("name", METHOD_DOCS)
def test_method_docstrings(name):
    method = getattr(RadixEngine, name)
    assert (method.__text_signature__, method.__doc__) == METHOD_DOCS[name]
    bound = METHOD_DOCS[name][0].replace("$self, ", "").replace("$self", "")
    assert str(inspect.signature(getattr(RadixEngine(), name))) == bound


def test_method_table_order():
    assert [n for n in vars(RadixEngine) if n in METHOD_DOCS] == list(METHOD_DOCS)


def test_len_repr_bool():
    engine = RadixEngine()
    assert (len(engine), repr(engine), bool(engine)) == (0, "RadixEngine(size=0)", False)
    engine.insert("10.0.0.0/8", {})
    assert bool(engine)
    engine.insert("2001:db8::/32", {})
    engine.insert("10.9.9.9/8", {})  # same entry as 10.0.0.0/8
    assert (len(engine), repr(engine)) == (2, "RadixEngine(size=2)")
    engine.clear()
    assert (len(engine), bool(engine)) == (0, False)


@pytest.mark.parametrize("variant", [None, "standard", "lockfree", "adaptive", "Standard", "", "x" * 100])
def test_counters_per_construction(variant):
    cached = CACHED.get(variant, False)
    engine = RadixEngine(variant)
    assert list(engine.stats().items()) == list(ZERO_STATS.items())

    engine.insert("10.0.0.0/8", {"value": "a"})
    for _ in range(3):
        assert engine.lookup("10.1.2.3") == {"value": "a", "attributes": {}}
    # contains is a full lookup: counted, and answered by the cache when cached.
    assert engine.contains("10.1.2.3") and not engine.contains("11.0.0.1")
    lookups = 2 if cached else 5
    assert engine.stats() == {**ZERO_STATS, "size": 1, "inserts": 1, "lookups": lookups,
                              "hits": lookups - 1, "misses": 1}

    # 11.0.0.1 is cached as "no match"; a covering insert must drop that,
    # an unrelated one must not touch 10.1.2.3.
    engine.insert("11.0.0.0/16", {"value": "b"})
    engine.insert("2001:db8::/32", {"value": "c"})
    assert engine.lookup("11.0.0.1")["value"] == "b"
    assert engine.lookup("10.1.2.3")["value"] == "a"
    lookups += 1 if cached else 2
    assert engine.stats()["lookups"] == lookups

    assert engine.remove("10.0.0.0/8") is True and engine.remove("10.0.0.0/8") is False
    assert engine.lookup("10.1.2.3") is None
    engine.clear()
    assert engine.lookup("11.0.0.1") is None
    assert engine.stats() == {"size": 0, "inserts": 3, "lookups": lookups + 2,
                              "hits": lookups - 1, "misses": 3, "removals": 1}
