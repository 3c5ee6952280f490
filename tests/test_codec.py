"""The codec through a slot's payload: exact bytes written for every family,
hand-written payloads of both protocols read back, and the errors for bad
input, one table each."""
import collections
import datetime
import decimal
import math
import os
import pathlib
import uuid

import pytest
from hypothesis import given, settings, strategies as st

import zelvane

from codec_util import (MARKER, OFFSET, UNSUPPORTED, ZERO_WIDTH, assert_no_leak,
                        bad_code, decode, encoded, exactly, expected_int, h, same, values)
from conftest import RawSlot, shm_path

OD = collections.OrderedDict
CM = collections.ChainMap
Point = collections.namedtuple("Point", "x y")
Empty = collections.namedtuple("Empty", "")


class Odd(tuple):
    """Passes for a named tuple with the `_fields` it is given."""


def odd(fields):
    return type("Odd", (Odd,), {"_fields": fields})((1, 2))


# (value, its exact encoding); the encoding also reads back as the value.
ENCODINGS = [
    ("", "fd00"),
    ("abc", "fd0103616263"),
    ("\u00e9", "fd0102c3a9"),
    ("a" * 300, "fd022c01" + "61" * 300),
    ("a" * 2**16, "fd0303000001" + "61" * 2**16),
    (0, "fd0500"),
    (1, "fd0501"),
    (127, "fd057f"),
    (128, "fd068000"),
    (255, "fd06ff00"),
    (-1, "fd05ff"),
    (-128, "fd0580"),
    (-129, "fd067fff"),
    (2**39 - 1, "fd09ffffffff7f"),
    (2**39, "fd0a060000000080" + "00"),
    (-(2**39), "fd090000000080"),
    (2**63, "fd0a09" + "00" * 7 + "8000"),
    (2**2039, "fd0b020001" + "00" * 254 + "8000"),
    (-(2**2039), "fd0aff" + "00" * 254 + "80"),
    (True, "fd0d"),
    (False, "fd0e"),
    (None, "fd10"),
    (..., "fd11"),
    (1.5, "fd0c000000000000f83f"),
    (-0.0, "fd0c0000000000000080"),
    (math.inf, "fd0c000000000000f07f"),
    (-math.inf, "fd0c000000000000f0ff"),
    (1 + 2j, "fd0f000000000000f03f0000000000000040"),
    (b"", "fd12"),
    (bytearray(), "fd17"),
    (b"\x01\x02", "fd13020102"),
    (bytearray(b"\x01\x02"), "fd18020102"),
    (b"\xff" * 256, "fd140001" + "ff" * 256),
    (bytearray(70000), "fd1a03701101" + "00" * 70000),
    ([1, "ab"], "FD 1D 02 05 01 01 02 61 62"),
    ((None,), "FD 27 01 10"),
    ((), "FD 26"),
    ([], "FD 1C"),
    (([], ()), "FD 27 02 1C 26"),
    ({"x"}, "FD 22 01 01 01 78"),
    (frozenset(), "FD 30"),
    (set(), "FD 21"),
    (collections.deque(), "FD 49"),
    (collections.deque([7, 8]), "FD 4A 02 05 07 05 08"),
    (frozenset({None}), "FD 31 01 10"),
    (Point(1, 2), "FD 45 02 01 05 50 6F 69 6E 74 01 01 78 05 01 01 01 79 05 02"),
    (Empty(), "FD 44 01 05 45 6D 70 74 79"),
    ({}, "FD 2B"),
    ({"a": None}, "FD 2C 01 01 01 61 10"),
    ({1: (2,)}, "FD 2C 01 05 01 27 01 05 02"),
    (collections.Counter(a=2), "FD 4F 01 01 01 61 05 02"),
    (collections.Counter(), "FD 4E"),
    (OD(), "FD 53"),
    (OD(k=[]), "FD 54 01 01 01 6B 1C"),
    (CM({"a": 1}), "FD 59 01 2C 01 01 01 61 05 01"),
    (CM(), "FD 59 01 2B"),
    (CM(OD(k=1)), "FD 59 01 54 01 01 01 6B 05 01"),
]


