#!/usr/bin/env python3
"""Korvane against other Python IP longest-prefix-match libraries.

Measures, on one table (shaped like a routing table, or with
--shape=uniform of uniformly random prefixes) and the same three address
streams, for every construction of ``korvane.RadixEngine`` (None,
"standard", "lockfree", "adaptive") and for pytricia, py-radix and
SubnetTree (PyPI ``pysubnettree``):

- the time of one lookup call over a stream of random addresses,
- the time of one lookup call over a stream with repeats (Zipf-like
  popularity, as in a server log),
- the time of one lookup call over a stream of addresses inside stored
  prefixes,
- the time to load the table,
- the process memory (VmRSS) the loaded table takes.

Each library runs in a fresh child process (``python_bench.py --one LIB
...``) so that its memory figure is not mixed with another's; the parent
generates the table and the streams once, writes them to a temporary
directory, runs the children one after the other and writes a markdown
table to stdout and to --out. With --rounds N it runs them all N times,
taking turns, and gives the medians and each competitor's ratio to korvane
round by round: the host's speed drifts over minutes, so ratios from one
round are fairer than figures from different moments.

How each library holds both address families:

- korvane: one engine holds IPv4 and IPv6 prefixes.
- pytricia: two trees, PyTricia(32) for IPv4 and PyTricia(128) for IPv6,
  and every call picks the tree by looking for ":" in the text (that choice
  is inside the timed loop). A single PyTricia(128) accepts IPv4 prefixes
  but matches them against IPv6 addresses too (10.0.0.0/8 answers a00::1),
  so it cannot serve both families at once. Both trees are frozen after
  the load (``freeze()``, part of the load's time), pytricia's faster
  read-only form, since only lookups follow.
- py-radix: one Radix object (it keeps a separate tree per family).
- SubnetTree: one tree (it stores IPv4 as IPv4-mapped IPv6).

Every library stores the same per-prefix value, a dict
{"value": origin AS, "attributes": {"country": code}} built in the load loop
(korvane copies it into the engine, pytricia and SubnetTree keep the dict
object, py-radix gets its two keys in node.data). A lookup call is the
library's own longest-prefix match, returning that stored value:
``engine.lookup(a)`` (a new dict), ``tree.get(a)``,
``rtree.search_best(a)`` followed by ``.data`` on a match, and ``tree[a]``
with a KeyError on no match. The children also check that all libraries
give the same answers.

Not a test: it asserts nothing about speed. The machine it runs on is noisy
(see the header it writes); compare figures of one run, not across runs.

Usage:
    .venv/bin/python bench/python_bench.py [--size N] [--lookups N] [--repeat N]
                                           [--shape routing|uniform] [--rounds N]
                                           [--libs a,b,...] [--out FILE] [--quick]
The competitors install with ``bash scripts/setup.sh --bench``.
"""

from __future__ import annotations

import argparse
import bisect
import datetime
import gc
import json
import os
import platform
import random
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = 7
MANY_SLICE = 1_000  # addresses per lookup_many call in its sliced measurement

# name -> (module to import, korvane variant or None, how the row is labelled)
LIBRARIES = {
    "korvane": ("korvane", None, "korvane RadixEngine()"),
    "korvane-standard": ("korvane", "standard", 'korvane RadixEngine("standard")'),
    "korvane-lockfree": ("korvane", "lockfree", 'korvane RadixEngine("lockfree")'),
    "korvane-adaptive": ("korvane", "adaptive", 'korvane RadixEngine("adaptive")'),
    "pytricia": ("pytricia", None, "pytricia (PyTricia(32) + PyTricia(128), frozen)"),
    "radix": ("radix", None, "py-radix (Radix)"),
    "subnettree": ("SubnetTree", None, "SubnetTree (pysubnettree)"),
}
DISTRIBUTIONS = {"korvane": "korvane", "pytricia": "pytricia", "radix": "py-radix", "SubnetTree": "pysubnettree"}


