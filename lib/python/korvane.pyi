"""Korvane — high-performance IP subnet longest-prefix matching engine."""

from collections.abc import Iterable, Iterator
from typing import TypedDict, final, type_check_only

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

@final
class RadixEngine:
    """High-performance IP radix-tree engine."""

    def __new__(cls, variant: str | None = None) -> RadixEngine: ...
    def insert(self, subnet: str, metadata: _Metadata) -> None: ...
    def lookup(self, ip: str) -> _Metadata | None: ...
    # One result per address, in order, as lookup() gives it. A malformed
    # item raises lookup()'s error with a note naming its position, and no
    # lookup runs.
    def lookup_many(self, addresses: Iterable[str]) -> list[_Metadata | None]: ...
    def remove(self, subnet: str) -> bool: ...
    def contains(self, ip: str) -> bool: ...
    def clear(self) -> None: ...
    # Every stored prefix (canonical text) with its record: IPv4 before IPv6,
    # then by address, then by length. Beside writers, a prefix stored
    # throughout appears exactly once.
    def items(self) -> Iterator[tuple[str, _Metadata]]: ...
    def prefixes(self) -> Iterator[str]: ...
    # pickle and copy.deepcopy keep the variant and every prefix with its
    # record; the counters start again at 0 in the copy.
    def __reduce__(self) -> tuple[object, tuple[str | None, tuple[int, list[tuple[str, str, dict[str, str]]]]]]: ...
    def __setstate__(self, state: tuple[int, list[tuple[str, str, dict[str, str]]]], /) -> None: ...
    def stats(self) -> _Stats: ...
    def __len__(self) -> int: ...

def version() -> str: ...
