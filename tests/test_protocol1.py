"""Reading values written under protocol 1 (marker 0xFE) from a slot whose
payload is written raw."""
import datetime
import decimal
import random
import uuid

import pytest

from codec_util import decode

OFFSET = "Likely received an invalid bytes object: offset exceeded max limit."
INVALID_CODE = ("Likely received an invalid bytes object: fetched an invalid datatype "
                "representative. (Rep. code: {})")


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


def read(shm_name, data):
    return decode(shm_name("p1"), data)


def assert_same(got, expected):
    assert type(got) is type(expected)
    assert got == expected


# --- scalars ---------------------------------------------------------------

@pytest.mark.parametrize("data, expected", [
    ("fe 04 ff", -1),
    ("fe 04 7f", 127),
    ("fe 05 2c 01", 300),
    ("fe 05 01 00", 1),                          # non-minimal width
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
    ("fe 0f 00 00", None),                       # bytes after the item are ignored
    ("fe 00", ""),
    ("fe 01 03 61 62 63", "abc"),
    ("fe 01 02 c3 a9", "\u00e9"),
    ("fe 02 01 00 41", "A"),                     # non-minimal two-byte size
    ("fe 03 00", ""),                            # dynamic form, count byte 0
    ("fe 03 01 02 61 62", "ab"),
    ("fe 03 09 01 00 00 00 00 00 00 00 00 41", "A"),  # wide size, zero high bytes
    ("fe 11", b""),
    ("fe 12 01 41", b"A"),
    ("fe 13 02 00 41 42", b"AB"),
    ("fe 14 00", b""),
    ("fe 14 01 01 00", b"\x00"),
    ("fe 15", bytearray()),
    ("fe 16 01 41", bytearray(b"A")),
    ("fe 18 01 02 41 42", bytearray(b"AB")),
])
def test_scalars(shm_name, data, expected):
    assert_same(read(shm_name, h(data)), expected)


@pytest.mark.parametrize("nbytes", [6, 255, 300])
def test_counted_integers_of_any_width(shm_name, nbytes):
    rng = random.Random(nbytes)
    raw = bytes(rng.randrange(256) for _ in range(nbytes))
    code = "09" if nbytes < 256 else "0a"
    data = h("fe" + code) + nbytes.to_bytes(1 if code == "09" else 2, "little") + raw
    assert read(shm_name, data) == int.from_bytes(raw, "little", signed=True)


def test_long_text_two_byte_size(shm_name):
    text = "xyz" * 100
    assert read(shm_name, h("fe 02 2c 01") + text.encode()) == text


# --- containers ------------------------------------------------------------

@pytest.mark.parametrize("data, expected", [
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
    ("fe 1c 00", []),                            # dynamic form, count byte 0
    ("fe 1c 01 02 04 01 04 02", [1, 2]),
    ("fe 1b 02 00 0f 10", [None, Ellipsis]),
    ("fe 23 01 00 0f", (None,)),
    ("fe 26 02 01 01 61 04 01 01 01 61 04 02", {"a": 2}),  # last value of a repeated key wins
    ("fe 1e 03 04 01 04 01 04 02", {1, 2}),
    ("fe 1a 02 1a 01 22 01 00 26 01 04 01 2a 01 11", [[("",)], {1: frozenset({b""})}]),
])
def test_containers(shm_name, data, expected):
    assert_same(read(shm_name, h(data)), expected)


def test_empty_memoryview_inside_a_list_takes_one_byte(shm_name):
    got = read(shm_name, h("fe 1a 02 32 04 07"))
    assert type(got) is list and len(got) == 2
    assert isinstance(got[0], memoryview) and got[0].tobytes() == b""
    assert got[1] == 7


def test_deep_nesting_is_a_recursion_error(shm_name):
    with pytest.raises(RecursionError):
        read(shm_name, h("fe") + h("1a 01") * 200_000 + h("0f"))


# --- library classes ---------------------------------------------------------

