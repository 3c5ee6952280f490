"""Helpers for codec tests: the exact bytes the codec writes and decoding of
chosen bytes through a real slot, its messages, a strict comparison that also
checks kinds, hypothesis strategies of nested values, and a leak probe."""
import collections
import datetime as dt
import decimal
import gc
import math
import pathlib
import re
import sys
import uuid

import pytest
from hypothesis import strategies as st

import zelvane

from conftest import RawSlot

OFFSET = "Likely received an invalid bytes object: offset exceeded max limit."
MARKER = "Likely received an invalid bytes object: invalid protocol marker."
ZERO_WIDTH = "Likely received an invalid bytes object: size field of zero width."
UNSUPPORTED = "Received an unsupported datatype."
NEST_DEPTH = "Exceeded the maximum value nest depth."


def bad_code(code):
    return ("Likely received an invalid bytes object: fetched an invalid datatype "
            f"representative. (Rep. code: {code})")


def exactly(message):
    """A `match` pattern for pytest.raises that accepts `message` only. pytest
    matches the message followed by the exception's notes, one a line (the
    encoder's note of where a value was refused), which it leaves out."""
    return f"^{re.escape(message)}(?:\n.*)*\\Z"


def raises_exactly(exc, message):
    return pytest.raises(exc, match=exactly(message))


def h(text):
    return bytes.fromhex(text)


def encoded(name, value):
    """The encoded bytes of `value` as written to the slot `name`.

    The slot is created fresh, so its capacity is exactly the encoded length
    plus 32 bytes of zeros."""
    zelvane.remove_memory(name)
    zelvane.write_memory(name, value)
    raw = RawSlot(name)
    return raw.payload()[: raw.max_size() - 32]


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


def decode(name, data):
    """Reads back a slot whose payload is exactly `data`."""
    zelvane.remove_memory(name)
    zelvane.create_memory(name, len(data))
    RawSlot(name).write_payload(data)
    return zelvane.read_memory(name)



def same(a, b):
    """Equal values of the same kinds, recursively, with order where the kind
    has one; named tuples compare by class name and fields."""
    if isinstance(a, tuple) and hasattr(type(a), "_fields"):
        return (hasattr(type(b), "_fields") and type(a).__name__ == type(b).__name__
                and a._fields == b._fields and all(map(same, a, b)))
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple, collections.deque)):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b) or a != a and b != b
    if isinstance(a, complex):
        return same(a.real, b.real) and same(a.imag, b.imag)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a) and \
            all(type(x) is type(y) for x, y in zip(a, b))
    if isinstance(a, collections.ChainMap):
        return len(a.maps) == len(b.maps) and all(map(same, a.maps, b.maps))
    return a == b


scalars = st.one_of(
    st.none(), st.booleans(), st.just(...), st.integers(), st.integers(-2**300, 2**300),
    st.floats(), st.complex_numbers(allow_nan=True), st.text(), st.binary(max_size=600),
    st.binary(max_size=300).map(bytearray),
)

hashables = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=8)),
    lambda inner: st.one_of(st.tuples(inner, inner), st.frozensets(inner, max_size=3)),
    max_leaves=6,
)

Point = collections.namedtuple("Point", "x y")


def containers(inner):
    return st.one_of(
        st.lists(inner, max_size=5),
        st.lists(inner, max_size=5).map(tuple),
        st.lists(inner, max_size=5).map(collections.deque),
        st.sets(hashables, max_size=5),
        st.frozensets(hashables, max_size=5),
        st.builds(Point, inner, inner),
        st.dictionaries(hashables, inner, max_size=5),
        st.dictionaries(st.text(max_size=5), inner, max_size=5).map(collections.OrderedDict),
        st.dictionaries(hashables, st.integers(), max_size=5).map(collections.Counter),
        st.lists(st.dictionaries(st.text(max_size=3), inner, max_size=3), max_size=3)
        .map(lambda maps: collections.ChainMap(*maps)),
    )


values = st.recursive(scalars, containers, max_leaves=25)


def assert_no_leak(action, rounds):
    """Runs `action` `rounds` times to settle free lists and caches, then
    measures windows of as many runs. A leak of one object per call shows in
    every window as at least `rounds` more allocated blocks (against a noise
    of a few dozen), or as a changed reference count of a class the module
    caches. Allocator warm-up on a busy interpreter can outlast the first
    window but not three, so one window under the bound is a pass."""
    for _ in range(rounds):
        action()
    growth = []
    for _ in range(3):
        gc.collect()
        blocks, refs = sys.getallocatedblocks(), class_refcounts()
        for _ in range(rounds):
            action()
        gc.collect()
        assert class_refcounts() == refs
        growth.append(sys.getallocatedblocks() - blocks)
        if growth[-1] < 300:
            return
    raise AssertionError(f"allocated blocks grew by {growth} in windows of {rounds} runs")


def class_refcounts():
    return [sys.getrefcount(cls) for cls in (
        collections.deque, collections.namedtuple, collections.Counter, collections.OrderedDict,
        collections.ChainMap, dt.datetime, dt.date, dt.time, dt.timedelta, dt.timezone, uuid.UUID,
        decimal.Decimal, pathlib.Path, pathlib.PurePath, range)]


def read_or_fail_cleanly(name):
    """Reads a slot whose bytes may be garbage: an ordinary exception is
    fine; an internal error is not."""
    try:
        zelvane.read_memory(name)
    except SystemError:
        raise
    except Exception:
        pass
