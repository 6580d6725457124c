"""The ``korvane`` command: annotate a stream of IP addresses with a prefix table.

Installed as a console script with the ``korvane`` distribution. It sits beside
the extension module (``import korvane`` stays the module itself) and uses
only its public ``RadixEngine``.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import ipaddress
import json
import mmap
import os
import select
import socket
import sys
import time
from collections.abc import Iterable, Iterator
from dataclasses import dataclass

from korvane import RadixEngine

PROG = "korvane"

EPILOG = """\
table files:
  CSV or TSV (chosen by the extension .csv, otherwise TSV; or --table-format):
  one prefix per line, then its value, then any number of name=value
  attributes. Blank lines and lines starting with # are skipped.
      10.0.0.0/8,corp,site=hq,owner=netops
      2001:db8::/32<TAB>doc<TAB>cc=de
  A MaxMind DB file (.mmdb) loads when the maxminddb package is installed: the
  value is the field named by --mmdb-value, the attributes every other scalar
  field, named by its dotted path (localised names in English only). IPv6
  addresses the database leads to its IPv4 data (::192.0.2.1, ::ffff:192.0.2.1,
  and 6to4 or Teredo addresses where the database says so) are answered as
  maxminddb answers them.

output:
  tsv   address, value, then name=value attributes sorted by name; "-" (or
        --missing) for an address no prefix covers. Tabs, newlines and
        backslashes inside fields are written as \\t, \\n, \\r and \\\\.
  json  one object per line: {"address": ..., "match": {"value": ...,
        "attributes": {...}} or null}
  With --keep-line the input line comes first (TSV) or as "line" (JSON).
  An address may be written as in logs: [2001:db8::1]:443, 192.0.2.1:443,
  [2001:db8::1] or fe80::1%eth0; the address field shows it bare.

examples:
  korvane -t routes.csv addresses.txt
  tail -f access.log | korvane -t routes.tsv --field 1 --keep-line
  korvane -t GeoLite2-City.mmdb --mmdb-value country.iso_code -f json < ips.txt
  korvane -t routes.csv --field 3 --delimiter , --strict flows.csv

Malformed lines (of the table or the input) are reported on standard error
with their file and line number and skipped; --strict stops at the first one.
The counts are printed on standard error at the end.

exit status: 0 done (skipped lines are reported and counted), 1 a malformed
line under --strict, 2 a usage error or a file that cannot be read or
written, 130 interrupted (the lines answered so far are written).
"""

# Lines handed to RadixEngine.lookup_many at once.
CHUNK = 4096
# Bytes asked of an input at once; a read returns what has arrived, up to this.
READ_SIZE = 1 << 16
# MaxMind DB records kept decoded, the most recent ones.
RECENT_RECORDS = 16384
# Characters of a malformed line's report kept after its file and line number.
LONGEST_REASON = 300
# A load shorter than this shows no progress bar.
PROGRESS_DELAY = 1.0


class Fatal(Exception):
    """Stops the run with a message and an exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


@dataclass
class Counts:
    loaded: int = 0
    replaced: int = 0
    table_malformed: int = 0
    table_skipped: int = 0
    lines: int = 0
    matched: int = 0
    unmatched: int = 0
    malformed: int = 0
    blank: int = 0

    def summary(self) -> str:
        return (
            f"{PROG}: table: {self.loaded} prefixes loaded, {self.replaced} replaced by a later line, "
            f"{self.table_malformed} malformed, {self.table_skipped} blank or comment lines\n"
            f"{PROG}: input: {self.lines} lines, {self.matched} matched, {self.unmatched} unmatched, "
            f"{self.malformed} malformed, {self.blank} blank\n"
        )


