"""Coverage-guided fuzzing of the korvane Python surface (atheris).

Every fuzz input becomes a short program of calls (insert, lookup,
lookup_many, remove, contains, clear, stats, len, repr and calls with wrong
argument shapes) on a fresh RadixEngine of one construction. Each call is
predicted first by a plain-Python reference and the engine must agree
exactly:

* accepted texts: subnet and IP texts are judged by an own dotted-quad
  parser (cross-checked against ipaddress.IPv4Address) and by
  ipaddress.IPv6Address with zone ids and non-ASCII characters excluded;
  netmask lengths, '+' and leading zeros in lengths are handled here, as
  the engine accepts them;
* failures: exception type, message and the "while processing '...'" note;
* successes: results of lookup/contains/remove come from a brute-force
  longest-prefix model; stats() and len() from a model of the counters and,
  for the cached constructions, of the per-address lookup cache.

Metadata objects are built from the fuzz bytes too: dicts and dict
subclasses with values of many types, str subclasses, keys that compare
equal to "value"/"attributes" or raise from __eq__, objects that pretend to
be a dict through __class__, lone surrogates, NULs.

Usage:
  fuzz_korvane.py --variant=NAME [libFuzzer flags] [corpus dirs or files]
  fuzz_korvane.py --variant=NAME --random SECONDS   (no atheris needed)
NAME is none, standard, lockfree or adaptive. Files given as arguments are
replayed by libFuzzer (reproduce a crash with the crash-* file it wrote).
"""

import collections
import ipaddress
import os
import re
import sys
import time

import korvane

# ------------------------------------------------------------------ bytes


