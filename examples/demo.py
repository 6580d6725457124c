#!/usr/bin/env python3
"""Korvane demo: a geolocation table in a RadixEngine answering a log stream.

Loads every network of the GeoLite2-City database shipped by the PyPI package
``maxminddb-geolite2`` (about 3.1 million IPv4 and 350 thousand IPv6
networks) into a ``korvane.RadixEngine`` built with its default construction,
each network carrying its country code as value and continent, country and
city as attributes (so the networks of one place share one stored record). It then answers a stream of one million
addresses shaped like a server log (a few heavy clients, a long tail, some
IPv6), prints sample matches, shows that the most specific prefix wins, and
reports load time, lookups per second and the memory the table took.

When the GeoLite2 database (or the ``maxminddb`` reader) is not installed,
or with ``--synthetic``, a deterministic routing-table-shaped table is
generated instead (about 300k IPv4 prefixes, mostly /24 under /8../23
aggregates, and 50k IPv6 /32../48 prefixes).

Run:  .venv/bin/python examples/demo.py [--synthetic] [--lookups N] [--limit N]
"""

from __future__ import annotations

import argparse
import collections
import gc
import os
import random
import socket
import sys
import time
from collections.abc import Iterator

from korvane import RadixEngine, version

SEED = 20240601
# Every 64th network loaded is kept for the lookup stream: enough to draw
# from, and little enough that the memory figure stays the engine's.
SAMPLE_MASK = 63


# ----------------------------------------------------------------- helpers