class Reporter:
    """Reports malformed lines; under strict the first one is fatal."""

    def __init__(self, strict: bool, stream) -> None:
        self.strict = strict
        self.stream = stream

    def malformed(self, where: str, line: int, why: str) -> None:
        # The reason quotes the line: control characters in it (a NUL, a
        # carriage return, a terminal's escape sequences) are written
        # escaped, as they would otherwise hide or rewrite the report.
        if not why.isprintable():
            why = "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in why)
        if len(why) > LONGEST_REASON:  # it quotes the line, which may be of any length
            why = f"{why[:LONGEST_REASON]}... ({len(why) - LONGEST_REASON} more characters)"
        message = f"{PROG}: {where}:{line}: {why}"
        if self.strict:
            raise Fatal(message, 1)
        self.stream.write(message + "\n")


class Progress:
    """A progress bar on a terminal, drawn only once a load runs long."""

    def __init__(self, stream, total: int | None, enabled: bool) -> None:
        self.stream = stream
        self.total = total
        self.enabled = enabled and stream.isatty()
        self.start = time.monotonic()
        self.drawn = False

    def update(self, done: int, items: int) -> None:
        if not self.enabled or time.monotonic() - self.start < PROGRESS_DELAY:
            return
        if self.total:
            fraction = min(done / self.total, 1.0)
            bar = "#" * int(fraction * 30)
            self.stream.write(f"\r{PROG}: loading [{bar:<30}] {fraction:4.0%} {items} prefixes")
        else:
            self.stream.write(f"\r{PROG}: loading {items} prefixes")
        self.stream.flush()
        self.drawn = True

    def finish(self) -> None:
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


# ---------------------------------------------------------------- table


# The characters a blank or comment line can start with (str.strip's
# whitespace in ASCII, and "#"); "" for the empty line at the end.
BLANK_OR_COMMENT_LEAD = frozenset(" \t\n\r\x0b\x0c\x1c\x1d\x1e\x1f\x85#") | {""}


def lone_cr_endings(stream: io.BufferedReader) -> bool:
    """Whether a text file ends its lines with a carriage return alone (as
    classic Mac files do): a CR in its first 64 KiB, and no line feed. Peeks
    at the stream already open, so that a pipe loses nothing to the check."""
    head = stream.peek(65536)[:65536]
    return b"\r" in head and b"\n" not in head


def table_rows(path: str, kind: str) -> Iterator[tuple[int, int, list[str] | str | None]]:
    """(line number, characters read so far, fields, or why the row cannot be
    read, or None for a blank or comment line). A byte order mark is skipped.
    A TSV row ends at a line feed only, so a lone carriage return stays in
    its field; the csv module ends CSV rows as CSV does, but lines are
    numbered by line feeds in both (by carriage returns in a file that has
    no line feed). Blank and comment lines between CSV
    rows never reach the csv module: a quote mark in a comment would start
    a quoted field there."""
    newline = "" if kind == "csv" else "\n"
    with open(path, encoding="utf-8-sig", errors="surrogateescape", newline=newline, buffering=65536) as stream:
        consumed = 0

        def lines() -> Iterator[str]:
            nonlocal consumed
            for line in stream:
                consumed += len(line)
                yield line

        if kind == "csv":
            # A long value is a value, as in TSV (the limit is a C long,
            # 32 bits on some platforms).
            csv.field_size_limit(min(sys.maxsize, 2**31 - 1))
            cr_ends_lines = lone_cr_endings(stream.buffer)
            number = 0  # the line of the last piece read (a lone CR ends a piece, not a line)
            next_number = 1
            start = 0  # where the row being read began (a quoted field may span lines)
            row_end = 0  # the line the last row ended on
            between_rows = True
            # Blank and comment lines met between rows, as runs of consecutive
            # numbers [first, last, characters read by the last]: a long run
            # of comments costs no memory per line.
            skipped: list[list[int]] = []

            def row_lines() -> Iterator[str]:
                nonlocal consumed, number, next_number, start, between_rows
                for line in stream:
                    consumed += len(line)
                    number = next_number
                    if cr_ends_lines or line.endswith("\n"):
                        next_number += 1
                    if between_rows:
                        # Only a line led by a blank or "#" can be either (a
                        # test far cheaper than stripping every row).
                        if line[:1] in BLANK_OR_COMMENT_LEAD and (not line.strip() or line.lstrip().startswith("#")):
                            if number == row_end:
                                pass  # the rest of the last row's own line (CR CR LF)
                            elif skipped and skipped[-1][1] >= number - 1:
                                skipped[-1][1:] = [number, consumed]
                            else:
                                skipped.append([number, number, consumed])
                            continue
                        between_rows = False
                        start = number
                        if skipped and skipped[-1][1] == number:  # a lone CR led this row's line
                            if skipped[-1][0] == number:
                                skipped.pop()
                            else:
                                skipped[-1][1] -= 1
                    yield line

            reader = csv.reader(row_lines(), strict=True)
            while True:
                ended = False
                try:
                    row: list[str] | str = next(reader)
                except StopIteration:
                    ended = True
                except csv.Error as error:
                    # A quote left open swallows the lines after it: say which.
                    row = str(error) if number <= start else f"{error} (lines {start}-{number} not read)"
                between_rows = True
                row_end = number
                if skipped:
                    for first, last, read in skipped:
                        for at in range(first, last + 1):
                            yield at, read, None
                    skipped.clear()
                if ended:
                    return
                blank = isinstance(row, list) and (
                    not row or (len(row) == 1 and not row[0].strip()) or row[0].lstrip().startswith("#"))
                yield start, consumed, None if blank else row
        else:
            for number, line in enumerate(lines(), 1):
                line = line.rstrip("\r\n")
                blank = not line.strip() or line.lstrip().startswith("#")
                yield number, consumed, None if blank else line.split("\t")


