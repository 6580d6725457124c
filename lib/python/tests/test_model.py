"""Random interleavings of every operation, checked against the reference."""

from hypothesis import given, settings
from hypothesis import strategies as st

import korvane
from conftest import CACHED, Reference, address_texts, addresses, prefixes, records

operations = st.one_of(
    st.tuples(st.just("insert"), prefixes(), records),
    st.tuples(st.just("remove"), prefixes()),
    st.tuples(st.just("lookup"), addresses()),
    st.tuples(st.just("contains"), addresses()),
    st.tuples(st.just("repeat")),  # remove / look up again something used before
    st.tuples(st.just("clear")),
)


@settings(max_examples=150, deadline=None)
@given(data=st.data(), ops=st.lists(operations, max_size=60))
def test_matches_reference(variant, data, ops):
    engine = korvane.RadixEngine(variant)
    reference = Reference(CACHED[variant])
    used_prefixes, used_addresses = [], []
    for op in ops:
        kind = op[0]
        if kind == "repeat":
            if used_prefixes and data.draw(st.booleans()):
                kind, op = "remove", ("remove", data.draw(st.sampled_from(used_prefixes)))
            elif used_addresses:
                kind, op = "lookup", ("lookup", data.draw(st.sampled_from(used_addresses)))
            else:
                continue

        if kind == "insert":
            (network, text), record = op[1], op[2]
            used_prefixes.append((network, text))
            assert engine.insert(text, record) is None
            reference.insert(network, record)
        elif kind == "remove":
            network, text = op[1]
            assert engine.remove(text) is reference.remove(network)
        elif kind in ("lookup", "contains"):
            address = op[1]
            used_addresses.append(address)
            text = data.draw(address_texts(address))
            expected = reference.lookup(address)
            if kind == "lookup":
                assert engine.lookup(text) == expected, text
            else:
                assert engine.contains(text) is (expected is not None), text
        else:
            engine.clear()
            reference.clear()
        assert len(engine) == len(reference.entries)
        assert engine.stats() == reference.stats()