class Input:
    """Reads decisions from the fuzz bytes; zeros once they run out."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):
        if n <= 1:
            return 0
        value = self.byte()
        if n > 256:
            value = value << 8 | self.byte()
        if n > 65536:
            value = value << 16 | self.byte() << 8 | self.byte()
        return value % n

    def bits(self, count):
        value = 0
        for _ in range((count + 7) // 8):
            value = value << 8 | self.byte()
        return value & ((1 << count) - 1)

    def chance(self, percent):
        return self.below(100) < percent

    def pick(self, items):
        return items[self.below(len(items))]

    def raw(self, limit):
        n = self.below(limit + 1)
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk

    def exhausted(self):
        return self.pos >= len(self.data)


# ------------------------------------------------------------------ reference parsing

DIGITS = re.compile(r"[0-9]+", re.ASCII)
LENGTH = re.compile(r"\+?[0-9]+", re.ASCII)
IPV6_CHARS = frozenset("0123456789abcdefABCDEF:.")


def dotted_quad(text):
    """The four bytes of a dotted-quad IPv4 text as an int, else None."""
    parts = text.split(".")
    result = None
    if len(text) <= 15 and len(parts) == 4:
        result = 0
        for part in parts:
            if not (1 <= len(part) <= 3 and DIGITS.fullmatch(part)) or (part[0] == "0" and part != "0"):
                result = None
                break
            if int(part) > 255:
                result = None
                break
            result = result << 8 | int(part)
    # Where the rules coincide ipaddress must agree (a harness self-check).
    try:
        theirs = int(ipaddress.IPv4Address(text)) if text.isascii() else None
    except ValueError:
        theirs = None
    assert theirs == result, ("reference disagrees with ipaddress", text, result, theirs)
    return result


def ipv6_text(text):
    """The 128-bit value of an RFC 4291 IPv6 text (no zone id), else None."""
    if not text or not IPV6_CHARS.issuperset(text):
        return None
    try:
        return int(ipaddress.IPv6Address(text))
    except ValueError:
        return None


def netmask_length(text):
    value = dotted_quad(text)
    if value is None:
        return None
    ones = 32 - ((~value & 0xFFFFFFFF).bit_length())
    return ones if value == ((0xFFFFFFFF << (32 - ones)) & 0xFFFFFFFF) else None


def length_part(text, width):
    if text is None:
        return width
    if LENGTH.fullmatch(text) and int(text.lstrip("+")) <= width:
        return int(text.lstrip("+"))
    return None


def parse_subnet(text):
    """(version, network int, length) as the engine should read it, or None."""
    address, slash, rest = text.partition("/")
    if "/" in rest:
        return None
    p = rest if slash else None
    v4 = dotted_quad(address)
    if v4 is not None:
        length = length_part(p, 32)
        if length is None and p is not None:
            length = netmask_length(p)
        if length is not None:
            return 4, v4 >> (32 - length) << (32 - length) if length else 0, length
    v6 = ipv6_text(address)
    if v6 is not None:
        length = length_part(p, 128)
        if length is not None:
            return 6, v6 >> (128 - length) << (128 - length) if length else 0, length
    return None


def parse_ip(text):
    v4 = dotted_quad(text)
    if v4 is not None:
        return 4, v4
    v6 = ipv6_text(text)
    return None if v6 is None else (6, v6)


def address_text(version, value):
    return str(ipaddress.IPv4Address(value) if version == 4 else ipaddress.IPv6Address(value))


# ------------------------------------------------------------------ reference engine


class Model:
    """Brute-force longest-prefix match plus counters and lookup cache."""

    def __init__(self, cached):
        self.entries = {}  # (version, network, length) -> (value, attributes)
        self.cache = {} if cached else None
        self.counters = dict.fromkeys(["inserts", "lookups", "hits", "misses", "removals"], 0)

    @staticmethod
    def covers(key, address):
        version, network, length = key
        width = 32 if version == 4 else 128
        return version == address[0] and (address[1] >> (width - length)) == (network >> (width - length))

    def invalidate(self, key):
        if self.cache is not None:
            for address in [a for a in self.cache if self.covers(key, a)]:
                del self.cache[address]

    def insert(self, key, record):
        self.entries[key] = record
        self.counters["inserts"] += 1
        self.invalidate(key)

    def remove(self, key):
        existed = self.entries.pop(key, None) is not None
        self.counters["removals"] += existed
        self.invalidate(key)
        return existed

    def best(self, address):
        keys = [k for k in self.entries if self.covers(k, address)]
        return max(keys, key=lambda k: k[2], default=None)

    def lookup(self, address):
        if self.cache is not None and address in self.cache:
            return self.cache[address]
        best = self.best(address)
        result = None if best is None else self.entries[best]
        self.counters["lookups"] += 1
        self.counters["hits" if result is not None else "misses"] += 1
        if self.cache is not None:
            self.cache[address] = result
        return result

    def clear(self):
        self.entries.clear()
        if self.cache is not None:
            self.cache.clear()

    def stats(self):
        return {"size": len(self.entries), **self.counters}


# ------------------------------------------------------------------ odd objects


class StrSub(str):
    pass


class StrEqAll(str):
    """A str subclass that hashes randomly-ish and equals only itself."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other

    def __str__(self):
        return "not the content"


class DictSub(dict):
    def __getitem__(self, key):  # ignored by the engine: it reads the storage
        raise AssertionError("engine must not call __getitem__")

    def get(self, *args):
        raise AssertionError("engine must not call get")

    def items(self):
        raise AssertionError("engine must not call items")

    def __iter__(self):
        raise AssertionError("engine must not iterate through __iter__")


class FuzzEqError(Exception):
    pass


class EqualsName:
    """Hashes like "value"/"attributes" and compares equal to anything."""

    def __init__(self, name):
        self.hash = hash(name)

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        return True


class RaisesOnEq:
    """Hashes like "value"/"attributes"; any comparison raises."""

    def __init__(self, name):
        self.hash = hash(name)

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        raise FuzzEqError("compared")


class PretendDict:
    """isinstance(x, dict) is True, but it is not a dict."""

    @property
    def __class__(self):
        return dict


class PretendStr:
    @property
    def __class__(self):
        return str


class Outer:
    class Inner:
        pass


ODD_CHARS = "0123456789abcdefABCDEF:./+%- \x00\t\n\u0663\uff11\u017f\ud800\udfff\u00e9\U0001f600"