def record_of(fields: list[str]) -> tuple[str, dict] | str:
    """(prefix, record) from a table row, or why the row is malformed."""
    if len(fields) < 2:
        return "expected a prefix and a value"
    attributes: dict[str, str] = {}
    for item in fields[2:]:
        if not item:
            continue
        name, equals, value = item.partition("=")
        if not equals or not name:
            return f"attribute {item!r} is not name=value"
        if name in attributes:
            return f"attribute {name!r} given twice"
        attributes[name] = value
    return fields[0].strip(), {"value": fields[1], "attributes": attributes}


def reason(error: ValueError) -> str:
    """Why a text was refused. Files are read with undecodable bytes kept as
    lone surrogates, which the engine cannot encode: name the byte."""
    if isinstance(error, UnicodeEncodeError):
        code = ord(error.object[error.start])
        if 0xDC80 <= code <= 0xDCFF:
            return f"not UTF-8 text (byte 0x{code - 0xDC00:02X})"
    return str(error)


def insert(engine: RadixEngine, prefix: str, record: dict, counts: Counts) -> str | None:
    """Stores one row; why it is malformed, or None."""
    before = len(engine)
    try:
        engine.insert(prefix, record)
    except ValueError as error:  # UnicodeEncodeError included
        return reason(error)
    counts.loaded += 1
    if len(engine) == before:
        counts.replaced += 1
    return None


def load_text_table(engine, path, kind, counts, reporter, progress) -> None:
    for number, consumed, fields in table_rows(path, kind):
        if fields is None:
            counts.table_skipped += 1
            continue
        parsed = fields if isinstance(fields, str) else record_of(fields)
        why = parsed if isinstance(parsed, str) else insert(engine, *parsed, counts)
        if why is not None:
            counts.table_malformed += 1
            reporter.malformed(path, number, why)
        if number % 4096 == 0:
            progress.update(consumed, counts.loaded)


def mmdb_record(data, value_path: str) -> dict:
    """A MaxMind DB record as a Korvane record: the value at the dotted path
    and every other scalar leaf as an attribute named by its dotted path."""
    attributes: dict[str, str] = {}

    def walk(node, path: str) -> None:
        if isinstance(node, dict):
            for name, child in node.items():
                key = f"{path}.{name}" if path else str(name)
                # A "names" map holds a name in every language: only English
                # is kept. Other maps (hostnames, say) are walked whole.
                if isinstance(child, dict) and name == "names":
                    if "en" in child:
                        walk(child["en"], key + ".en")
                    continue
                walk(child, key)
        elif isinstance(node, list):
            for index, child in enumerate(node):
                walk(child, f"{path}.{index}")
        elif isinstance(node, bytes):
            attributes[path] = node.hex()
        elif isinstance(node, bool):
            attributes[path] = "true" if node else "false"
        elif node is not None:
            attributes[path] = str(node)

    walk(data, "")
    value = attributes.pop(value_path, "") if value_path else ""
    return {"value": value, "attributes": attributes}


