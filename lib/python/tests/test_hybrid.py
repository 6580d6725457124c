"""HybridEngine: RadixEngine's behaviour without a server; write-through,
sharing between processes and failures against a private redis-server."""

import contextlib
import copy
import multiprocessing
import pickle
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import korvane
from korvane import HybridEngine

TEN = {"value": "ten", "attributes": {"asn": "AS1"}}
SIX = {"value": "six", "attributes": {}}

OPERATIONS = [
    lambda e: [e.insert(*item) for item in [("10.0.0.0/8", TEN), ("10.1.0.0/16", {}), ("2001:db8::/32", SIX)]],
    lambda e: e.insert("10.9.9.9/8", TEN),  # host bits: the same entry as 10.0.0.0/8
    lambda e: (e.lookup("10.1.2.3"), e.lookup_many(["10.2.0.1", "11.0.0.1", "2001:db8::1"]), e.contains("11.0.0.1")),
    lambda e: (e.remove("10.1.0.0/16"), e.remove("10.1.0.0/16"), e.lookup("10.1.2.3")),
    lambda e: (list(e.items()), list(e.prefixes()), len(e), bool(e), repr(e).split("(")[1], e.stats()),
    lambda e: (e.clear(), len(e), e.lookup("10.1.2.3"), e.stats()),
]


@pytest.mark.parametrize("variant", [None, "standard", "lockfree", "adaptive"])
def test_without_server_answers_and_counts_like_an_uncached_radix_engine(variant):
    hybrid, radix = HybridEngine(variant=variant), korvane.RadixEngine()
    assert [op(hybrid) for op in OPERATIONS] == [op(radix) for op in OPERATIONS]
    assert repr(hybrid) == "HybridEngine(size=0)"


def test_methods_errors_and_pickling():
    public = [(n, getattr(korvane.RadixEngine, n).__doc__) for n in vars(korvane.RadixEngine) if n[0] != "_"]
    assert [(n, getattr(HybridEngine, n).__doc__) for n in vars(HybridEngine) if n[0] != "_"] == public
    for call in (lambda e: e.insert("10.0.0.0/8"), lambda e: e.lookup_many(["10.0.0.1", 5])):
        raised = []
        for engine in (korvane.RadixEngine(), HybridEngine()):
            with pytest.raises(Exception) as info:
                call(engine)
            raised.append((type(info.value), str(info.value), getattr(info.value, "__notes__", None)))
        assert raised[1] == (raised[0][0], raised[0][1].replace("RadixEngine", "HybridEngine"), raised[0][2])
    with pytest.raises(TypeError, match="^'int' object is not an instance of 'str'") as info:
        HybridEngine(update_channel=1)
    assert info.value.__notes__ == ["while processing 'update_channel'"]
    for clone in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="^cannot pickle 'HybridEngine' object: it is tied to its Redis server"):
            clone(HybridEngine())


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def eventually(probe, expected, seconds=5.0):
    """probe()'s answer once it is `expected`, or after `seconds` (a bound, not a speed requirement)."""
    deadline = time.monotonic() + seconds
    while (answer := probe()) != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return answer


def answers_ping(port):
    """Whether a Redis server answers on the port. A bare connect is not
    enough: with nothing listening, a connection can meet itself when the
    kernel gives it the port it dials, and would echo the PING back."""
    with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1) as connection:
        connection.sendall(b"PING\r\n")
        return connection.recv(7) == b"+PONG\r\n"
    return False