def fuzz_str(inp, limit=12):
    mode = inp.below(4)
    if mode == 0:
        raw = inp.raw(limit)
        if inp.chance(50):
            return raw.decode("utf-8", errors="replace")
        try:  # encoded surrogates become lone surrogates
            return raw.decode("utf-8", errors="surrogatepass")
        except UnicodeDecodeError:  # other bad bytes too (U+DC80..U+DCFF)
            return raw.decode("utf-8", errors="surrogateescape")
    if mode == 1:
        return "".join(inp.pick(ODD_CHARS) for _ in range(inp.below(limit)))
    if mode == 2:
        return inp.pick(["", "value", "attributes", "x" * 300, "\u2014", "a\x00b", "\udc80"])
    return "s" + str(inp.below(8))


def fuzz_object(inp, depth=0):
    kind = inp.below(22 if depth < 3 else 12)
    if kind == 0:
        return fuzz_str(inp)
    if kind == 1:
        return StrSub(fuzz_str(inp))
    if kind == 2:
        return inp.below(1 << 16) - 5
    if kind == 3:
        return None
    if kind == 4:
        return inp.raw(6)
    if kind == 5:
        return 1.5
    if kind == 6:
        return inp.chance(50)
    if kind == 7:
        return PretendDict()
    if kind == 8:
        return PretendStr()
    if kind == 9:
        return Outer.Inner()
    if kind == 10:
        return StrEqAll(fuzz_str(inp))
    if kind == 11:
        return object()
    if kind in (12, 13):
        return [fuzz_object(inp, depth + 1) for _ in range(inp.below(3))]
    if kind == 14:
        return tuple(fuzz_object(inp, depth + 1) for _ in range(inp.below(3)))
    return fuzz_dict(inp, depth + 1)


def put(mapping, key, value):
    """Stores a pair; a key whose comparison raises may refuse to go in."""
    try:
        dict.__setitem__(mapping, key, value)
    except FuzzEqError:
        pass


def fuzz_key(inp, depth):
    kind = inp.below(12)
    if kind < 6:
        return fuzz_str(inp)
    if kind == 6:
        return StrSub(fuzz_str(inp))
    if kind == 7:
        return StrEqAll(fuzz_str(inp))
    if kind == 8:
        return inp.below(10)
    if kind == 9:
        return EqualsName(inp.pick(["value", "attributes"]))
    if kind == 10:
        return RaisesOnEq(inp.pick(["value", "attributes"]))
    return (inp.below(3),) if depth < 3 else None


def fuzz_dict(inp, depth=0):
    cls = inp.pick([dict, dict, dict, DictSub, collections.OrderedDict, collections.defaultdict])
    result = cls()
    for _ in range(inp.below(5)):
        key = fuzz_key(inp, depth)
        put(result, key, fuzz_object(inp, depth + 1))
    return result


def fuzz_metadata(inp):
    """Mostly well-formed records, with every kind of fault now and then."""
    if inp.chance(8):
        return fuzz_object(inp)
    cls = inp.pick([dict, dict, dict, dict, DictSub, collections.OrderedDict])
    metadata = cls()
    if inp.chance(20):
        for _ in range(inp.below(3)):
            put(metadata, fuzz_key(inp, 1), fuzz_object(inp, 1))
    if inp.chance(85):
        value = fuzz_str(inp) if inp.chance(80) else fuzz_object(inp, 1)
        put(metadata, StrSub("value") if inp.chance(5) else "value", value)
    if inp.chance(85):
        if inp.chance(85):
            attributes = inp.pick([dict, dict, DictSub, collections.OrderedDict])()
            for _ in range(inp.below(4)):
                key = fuzz_str(inp) if inp.chance(85) else fuzz_key(inp, 2)
                value = fuzz_str(inp) if inp.chance(85) else fuzz_object(inp, 2)
                put(attributes, key, value)
        else:
            attributes = fuzz_object(inp, 1)
        put(metadata, "attributes", attributes)
    if inp.chance(20):
        for _ in range(inp.below(3)):
            put(metadata, fuzz_key(inp, 1), fuzz_object(inp, 1))
    return metadata