def load_mmdb(engine, networks: Iterable, counts, progress) -> tuple[str | None, bool]:
    """Loads (network, record) pairs, networks as text or ipaddress networks.
    Returns the first IPv4 network (or None), and whether any value was not
    empty."""
    first_v4 = None
    valued = False
    for number, (network, record) in enumerate(networks, 1):
        valued = valued or record["value"] != ""
        network = str(network)
        why = insert(engine, network, record, counts)
        if why is not None:  # the walk hands out only valid networks
            raise Fatal(f"{PROG}: unexpected network from the database: {why}", 2)
        if first_v4 is None and ":" not in network:
            first_v4 = network
        if number % 4096 == 0:
            progress.update(0, counts.loaded)
    return first_v4, valued


def mmdb_networks(reader, buffer, value_path: str) -> Iterator[tuple[str, dict]]:
    """Every network of a MaxMind DB with its record (see mmdb_record), as
    maxminddb's listing gives them (IPv4 data once, as IPv4 networks). The
    listing decodes the whole record of every network, which for GeoLite2-City
    takes minutes; here a record is decoded, by a lookup of its network, only
    when it was not among the recent ones. `buffer` holds the file."""
    from maxminddb import InvalidDatabaseError

    meta = reader.metadata()
    node_count, record_size = meta.node_count, meta.record_size
    if record_size not in (24, 28, 32):
        raise InvalidDatabaseError(f"unsupported record size {record_size}")
    node_bytes = record_size // 4

    def children(node: int) -> tuple[int, int]:
        o = node * node_bytes
        if record_size == 28:
            middle = buffer[o + 3]
            left = (middle & 0xF0) << 20 | int.from_bytes(buffer[o : o + 3], "big")
            return left, (middle & 0x0F) << 24 | int.from_bytes(buffer[o + 4 : o + 7], "big")
        half = node_bytes // 2
        return int.from_bytes(buffer[o : o + half], "big"), int.from_bytes(buffer[o + half : o + node_bytes], "big")

    def walk(start: int, bits: int, skip: int) -> Iterator[tuple[int, int, int]]:
        """(network, length, data record) of every network below `start`,
        not entering `skip`."""
        stack = [(start, 0, 0)]
        # A tree reaches each node once (the IPv4 aliases lead to `skip`):
        # more visits mean nodes shared, whose paths could multiply past
        # any time a load may take.
        visits = 0
        while stack:
            node, network, depth = stack.pop()
            if depth >= bits:
                raise InvalidDatabaseError("the search tree is corrupt (a path longer than an address)")
            visits += 1
            if visits > node_count:
                raise InvalidDatabaseError("the search tree is corrupt (nodes reached by more than one path)")
            depth += 1
            for record, net in zip(children(node), (network, network | 1 << (bits - depth))):
                if record < node_count:
                    if record != skip:
                        stack.append((record, net, depth))
                elif record > node_count:
                    yield net, depth, record

    def v4_text(net: int) -> str:
        return socket.inet_ntoa(net.to_bytes(4, "big"))

    def networks() -> Iterator[tuple[str, str, int]]:
        """(address, length, data record) of every network."""
        if meta.ip_version == 4:
            for net, length, record in walk(0, 32, -1):
                yield v4_text(net), length, record
            return
        # The IPv4 data: the node 96 zero bits down, walked once as IPv4.
        v4_root, depth = 0, 0
        while depth < 96 and v4_root < node_count:
            v4_root = children(v4_root)[0]
            depth += 1
        if v4_root < node_count:
            for net, length, record in walk(v4_root, 32, -1):
                yield v4_text(net), length, record
        else:
            if v4_root > node_count and depth < 96:
                # Data above ::/96 answers every IPv4 address, as maxminddb
                # reads it.
                yield "0.0.0.0", 0, v4_root
            v4_root = -1
        for net, length, record in walk(0, 128, v4_root):
            if length >= 96 and net >> 32 == 0:  # data right at ::/96 covers all of IPv4
                yield v4_text(net), length - 96, record
            else:
                yield socket.inet_ntop(socket.AF_INET6, net.to_bytes(16, "big")), length, record

    if node_count == 0:
        return
    # Networks that share a record mostly come close together in the walk,
    # so some thousands of recent records find nearly every repeat.
    recent: dict[int, dict] = {}
    for address, length, pointer in networks():
        record = recent.get(pointer)
        if record is None:
            if len(recent) >= RECENT_RECORDS:
                del recent[next(iter(recent))]  # the oldest
            record = recent[pointer] = mmdb_record(reader.get(address), value_path)
        yield f"{address}/{length}", record