@pytest.mark.parametrize("value, wire", ENCODINGS, ids=lambda v: repr(v)[:24])
def test_exact_encoding(shm_name, value, wire):
    name = shm_name("enc")
    assert encoded(name, value) == h(wire)
    assert same(value, decode(name, h(wire)))


@pytest.mark.parametrize("size, header", [
    (0, "12"), (1, "1301"), (255, "13ff"), (256, "140001"), (65535, "14ffff"),
    (65536, "1503000001"), (2**24, "150400000001"),
])
def test_shortest_size_form_is_written(shm_name, size, header):
    data = encoded(shm_name("sz"), b"\x07" * size)
    assert data == h("fd" + header) + b"\x07" * size


# (count, form, size bytes): every container family picks its size form alike.
COUNT_FORMS = [(255, 1, "FF"), (256, 2, "00 01"), (65535, 2, "FF FF"), (65536, 3, "03 00 00 01")]


@pytest.mark.parametrize("count, form, size", COUNT_FORMS)
@pytest.mark.parametrize("make, code, member", [
    (lambda n: [None] * n, 0x1C, b"\x10"),
    (lambda n: (None,) * n, 0x26, b"\x10"),
    (lambda n: CM(*[{} for _ in range(n)]), 0x58, b"\x2b"),
    (lambda n: set(range(n)), 0x21, None),
    (lambda n: frozenset(range(n)), 0x30, None),
    (lambda n: collections.deque(range(n)), 0x49, None),
    (lambda n: dict(zip(range(n), range(n))), 0x2B, None),
    (lambda n: OD(zip(range(n), range(n))), 0x53, None),
    (lambda n: collections.Counter(dict(zip(range(n), range(n)))), 0x4E, None),
], ids=["list", "tuple", "chainmap", "set", "frozenset", "deque", "dict", "ordereddict", "counter"])
def test_count_size_forms(shm_name, make, code, member, count, form, size):
    name = shm_name("form")
    value = make(count)
    data = encoded(name, value)
    head = bytes([0xFD, code + form]) + h(size)
    assert data[:len(head)] == head
    if member is not None:
        assert data == head + member * count
    assert same(value, zelvane.read_memory(name))