def text_item(code, text):
    raw = text.encode()
    return bytes([0xFE, code, len(raw)]) + raw


def timedelta_item(days, seconds, micros):
    return h("fe 2e") + b"".join(v.to_bytes(4, "little", signed=True)
                                 for v in (days, seconds, micros))


@pytest.mark.parametrize("data, expected", [
    (h("fe 2f 0a 32 30 32 34 2d 30 31 2d 33 31"), datetime.date(2024, 1, 31)),
    (text_item(0x2D, "2024-01-31T12:30:05.000250"), datetime.datetime(2024, 1, 31, 12, 30, 5, 250)),
    (text_item(0x30, "23:59:58"), datetime.time(23, 59, 58)),
    (timedelta_item(1, 2, 3), datetime.timedelta(1, 2, 3)),
    (timedelta_item(0, 86400 + 5, 0), datetime.timedelta(days=1, seconds=5)),
    (timedelta_item(0, -1, 0), datetime.timedelta(seconds=-1)),
    (h("fe 31") + b"12345678123456781234567812345678",
     uuid.UUID("12345678123456781234567812345678")),
    (h("fe 36 03 31 2e 35"), decimal.Decimal("1.5")),
    (h("fe 37 03 00") + b"1.5", decimal.Decimal("1.5")),
    (h("fe 38 01 04") + b"-Inf", decimal.Decimal("-Infinity")),
], ids=["date", "datetime", "time", "timedelta", "timedelta-carry", "timedelta-negative",
        "uuid", "decimal-54", "decimal-55", "decimal-56"])
def test_library_classes(shm_name, data, expected):
    assert_same(read(shm_name, data), expected)


@pytest.mark.parametrize("data, payload", [
    ("fe 32", b""),
    ("fe 33 02 01 02", b"\x01\x02"),
    ("fe 34 01 00 ff", b"\xff"),
    ("fe 35 00", b""),
    ("fe 35 01 03 61 62 63", b"abc"),
])
def test_memoryviews(shm_name, data, payload):
    view = read(shm_name, h(data))
    assert isinstance(view, memoryview)
    assert view.tobytes() == payload
    assert view.readonly and view.format == "B" and view.ndim == 1


# --- malformed input ---------------------------------------------------------

@pytest.mark.parametrize("data", [
    "fe",
    "fe 04",
    "fe 07 01 02",
    "fe 08 00 00 00 00",
    "fe 09",
    "fe 09 05 01 02",
    "fe 0a 01",
    "fe 0a 03 00 01 02",
    "fe 0b 00 00 00 00 00 00 00",
    "fe 0e" + " 00" * 15,
    "fe 01",
    "fe 01 05 41",
    "fe 02 01",
    "fe 03",
    "fe 03 02 01",
    "fe 03 ff 01",
    "fe 03 09 01 00 00 00 00 00 00 00 01 41",   # wide size with a non-zero high byte
    "fe 03 08 ff ff ff ff ff ff ff ff",
    "fe 12 05 41",
    "fe 1a 03 04 01 04 02",                     # stated count beyond the members present
    "fe 1c 08 ff ff ff ff ff ff ff ff 0f",       # huge count, no allocation for it
    "fe 1f ff ff 0f",
    "fe 23 ff ff 0f 0f",
    "fe 28 08 ff ff ff ff ff ff ff ff 0f 0f",
    "fe 26 01 01 01 61",                        # key without its value
    "fe 2d 05 31",
    "fe 2e 00 00 00 00",
    "fe 31 30 30",
    "fe 33 05 01",
    "fe 36 04 31 2e",
])
def test_cut_off_input_fails_with_the_offset_message(shm_name, data):
    with pytest.raises(ValueError) as info:
        read(shm_name, h(data))
    assert str(info.value) == OFFSET


@pytest.mark.parametrize("code", [57, 58, 102, 103, 200, 253, 254, 255])
def test_codes_above_56_are_refused(shm_name, code):
    with pytest.raises(ValueError) as info:
        read(shm_name, bytes([0xFE, code, 0, 0]))
    assert str(info.value) == INVALID_CODE.format(code)


