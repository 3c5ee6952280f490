"""zelvane.dumps and zelvane.loads: the bytes a slot holds and the values a
slot read gives, from any bytes-like object."""
import array
import collections
import datetime
import decimal
import inspect
import mmap
import pathlib
import uuid

import pytest
from hypothesis import given, settings

import zelvane

from codec_util import MARKER, OFFSET, UNSUPPORTED, decode, encoded, h, raises_exactly, same, values

Point = collections.namedtuple("Point", "x y")

EVERY_KIND = [
    "", "text", "é" * 300, 0, -129, 2**39, 2**2039, 1.5, True, False, 1 + 2j, None, ..., b"", b"\x01\x02",
    bytearray(b"ab"), [], [1, "ab"], (), (None,), set(), {"x"}, frozenset(), frozenset({1}), {}, {"a": None},
    {1: (2,)}, collections.deque([7, 8]), Point(1, 2), collections.namedtuple("Empty", "")(),
    collections.Counter(a=2), collections.OrderedDict(k=[]), collections.ChainMap({"a": 1}),
    datetime.datetime(2024, 1, 31, 12, 30, tzinfo=datetime.timezone.utc), datetime.date(2024, 1, 31),
    datetime.time(12, 30, 0, 5), datetime.timedelta(-3, 5, 7), uuid.UUID(int=77), decimal.Decimal("-1.50"),
    memoryview(b"mv"), range(3, -3, -2), pathlib.PurePath("x/y"), pathlib.Path("/tmp"), [[[{"deep": (1,)}]]],
]


@pytest.mark.parametrize("value", EVERY_KIND, ids=lambda v: type(v).__name__)
def test_dumps_gives_the_slot_bytes_and_loads_the_slot_value(shm_name, value):
    name = shm_name("pub")
    data = zelvane.dumps(value)
    assert type(data) is bytes and data == encoded(name, value)
    got = zelvane.loads(data)
    assert same(got, zelvane.read_memory(name))
    if isinstance(value, memoryview):
        assert got.tobytes() == value.tobytes()
    else:
        assert same(got, value) or type(value) is collections.Counter and got == value


@pytest.mark.parametrize("wire", [
    "FE 1A 02 04 01 01 02 61 62", "FE 26 01 01 01 61 0F", "FE 09 06 00 00 00 00 00 01",
    "FE 2F 0A 32 30 32 34 2D 30 31 2D 33 31", "FE 36 03 31 2E 35", "FE 1A 02 32 04 07", "FE 0F 00 00",
    "FD 10 FF FF", "FD 04 01 01 03 61 62 63",
])
def test_loads_reads_both_protocols_as_a_slot_does(shm_name, wire):
    data = h(wire)
    assert same(zelvane.loads(data), decode(shm_name("p1"), data))


@pytest.mark.parametrize("make", [
    bytes, bytearray, memoryview, lambda b: array.array("B", b), lambda b: memoryview(b"\x00" + b + b"\xff")[1:],
    lambda b: memoryview(bytearray(b)).cast("c"),
], ids=["bytes", "bytearray", "memoryview", "array", "sliced view", "cast view"])
def test_loads_takes_every_bytes_like_object(make):
    value = {"k": [1, 2.5, "three"], "t": (None, b"x")}
    assert same(zelvane.loads(make(zelvane.dumps(value))), value)


def test_loads_from_an_mmap():
    data = zelvane.dumps([1, "mapped"])
    with mmap.mmap(-1, 4096) as block:
        block[:len(data)] = data
        assert zelvane.loads(block) == [1, "mapped"]


def test_loads_releases_the_buffer_it_decoded():
    data = bytearray(zelvane.dumps(list(range(1000))))
    view = memoryview(data)
    assert zelvane.loads(view) == list(range(1000))
    view.release()
    data.extend(b"tail")  # a resize fails while a buffer is exported
    assert zelvane.loads(data) == list(range(1000))


@pytest.mark.parametrize("data, exc, message", [
    (b"", ValueError, MARKER), (b"\x00", ValueError, MARKER), (b"\xfd", ValueError, OFFSET),
    (b"\xfd\x67", ValueError, None), (b"\xfe", ValueError, OFFSET),
])
def test_loads_errors_are_the_slot_read_errors(shm_name, data, exc, message):
    with pytest.raises(exc) as got:
        zelvane.loads(data)
    if data:
        with pytest.raises(exc) as through_slot:
            decode(shm_name("err"), data)
        assert str(got.value) == str(through_slot.value)
    if message:
        assert str(got.value) == message


@pytest.mark.parametrize("data", ["text", 5, None, [1], memoryview(b"\xfd\x10" * 4)[::2]])
def test_loads_refuses_what_is_not_a_contiguous_buffer(data):
    with pytest.raises((TypeError, BufferError)):
        zelvane.loads(data)


@pytest.mark.parametrize("value", [object(), [1, {2: {3, print}}], type("Mine", (), {})()])
def test_dumps_refuses_what_a_slot_write_refuses(shm_name, value):
    name = shm_name("ref")
    with raises_exactly(ValueError, UNSUPPORTED):
        zelvane.dumps(value)
    with raises_exactly(ValueError, UNSUPPORTED):
        zelvane.write_memory(name, value)


def test_dumps_passes_other_exceptions_on():
    with pytest.raises(UnicodeEncodeError):
        zelvane.dumps("\ud800")
    with raises_exactly(ValueError, "Exceeded the maximum value nest depth."):
        nested = []
        for _ in range(101):
            nested = [nested]
        zelvane.dumps(nested)


def test_signatures():
    assert str(inspect.signature(zelvane.dumps)) == "(value, /)"
    assert str(inspect.signature(zelvane.loads)) == "(data, /)"
    assert zelvane.dumps.__doc__ == "Encode a value into the bytes a slot would hold."


@settings(max_examples=150)
@given(values)
def test_round_trip(value):
    assert same(zelvane.loads(zelvane.dumps(value)), value)


# A top-level bytes, bytearray or ASCII text whose encoding (marker, code,
# four size bytes and a 32 MiB-sized payload) fills a buffer of 32 MiB or
# more has its pages given at once; the bytes are those it has as a member.
OWN_MAPPING = 32 << 20


@pytest.mark.parametrize("length", [OWN_MAPPING - 8, OWN_MAPPING - 7, OWN_MAPPING - 6])
@pytest.mark.parametrize("kind", [bytes, bytearray, lambda data: data.decode("ascii")],
                         ids=["bytes", "bytearray", "str"])
def test_large_top_level_items_encode_as_they_do_as_members(kind, length):
    value = kind((bytes(range(32, 127)) * (length // 95 + 1))[:length])
    data = zelvane.dumps(value)
    assert len(data) == 7 + length
    assert zelvane.dumps([value]) == h("FD 1D 01") + data[1:]
    assert zelvane.loads(data) == value