# Hand-written payloads of both protocols, in forms the encoder never writes
# (non-minimal or dynamic sizes, repeated keys, trailing bytes).
DECODINGS = [
    # protocol 2 scalars
    ("fd02030061 6263", "abc"),
    ("fd030103616263", "abc"),
    ("fd0303030000616263", "abc"),
    ("fd0309" + "03" + "00" * 8 + "616263", "abc"),
    ("fd0401010361 6263", "abc"),
    ("fd040102030061 6263", "abc"),
    ("fd0409" + "01" + "00" * 8 + "03616263", "abc"),
    ("fd07000080", -(2**23)),
    ("fd080100 0000", 1),
    ("fd09ffffffffff", -1),
    ("fd0a00", 0),
    ("fd0a01ff", -1),
    ("fd0a08" + "ff" * 7 + "7f", 2**63 - 1),
    ("fd0a09" + "00" * 8 + "80", -(2**71)),
    ("fd0b0101ff", -1),
    ("fd0b03020000" + "3412", 0x1234),
    ("fd0b09" + "02" + "00" * 8 + "3412", 0x1234),
    ("fd14020001 02", b"\x01\x02"),
    ("fd1501020102", b"\x01\x02"),
    ("fd160101020102", b"\x01\x02"),
    ("fd19020001 02", bytearray(b"\x01\x02")),
    ("fd1a01020102", bytearray(b"\x01\x02")),
    ("fd1b0101020102", bytearray(b"\x01\x02")),
    ("fd0501ffffff", 1),
    ("fd1300ff", b""),
    # protocol 2 containers
    ("FD 1D 00", []),
    ("FD 27 00", ()),
    ("FD 1E 02 00 10 10", [None, None]),
    ("FD 20 01 01 02 10 10", [None, None]),
    ("FD 2A 01 01 01 10", (None,)),
    ("FD 1F 02 01 00 10", [None]),
    ("FD 1F 09 02 00 00 00 00 00 00 00 00 10 10", [None, None]),  # zero high byte
    ("FD 22 03 05 01 05 01 05 02", {1, 2}),
    ("FD 31 02 10 10", frozenset({None})),
    ("FD 4B 02 00 10 10", collections.deque([None, None])),
    ("FD 25 01 01 01 10", {None}),
    ("FD 2C 03 01 01 61 05 01 01 01 62 05 02 01 01 61 05 03", {"a": 3, "b": 2}),
    ("FD 54 02 05 01 10 05 01 0D", OD({1: True})),
    ("FD 4F 02 01 01 61 05 01 01 01 61 05 05", collections.Counter(a=5)),
    ("FD 2C 00", {}),
    ("FD 2F 01 01 01 10 10", {None: None}),
    ("FD 55 01 00 05 01 05 02", OD({1: 2})),
    # protocol 1
    ("fe 04 ff", -1),
    ("fe 04 7f", 127),
    ("fe 05 2c 01", 300),
    ("fe 05 01 00", 1),
    ("fe 06 00 00 80", -(2**23)),
    ("fe 07 ff ff ff 7f", 2**31 - 1),
    ("fe 08 00 00 00 00 80", -(2**39)),
    ("fe 09 06 00 00 00 00 00 01", 2**40),
    ("fe 09 00", 0),
    ("fe 0a 00 00", 0),
    ("fe 0a 01 00 fe", -2),
    ("fe 0a 09 00" + "00" * 8 + "01", 2**64),
    ("fe 0b 00 00 00 00 00 00 f0 3f", 1.0),
    ("fe 0e 00 00 00 00 00 00 f8 3f 00 00 00 00 00 00 00 c0", 1.5 - 2j),
    ("fe 0c", True),
    ("fe 0d", False),
    ("fe 0f", None),
    ("fe 10", Ellipsis),
    ("fe 0f 00 00", None),
    ("fe 00", ""),
    ("fe 01 03 61 62 63", "abc"),
    ("fe 01 02 c3 a9", "\u00e9"),
    ("fe 02 01 00 41", "A"),
    ("fe 02 2c 01" + "78797a" * 100, "xyz" * 100),
    ("fe 03 00", ""),
    ("fe 03 01 02 61 62", "ab"),
    ("fe 03 09 01 00 00 00 00 00 00 00 00 41", "A"),
    ("fe 11", b""),
    ("fe 12 01 41", b"A"),
    ("fe 13 02 00 41 42", b"AB"),
    ("fe 14 00", b""),
    ("fe 14 01 01 00", b"\x00"),
    ("fe 15", bytearray()),
    ("fe 16 01 41", bytearray(b"A")),
    ("fe 18 01 02 41 42", bytearray(b"AB")),
    ("fe 1a 02 04 01 01 02 61 62", [1, "ab"]),
    ("fe 26 01 01 01 61 0f", {"a": None}),
    ("fe 1e 01 04 01", {1}),
    ("fe 22 02 0c 0d", (True, False)),
    ("fe 19", []),
    ("fe 1d", set()),
    ("fe 21", ()),
    ("fe 25", {}),
    ("fe 29", frozenset()),
    ("fe 2a 02 04 01 04 02", frozenset({1, 2})),
    ("fe 1c 00", []),
    ("fe 1c 01 02 04 01 04 02", [1, 2]),
    ("fe 1b 02 00 0f 10", [None, Ellipsis]),
    ("fe 23 01 00 0f", (None,)),
    ("fe 26 02 01 01 61 04 01 01 01 61 04 02", {"a": 2}),
    ("fe 1e 03 04 01 04 01 04 02", {1, 2}),
    ("fe 1a 02 1a 01 22 01 00 26 01 04 01 2a 01 11", [[("",)], {1: frozenset({b""})}]),
    ("fe 2f 0a" + b"2024-01-31".hex(), datetime.date(2024, 1, 31)),
    ("fe 2d 1a" + b"2024-01-31T12:30:05.000250".hex(), datetime.datetime(2024, 1, 31, 12, 30, 5, 250)),
    ("fe 30 08" + b"23:59:58".hex(), datetime.time(23, 59, 58)),
    ("fe 2e 01000000 02000000 03000000", datetime.timedelta(1, 2, 3)),
    ("fe 2e 00000000 85510100 00000000", datetime.timedelta(days=1, seconds=5)),
    ("fe 2e 00000000 ffffffff 00000000", datetime.timedelta(seconds=-1)),
    ("fe 31" + b"12345678123456781234567812345678".hex(), uuid.UUID("12345678123456781234567812345678")),
    ("fe 36 03 31 2e 35", decimal.Decimal("1.5")),
    ("fe 37 03 00 31 2e 35", decimal.Decimal("1.5")),
    ("fe 38 01 04" + b"-Inf".hex(), decimal.Decimal("-Infinity")),
    # protocol 2 library codes the encoder does not write, and timedelta
    # fields it would not write (normalised on reading, even extreme ones)
    ("fd36 01000000 05a30200 ffffffff", datetime.timedelta(days=3, seconds=4, microseconds=999999)),
    ("fd36 ffc99a3b 00000080 00000080",
     datetime.timedelta(days=999999999, seconds=-2**31, microseconds=-2**31)),
    ("fd3e0101026869", memoryview(b"hi")),
    ("fd5d", pathlib.Path(".")),
    ("fd62", pathlib.PurePath(".")),
    ("fd630361006263", pathlib.PurePath("a")),
    ("fd5e03610062", pathlib.Path("a")),
    ("fd65020001" + "61" * 256, pathlib.PurePosixPath("a" * 256)),
    ("fd6101020001" + "62" * 256, pathlib.PosixPath("b" * 256)),
]