def start_redis_server(directory):
    """A redis-server on a free loopback port, answering; its Popen with `url` set.
    The port can be taken between choosing and binding it (by another test's
    server, or as some connection's local port): such a start is tried again
    on a fresh port."""
    for _attempt in range(5):
        port = free_port()
        server = subprocess.Popen(["redis-server", "--bind", "127.0.0.1", "--port", str(port), "--save", "",
                                   "--appendonly", "no", "--dir", directory],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # a pipe kept open would hang the run
        for _ in range(500):
            if server.poll() is not None:
                break
            if answers_ping(port):
                server.url = f"redis://127.0.0.1:{port}"
                return server
            time.sleep(0.02)
        else:
            server.kill()
            server.wait()
            pytest.fail("redis-server did not answer within 10 s")
    pytest.fail("redis-server exited at start")


@pytest.fixture
def redis_server():
    """A private redis-server on a free loopback port, without persistence:
    its Popen with `url` set. Stopped afterwards."""
    with tempfile.TemporaryDirectory() as directory:
        server = start_redis_server(directory)
        try:
            yield server
        finally:
            server.kill()
            server.wait()


def peer(url, connection):
    """The other process: reports what it sees and makes its own changes."""
    engine = HybridEngine(url)
    connection.send("ready")
    connection.send(eventually(lambda: engine.lookup("10.1.2.3"), TEN))
    engine.insert("2001:db8::/32", SIX)
    connection.send(eventually(lambda: engine.lookup("10.1.2.3"), None))
    engine.clear()
    engine.insert("192.0.2.0/24", SIX)
    connection.send(len(engine))


def test_two_processes_share_inserts_and_removes_but_not_clear(redis_server):
    here = HybridEngine(redis_server.url)
    connection, other_end = multiprocessing.Pipe()
    process = multiprocessing.get_context("spawn").Process(target=peer, args=(redis_server.url, other_end))
    process.start()
    try:
        answer = lambda: connection.recv() if connection.poll(30) else pytest.fail("no answer")  # noqa: E731
        assert answer() == "ready"
        here.insert("10.0.0.0/8", TEN)
        assert answer() == TEN
        assert eventually(lambda: here.lookup("2001:db8::1"), SIX) == SIX
        assert here.remove("10.0.0.0/8") is True
        assert answer() is None
        # The other engine's clear publishes nothing: once its next insert
        # has arrived here, this engine still holds what the clear dropped.
        assert answer() == 1 and eventually(lambda: here.lookup("192.0.2.1"), SIX) == SIX
        assert here.lookup("2001:db8::1") == SIX
        process.join(30)
        assert process.exitcode == 0
    finally:
        process.kill()


def test_writes_waiting_on_the_server_let_other_threads_run(redis_server):
    engine = HybridEngine(redis_server.url)
    started = threading.Event()

    def write():
        started.set()
        engine.insert("10.0.0.0/8", TEN)  # waits on the frozen server

    # With a long switch interval only a blocking call that gives up the
    # interpreter lock lets this thread run while the writer lives.
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(30)
    redis_server.send_signal(signal.SIGSTOP)
    try:
        writer = threading.Thread(target=write)
        writer.start()
        started.wait()
        assert writer.is_alive()
    finally:
        sys.setswitchinterval(old_interval)
        redis_server.send_signal(signal.SIGCONT)
    writer.join()
    assert engine.lookup("10.1.2.3") == TEN


def test_absent_server_raises_connection_error():
    with pytest.raises(ConnectionError, match='^Failed to initialize HybridEngine: "Redis error: .*"$'):
        HybridEngine("redis://127.0.0.1:1")  # nothing listens there (a privileged port no test takes)


DAEMON_WRITERS = """
import sys, threading
from korvane import HybridEngine
engine = HybridEngine(sys.argv[1])
written = threading.Semaphore(0)
def write(n):
    while True:
        engine.insert(f"10.{n}.0.0/16", {"value": "x"})
        engine.remove(f"10.{n}.0.0/16")
        written.release()
for n in range(3):
    threading.Thread(target=write, args=(n,), daemon=True).start()
for _ in range(100):
    written.acquire()  # exits while the writers are at it
"""


def test_daemon_threads_writing_through_at_exit_let_the_process_end_normally(redis_server):
    # The interpreter ends a daemon thread when it takes the lock back from a
    # write during shutdown; that must not abort the process.
    for _ in range(3):
        result = subprocess.run([sys.executable, "-c", DAEMON_WRITERS, redis_server.url], capture_output=True,
                                timeout=60)
        assert (result.returncode, result.stderr) == (0, b"")
