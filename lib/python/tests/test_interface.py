"""Module attributes, docstrings, special methods and the counters."""

import inspect

import pytest

import korvane
from conftest import ZERO_STATS

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
    assert korvane.__all__ == ["RadixEngine", "version"]
    assert isinstance(korvane.HybridEngine, type)
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


# The named constructions' counters and cache are the model test's
# (test_model); any other name builds the plain engine, whose every lookup
# and contains is counted.
@pytest.mark.parametrize("variant", ["Standard", "", "x" * 100])
def test_other_variant_names_count_like_the_plain_engine(variant):
    engine = RadixEngine(variant)
    assert list(engine.stats().items()) == list(ZERO_STATS.items())
    engine.insert("10.0.0.0/8", {"value": "a"})
    for _ in range(3):
        assert engine.lookup("10.1.2.3") == {"value": "a", "attributes": {}}
    assert engine.contains("10.1.2.3") and not engine.contains("11.0.0.1")
    assert engine.stats() == {**ZERO_STATS, "size": 1, "inserts": 1, "lookups": 5, "hits": 4, "misses": 1}
