"""The korvane command: tables and inputs with good, malformed and blank lines."""

import importlib.util
import json
import os
import select
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import korvane
import korvane_cli

TABLE_CSV = (
    "# prefix,value,attributes\n"
    "10.0.0.0/8,corp,site=hq,owner=netops\n"
    "\n"
    "10.1.0.0/16,lab\n"
    '2001:db8::/32,"doc\tnet",cc=dé\n'
    "10.0.0.0/33,bad\n"
    "192.0.2.0/24\n"
    "198.51.100.0/24,x,novalue\n"
    "10.1.0.0/16,lab2,k=v\n"
)
TABLE_COUNTS = "korvane: table: 4 prefixes loaded, 1 replaced by a later line, 3 malformed, 2 blank or comment lines\n"
TABLE_REPORTS = (
    "korvane: {t}:6: Invalid CIDR '10.0.0.0/33': invalid address: 10.0.0.0/33\n"
    "korvane: {t}:7: expected a prefix and a value\n"
    "korvane: {t}:8: attribute 'novalue' is not name=value\n"
)
INPUT = "10.1.2.3\n  \n11.0.0.1\n10.0.0.1/32\n2001:DB8::1\r\n\n10.200.0.1\nnot-an-address\n"


def run(*args, stdin=None, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "korvane_cli", "--no-progress", *args],
        input=stdin,
        capture_output=True,
        cwd=cwd,
        timeout=120,
    )


@pytest.fixture
def files(tmp_path):
    (tmp_path / "t.csv").write_text(TABLE_CSV, encoding="utf-8")
    (tmp_path / "in.txt").write_text(INPUT, encoding="utf-8", newline="")
    return tmp_path


def test_tsv_output_byte_exact_with_counts_and_reports(files):
    result = run("-t", "t.csv", "in.txt", cwd=files)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == (
        "10.1.2.3\tlab2\tk=v\n"
        "11.0.0.1\t-\n"
        "2001:DB8::1\tdoc\\tnet\tcc=dé\n"
        "10.200.0.1\tcorp\towner=netops\tsite=hq\n"
    )
    assert result.stderr.decode() == (
        TABLE_REPORTS.format(t="t.csv")
        + "korvane: in.txt:4: Invalid IP address: 10.0.0.1/32\n"
        + "korvane: in.txt:8: Invalid IP address: not-an-address\n"
        + TABLE_COUNTS
        + "korvane: input: 8 lines, 3 matched, 1 unmatched, 2 malformed, 2 blank\n"
    )


def test_json_lines_from_stdin_with_the_whole_line_kept(files):
    result = run("-t", "t.csv", "-f", "json", "--keep-line", stdin=b"10.9.9.9\n11.0.0.1\n", cwd=files)
    assert result.returncode == 0
    assert result.stdout == (
        b'{"line": "10.9.9.9", "address": "10.9.9.9", "match": {"value": "corp", "attributes": '
        b'{"owner": "netops", "site": "hq"}}}\n'
        b'{"line": "11.0.0.1", "address": "11.0.0.1", "match": null}\n'
    )
    assert [json.loads(line)["address"] for line in result.stdout.splitlines()] == ["10.9.9.9", "11.0.0.1"]


def test_standard_input_named_twice_reads_as_empty_the_second_time(files):
    result = run("-t", "t.csv", "-", "in.txt", "-", stdin=b"10.9.9.9\n", cwd=files)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines()[:2] == ["10.9.9.9\tcorp\towner=netops\tsite=hq", "10.1.2.3\tlab2\tk=v"]
    assert "korvane: input: 9 lines, 4 matched" in result.stderr.decode()