# ------------------------------------------------------------------ texts

ANCHORS = {
    4: [0x0A000000, 0xC0A80100, 0, 0xFFFFFFFF, 0x7F000001],
    6: [0x20010DB8 << 96, 0, 0xFFFF0A000000, 0xFE80 << 112 | 1, (1 << 128) - 1],
}


def fuzz_address(inp):
    version = inp.pick([4, 6])
    width = 32 if version == 4 else 128
    spread = inp.below(width + 1)
    value = inp.pick(ANCHORS[version]) ^ inp.bits(spread)
    return version, value


def spell_address(inp, version, value):
    if version == 4:
        return address_text(4, value)
    address = ipaddress.IPv6Address(value)
    form = inp.below(4)
    if form == 0:
        text = str(address)
    elif form == 1:
        text = address.exploded
    elif form == 2:
        groups = address.exploded.split(":")
        text = ":".join(groups[:6]) + ":" + address_text(4, value & 0xFFFFFFFF)
    else:  # groups without leading zeros, no "::"
        text = ":".join(format(int(g, 16), "x") for g in address.exploded.split(":"))
    return text.upper() if inp.chance(30) else text


def spell_length(inp, version, length):
    width = 32 if version == 4 else 128
    forms = [f"/{length}", f"/+{length}", f"/0{length}", f"/{'0' * inp.below(30)}{length}"]
    if version == 4:
        forms.append("/" + address_text(4, (0xFFFFFFFF << (32 - length)) & 0xFFFFFFFF))
    if length == width:
        forms.append("")
    forms += ["/", f"/{width + 1 + inp.below(300)}", "/99999999999999999999999", "/-1", "/+", "/++1",
              "/ 8", "/8 ", "/0x10", "/1e1", f"/{length}/{length}", "/\u0663", "/0.0.255.255", "/255.0.255.0"]
    good = 4 + (version == 4) + (length == width)
    return forms[inp.below(good)] if inp.chance(85) else inp.pick(forms)


def mutate(inp, text):
    chars = list(text)
    for _ in range(inp.below(4)):
        op = inp.below(6)
        where = inp.below(len(chars) + 1)
        if op == 0:
            chars.insert(where, inp.pick(ODD_CHARS))
        elif op == 1 and chars:
            del chars[min(where, len(chars) - 1)]
        elif op == 2 and chars:
            chars[min(where, len(chars) - 1)] = inp.pick(ODD_CHARS)
        elif op == 3:
            chars[where:where] = chars[inp.below(len(chars) + 1):][: inp.below(6)]
        elif op == 4:
            del chars[where:]
        else:
            chars.insert(where, chr(inp.below(0x110000)))
    return "".join(chars)


def fuzz_subnet_text(inp):
    mode = inp.below(10)
    if mode == 0:
        return fuzz_str(inp, 48)
    version, value = fuzz_address(inp)
    width = 32 if version == 4 else 128
    text = spell_address(inp, version, value) + spell_length(inp, version, inp.below(width + 1))
    return mutate(inp, text) if mode >= 7 else text


def fuzz_ip_text(inp):
    mode = inp.below(10)
    if mode == 0:
        return fuzz_str(inp, 48)
    text = spell_address(inp, *fuzz_address(inp))
    if mode == 1:
        text += inp.pick(["/32", "%eth0", "%1", " ", "\n", "\x00", "."])
    return mutate(inp, text) if mode >= 7 else text


def fuzz_text_argument(inp, maker):
    """Mostly a text; sometimes another type, a str subclass or None."""
    if inp.chance(92):
        return maker(inp)
    kind = inp.below(5)
    if kind == 0:
        return StrSub(maker(inp))
    if kind == 1:
        return None
    if kind == 2:
        return maker(inp).encode("utf-8", "surrogatepass")
    if kind == 3:
        return PretendStr()
    return fuzz_object(inp, 2)


