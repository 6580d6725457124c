"""One RadixEngine shared by 8 Python threads doing mixed operations.

  threads_soak.py [--seconds S] [--threads N] [--variant NAME ...]

For each construction (default: none standard lockfree adaptive) the threads
run insert / remove / lookup / contains / clear / stats / len for S seconds
(default 30, shared evenly by the constructions) with a tiny switch interval.
Checked while they run:

* every lookup result names (in its value) a prefix that covers the looked-up
  address, its attributes belong to that same prefix (no torn or foreign
  record), and it is at least as specific as the longest "backbone" prefix
  covering the address whenever no clear could have removed the backbone
  during the call (backbone prefixes are only removed by clear, which
  re-inserts them; an epoch counter brackets that);
* contains() is True for addresses under the backbone, under the same rule;
* stats(): hits + misses == lookups, size <= the number of possible
  prefixes, and the counters a thread observes never decrease.

After the threads join, a single thread scans every prefix any thread could
have inserted (remove() answers whether it was present) and the count must
equal len() taken just before; afterwards len() is 0 and lookups miss.
Exit status 1 on any violation.
"""

import argparse
import ipaddress
import random
import sys
import threading
import time

import korvane

VARIANTS = {"none": None, "standard": "standard", "lockfree": "lockfree", "adaptive": "adaptive"}

# Backbone: never removed except by clear (which puts it back).
BACKBONE = ["10.0.0.0/8", "10.128.0.0/9", "2001:db8::/32", "0.0.0.0/1"]


def universe(threads):
    """Every prefix a thread may insert: its own and a pool shared by all."""
    own = {t: [] for t in range(threads)}
    for t in range(threads):
        for i in range(48):
            own[t].append(f"10.{t}.{i}.0/24")
            own[t].append(f"10.{t}.{i}.{(i % 4) * 64}/26")
            own[t].append(f"2001:db8:{t:x}:{i:x}::/64")
    shared = [f"10.200.{i}.0/24" for i in range(32)] + [f"10.200.{i}.128/25" for i in range(32)]
    shared += ["10.200.0.0/16", "10.0.0.0/12", "2001:db8::/40", "2001:db8:0:0:8000::/65", "::/0", "0.0.0.0/0"]
    shared += [f"2001:db8:{t:x}::/48" for t in range(threads)]
    return own, shared


def record(prefix):
    return {"value": prefix, "attributes": {"prefix": prefix, "len": prefix.rsplit("/", 1)[1]}}


