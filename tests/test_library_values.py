"""Dates, times, timedeltas, UUIDs, Decimals, memoryviews, ranges and paths
through real slots: exact bytes, read-back values and the errors for bad input."""
import array
import datetime as dt
import decimal
import pathlib
import sys
import uuid

import pytest

import zelvane

from hypothesis import given, settings, strategies as st

from codec_util import OFFSET as OFFSET_ERROR, UNSUPPORTED, assert_no_leak, decode, encoded, exactly
from conftest import RawSlot
LONGEST_ISO = dt.datetime(9999, 12, 31, 23, 59, 59, 999999,
                          tzinfo=dt.timezone(-dt.timedelta(hours=23, minutes=59, seconds=59,
                                                           microseconds=999999)))

# (value, exact encoding, value read back)
WORKED_EXAMPLES = [
    (dt.date(2024, 1, 31), "fd370a" + b"2024-01-31".hex(), dt.date(2024, 1, 31)),
    (dt.time(12, 30), "fd3808" + b"12:30:00".hex(), dt.time(12, 30)),
    (dt.timedelta(days=-1, seconds=3600), "fd36ffffffff100e000000000000",
     dt.timedelta(days=-1, seconds=3600)),
    (dt.timedelta(microseconds=-1), "fd36ffffffff7f5101003f420f00", dt.timedelta(microseconds=-1)),
    (uuid.UUID(int=1), "fd39" + "30" * 31 + "31", uuid.UUID(int=1)),
    (decimal.Decimal("1.5"), "fd3f03312e35", decimal.Decimal("1.5")),
    (memoryview(b"ab"), "fd3b026162", b"ab"),
    (memoryview(b""), "fd3a", b""),
    (range(0, 10, 2), "fd430500050a0502", range(0, 10, 2)),
    (pathlib.PosixPath("/tmp"), "fd5e042f746d70", pathlib.PosixPath("/tmp")),
    (pathlib.PurePosixPath("a"), "fd630161", pathlib.PurePosixPath("a")),
    (range(0), "fd4305000500" + "0501", range(0, 0)),
    (pathlib.Path(), "fd5e012e", pathlib.Path(".")),
    (LONGEST_ISO, "fd352a" + b"9999-12-31T23:59:59.999999-23:59:59.999999".hex(), LONGEST_ISO),
    (dt.time(12, 30, microsecond=5), "fd380f" + b"12:30:00.000005".hex(), dt.time(12, 30, 0, 5)),
    (decimal.Decimal("1" * 256), "fd400001" + "31" * 256, decimal.Decimal("1" * 256)),
]


def same_value(got, expected):
    """Equality that also compares what == leaves out for these types."""
    if isinstance(expected, bytes):  # a memoryview reads back as flat read-only bytes
        return (isinstance(got, memoryview) and got.tobytes() == expected
                and (got.format, got.ndim, got.readonly) == ("B", 1, True))
    if isinstance(expected, decimal.Decimal):
        return type(got) is decimal.Decimal and str(got) == str(expected)
    if isinstance(expected, (dt.datetime, dt.time)):
        return (type(got) is type(expected) and got == expected
                and got.utcoffset() == expected.utcoffset() and got.fold == 0)
    return type(got) is type(expected) and got == expected


