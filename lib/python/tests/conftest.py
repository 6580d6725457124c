"""Shared pieces: the constructions under test and a linear-scan reference."""

import ipaddress

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

# No time limits on examples: a shared machine, or a sanitizer build, may
# stall any one of them well past hypothesis's default deadline.
settings.register_profile("korvane", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("korvane")

# Constructions the Python class offers; the named ones put a per-address
# lookup cache in front of the trie, the others build the plain default.
CACHED = {None: False, "standard": True, "lockfree": True, "adaptive": True}
VARIANTS = list(CACHED)

ZERO_STATS = {"size": 0, "inserts": 0, "lookups": 0, "hits": 0, "misses": 0, "removals": 0}


@pytest.fixture(scope="session", params=VARIANTS, ids=repr)
def variant(request):
    return request.param


class Reference:
    """What a RadixEngine must answer, by brute force over ipaddress objects.

    Also models the counters and, for cached constructions, which addresses a
    lookup answers from the cache (those are not counted): an address is
    cached by its first uncached lookup and forgotten when an insert or
    remove touches a prefix covering it, or on clear.
    """

    def __init__(self, cached):
        self.entries = {}  # canonical ip_network -> record dict
        self.cache = {} if cached else None  # ip_address -> result
        self.counters = dict.fromkeys(["inserts", "lookups", "hits", "misses", "removals"], 0)

    def _invalidate(self, network):
        if self.cache is not None:
            for address in [a for a in self.cache if a in network]:
                del self.cache[address]

    def insert(self, network, record):
        self.entries[network] = record
        self.counters["inserts"] += 1
        self._invalidate(network)

    def remove(self, network):
        existed = self.entries.pop(network, None) is not None
        self.counters["removals"] += existed
        self._invalidate(network)
        return existed

    def lookup(self, address):
        if self.cache is not None and address in self.cache:
            return self.cache[address]
        covering = [n for n in self.entries if address in n]
        best = max(covering, key=lambda n: n.prefixlen, default=None)
        result = None if best is None else self.entries[best]
        self.counters["lookups"] += 1
        self.counters["hits" if result is not None else "misses"] += 1
        if self.cache is not None:
            self.cache[address] = result
        return result

    def clear(self):
        self.entries.clear()
        if self.cache is not None:
            self.cache.clear()

    def stats(self):
        return {"size": len(self.entries), **self.counters}


# ---------------------------------------------------------------- text forms

# Anchors keep random addresses close together, so that prefixes nest and
# lookups hit. ::ffff:10.0.0.0 sits in IPv6 but looks like IPv4 text.
ANCHORS = {
    4: [int(ipaddress.IPv4Address(a)) for a in ("10.0.0.0", "192.168.1.0", "0.0.0.0", "255.255.255.255")],
    6: [int(ipaddress.IPv6Address(a)) for a in ("2001:db8::", "::", "::ffff:10.0.0.0", "fe80::1")],
}


@st.composite
def addresses(draw, version=None):
    version = version or draw(st.sampled_from([4, 6]))
    width = 32 if version == 4 else 128
    spread = draw(st.integers(0, width))
    value = draw(st.sampled_from(ANCHORS[version])) ^ draw(st.integers(0, 2**spread - 1))
    return ipaddress.ip_address(value) if version == 4 else ipaddress.IPv6Address(value)


@st.composite
def address_texts(draw, address):
    """The equivalent spellings of an address the parser must accept."""
    if address.version == 4:
        return str(address)
    groups = address.exploded.split(":")
    dotted = str(ipaddress.IPv4Address(int(address) & 0xFFFFFFFF))
    text = draw(st.sampled_from([str(address), address.exploded, ":".join(groups[:6]) + ":" + dotted]))
    return text.upper() if draw(st.booleans()) else text


@st.composite
def prefixes(draw):
    """(canonical network, subnet text); the text keeps random host bits."""
    address = draw(addresses())
    width = address.max_prefixlen
    length = draw(st.integers(0, width))
    network = ipaddress.ip_network(f"{address}/{length}", strict=False)
    forms = [f"/{length}", f"/+{length}", f"/0{length}"]
    if address.version == 4:
        forms.append("/" + str(network.netmask))
    if length == width:
        forms.append("")
    return network, draw(address_texts(address)) + draw(st.sampled_from(forms))


texts = st.text(st.characters(exclude_categories=("Cs",)), max_size=8)
records = st.fixed_dictionaries({"value": texts, "attributes": st.dictionaries(texts, texts, max_size=3)})
