"""Dates, times and UUIDs are written as exactly their isoformat() or hex text
and read back as exactly what fromisoformat() or UUID(hex) gives, whichever way
the codec gets there."""
import datetime as dt
import random
import uuid

import pytest
import zelvane

from codec_util import decode, encoded
from conftest import run_python

CODES = {dt.datetime: 53, dt.date: 55, dt.time: 56}
CLASSES = {code: cls for cls, code in CODES.items()}
OFFSET = dt.timezone(dt.timedelta(hours=-5, minutes=-30))


def sample_values(seed=11, count=400):
    rng = random.Random(seed)
    for _ in range(count):
        fields = (rng.randrange(1, 10000), rng.randrange(1, 13), rng.randrange(1, 29))
        clock = (rng.randrange(24), rng.randrange(60), rng.randrange(60), rng.choice([0, rng.randrange(10**6)]))
        tz = rng.choice([None, dt.timezone.utc, OFFSET])
        yield dt.date(*fields)
        yield dt.datetime(*fields, *clock, tzinfo=tz)
        yield dt.time(*clock, tzinfo=tz)


def test_text_and_read_back_match_isoformat(shm_name):
    name = shm_name("iso")
    for value in sample_values():
        text = value.isoformat().encode()
        assert encoded(name, value) == bytes([253, CODES[type(value)], len(text)]) + text
        back = zelvane.read_memory(name)
        assert back == value and type(back) is type(value)
        assert getattr(back, "tzinfo", None) == getattr(value, "tzinfo", None)


@pytest.mark.parametrize("code, text", [
    (55, b"2024-02-30"),           # canonical shape, day out of range
    (53, b"2024-13-01T00:00:00"),  # month out of range
    (56, b"25:00:00"),             # hour out of range
    (56, b"12:00:00+00:0x"),       # not a digit in the offset
])
def test_out_of_range_text_fails_as_fromisoformat_does(shm_name, code, text):
    cls = CLASSES[code]
    with pytest.raises(ValueError) as expected:
        cls.fromisoformat(text.decode())
    with pytest.raises(ValueError) as got:
        decode(shm_name("bad"), bytes([253, code, len(text)]) + text)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("code, text", [
    (53, b"2024-01-31T12:30:00.000005+00:00"),
    (53, b"2024-01-31T12:30:00+01:00"),
    (56, b"12:30:00+00:00"),
    (55, b"0001-01-01"),
])
def test_reads_what_fromisoformat_reads(shm_name, code, text):
    cls = CLASSES[code]
    back = decode(shm_name("ok"), bytes([253, code, len(text)]) + text)
    expected = cls.fromisoformat(text.decode())
    assert back == expected and type(back) is type(expected)
    assert getattr(back, "tzinfo", None) == getattr(expected, "tzinfo", None)


@pytest.mark.parametrize("text", [
    "0123456789abcdef0123456789abcdef",
    "0123456789ABCDEF0123456789ABCDEF",  # upper case: not what the encoder writes
    "+0000000000000000000000000000001",   # UUID(hex) accepts what int(..., 16) does
    "0000_0000_0000_0000_0000_0000_0001",
])
def test_uuid_reads_as_uuid_of_its_text(shm_name, text):
    data = text.encode()[:32]
    expected = uuid.UUID(data.decode())
    back = decode(shm_name("uuid"), bytes([253, 57]) + data)
    assert back == expected and type(back) is uuid.UUID
    assert back.is_safe is expected.is_safe and hash(back) == hash(expected)


def test_uuid_refused_text_fails_with_its_message(shm_name):
    with pytest.raises(RuntimeError, match=r"^Failed to create UUID object\.$"):
        decode(shm_name("uuid"), bytes([253, 57]) + b"g" * 32)


def test_first_uuid_of_a_process_reads_back_whole(shm_name):
    name = shm_name("uuid")
    value = uuid.uuid4()
    zelvane.write_memory(name, [value, value])
    result = run_python(
        "import uuid, zelvane\n"
        f"first, second = zelvane.read_memory({name!r})\n"
        "assert first == second == uuid.UUID(%r)\n" % str(value)
        + "assert first.is_safe is second.is_safe is uuid.SafeUUID.unknown\n")
    assert result.returncode == 0, result.stderr