def test_field_of_a_delimited_log_line(files):
    log = "a,10.1.0.1,GET\nb\nc,,GET\nd,2001:db8::9,PUT\n"
    result = run("-t", "t.csv", "--field", "2", "-d", ",", "--keep-line", "--missing", "none", stdin=log.encode(), cwd=files)
    assert result.returncode == 0
    assert result.stdout.decode() == "a,10.1.0.1,GET\t10.1.0.1\tlab2\tk=v\nd,2001:db8::9,PUT\t2001:db8::9\tdoc\\tnet\tcc=dé\n"
    assert "korvane: <stdin>:2: no address in field 2\nkorvane: <stdin>:3: no address in field 2\n" in result.stderr.decode()
    # Without a delimiter, fields are separated by runs of blanks.
    result = run("-t", "t.csv", "--field", "1", stdin=b"10.1.0.1 - - [x] GET\n", cwd=files)
    assert result.stdout == b"10.1.0.1\tlab2\tk=v\n"


def test_strict_stops_at_the_first_malformed_line(files):
    table = files / "good.tsv"
    table.write_text("10.0.0.0/8\tcorp\n", encoding="utf-8")
    result = run("-t", "good.tsv", "--strict", "in.txt", cwd=files)
    assert result.returncode == 1
    # What precedes the malformed line is written, nothing after it.
    assert result.stdout == b"10.1.2.3\tcorp\n11.0.0.1\t-\n"
    err = result.stderr.decode()
    assert "korvane: in.txt:4: Invalid IP address: 10.0.0.1/32\n" in err and "not-an-address" not in err
    assert "input: 4 lines, 1 matched, 1 unmatched, 1 malformed, 1 blank" in err  # none after the stop

    result = run("-t", "t.csv", "--strict", "in.txt", cwd=files)
    assert result.returncode == 1 and result.stdout == b""
    assert "t.csv:6: Invalid CIDR" in result.stderr.decode()


def test_malformed_lines_across_chunks_keep_order_and_counts(tmp_path):
    (tmp_path / "t.tsv").write_text("0.0.0.0/0\tall\n::/0\tall6\n", encoding="utf-8")
    n = korvane_cli.CHUNK * 2 + 10
    bad = {5, korvane_cli.CHUNK + 1, n}  # line numbers
    lines = [f"bad{i}" if i in bad else f"10.0.{i // 256 % 256}.{i % 256}" for i in range(1, n + 1)]
    lines[4] += "x" * 100_000  # reported, but not whole
    result = run("-t", "t.tsv", stdin=("\n".join(lines) + "\n").encode(), cwd=tmp_path)
    assert result.returncode == 0
    out = result.stdout.decode().splitlines()
    assert out == [f"{line}\tall" for line in lines if not line.startswith("bad")]
    err = result.stderr.decode()
    assert [int(r.split(":")[2]) for r in err.splitlines() if "Invalid IP" in r] == sorted(bad)
    assert max(len(r) for r in err.splitlines()) < 400 and "more characters)" in err
    assert f"input: {n} lines, {n - 3} matched, 0 unmatched, 3 malformed, 0 blank" in err


