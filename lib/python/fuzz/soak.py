"""Memory soak of the korvane module: RSS, valgrind and reference counts.

  soak.py rss [--iterations N]        long insert/lookup/remove loop per
                                      construction; VmRSS sampled at intervals
                                      must stay flat after warm-up; then
                                      engines with many prefixes are built and
                                      dropped repeatedly, RSS must come back
  soak.py refcounts                   sys.getrefcount of metadata dicts, their
                                      strings, arguments, objects rejected by
                                      failing calls and the RadixEngine type
                                      before and after many calls
  soak.py valgrind [--iterations N]   runs `loop` under valgrind memcheck with
                                      PYTHONMALLOC=malloc twice, with N/10 and
                                      N iterations, and reports the "definitely
                                      lost" blocks, those whose stack passes
                                      through the korvane module apart; a leak
                                      per call shows as growth from the first
                                      run to the second
  soak.py loop [--iterations N]       the plain loop (what valgrind runs)

Exit status 1 when a check fails. Numbers are printed for the record.
"""

import argparse
import gc
import os
import re
import subprocess
import sys
import time

import korvane

CONSTRUCTIONS = [None, "standard", "lockfree", "adaptive"]

PREFIXES = [
    ("10.0.0.0/8", "10.1.2.3"),
    ("10.1.0.0/16", "10.1.200.4"),
    ("192.168.1.0/24", "192.168.1.77"),
    ("172.16.0.0/12", "172.20.0.1"),
    ("0.0.0.0/0", "8.8.8.8"),
    ("198.51.100.7/32", "198.51.100.7"),
    ("2001:db8::/32", "2001:db8:ffff::1"),
    ("2001:db8:1::/48", "2001:db8:1::42"),
    ("::/0", "fe80::1"),
    ("2001:db8::1/128", "2001:db8::1"),
]


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def metadata_for(i):
    return {"value": f"value-{i % 97}", "attributes": {"asn": f"AS{i % 13}", "note": "x" * (i % 40)}}


def churn(engine, iterations, samples=None, every=0):
    """insert / lookup / contains / remove of the same prefixes, plus lookups
    of many distinct addresses (they fill and then cycle the lookup cache)."""
    records = [metadata_for(i) for i in range(len(PREFIXES))]
    n = len(PREFIXES)
    for i in range(iterations):
        subnet, address = PREFIXES[i % n]
        engine.insert(subnet, records[i % n])
        found = engine.lookup(address)
        if found is None or not found["value"].startswith("value-"):
            raise AssertionError(("lost record", subnet, address, found))
        engine.contains(f"10.{(i >> 16) & 255}.{(i >> 8) & 255}.{i & 255}")
        if i % 3 == 0:
            engine.lookup(f"2001:db8::{i & 0xFFFF:x}")
        if not engine.remove(subnet):
            raise AssertionError(("remove failed", subnet))
        if i % 50_000 == 0:
            engine.stats(), len(engine), repr(engine)
            try:
                engine.insert("not a prefix", records[0])
            except ValueError:
                pass
            try:
                engine.insert(subnet, {"value": 5})
            except TypeError:
                pass
        if i % 200_000 == 199_999:
            engine.clear()
        if every and i % every == 0 and samples is not None:
            samples.append(rss_kib())
    if len(engine) != 0:
        raise AssertionError(("entries left", len(engine)))


