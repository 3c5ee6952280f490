"""The codec's shortcuts for common values give exactly what the general path
gives: exact built-in types ahead of the name dispatch (their subclasses still
go by name), small integers on both sides of the shortcut's bounds, integers
read with a wide load ahead of other input, top-level texts and binary values
whose first buffer is sized from the value, date and time texts written
without calling isoformat(), and the texts of dicts made once per decoding."""
import collections
import datetime as dt
import enum
import sys

import pytest
from hypothesis import given, settings, strategies as st

import zelvane

from codec_util import (OFFSET, UNSUPPORTED, assert_no_leak, decode, encoded, exactly, expected_int, h,
                        same)

# Signed widths 1 to 8 at both ends, and the bounds of one, two and three
# internal digits (15 or 30 bits each) and of a C long long.
INTEGERS = sorted({sign * 2**bits + delta for bits in (7, 8, 15, 16, 23, 30, 31, 39, 45, 47, 55, 60, 62, 63, 64)
                   for sign in (1, -1) for delta in (-1, 0, 1)} | {0})


@pytest.mark.parametrize("value", INTEGERS)
def test_integer_bounds(shm_name, value):
    name = shm_name("int")
    assert encoded(name, value) == expected_int(value)
    assert same(value, zelvane.read_memory(name))


# Ints past a word and up to four 30-bit digits are written from a 128-bit
# value: both signs around the word, the digits' and the 128 bits' bounds,
# alone, as members and as an int subclass.
WIDE = sorted({sign * 2**bits + delta for bits in (63, 64, 71, 72, 89, 90, 91, 119, 120, 121, 126, 127, 128)
               for sign in (1, -1) for delta in (-1, 0, 1)})


@pytest.mark.parametrize("value", WIDE)
def test_wide_ints_as_the_rules_write_them(value):
    assert zelvane.dumps(value) == expected_int(value)
    assert zelvane.dumps([value, 1]) == h("fd 1d 02") + expected_int(value)[1:] + h("05 01")
    assert zelvane.dumps(subclass("integral", int, value)) == expected_int(value)
    assert same(value, zelvane.loads(zelvane.dumps(value)))


# Lone ints of one value byte share their encodings, made on first use.
@pytest.mark.parametrize("value", [-129, -128, -1, 0, 1, 127, 128])
def test_lone_one_byte_ints(value):
    first = zelvane.dumps(value)
    references = sys.getrefcount(first)
    results = [zelvane.dumps(value) for _ in range(100)]
    assert results == [expected_int(value)] * 100
    del results
    assert sys.getrefcount(first) == references


def protocol1_int(value):
    width = ((value if value >= 0 else ~value).bit_length() + 8) // 8
    body = value.to_bytes(width, "little", signed=True)
    return bytes([0xFE, 3 + width]) + body if width <= 5 else bytes([0xFE, 9, width]) + body


# The value bytes are read together with whatever follows them, which must
# not leak into the value: other items, stray bytes, or nothing at all.
@pytest.mark.parametrize("tail", ["", "10", "ff" * 8, "00" * 8])
@pytest.mark.parametrize("value", [v for v in INTEGERS if -2**63 <= v < 2**63])
@pytest.mark.parametrize("wire", [expected_int, protocol1_int], ids=["protocol2", "protocol1"])
def test_integer_read_ahead_of_other_input(shm_name, wire, value, tail):
    assert same(value, decode(shm_name("intrd"), wire(value) + h(tail)))


@pytest.mark.parametrize("value", [v for v in INTEGERS if abs(v) < 2**40])
def test_integers_as_members_followed_by_more_members(shm_name, value):
    data = h("fd 1d 03") + expected_int(value)[1:] * 2 + h("0d")
    assert same([value, value, True], decode(shm_name("intls"), data))


class Color(enum.IntEnum):
    RED = 1


class Flag(enum.IntFlag):
    ON = 1


def subclass(type_name, base, *args):
    return type(type_name, (base,), {})(*args)