def test_reports_escape_control_characters_of_the_line(tmp_path):
    (tmp_path / "t.tsv").write_text("0.0.0.0/0\tall\n", encoding="utf-8")
    result = run("-t", "t.tsv", stdin=b"10.1.2.3\x00\nx\r10.1.2.3\n\x1b[2J\x1b]0;t\x07\n", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stderr.decode().splitlines()[:3] == [
        "korvane: <stdin>:1: Invalid IP address: 10.1.2.3\\x00",
        "korvane: <stdin>:2: Invalid IP address: x\\r10.1.2.3",
        "korvane: <stdin>:3: Invalid IP address: \\x1b[2J\\x1b]0;t\\x07",
    ]


def test_tsv_escapes_and_non_utf8_input(tmp_path):
    (tmp_path / "t.csv").write_text('::/0,"a\\b\nc",k\t1=v\n', encoding="utf-8")
    result = run("-t", "t.csv", "--keep-line", stdin=b"::1\n\xff\n", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stdout == b"::1\t::1\ta\\\\b\\nc\tk\\t1=v\n"
    assert b"<stdin>:2: not UTF-8 text (byte 0xFF)" in result.stderr  # a malformed line
    (tmp_path / "t.tsv").write_bytes(b"::/0\ta\rb\tk=c\rd\r\n")  # a lone CR is part of its field
    assert run("-t", "t.tsv", stdin=b"::1\n", cwd=tmp_path).stdout == b"::1\ta\\rb\tk=c\\rd\n"


@pytest.mark.parametrize(
    "args, message",
    [
        (["-t", "missing.csv"], "cannot read the table"),
        (["-t", "t.csv", "missing.txt"], "cannot read missing.txt"),
        (["-t", "t.csv", "--field", "0"], "--field counts from 1"),
        (["-t", "t.csv", "--field", "99999999999999999999"], "is larger than any line can be"),
        (["-t", "t.csv", "--variant", "lockfre"], "invalid choice: 'lockfre'"),
        pytest.param(
            ["-t", "t.csv", "--table-format", "mmdb"],
            "cannot read the table: Error opening database file",
            marks=pytest.mark.skipif(importlib.util.find_spec("maxminddb") is None, reason="needs maxminddb"),
        ),
    ],
)
def test_unusable_files_and_options_exit_2(files, args, message):
    result = run(*args, stdin=b"", cwd=files)
    assert result.returncode == 2
    assert message in result.stderr.decode()


def test_json_keeps_a_non_utf8_line_valid_utf8(tmp_path):
    (tmp_path / "t.tsv").write_text("10.0.0.0/8\tcorp\n", encoding="utf-8")
    result = run("-t", "t.tsv", "-f", "json", "--keep-line", "--field", "1", stdin=b"10.1.1.1 caf\xe9\n", cwd=tmp_path)
    assert result.returncode == 0
    assert json.loads(result.stdout.decode("utf-8"))["line"] == "10.1.1.1 caf\ufffd"


def test_byte_order_marks_are_skipped(tmp_path):
    (tmp_path / "t.tsv").write_bytes(b"\xef\xbb\xbf10.0.0.0/8\tcorp\n")
    (tmp_path / "t.csv").write_bytes(b"\xef\xbb\xbf10.0.0.0/8,corp\n")
    for table in ("t.tsv", "t.csv"):
        result = run("-t", table, stdin=b"\xef\xbb\xbf10.1.1.1\n", cwd=tmp_path)
        assert (result.returncode, result.stdout) == (0, b"10.1.1.1\tcorp\n"), result.stderr


@pytest.mark.parametrize(
    "table, content, report",
    [
        # An unterminated quote swallows the rest of the file: name the lines.
        ("t.csv", "10.0.0.0/8,a\n11.0.0.0/8,\"b\n12.0.0.0/8,c\n", "t.csv:2: unexpected end of data (lines 2-3"),
        # A file with no line feed at all is numbered by its carriage returns.
        ("t.csv", "10.0.0.0/8,a\r\r12.0.0.0/8,\"d\"e\r", "t.csv:3: ',' expected after '\"'"),
        # Lines are numbered by line feeds, whatever carriage returns stand before them.
        ("t.csv", "10.0.0.0/8,a\r\r\n\n11.0.0.0/8,\"b\r\"c\r\n", "t.csv:3: ',' expected after '\"'"),
        # A row's own text (UTF-16 has NUL bytes) is never taken for the reason.
        ("t.tsv", "10.0.0.0/8\ta\n\x0011.0.0.0/8\tb\n", "t.tsv:2: Invalid CIDR"),
        # Latin-1, not UTF-8.
        ("t.tsv", "10.0.0.0/8\ta\n11.0.0.0/8\tM\udce9xico\n", "t.tsv:2: not UTF-8 text (byte 0xE9)"),
    ],
)
def test_unreadable_table_rows_are_reported_where_they_start(tmp_path, table, content, report):
    (tmp_path / table).write_text(content, encoding="utf-8", errors="surrogateescape")
    result = run("-t", table, stdin=b"", cwd=tmp_path)
    assert result.returncode == 0
    assert report in result.stderr.decode() and "1 prefixes loaded" in result.stderr.decode()


def test_a_csv_table_from_a_pipe_loads_whole(tmp_path):
    # Longer than the head read to tell line endings apart: none of it may be
    # lost to that read.
    rows = [f"10.{i >> 8 & 255}.{i & 255}.0/24,v{i}" for i in range(20000)]
    (tmp_path / "in.txt").write_text("10.0.0.1\n10.78.31.9\n", encoding="utf-8")
    result = run("-t", "/dev/stdin", "--table-format", "csv", "in.txt", stdin="\n".join(rows).encode(), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b"10.0.0.1\tv0\n10.78.31.9\tv19999\n"
    assert b"20000 prefixes loaded" in result.stderr


def test_csv_comments_are_not_csv(tmp_path):
    # A quote mark in a comment starts no quoted field: no row vanishes into it.
    (tmp_path / "t.csv").write_text(
        '# columns: prefix,"value, then attributes\n10.0.0.0/8,a\n11.0.0.0/8,b\n# end "\n12.0.0.0/8,c\n'
        '13.0.0.0/8,"' + "v" * 200_000 + '"\n',  # longer than the csv module's default field
        encoding="utf-8")
    result = run("--strict", "-t", "t.csv", stdin=b"11.1.1.1\n12.1.1.1\n13.1.1.1\n", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines()[:2] == ["11.1.1.1\tb", "12.1.1.1\tc"]
    assert "4 prefixes loaded, 0 replaced by a later line, 0 malformed, 2 blank or comment lines" in result.stderr.decode()
    # Neither the end of a row's own line after a quoted line feed, nor a lone CR before a row, is a blank line.
    (tmp_path / "t.csv").write_text('1.0.0.0/8,"a\nb"\r\r\n\r2.0.0.0/8,b\n# c\n\n3.0.0.0/8,x\n', encoding="utf-8", newline="")
    result = run("-t", "t.csv", stdin=b"", cwd=tmp_path)
    assert "3 prefixes loaded, 0 replaced by a later line, 0 malformed, 2 blank or comment lines" in result.stderr.decode()


def test_reports_and_answers_merged_keep_line_order(tmp_path):
    (tmp_path / "t.tsv").write_text("10.0.0.0/8\tcorp\n", encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "-m", "korvane_cli", "--no-progress", "-t", "t.tsv", "--field", "2", "-d", " "],
        input=b"x 10.1.1.1\nz\nw 10.3.3.3\nq bad\nv 10.4.4.4\n", stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, cwd=tmp_path, timeout=120)
    assert [line.split(":")[0] if line.startswith("korvane") else line for line in result.stdout.decode().splitlines()][:5] == [
        "10.1.1.1\tcorp", "korvane", "10.3.3.3\tcorp", "korvane", "10.4.4.4\tcorp"]


def test_non_blocking_input_waits_for_its_lines(tmp_path):
    (tmp_path / "t.tsv").write_text("10.0.0.0/8\tcorp\n", encoding="utf-8")
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)  # as another reader of the same pipe may leave it
    with subprocess.Popen([sys.executable, "-m", "korvane_cli", "--no-progress", "-t", "t.tsv"], stdin=read_end,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path) as proc:
        os.close(read_end)
        os.write(write_end, b"10.1.1.1\n")
        # Once the first line is answered, the tool's next read finds the pipe empty.
        assert select.select([proc.stdout], [], [], 60)[0], "the first line was not answered"
        first = proc.stdout.readline()
        os.write(write_end, b"10.2.2.2\n")
        os.close(write_end)
        out, err = proc.communicate(timeout=60)
    assert (proc.returncode, first + out) == (0, b"10.1.1.1\tcorp\n10.2.2.2\tcorp\n"), err
    assert "input: 2 lines" in err.decode()


@pytest.mark.parametrize(
    "text, address",
    [("[2001:db8::1]:443", "2001:db8::1"), ("[2001:db8::1]", "2001:db8::1"), ("fe80::1%eth0", "fe80::1"),
     ("192.0.2.1:8080", "192.0.2.1"), ("2001:db8::1", "2001:db8::1"), ("[]:80", "[]:80"), ("10.0.0.1:x", "10.0.0.1:x"),
     # Not a port, or not a zone: left whole, for the lookup to refuse.
     ("[::1]:abc", "[::1]:abc"), ("192.0.2.1:\u0663", "192.0.2.1:\u0663"), ("fe80::1%", "fe80::1%")],
)
def test_addresses_as_logs_write_them(text, address):
    assert korvane_cli.address_of(f"GET {text} 200", 2, None) == address
    if " " not in address:
        assert korvane_cli.address_of(f"{text} trailing words", None, None) == f"{text} trailing words"


def korvane_on_a_pipe(tmp_path):
    (tmp_path / "t.tsv").write_text("10.0.0.0/8\tcorp\n", encoding="utf-8")
    return subprocess.Popen(
        [sys.executable, "-m", "korvane_cli", "--no-progress", "-t", "t.tsv"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path,
        # A test run started in the background ignores SIGINT, and so would
        # the tool: Python leaves an ignored SIGINT ignored.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )


def test_interrupt_stops_with_status_130_and_the_counts(tmp_path):
    with korvane_on_a_pipe(tmp_path) as proc:
        proc.stdin.write(b"10.1.1.1\n")
        proc.stdin.flush()
        select.select([proc.stdout], [], [], 30)  # the table is loaded
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=30)
    assert proc.returncode == 130
    assert err.decode().startswith("korvane: interrupted\nkorvane: table: 1 prefixes loaded")


@pytest.mark.parametrize(
    "output, message",
    [("closed", "standard output is closed"), ("/dev/full", "No space left on device")],
)
def test_unwritable_output_exits_2(files, output, message):
    with open("/dev/full" if output == "/dev/full" else os.devnull, "wb") as stdout:
        result = subprocess.run(
            [sys.executable, "-m", "korvane_cli", "--no-progress", "-t", "t.csv", "in.txt"],
            stdout=stdout,
            stderr=subprocess.PIPE,
            preexec_fn=(lambda: os.close(1)) if output == "closed" else None,
            cwd=files,
            timeout=120,
        )
    assert result.returncode == 2
    err = result.stderr.decode()
    assert "korvane: cannot write the output: " in err and message in err and "Traceback" not in err


@pytest.mark.parametrize("errors", ["closed", "/dev/full"])
def test_unwritable_standard_error_leaves_the_answers_whole(files, errors):
    with open("/dev/full" if errors == "/dev/full" else os.devnull, "wb") as stderr:
        result = subprocess.run(
            [sys.executable, "-m", "korvane_cli", "--no-progress", "-t", "t.csv", "in.txt"],
            stdout=subprocess.PIPE,
            stderr=stderr,
            preexec_fn=(lambda: os.close(2)) if errors == "closed" else None,
            cwd=files,
            timeout=120,
        )
    assert result.returncode == 0
    assert result.stdout == run("-t", "t.csv", "in.txt", cwd=files).stdout


def test_help_shows_examples_and_the_script_is_installed():
    result = run("--help")
    assert result.returncode == 0 and b"examples:" in result.stdout and b"korvane -t routes.csv" in result.stdout
    script = Path(sys.executable).with_name("korvane")
    assert shutil.which(str(script)), "the korvane console script is not installed beside the interpreter"
    assert subprocess.run([str(script), "--help"], capture_output=True).returncode == 0
    assert korvane.__name__ == "korvane" and not hasattr(korvane, "__path__")  # still the extension module


def test_mmdb_records_become_value_and_flat_attributes():
    data = {
        "country": {"iso_code": "DE", "names": {"en": "Germany", "de": "Deutschland"}},
        "hostnames": {"primary": "a.example"},  # no localised names, though its name ends so
        "subdivisions": [{"iso_code": "BE"}],
        "location": {"latitude": 52.5, "accuracy_radius": 20},
        "is_anycast": True,
        "raw": b"\x01\x02",
    }
    assert korvane_cli.mmdb_record(data, "country.iso_code") == {
        "value": "DE",
        "attributes": {
            "country.names.en": "Germany",
            "hostnames.primary": "a.example",
            "subdivisions.0.iso_code": "BE",
            "location.latitude": "52.5",
            "location.accuracy_radius": "20",
            "is_anycast": "true",
            "raw": "0102",
        },
    }
    import ipaddress

    engine, counts = korvane.RadixEngine(), korvane_cli.Counts()
    networks = [("81.0.0.0/8", data), (ipaddress.ip_network("2a00::/12"), {"asn": 3320})]
    networks = [(network, korvane_cli.mmdb_record(data, "country.iso_code")) for network, data in networks]
    korvane_cli.load_mmdb(engine, networks, counts, korvane_cli.Progress(sys.stderr, None, False))
    assert counts.loaded == 2
    assert engine.lookup("81.1.1.1")["value"] == "DE"
    assert engine.lookup("2a00::1") == {"value": "", "attributes": {"asn": "3320"}}


def mmdb_bytes(networks, ip_version, record_size, aliases=()):
    """A MaxMind DB holding {"v": value} for each (network, value), none inside
    another. In an IPv6 one, IPv4 networks sit under ::/96, and each alias
    (key, length) leads to them."""
    import ipaddress

    bits = 32 if ip_version == 4 else 128
    nodes, data, offsets = [[None, None]], b"", {}

    def end_of(key, length):  # the node and side a path ends at, made on the way
        node = 0
        for i in range(length - 1):
            side = key >> (bits - 1 - i) & 1
            if nodes[node][side] is None:
                nodes.append([None, None])
                nodes[node][side] = len(nodes) - 1
            node = nodes[node][side]
        return node, key >> (bits - length) & 1

    for text, value in networks:
        network = ipaddress.ip_network(text)
        if value not in offsets:
            offsets[value] = len(data)
            data += b"\xe1\x41v" + bytes([0x40 | len(value)]) + value.encode()
        node, side = end_of(int(network.network_address), network.prefixlen + (bits - network.max_prefixlen))
        nodes[node][side] = ("data", offsets[value])
    for key, length in aliases:
        node, side = end_of(key, length)
        nodes[node][side] = end_of(0, 97)[0]  # the node 96 zero bits down
    count = len(nodes)
    words = [[count if x is None else count + 16 + x[1] if isinstance(x, tuple) else x for x in n] for n in nodes]
    tree = b"".join(
        l.to_bytes(3, "big") + bytes([l >> 24 << 4 | r >> 24]) + (r & 0xFFFFFF).to_bytes(3, "big")
        if record_size == 28
        else l.to_bytes(record_size // 8, "big") + r.to_bytes(record_size // 8, "big")
        for l, r in words
    )

    def text(s):
        return bytes([0x40 | len(s)]) + s.encode()

    def uint(size, value):  # uint16 (size 2) or uint32 (size 4)
        return bytes([(0xA0 if size == 2 else 0xC0) | size]) + value.to_bytes(size, "big")

    meta = b"".join([
        b"\xe9", text("node_count"), uint(4, count), text("record_size"), uint(2, record_size),
        text("ip_version"), uint(2, ip_version), text("database_type"), text("test"),
        text("languages"), b"\x00\x04", text("description"), b"\xe0",
        text("binary_format_major_version"), uint(2, 2), text("binary_format_minor_version"), uint(2, 0),
        text("build_epoch"), b"\x08\x02" + (1_700_000_000).to_bytes(8, "big"),  # uint64
    ])
    return tree + bytes(16) + data + b"\xab\xcd\xefMaxMind.com" + meta


@pytest.mark.skipif(importlib.util.find_spec("maxminddb") is None, reason="needs maxminddb")
@pytest.mark.parametrize("record_size", [24, 28, 32])
def test_maxmind_db_tables_list_and_answer_as_maxminddb(tmp_path, record_size):
    import maxminddb

    networks = [("10.0.0.0/8", "ten"), ("192.0.2.0/24", "doc"), ("128.0.0.0/2", "wide"), ("2001:db8::/32", "six")]
    addresses = ["10.1.2.3", "192.0.2.9", "172.16.0.1", "::ffff:10.1.2.3", "::10.1.2.3", "2002:c000:209::1",
                 "2001:0:a01:203::", "2001:db8::1", "2001:db9::1", "::1", "0:0:0:0:0:FFFF:0A01:0203"]
    for ip_version in (4, 6):
        path = tmp_path / f"v{ip_version}.mmdb"
        aliases = [(0xFFFF << 32, 96), (0x2002 << 112, 16)] if ip_version == 6 else []  # not Teredo
        path.write_bytes(mmdb_bytes([n for n in networks if ip_version == 6 or ":" not in n[0]], ip_version,
                                    record_size, aliases))
        asked = addresses if ip_version == 6 else addresses[:3]
        with maxminddb.open_database(str(path)) as reader:
            listed = sorted(korvane_cli.mmdb_networks(reader, path.read_bytes(), "v"))
            assert listed == sorted((str(n), {"value": d["v"], "attributes": {}}) for n, d in reader)
            expected = "".join(f"{a}\t{(reader.get(a) or {'v': '-'})['v']}\n" for a in asked)
        result = run("-t", path.name, "--mmdb-value", "v", stdin="\n".join(asked).encode(), cwd=tmp_path)
        assert result.stdout.decode() == expected, result.stderr
        assert b"warning" not in result.stderr
    result = run("-t", path.name, "--mmdb-value", "vv", stdin=b"10.1.2.3\n", cwd=tmp_path)  # a typo
    assert result.stdout == b"10.1.2.3\t\tv=ten\n"
    assert "warning: no record has a field 'vv' that is not empty" in result.stderr.decode()

    corrupt = bytearray(path.read_bytes())
    corrupt[: record_size // 4] = bytes(record_size // 4)  # the root leads to itself
    path.write_bytes(bytes(corrupt))
    result = run("-t", path.name, stdin=b"10.1.2.3\n", cwd=tmp_path)
    assert result.returncode == 2 and "cannot read the table" in result.stderr.decode()

    # Each node leading twice to the next: no cycle, but 2^127 paths.
    path_to_end = mmdb_bytes([("::/128", "end")], 6, 24)  # 128 nodes, 6 bytes each
    count = 128
    chain = b"".join((i + 1).to_bytes(3, "big") * 2 for i in range(count - 1)) + (count + 16).to_bytes(3, "big") * 2
    path.write_bytes(chain + path_to_end[len(chain) :])
    result = run("-t", path.name, stdin=b"::1\n", cwd=tmp_path)
    assert result.returncode == 2 and "cannot read the table" in result.stderr.decode()


@pytest.mark.skipif(importlib.util.find_spec("maxminddb") is None, reason="needs maxminddb")
def test_ipv6_data_above_the_ipv4_range_answers_ipv4_as_maxminddb(tmp_path):
    import maxminddb

    path = tmp_path / "low.mmdb"
    path.write_bytes(mmdb_bytes([("::/1", "low"), ("8000::/1", "high")], 6, 24))
    asked = ["1.2.3.4", "255.255.255.255", "::1", "9000::1"]
    with maxminddb.open_database(str(path)) as reader:
        expected = "".join(f"{a}\t{reader.get(a)['v']}\n" for a in asked)
    result = run("-t", path.name, "--mmdb-value", "v", stdin="\n".join(asked).encode(), cwd=tmp_path)
    assert result.stdout.decode() == expected, result.stderr
