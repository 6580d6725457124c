"""Which subnet and address texts are accepted, and what they mean."""

import ipaddress

import pytest

import korvane

# subnet text -> the network it stores (host bits as written are ignored)
ACCEPTED_SUBNETS = [
    ("10.0.0.0/8", "10.0.0.0/8"),
    ("10.1.2.3/8", "10.0.0.0/8"),
    ("10.0.0.0/+8", "10.0.0.0/8"),
    ("10.0.0.0/08", "10.0.0.0/8"),
    ("10.0.0.0/000000000000000000008", "10.0.0.0/8"),
    ("10.0.0.0/255.0.0.0", "10.0.0.0/8"),
    ("10.1.2.3/255.255.240.0", "10.1.0.0/20"),
    ("10.1.2.3/255.255.255.255", "10.1.2.3/32"),
    ("10.1.2.3/0.0.0.0", "0.0.0.0/0"),
    ("192.0.2.1", "192.0.2.1/32"),
    ("255.255.255.255/32", "255.255.255.255/32"),
    ("0.0.0.0/0", "0.0.0.0/0"),
    ("2001:db8::1", "2001:db8::1/128"),
    ("2001:DB8::/32", "2001:db8::/32"),
    ("2001:db8::/+48", "2001:db8::/48"),
    ("2001:db8::ffff/064", "2001:db8::/64"),
    ("fe80::1/10", "fe80::/10"),
    ("::/0", "::/0"),
    ("::ffff:10.0.0.0/104", "::ffff:10.0.0.0/104"),
    ("1:2:3:4:5:6:1.2.3.4/128", "1:2:3:4:5:6:102:304/128"),
    ("1:2:3:4:5:6:7::/112", "1:2:3:4:5:6:7:0/112"),
    ("0:0:0:0:0:0:0:0/1", "::/1"),
]

REJECTED_SUBNETS = [
    "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/8/8", "010.0.0.0/8", "10.0.0/8", "10.0.0.0/255.0.255.0",
    "2001:db8::/129", "fe80::1%1", "fe80::1%1/64", " 10.0.0.0/8", "10.0.0.0/8 ", "10.0.0.0/-8",
    "10.0.0.0/+", "10.0.0.0/ 8", "10.0.0.0/0x8", "10.0.0.0/99999999999999999999", "10.0.0.0/８",
    "１0.0.0.0/8", "256.0.0.0/8", "1.2.3.4.5/8", "", "/8", "[::1]/128", "2001:db8::/255.255.0.0",
    "1:2:3:4:5:6:7:8:9", "1::2::3", "12345::/16", "1:2:3:4:5:6:7::8", "::ffff:10.0.0.256",
    "10.0.0.0\x00/8",
]

# address text -> the same address in ipaddress's spelling
ACCEPTED_ADDRESSES = [
    "10.0.0.1", "0.0.0.0", "255.255.255.255", "::", "::1", "1::", "2001:DB8::1", "fFfF::",
    "::ffff:10.0.0.1", "::1.2.3.4", "1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:7::", "0:0:0:0:0:0:0:0",
    "0001:0002:0003:0004:0005:0006:0007:0008",
]

REJECTED_ADDRESSES = [
    " 10.0.0.1", "10.0.0.1 ", "10.0.0.1/32", "", "10.0.0", "01.2.3.4", "1.2.3.4.", "fe80::1%eth0",
    "[::1]", "::ffff:1.2.3", "g::1", ":::", "1:2:3:4:5:6:7::8", "1.2.3.４", "2001:db8::/64",
]


def neighbours(network):
    """Addresses just outside the network, where there are any."""
    first, last = int(network.network_address), int(network.broadcast_address)
    top = 2**network.max_prefixlen - 1
    return [ipaddress.ip_address(a) if network.version == 4 else ipaddress.IPv6Address(a)
            for a in (first - 1, last + 1) if 0 <= a <= top]


@pytest.mark.parametrize("text, expected", ACCEPTED_SUBNETS)
def test_accepted_subnet(text, expected):
    network = ipaddress.ip_network(expected)
    engine = korvane.RadixEngine()
    engine.insert(text, {"value": "hit"})
    engine.insert(network.with_prefixlen, {"value": "same entry"})
    assert len(engine) == 1
    for inside in (network.network_address, network.broadcast_address):
        assert engine.lookup(str(inside)) == {"value": "same entry", "attributes": {}}
    for outside in neighbours(network) + [ipaddress.ip_address("::" if network.version == 4 else "0.0.0.0")]:
        assert engine.lookup(str(outside)) is None
    assert engine.remove(text) is True and len(engine) == 0


@pytest.mark.parametrize("text", REJECTED_SUBNETS)
def test_rejected_subnet(text):
    engine = korvane.RadixEngine()
    for call in (lambda: engine.insert(text, {}), lambda: engine.remove(text)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == f"Invalid CIDR '{text}': invalid address: {text}"


@pytest.mark.parametrize("text", ACCEPTED_ADDRESSES)
def test_accepted_address(text):
    address = ipaddress.ip_address(text.lower())
    engine = korvane.RadixEngine()
    engine.insert("0.0.0.0/0", {"value": "v4"})
    engine.insert("::/0", {"value": "v6"})
    engine.insert(f"{address}/{address.max_prefixlen}", {"value": "host"})
    assert engine.lookup(text)["value"] == "host"
    engine.remove(f"{address}/{address.max_prefixlen}")
    # ::ffff:10.0.0.1 and ::1.2.3.4 are IPv6: 0.0.0.0/0 does not cover them.
    assert engine.lookup(text)["value"] == f"v{address.version}"


@pytest.mark.parametrize("text", REJECTED_ADDRESSES)
def test_rejected_address(text):
    engine = korvane.RadixEngine()
    for method in (engine.lookup, engine.contains):
        with pytest.raises(ValueError) as info:
            method(text)
        assert str(info.value) == f"Invalid IP address: {text}"