# ------------------------------------------------------------------ table
#
# IPv4 prefix lengths follow a global BGP table (about 60% /24, most of the
# rest /16../23, a few /8../15 and /25../32); about half of the prefixes are
# more-specifics of an earlier, shorter one; the others shorter than /20
# (the registries' allocations) lie apart from each other anywhere in the
# space, and the longer ones sit in a few thousand allocation blocks. As in a
# global table, about 70% of the unicast space is covered, so that about as
# many random addresses match. Private, loopback, link-local, CGN and
# multicast space is avoided. IPv6 lengths are mostly /32../48 under the
# registries' blocks.

V4_WEIGHTS = {8: 0.002, 9: 0.002, 10: 0.005, 11: 0.012, 12: 0.03, 13: 0.06, 14: 0.1, 15: 0.15,
              16: 1.3, 17: 0.8, 18: 1.4, 19: 2.6, 20: 4.2, 21: 5.0, 22: 11.0, 23: 11.0, 24: 60.0,
              25: 0.15, 26: 0.12, 27: 0.08, 28: 0.08, 29: 0.07, 30: 0.05, 31: 0.02, 32: 0.03}
V6_WEIGHTS = {19: 0.01, 20: 0.02, 21: 0.01, 22: 0.02, 23: 0.02, 24: 0.03, 25: 0.01, 26: 0.01,
              27: 0.02, 28: 0.15, 29: 3.0, 30: 0.6, 31: 0.4, 32: 12.0, 33: 1.2, 34: 1.0, 35: 0.8,
              36: 3.0, 37: 0.6, 38: 0.9, 39: 0.6, 40: 6.0, 41: 0.6, 42: 1.3, 43: 0.6, 44: 8.0,
              45: 1.3, 46: 2.2, 47: 2.6, 48: 46.0, **{n: 0.1 for n in range(49, 56)}, 56: 1.5,
              **{n: 0.03 for n in range(57, 64)}, 64: 0.6}
V4_EXCLUDED = [(0x00000000, 8), (0x0A000000, 8), (0x64400000, 10), (0x7F000000, 8),
               (0xA9FE0000, 16), (0xAC100000, 12), (0xC0A80000, 16), (0xE0000000, 3)]
V6_REGISTRY_BLOCKS = [(0x2001 << 112, 16), (0x2400 << 112, 12), (0x2600 << 112, 12),
                      (0x2800 << 112, 12), (0x2A00 << 112, 12), (0x2C00 << 112, 12)]
COUNTRIES = ["US", "DE", "GB", "FR", "NL", "JP", "CN", "BR", "IN", "AU", "CA", "SE", "ZA", "RU", "KR",
             "IT", "ES", "PL", "UA", "SG", "HK", "TW", "MX", "AR", "ID", "VN", "TR", "IR", "CH", "AT"]


def mask(bits: int, length: int) -> int:
    return ((1 << length) - 1) << (bits - length)


def v4_allowed(net: int, length: int) -> bool:
    for block, block_length in V4_EXCLUDED:
        m = mask(32, min(length, block_length))
        if net & m == block & m:
            return False
    return True


def length_counts(weights: dict[int, float], count: int, main: int) -> dict[int, int]:
    total = sum(weights.values())
    counts = {length: int(count * w / total) for length, w in weights.items()}
    counts[main] += count - sum(counts.values())
    return counts


def v4_nesting(length: int) -> float:
    return 0.0 if length <= 12 else 0.25 if length <= 16 else 0.45 if length <= 23 else 0.55 if length == 24 else 0.8


def v6_nesting(length: int) -> float:
    return 0.0 if length <= 28 else 0.1 if length <= 32 else 0.4 if length <= 47 else 0.55 if length == 48 else 0.8