# Where IPv6 databases keep or lead to their IPv4 data, with the depth at
# which the embedded IPv4 address starts: ::/96 itself, then IPv4-mapped,
# Teredo and 6to4 addresses. maxminddb lists the IPv4 data once, as IPv4
# networks, and skips the other ranges.
_IPV4_ALIASES = ((0, 96), (0xFFFF << 32, 96), (0x2001 << 112, 32), (0x2002 << 112, 16))


def ipv4_aliases(reader, probe) -> list[tuple[int, int, int]]:
    """The aliases `reader` has, as (network, mask, depth) over 128-bit
    integers: those where the address built from `probe`, an IPv4 network of
    the database, finds the probe's own record, one alias deep."""
    if probe is None or reader.metadata().ip_version != 6:
        return []
    address = ipaddress.ip_network(probe).network_address
    record, length = reader.get_with_prefix_len(address)
    found = []
    for network, depth in _IPV4_ALIASES:
        alias = network | int(address) << (96 - depth)
        alias_record, alias_length = reader.get_with_prefix_len(ipaddress.IPv6Address(alias))
        if alias_length == depth + length and alias_record == record:
            mask = ((1 << depth) - 1) << (128 - depth)
            found.append((network, mask, depth))
    return found


def embedded_ipv4(address: str, aliases: list[tuple[int, int, int]]) -> str | None:
    """The IPv4 address an alias leads `address` to, or None."""
    try:
        number = int(ipaddress.IPv6Address(address))
    except ValueError:
        return None
    for network, mask, depth in aliases:
        if number & mask == network:
            return str(ipaddress.IPv4Address(number >> (96 - depth) & 0xFFFFFFFF))
    return None


def load_table(engine, args, counts, reporter) -> list[tuple[int, int, int]]:
    """Loads the table; returns the IPv4 aliases of a MaxMind DB."""
    path = args.table
    kind = args.table_format or table_kind(path)
    try:
        total = os.path.getsize(path)
    except OSError as error:
        raise Fatal(f"{PROG}: cannot read the table: {error}", 2) from error
    progress = Progress(sys.stderr, total if kind != "mmdb" else None, not args.no_progress)
    try:
        if kind == "mmdb":
            try:
                import maxminddb
            except ImportError as error:
                raise Fatal(f"{PROG}: reading {path} needs the maxminddb package (pip install maxminddb)", 2) from error
            try:
                with maxminddb.open_database(path) as reader, open(path, "rb") as file:
                    with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as buffer:
                        networks = mmdb_networks(reader, buffer, args.mmdb_value)
                        probe, valued = load_mmdb(engine, networks, counts, progress)
                    if args.mmdb_value and counts.loaded and not valued:
                        sys.stderr.write(f"{PROG}: warning: no record has a field {args.mmdb_value!r} that is not"
                                         " empty: every value is empty\n")
                    return ipv4_aliases(reader, probe)
            except (maxminddb.InvalidDatabaseError, ValueError, IndexError) as error:
                raise Fatal(f"{PROG}: cannot read the table: {error}", 2) from error
        load_text_table(engine, path, kind, counts, reporter, progress)
        return []
    except OSError as error:
        raise Fatal(f"{PROG}: cannot read the table: {error}", 2) from error
    finally:
        progress.finish()