def cmd_rss(args):
    ok = True
    per = args.iterations
    warm = max(per // 10, 1)
    print(f"RSS series (KiB), {per} iterations per construction after {warm} warm-up iterations")
    for variant in CONSTRUCTIONS:
        engine = korvane.RadixEngine(variant)
        start = time.monotonic()
        churn(engine, warm)
        gc.collect()
        samples = [rss_kib()]
        churn(engine, per, samples, every=per // 10)
        gc.collect()
        samples.append(rss_kib())
        elapsed = time.monotonic() - start
        growth = samples[-1] - samples[0]
        # A leak of even one small object per iteration would be megabytes.
        flat = growth < 2048
        ok &= flat
        print(f"  {variant!s:9} {elapsed:5.1f}s  {' '.join(map(str, samples))}  growth {growth:+d} KiB"
              f"  {'flat' if flat else 'GROWS'}")
        del engine

    # Whole engines: build one with many prefixes, drop it, again and again.
    print("Engines built and dropped (20 rounds of 20000 prefixes each), RSS after each 4 rounds (KiB):")
    for variant in CONSTRUCTIONS:
        samples = []
        for round_ in range(20):
            engine = korvane.RadixEngine(variant)
            for j in range(20_000):
                engine.insert(f"{10 + (j >> 16)}.{(j >> 8) & 255}.{j & 255}.0/24", {"value": "v", "attributes": {"k": "v"}})
                if j % 4 == 0:
                    engine.insert(f"2001:db8:{j:x}::/48", {"value": "w"})
            for j in range(0, 20_000, 7):
                engine.lookup(f"{10 + (j >> 16)}.{(j >> 8) & 255}.{j & 255}.9")
            del engine
            gc.collect()
            if round_ % 4 == 3:
                samples.append(rss_kib())
        growth = samples[-1] - samples[0]
        flat = growth < 4096
        ok &= flat
        print(f"  {variant!s:9} {' '.join(map(str, samples))}  growth {growth:+d} KiB  {'flat' if flat else 'GROWS'}")
    return ok


def cmd_refcounts(_args):
    ok = True
    value = "value-" + "v" * 40
    key, attr = "key-" + "k" * 40, "attr-" + "a" * 40
    attributes = {key: attr}
    metadata = {"value": value, "attributes": attributes, "ignored": [1, 2]}
    subnet, ip = "10.20.0.0/16", "10.20.30.40"
    bad_value = object()
    bad_attr_value = object()
    bad_metadata = object()
    bad_attributes = [key]
    rejected = {"value": bad_value}
    rejected_attrs = {"value": value, "attributes": {key: bad_attr_value}}
    rejected_list = {"value": value, "attributes": bad_attributes}
    watched = {
        "metadata": metadata, "attributes": attributes, "value": value, "key": key, "attr": attr,
        "ignored list": metadata["ignored"], "subnet": subnet, "ip": ip, "bad value": bad_value,
        "bad attr value": bad_attr_value, "bad metadata": bad_metadata, "bad attributes": bad_attributes,
        "rejected": rejected, "RadixEngine type": korvane.RadixEngine,
    }

    def exercise(engine, n):
        for _ in range(n):
            engine.insert(subnet, metadata)
            engine.insert(subnet, metadata)  # replacement
            found = engine.lookup(ip)
            assert found == {"value": value, "attributes": attributes}
            assert engine.contains(ip)
            for call in (lambda: engine.insert(subnet, rejected), lambda: engine.insert(subnet, rejected_attrs),
                         lambda: engine.insert(subnet, rejected_list), lambda: engine.insert(subnet, bad_metadata),
                         lambda: engine.insert(bad_value, metadata), lambda: engine.lookup(bad_value),
                         lambda: engine.remove(bad_metadata), lambda: engine.insert("10.0.0.0/33", metadata),
                         lambda: engine.lookup("\udc80"), lambda: engine.insert(subnet, {"value": "\ud800"})):
                try:
                    call()
                except (TypeError, ValueError):
                    pass
            assert engine.remove(subnet)
            engine.stats(), len(engine), repr(engine)

    print("Reference counts before -> after 10000 rounds (and 2000 engines created/dropped):")
    for variant in CONSTRUCTIONS:
        engine = korvane.RadixEngine(variant)
        exercise(engine, 50)
        gc.collect()
        before = {name: sys.getrefcount(obj) for name, obj in watched.items()}
        exercise(engine, 10_000)
        for _ in range(2000):
            other = korvane.RadixEngine(variant)
            other.insert(subnet, metadata)
            del other
        gc.collect()
        after = {name: sys.getrefcount(obj) for name, obj in watched.items()}
        changed = {n: (before[n], after[n]) for n in watched if before[n] != after[n]}
        ok &= not changed
        print(f"  {variant!s:9} {'unchanged' if not changed else changed}   "
              + ", ".join(f"{n}={before[n]}" for n in ("metadata", "value", "key", "attr", "RadixEngine type")))
        del engine
    return ok


def cmd_loop(args):
    for variant in CONSTRUCTIONS:
        engine = korvane.RadixEngine(variant)
        churn(engine, args.iterations)
        del engine
    print("loop done")
    return True


def valgrind_run(iterations, log):
    """Runs `loop` under memcheck; returns (summary lines, total definitely
    lost bytes, bytes of the definitely-lost records with a korvane frame,
    those records, whether memcheck saw an invalid access)."""
    env = dict(os.environ, PYTHONMALLOC="malloc")
    command = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
               "--num-callers=50", f"--log-file={log}",
               sys.executable, os.path.abspath(__file__), "loop", "--iterations", str(iterations)]
    print("running:", "PYTHONMALLOC=malloc", " ".join(command))
    start = time.monotonic()
    result = subprocess.run(command, env=env, check=False, stdout=subprocess.DEVNULL)
    print(f"  exit status {result.returncode} after {time.monotonic() - start:.0f} s; log {log}")
    with open(log) as f:
        text = f.read()
    summary = [line.split("== ", 1)[-1].strip() for line in text.splitlines()
               if re.search(r"(definitely|indirectly|possibly) lost:|still reachable:|ERROR SUMMARY:", line)]
    # A loss record runs from its "... are definitely lost ..." line to the
    # next empty line; it is ours when one of its frames is in the module.
    records = re.split(r"==\d+== *\n", text)
    ours, ours_bytes, total = [], 0, 0
    for record in records:
        m = re.search(r"([\d,]+) bytes in [\d,]+ blocks are definitely lost", record)
        if not m:
            continue
        size = int(m.group(1).replace(",", ""))
        total += size
        if "korvane" in record:
            ours.append(record.strip())
            ours_bytes += size
    invalid = bool(re.search(r"Invalid (read|write|free)|uninitialised|Mismatched free", text))
    return summary, total, ours_bytes, ours, invalid or result.returncode != 0


def cmd_valgrind(args):
    """Two runs, N/10 and N iterations: a leak per call grows with N."""
    results = {}
    for n in (args.iterations // 10, args.iterations):
        log = os.path.abspath(f"{args.log}.{n}")
        summary, total, ours_bytes, ours, invalid = valgrind_run(n, log)
        results[n] = (total, ours_bytes, invalid)
        for line in summary:
            print("    " + line)
        print(f"  {n} iterations per construction: definitely lost {total} bytes in total, "
              f"{ours_bytes} bytes in {len(ours)} records with a korvane frame; invalid accesses: {invalid}")
        for record in ours[:3]:
            frames = [line.split("== ", 1)[-1].strip() for line in record.splitlines()][:6]
            print("      " + "\n      ".join(frames))
    (small_total, small_ours, small_bad), (big_total, big_ours, big_bad) = results.values()
    ok = not small_bad and not big_bad and big_ours == small_ours and big_total - small_total < 1024
    print(f"growth from {args.iterations // 10} to {args.iterations} iterations: definitely lost "
          f"{big_total - small_total:+d} bytes in total, {big_ours - small_ours:+d} through korvane")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["rss", "refcounts", "valgrind", "loop"])
    parser.add_argument("--iterations", type=int, default=None)
    parser.add_argument("--log", default="valgrind-korvane.log", help="valgrind log prefix")
    args = parser.parse_args()
    defaults = {"rss": 2_000_000, "loop": 20_000, "valgrind": 50_000, "refcounts": 0}
    if args.iterations is None:
        args.iterations = defaults[args.command]
    ok = {"rss": cmd_rss, "refcounts": cmd_refcounts, "valgrind": cmd_valgrind, "loop": cmd_loop}[args.command](args)
    print("OK" if ok else "FAILED")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
