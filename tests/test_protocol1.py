"""Reading values written under protocol 1 (marker 0xFE) from a slot whose
payload is written raw: memoryviews, and random input (the tables of
test_codec.py hold the other families and the errors)."""
import random

import pytest

from codec_util import decode, h


def read(shm_name, data):
    return decode(shm_name("p1"), data)


def test_empty_memoryview_inside_a_list_takes_one_byte(shm_name):
    got = read(shm_name, h("fe 1a 02 32 04 07"))
    assert type(got) is list and len(got) == 2
    assert isinstance(got[0], memoryview) and got[0].tobytes() == b""
    assert got[1] == 7


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


# Random bytes and mutations of good input give errors, never crashes.
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