def table_kind(path: str) -> str:
    lower = path.lower()
    if lower.endswith(".csv"):
        return "csv"
    if lower.endswith(".mmdb"):
        return "mmdb"
    return "tsv"


# ---------------------------------------------------------------- annotation

_TSV_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"})


def tsv_field(text: str) -> str:
    if "\\" in text or "\t" in text or "\n" in text or "\r" in text:
        return text.translate(_TSV_ESCAPES)
    return text


class Writer:
    """Formats the output line of each annotated address."""

    def __init__(self, args) -> None:
        self.json = args.format == "json"
        self.keep_line = args.keep_line
        self.missing = tsv_field(args.missing)

    def format(self, line: str, address: str, match: dict | None) -> str:
        if self.json:
            if self.keep_line and not line.isascii():
                # JSON is UTF-8 text: undecodable input bytes become U+FFFD.
                line = line.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
            obj = {"line": line} if self.keep_line else {}
            obj["address"] = address
            obj["match"] = (
                None
                if match is None
                else {"value": match["value"], "attributes": dict(sorted(match["attributes"].items()))}
            )
            return json.dumps(obj, ensure_ascii=False) + "\n"
        head = tsv_field(line) + "\t" + tsv_field(address) if self.keep_line else tsv_field(address)
        if match is None:
            return head + "\t" + self.missing + "\n"
        attributes = match["attributes"]
        if not attributes:
            return head + "\t" + tsv_field(match["value"]) + "\n"
        tail = "".join("\t" + tsv_field(name) + "=" + tsv_field(value) for name, value in sorted(attributes.items()))
        return head + "\t" + tsv_field(match["value"]) + tail + "\n"


def address_of(line: str, column: int | None, delimiter: str | None) -> str | None:
    """The address text of a line; None when the line lacks the field."""
    if column is None:
        return bare_address(line.strip())
    fields = line.split(delimiter, column)  # the rest of the line stays whole
    if column > len(fields):
        return None
    return bare_address(fields[column - 1].strip())


def bare_address(text: str) -> str:
    """The address of the forms logs write: [2001:db8::1]:443 and
    192.0.2.1:443 without their port, [2001:db8::1] without its brackets,
    fe80::1%eth0 without its zone."""
    if text.startswith("["):
        end = text.find("]")
        if end > 1 and (end + 1 == len(text) or is_port(text[end + 1 :])):
            text = text[1:end]
    elif text.count(":") == 1:
        host, _, port = text.partition(":")
        if host and is_port(":" + port):
            text = host
    address, _, zone = text.partition("%")
    if address and ":" in address and zone and not any(c.isspace() for c in zone):
        text = address
    return text


def is_port(text: str) -> bool:
    """Whether text is ":" and a port number in ASCII digits."""
    return len(text) > 1 and text[0] == ":" and text[1:].isascii() and text[1:].isdigit()