def grow(bits: int, count: int, weights, main: int, nesting, place_free, allowed, rng) -> list[tuple[int, int]]:
    """Prefixes of increasing length: each is either a more-specific of an
    earlier prefix at most 8 bits shorter or placed by ``place_free``."""
    counts = length_counts(weights, count, main)
    by_length: dict[int, list[int]] = {}
    seen: set[tuple[int, int]] = set()
    table: list[tuple[int, int]] = []
    for length in sorted(counts):
        wanted, made, attempts = counts[length], 0, 0
        parents = [(l, by_length[l]) for l in range(max(0, length - 8), length) if by_length.get(l)]
        cumulative = list(_accumulate(len(nets) for _, nets in parents))
        while made < wanted and attempts < wanted * 20:
            attempts += 1
            if parents and rng.random() < nesting(length):
                parent_length, nets = parents[bisect.bisect_right(cumulative, rng.randrange(cumulative[-1]))]
                net = rng.choice(nets) | (rng.getrandbits(length - parent_length) << (bits - length))
            else:
                net = place_free(length)
            if net is None or (net, length) in seen or not allowed(net, length):
                continue
            seen.add((net, length))
            by_length.setdefault(length, []).append(net)
            table.append((net, length))
            made += 1
    return table


def _accumulate(values):
    total = 0
    for v in values:
        total += v
        yield total


def make_table(v4_count: int, v6_count: int, seed: int) -> list[tuple[str, str, str]]:
    """(cidr text, origin AS, country) rows, shuffled, all distinct."""
    rng = random.Random(seed)
    v4_blocks = []
    while len(v4_blocks) < 3000:
        block = rng.getrandbits(12) << 20
        if v4_allowed(block, 12):
            v4_blocks.append(block)

    allocated: set[int] = set()  # the /20s that allocations drawn apart cover

    def v4_apart(length: int) -> int:
        units = 1 << (20 - length)
        for _ in range(16):
            net = rng.getrandbits(length) << (32 - length)
            first = net >> 12
            if not any(u in allocated for u in range(first, first + units)):
                break
        allocated.update(range(net >> 12, (net >> 12) + units))
        return net

    def v4_free(length: int):
        if length < 20:
            return v4_apart(length)
        return rng.choice(v4_blocks) | (rng.getrandbits(length - 12) << (32 - length))

    v6_blocks = []
    for _ in range(3000):
        base, base_length = rng.choice(V6_REGISTRY_BLOCKS)
        v6_blocks.append(base | (rng.getrandbits(24 - base_length) << (128 - 24)))

    def v6_free(length: int):
        if length < 24:
            base, base_length = rng.choice(V6_REGISTRY_BLOCKS)
            if length < base_length:
                return None
            return base | (rng.getrandbits(length - base_length) << (128 - length))
        return rng.choice(v6_blocks) | (rng.getrandbits(length - 24) << (128 - length))

    # A smaller global table (an older one) has about as many allocations
    # as a full one: fewer prefixes, mostly fewer /20../24s. So a table of a
    # few hundred thousand still covers about 70% of the space.
    v4_weights = dict(V4_WEIGHTS)
    if 250_000 <= v4_count < 1_000_000:
        for length in range(8, 20):
            v4_weights[length] *= 1_000_000 / v4_count
    v4 = grow(32, v4_count, v4_weights, 24, v4_nesting, v4_free, v4_allowed, rng)
    v6 = grow(128, v6_count, V6_WEIGHTS, 48, v6_nesting, v6_free, lambda net, length: True, rng)
    rows = [(f"{v4_text(net)}/{length}", f"AS{rng.randrange(1, 400000)}", rng.choice(COUNTRIES)) for net, length in v4]
    rows += [(f"{v6_text(net)}/{length}", f"AS{rng.randrange(1, 400000)}", rng.choice(COUNTRIES)) for net, length in v6]
    rng.shuffle(rows)
    return rows