@pytest.mark.parametrize("wire, expected", DECODINGS, ids=lambda v: repr(v)[:24])
def test_decoding(shm_name, wire, expected):
    assert same(expected, decode(shm_name("dec"), h(wire)))


def offset(*wires):
    return [(wire, ValueError, exactly(OFFSET)) for wire in wires]


# (payload, exception, pattern of its message or None)
BAD_PAYLOADS = [(w, ValueError, exactly(MARKER)) for w in ("00", "0010", "01", "fc10", "ff10")] + [
    (bytes([marker, code, 0, 0]).hex(), ValueError, exactly(bad_code(code)))
    for marker, codes in ((0xFD, (103, 104, 200, 255)), (0xFE, (57, 58, 102, 103, 200, 253, 254, 255)))
    for code in codes] + [
    ("fe 1a 02 04 01 39", ValueError, exactly(bad_code(57))),
    ("fe 1a 03 01 01 61 26 01 04 01 1a 01 10 39", ValueError, exactly(bad_code(57))),
    ("FD 1F 08 FF FF FF FF FF FF FF 7F 10 C8", ValueError, exactly(bad_code(200))),
] + [(w, ValueError, exactly(ZERO_WIDTH)) for w in (
    "fd0300616263", "fd0400", "fd040100", "fd04020000", "fd0b00", "fd0b0100", "fd1600", "fd1b0100",
    "FD 2E 00")] + offset(
    "fd", "fd0701 02", "fd05", "fd09ffffffff", "fd0a", "fd0a02ff", "fd0b", "fd0b01", "fd0b0103ffff",
    "fd0b09" + "00" * 8 + "01",
    "fd0c0000000000f83f", "fd0f000000000000f03f00000000000000",
    "fd01", "fd0105616263", "fd0200", "fd020500616263", "fd03", "fd0302", "fd030205",
    "fd04", "fd0401", "fd040101", "fd04010103",
    "fd0308ffffffffffffffff61", "fd0309" + "03" + "00" * 7 + "01" + "616263",
    "fd1303", "fd1803ffff", "fd15", "fd1a0104",
    "FD 1D 03 10 10",                         # fewer members than counted
    "FD 1D",                                  # count byte missing
    "FD 1E 01",                               # half a two-byte count
    "FD 1F 08 FF FF FF FF FF FF FF 7F 10",    # count far beyond the input
    "FD 29 08 FF FF FF FF FF FF FF 7F 10",
    "FD 27 02 1D 05 10",
    "FD 1F 09 02 00 00 00 00 00 00 00 01 10 10",  # a ninth size byte that matters
    "FD 2C 02 01 01 61 10",                   # second pair missing
    "FD 2C 01 01 01 61",                      # value missing
    "FD 2E 08 FF FF FF FF FF FF FF 7F 01 01 61 10",
    "FD 59 02 2B",
    "FD 5B 08 FF FF FF FF FF FF FF 7F 2B",
    "fe", "fe 04", "fe 07 01 02", "fe 08 00 00 00 00", "fe 09", "fe 09 05 01 02", "fe 0a 01",
    "fe 0a 03 00 01 02", "fe 0b 00 00 00 00 00 00 00", "fe 0e" + " 00" * 15, "fe 01", "fe 01 05 41",
    "fe 02 01", "fe 03", "fe 03 02 01", "fe 03 ff 01",
    "fe 03 09 01 00 00 00 00 00 00 00 01 41",   # wide size with a non-zero high byte
    "fe 03 08 ff ff ff ff ff ff ff ff", "fe 12 05 41",
    "fe 1a 03 04 01 04 02",                     # stated count beyond the members present
    "fe 1c 08 ff ff ff ff ff ff ff ff 0f",       # huge count, no allocation for it
    "fe 1f ff ff 0f", "fe 23 ff ff 0f 0f", "fe 28 08 ff ff ff ff ff ff ff ff 0f 0f",
    "fe 26 01 01 01 61",                        # key without its value
    "fe 2d 05 31", "fe 2e 00 00 00 00", "fe 31 30 30", "fe 33 05 01", "fe 36 04 31 2e",
) + [(w, UnicodeDecodeError, None) for w in (
    "fd0102c328", "fe 01 02 c3 28", "fe 03 01 01 ff", "fe 1a 01 01 01 80")] + [
    (w, TypeError, "unhashable") for w in (
        "FD 22 01 1C", "FD 31 02 05 01 2B",    # list and dict in a set
        "FD 2C 01 1C 10", "FD 2C 01 22 01 05 01 10", "FD 4F 01 1C 05 01", "FD 54 01 1D 00 10",
        "fe 26 01 19 0f", "fe 26 01 25 0f", "fe 1e 01 19", "fe 2a 02 04 01 1d")] + [
    (w, ValueError, None) for w in (
        "FD 45 01 01 01 50 01 01 78",          # field value missing
        "FD 45 01 05 01 01 01 78 05 01",       # class name 1 is no identifier
        "FD 45 01 01 01 50 1C 05 01",          # field name a list
        "FD 45 02 01 01 50 01 01 78 05 01 01 01 78 05 02",  # repeated field name
        "FD 44",                               # class name missing
        "fe 2f 0a" + b"2024-13-01".hex(), "fe 2d 0a" + b"not a date".hex())] + [
    ("fe 36 03" + b"abc".hex(), RuntimeError, exactly("Failed to convert string to Decimal.")),
    ("fe 38 00", RuntimeError, exactly("Failed to convert string to Decimal.")),
    ("fe 36 02 c3 28", RuntimeError, exactly("Failed to convert string to Decimal.")),
    ("fe 31" + "7a" * 32, RuntimeError, exactly("Failed to create UUID object.")),
    ("fe 31" + "ff" * 32, RuntimeError, exactly("Failed to create UUID object.")),
    ("fe 2e ffffff7f 00000000 00000000", OverflowError, None),
]