def annotate(engine, name: str, stream, args, writer: Writer, out, counts: Counts, reporter: Reporter,
             aliases: list[tuple[int, int, int]]) -> None:
    pending: list[tuple[int, str, str]] = []  # (line number, line, address)
    blanks: list[int] = []  # numbers of the blank lines read since the last flush
    lines_before = counts.lines  # of the inputs before this one

    def flush() -> None:
        chunk = pending.copy()
        pending.clear()
        blanks_read = blanks.copy()
        blanks.clear()
        if not chunk:
            return
        try:
            matches = engine.lookup_many([address for _, _, address in chunk])
        except ValueError:
            # A malformed address: answer this chunk one address at a time to
            # find which lines it holds.
            matches = []
            for _, _, address in chunk:
                try:
                    matches.append(engine.lookup(address))
                except ValueError as error:  # UnicodeEncodeError included
                    matches.append(error)
        lines = []
        try:
            for (number, line, address), match in zip(chunk, matches):
                if isinstance(match, ValueError):
                    counts.malformed += 1
                    # The answers before it reach the output first, for a
                    # reader of both streams at once (2>&1).
                    out.write("".join(lines))
                    lines.clear()
                    out.flush()
                    reporter.malformed(name, number, reason(match))
                    continue
                if match is None and aliases and ":" in address:
                    embedded = embedded_ipv4(address, aliases)
                    if embedded is not None:
                        match = engine.lookup(embedded)
                if match is None:
                    counts.unmatched += 1
                else:
                    counts.matched += 1
                lines.append(writer.format(line, address, match))
        except Fatal:
            # --strict stops at line `number`: what was read after it does not count.
            counts.lines = lines_before + number
            counts.blank -= sum(1 for blank in blanks_read if blank > number)
            raise
        finally:  # under --strict, what precedes the malformed line is written
            out.write("".join(lines))

    number = 0
    for batch in line_batches(name, stream):
        for raw in batch:
            number += 1
            counts.lines += 1
            line = raw.rstrip("\r")
            if not line.strip():
                counts.blank += 1
                blanks.append(number)
                continue
            address = address_of(line, args.field, args.delimiter)
            if not address:
                flush()  # keep the output and the reports in line order
                out.flush()
                counts.malformed += 1
                reporter.malformed(name, number, f"no address in field {args.field}")
                continue
            pending.append((number, line, address))
            if len(pending) >= CHUNK:
                flush()
        # Answer what has arrived before waiting for more (tail -f).
        flush()
        out.flush()


def blocking(fd: int) -> bool:
    """Whether reads of `fd` wait for data; a descriptor the system cannot
    say of (a file or console on some platforms) is taken as blocking."""
    try:
        return os.get_blocking(fd)
    except OSError:
        return True


def line_batches(name: str, stream) -> Iterator[list[str]]:
    """The lines of a binary stream, in batches of what each read returned, so
    that a slow source is answered as its lines arrive and a fast one in large
    batches. Undecodable bytes are kept as surrogates; a byte order mark at the
    start is skipped."""
    pieces: list[bytes] = []  # the unfinished line (a huge one is joined once)
    first = True

    def text(block: bytes) -> list[str]:
        nonlocal first
        lines = block.decode("utf-8", "surrogateescape").split("\n")
        if first:
            first = False
            lines[0] = lines[0].removeprefix("\ufeff")
        return lines

    # A descriptor left non-blocking (another reader of the pipe may have made
    # it so) is read directly: the buffered stream reads as empty both at its
    # end and when nothing has arrived yet, where the descriptor tells the two
    # apart. Reads start buffered, and switch when an empty read finds the
    # descriptor non-blocking (the buffer is then empty, so nothing is lost).
    try:
        fd: int | None = stream.fileno()
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        fd = None  # no descriptor of its own: its reads block
    direct = False
    while True:
        try:
            if direct:
                try:
                    data = os.read(fd, READ_SIZE)
                except BlockingIOError:
                    select.select([fd], [], [])
                    continue
            else:
                data = stream.read1(READ_SIZE)
                if not data and fd is not None and not blocking(fd):
                    direct = True
                    continue
        except OSError as error:
            raise Fatal(f"{PROG}: cannot read {name}: {error}", 2) from error
        if not data:
            break
        end = data.rfind(b"\n")
        if end < 0:
            pieces.append(data)
            continue
        pieces.append(data[:end])
        block = b"".join(pieces)
        pieces = [data[end + 1 :]]
        yield text(block)
    block = b"".join(pieces)
    if block:
        yield text(block)


def open_input(name: str):
    if name == "-":
        if sys.stdin is None:
            raise Fatal(f"{PROG}: cannot read standard input: it is closed", 2)
        return contextlib.nullcontext(sys.stdin.buffer)  # not closed: "-" may be named again, as cat allows
    return open(name, "rb")