# bool is an int subclass with a name of its own; None and bytes have exact
# shortcuts; a subclass of a built-in type is judged by its own name.
@pytest.mark.parametrize("value, wire", [
    ([True, 1, False, 0, None, b"x"], "fd 1d 06 0d 05 01 0e 05 00 10 13 01 78"),
    ({True: False, None: 1}, "fd 2c 02 0d 0e 10 05 01"),
    ((True, b""), "fd 27 02 0d 12"),
    (subclass("bytestring", bytes, b"ab"), "fd 13 02 61 62"),
    ([subclass("integral", int, 2**40)], "fd 1d 01 0a 06 00 00 00 00 00 01"),
    (subclass("stringy", str, "\u00e9"), "fd 01 02 c3 a9"),
    (subclass("lst", list, [subclass("dictionary", dict, {1: 2})]), "fd 1d 01 2c 01 05 01 05 02"),
], ids=["bools", "dict", "tuple", "bytes_sub", "int_sub", "str_sub", "list_dict_sub"])
def test_exact_types_and_named_subclasses(shm_name, value, wire):
    name = shm_name("exact")
    assert encoded(name, value) == h(wire)


@pytest.mark.parametrize("value", [
    Color.RED, [Flag.ON], subclass("Count", int, 3), {"a": subclass("Celsius", float, 1.5)},
    [subclass("Blob", bytes, b"x")], (subclass("Name", str, "a"),), [subclass("Table", dict)],
    subclass("Row", list),
], ids=lambda v: repr(v)[:20])
def test_subclasses_with_other_names_are_refused(shm_name, value):
    with pytest.raises(ValueError, match=exactly(UNSUPPORTED)):
        zelvane.write_memory(shm_name("refuse"), value)


def size_header(base, size):
    """Code and size bytes of the shortest form for `size`."""
    if size == 0:
        return bytes([base])
    n = (size.bit_length() + 7) // 8
    if n <= 2:
        return bytes([base + n]) + size.to_bytes(n, "little")
    return bytes([base + 3, n]) + size.to_bytes(n, "little")


# Top-level texts whose UTF-8 form is longer than their length in characters,
# around the size forms' bounds, and binary values at those bounds.
@pytest.mark.parametrize("value", [
    "\u00e9" * 127, "\u00e9" * 128, "a\u00e9" * 85, "\u20ac" * 85, "\u20ac" * 86, "\u20ac" * 21845,
    "\u20ac" * 21846, "\U0001f600" * 16383, "\U0001f600" * 16384, "x" * 255 + "\u00e9",
    b"", b"\x00" * 255, b"\x01" * 65536, bytearray(), bytearray(b"\x02" * 256),
], ids=lambda v: f"{type(v).__name__}{len(v)}")
def test_top_level_text_and_binary(shm_name, value):
    name = shm_name("top")
    if isinstance(value, str):
        payload, base = value.encode(), 0
    else:
        payload, base = bytes(value), 18 if isinstance(value, bytes) else 23
    assert encoded(name, value) == b"\xfd" + size_header(base, len(payload)) + payload
    assert same(value, zelvane.read_memory(name))


ISO_CODES = {dt.datetime: 0x35, dt.date: 0x37, dt.time: 0x38}
naive_or_utc = st.sampled_from([None, dt.timezone.utc])


# Naive and UTC dates and times are formatted without calling isoformat();
# the text must be the one it returns.
@settings(max_examples=300)
@given(value=st.one_of(st.datetimes(timezones=naive_or_utc), st.dates(), st.times(timezones=naive_or_utc),
                       st.sampled_from([dt.datetime.min, dt.datetime.max, dt.time.max,
                                        dt.datetime(1, 1, 1, tzinfo=dt.timezone.utc), dt.date.max])))
def test_date_and_time_text_is_isoformat(shm_name, value):
    text = value.isoformat().encode()
    name = shm_name("iso")
    assert encoded(name, value) == bytes([0xFD, ISO_CODES[type(value)], len(text)]) + text
    assert same(value, zelvane.read_memory(name))
    zelvane.remove_memory(name)


# Short ASCII texts of a dict's keys and values are made once per decoding;
# everything else (other lengths, non-ASCII, bad or cut-short items) takes
# the general path with its own outcome.
@pytest.mark.parametrize("value", [
    [{"id": i, "name": "n%d" % (i % 7), "ok": True} for i in range(300)],
    {"k%d" % i: "v%d" % (i % 90) for i in range(1000)},
    {"x" * n: "y" * n for n in (1, 31, 32, 33, 255)},
    [{"\u00e9t\u00e9": "caf\u00e9", "a": ["a", {"a": "a"}]}] * 3,
    [collections.OrderedDict(b=1, a=2), collections.Counter("abracadabra"), {"b": 1, "a": 2}],
], ids=["records", "many-keys", "lengths", "non-ascii", "mappings"])
def test_dict_texts_read_back(shm_name, value):
    name = shm_name("keys")
    zelvane.write_memory(name, value)
    assert same(value, zelvane.read_memory(name))