@pytest.mark.parametrize("wire, exc, pattern", BAD_PAYLOADS, ids=lambda v: str(v)[:30])
def test_bad_payload(shm_name, wire, exc, pattern):
    with pytest.raises(exc, match=pattern) as info:
        decode(shm_name("bad"), h(wire))
    assert type(info.value) is exc


# Bad input of every kind of container, each read many times: every partial
# container and member is released.
@pytest.mark.parametrize("wire", [
    "FD 1F 08 FF FF FF FF FF FF FF 7F 10",
    "FD 27 03 1D 01 05 01 10",
    "FD 22 02 05 01 1C",
    "FD 22 02 1C 1C",
    "FD 4A 02 10",
    "FD 45 02 01 01 50 01 01 78 05 01 01 01 78 05 02",
    "FD 45 01 01 01 50 01 02 5F 61 05 01",
    "FD 2C 02 01 01 61 1C 1C 10",
    "FD 2C 01 1C 10",
    "FD 2E 04 FF FF FF 7F 05 01 05 02",
    "FD 2E 08 FF FF FF FF FF FF FF 7F 01 01 61 10",
    "FD 4F 01 1C 05 01",
    "FD 54 01 1D 00 10",
    "FD 59 02 2C 01 05 01 10 1D 02 10",
    "FD 59 02 2C 01 05 01 1D 02 10",
    "fe 1a 03 01 01 61 26 01 04 01 1a 01 10 39",
])
def test_bad_input_releases_everything(shm_name, wire):
    name = shm_name("leak")
    zelvane.create_memory(name, len(h(wire)))
    RawSlot(name).write_payload(h(wire))

    def attempt():
        with pytest.raises((ValueError, TypeError)):
            zelvane.read_memory(name)

    assert_no_leak(attempt, 3000)