def make_uniform_table(v4_count: int, v6_count: int, seed: int) -> list[tuple[str, str, str]]:
    """The same rows for uniformly random prefixes: IPv4 /8../32 and IPv6
    /16../128, lengths and bits alike uniform, so that short prefixes cover
    much of the space and long ones lie scattered under them."""
    rng = random.Random(seed)

    def draw(bits: int, shortest: int, count: int) -> list[tuple[int, int]]:
        seen: set[tuple[int, int]] = set()
        while len(seen) < count:
            length = rng.randint(shortest, bits)
            seen.add((rng.getrandbits(length) << (bits - length) if length else 0, length))
        return sorted(seen)

    rows = [(f"{v4_text(net)}/{length}", f"AS{rng.randrange(1, 400000)}", rng.choice(COUNTRIES))
            for net, length in draw(32, 8, v4_count)]
    rows += [(f"{v6_text(net)}/{length}", f"AS{rng.randrange(1, 400000)}", rng.choice(COUNTRIES))
             for net, length in draw(128, 16, v6_count)]
    rng.shuffle(rows)
    return rows


def v4_text(value: int) -> str:
    return socket.inet_ntoa(value.to_bytes(4, "big"))


def v6_text(value: int) -> str:
    return socket.inet_ntop(socket.AF_INET6, value.to_bytes(16, "big"))


def make_streams(rows: list[tuple[str, str, str]], count: int, seed: int) -> tuple[list[str], list[str], list[str]]:
    """A random stream (5/6 IPv4 uniform over 1.0.0.0-223.255.255.255, 1/6
    IPv6 hosts inside random IPv6 prefixes of the table), a stream with
    repeats (a pool of 20,000 such addresses drawn with Zipf-like weights,
    rank r has weight 1/r^1.1), and a stream of addresses inside stored
    prefixes of both families (a uniformly chosen prefix, random host bits)."""
    rng = random.Random(seed + 1)
    v6_prefixes = []
    for cidr, _, _ in rows:
        if ":" in cidr:
            text, length = cidr.split("/")
            v6_prefixes.append((int.from_bytes(socket.inet_pton(socket.AF_INET6, text), "big"), int(length)))

    def one() -> str:
        if not v6_prefixes or rng.random() < 5 / 6:
            return v4_text(rng.randrange(1 << 24, 224 << 24))
        net, length = rng.choice(v6_prefixes)
        return v6_text(net | rng.getrandbits(128 - length))

    random_stream = [one() for _ in range(count)]
    pool = [one() for _ in range(20_000)]
    weights = [1.0 / (rank + 1) ** 1.1 for rank in range(len(pool))]
    repeat_stream = rng.choices(pool, weights=weights, k=count)
    prefixes = []
    for cidr, _, _ in rows:
        text, length = cidr.split("/")
        family = socket.AF_INET6 if ":" in text else socket.AF_INET
        prefixes.append((family, int.from_bytes(socket.inet_pton(family, text), "big"), int(length)))
    inside_stream = []
    for _ in range(count):
        family, net, length = rng.choice(prefixes)
        bits = 128 if family == socket.AF_INET6 else 32
        host = net | rng.getrandbits(bits - length) if length < bits else net
        inside_stream.append(v6_text(host) if bits == 128 else v4_text(host))
    return random_stream, repeat_stream, inside_stream


# ------------------------------------------------------------------ child


def rss_kib() -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def read_lines(path: str) -> list[str]:
    with open(path, encoding="ascii") as f:
        return f.read().split()