# (value written, value read back)
ROUND_TRIPS = [
    pytest.param(dt.datetime(2024, 2, 29, 13, 14, 15), dt.datetime(2024, 2, 29, 13, 14, 15), id="naive"),
    pytest.param(dt.datetime(2024, 2, 29, 13, 14, 15, 1, tzinfo=dt.timezone.utc),
                 dt.datetime(2024, 2, 29, 13, 14, 15, 1, tzinfo=dt.timezone.utc), id="utc-micro"),
    pytest.param(dt.datetime(2000, 1, 1, 1, 30, fold=1), dt.datetime(2000, 1, 1, 1, 30), id="fold"),
    pytest.param(dt.time(23, 59, 59, 999999, tzinfo=dt.timezone(dt.timedelta(hours=5, minutes=30))),
                 dt.time(23, 59, 59, 999999, tzinfo=dt.timezone(dt.timedelta(hours=5, minutes=30))),
                 id="aware-time"),
    pytest.param(dt.date.min, dt.date.min, id="date-min"),
    pytest.param(dt.timedelta.max, dt.timedelta.max, id="delta-max"),
    pytest.param(dt.timedelta.min, dt.timedelta.min, id="delta-min"),
    pytest.param(dt.timedelta(days=-999999999), dt.timedelta(days=-999999999), id="delta-days-min"),
    pytest.param(dt.timedelta(days=999999999), dt.timedelta(days=999999999), id="delta-days-max"),
    pytest.param(dt.timedelta(0), dt.timedelta(0), id="delta-zero"),
    pytest.param(uuid.UUID("12345678-9abc-def0-1234-56789abcdef0"),
                 uuid.UUID("12345678-9abc-def0-1234-56789abcdef0"), id="uuid"),
] + [pytest.param(decimal.Decimal(text), decimal.Decimal(text), id="dec" + text)
     for text in ("1.50", "-0", "NaN", "sNaN", "-Infinity", "1E+3", "-1.2345678901234567890E-400")] + [
    pytest.param(range(-2**70, 2**70, 3), range(-2**70, 2**70, 3), id="range-big"),
    pytest.param(range(10, 0, -3), range(10, 0, -3), id="range-down"),
    pytest.param(pathlib.PureWindowsPath("dir\\name"), pathlib.PurePosixPath("dir\\name"), id="purewin"),
    pytest.param(pathlib.PurePath("/a/ü b"), pathlib.PurePath("/a/ü b"), id="pure-unicode"),
    pytest.param(pathlib.Path("rel/x" * 60), pathlib.Path("rel/x" * 60), id="path-two-byte-size"),
    pytest.param(memoryview(array.array("i", [1, 2])), array.array("i", [1, 2]).tobytes(), id="mv-int"),
    pytest.param(memoryview(bytes(range(6))).cast("B", (2, 3)), bytes(range(6)), id="mv-2d"),
    pytest.param(memoryview(bytes(70000)), bytes(70000), id="mv-dynamic-1"),
    pytest.param(pathlib.PureWindowsPath("C:\\x"), pathlib.PurePosixPath("C:\\x"), id="purewin-drive"),
    pytest.param(pathlib.PosixPath("/y"), pathlib.PosixPath("/y"), id="posix"),
    pytest.param(pathlib.PurePosixPath("cut\0here"), pathlib.PurePosixPath("cut"), id="path-nul"),
    # subclasses named as the family they belong to read back as the plain class
    pytest.param(type("datetime.datetime", (dt.datetime,), {})(2024, 5, 6, 7, 8),
                 dt.datetime(2024, 5, 6, 7, 8), id="named-datetime"),
    pytest.param(type("datetime.timedelta", (dt.timedelta,), {})(days=2), dt.timedelta(days=2),
                 id="named-timedelta"),
    pytest.param(type("UUIDish", (uuid.UUID,), {})(int=5), uuid.UUID(int=5), id="named-uuid"),
    pytest.param(type("decimalish", (decimal.Decimal,), {})("2.50"), decimal.Decimal("2.50"),
                 id="named-decimal"),
]


@pytest.mark.parametrize("value, hex_bytes, back", WORKED_EXAMPLES)
def test_worked_example(shm_name, value, hex_bytes, back):
    name = shm_name("lib")
    data = encoded(name, value)
    assert data.hex() == hex_bytes
    assert same_value(decode(name, data), back)
    check_everywhere(name, value, back)


def check_everywhere(name, value, back):
    """Alone, inside a list and inside a dict."""
    zelvane.write_memory(name, value)
    assert same_value(zelvane.read_memory(name), back)
    zelvane.write_memory(name, [value, value])
    got = zelvane.read_memory(name)
    assert len(got) == 2 and all(same_value(item, back) for item in got)
    zelvane.write_memory(name, {"v": value})
    assert same_value(zelvane.read_memory(name)["v"], back)


@pytest.mark.parametrize("value, back", ROUND_TRIPS)
def test_round_trip(shm_name, value, back):
    check_everywhere(shm_name("rt"), value, back)


class Berlin(dt.tzinfo):
    def utcoffset(self, when):
        return dt.timedelta(hours=1)

    def dst(self, when):
        return dt.timedelta(0)

    def tzname(self, when):
        return "CET"


def test_aware_datetime_reads_back_with_fixed_offset(shm_name):
    name = shm_name("tz")
    value = dt.datetime(2024, 3, 1, 12, 0, tzinfo=Berlin())
    zelvane.write_memory(name, value)
    got = zelvane.read_memory(name)
    assert got == value
    assert type(got.tzinfo) is dt.timezone and got.utcoffset() == dt.timedelta(hours=1)


def test_memoryview_read_back_is_a_copy(shm_name):
    name = shm_name("mv")
    view = decode(name, bytes.fromhex("fd3b03616263"))
    zelvane.write_memory(name, "overwritten")
    assert view.tobytes() == b"abc"