@pytest.mark.parametrize("marker, opening, end", [
    (b"\xfd", b"\x1d\x01", b"\x10"), (b"\xfd", b"\x27\x01", b"\x10"),
    (b"\xfd", b"\x22\x01", b"\x10"), (b"\xfd", b"\x4a\x01", b"\x10"),
    (b"\xfd", b"\x2c\x01\x10", b"\x10"), (b"\xfd", b"\x59\x01", b"\x10"),
    (b"\xfd", b"\x45\x01\x00\x00", b"\x10"), (b"\xfe", b"\x1a\x01", b"\x0f"),
])
def test_deep_hostile_nesting_raises_recursion_error(shm_name, marker, opening, end):
    with pytest.raises(RecursionError):
        decode(shm_name("deep"), marker + opening * 100_000 + end)


class strict(str):
    pass


class integer(int):
    pass


class floaty(float):
    pass


class lister(list):
    pass


class frozen(frozenset):
    pass


class dicty(dict):
    pass


class dictish(OD):
    pass


class ChainOfMaps(CM):
    pass


def reordered_dictish():
    value = dictish(a=1, b=2)
    value.move_to_end("a")
    return value


# Subclasses whose type names pass the dispatch's letter tests are written as
# their base; a dict subclass in the underlying dict's own listing.
@pytest.mark.parametrize("value, wire, back", [
    (strict("ab"), "fd01026162", "ab"),
    (integer(300), "fd062c01", 300),
    (floaty(1.5), "fd0c000000000000f83f", 1.5),
    (lister([1]), "FD 1D 01 05 01", [1]),
    (frozen({1}), "FD 31 01 05 01", frozenset({1})),
    (dicty(a=None), "FD 2C 01 01 01 61 10", {"a": None}),
    (reordered_dictish(), "FD 2C 02 01 01 61 05 01 01 01 62 05 02", {"a": 1, "b": 2}),
    (ChainOfMaps({"a": 1}), "FD 59 01 2C 01 01 01 61 05 01", CM({"a": 1})),
    (collections.Counter({"a": True}), "FD 4F 01 01 01 61 05 01", collections.Counter(a=1)),
], ids=lambda v: type(v).__name__)
def test_written_as_the_base_kind(shm_name, value, wire, back):
    name = shm_name("sub")
    assert encoded(name, value) == h(wire)
    assert same(back, zelvane.read_memory(name))


def named(type_name, base=object, *args):
    return type(type_name, (base,), {})(*args)


class Counterfeit:
    """Claims to be a Counter without being one."""

    @property
    def __class__(self):
        return collections.Counter


