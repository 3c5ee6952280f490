"""The encoded-value frame: marker, code dispatch on both sides, size forms
and the frame-level errors, seen through a slot's payload."""
import os

import pytest

import zelvane

from codec_util import decode, encoded
from conftest import RawSlot, shm_path

UNSUPPORTED_MSG = "Received an unsupported datatype."
MARKER_MSG = "Likely received an invalid bytes object: invalid protocol marker."
OFFSET_MSG = "Likely received an invalid bytes object: offset exceeded max limit."


def code_msg(code):
    return ("Likely received an invalid bytes object: fetched an invalid datatype "
            f"representative. (Rep. code: {code})")


@pytest.mark.parametrize("payload", [
    "00", "0010", "01", "fc10", "ff10",
])
def test_invalid_protocol_marker(shm_name, payload):
    with pytest.raises(ValueError) as info:
        decode(shm_name("m"), bytes.fromhex(payload))
    assert str(info.value) == MARKER_MSG


def test_marker_alone(shm_name):
    with pytest.raises(ValueError) as info:
        decode(shm_name("m"), b"\xfd")
    assert str(info.value) == OFFSET_MSG


@pytest.mark.parametrize("code", [103, 104, 200, 255])
def test_codes_above_the_table(shm_name, code):
    with pytest.raises(ValueError) as info:
        decode(shm_name("c"), bytes([0xFD, code, 0, 0]))
    assert str(info.value) == code_msg(code)


@pytest.mark.parametrize("size, header", [
    (0, "12"), (1, "1301"), (255, "13ff"), (256, "140001"), (65535, "14ffff"),
    (65536, "1503000001"), (2**24, "150400000001"),
])
def test_shortest_size_form_is_written(shm_name, size, header):
    data = encoded(shm_name("sz"), b"\x07" * size)
    assert data[:1] == b"\xfd"
    assert data[1:].hex().startswith(header)
    assert len(data) == 1 + len(header) // 2 + size


def test_empty_slot_payload_has_no_marker(shm_name):
    name = shm_name("p")
    zelvane.create_memory(name, 3)
    with pytest.raises(ValueError) as info:
        zelvane.read_memory(name)
    assert str(info.value) == MARKER_MSG


def named(type_name, base=object):
    return type(type_name, (base,), {})()


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


@pytest.mark.parametrize("type_name", IMPOSTOR_NAMES)
def test_impostor_types_are_refused(shm_name, type_name):
    name = shm_name("imp")
    with pytest.raises(ValueError) as info:
        zelvane.write_memory(name, named(type_name))
    assert str(info.value) == UNSUPPORTED_MSG


class Pair(tuple):
    pass


class MyStr(str):
    pass


@pytest.mark.parametrize("value", [Pair((1, 2)), MyStr("a"), object(), print, type])
def test_unsupported_values(shm_name, value):
    name = shm_name("uns")
    with pytest.raises(ValueError) as info:
        zelvane.write_memory(name, value)
    assert str(info.value) == UNSUPPORTED_MSG


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
