"""Korvane — high-performance IP subnet longest-prefix matching engine."""

from collections.abc import Iterable, Iterator
from typing import Any, NoReturn, TypedDict, final, type_check_only

__all__ = ["RadixEngine", "version"]

# The record stored with a prefix. insert() reads "value" (default "") and
# "attributes" (default {}) and ignores other keys; lookup() returns exactly
# these two keys.
@type_check_only
class _Metadata(TypedDict):
    value: str
    attributes: dict[str, str]

# stats(): operation counters and size, in this key order.
@type_check_only
class _Stats(TypedDict):
    size: int
    inserts: int
    lookups: int
    hits: int
    misses: int
    removals: int

# The methods RadixEngine and HybridEngine share: the same arguments, results
# and errors (the error texts name the class).
@type_check_only
class _Engine:
    # Any dict: both keys may be missing, and other keys are ignored.
    def insert(self, subnet: str, metadata: _Metadata | dict[str, Any]) -> None: ...
    def lookup(self, ip: str) -> _Metadata | None: ...
    # One result per address, in order, as lookup() gives it. A malformed
    # item raises lookup()'s error with a note naming its position, and no
    # lookup runs. A str (or bytes) is refused, not taken as its characters.
    def lookup_many(self, addresses: Iterable[str]) -> list[_Metadata | None]: ...
    def remove(self, subnet: str) -> bool: ...
    def contains(self, ip: str) -> bool: ...
    def clear(self) -> None: ...
    # Every stored prefix (canonical text) with its record: IPv4 before IPv6,
    # then by address, then by length. Beside writers, a prefix stored
    # throughout appears exactly once.
    def items(self) -> Iterator[tuple[str, _Metadata]]: ...
    def prefixes(self) -> Iterator[str]: ...
    def stats(self) -> _Stats: ...
    def __len__(self) -> int: ...

@final
class RadixEngine(_Engine):
    """High-performance IP radix-tree engine."""

    def __new__(cls, variant: str | None = None) -> RadixEngine: ...
    # pickle and copy.deepcopy keep the variant and every prefix with its
    # record; the copy's counters count only the inserts that loaded it.
    def __reduce__(self) -> tuple[object, tuple[str | None, tuple[int, list[tuple[str, str, dict[str, str]]]]]]: ...
    def __setstate__(self, state: tuple[int, list[tuple[str, str, dict[str, str]]]], /) -> None: ...

@final
class HybridEngine(_Engine):
    """IP prefix engine whose entries can be shared through a Redis server.

    It has the methods of ``RadixEngine``; ``variant`` picks the node variant
    as there ("standard", "lockfree", "adaptive"), without the lookup cache.

    Without ``redis_url`` the entries stay in this engine. With one
    (``redis://[user[:password]@]host[:port][/database][?protocol=3]``) the
    engine loads the Redis hash ``korvane:entries`` when it is made, writes
    every insert and remove through to it, and applies the inserts and
    removes of the other engines on that server and ``update_channel``
    shortly after they happen, in this process or another. ``clear`` empties
    this engine only. Redis failures after construction are silent: an
    operation keeps its local result. Inserts and removes wait for the
    server (a few seconds at most) without holding the interpreter lock.
    ``stats`` counts loaded and received changes as inserts and removals.

    Raises ``ConnectionError`` with the text "Failed to initialize
    HybridEngine: ..." when the URL is unusable or the server cannot be
    reached. Pickling and copying raise ``TypeError``. Make the engine in
    the process that uses it: a child forked afterwards must not use it.
    """

    def __new__(
        cls, redis_url: str | None = None, variant: str | None = None, update_channel: str | None = "korvane:updates"
    ) -> HybridEngine: ...
    # Raises TypeError: the engine is tied to its Redis server and process.
    def __reduce__(self) -> NoReturn: ...

def version() -> str: ...