@pytest.mark.parametrize("wire, exc, message", [
    ("fd 2c 01 01 00 10", None, {"": None}),
    ("fd 2c 01 01 05 61", ValueError, OFFSET),
    ("fd 2c 01 01", ValueError, OFFSET),
    ("fd 2c 01 05 01 01 03 61 62", ValueError, OFFSET),
    ("fd 2c 01 01 02 c3 28 10", UnicodeDecodeError, None),
    ("fd 2c 01 01 01 80 10", UnicodeDecodeError, None),
])
def test_dict_texts_cut_short_or_invalid(shm_name, wire, exc, message):
    name = shm_name("badkey")
    if exc is None:
        assert same(message, decode(name, h(wire)))
    else:
        with pytest.raises(exc, match=message and exactly(message)):
            decode(name, h(wire))


def test_dict_texts_are_released(shm_name):
    name = shm_name("keyleak")
    zelvane.write_memory(name, [{"key%d" % (i % 80): "value", "other": i} for i in range(200)])
    assert_no_leak(lambda: zelvane.read_memory(name), 300)


def sequence_header(code, count):
    """List (code 28) or tuple (38) count: one byte up to 255, else two."""
    if count < 256:
        return bytes([0xFD, code + 1, count])
    return bytes([0xFD, code + 2]) + count.to_bytes(2, "little")


# Runs of word-sized ints are written a block at a time, and naive or UTC
# dates and times without the dispatcher: members on either side of a block
# and of the word's bounds, and the members that break a run, encode as each
# of them does alone.
@pytest.mark.parametrize("members", [
    list(range(63)), list(range(-64, 0)), list(range(65)), [2**62, -2**63] * 65, list(range(300)),
    [sign * (2**bits + delta) for bits in (30, 45, 60, 62, 63) for delta in (-1, 0, 1) for sign in (1, -1)] * 5,
    [1, 2**63, 3, -2**63 - 1, 4, 2**100], [1, "a", 2, True, None, 3.5, 4, subclass("integral", int, 7), 5] * 20,
    [dt.datetime(2024, 1, 2, 3, 4, 5, 6), 7, dt.date(2024, 1, 2), dt.time(1, 2), 8,
     dt.datetime(2024, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=2))), dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc),
     dt.time(23, 59, 59, 999999, tzinfo=dt.timezone.utc)] * 3,
    [dt.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=dt.timezone.utc)] * 300, [dt.time(1)] + ["x" * 200] * 40,
], ids=["63", "64-negative", "65", "word-bounds", "300", "digit-bounds", "past-the-word", "mixed", "dates",
        "longest-dates", "date-then-texts"])
@pytest.mark.parametrize("container, code", [(list, 28), (tuple, 38)])
def test_runs_of_members_encode_as_each_member_alone(members, container, code):
    data = zelvane.dumps(container(members))
    assert data == sequence_header(code, len(members)) + b"".join(zelvane.dumps(m)[1:] for m in members)
    plain = container(int(m) if type(m).__name__ == "integral" else m for m in members)
    assert same(plain, zelvane.loads(data))


