"""One engine shared by several threads; reference and memory balance."""

import gc
import ipaddress
import random
import sys
import threading
import tracemalloc

import pytest

import korvane

THREADS, PER_THREAD = 4, 300


def test_threads_share_one_engine(variant):
    engine = korvane.RadixEngine(variant)
    engine.insert("10.0.0.0/8", {"value": "10.0.0.0/8"})  # covers every thread's prefixes
    failures = []
    barrier = threading.Barrier(THREADS)

    def worker(t):
        rng = random.Random(t)
        barrier.wait()
        for i in range(PER_THREAD):
            # Thread t owns 10.t.x.y/24 and, nested in them, some /28s.
            prefix = f"10.{t}.{i // 4}.{(i % 4) * 64}/{24 if i % 4 == 0 else 28}"
            engine.insert(prefix, {"value": prefix, "attributes": {"thread": str(t)}})
            probe = f"10.{rng.randrange(THREADS + 1)}.{rng.randrange(80)}.{rng.randrange(256)}"
            found = engine.lookup(probe)
            if found is None or ipaddress.ip_address(probe) not in ipaddress.ip_network(found["value"]):
                failures.append((probe, found))

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # force frequent thread switches
    try:
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old_interval)

    assert failures == []
    assert len(engine) == 1 + THREADS * PER_THREAD
    for t in range(THREADS):
        for i in range(PER_THREAD):
            net, offset = f"10.{t}.{i // 4}", (i % 4) * 64
            assert engine.lookup(f"{net}.{offset + 1}")["value"] == (f"{net}.{offset}/28" if offset else f"{net}.0/24")
            assert engine.lookup(f"{net}.{offset + 20}")["value"] == f"{net}.0/24"
    stats = engine.stats()
    assert stats["inserts"] == 1 + THREADS * PER_THREAD and stats["hits"] == stats["lookups"]


def traced_growth(work, under, settle=lambda: None, windows=3):
    """Bytes the Python allocator holds after `work` beyond what it held
    before (after `settle`, traced too), each followed by a collection: the
    first under `under` of up to `windows` runs of `work`, else the least.
    A leak grows in every run; the interpreter's own one-off growth (a free
    list filling, an internal table resizing) in one only."""
    gc.collect()
    tracemalloc.start()
    try:
        settle()
        least = None
        for _ in range(windows):
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            work()
            gc.collect()
            growth = tracemalloc.get_traced_memory()[0] - before
            least = growth if least is None else min(least, growth)
            if least < under:
                break
        return least
    finally:
        tracemalloc.stop()


def test_no_leaks(variant):
    engine = korvane.RadixEngine(variant)
    value, key, attr = "value-" + "x" * 50, "key-" + "y" * 50, "attr-" + "z" * 50
    attributes = {key: attr}
    metadata = {"value": value, "attributes": attributes}
    watched = [metadata, attributes, value, key, attr]

    def cycle(n):
        for i in range(n):
            engine.insert("10.0.0.0/8", metadata)
            engine.insert("2001:db8::/32", metadata)
            assert engine.lookup("10.1.2.3")["attributes"][key] == attr
            assert engine.lookup(f"10.1.2.{i % 256}") == metadata
            assert engine.contains("2001:db8::1")
            engine.stats(), len(engine), repr(engine)
            for bad in (lambda: engine.insert("bad", metadata), lambda: engine.lookup(5),
                        lambda: engine.insert("10.0.0.0/8", {"value": 1}), lambda: engine.remove()):
                try:
                    bad()
                except (TypeError, ValueError):
                    pass
            assert engine.remove("10.0.0.0/8") and engine.remove("2001:db8::/32")

    cycle(500)  # warm up: caches, interned strings, UTF-8 buffers
    refcounts = [sys.getrefcount(o) for o in watched]
    growth = traced_growth(lambda: cycle(5000), 16 * 1024, settle=lambda: cycle(200))
    assert [sys.getrefcount(o) for o in watched] == refcounts
    assert growth < 16 * 1024, growth  # a leaked object per iteration would be far above this


def test_attribute_names_go_with_their_engine(variant):
    # Names come from the table's data: a lookup's result must not keep its
    # attribute names alive once the engine and the results are gone.
    def load_and_look_up(first):
        engine = korvane.RadixEngine(variant)
        for i in range(4000):
            engine.insert(f"10.{i >> 8}.{i & 255}.0/24", {"value": "v", "attributes": {f"name-{first + i}": "x"}})
            assert engine.lookup(f"10.{i >> 8}.{i & 255}.1")["attributes"] == {f"name-{first + i}": "x"}

    load_and_look_up(0)
    growth = traced_growth(lambda: load_and_look_up(100_000), 64 * 1024)
    assert growth < 64 * 1024, growth  # 4000 names kept would be about 300 KB


@pytest.mark.parametrize("let_go", ["remove", "clear", "replace"])
@pytest.mark.parametrize("weight", ["long texts", "many attributes"])
def test_records_let_go_are_not_kept_for_later_results(variant, let_go, weight):
    # Results share the Python objects of records answered often; once the
    # engine lets a record go, those objects must go too, or (a record
    # replaced by an insert) be too few to matter until their place is
    # reused.
    engine = korvane.RadixEngine(variant)
    let_go_of = {"remove": lambda: engine.remove("10.0.0.0/8"), "clear": engine.clear,
                 "replace": lambda: engine.insert("10.0.0.0/8", {"value": "small"})}[let_go]
    heavy = ({"value": "v" * (4 << 20), "attributes": {"a": "b" * (4 << 20)}} if weight == "long texts" else
             {"value": "", "attributes": {f"{i:03x}": "" for i in range(1365)}})  # 4 KB of text

    def work():
        engine.insert("10.0.0.0/8", heavy)
        for _ in range(3):
            assert engine.lookup("10.1.2.3") == heavy
        let_go_of()

    # One window: a second insert of the same record would find it still in
    # the engine's pool while its objects are kept, and keep nothing more.
    growth = traced_growth(work, 64 << 10, windows=1)
    assert growth < 64 << 10, growth  # the record's objects alone are 8 MiB, or about 80 KiB