class Subject:
    """One library: ``load(rows)`` builds a fresh structure, ``loop(stream)``
    makes one lookup call per address, ``answers(stream)`` gives the stored
    origin (or None) per address."""

    def __init__(self, name: str) -> None:
        self.name = name
        module, self.variant, _ = LIBRARIES[name]
        self.module = __import__(module)
        self.kind = module

    def load(self, rows) -> None:
        self.structure = None
        gc.collect()
        if self.kind == "korvane":
            engine = self.module.RadixEngine(self.variant)
            insert = engine.insert
            for cidr, origin, country in rows:
                insert(cidr, {"value": origin, "attributes": {"country": country}})
            self.structure = engine
        elif self.kind == "pytricia":
            t4, t6 = self.module.PyTricia(32), self.module.PyTricia(128)
            for cidr, origin, country in rows:
                (t6 if ":" in cidr else t4).insert(cidr, {"value": origin, "attributes": {"country": country}})
            # Read-only from here on: its faster form for lookups.
            t4.freeze()
            t6.freeze()
            self.structure = (t4, t6)
        elif self.kind == "radix":
            tree = self.module.Radix()
            add = tree.add
            for cidr, origin, country in rows:
                data = add(cidr).data
                data["value"] = origin
                data["attributes"] = {"country": country}
            self.structure = tree
        else:
            tree = self.module.SubnetTree()
            for cidr, origin, country in rows:
                tree[cidr] = {"value": origin, "attributes": {"country": country}}
            self.structure = tree

    def size(self) -> int:
        if self.kind == "pytricia":
            return len(self.structure[0]) + len(self.structure[1])
        if self.kind == "radix":
            return len(self.structure.nodes())
        if self.kind == "SubnetTree":
            return len(self.structure.prefixes())
        return len(self.structure)

    def loop(self, stream) -> None:
        if self.kind == "korvane":
            lookup = self.structure.lookup
            for a in stream:
                lookup(a)
        elif self.kind == "pytricia":
            get4, get6 = self.structure[0].get, self.structure[1].get
            for a in stream:
                (get6 if ":" in a else get4)(a)
        elif self.kind == "radix":
            search_best = self.structure.search_best
            for a in stream:
                node = search_best(a)
                if node is not None:
                    node.data
        else:
            tree = self.structure
            for a in stream:
                try:
                    tree[a]
                except KeyError:
                    pass

    def answers(self, stream) -> list:
        out = []
        for a in stream:
            if self.kind == "korvane":
                r = self.structure.lookup(a)
            elif self.kind == "pytricia":
                r = self.structure[1 if ":" in a else 0].get(a)
            elif self.kind == "radix":
                node = self.structure.search_best(a)
                r = node.data if node is not None else None
            else:
                try:
                    r = self.structure[a]
                except KeyError:
                    r = None
            out.append(None if r is None else r["value"])
        return out


def run_one(args) -> dict:
    name = args.one
    rows_flat = read_lines(os.path.join(args.data, "table.txt"))
    rows = list(zip(rows_flat[0::3], rows_flat[1::3], rows_flat[2::3]))
    del rows_flat
    random_stream = read_lines(os.path.join(args.data, "random.txt"))
    repeat_stream = read_lines(os.path.join(args.data, "repeat.txt"))
    inside_stream = read_lines(os.path.join(args.data, "inside.txt"))
    try:
        subject = Subject(name)
    except ImportError as error:
        return {"name": name, "error": f"not installed ({error})"}
    version = ""
    try:
        from importlib import metadata

        version = metadata.version(DISTRIBUTIONS[subject.kind])
    except Exception:  # noqa: BLE001 - only a label
        pass

    gc.collect()
    rss_before = rss_kib()
    loads = []
    for attempt in range(args.repeat):
        if attempt:
            subject.structure = None
            gc.collect()
        start = time.perf_counter_ns()
        subject.load(rows)
        loads.append(time.perf_counter_ns() - start)
        if not attempt:
            gc.collect()
            rss_after = rss_kib()
    stored = subject.size()

    timings = {}
    streams = (("random", random_stream), ("repeat", repeat_stream), ("inside", inside_stream))
    for label, stream in streams:
        best = None
        gc.collect()
        for _ in range(args.repeat):
            start = time.perf_counter_ns()
            subject.loop(stream)
            elapsed = time.perf_counter_ns() - start
            best = elapsed if best is None else min(best, elapsed)
        timings[label] = best / len(stream)
    if subject.kind == "korvane":
        lookup_many = subject.structure.lookup_many
        for label, stream in streams:
            # One call over the whole stream, and calls over slices of
            # MANY_SLICE addresses. Freeing the results is timed, as it is
            # in the loop of single lookups, where each result goes before
            # the next. A whole stream's results live together: their
            # memory is new to the process (the allocator returned the last
            # call's), and they leave the caches before they are freed.
            for key, step in (("many_", len(stream)), ("slices_", MANY_SLICE)):
                best = None
                for _ in range(args.repeat):
                    start = time.perf_counter_ns()
                    for i in range(0, len(stream), step):
                        results = lookup_many(stream[i:i + step])
                        del results
                    elapsed = time.perf_counter_ns() - start
                    best = elapsed if best is None else min(best, elapsed)
                timings[key + label] = best / len(stream)

    check = {}
    for label, stream in streams:
        answers = subject.answers(stream[:20_000])
        digest = zlib.crc32("\n".join(a or "-" for a in answers).encode())
        check[label] = {"matched": sum(a is not None for a in answers), "crc": digest}
    return {
        "name": name,
        "version": version,
        "prefixes": len(rows),
        "stored": stored,
        "lookups": len(random_stream),
        "random_ns": timings["random"],
        "repeat_ns": timings["repeat"],
        "inside_ns": timings["inside"],
        "many_ns": {k[5:]: v for k, v in timings.items() if k.startswith("many_")},
        "slices_ns": {k[7:]: v for k, v in timings.items() if k.startswith("slices_")},
        "load_s": min(loads) / 1e9,
        "rss_before_kib": rss_before,
        "rss_after_kib": rss_after,
        "check": check,
    }


