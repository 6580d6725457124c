#!/usr/bin/env python3
"""Two processes sharing one prefix table through Redis.

Each process has its own ``korvane.HybridEngine`` on the same Redis server.
The parent inserts 198.51.100.0/24 and then removes it; the child, which
never changes that prefix itself, sees both changes arrive.

Run:  .venv/bin/python examples/shared_table.py [redis://host:port]

Without a URL the script starts a private redis-server on a free loopback
port and stops it at the end. On a server of your own it changes only the
entry 198.51.100.0/24 of the hash korvane:entries.
"""

import contextlib
import multiprocessing
import socket
import subprocess
import sys
import tempfile
import time

from korvane import HybridEngine

PREFIX, ADDRESS = "198.51.100.0/24", "198.51.100.7"
RECORD = {"value": "lab", "attributes": {"site": "berlin"}}


def wait_for(engine, address, expected, seconds=5.0):
    """The engine's answer for the address once it is `expected` (or when
    `seconds` have passed)."""
    deadline = time.monotonic() + seconds
    while (answer := engine.lookup(address)) != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return answer


def child(url, ready, seen):
    engine = HybridEngine(url)
    ready.set()
    inserted = wait_for(engine, ADDRESS, RECORD)
    print(f"child:  {ADDRESS} -> {inserted}")
    seen.set()
    removed = wait_for(engine, ADDRESS, None)
    print(f"child:  {ADDRESS} -> {removed}")
    sys.exit(0 if (inserted, removed) == (RECORD, None) else 1)


@contextlib.contextmanager
def private_redis_server():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with tempfile.TemporaryDirectory() as directory:
        server = subprocess.Popen(["redis-server", "--bind", "127.0.0.1", "--port", str(port), "--save", "",
                                   "--appendonly", "no", "--dir", directory], stdout=subprocess.DEVNULL)
        try:
            for _ in range(500):
                with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1):
                    break
                time.sleep(0.01)
            yield f"redis://127.0.0.1:{port}"
        finally:
            server.terminate()
            server.wait()


def main():
    given = sys.argv[1] if len(sys.argv) > 1 else None
    with contextlib.nullcontext(given) if given else private_redis_server() as url:
        print(f"Redis server: {url}")
        engine = HybridEngine(url)  # ConnectionError when the server cannot be reached
        spawn = multiprocessing.get_context("spawn")  # the child makes its own engine
        ready, seen = spawn.Event(), spawn.Event()
        process = spawn.Process(target=child, args=(url, ready, seen))
        process.start()
        if not ready.wait(30):
            process.kill()
            sys.exit("the child's engine was not made")
        engine.insert(PREFIX, RECORD)
        print(f"parent: inserted {PREFIX}")
        seen.wait(30)
        engine.remove(PREFIX)
        print(f"parent: removed {PREFIX}")
        process.join(30)
        if process.exitcode != 0:
            process.kill()
            sys.exit(f"the child did not see both changes (exit code {process.exitcode})")


if __name__ == "__main__":
    main()
