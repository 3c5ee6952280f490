"""Lists, tuples, sets, frozensets, deques and named tuples through a slot:
exact bytes, round trips, nesting limits and hostile input."""
import collections

import pytest

import zelvane
from codec_util import decode, encoded

UNSUPPORTED = "Received an unsupported datatype."
NEST_DEPTH = "Exceeded the maximum value nest depth."
OFFSET = "Likely received an invalid bytes object: offset exceeded max limit."


def h(text):
    return bytes.fromhex(text)


@pytest.mark.parametrize("value, wire", [
    ([1, "ab"], "FD 1D 02 05 01 01 02 61 62"),
    ((None,), "FD 27 01 10"),
    ((), "FD 26"),
    ([], "FD 1C"),
    (([], ()), "FD 27 02 1C 26"),
])
def test_sequence_worked_examples(shm_name, value, wire):
    name = shm_name("seq")
    assert encoded(name, value) == h(wire)
    back = decode(name, h(wire))
    assert back == value and type(back) is type(value)


@pytest.mark.parametrize("count, header", [
    (255, "1D FF"),
    (256, "1E 00 01"),
    (65535, "1E FF FF"),
    (65536, "1F 03 00 00 01"),
])
@pytest.mark.parametrize("kind, base", [(list, 0x1C), (tuple, 0x26)])
def test_sequence_size_form_boundaries(shm_name, count, header, kind, base):
    name = shm_name("form")
    head = bytearray(h(header))
    head[0] = head[0] - 0x1C + base
    value = kind([None] * count)
    data = encoded(name, value)
    assert data == b"\xfd" + bytes(head) + b"\x10" * count
    assert decode(name, data) == value


@pytest.mark.parametrize("wire, expected", [
    ("FD 1D 00", []),
    ("FD 27 00", ()),
    ("FD 1E 02 00 10 10", [None, None]),
    ("FD 20 01 01 02 10 10", [None, None]),
    ("FD 2A 01 01 01 10", (None,)),
    ("FD 1F 02 01 00 10", [None]),
])
def test_sequence_non_minimal_and_dynamic_forms(shm_name, wire, expected):
    back = decode(shm_name("dyn"), h(wire))
    assert back == expected and type(back) is type(expected)


def nested_lists(depth, leaf=1):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


def test_nest_limit_counts_lists_and_tuples(shm_name):
    name = shm_name("nest")
    value = nested_lists(100)
    assert zelvane.write_memory(name, value) is True
    assert zelvane.read_memory(name) == value
    with pytest.raises(ValueError, match=f"^{NEST_DEPTH}$"):
        zelvane.write_memory(name, [value])
    with pytest.raises(ValueError, match=f"^{NEST_DEPTH}$"):
        zelvane.write_memory(name, (value,))


def test_self_containing_list_fails_at_nest_limit(shm_name):
    looped = []
    looped.append(looped)
    with pytest.raises(ValueError, match=f"^{NEST_DEPTH}$"):
        zelvane.write_memory(shm_name("loop"), looped)


def test_shared_member_is_written_twice(shm_name):
    inner = [1, 2]
    name = shm_name("twice")
    assert encoded(name, (inner, inner)) == h("FD 27 02 1D 02 05 01 05 02 1D 02 05 01 05 02")
    a, b = zelvane.read_memory(name)
    assert a == b == inner and a is not b


class lister(list):
    pass


class Roster(list):
    pass


class Pair(tuple):
    pass


def test_list_subclass_routing(shm_name):
    name = shm_name("sub")
    assert encoded(name, lister([1])) == h("FD 1D 01 05 01")
    assert type(zelvane.read_memory(name)) is list
    for refused in (Roster([1]), Pair((1,))):
        with pytest.raises(ValueError, match=f"^{UNSUPPORTED}$"):
            zelvane.write_memory(name, refused)


@pytest.mark.parametrize("wire", [
    "FD 1D 03 10 10",                     # fewer members than counted
    "FD 1D",                              # count byte missing
    "FD 1E 01",                           # half a two-byte count
    "FD 1F 08 FF FF FF FF FF FF FF 7F 10",  # count far beyond the input
    "FD 29 08 FF FF FF FF FF FF FF 7F 10",
    "FD 27 02 1D 05 10",
])
def test_truncated_sequences_fail_with_offset_error(shm_name, wire):
    with pytest.raises(ValueError, match=f"^{OFFSET}$"):
        decode(shm_name("trunc"), h(wire))


def test_huge_count_fails_with_first_invalid_member(shm_name):
    # the second member carries an unknown code; that is the error, not memory
    with pytest.raises(ValueError, match=r"\(Rep. code: 200\)$"):
        decode(shm_name("bad"), h("FD 1F 08 FF FF FF FF FF FF FF 7F 10 C8"))