# An int with a one-byte count is read as the fixed forms are up to eight
# value bytes and as a 128-bit value up to sixteen: counts around those
# bounds, both signs, small values written wide, as a member followed by
# another, and cut short.
@pytest.mark.parametrize("body", [
    "", "ff", "0000000080", "0102030405ff", "01020304050607", "ffffffffffffff7f", "000000000000000080",
    "00" * 9, "ff" * 9, "01" + "00" * 8, "ff" * 8 + "7f", "00" * 8 + "80", "0123456789abcdef0123456789",
    "ff" * 15 + "7f", "00" * 15 + "80", "ff" * 16, "00" * 16 + "01", "ff" * 17,
], ids=lambda b: f"{len(b) // 2}-bytes-{b[-2:]}")
def test_ints_with_a_count_byte_as_members(body):
    value = int.from_bytes(h(body), "little", signed=True)
    data = h("fd 1d 02 0a") + bytes([len(body) // 2]) + h(body)
    assert same([value, 7], zelvane.loads(data + h("05 07")))
    with pytest.raises(ValueError, match=exactly(OFFSET)):
        zelvane.loads(data[:-1])


def with_holes(pairs, step):
    """A dict of `pairs` whose table keeps the deleted entries' places: every
    `step`-th pair, the first and the last are deleted."""
    d = dict(pairs)
    for key in list(d)[::step] + [next(iter(d)), next(reversed(d))]:
        d.pop(key, None)
    return d


class Instance:
    def __init__(self):
        self.a, self.b, self.c = 1, "two", 3.0


def shared_table_dict():
    d = Instance().__dict__
    del d["b"]
    return d


# Dict tables are walked in place: tables with text keys and with others,
# index widths of one, two and four bytes, deleted entries between and at
# both ends, and a table shared between instances, each encoding as its
# pairs do one by one in the dict's order.
@pytest.mark.parametrize("value", [
    with_holes(((f"k{i}", i) for i in range(100)), 3), with_holes(((i, str(i)) for i in range(300)), 2),
    with_holes(((f"k{i}", None) for i in range(30000)), 7), with_holes(((i * 0.5, i) for i in range(30000)), 5),
    shared_table_dict(), {"only": 1}, {1: 2},
], ids=["text-keys", "int-keys", "wide-index-text", "wide-index-float", "shared-table", "one-text", "one-int"])
def test_dict_tables_encode_pair_by_pair(value):
    pairs = b"".join(zelvane.dumps(k)[1:] + zelvane.dumps(v)[1:] for k, v in value.items())
    assert zelvane.dumps(value) == sequence_header(43, len(value)) + pairs
    assert zelvane.loads(zelvane.dumps(value)) == value


def member_by_rule(member):
    """A member's encoding built from the format's rules for ints (any int
    subclass the codec takes writes as an int; bool has codes of its own),
    or the encoding the member has alone."""
    if member is True or member is False:
        return h("0d" if member else "0e")
    if isinstance(member, int):
        return expected_int(member)[1:]
    return zelvane.dumps(member)[1:]


def zeros():
    """Zeros made by arithmetic and conversion as well as the literal one."""
    big = 2**100
    return [0, big - big, int("0"), int.from_bytes(b"\0" * 9, "little"), -0, 0 * big, (-big) // (big + 1) + 1]


# Members of small ints in runs, at every width's bounds and at those of one
# to three internal digits, beside bools, int subclasses, ints past the
# word, zeros made every way, and other kinds; long enough to cross the
# runs' blocks.
run_members = st.one_of(
    st.integers(-300, 300), st.sampled_from(INTEGERS + WIDE + zeros()),
    st.integers(-2**63, 2**63 - 1), st.booleans(), st.none(), st.text(max_size=3), st.floats(allow_nan=False),
    st.sampled_from(INTEGERS).map(lambda v: subclass("integral", int, v)),
)


@settings(max_examples=200)
@given(members=st.lists(run_members, max_size=200),
       kind=st.sampled_from([(list, 28), (tuple, 38), (set, 33), (frozenset, 48), ("dict values", 43)]))
def test_members_with_small_int_runs_encode_by_the_rules(members, kind):
    container, code = kind
    if container == "dict values":
        value = {f"k{i}": member for i, member in enumerate(members)}
        body = b"".join(zelvane.dumps(key)[1:] + member_by_rule(member) for key, member in value.items())
    else:
        value = container(members)
        body = b"".join(member_by_rule(member) for member in value)
    data = zelvane.dumps(value)
    assert data == (h("fd") + bytes([code]) if not value else sequence_header(code, len(value))) + body
    assert zelvane.loads(data) == value


def with_removed(members, every):
    """A set of `members` from which every `every`-th was removed again, so
    that removed members' marks lie between the ones left."""
    value = set(members)
    for member in list(value)[::every]:
        value.discard(member)
    return value


# Sets read from their table in place while their members are written with
# no Python code; from the first other member on, the rest follow the
# iterator. Either way members go in the iterator's order.
@pytest.mark.parametrize("value", [
    with_removed(range(-1000, 1000, 3), 2), with_removed([2**62 + i for i in range(300)] + ["a", None, 1.5], 3),
    {*range(200), (1, 2), *range(300, 500)}, {(0,), *range(100)}, frozenset({*range(150), frozenset({1})}),
    with_removed({*range(0, 3000, 7), (5,), "t"}, 4), {2**100, *range(70), 2**64}, {f"s{i}" for i in range(500)},
    set(), frozenset({-(2**63)}),
], ids=["removed-ints", "removed-mixed", "tuple-midway", "tuple-first", "frozenset-in-frozenset",
        "removed-then-tuple", "beyond-word", "texts", "empty", "lowest-word"])
def test_sets_encode_in_their_iterators_order(value):
    code = 48 if type(value) is frozenset else 33
    body = b"".join(member_by_rule(member) for member in value)
    data = zelvane.dumps(value)
    assert data == (h("fd") + bytes([code]) if not value else sequence_header(code, len(value))) + body
    assert zelvane.loads(data) == value
