"""Exact bytes of the scalar families, read back from a slot's payload, and
decoding of hand-written scalar payloads in every form."""
import math
import struct

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import zelvane

from codec_util import decode, encoded

OFFSET_MSG = "Likely received an invalid bytes object: offset exceeded max limit."
ZERO_WIDTH_MSG = "Likely received an invalid bytes object: size field of zero width."


@pytest.mark.parametrize("value, expected", [
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
    (1 + 2j, "fd0f000000000000f03f0000000000000040"),
    (b"", "fd12"),
    (bytearray(), "fd17"),
    (b"\x01\x02", "fd13020102"),
    (bytearray(b"\x01\x02"), "fd18020102"),
    (b"\xff" * 256, "fd140001" + "ff" * 256),
    (bytearray(70000), "fd1a03701101" + "00" * 70000),
], ids=lambda v: repr(v)[:24])
def test_exact_bytes(shm_name, value, expected):
    assert encoded(shm_name("x"), value).hex() == expected


def expected_int(value):
    """The integer encoding, built from the format's rules."""
    bits = (value if value >= 0 else ~value).bit_length()
    width = (bits + 8) // 8
    body = value.to_bytes(width, "little", signed=True)
    if width <= 5:
        return bytes([0xFD, 4 + width]) + body
    if width <= 255:
        return bytes([0xFD, 10, width]) + body
    count = width.to_bytes((width.bit_length() + 7) // 8, "little")
    return bytes([0xFD, 11, len(count)]) + count + body


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=st.one_of(st.integers(), st.integers(min_value=-(2**5000), max_value=2**5000),
                       st.sampled_from([2**(8 * k - 1) + d for k in (1, 5, 8, 255, 256)
                                        for d in (-1, 0)]).flatmap(
                           lambda v: st.sampled_from([v, -v, -v - 1]))))
def test_integers_of_any_size(shm_name, value):
    name = shm_name("int")
    data = encoded(name, value)
    assert data == expected_int(value)
    assert zelvane.read_memory(name) == value
    zelvane.remove_memory(name)


class strict(str):
    pass


class integer(int):
    pass


class floaty(float):
    pass


@pytest.mark.parametrize("value, expected", [
    (strict("ab"), "fd01026162"),
    (integer(300), "fd062c01"),
    (floaty(1.5), "fd0c000000000000f83f"),
])
def test_subclasses_whose_names_pass_the_letter_tests(shm_name, value, expected):
    assert encoded(shm_name("sub"), value).hex() == expected


def same_value(a, b):
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    if isinstance(a, complex):
        return same_value(a.real, b.real) and same_value(a.imag, b.imag)
    return a == b


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=st.one_of(
    st.text(), st.binary(max_size=600), st.binary(max_size=300).map(bytearray),
    st.floats(), st.complex_numbers(allow_nan=True), st.booleans(), st.none(), st.just(...)))
def test_scalar_round_trip(shm_name, value):
    name = shm_name("rt")
    zelvane.write_memory(name, value)
    back = zelvane.read_memory(name)
    assert type(back) is type(value)
    assert same_value(back, value)
    zelvane.remove_memory(name)


def test_negative_zero_and_infinities_keep_their_bits(shm_name):
    name = shm_name("f")
    for value in (-0.0, math.inf, -math.inf):
        zelvane.write_memory(name, value)
        assert struct.pack("<d", zelvane.read_memory(name)) == struct.pack("<d", value)


def test_text_without_utf8_form_is_refused(shm_name):
    name = shm_name("sur")
    with pytest.raises(UnicodeEncodeError):
        zelvane.write_memory(name, "a\ud800")
    with pytest.raises(MemoryError):
        zelvane.read_memory(name)


@pytest.mark.parametrize("payload, expected", [
    # str in every form, minimal or not
    ("fd00", ""),
    ("fd0103616263", "abc"),
    ("fd02030061 6263", "abc"),
    ("fd030103616263", "abc"),
    ("fd0303030000616263", "abc"),
    ("fd0309" + "03" + "00" * 8 + "616263", "abc"),
    ("fd0401010361 6263", "abc"),
    ("fd040102030061 6263", "abc"),
    ("fd0409" + "01" + "00" * 8 + "03616263", "abc"),
    # ints: fixed widths, counted widths, non-minimal widths
    ("fd05ff", -1),
    ("fd06ff00", 255),
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
    # fixed-size and payload-less codes
    ("fd0c000000000000f83f", 1.5),
    ("fd0f000000000000f03f0000000000000040", 1 + 2j),
    ("fd0d", True),
    ("fd0e", False),
    ("fd10", None),
    ("fd11", ...),
    # bytes and bytearray in every form
    ("fd12", b""),
    ("fd130201 02", b"\x01\x02"),
    ("fd14020001 02", b"\x01\x02"),
    ("fd1501020102", b"\x01\x02"),
    ("fd160101020102", b"\x01\x02"),
    ("fd17", bytearray()),
    ("fd180201 02", bytearray(b"\x01\x02")),
    ("fd19020001 02", bytearray(b"\x01\x02")),
    ("fd1a01020102", bytearray(b"\x01\x02")),
    ("fd1b0101020102", bytearray(b"\x01\x02")),
    # trailing bytes after the item are ignored
    ("fd0501ffffff", 1),
    ("fd1300ff", b""),
])
def test_decoding_hand_written_payloads(shm_name, payload, expected):
    value = decode(shm_name("dec"), bytes.fromhex(payload))
    assert type(value) is type(expected)
    assert value == expected


@pytest.mark.parametrize("payload", [
    "fd0701 02", "fd05", "fd09ffffffff", "fd0a", "fd0a02ff", "fd0b", "fd0b01", "fd0b0103ffff",
    "fd0b09" + "00" * 8 + "01",
    "fd0c0000000000f83f", "fd0f000000000000f03f00000000000000",
    "fd01", "fd0105616263", "fd0200", "fd020500616263", "fd03", "fd0302", "fd030205",
    "fd04", "fd0401", "fd040101", "fd04010103",
    "fd0308ffffffffffffffff61", "fd0309" + "03" + "00" * 7 + "01" + "616263",
    "fd1303", "fd1803ffff", "fd15", "fd1a0104",
])
def test_truncated_and_oversized_payloads(shm_name, payload):
    with pytest.raises(ValueError) as info:
        decode(shm_name("short"), bytes.fromhex(payload))
    assert str(info.value) == OFFSET_MSG


@pytest.mark.parametrize("payload", [
    "fd0300616263", "fd0400", "fd040100", "fd04020000", "fd0b00", "fd0b0100", "fd1600", "fd1b0100",
])
def test_zero_width_size_fields(shm_name, payload):
    with pytest.raises(ValueError) as info:
        decode(shm_name("zw"), bytes.fromhex(payload))
    assert str(info.value) == ZERO_WIDTH_MSG


def test_invalid_utf8_text(shm_name):
    with pytest.raises(UnicodeDecodeError):
        decode(shm_name("utf"), bytes.fromhex("fd0102c328"))