def test_invalid_code_inside_a_container(shm_name):
    with pytest.raises(ValueError) as info:
        read(shm_name, h("fe 1a 02 04 01 39"))
    assert str(info.value) == INVALID_CODE.format(57)


@pytest.mark.parametrize("data", ["fe 01 02 c3 28", "fe 03 01 01 ff", "fe 1a 01 01 01 80"])
def test_invalid_utf8(shm_name, data):
    with pytest.raises(UnicodeDecodeError):
        read(shm_name, h(data))


@pytest.mark.parametrize("data", [
    "fe 26 01 19 0f",            # list as a dict key
    "fe 26 01 25 0f",            # dict as a dict key
    "fe 1e 01 19",               # list as a set member
    "fe 2a 02 04 01 1d",         # set as a frozenset member
])
def test_unhashable_members(shm_name, data):
    with pytest.raises(TypeError):
        read(shm_name, h(data))


@pytest.mark.parametrize("data, exc, message", [
    (h("fe 36 03") + b"abc", RuntimeError, "Failed to convert string to Decimal."),
    (h("fe 38 00"), RuntimeError, "Failed to convert string to Decimal."),
    (h("fe 36 02 c3 28"), RuntimeError, "Failed to convert string to Decimal."),
    (h("fe 31") + b"z" * 32, RuntimeError, "Failed to create UUID object."),
    (h("fe 31") + b"\xff" * 32, RuntimeError, "Failed to create UUID object."),
    (text_item(0x2F, "2024-13-01"), ValueError, None),
    (text_item(0x2D, "not a date"), ValueError, None),
    (timedelta_item(2**31 - 1, 0, 0), OverflowError, None),
], ids=["decimal-text", "decimal-empty", "decimal-utf8", "uuid-text", "uuid-utf8",
        "date-month", "datetime-text", "timedelta-days"])
def test_library_class_failures(shm_name, data, exc, message):
    with pytest.raises(exc) as info:
        read(shm_name, data)
    if message is not None:
        assert str(info.value) == message


def test_failed_member_leaves_nothing_behind(shm_name):
    # The same malformed container read many times must not grow the heap of
    # live objects: every partial container and member is released.
    import gc
    data = h("fe 1a 03 01 01 61 26 01 04 01 1a 01 10 39")
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(200):
        with pytest.raises(ValueError):
            read(shm_name, data)
    gc.collect()
    assert len(gc.get_objects()) < before + 50


# --- fuzzing -----------------------------------------------------------------

SEEDS = [
    "fe 1a 02 04 01 01 02 61 62", "fe 26 01 01 01 61 0f", "fe 1e 01 04 01",
    "fe 22 02 0c 0d", "fe 09 06 00 00 00 00 00 01", "fe 0b 00 00 00 00 00 00 f0 3f",
    "fe 2f 0a 32 30 32 34 2d 30 31 2d 33 31", "fe 36 03 31 2e 35", "fe 1a 02 32 04 07",
    "fe 2e 01 00 00 00 02 00 00 00 03 00 00 00", "fe 2a 02 04 01 04 02",
]
DECODER_ERRORS = (ValueError, TypeError, RuntimeError, OverflowError)


def fuzz_input(rng):
    if rng.random() < 0.5:
        return bytes([0xFE]) + bytes(rng.randrange(256) for _ in range(rng.randrange(24)))
    data = bytearray(h(rng.choice(SEEDS)))
    for _ in range(rng.randrange(1, 4)):
        data[rng.randrange(1, len(data))] = rng.randrange(256)
    if rng.random() < 0.3:
        del data[rng.randrange(1, len(data)):]
    return bytes(data)


def test_fuzz_random_protocol1_bytes(shm_name):
    rng = random.Random(20240131)
    name = shm_name("fuzz")
    for _ in range(3000):
        try:
            decode(name, fuzz_input(rng))
        except DECODER_ERRORS:
            pass