# ---------------------------------------------------------------- command


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Annotate IP addresses with the longest matching prefix of a table.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("inputs", nargs="*", metavar="FILE", help="address files (default, or -: standard input)")
    p.add_argument("-t", "--table", required=True, help="the prefix table: CSV, TSV or MaxMind DB")
    p.add_argument("--table-format", choices=["csv", "tsv", "mmdb"], help="the table's format, when its extension does not tell")
    p.add_argument("--mmdb-value", default="", metavar="PATH", help="dotted path of the MaxMind DB field used as value (e.g. country.iso_code)")
    p.add_argument(
        "--variant",
        choices=["standard", "lockfree", "adaptive"],
        default=None,
        help="RadixEngine variant (default: the plain engine)",
    )
    p.add_argument("--field", type=int, metavar="N", help="the address is field N (from 1) of each line, not the whole line")
    p.add_argument("-d", "--delimiter", metavar="TEXT", help="field separator for --field (default: runs of blanks)")
    p.add_argument("-f", "--format", choices=["tsv", "json"], default="tsv", help="output format (default tsv)")
    p.add_argument("--keep-line", action="store_true", help="write the whole input line before the annotation")
    p.add_argument("--missing", default="-", metavar="TEXT", help='TSV value for an unmatched address (default "-")')
    p.add_argument("--strict", action="store_true", help="stop at the first malformed line (exit status 1)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    return p


class Diagnostics:
    """Standard error as the tool uses it: reports and the progress bar are
    best effort, so a closed or full standard error never stops the answers."""

    def __init__(self, stream) -> None:
        self.stream = stream

    def write(self, text: str) -> None:
        if self.stream is None:
            return
        try:
            self.stream.write(text)
        except (OSError, ValueError):
            self.stream = None

    def flush(self) -> None:
        if self.stream is None:
            return
        try:
            self.stream.flush()
        except (OSError, ValueError):
            self.stream = None

    def isatty(self) -> bool:
        return self.stream is not None and self.stream.isatty()


def discard_output() -> None:
    """Later flushes of standard output go nowhere instead of failing again."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def main(argv: list[str] | None = None) -> int:
    stderr = sys.stderr
    sys.stderr = Diagnostics(stderr)
    try:
        return run_tool(argv)
    finally:
        sys.stderr = stderr


def run_tool(argv: list[str] | None) -> int:
    p = parser()
    args = p.parse_args(argv)
    if args.field is not None and args.field < 1:
        p.error("--field counts from 1")
    if args.field is not None and args.field > sys.maxsize:
        p.error(f"--field {args.field} is larger than any line can be")
    if args.delimiter == "":
        p.error("--delimiter must not be empty")
    if sys.stdout is None:
        sys.stderr.write(f"{PROG}: cannot write the output: standard output is closed\n")
        return 2
    counts = Counts()
    reporter = Reporter(args.strict, sys.stderr)
    out = io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", errors="surrogateescape", newline="\n")
    status = 0
    try:
        engine = RadixEngine(args.variant)
        aliases = load_table(engine, args, counts, reporter)
        writer = Writer(args)
        for name in args.inputs or ["-"]:
            try:
                stream = open_input(name)
            except OSError as error:
                raise Fatal(f"{PROG}: cannot read {name}: {error}", 2) from error
            with stream as text:
                annotate(engine, "<stdin>" if name == "-" else name, text, args, writer, out, counts, reporter, aliases)
        out.flush()
    except Fatal as fatal:
        status = fatal.status
        try:
            out.flush()  # what came before the fatal line stays written
        except OSError:
            discard_output()
        sys.stderr.write(str(fatal) + "\n")
    except BrokenPipeError:
        # The reader went away (| head): stop as a filter does.
        discard_output()
    except OSError as error:  # inputs and the table report their own
        status = 2
        discard_output()
        sys.stderr.write(f"{PROG}: cannot write the output: {error}\n")
    except KeyboardInterrupt:
        status = 130
        try:
            out.flush()  # the lines answered so far
        except OSError:
            discard_output()
        sys.stderr.write(f"{PROG}: interrupted\n")
    finally:
        out.detach()  # leave sys.stdout open
    sys.stderr.write(counts.summary())
    return status


if __name__ == "__main__":
    sys.exit(main())