def released_view():
    view = memoryview(b"abc")
    view.release()
    return view


@pytest.mark.parametrize("value, hex_bytes, back",
                         [case for case in WORKED_EXAMPLES if not isinstance(case[0], range)])
def test_item_cut_by_one_byte(shm_name, value, hex_bytes, back):
    with pytest.raises(ValueError, match=f"^{OFFSET_ERROR}$"):
        decode(shm_name("cut"), bytes.fromhex(hex_bytes)[:-1])


DELTA_OVERFLOW = r"^days=-?\d+; must have magnitude <= 999999999$"


@pytest.mark.parametrize("raw, exc, message", [
    # date, time and datetime texts
    ("fd3701", ValueError, OFFSET_ERROR),
    ("fd370a323032342d30312d33", ValueError, OFFSET_ERROR),
    ("fd370a" + b"2024-13-31".hex(), ValueError, None),
    ("fd3802ff30", UnicodeDecodeError, None),
    ("fd3500", ValueError, None),
    # timedeltas: out of range after normalisation, also from extreme fields
    ("fd36" + (10**9).to_bytes(4, "little").hex() + "00" * 8, OverflowError, DELTA_OVERFLOW),
    ("fd36" + "ffffff7f" * 3, OverflowError, DELTA_OVERFLOW),
    ("fd36" + "00000080" * 3, OverflowError, DELTA_OVERFLOW),
    ("fd36" + "ffc99a3b" + "80510100" + "00000000", OverflowError, DELTA_OVERFLOW),
    # UUIDs
    ("fd39" + "7a" * 32, RuntimeError, "^Failed to create UUID object.$"),
    ("fd39" + "ff" * 32, RuntimeError, "^Failed to create UUID object.$"),
    ("fd39" + "67" + "30" * 31, RuntimeError, "^Failed to create UUID object.$"),
    ("fd39" + "30" * 31 + "2f", RuntimeError, "^Failed to create UUID object.$"),
    # Decimals
    ("fd3f03616263", RuntimeError, "^Failed to convert string to Decimal.$"),
    ("fd3f02c328", RuntimeError, "^Failed to convert string to Decimal.$"),
    ("fd3f0431", ValueError, OFFSET_ERROR),
    ("fd410103636363", RuntimeError, "^Failed to convert string to Decimal.$"),
    # ranges: any failure of an item or of range() itself
    ("fd43050005010500", RuntimeError, "^Failed to recreate a range object.$"),
    ("fd430500050a0c000000000000f03f", RuntimeError, "^Failed to recreate a range object.$"),
    ("fd43050005", RuntimeError, "^Failed to recreate a range object.$"),
    ("fd4300050005", RuntimeError, "^Failed to recreate a range object.$"),
    # paths
    ("fd5e02c328", UnicodeDecodeError, None),
    ("fd5e05616263", ValueError, OFFSET_ERROR),
], ids=["date-no-text", "date-cut", "date-bad", "time-utf8", "datetime-empty",
        "delta-days", "delta-max-fields", "delta-min-fields", "delta-carry-past",
        "uuid-not-hex", "uuid-utf8", "uuid-first-not-hex", "uuid-last-not-hex", "dec-not-number", "dec-utf8", "dec-cut", "dec-dynamic-1",
        "range-zero-step", "range-float", "range-cut", "range-str-item", "path-utf8", "path-cut"])
@pytest.mark.parametrize("container", ["fd", "fd1d01", "fd2c0100"], ids=["alone", "in-list", "in-dict"])
def test_bad_input(shm_name, raw, exc, message, container):
    # The list and the dict hold the bad item as their one member (the dict's key is "").
    with pytest.raises(exc, match=message) as info:
        decode(shm_name("bad"), bytes.fromhex(container + raw[2:]))
    assert type(info.value) is exc


# Classes whose type names steer them into this family without being what the
# name says, and subclasses that override what the encoder reads.
ISO_CALLS = []


class DateLike:
    def isoformat(self):
        ISO_CALLS.append(self)
        return "2024-01-01"


DateLike.__name__ = "dateish"
FakeDate = type("datetime.date", (DateLike,), {})
FakeDelta = type("datetime.timedelta", (), {"days": 1, "seconds": 0, "microseconds": 0})
OwnDatetime = type("MyDatetime", (dt.datetime,), {})
Timezone = dt.timezone.utc


def test_isoformat_is_called_before_the_name_is_refused(shm_name):
    ISO_CALLS.clear()
    for value in (DateLike(), FakeDate()):
        with pytest.raises(ValueError, match=exactly(UNSUPPORTED)):
            zelvane.write_memory(shm_name("iso"), value)
    assert len(ISO_CALLS) == 2