# ----------------------------------------------------------------- parent

TIMED = ("random_ns", "repeat_ns", "inside_ns", "load_s")


def median_of_rounds(rounds: list[dict]) -> dict:
    """One library's rounds as one row: the median of each lookup time and
    of the load time, the rest from its first round."""
    done = [r for r in rounds if "error" not in r]
    if not done:
        return rounds[0]
    row = dict(done[0])
    for key in TIMED:
        row[key] = statistics.median(r[key] for r in done)
    for key in ("many_ns", "slices_ns"):
        if row[key]:
            row[key] = {k: statistics.median(r[key][k] for r in done) for k in row[key]}
    row["rounds"] = len(done)
    return row


def round_ratios(names: list[str], runs: dict[str, list[dict]]) -> list[str]:
    """With several rounds: how many times faster the first korvane
    construction answered than each other library, round by round."""
    subject = next((n for n in names if LIBRARIES[n][0] == "korvane"), None)
    if subject is None or len(runs[subject]) < 2:
        return []
    out = ["", f"Per round, {LIBRARIES[subject][2]} against each library: its time per lookup over korvane's"
           " (random / inside), rounds in order, then the least and the median.", ""]
    for name in names:
        if LIBRARIES[name][0] == "korvane":
            continue
        pairs = [(k, c) for k, c in zip(runs[subject], runs[name]) if "error" not in k and "error" not in c]
        if not pairs:
            continue
        ratios = {label: [c[label] / k[label] for k, c in pairs] for label in ("random_ns", "inside_ns")}
        each = ", ".join(f"{r:.2f} / {i:.2f}" for r, i in zip(ratios["random_ns"], ratios["inside_ns"]))
        out.append(f"- {LIBRARIES[name][2]}: {each}; least {min(ratios['random_ns']):.2f} /"
                   f" {min(ratios['inside_ns']):.2f}, median {statistics.median(ratios['random_ns']):.2f} /"
                   f" {statistics.median(ratios['inside_ns']):.2f}")
    return out