class Soak:
    def __init__(self, variant, threads, seconds):
        self.variant = variant
        self.engine = korvane.RadixEngine(variant)
        self.threads = threads
        self.seconds = seconds
        self.own, self.shared = universe(threads)
        self.all_prefixes = sorted({p for ps in self.own.values() for p in ps} | set(self.shared) | set(BACKBONE))
        self.networks = {p: ipaddress.ip_network(p) for p in self.all_prefixes}
        self.backbone = [ipaddress.ip_network(p) for p in BACKBONE]
        self.epoch = 0  # odd while a clear is re-inserting the backbone
        self.clear_lock = threading.Lock()
        self.failures = []
        self.counts = {}
        self.stop = threading.Event()

    def fail(self, *what):
        if len(self.failures) < 20:
            self.failures.append(what)
        self.stop.set()

    def probe_address(self, rng):
        kind = rng.randrange(5)
        if kind == 0:
            return f"10.{rng.randrange(self.threads + 2)}.{rng.randrange(50)}.{rng.randrange(256)}"
        if kind == 1:
            return f"10.200.{rng.randrange(34)}.{rng.randrange(256)}"
        if kind == 2:
            return f"2001:db8:{rng.randrange(self.threads + 1):x}:{rng.randrange(50):x}::{rng.randrange(1 << 16):x}"
        if kind == 3:
            return f"{rng.randrange(256)}.{rng.randrange(256)}.{rng.randrange(256)}.{rng.randrange(256)}"
        return str(ipaddress.IPv6Address(rng.getrandbits(128)))

    def check_lookup(self, address, found, epoch_before):
        ip = ipaddress.ip_address(address)
        backbone_floor = max((n.prefixlen for n in self.backbone if ip in n), default=None)
        stable = epoch_before == self.epoch and epoch_before % 2 == 0
        if found is None:
            if stable and backbone_floor is not None:
                self.fail("miss under the backbone", address)
            return
        value = found.get("value")
        if value not in self.networks:
            self.fail("unknown value", address, found)
            return
        if found["attributes"] != record(value)["attributes"]:
            self.fail("torn or foreign record", address, found)
        network = self.networks[value]
        if ip not in network:
            self.fail("result does not cover the address", address, found)
        if stable and backbone_floor is not None and network.prefixlen < backbone_floor:
            self.fail("less specific than a stored backbone prefix", address, found)

    def clear_and_restore(self):
        with self.clear_lock:
            self.epoch += 1
            self.engine.clear()
            for prefix in BACKBONE:
                self.engine.insert(prefix, record(prefix))
            self.epoch += 1

    def worker(self, t, barrier):
        rng = random.Random(t * 7919 + 1)
        engine = self.engine
        mine, shared = self.own[t], self.shared
        seen = {"inserts": 0, "lookups": 0, "removals": 0}
        ops = 0
        barrier.wait()
        deadline = time.monotonic() + self.seconds
        while not self.stop.is_set() and time.monotonic() < deadline:
            op = rng.randrange(100)
            try:
                if op < 25:
                    prefix = rng.choice(mine if rng.randrange(3) else shared)
                    engine.insert(prefix, record(prefix))
                elif op < 40:
                    prefix = rng.choice(mine if rng.randrange(3) else shared)
                    if not isinstance(engine.remove(prefix), bool):
                        self.fail("remove result not a bool", prefix)
                elif op < 80:
                    address = self.probe_address(rng)
                    epoch = self.epoch
                    self.check_lookup(address, engine.lookup(address), epoch)
                elif op < 90:
                    address = self.probe_address(rng)
                    epoch = self.epoch
                    found = engine.contains(address)
                    ip = ipaddress.ip_address(address)
                    if (not found and epoch == self.epoch and epoch % 2 == 0
                            and any(ip in n for n in self.backbone)):
                        self.fail("contains False under the backbone", address)
                elif op < 96:
                    stats = engine.stats()
                    if stats["hits"] + stats["misses"] != stats["lookups"]:
                        self.fail("hits + misses != lookups", stats)
                    if stats["size"] > len(self.all_prefixes):
                        self.fail("size beyond every possible prefix", stats)
                    for name in seen:
                        if stats[name] < seen[name]:
                            self.fail("counter went down", name, seen[name], stats)
                        seen[name] = stats[name]
                elif op < 99:
                    size = len(engine)
                    if not 0 <= size <= len(self.all_prefixes) or repr(engine) == "":
                        self.fail("len out of range", size)
                elif rng.randrange(20) == 0:
                    self.clear_and_restore()
            except Exception as e:  # noqa: BLE001 - any exception is a failure here
                self.fail("exception", repr(e))
            ops += 1
        self.counts[t] = ops

    def run(self):
        for prefix in BACKBONE:
            self.engine.insert(prefix, record(prefix))
        barrier = threading.Barrier(self.threads)
        workers = [threading.Thread(target=self.worker, args=(t, barrier)) for t in range(self.threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

        # Final single-threaded scan.
        size = len(self.engine)
        stats = self.engine.stats()
        found = sum(1 for p in self.all_prefixes if self.engine.remove(p))
        after = len(self.engine)
        leftovers = [a for a in ("10.1.2.3", "10.200.5.5", "2001:db8::1", "8.8.8.8", "::1")
                     if self.engine.lookup(a) is not None]
        if found != size:
            self.fail("len() differs from the final scan", size, found)
        if stats["size"] != size:
            self.fail("stats size differs from len()", stats["size"], size)
        if after != 0 or leftovers:
            self.fail("entries left after removing every possible prefix", after, leftovers)
        return size, found, stats


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=30.0, help="total, shared by the constructions")
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--variant", action="append", choices=sorted(VARIANTS))
    args = parser.parse_args()
    names = args.variant or ["none", "standard", "lockfree", "adaptive"]
    per = args.seconds / len(names)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    ok = True
    try:
        for name in names:
            soak = Soak(VARIANTS[name], args.threads, per)
            start = time.monotonic()
            size, found, stats = soak.run()
            ops = sum(soak.counts.values())
            print(f"{name:9} {time.monotonic() - start:5.1f}s {args.threads} threads {ops} calls "
                  f"({', '.join(str(soak.counts[t]) for t in sorted(soak.counts))}); final len {size}, "
                  f"scan found {found}; stats {stats}; {'OK' if not soak.failures else 'FAILED'}")
            for failure in soak.failures:
                print("   ", failure)
            ok &= not soak.failures
    finally:
        sys.setswitchinterval(old)
    print("OK" if ok else "FAILED")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