# ------------------------------------------------------------------ expectations

MISSING = object()


class Expected(Exception):
    """A predicted failure: exception type, message (None: any) and notes."""

    def __init__(self, kind, message=None, note=None):
        super().__init__(kind, message, note)
        self.kind, self.message, self.notes = kind, message, [note] if note else None


def type_mismatch(obj, expected):
    if obj is None:
        return f"'None' is not an instance of '{expected}'"
    return f"'{type(obj).__qualname__}' object is not an instance of '{expected}'"


def text_of(obj, note):
    """Plain text of a str argument or raise the Expected failure."""
    if not issubclass(type(obj), str):
        raise Expected(TypeError, type_mismatch(obj, "str"), note)
    try:
        obj.encode("utf-8")
    except UnicodeEncodeError:
        raise Expected(UnicodeEncodeError, None, note) from None
    return str.__str__(obj)


def expect_subnet(obj):
    text = text_of(obj, "while processing 'subnet'")
    key = parse_subnet(text)
    if key is None:
        raise Expected(ValueError, f"Invalid CIDR '{text}': invalid address: {text}", "while processing 'subnet'")
    return key


def expect_ip(obj):
    text = text_of(obj, "while processing 'ip'")
    address = parse_ip(text)
    if address is None:
        raise Expected(ValueError, f"Invalid IP address: {text}", "while processing 'ip'")
    return address


def expect_record(metadata):
    """(value, attributes) as stored, or raise the Expected failure."""
    try:
        value = dict.get(metadata, "value", MISSING)
    except FuzzEqError:
        raise Expected(FuzzEqError, "compared") from None
    if value is MISSING:
        value = ""
    else:
        value = text_of(value, None)
    try:
        attributes = dict.get(metadata, "attributes", MISSING)
    except FuzzEqError:
        raise Expected(FuzzEqError, "compared") from None
    pairs = {}
    if attributes is not MISSING:
        if not issubclass(type(attributes), dict):
            raise Expected(TypeError, "'attributes' must be a dict")
        for k, v in dict.items(attributes):
            key_text = text_of(k, None)  # the key is checked before its value
            pairs[key_text] = text_of(v, None)
    return value, pairs


def expect_insert(subnet, metadata):
    text_of(subnet, "while processing 'subnet'")  # str check and UTF-8 come first
    if not issubclass(type(metadata), dict):
        raise Expected(TypeError, type_mismatch(metadata, "dict"), "while processing 'metadata'")
    key = expect_subnet(subnet)
    return key, expect_record(metadata)


class Failure(AssertionError):
    pass


def check(condition, *what):
    if not condition:
        raise Failure(*what)


def run(call, expectation):
    """Calls `call` and compares with `expectation` (a function that returns
    the predicted result or raises Expected). Returns (ok, prediction)."""
    try:
        predicted = expectation()
    except Expected as e:
        predicted_failure = e
    else:
        predicted_failure = None
    try:
        got = call()
    except Exception as actual:  # noqa: BLE001 - every exception is judged
        if predicted_failure is None:
            raise Failure("unexpected exception", repr(actual), getattr(actual, "__notes__", None)) from actual
        check(type(actual) is predicted_failure.kind, "exception type", repr(actual), predicted_failure.kind)
        if predicted_failure.message is not None:
            check(str(actual) == predicted_failure.message, "message", str(actual), predicted_failure.message)
        check(getattr(actual, "__notes__", None) == predicted_failure.notes,
              "notes", getattr(actual, "__notes__", None), predicted_failure.notes)
        return False, None, None
    check(predicted_failure is None, "call succeeded but should fail", repr(got),
          predicted_failure and (predicted_failure.kind, predicted_failure.message))
    return True, predicted, got


def as_result(record):
    if record is None:
        return None
    return {"value": record[0], "attributes": dict(record[1])}