def with_isoformat(result):
    return type("datetime.datetime", (dt.datetime,), {"isoformat": lambda self: result})(2024, 1, 1)


def uuid_with_hex(hex_value):
    def get(self):
        if isinstance(hex_value, Exception):
            raise hex_value
        return hex_value
    return type("UUIDx", (uuid.UUID,), {"hex": property(get)})(int=1)


class RangeNoStep:
    start, stop = 1, 7


class RangeFloats:
    start, stop, step = 1, 7.0, 2


RangeNoStep.__name__ = "rangeless"
RangeFloats.__name__ = "rfloat"
UUID_HEX_LENGTH = "The hex representation of a UUID must hold at least 32 ASCII characters."
MEMORYVIEW_BUFFER = "Could not get the buffer of a memoryview object."


@pytest.mark.parametrize("value, exc, message", [
    (FakeDelta(), ValueError, UNSUPPORTED),
    (Timezone, ValueError, UNSUPPORTED),
    (OwnDatetime(2024, 1, 1), ValueError, UNSUPPORTED),
    (type("MyUUID", (uuid.UUID,), {})(int=1), ValueError, UNSUPPORTED),
    (type("MyDecimal", (decimal.Decimal,), {})("1"), ValueError, UNSUPPORTED),
    (type("dummy", (decimal.Decimal,), {})("1"), ValueError, UNSUPPORTED),
    (type("decimal_text", (decimal.Decimal,), {"__str__": lambda self: ""})("1"), ValueError, UNSUPPORTED),
    (type("Uno", (), {})(), ValueError, UNSUPPORTED),
    (type("Pathish", (), {})(), ValueError, UNSUPPORTED),
    (type("Window", (), {})(), ValueError, UNSUPPORTED),
    (RangeNoStep(), ValueError, UNSUPPORTED),
    (RangeFloats(), ValueError, UNSUPPORTED),
    (iter(range(3)), ValueError, UNSUPPORTED),
    (with_isoformat(20240101), TypeError, "isoformat() of a date or time value returned a non-str object."),
    (with_isoformat("2" * 256), ValueError,
     "isoformat() of a date or time value returned more than 255 bytes of text."),
    (with_isoformat("\udc80"), UnicodeEncodeError, None),
    (uuid_with_hex(b"0" * 32), TypeError, "The hex representation of a UUID must be a str."),
    (uuid_with_hex("0" * 31), ValueError, UUID_HEX_LENGTH),
    (uuid_with_hex("\u00e9" * 32), ValueError, UUID_HEX_LENGTH),
    (uuid_with_hex(KeyError("no hex")), RuntimeError, "Could not get the hex representation of a UUID."),
    (memoryview(b"abcdef")[::2], RuntimeError, MEMORYVIEW_BUFFER),
    (released_view(), RuntimeError, MEMORYVIEW_BUFFER),
    (pathlib.PurePosixPath("bad\udcff"), UnicodeEncodeError, None),
], ids=lambda v: type(v).__name__)
def test_refusals(shm_name, value, exc, message):
    name = shm_name("refused")
    for wrapped in (value, [1, value], {1: value}):
        with pytest.raises(exc, match=message and exactly(message)):
            zelvane.write_memory(name, wrapped)


class Ranged:
    start, stop, step = 1, 7, 2


Ranged.__name__ = "ranged"
ISO_255 = "2024-01-01T00:00:00" + "0" * 236


# Values the encoder reads through the attributes it relies on: (value, exact
# encoding, value read back or None where the text does not parse).
@pytest.mark.parametrize("value, wire, back", [
    (Ranged(), "fd43050105070502", range(1, 7, 2)),
    (type("UUIDz", (uuid.UUID,), {"hex": property(lambda self: "f" * 32 + "extra")})(int=1),
     "fd39" + "66" * 32, uuid.UUID("f" * 32)),
    (pathlib.PureWindowsPath("dir\\name"), "fd6308" + b"dir\\name".hex(), pathlib.PurePosixPath("dir\\name")),
    (with_isoformat(ISO_255), "fd35ff" + ISO_255.encode().hex(), None),
], ids=["range-like", "uuid-long-hex", "windows-path", "iso-255"])
def test_written_through_attributes(shm_name, value, wire, back):
    name = shm_name("attr")
    assert encoded(name, value).hex() == wire
    if back is not None:
        assert same_value(zelvane.read_memory(name), back)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="Path subclasses need Python 3.12")