def machine_notes(rounds: int) -> list[str]:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = os.getloadavg()
    return [
        f"- Machine: {os.cpu_count()} vCPUs ({cpu}), shared with other work and noisy: load average"
        f" {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f} (1/5/15 min) when the run started."
        " Differences under about 15% are within the noise; compare rows of one run only.",
        f"- Python {platform.python_version()} on {platform.system()} {platform.release()}; one library per fresh"
        " child process, run one after the other"
        + ("." if rounds <= 1 else f", all of them {rounds} times, taking turns (each round starts with the next)."),
    ]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=600_000,
                        help="prefixes in the table, 5/6 IPv4 and 1/6 IPv6 (default 600,000)")
    parser.add_argument("--lookups", type=int, default=300_000, help="addresses per stream (default 300,000)")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs, the best is kept (default 3)")
    parser.add_argument("--rounds", type=int, default=1,
                        help="run every library this many times, in turn, each round starting with the next"
                        " library; rows then give medians, and each competitor's ratio to korvane per round"
                        " (default 1)")
    parser.add_argument("--libs", default=",".join(LIBRARIES), help="comma-separated subset of: " + ", ".join(LIBRARIES))
    parser.add_argument("--out", help="markdown output file (default bench/python_bench.md,"
                        " bench/python_bench.quick.md with --quick)")
    parser.add_argument("--shape", choices=("routing", "uniform"), default="routing",
                        help="routing: shaped like a BGP table (default); uniform: uniformly random prefixes,"
                        " IPv4 /8../32 and IPv6 /16../128")
    parser.add_argument("--quick", action="store_true", help="a small smoke run (12,000 prefixes, 20,000 lookups, 1 run)")
    parser.add_argument("--one", help=argparse.SUPPRESS)
    parser.add_argument("--data", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.one:
        print(json.dumps(run_one(args)))
        return 0

    if args.quick:
        args.size, args.lookups, args.repeat = 12_000, 20_000, 1
    if args.out is None:
        stem = "python_bench" + ("" if args.shape == "routing" else "." + args.shape)
        args.out = os.path.join(HERE, stem + (".quick.md" if args.quick else ".md"))
    names = [n.strip() for n in args.libs.split(",") if n.strip()]
    unknown = [n for n in names if n not in LIBRARIES]
    if unknown:
        parser.error(f"unknown libraries: {', '.join(unknown)}")

    notes = machine_notes(args.rounds)
    v6_count = args.size // 6
    v4_count = args.size - v6_count
    start = time.perf_counter()
    rows = (make_table if args.shape == "routing" else make_uniform_table)(v4_count, v6_count, SEED)
    random_stream, repeat_stream, inside_stream = make_streams(rows, args.lookups, SEED)
    print(f"table of {len(rows):,} prefixes and two streams of {args.lookups:,} addresses generated in"
          f" {time.perf_counter() - start:.1f} s", file=sys.stderr)

    results = []
    with tempfile.TemporaryDirectory(prefix="korvane-bench-") as data:
        with open(os.path.join(data, "table.txt"), "w", encoding="ascii") as f:
            f.write("\n".join(f"{c} {o} {k}" for c, o, k in rows))
        for label, stream in (("random", random_stream), ("repeat", repeat_stream), ("inside", inside_stream)):
            with open(os.path.join(data, f"{label}.txt"), "w", encoding="ascii") as f:
                f.write("\n".join(stream))
        distinct_random, distinct_repeat = len(set(random_stream)), len(set(repeat_stream))
        del rows, random_stream, repeat_stream, inside_stream
        # The host drifts over minutes: rounds take turns, so that every
        # library meets every phase of a run alike.
        runs: dict[str, list[dict]] = {name: [] for name in names}
        for round_number in range(max(1, args.rounds)):
            shift = round_number % len(names)
            for name in names[shift:] + names[:shift]:
                print(f"running {name} (round {round_number + 1}) ...", file=sys.stderr, flush=True)
                command = [sys.executable, os.path.abspath(__file__), "--one", name, "--data", data,
                           "--repeat", str(args.repeat)]
                child = subprocess.run(command, capture_output=True, text=True, timeout=1800,
                                       cwd=tempfile.gettempdir())
                if child.returncode != 0:
                    tail = (child.stderr.strip().splitlines() or ["?"])[-1]
                    runs[name].append({"name": name, "error": f"child failed ({child.returncode}): {tail}"})
                else:
                    runs[name].append(json.loads(child.stdout.strip().splitlines()[-1]))
                print(f"  {json.dumps(runs[name][-1])}", file=sys.stderr, flush=True)
        results = [median_of_rounds(runs[name]) for name in names]

    reference = next((r["check"] for r in results if "check" in r), None)
    lines = [
        "# Korvane against Python IP lookup libraries",
        "",
        f"Run {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} with `bench/python_bench.py --size {args.size}"
        f" --lookups {args.lookups} --repeat {args.repeat}"
        + ("" if args.rounds <= 1 else f" --rounds {args.rounds}")
        + ("" if args.shape == "routing" else f" --shape {args.shape}") + "`.",
        "",
        *notes,
        f"- Table: {v4_count:,} IPv4 + {v6_count:,} IPv6 prefixes "
        + ("shaped like a BGP table (mostly /24 and /48, nested under shorter prefixes)" if args.shape == "routing"
           else "drawn uniformly (IPv4 /8../32, IPv6 /16../128, lengths and bits uniform)")
        + ", the same for every library; each prefix stores"
        ' {"value": origin AS, "attributes": {"country": code}}.',
        f"- Random stream: {args.lookups:,} addresses ({distinct_random:,} distinct), 5/6 uniform IPv4,"
        " 1/6 IPv6 inside table prefixes. Stream with repeats: as many addresses drawn from a pool of 20,000"
        f" with Zipf-like weights 1/rank^1.1 ({distinct_repeat:,} distinct). Inside stream: as many addresses"
        " inside uniformly chosen stored prefixes of both families.",
        "- lookup_many (korvane only): ns per address of one `lookup_many` call over the whole stream,"
        f" and of calls over slices of {MANY_SLICE:,} addresses, building and freeing the lists of results"
        " included.",
        "- Lookup: ns per call in a plain Python loop (loop overhead included), best of"
        f" {args.repeat}" + ("" if args.rounds <= 1 else f", the median over {args.rounds} rounds taking turns")
        + ". Load: seconds to insert the whole table into a new structure, building each value"
        " dict included, best of the same number of loads. Memory: VmRSS growth of the child process from"
        " before the first load to after it (the stored value objects included), and per prefix.",
        "- Families: pytricia needs one PyTricia(32) and one PyTricia(128) (one 128-bit tree would match IPv4"
        " prefixes against IPv6 addresses); the tree is picked per call by looking for ':'. korvane, py-radix"
        " and SubnetTree hold both families in one object.",
        "",
        "| Library / construction | version | random: ns/lookup | repeats: ns/lookup | inside: ns/lookup |"
        " lookup_many random / repeats / inside: ns | the same in slices: ns | load: s (us/prefix) |"
        " memory: MiB (bytes/prefix) | answers |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    for r in results:
        label = LIBRARIES[r["name"]][2]
        if "error" in r:
            lines.append(f"| {label} | | | | | | | | | skipped: {r['error']} |")
            continue
        delta = r["rss_after_kib"] - r["rss_before_kib"]
        many, slices = (" / ".join(f"{r[key][k]:,.0f}" for k in ("random", "repeat", "inside")) if r[key] else ""
                        for key in ("many_ns", "slices_ns"))
        agree = "same as first row" if r["check"] == reference else f"DIFFER: {r['check']}"
        if r["check"] is reference:
            checked = min(20_000, r["lookups"])
            agree = (f"{r['check']['random']['matched']:,}/{checked:,} random,"
                     f" {r['check']['repeat']['matched']:,}/{checked:,} repeated and"
                     f" {r['check']['inside']['matched']:,}/{checked:,} inside addresses matched")
        if r["stored"] != r["prefixes"]:
            agree += f"; holds {r['stored']:,} prefixes, not {r['prefixes']:,}"
        lines.append(
            f"| {label} | {r['version']} | {r['random_ns']:,.0f} | {r['repeat_ns']:,.0f} | {r['inside_ns']:,.0f} |"
            f" {many} | {slices} |"
            f" {r['load_s']:.2f} ({r['load_s'] * 1e6 / r['prefixes']:.2f}) |"
            f" {delta / 1024:,.1f} ({delta * 1024 / r['prefixes']:,.0f}) | {agree} |")
    lines += round_ratios(names, runs)
    markdown = "\n".join(lines) + "\n"
    print(markdown)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w", encoding="utf-8") as f:
        f.write(markdown)
    print(f"written to {args.out}", file=sys.stderr)
    return 0 if all("error" not in r for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