def check_result(got, record, where):
    if record is None:
        check(got is None, "expected no match", where, got)
        return
    check(type(got) is dict and list(got) == ["value", "attributes"], "result shape", where, got)
    check(type(got["value"]) is str and type(got["attributes"]) is dict, "result types", where, got)
    check(all(type(k) is str and type(v) is str for k, v in got["attributes"].items()), "attribute types", got)
    check(got == as_result(record), "wrong record", where, got, as_result(record))


# ------------------------------------------------------------------ the program

VARIANTS = {"none": None, "standard": "standard", "lockfree": "lockfree", "adaptive": "adaptive"}
VARIANT = None

SIGNATURES = {  # method -> (parameter names, required count)
    "insert": (("subnet", "metadata"), 2),
    "lookup": (("ip",), 1),
    "remove": (("subnet",), 1),
    "contains": (("ip",), 1),
}


def binding_error(name, params, required, nargs, kwnames):
    """CPython's own text for a bad call shape, or None when it binds."""
    function = f"RadixEngine.{name}()"
    filled = [i < nargs for i in range(len(params))]
    for kw in kwnames:
        if kw not in params:
            return f"{function} got an unexpected keyword argument '{kw}'"
        if filled[params.index(kw)]:
            return f"{function} got multiple values for argument '{kw}'"
        filled[params.index(kw)] = True
    if nargs > len(params):
        if required < len(params):
            return f"{function} takes from {required} to {len(params)} positional arguments but {nargs} were given"
        plural = "s" if len(params) != 1 else ""
        return (f"{function} takes {len(params)} positional argument{plural} but {nargs} "
                f"{'was' if nargs == 1 else 'were'} given")
    missing = [p for p, f in zip(params[:required], filled) if not f]
    if missing:
        quoted = [f"'{m}'" for m in missing]
        names = quoted[0] if len(quoted) == 1 else " and ".join(quoted)
        return (f"{function} missing {len(missing)} required positional argument"
                f"{'s' if len(missing) > 1 else ''}: {names}")
    return None


def expect_many(items):
    """The addresses of lookup_many's items, or the failure of the first bad
    one, named by its position."""
    addresses = []
    for i, item in enumerate(items):
        try:
            addresses.append(expect_ip(item))
        except Expected as e:
            raise Expected(e.kind, e.message, f"while processing 'addresses' item {i}: {item!r}") from None
    return addresses