def test_path_subclass_family_by_name(shm_name):
    name = shm_name("p")
    project = type("ProjectPath", (pathlib.PurePosixPath,), {})
    assert encoded(name, project("x")).hex() == "fd5e0178"
    assert zelvane.read_memory(name) == pathlib.Path("x")


# --- round trips found by hypothesis, leaks, other processes -----------------

# The interpreter's fromisoformat drops an offset shorter than a second, so
# only offsets of whole seconds can come back exactly.
fixed_offsets = st.one_of(st.none(), st.integers(-86399, 86399).map(
    lambda seconds: dt.timezone(dt.timedelta(seconds=seconds))))
library_values = st.one_of(
    st.builds(lambda d, tz: d.replace(tzinfo=tz), st.datetimes(), fixed_offsets),
    st.dates(),
    st.builds(lambda t, tz: t.replace(tzinfo=tz), st.times(), fixed_offsets),
    st.timedeltas(),
    st.uuids(),
    st.decimals(allow_nan=True, allow_infinity=True),
    st.builds(range, st.integers(-2**70, 2**70), st.integers(-2**70, 2**70),
              st.integers(-2**70, 2**70).filter(bool)),
    st.builds(pathlib.PurePosixPath, st.text(st.characters(blacklist_categories=("Cs",),
                                                           blacklist_characters="\0"), max_size=30)),
    st.binary(max_size=40).map(memoryview),
)


def same_library_value(got, expected):
    return same_value(got, expected.tobytes() if isinstance(expected, memoryview) else expected)


@settings(max_examples=300)
@given(items=st.lists(library_values, max_size=6))
def test_library_values_round_trip(shm_name, items):
    name = shm_name("hyp")
    zelvane.write_memory(name, items)
    back = zelvane.read_memory(name)
    assert len(back) == len(items)
    assert all(same_library_value(b, i) for b, i in zip(back, items)), (items, back)


def test_encode_decode_and_refusals_without_leaks(shm_name):
    name = shm_name("leak")
    zelvane.create_memory(name, 64)
    raw = RawSlot(name)
    good = [dt.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=dt.timezone.utc), dt.date(2024, 1, 2), dt.time(1),
            dt.timedelta(-1), uuid.UUID(int=9), decimal.Decimal("-1.50"), memoryview(b"xy"), range(1, 9, 2),
            pathlib.Path("/p"), pathlib.PurePath("q")]
    refused = [memoryview(b"abcd")[::2], FakeDate(), with_isoformat(1), Timezone, RangeFloats(),
               type("UUIDw", (uuid.UUID,), {"hex": property(lambda self: "1")})(int=1)]
    bad_input = ["fd370a" + b"2024-13-31".hex(), "fd36" + "ffffff7f" * 3, "fd39" + "7a" * 32,
                 "fd3f03616263", "fd430500050a0c000000000000f03f", "fd5e02c328", "fd43050005010500"]

    def attempt():
        zelvane.write_memory(name, good)
        assert len(zelvane.read_memory(name)) == len(good)
        for value in refused:
            with pytest.raises(Exception):
                zelvane.write_memory(name, [value])
        for item in bad_input:
            raw.write_payload(bytes.fromhex(item) + bytes(8))
            with pytest.raises(Exception):
                zelvane.read_memory(name)

    assert_no_leak(attempt, 300)


# --- hosted functions ---------------------------------------------------------

ECHO = "lambda *args: list(args)"
CALL_CASES = [(value, back) for value, _, back in WORKED_EXAMPLES] + [
    tuple(case.values) for case in ROUND_TRIPS if case.id != "mv-dynamic-1"]


def test_library_values_as_hosted_function_arguments(serve):
    server = serve(ECHO)
    for value, back in CALL_CASES:
        got = zelvane.call_function(server.name, (value, {"in": [value]}))
        assert same_value(got[0], back) and same_value(got[1]["in"][0], back), (value, got)


def test_refused_argument_leaves_the_function_usable(serve):
    server = serve(ECHO)
    with pytest.raises(RuntimeError, match=exactly("Could not get the buffer of a memoryview object.")):
        zelvane.call_function(server.name, (memoryview(b"abcdef")[::2],))
    assert zelvane.call_function(server.name, (range(3),)) == [range(3)]


# Upper- and lower-case digits read alike, at every position.
@pytest.mark.parametrize("text", ["ABCDEF0123456789" * 2, "abcdef0123456789" * 2, "0123456789aBcDeF" * 2,
                                  "F" + "0" * 31, "0" * 31 + "f"])
def test_uuid_digits_of_either_case(text):
    assert zelvane.loads(bytes.fromhex("fd39") + text.encode()) == uuid.UUID(text)