def chain_with_maps(maps):
    value = type("Chain", (CM,), {})()
    if maps == "deleted":
        del value.maps
    else:
        value.maps = maps
    return value


# Class names that reach each row of the name dispatch without being the
# type that row stands for, short names included (the dispatch must not read
# past their end).
IMPOSTOR_NAMES = [
    "M", "Mine", "N", "None", "NoneType", "Nope", "e", "ellipsis", "eggs", "b", "bo", "bool",
    "bar", "byte", "bytes", "bytearray", "c", "co", "col", "complex", "collections.",
    "collections.O", "collections.OrderedDict", "collections.d", "collections.Zed", "C", "Ch",
    "Co", "Cx", "P", "Pu", "Path", "W", "U", "d", "de", "di", "dict", "dx", "f", "fl", "fr",
    "float", "frozenset", "i", "int", "l", "list", "m", "memoryview", "s", "se", "set", "st",
    "str", "sx", "x", "_", "\u00e9t\u00e9",
]

REFUSED = [named(n) for n in IMPOSTOR_NAMES] + [
    named("Pair", tuple, (1, 2)), named("MyStr", str, "a"), object(), print, type,
    named("Roster", list, [1]), named("Bag", set, {1}), collections.defaultdict(int),
    named("Registry", dict, {"a": 1}), named("Cabinet", collections.Counter, {"a": 1}),
    collections.defaultdict(int, a=1), Counterfeit(),
    collections.Counter({"a": 1.5}), collections.Counter({"a": "1"}), collections.Counter({"a": None}),
    odd(["x", "y"]), odd(("x", 5)), odd(("x", "y", "z")), odd(None),
    chain_with_maps(None), chain_with_maps(({},)), chain_with_maps("abc"), chain_with_maps("deleted"),
]


@pytest.mark.parametrize("value", REFUSED, ids=lambda v: type(v).__name__)
def test_refused_values(shm_name, value):
    with pytest.raises(ValueError, match=exactly(UNSUPPORTED)):
        zelvane.write_memory(shm_name("uns"), value)


def test_refused_value_leaves_slots_alone(shm_name):
    missing, existing = shm_name("miss"), shm_name("keep")
    zelvane.write_memory(existing, "kept")
    before = RawSlot(existing).read()
    for name in (missing, existing):
        with pytest.raises(ValueError):
            zelvane.write_memory(name, object())
    assert not os.path.exists(shm_path(missing))
    assert RawSlot(existing).read() == before
    assert zelvane.read_memory(existing) == "kept"


def test_text_without_utf8_form_is_refused(shm_name):
    name = shm_name("sur")
    with pytest.raises(UnicodeEncodeError):
        zelvane.write_memory(name, "a\ud800")
    with pytest.raises(MemoryError):
        zelvane.read_memory(name)


@settings(max_examples=150)
@given(value=st.one_of(st.integers(), st.integers(min_value=-(2**5000), max_value=2**5000),
                       st.sampled_from([2**(8 * k - 1) + d for k in (1, 5, 8, 255, 256)
                                        for d in (-1, 0)]).flatmap(
                           lambda v: st.sampled_from([v, -v, -v - 1]))))
def test_integers_of_any_size(shm_name, value):
    name = shm_name("int")
    assert encoded(name, value) == expected_int(value)
    assert zelvane.read_memory(name) == value
    zelvane.remove_memory(name)


@pytest.mark.parametrize("nbytes", [6, 255, 300])
def test_protocol1_counted_integers_of_any_width(shm_name, nbytes):
    raw = bytes((i * 37 + nbytes) % 256 for i in range(nbytes))
    size = nbytes.to_bytes(1 if nbytes < 256 else 2, "little")
    data = bytes([0xFE, 9 if nbytes < 256 else 10]) + size + raw
    assert decode(shm_name("p1"), data) == int.from_bytes(raw, "little", signed=True)


@settings(max_examples=500)
@given(value=values)
def test_round_trip(shm_name, value):
    name = shm_name("hyp")
    zelvane.write_memory(name, value)
    assert same(value, zelvane.read_memory(name))
    zelvane.remove_memory(name)