def step(inp, engine, model):
    op = inp.below(21)
    if op < 7:  # insert
        subnet = fuzz_text_argument(inp, fuzz_subnet_text)
        metadata = fuzz_metadata(inp)
        ok, predicted, _ = run(lambda: engine.insert(subnet, metadata), lambda: expect_insert(subnet, metadata))
        if ok:
            key, record = predicted
            model.insert(key, record)
            if inp.chance(30) and type(metadata) is dict:  # the stored record is a copy
                metadata.clear()
            # The new entry is found by its own network address.
            address = key[:2]
            found = engine.lookup(address_text(*address))
            expected = model.lookup(address)
            check_result(found, expected, ("after insert", subnet))
            if model.best(address) == key:
                check(found["value"] == record[0], "inserted value not found", subnet, found, record)
    elif op < 11:  # lookup
        ip = fuzz_text_argument(inp, fuzz_ip_text)
        ok, address, got = run(lambda: engine.lookup(ip), lambda: expect_ip(ip))
        if ok:
            check_result(got, model.lookup(address), ("lookup", ip))
    elif op < 13:  # contains
        ip = fuzz_text_argument(inp, fuzz_ip_text)
        ok, address, got = run(lambda: engine.contains(ip), lambda: expect_ip(ip))
        if ok:
            check(got is (model.lookup(address) is not None), "contains", ip, got)
    elif op < 16:  # remove
        subnet = fuzz_text_argument(inp, fuzz_subnet_text)
        if inp.chance(40) and model.entries:  # an entry that exists, spelled anew
            version, network, length = inp.pick(sorted(model.entries))
            subnet = spell_address(inp, version, network | inp.bits((32 if version == 4 else 128) - length))
            subnet += spell_length(inp, version, length)
        ok, key, got = run(lambda: engine.remove(subnet), lambda: expect_subnet(subnet))
        if ok:
            check(got is model.remove(key), "remove", subnet, got)
    elif op == 16:
        engine.clear()
        model.clear()
    elif op == 17:
        check(engine.stats() == model.stats(), "stats", engine.stats(), model.stats())
        check(list(engine.stats()) == ["size", "inserts", "lookups", "hits", "misses", "removals"], "stats order")
    elif op == 18:
        size = len(model.entries)
        check(len(engine) == size and repr(engine) == f"RadixEngine(size={size})" and bool(engine) == bool(size),
              "len/repr/bool", len(engine), repr(engine), size)
    elif op == 19:  # lookup_many: repeats, over more than one batch, bad items too
        items = []
        for _ in range(inp.below(150)):
            items.append(inp.pick(items) if items and inp.chance(30) else fuzz_text_argument(inp, fuzz_ip_text))
        ok, addresses, got = run(lambda: engine.lookup_many(items), lambda: expect_many(items))
        if ok:
            check(type(got) is list and len(got) == len(items), "lookup_many length", len(got), len(items))
            for i, address in enumerate(addresses):
                check_result(got[i], model.lookup(address), ("lookup_many", i, items[i]))
    else:  # a call of the wrong shape, or a keyword call
        name = inp.pick(sorted(SIGNATURES))
        params, required = SIGNATURES[name]
        nargs = inp.below(4)
        args = ["10.0.0.0/8" if name != "lookup" and name != "contains" else "10.0.0.1", {}, "x"][:nargs]
        kwnames = [inp.pick(list(params) + ["bogus", "variant", "self"]) for _ in range(inp.below(3))]
        kwnames = list(dict.fromkeys(kwnames))
        kwargs = {k: ("10.0.0.1" if k == "ip" else {} if k == "metadata" else "10.0.0.0/8") for k in kwnames}
        error = binding_error(name, params, required, nargs, kwnames)
        if error is None:
            return  # a valid call; the other operations cover it
        try:
            getattr(engine, name)(*args, **kwargs)
        except TypeError as e:
            check(str(e) == error and getattr(e, "__notes__", None) is None, "binding text", str(e), error)
        else:
            raise Failure("bad call shape accepted", name, args, kwargs)


def test_one_input(data):
    inp = Input(data)
    engine = korvane.RadixEngine(VARIANT)
    model = Model(cached=VARIANT is not None)
    for _ in range(24):
        if inp.exhausted():
            break
        step(inp, engine, model)
    check(engine.stats() == model.stats(), "final stats", engine.stats(), model.stats())
    check(len(engine) == len(model.entries), "final len")


# ------------------------------------------------------------------ main


def random_mode(seconds):
    """Fallback without atheris: random inputs for `seconds`."""
    deadline = time.monotonic() + seconds
    runs = 0
    while time.monotonic() < deadline:
        data = os.urandom(int.from_bytes(os.urandom(2), "little") % 600)
        try:
            test_one_input(data)
        except BaseException:
            path = f"crash-random-{runs}"
            with open(path, "wb") as f:
                f.write(data)
            print(f"failing input written to {path}", file=sys.stderr)
            raise
        runs += 1
    print(f"random mode: {runs} inputs in {seconds} s, no failure")


def main():
    global VARIANT
    argv = [sys.argv[0]]
    random_seconds = None
    args = iter(sys.argv[1:])
    for arg in args:
        if arg.startswith("--variant="):
            VARIANT = VARIANTS[arg.split("=", 1)[1]]
        elif arg == "--random":
            random_seconds = float(next(args))
        else:
            argv.append(arg)
    if random_seconds is not None:
        random_mode(random_seconds)
        return
    import atheris  # noqa: PLC0415 - only needed for coverage-guided runs

    for fn in (dotted_quad, ipv6_text, parse_subnet, parse_ip, expect_record, expect_insert, expect_many, step, run,
               binding_error, netmask_length, length_part):
        globals()[fn.__name__] = atheris.instrument_func(fn)
    atheris.Setup(argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