def rss_kib() -> int:
    """Resident set size of this process (VmRSS), in KiB."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def mib(kib: int) -> str:
    return f"{kib / 1024:,.1f} MiB"


class Progress:
    """A single-line percentage on stderr, rewritten only when it changes."""

    def __init__(self, label: str) -> None:
        self.label = label
        self.shown = -1
        self.step = 1 if sys.stderr.isatty() else 10  # fewer steps into a log file
        self.start = time.perf_counter()

    def update(self, fraction: float) -> None:
        percent = min(99, int(fraction * 100)) // self.step * self.step
        if percent != self.shown:
            self.shown = percent
            sys.stderr.write(f"\r{self.label}: {percent:3d}%")
            sys.stderr.flush()

    def done(self, note: str = "") -> None:
        elapsed = time.perf_counter() - self.start
        sys.stderr.write(f"\r{self.label}: 100% ({elapsed:.1f} s){note}\n")
        sys.stderr.flush()


def v4_text(value: int) -> str:
    return socket.inet_ntoa(value.to_bytes(4, "big"))


def v6_text(value: int) -> str:
    return socket.inet_ntop(socket.AF_INET6, value.to_bytes(16, "big"))


# ---------------------------------------------------- GeoLite2 (MaxMind DB)


def find_geolite2() -> str | None:
    """Path of the GeoLite2-City database of maxminddb-geolite2, if installed."""
    try:
        import maxminddb  # noqa: F401  (the reader is needed as well)
        import _maxminddb_geolite2
    except ImportError:
        return None
    path = _maxminddb_geolite2.geolite2_database()
    return path if os.path.isfile(path) else None


class MmdbNetworks:
    """Walks the search tree of a MaxMind DB file and decodes only the few
    fields the demo stores.

    maxminddb's own ``Reader.__iter__`` decodes the complete record of every
    network (names in eight languages, coordinates, postal code...), about
    11 us per network, so iterating GeoLite2-City that way takes close to a
    minute on a small machine. Here maxminddb supplies the metadata; the tree
    is walked directly and each distinct record is summarised once.
    """

    def __init__(self, path: str) -> None:
        import maxminddb

        reader = maxminddb.open_database(path)
        meta = reader.metadata()
        self.reader = reader
        self.description = f"{meta.database_type}, built {time.strftime('%Y-%m-%d', time.gmtime(meta.build_epoch))}"
        self.node_count = meta.node_count
        self.record_size = meta.record_size
        self.ip_version = meta.ip_version
        if self.record_size not in (24, 28, 32):
            raise ValueError(f"unsupported record size {self.record_size}")
        with open(path, "rb") as f:
            self.buf = f.read()
        self.node_bytes = self.record_size // 4
        self.data_base = self.node_count * self.node_bytes + 16
        self.strings: dict[int, str] = {}
        self.paths: dict[tuple[int, tuple[str, ...]], str] = {}
        self.summaries: dict[int, tuple[str, str, str, str]] = {}
        self.visited = 0

    # --- search tree

    def children(self, node: int) -> tuple[int, int]:
        buf, size = self.buf, self.record_size
        o = node * self.node_bytes
        if size == 28:
            middle = buf[o + 3]
            left = ((middle & 0xF0) << 20) | int.from_bytes(buf[o : o + 3], "big")
            right = ((middle & 0x0F) << 24) | int.from_bytes(buf[o + 4 : o + 7], "big")
            return left, right
        half = size // 8
        return int.from_bytes(buf[o : o + half], "big"), int.from_bytes(buf[o + half : o + 2 * half], "big")

    def walk(self, start: int, bits: int, skip: int, on_progress) -> Iterator[tuple[int, int, int]]:
        """Yields (network, prefix length, data offset) under node ``start``;
        the node ``skip`` (the IPv4 subtree, reachable from several IPv6
        aliases) is not entered."""
        node_count, children = self.node_count, self.children
        stack = [(start, 0, 0)]
        pop, push = stack.pop, stack.append
        while stack:
            node, network, depth = pop()
            self.visited += 1
            if not self.visited & 0xFFFF:
                on_progress(self.visited / self.node_count)
            left, right = children(node)
            depth += 1
            # right first on the stack, so networks come out in address order
            for record, net in ((right, network | (1 << (bits - depth))), (left, network)):
                if record < node_count:
                    if record != skip:
                        push((record, net, depth))
                elif record > node_count:
                    yield net, depth, record - node_count - 16 + self.data_base

    def networks(self, on_progress) -> Iterator[tuple[int, int, int, int]]:
        """Yields (family bits 32/128, network, prefix length, data offset)."""
        if self.ip_version == 4:
            for net, length, offset in self.walk(0, 32, -1, on_progress):
                yield 32, net, length, offset
            return
        v4_root = 0
        for _ in range(96):
            v4_root = self.children(v4_root)[0]
            if v4_root >= self.node_count:
                v4_root = -1
                break
        if v4_root >= 0:
            for net, length, offset in self.walk(v4_root, 32, -1, on_progress):
                yield 32, net, length, offset
        for net, length, offset in self.walk(0, 128, v4_root, on_progress):
            yield 128, net, length, offset

    # --- data section (only what the summaries need)

    def control(self, o: int) -> tuple[int, int, int]:
        """(type, size or pointer target, offset of the payload)."""
        buf = self.buf
        c = buf[o]
        o += 1
        kind = c >> 5
        if kind == 1:  # pointer; the target is relative to the data section
            ss, v = (c >> 3) & 3, c & 7
            if ss == 0:
                return 1, self.data_base + ((v << 8) | buf[o]), o + 1
            if ss == 1:
                return 1, self.data_base + ((v << 16) | int.from_bytes(buf[o : o + 2], "big")) + 2048, o + 2
            if ss == 2:
                return 1, self.data_base + ((v << 24) | int.from_bytes(buf[o : o + 3], "big")) + 526336, o + 3
            return 1, self.data_base + int.from_bytes(buf[o : o + 4], "big"), o + 4
        if kind == 0:  # extended type
            kind = 7 + buf[o]
            o += 1
        size = c & 31
        if size == 29:
            size, o = 29 + buf[o], o + 1
        elif size == 30:
            size, o = 285 + int.from_bytes(buf[o : o + 2], "big"), o + 2
        elif size == 31:
            size, o = 65821 + int.from_bytes(buf[o : o + 3], "big"), o + 3
        return kind, size, o

    def skip(self, o: int) -> int:
        kind, size, o = self.control(o)
        if kind == 1 or kind == 14:  # pointer, boolean: no payload here
            return o
        if kind == 7:  # map
            for _ in range(2 * size):
                o = self.skip(o)
            return o
        if kind == 11:  # array
            for _ in range(size):
                o = self.skip(o)
            return o
        return o + size

    def string(self, o: int) -> tuple[str, int]:
        """The text at ``o`` (following a pointer) and the offset after it."""
        kind, size, payload = self.control(o)
        if kind == 1:
            text = self.strings.get(size)
            if text is None:
                text = self.strings[size] = self.string(size)[0]
            return text, payload
        if kind != 2:
            raise ValueError(f"expected a string at {o}, found type {kind}")
        return self.buf[payload : payload + size].decode("utf-8"), payload + size

    def get(self, o: int, path: tuple[str, ...]) -> str:
        """The text reached through map keys ``path`` from the item at ``o``,
        or "" when a key is missing."""
        kind, size, payload = self.control(o)
        if kind == 1:
            key = (size, path)
            text = self.paths.get(key)
            if text is None:
                text = self.paths[key] = self.get(size, path)
            return text
        if not path:
            return self.string(o)[0] if kind == 2 else ""
        if kind != 7:
            return ""
        o = payload
        for _ in range(size):
            name, o = self.string(o)
            if name == path[0]:
                return self.get(o, path[1:])
            o = self.skip(o)
        return ""

    def summary(self, offset: int) -> tuple[str, str, str, str]:
        """(value, continent, country, city) of the record at ``offset``."""
        found = self.summaries.get(offset)
        if found is None:
            kind, size, o = self.control(offset)
            fields = {}
            if kind == 7:
                for _ in range(size):
                    name, o = self.string(o)
                    if name in ("continent", "country", "registered_country", "city"):
                        fields[name] = o
                    o = self.skip(o)
            get = self.get
            continent = get(fields["continent"], ("code",)) if "continent" in fields else ""
            country = get(fields["country"], ("iso_code",)) if "country" in fields else ""
            if not country and "registered_country" in fields:
                country = get(fields["registered_country"], ("iso_code",))
            city = get(fields["city"], ("names", "en")) if "city" in fields else ""
            found = self.summaries[offset] = (country or continent or "??", continent, country, city)
        return found

    def close(self) -> None:
        self.reader.close()
        self.buf = b""
        self.strings.clear()
        self.paths.clear()
        self.summaries.clear()


class NetworkSample:
    """Every 64th loaded network as (bits, network, length), kept in flat
    byte arrays. Tuples kept one by one while the table loads would each
    hold on to a 1 MiB block of Python's small-object allocator among the
    load's freed temporaries: on GeoLite2-City that kept some 65 MiB, 20
    bytes per network, in the memory figure."""

    def __init__(self) -> None:
        self.bits = bytearray()
        self.lengths = bytearray()
        self.networks = bytearray()  # 16 bytes each, big-endian

    def append(self, bits: int, net: int, length: int) -> None:
        self.bits.append(bits)
        self.lengths.append(length)
        self.networks += net.to_bytes(16, "big")

    def __len__(self) -> int:
        return len(self.bits)

    def __iter__(self) -> Iterator[tuple[int, int, int]]:
        for i, (bits, length) in enumerate(zip(self.bits, self.lengths)):
            yield bits, int.from_bytes(self.networks[16 * i:16 * i + 16], "big"), length


def load_geolite2(engine: RadixEngine, path: str, limit: int | None, sample: NetworkSample) -> tuple[int, int, str, float]:
    """Inserts the database's networks; keeps every 64th one in ``sample``.
    Returns the IPv4 and IPv6 counts, a description of the table and the
    seconds spent inside ``insert``."""
    db = MmdbNetworks(path)
    progress = Progress(f"loading {db.description}")
    insert, summary, clock = engine.insert, db.summary, time.perf_counter
    count = v4 = 0
    inserting = 0.0
    for bits, net, length, offset in db.networks(progress.update):
        value, continent, country, city = summary(offset)
        cidr = f"{v4_text(net) if bits == 32 else v6_text(net)}/{length}"
        attributes = {"continent": continent, "country": country}
        if city:
            attributes["city"] = city
        metadata = {"value": value, "attributes": attributes}
        before = clock()
        insert(cidr, metadata)
        inserting += clock() - before
        if not count & SAMPLE_MASK:
            sample.append(bits, net, length)
        count += 1
        v4 += bits == 32
        if limit is not None and count >= limit:
            break
    progress.done()
    description = db.description
    db.close()
    return v4, count - v4, description, inserting


# ------------------------------------------------- synthetic routing table

COUNTRIES = ["US", "DE", "GB", "FR", "NL", "JP", "CN", "BR", "IN", "AU", "CA", "SE", "ZA", "RU", "KR"]


def synthetic_table(v4_count: int, v6_count: int, seed: int):
    """Yields (bits, network, length, value, attributes): IPv4 /24s, most of
    them inside /8../23 aggregates (whose origin they may or may not share),
    and IPv6 /32../48 prefixes under 2000::/3."""
    rng = random.Random(seed)
    excluded = [(0x00, 8), (0x0A, 8), (0x7F, 8), (0x64, 8), (0xA9, 8), (0xAC, 8), (0xC0, 8)]
    first_octets = [o for o in range(1, 224) if all(o != e for e, _ in excluded)]
    aggregates = []
    seen = set()
    lengths = list(range(8, 24))  # shares of /8../23 in a global table
    weights = [0.05, 0.05, 0.1, 0.2, 0.4, 0.8, 1.2, 1.5, 13, 8, 14, 26, 42, 50, 110, 110]
    for length in rng.choices(lengths, weights=weights, k=v4_count // 20):
        net = (rng.choice(first_octets) << 24 | rng.getrandbits(24)) & ((0xFFFFFFFF << (32 - length)) & 0xFFFFFFFF)
        if (net, length) in seen:
            continue
        seen.add((net, length))
        asn = rng.randrange(1000, 400000)
        aggregates.append((net, length, asn, rng.choice(COUNTRIES)))
        yield 32, net, length, f"AS{asn}", {"origin": f"AS{asn}", "country": aggregates[-1][3]}
    produced = len(aggregates)
    while produced < v4_count:
        if rng.random() < 0.7:
            parent, plen, asn, country = rng.choice(aggregates)
            net = parent | (rng.getrandbits(24 - plen) << 8 if plen < 24 else 0)
            if rng.random() < 0.3:  # a customer announcing its own block
                asn, country = rng.randrange(1000, 400000), rng.choice(COUNTRIES)
        else:
            net = (rng.choice(first_octets) << 24 | rng.getrandbits(16) << 8)
            asn, country = rng.randrange(1000, 400000), rng.choice(COUNTRIES)
        if (net, 24) in seen:
            continue
        seen.add((net, 24))
        produced += 1
        yield 32, net, 24, f"AS{asn}", {"origin": f"AS{asn}", "country": country}
    for _ in range(v6_count):
        length = rng.choice((32, 32, 36, 40, 44, 48, 48, 48, 48))
        net = (1 << 125 | rng.getrandbits(125)) >> (128 - length) << (128 - length)
        if (net, length) in seen:
            continue
        seen.add((net, length))
        asn = rng.randrange(1000, 400000)
        yield 128, net, length, f"AS{asn}", {"origin": f"AS{asn}", "country": rng.choice(COUNTRIES)}


def load_synthetic(engine: RadixEngine, limit: int | None, sample: NetworkSample) -> tuple[int, int, str, float]:
    v4, v6 = 300_000, 50_000
    if limit is not None and limit < v4 + v6:
        v4, v6 = limit * 6 // 7, limit - limit * 6 // 7
    progress = Progress("loading the synthetic routing table")
    total = v4 + v6
    count = loaded_v4 = 0
    insert, clock = engine.insert, time.perf_counter
    inserting = 0.0
    for bits, net, length, value, attributes in synthetic_table(v4, v6, SEED):
        cidr = f"{v4_text(net) if bits == 32 else v6_text(net)}/{length}"
        metadata = {"value": value, "attributes": attributes}
        before = clock()
        insert(cidr, metadata)
        inserting += clock() - before
        if not count & SAMPLE_MASK:
            sample.append(bits, net, length)
        count += 1
        loaded_v4 += bits == 32
        if not count & 0x3FFF:
            progress.update(count / total)
    progress.done()
    return loaded_v4, count - loaded_v4, f"synthetic routing table (seed {SEED})", inserting


# ---------------------------------------------------------- lookup stream


def address_stream(count: int, sample: NetworkSample, rng: random.Random) -> list[str]:
    """A log-like stream: 60% from a pool of clients with Zipf-like
    popularity, 30% uniformly random IPv4, 10% IPv6 inside loaded networks
    (or random under 2000::/3 when the table has none)."""
    v4_networks = [s for s in sample if s[0] == 32]
    v6_networks = [s for s in sample if s[0] == 128]

    def inside(entry) -> str:
        bits, net, length = entry
        host = rng.getrandbits(bits - length) if length < bits else 0
        return v4_text(net | host) if bits == 32 else v6_text(net | host)

    def random_v4() -> str:
        return v4_text(rng.randrange(1 << 24, 224 << 24))

    def random_v6() -> str:
        return v6_text(1 << 125 | rng.getrandbits(125))

    pool = [inside(rng.choice(v4_networks)) if v4_networks else random_v4() for _ in range(50_000)]
    pool += [inside(rng.choice(v6_networks)) if v6_networks else random_v6() for _ in range(5_000)]
    rng.shuffle(pool)
    weights = [1.0 / (rank + 1) ** 1.1 for rank in range(len(pool))]
    n_log, n_random = count * 6 // 10, count * 3 // 10
    n_v6 = count - n_log - n_random
    stream = rng.choices(pool, weights=weights, k=n_log)
    stream += [random_v4() for _ in range(n_random)]
    stream += [inside(rng.choice(v6_networks)) if v6_networks else random_v6() for _ in range(n_v6)]
    rng.shuffle(stream)
    return stream


# ------------------------------------------------------------------- main


def show(engine: RadixEngine, address: str) -> None:
    match = engine.lookup(address)
    if match is None:
        print(f"  {address:<26} -> no match")
        return
    attributes = ", ".join(f"{k}={v}" for k, v in sorted(match["attributes"].items()))
    print(f"  {address:<26} -> value={match['value']!r}  {attributes}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--synthetic", action="store_true", help="use the generated routing table even when GeoLite2 is installed")
    parser.add_argument("--lookups", type=int, default=1_000_000, help="addresses in the lookup stream (default 1,000,000)")
    parser.add_argument("--limit", type=int, default=None, help="load at most this many networks")
    args = parser.parse_args()

    print(f"korvane {version()}: longest-prefix matching, default RadixEngine construction")
    gc.collect()
    rss_before = rss_kib()
    engine = RadixEngine()
    sample = NetworkSample()

    path = None if args.synthetic else find_geolite2()
    if path is None and not args.synthetic:
        print("GeoLite2 database not installed (pip package maxminddb-geolite2); using a generated table")
    start = time.perf_counter()
    if path is not None:
        v4, v6, description, inserting = load_geolite2(engine, path, args.limit, sample)
    else:
        v4, v6, description, inserting = load_synthetic(engine, args.limit, sample)
    loaded = v4 + v6
    load_seconds = time.perf_counter() - start
    gc.collect()
    rss_after = rss_kib()
    print(f"\ntable: {description}")
    print(f"  {len(engine):,} prefixes loaded ({v4:,} IPv4, {v6:,} IPv6) in {load_seconds:.1f} s"
          f" = {loaded / load_seconds:,.0f} inserts/s, reading the source included")
    print(f"  of which inside RadixEngine.insert: {inserting:.1f} s = {loaded / max(inserting, 1e-9):,.0f} inserts/s")
    print(f"  process memory (VmRSS): {mib(rss_before)} before, {mib(rss_after)} after loading:"
          f" +{mib(rss_after - rss_before)} = {(rss_after - rss_before) * 1024 / max(loaded, 1):,.0f} bytes per prefix")

    rng = random.Random(SEED)
    stream = address_stream(args.lookups, sample, rng)
    lookup = engine.lookup
    misses = 0
    start = time.perf_counter_ns()
    for address in stream:
        if lookup(address) is None:
            misses += 1
    elapsed = (time.perf_counter_ns() - start) / 1e9
    distinct = len(set(stream))
    print(f"\nlookup stream: {len(stream):,} addresses ({distinct:,} distinct; 60% Zipf-like log clients,"
          f" 30% random IPv4, 10% IPv6)")
    print(f"  answered in {elapsed:.2f} s = {len(stream) / elapsed:,.0f} lookups/s"
          f" ({elapsed * 1e9 / len(stream):,.0f} ns per call); {len(stream) - misses:,} matched, {misses:,} unmatched")

    top = collections.Counter()
    for address in stream[:100_000]:
        match = lookup(address)
        top[match["value"] if match else "(none)"] += 1
    print("  most frequent answers in the first 100k: " + ", ".join(f"{v} {n / 1000:.1f}%" for v, n in top.most_common(6)))

    print("\nsample matches:")
    for address in ("8.8.8.8", "1.1.1.1", "81.2.69.160", "193.0.6.139", "2001:4860:4860::8888",
                    "2a00:1450:4001:80b::200e", "10.1.2.3", "::1"):
        show(engine, address)
    for address in stream[:4]:
        show(engine, address)

    disagreed = 0
    if path is not None and args.limit is None:
        # Cross-check against the database's own reader on addresses of the stream.
        import maxminddb

        reader = maxminddb.open_database(path)
        checked = 0
        for address in rng.sample(stream, 2000):
            record = reader.get(address)
            expected = None
            if record is not None:
                expected = (record.get("country") or record.get("registered_country") or {}).get("iso_code") \
                    or (record.get("continent") or {}).get("code") or "??"
            match = lookup(address)
            checked += 1
            if (match["value"] if match else None) != expected:
                disagreed += 1
                if disagreed <= 3:
                    print(f"  DISAGREES: {address}: korvane {match}, maxminddb {expected}")
        reader.close()
        print(f"\ncross-check with the maxminddb reader: {checked - disagreed:,}/{checked:,} addresses agree")

    # The most specific prefix wins: an overlay of /32 and /128 blocks on top.
    print("\nmore-specific overlay (a blocklist entry inside a loaded network):")
    for cidr in ("8.8.8.8/32", "2001:4860:4860::8888/128"):
        engine.insert(cidr, {"value": "blocked", "attributes": {"reason": "demo", "network": cidr}})
    show(engine, "8.8.8.8")
    show(engine, "8.8.8.9")
    show(engine, "2001:4860:4860::8888")
    print(f"  remove 8.8.8.8/32 -> {engine.remove('8.8.8.8/32')}; remove again -> {engine.remove('8.8.8.8/32')}")
    show(engine, "8.8.8.8")
    print(f"  contains('8.8.8.8') -> {engine.contains('8.8.8.8')}, contains('::1') -> {engine.contains('::1')}")
    print(f"\nstats: {engine.stats()}")
    print(repr(engine))
    return 0 if disagreed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
